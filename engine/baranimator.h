// How a long wait shows on a progress bar (or whatever shows progress), one tick at a time.
#pragma once

#include "core/services.h"

#include <QString>
#include <memory>

class Progress;

// A tick every 100 ms: the services' waitTicks in the program.
std::unique_ptr<TickSource> TimerTicks();
// The tick source of one wait, as the services make it, owned by this holder.
class Ticks {
public:
    Ticks();
    ~Ticks();
    TickSource& source() { return *m_source; }

private:
    std::unique_ptr<TickSource> m_source;
};

// The wait of one file of a run of rowCount files, which began with the bar at baseText and
// startValue. From the 50th tick on the bar reads baseText + ", " (when baseText is not empty)
// + "Please wait.. " + the ticks past 49; every 150 ticks from the 50th the bar moves one step
// (a tenth of one file's share, rounded half to even) from startValue, never past the file's
// share nor past 100.
class BarAnimator {
public:
    BarAnimator(Progress& bar, QString baseText, int startValue, int rowCount);
    void tick();
    // The bar's text back to baseText, or "Progress Bar" when that is empty.
    void restore();

private:
    Progress& m_bar;
    QString m_baseText;
    int m_startValue;
    int m_rowCount;
    int m_ticks = 0;
};
