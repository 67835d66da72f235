// How a long wait shows on a progress bar, one tick at a time.
#pragma once

#include <QString>
#include <functional>
#include <memory>

class ProgressBar;

// What drives a wait's animation: a tick every 100 ms by default. The end of a wait never waits
// for a tick.
class TickSource {
public:
    virtual ~TickSource() = default;
    // Calls tick on every tick until stop().
    virtual void start(std::function<void()> tick) = 0;
    virtual void stop() = 0;
};

// Tests drive the ticks themselves; nullptr restores the 100 ms timer. Not owned.
void setTickSourceForTesting(TickSource* source);
// The tick source waits use: the test's, else a 100 ms timer owned by the caller's holder.
class Ticks {
public:
    Ticks();
    ~Ticks();
    TickSource& source() { return *m_source; }

private:
    std::unique_ptr<TickSource> m_timer;
    TickSource* m_source;
};

// The wait of one file of a run of rowCount files, which began with the bar at baseText and
// startValue. From the 50th tick on the bar reads baseText + ", " (when baseText is not empty)
// + "Please wait.. " + the ticks past 49; every 150 ticks from the 50th the bar moves one step
// (a tenth of one file's share, rounded half to even) from startValue, never past the file's
// share nor past 100.
class BarAnimator {
public:
    BarAnimator(ProgressBar& bar, QString baseText, int startValue, int rowCount);
    void tick();
    // The bar's text back to baseText, or "Progress Bar" when that is empty.
    void restore();

private:
    ProgressBar& m_bar;
    QString m_baseText;
    int m_startValue;
    int m_rowCount;
    int m_ticks = 0;
};
