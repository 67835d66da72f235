// Start-up steps that belong to no window.
#pragma once

#include <functional>

// A draw from [0, 1).
using StartupDraw = std::function<double()>;

// The number 1 to 100 that a draw r from [0, 1) stands for.
int StartupDrawNumber(double r);

// About one start in a hundred opens the maker's web site. Throws AppError when the
// browser cannot be started.
void StartupWebVisit();
// Tests decide the draw; an empty function restores the generator seeded from the clock.
void setStartupDrawForTesting(StartupDraw draw);
