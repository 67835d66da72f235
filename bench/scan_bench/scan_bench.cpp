// Times "Add All" over a folder tree and dragging and scrolling in a long list, in the real
// main window (offscreen). Driven by run.py; prints one JSON object.
//
//   scan_bench scan TREE EXTENSION RUNS    the whole PushButton3 handler, RUNS times
//   scan_bench phases TREE                 the scan, the listing and the adding, apart
//   scan_bench rows COUNT                  reordering and scrolling with COUNT rows
#include "app/programservices.h"
#include "widgets/controls.h"
#include "app/form1.h"
#include "app/forms.h"
#include "core/prompts.h"
#include "filelist/addfolder.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

// Answers "Add All"'s two questions without showing anything.
struct BenchPrompts : Prompts {
    QString extension, folder;
    Answer messageBox(const QString& text, const QString&, Buttons, Icon) override
    {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
        return Answer::No;
    }
    QString inputBox(const QString&, const QString&, const QString&) override { return extension; }
    OpenFileResult openFileDialog(QWidget*, const OpenFileOptions&) override { return {}; }
    ColourResult colourDialog(QWidget*, const QString&, const QString&) override { return {}; }
    QString browseForFolder(QWidget*, const QString&, const QString&) override { return folder; }
    bool openFolder(const QString&) override { return true; }
    bool openUrl(const QString&) override { return true; }
};

double cpuMs()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Longest time the event loop went unserved: a 5 ms timer notes the gaps between its calls.
class GapMeter {
public:
    GapMeter()
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const double now = m_clock.nsecsElapsed() / 1e6;
            m_maxGap = std::max(m_maxGap, now - m_last);
            m_last = now;
            ++m_ticks;
        });
    }
    void start()
    {
        m_clock.start();
        m_last = 0;
        m_maxGap = 0;
        m_ticks = 0;
        m_timer.start();
    }
    double stop()
    {
        m_timer.stop();
        const double now = m_clock.nsecsElapsed() / 1e6;
        return std::max(m_maxGap, now - m_last);
    }
    int ticks() const { return m_ticks; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    double m_last = 0, m_maxGap = 0;
    int m_ticks = 0;
};

int scan(const QString& tree, const QString& extension, int runs)
{
    BenchPrompts p;
    p.extension = extension;
    p.folder = tree;
    Services services = ProgramServices();
    services.prompts = &p;
    installServices(std::move(services));
    Form1& form = Forms::form1();
    form.show();
    QApplication::processEvents();
    std::vector<double> times, cpu, gaps;
    int rows = 0;
    GapMeter meter;
    for (int r = 0; r < runs; ++r) {
        form.ListView1->clearRows();
        QApplication::processEvents();
        meter.start();
        QElapsedTimer t;
        t.start();
        const double cpu0 = cpuMs();
        form.PushButton3_Click();
        times.push_back(t.nsecsElapsed() / 1e6);
        cpu.push_back(cpuMs() - cpu0);
        gaps.push_back(meter.stop());
        rows = form.ListView1->rowCount();
    }
    std::printf("{\"rows\": %d, \"median_ms\": %.1f, \"min_ms\": %.1f, \"cpu_ms\": %.1f, "
                "\"max_gap_ms\": %.1f}\n",
                rows, median(times), *std::min_element(times.begin(), times.end()), median(cpu),
                *std::max_element(gaps.begin(), gaps.end()));
    installServices(ProgramServices());
    return rows > 0 ? 0 : 1;
}

// Where the time goes: the folder scan alone, the file listing alone, the whole tree into a
// list that is not shown.
int phases(const QString& tree)
{
    QElapsedTimer t;
    t.start();
    QStringList folders{tree + QLatin1Char('/')};
    GetSubDirectories2016(folders, true);
    const double scanMs = t.nsecsElapsed() / 1e6;
    t.start();
    qsizetype files = 0;
    for (const QString& f : folders)
        files += ListFiles(f, QStringLiteral("*.*")).size();
    const double listMs = t.nsecsElapsed() / 1e6;
    ListView hidden(nullptr);
    t.start();
    const int rows = AddFolderTree(&hidden, tree, QStringLiteral("*.*"));
    const double addMs = t.nsecsElapsed() / 1e6;
    std::printf("{\"folders\": %lld, \"scan_ms\": %.1f, \"files\": %lld, \"list_ms\": %.1f, "
                "\"rows\": %d, \"hidden_list_add_ms\": %.1f}\n",
                static_cast<long long>(folders.size()), scanMs, static_cast<long long>(files), listMs,
                rows, addMs);
    return 0;
}

void mouse(QWidget* vp, QEvent::Type type, QPoint pos, Qt::MouseButton b, Qt::MouseButtons bs)
{
    QMouseEvent e(type, QPointF(pos), QPointF(vp->mapToGlobal(pos)), b, bs, Qt::NoModifier);
    QApplication::sendEvent(vp, &e);
}

int rows(int count)
{
    Form1& form = Forms::form1();
    ListView* list = form.ListView1;
    list->setHeaderLabels({QStringLiteral("PCX File(s)")});
    form.show();
    for (int i = 0; i < count; ++i)
        list->addRow(QStringLiteral("/home/user/Pictures/scans/%1/image%2.pcx").arg(i / 100).arg(i, 6, 10, QLatin1Char('0')));
    QApplication::processEvents();
    QWidget* vp = list->viewport();

    // Scrolling: one row at a time from top to bottom, each step painted.
    QScrollBar* bar = list->verticalScrollBar();
    std::vector<double> scrollSteps;
    QElapsedTimer t;
    for (int v = bar->minimum(); v <= bar->maximum(); v += std::max(1, (bar->maximum() - bar->minimum()) / 2000)) {
        t.start();
        bar->setValue(v);
        vp->repaint();
        scrollSteps.push_back(t.nsecsElapsed() / 1e6);
    }

    // Reordering: drag the last visible row up through the list, one row per move, each move
    // painted; the window sits high on the screen so every swap also scrolls the list up.
    form.move(0, 0);
    list->scrollToItem(list->topLevelItem(count - 1));
    QApplication::processEvents();
    const QModelIndex bottom = list->model()->index(count - 1, 0);
    const int startRow = bottom.row();
    const QString dragged = list->rowText(startRow);
    QPoint at = list->visualRect(bottom).center();
    mouse(vp, QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton);
    std::vector<double> moveSteps;
    const int moves = std::min(2000, startRow);
    for (int i = 0; i < moves; ++i) {
        // Onto the row above the dragged one; the previous swap scrolled it into view.
        at = list->visualRect(list->model()->index(startRow - i - 1, 0)).center();
        t.start();
        mouse(vp, QEvent::MouseMove, at, Qt::NoButton, Qt::LeftButton);
        vp->repaint();
        moveSteps.push_back(t.nsecsElapsed() / 1e6);
    }
    mouse(vp, QEvent::MouseButtonRelease, at, Qt::LeftButton, Qt::NoButton);
    const int finalRow = list->rowTexts().indexOf(dragged);
    std::printf("{\"rows\": %d, \"scroll_steps\": %zu, \"scroll_median_ms\": %.3f, \"scroll_max_ms\": %.3f, "
                "\"moves\": %zu, \"move_median_ms\": %.3f, \"move_max_ms\": %.3f, \"dragged_from\": %d, \"dragged_to\": %d}\n",
                count, scrollSteps.size(), median(scrollSteps),
                *std::max_element(scrollSteps.begin(), scrollSteps.end()), moveSteps.size(),
                median(moveSteps), moveSteps.empty() ? 0.0 : *std::max_element(moveSteps.begin(), moveSteps.end()),
                startRow, finalRow);
    return finalRow == startRow - moves ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    installServices(ProgramServices());
    QApplication::setOrganizationName(QStringLiteral("Quillmark"));
    QApplication::setApplicationName(QStringLiteral("Palettrim"));
    const QStringList args = QApplication::arguments();
    if (args.size() == 5 && args[1] == QLatin1String("scan"))
        return scan(args[2], args[3], args[4].toInt());
    if (args.size() == 3 && args[1] == QLatin1String("phases"))
        return phases(args[2]);
    if (args.size() == 3 && args[1] == QLatin1String("rows"))
        return rows(args[2].toInt());
    std::fprintf(stderr, "usage: scan_bench scan TREE EXTENSION RUNS | scan_bench rows COUNT\n");
    return 2;
}
