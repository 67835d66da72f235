// Start-up steps that belong to no window.
#pragma once

// The number 1 to 100 that a draw r from [0, 1) stands for.
int StartupDrawNumber(double r);

// About one start in a hundred (as the services' startupDraw falls) opens the maker's web site. Throws AppError when the
// browser cannot be started.
void StartupWebVisit();
// A draw from [0, 1) from a generator seeded from the clock: the services' startupDraw in the
// program.
double ClockSeededDraw();
