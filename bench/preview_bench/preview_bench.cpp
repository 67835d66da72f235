// Times the results list's preview tooltip on one pair of files (offscreen). Driven by run.sh.
//
//   preview_bench ORIGINAL REDUCED [RUNS]
//
// Per run, with every picture dropped before it:
//   each file    Preview::MakePicture on one file, on this thread: read, decode, count, scale
//   pair         a row's tooltip asked for until both pictures are kept, as the window does it
//                (both files at once on the pictures' threads), with the longest time the interface
//                thread's event loop went unserved meanwhile
//   hover        a tooltip request on the prepared row until the tooltip is up and painted
#include "core/controls.h"
#include "results/preview.h"
#include "results/thumbnail.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHelpEvent>
#include <QTimer>
#include <QToolTip>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <sys/resource.h>

namespace {

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double maxOf(const std::vector<double>& v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

double msSince(const QElapsedTimer& clock) { return double(clock.nsecsElapsed()) / 1e6; }

// Longest gap between the calls of a 5 ms timer: how long the event loop went unserved.
class GapMeter {
public:
    GapMeter()
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            m_maxGap = std::max(m_maxGap, msSince(m_clock) - m_last);
            m_last = msSince(m_clock);
        });
    }
    void start()
    {
        m_clock.start();
        m_last = 0;
        m_maxGap = 0;
        m_timer.start();
    }
    double stop()
    {
        m_timer.stop();
        return std::max(m_maxGap, msSince(m_clock) - m_last);
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    double m_last = 0;
    double m_maxGap = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: preview_bench ORIGINAL REDUCED [RUNS]\n");
        return 2;
    }
    const int runs = args.size() > 3 ? std::max(1, args[3].toInt()) : 5;
    const ReductionRecords records = {{args[1], args[2], QString(), QStringLiteral("1 KB"), QString()}};

    ListView list(nullptr);
    list.setColumnCount(1);
    list.addRow(QStringLiteral("row"));
    list.resize(600, 200);
    list.show();
    list.activateWindow();
    PreviewTips tips(&list, records, nullptr);
    const QPoint at = list.visualItemRect(list.topLevelItem(0)).center();

    std::vector<double> original, reduced, pair, gaps, hover;
    GapMeter meter;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer clock;
        clock.start();
        const Preview::Picture a = Preview::MakePicture(args[1]);
        original.push_back(msSince(clock));
        clock.restart();
        const Preview::Picture b = Preview::MakePicture(args[2]);
        reduced.push_back(msSince(clock));
        if (!a.problem.isEmpty() || !b.problem.isEmpty()) {
            std::fprintf(stderr, "no picture: %s %s\n", qPrintable(a.problem), qPrintable(b.problem));
            return 1;
        }

        tips.clear();
        QEventLoop loop;
        QObject::connect(&tips, &PreviewTips::filePrepared, &loop, [&] {
            if (tips.isPrepared(0))
                loop.quit();
        });
        meter.start();
        clock.restart();
        tips.tipFor(0);
        loop.exec();
        pair.push_back(msSince(clock));
        gaps.push_back(meter.stop());

        QToolTip::hideText();
        QCoreApplication::processEvents();
        clock.restart();
        QHelpEvent event(QEvent::ToolTip, at, list.viewport()->mapToGlobal(at));
        QApplication::sendEvent(list.viewport(), &event);
        QCoreApplication::processEvents();
        hover.push_back(msSince(clock));
        if (!QToolTip::isVisible() || !QToolTip::text().contains(QStringLiteral("<img"))) {
            std::fprintf(stderr, "the tooltip did not show the pictures\n");
            return 1;
        }
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("runs %d (median / slowest, ms)\n", runs);
    std::printf("original alone   %7.1f / %7.1f\n", median(original), maxOf(original));
    std::printf("reduced alone    %7.1f / %7.1f\n", median(reduced), maxOf(reduced));
    std::printf("pair as shown    %7.1f / %7.1f   longest event-loop gap %.1f ms\n", median(pair),
                maxOf(pair), maxOf(gaps));
    std::printf("hover, prepared  %7.1f / %7.1f\n", median(hover), maxOf(hover));
    std::printf("peak resident    %ld MB\n", usage.ru_maxrss / 1024);
    return 0;
}
