// How the program ends by a signal or with the desktop session.
#pragma once

#include <chrono>
#include <functional>

// Leaves the event loop. When a long operation is running inside a handler, the process ends at
// once, so the operation does not carry on unseen.
void LeaveProgram(bool operationRunning);

// SIGTERM, SIGHUP and SIGINT run endSession from the event loop (the program's is
// CloseForSessionEnd: it dismisses any open prompt and closes the windows as the user's close
// would). A second signal of the same kind ends the program the default way, so a program
// stuck on its way out can still be stopped. Once a signal has come, an event loop that has
// not run for stuckFor no longer holds the program: its Leftovers are removed and it ends by
// that signal. The desktop session's request to save data changes nothing (the logout may yet
// be cancelled); its real end is the application's quit, which closes every window as the
// user's close would. A write past the file size limit fails (EFBIG) instead of ending the
// program (SIGXFSZ is ignored). Call once the application exists.
void InstallSessionEndHandlers(std::function<void()> endSession,
                               std::chrono::milliseconds stuckFor = std::chrono::seconds(5));
// True once a signal asked the program to end: prompts are then no longer shown, and a
// start-up still under way does not open the main window.
bool SessionEnding();
// Restores the default signal handling and forgets an ending (tests install and remove the
// handlers per case).
void RemoveSessionEndHandlers();
