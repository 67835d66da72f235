// One program started and waited for, as the run converts one file: the start returns at once
// and the end is told by a signal from whichever event loop runs then, so a box opened in the
// meantime holds nothing up. While the program runs, the wait's ticks animate a progress.
#pragma once

#include "engine/baranimator.h"
#include "engine/processrunner.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <optional>

class Progress;
class QProcessEnvironment;

// Result when the program cannot be started: this plus the system error number.
constexpr int kStartErrorBase = -2147221504;
// The window style of a hidden start, as the run asks for it.
constexpr int kHiddenWindow = 0;

// style from 0 to 6 as it is; anything else gives 6 (minimised without focus).
int NormalWindowStyle(int style);
// What a wait gives for report: the program's exit code, or kStartErrorBase + the error number
// when it could not be started.
int WaitResult(const ProcessReport& report);

class ShellAndWait : public QObject {
    Q_OBJECT
public:
    explicit ShellAndWait(QObject* parent = nullptr);
    // A program still running is stopped (StopProcess), and finished() never comes.
    ~ShellAndWait() override;

    // The program runs in environment instead of this program's.
    void setEnvironment(const QProcessEnvironment& environment);
    // Starts program with arguments (ProcessRunner::start) and returns at once; finished()
    // follows. windowStyle is normalised (NormalWindowStyle) and has no other effect here: the
    // program never gets a window or a terminal. With progress, each tick of the services'
    // waitTicks animates it as BarAnimator describes, from baseText and startValue (progress's
    // when the wait began) for a run of rowCount files, and once the program has ended its
    // text goes back to baseText; a program that cannot be started leaves progress as it is.
    // One program per wait.
    void start(const QString& program, const QStringList& arguments, int windowStyle,
               Progress* progress, const QString& baseText, int startValue, int rowCount);
    // Another wait shows on the progress from now on: this one's ticks and end leave it alone.
    void releaseProgress();
    // Stops the program (StopProcess) and returns once it has ended; finished() follows.
    void stop();
    int windowStyle() const { return m_windowStyle; }
    // What became of the program; meaningful once finished() has come.
    const ProcessReport& report() const { return m_runner.report(); }

signals:
    // The program has ended or could not be started; result is WaitResult(report()).
    void finished(int result);

private:
    void end(const ProcessReport& report);

    ProcessRunner m_runner;
    Ticks m_ticks;
    std::optional<BarAnimator> m_animator;
    int m_windowStyle = 6;
    bool m_ended = false;
};
