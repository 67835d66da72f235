// The program's windows as a whole: how they all go at its end.
#pragma once

// Ends the program: every window is hidden without its own close handling, then the services'
// endProgram (LeaveProgram in the program) runs.
void EndProgram(bool operationRunning);

// Closes every visible window of the program as the user's close would, so each runs its own
// close handling (the results window removes the run's copies first).
void CloseAllWindows();

// What a signal asks of the windows (InstallSessionEndHandlers): any open prompt is dismissed,
// then CloseAllWindows.
void CloseForSessionEnd();
