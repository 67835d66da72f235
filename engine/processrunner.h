// Runs a child program without ever holding up the event loop, and says how it ended. One
// program per runner at a time; several runners may run at once.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <chrono>
#include <sys/types.h>

class QProcess;
class QProcessEnvironment;

// How long a program asked to end may take before it is killed.
constexpr std::chrono::milliseconds kStopGrace{1000};
// Asks process to end (SIGTERM), so that it can remove the file it was writing, and kills it
// when it has not ended within grace. Returns once it has ended. One process: a caller with
// several stops each.
void StopProcess(QProcess& process, std::chrono::milliseconds grace = kStopGrace);

// What became of one program.
struct ProcessReport {
    // The system's error number when the program could not be started (ENOENT: it is missing,
    // EACCES: it may not be run); 0 when it ran.
    int startError = 0;
    // Its exit code; for a program ended by a signal (crashed, or stopped) whatever number the
    // system gave in its place.
    int exitCode = 0;
    bool crashed = false;
    // The start of its standard error, at most kErrorOutputLimit bytes, as it wrote them.
    QByteArray errorOutput;
    static constexpr qsizetype kErrorOutputLimit = 4096;
    // The longest line of standard error handed over whole (ProcessRunner::errorLine).
    static constexpr qsizetype kLineLimit = 4096;
};

class ProcessRunner : public QObject {
    Q_OBJECT
public:
    enum class Stage {
        Idle,      // nothing started, or the last program's report is in
        Starting,  // started, not yet known whether the system could run it
        Running,
    };

    explicit ProcessRunner(QObject* parent = nullptr);
    // A program still running is stopped first (StopProcess); its finished() never comes.
    ~ProcessRunner() override;

    // Starts program with arguments, never through a shell, with standard input (unless piped:
    // setInputPiped) and output on the null device, and returns at once. started() and finished() follow from the event loop,
    // never from within this call; a program that cannot be started gets only finished(), with
    // its startError. The program never outlives this one: it is asked to end (SIGTERM) when
    // this program ends, however it ends, and Leftovers stops it should the program end without
    // unwinding. Only while stage() is Idle.
    void start(const QString& program, const QStringList& arguments);
    // The programs started from now on run in environment instead of this program's.
    void setEnvironment(const QProcessEnvironment& environment);
    // The programs started from now on read a pipe fed by writeInput instead of the null
    // device.
    void setInputPiped();
    // Hands bytes to the program's standard input, in order, as the pipe takes them.
    void writeInput(const QByteArray& bytes);
    // The program reads the end of its input once it has read what was written.
    void closeInput();
    Stage stage() const { return m_stage; }
    // Stops the program (StopProcess) and returns once it has ended, with stage() Idle and the
    // report in; finished() follows from the event loop. Nothing when none runs.
    void stop(std::chrono::milliseconds grace = kStopGrace);
    // What became of the last program; meaningful once stage() is Idle after a start.
    const ProcessReport& report() const { return m_report; }

signals:
    // The system runs the program.
    void started();
    // One line of the program's standard error, without its line end, as soon as the program
    // has written it (a last line without an end comes before finished()). A line longer than
    // kLineLimit bytes comes as its first kLineLimit bytes; the rest of it is dropped.
    void errorLine(const QByteArray& line);
    // The program has ended or could not be started; report is report().
    void finished(const ProcessReport& report);

private:
    // Keeps the start of more and hands over the lines it completes; atEnd: the program has
    // ended, so a line without an end is complete too.
    void takeErrorOutput(const QByteArray& more, bool atEnd);
    void end(const ProcessReport& report);

    QProcess* m_process = nullptr;
    Stage m_stage = Stage::Idle;
    ProcessReport m_report;
    QString m_program;
    pid_t m_pid = 0;
    // The line being written, at most kLineLimit bytes between two reads.
    QByteArray m_line;
    // The rest of a line cut at kLineLimit is being dropped.
    bool m_dropping = false;
};
