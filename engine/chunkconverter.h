// One converter for many small files: started once with the options every file of it shares, it
// is handed one file at a time through its pairs form and says as each ends how it ended. Like a
// file's own converter it never holds up the event loop, and its signals come from whichever
// event loop runs.
#pragma once

#include "engine/baranimator.h"
#include "engine/processrunner.h"

#include <QByteArray>
#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <optional>

class Progress;

// The converter's arguments for files handed over one at a time: options, then the pairs read
// from its standard input.
QStringList PairsArguments(const QStringList& options);

class ChunkConverter : public QObject {
    Q_OBJECT
public:
    // Starts program with options (PairsArguments) in environment, at once.
    ChunkConverter(const QString& program, const QStringList& options, const QProcessEnvironment& environment);
    // A converter still running is stopped (StopProcess), and no signal comes any more.
    ~ChunkConverter() override;

    const QStringList& options() const { return m_options; }
    // Running and may be handed another file: none in hand, or one, so that the next is in its
    // pipe when that one ends (the converter does not wait for the program between files).
    bool ready() const { return m_alive && m_inHand < kAhead && !m_closed; }
    // Running with no file in hand.
    bool idle() const { return m_alive && m_inHand == 0 && !m_closed; }
    bool alive() const { return m_alive; }
    // Files handed that have not come to their end lines.
    int inHand() const { return m_inHand; }
    // How many files it was handed.
    int handed() const { return m_handed; }
    // It has said a line of the pairs form, so it knows the form.
    bool spoke() const { return m_spoke; }

    // Hands the converter input to be written to output, after those in hand; fileEnded() or
    // ended() follows. With
    // progress, each tick of the services' waitTicks animates it as a file's own wait does
    // (ShellAndWait), and once the file has ended its text goes back to baseText. Only while
    // ready().
    void convert(const QString& input, const QString& output, Progress* progress, const QString& baseText,
                 int startValue, int rowCount);
    // Another wait shows on the progress from now on.
    void releaseProgress();
    // No more files: the converter ends once the one in hand has.
    void close();
    // Ends the converter (StopProcess) and returns once it has; ended() follows.
    void stop();

signals:
    // The first file in hand has come to its end line: ok, or failed with the converter's reason
    // as it gave it (the input's name in front).
    void fileEnded(bool ok, const QByteArray& reason);
    // The converter has ended, or could not be started; inHand: files it was handed that never
    // came to their ends (the first of them the one it was on, if it had begun it).
    void ended(const ProcessReport& report, int inHand);

private:
    void takeLine(const QByteArray& line);
    void end(const ProcessReport& report);

    const QStringList m_options;
    ProcessRunner m_runner;
    Ticks m_ticks;
    std::optional<BarAnimator> m_animator;
    static constexpr int kAhead = 2;
    bool m_alive = true;
    int m_inHand = 0;
    bool m_closed = false;
    int m_handed = 0;
    int m_ended = 0;
    bool m_spoke = false;
};
