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
//
//   preview_bench --claims FOLDER FILES [WIDTH HEIGHT]
//
// Makes FILES small files in FOLDER (when missing) whose headers claim the largest picture a
// preview decodes (or WIDTH x HEIGHT), half of them 8-bit, half 24-bit, each with just enough run-length data to be
// decoded whole; hovers every row (two files a row) one after the other without waiting, waits
// until every file is prepared, and gives the resident set before and at its peak.
#include "app/programservices.h"
#include "results/preview.h"
#include "results/thumbnail.h"
#include "widgets/controls.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHelpEvent>
#include <QThread>
#include <QTimer>
#include <QToolTip>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
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

long residentMb()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6)) / 1024;
    return -1;
}

long peakResidentMb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

// A PCX whose header claims a w x h picture, run-length encoded in runs of 63, one value a
// line: 1 MB at 8 bits and 3 MB at 24 for the largest picture a preview decodes.
QByteArray claimOf(int w, int h, bool truecolour)
{
    const int planes = truecolour ? 3 : 1;
    QByteArray bytes(128, '\0');
    bytes[0] = 10, bytes[1] = 5, bytes[2] = 1, bytes[3] = 8;
    bytes[8] = char((w - 1) & 0xFF), bytes[9] = char((w - 1) >> 8);
    bytes[10] = char((h - 1) & 0xFF), bytes[11] = char((h - 1) >> 8);
    bytes[65] = char(planes);
    bytes[66] = char(w & 0xFF), bytes[67] = char(w >> 8);
    bytes[68] = 1;
    QByteArray plane;
    for (int left = w; left > 0; left -= 63)
        plane += char(0xC0 | std::min(left, 63)), plane += '\0';
    for (int y = 0; y < h; ++y)
        for (int p = 0; p < planes; ++p) {
            for (qsizetype i = 1; i < plane.size(); i += 2)
                plane[i] = char((y * (p + 1)) & 0xFF);
            bytes += plane;
        }
    if (!truecolour) {
        bytes += char(12);
        for (int i = 0; i < 256; ++i)
            bytes += char(i), bytes += char(255 - i), bytes += char(i / 2);
    }
    return bytes;
}

int hoverClaims(const QString& folder, int files, int w, int h)
{
    QDir().mkpath(folder);
    QStringList paths;
    for (int i = 0; i < files; ++i) {
        paths << QDir(folder).filePath(QStringLiteral("claim%1x%2_%3.pcx").arg(w).arg(h).arg(i));
        QFile file(paths.last());
        if (!file.exists() && !(file.open(QIODevice::WriteOnly) && file.write(claimOf(w, h, i % 2)) > 0))
            return std::fprintf(stderr, "cannot write %s\n", qPrintable(paths.last())), 1;
    }
    ReductionRecords records;
    ListView list(nullptr);
    list.setColumnCount(1);
    for (int i = 0; i + 1 < files; i += 2) {
        records.append({paths[i], paths[i + 1], QString(), QStringLiteral("1 KB"), QString()});
        list.addRow(paths[i]);
    }
    list.resize(600, 40 * int(records.size()));
    list.show();
    PreviewTips tips(&list, records, nullptr);
    const long before = residentMb();
    int prepared = 0;
    QEventLoop loop;
    QObject::connect(&tips, &PreviewTips::filePrepared, &loop, [&] {
        if (++prepared == 2 * records.size())
            loop.quit();
    });
    QElapsedTimer clock;
    clock.start();
    for (int row = 0; row < records.size(); ++row) {
        const QPoint at = list.visualItemRect(list.topLevelItem(row)).center();
        QHelpEvent event(QEvent::ToolTip, at, list.viewport()->mapToGlobal(at));
        QApplication::sendEvent(list.viewport(), &event);
        QCoreApplication::processEvents();
    }
    loop.exec();
    std::printf("%d files claiming %dx%d, %lld rows hovered, %d threads\n", files, w, h,
                qlonglong(records.size()), QThread::idealThreadCount());
    std::printf("all prepared     %7.0f ms\n", msSince(clock));
    std::printf("resident before  %ld MB\n", before);
    std::printf("peak resident    %ld MB\n", peakResidentMb());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    installServices(ProgramServices());
    const QStringList args = QApplication::arguments();
    if ((args.size() == 4 || args.size() == 6) && args[1] == QStringLiteral("--claims")) {
        const bool sized = args.size() == 6;
        const int w = sized ? std::clamp(args[4].toInt(), 1, 65535) : 8192;
        const int h = sized ? std::clamp(args[5].toInt(), 1, 65535) : 4096;
        return hoverClaims(args[2], std::max(2, args[3].toInt()), w, h);
    }
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
    std::printf("runs %d (median / slowest, ms)\n", runs);
    std::printf("original alone   %7.1f / %7.1f\n", median(original), maxOf(original));
    std::printf("reduced alone    %7.1f / %7.1f\n", median(reduced), maxOf(reduced));
    std::printf("pair as shown    %7.1f / %7.1f   longest event-loop gap %.1f ms\n", median(pair),
                maxOf(pair), maxOf(gaps));
    std::printf("hover, prepared  %7.1f / %7.1f\n", median(hover), maxOf(hover));
    std::printf("peak resident    %ld MB\n", peakResidentMb());
    return 0;
}
