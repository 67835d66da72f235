#include "engine/baranimator.h"

#include "core/messages.h"
#include "core/progress.h"

#include <QTimer>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

class Timer : public TickSource {
public:
    Timer() { m_timer.setInterval(100); }
    void start(std::function<void()> tick) override
    {
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, std::move(tick));
        m_timer.start();
    }
    void stop() override
    {
        m_timer.stop();
        m_timer.disconnect();
    }

private:
    QTimer m_timer;
};

// Rounds to the nearest whole number, halves to the even neighbour.
int roundEven(double v) { return static_cast<int>(std::nearbyint(v)); }

}  // namespace

std::unique_ptr<TickSource> TimerTicks() { return std::make_unique<Timer>(); }

Ticks::Ticks() : m_source(services().waitTicks()) {}

Ticks::~Ticks() = default;

BarAnimator::BarAnimator(Progress& bar, QString baseText, int startValue, int rowCount)
    : m_bar(bar), m_baseText(std::move(baseText)), m_startValue(startValue),
      m_rowCount(std::max(rowCount, 1))
{
}

void BarAnimator::tick()
{
    ++m_ticks;
    if (m_ticks < 50)
        return;
    const int waited = m_ticks - 50;
    m_bar.setBarText(m_baseText + (m_baseText.isEmpty() ? QString() : QStringLiteral(", "))
                     + Messages::kBarPleaseWait + QString::number(waited));
    if (waited % 150 == 0) {
        const int step = roundEven(100.0 / m_rowCount / 10.0);
        const int cap = roundEven(100.0 / m_rowCount + m_startValue - step);
        const double v = double(waited / 150) * step + m_startValue;
        // The last file starts at 100, so its cap lies beyond the bar's end.
        m_bar.setValueReal(std::min({v, double(cap), 100.0}));
    }
}

void BarAnimator::restore()
{
    // Unchanged text is not set again: a repaint per file is a measurable share of a short run.
    const QString restored = m_baseText.isEmpty() ? Messages::kBarAtRest : m_baseText;
    if (m_bar.barText() != restored)
        m_bar.setBarText(restored);
}
