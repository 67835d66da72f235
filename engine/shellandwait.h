// Runs one program to its end while the windows stay alive, animating a progress bar
// when the program takes long.
#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>

class ProgressBar;
class QProcess;

// What drives the wait's counter and bar animation: a tick every 100 ms by default.
// The end of the process never waits for a tick.
class TickSource {
public:
    virtual ~TickSource() = default;
    // Calls tick on every tick until stop().
    virtual void start(std::function<void()> tick) = 0;
    virtual void stop() = 0;
};

// Tests drive the ticks themselves; nullptr restores the 100 ms timer. Not owned.
void setTickSourceForTesting(TickSource* source);

// How long a program asked to end may take before it is killed.
constexpr std::chrono::milliseconds kStopGrace{1000};
// Asks process to end (SIGTERM), so that it can remove the file it was writing, and kills it
// when it has not ended within grace. Returns once it has ended. One process: a caller with
// several stops each.
void StopProcess(QProcess& process, std::chrono::milliseconds grace = kStopGrace);

// Ends the wait in progress at once: its program is stopped (StopProcess) before this returns,
// and the wait returns. Does nothing when no wait is in progress.
void CancelWait();

// Result when the program cannot be started: this plus the system error number.
constexpr int kStartErrorBase = -2147221504;

// Starts program with arguments (never through a shell) and returns when it has ended, with
// its exit code, or kStartErrorBase + the error number when it cannot be started (then the bar
// is left as it is). Events run throughout. A window style outside 0..6 counts as 6; here it
// has no effect: the program never gets a window or a terminal.
// With a bar, a wait of 50 ticks and more shows base text + ", Please wait.. " + count, and
// moves the bar one step from startValue every 150 ticks, never past this file's share of a
// run of rowCount files nor past 100; afterwards the bar's text is the base text again, or
// "Progress Bar" when that is empty.
// The program never outlives this one: it is stopped when this program ends, however it ends.
// With errorOutput, the program's standard error is kept there (its first few kilobytes), so
// the caller can say why a file failed in the program's own words.
int ShellAndWait(const QString& program, const QStringList& arguments, int windowStyle,
                 ProgressBar* bar, const QString& baseText, int startValue, int rowCount,
                 QString* errorOutput = nullptr);
