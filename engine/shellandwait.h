// Runs one program to its end while the windows stay alive, animating a progress bar when the
// program takes long.
#pragma once

#include "engine/baranimator.h"
#include "engine/processrunner.h"

#include <QString>
#include <QStringList>

class ProgressBar;

// Starts program with arguments (ProcessRunner) and returns its report once it has ended or
// could not be started. Events run throughout. With animator, the wait's ticks drive it while
// the program runs, and its bar's text is restored once it has ended; a program that cannot be
// started leaves the bar as it is. With environment, the program runs in that one instead of this
// program's.
ProcessReport WaitForProgram(const QString& program, const QStringList& arguments,
                             BarAnimator* animator, const QProcessEnvironment* environment = nullptr);

// Ends the wait in progress at once: its program is stopped (StopProcess) before this returns,
// and the wait returns. Does nothing when no wait is in progress.
void CancelWait();

// Result when the program cannot be started: this plus the system error number.
constexpr int kStartErrorBase = -2147221504;

// WaitForProgram with the bar animated as BarAnimator describes (when bar is given), giving the
// program's exit code, or kStartErrorBase + the error number when it cannot be started.
// windowStyle has no effect here: the program never gets a window or a terminal.
int ShellAndWait(const QString& program, const QStringList& arguments, int windowStyle,
                 ProgressBar* bar, const QString& baseText, int startValue, int rowCount);
