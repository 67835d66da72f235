// Drives one "Start Reducing" run over every file of a folder, as a user would, and measures it:
// the wall time from the press to the results window, the time from the end of the last
// conversion to the results window, the program's peak resident set, the longest gap between
// two repaints of the progress bar and the longest the event loop was held up.
//
//   palettrim_run_bench CONVERTER FOLDER [--colors N] [--workers N] [--own-time] [--shared]
//                       [--chunk N] [--stop-after-ms MS] [--kill-after-ms MS] [--check]
//
// --colors picks the colour box's entry ("N colors", 256 by default). --workers sets how many
// files the run converts side by side (0, the default: one per core). --own-time also times the
// converter started on every file in turn from here, before and after the run. --shared runs
// "Start Reducing with One Palette for All" instead, and also gives the time from the press to
// the first file's start (the palette pass) and the longest gap between two repaints of the bar
// in that time. --chunk sets how many small files one converter takes in turn. --stop-after-ms
// presses Escape MS milliseconds after the press; --kill-after-ms kills one of the run's
// converters from outside (SIGKILL) then. --check compares the rows with what the converter
// started by hand on each input makes of it (a copy byte for byte, or none) and counts the rows
// that differ and the files in the work folder that belong to no row. Prints one "name value"
// line per figure; exits 0 unless the run could not be measured.
#include "app/form1.h"
#include "app/forms.h"
#include "app/programservices.h"
#include "core/prompts.h"
#include "core/services.h"
#include "engine/reduction.h"
#include "results/form2.h"
#include "widgets/controls.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include <csignal>
#include <map>
#include <optional>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Nothing may wait for a person here: messages are printed and answered "OK" or "No".
struct PrintingPrompts : Prompts {
    Answer messageBox(const QString& text, const QString&, Buttons buttons, Icon) override
    {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
        return buttons == Buttons::Ok ? Answer::Ok : Answer::No;
    }
    QString inputBox(const QString&, const QString&, const QString&) override { return {}; }
    OpenFileResult openFileDialog(QWidget*, const OpenFileOptions&) override { return {}; }
    ColourResult colourDialog(QWidget*, const QString&, const QString&) override { return {}; }
    QString browseForFolder(QWidget*, const QString&, const QString&) override { return {}; }
    bool openFolder(const QString&) override { return false; }
    bool openUrl(const QString&) override { return false; }
};

// Wall-clock nanoseconds, comparable with file modification times.
qint64 wallNs()
{
    timespec t;
    ::clock_gettime(CLOCK_REALTIME, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// When path was last written, in wall-clock nanoseconds; 0 when it is not there.
qint64 writtenNs(const QString& path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// The converter started on every file in turn, as the run starts it; milliseconds in all.
double converterOwnTime(const QString& converter, double colours, const QStringList& files,
                        const QString& outDir)
{
    double total = 0;
    int i = 0;
    for (const QString& f : files) {
        const QString out = outDir + QStringLiteral("/o%1.pcx").arg(i++);
        QProcess p;
        p.setProcessEnvironment(ConverterEnvironment());
        p.setStandardInputFile(QProcess::nullDevice());
        p.setStandardOutputFile(QProcess::nullDevice());
        p.setStandardErrorFile(QProcess::nullDevice());
        QElapsedTimer t;
        t.start();
        p.start(converter, ConverterArguments(colours, out, f));
        p.waitForFinished(-1);
        total += t.nsecsElapsed() / 1e6;
        QFile::remove(out);
    }
    return total;
}

// Times between events of one kind on one object, and between the run's start and the first.
class GapWatch : public QObject {
public:
    GapWatch(QObject* target, QEvent::Type type) : m_type(type) { target->installEventFilter(this); }
    void begin() { m_last = wallNs(); m_longest = 0; m_count = 0; }
    qint64 longestNs() const { return m_longest; }
    qint64 lastNs() const { return m_last; }
    int count() const { return m_count; }

protected:
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == m_type) {
            const qint64 now = wallNs();
            m_longest = std::max(m_longest, now - m_last);
            m_last = now;
            ++m_count;
        }
        return false;
    }

private:
    QEvent::Type m_type;
    qint64 m_last = 0;
    qint64 m_longest = 0;
    int m_count = 0;
};

// Every repaint of the bar, with the text it showed.
class PaintLog : public QObject {
public:
    explicit PaintLog(ProgressBar* bar) : m_bar(bar) { bar->installEventFilter(this); }
    struct Paint {
        qint64 ns;
        QString text;
    };
    const std::vector<Paint>& paints() const { return m_paints; }

protected:
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::Paint)
            m_paints.push_back({wallNs(), m_bar->text()});
        return false;
    }

private:
    ProgressBar* m_bar;
    std::vector<Paint> m_paints;
};

// The longest the event loop let a 10 ms timer wait past its time.
class LoopLag : public QObject {
public:
    LoopLag()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(10);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = wallNs();
            m_longest = std::max(m_longest, now - m_last);
            m_last = now;
        });
    }
    void begin() { m_last = wallNs(); m_longest = 0; m_timer.start(); }
    void end() { m_timer.stop(); }
    qint64 longestNs() const { return m_longest; }

private:
    QTimer m_timer;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};

// Kills one running child of this program that runs the work folder's converter; its pid, or 0.
pid_t killOneConverter()
{
    QDirIterator procs(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (procs.hasNext()) {
        const QString dir = procs.next();
        QFile statFile(dir + QStringLiteral("/stat"));
        if (!statFile.open(QIODevice::ReadOnly))
            continue;
        const QByteArray stat = statFile.readAll();
        const qsizetype close = stat.lastIndexOf(')');
        if (close < 0 || !stat.contains("(nconvert)"))
            continue;
        const QList<QByteArray> rest = stat.mid(close + 2).split(' ');
        if (rest.size() > 1 && rest[0] != "Z" && rest[1].toInt() == ::getpid()) {
            const pid_t pid = pid_t(QFileInfo(dir).fileName().toInt());
            ::kill(pid, SIGKILL);
            return pid;
        }
    }
    return 0;
}

// What the converter started by hand makes of each input: the bytes it writes, or none; one
// start for each distinct input.
class HandMade {
public:
    HandMade(QString converter, int colours, QString scratch)
        : m_converter(std::move(converter)), m_colours(colours), m_scratch(std::move(scratch))
    {
    }
    // Inputs of the same bytes whose names differ only in their digits are taken to be made
    // alike (the tests' stand-in reads what to do from the name's words).
    const QByteArray* of(const QString& input)
    {
        QFile in(input);
        QString name = QFileInfo(input).fileName();
        name.remove(QRegularExpression(QStringLiteral("[0-9]")));
        const QByteArray key = (in.open(QIODevice::ReadOnly)
            ? QCryptographicHash::hash(in.readAll(), QCryptographicHash::Sha256) : QByteArray("unreadable"))
            + name.toUtf8();
        auto at = m_made.find(key);
        if (at == m_made.end()) {
            const QString out = m_scratch + QStringLiteral("/hand.pcx");
            QFile::remove(out);
            QProcess p;
            p.setProcessEnvironment(ConverterEnvironment());
            p.setStandardInputFile(QProcess::nullDevice());
            p.setStandardOutputFile(QProcess::nullDevice());
            p.setStandardErrorFile(QProcess::nullDevice());
            p.start(m_converter, ConverterArguments(m_colours, out, input));
            p.waitForFinished(-1);
            QFile made(out);
            std::optional<QByteArray> bytes;
            if (made.open(QIODevice::ReadOnly))
                bytes = made.readAll();
            at = m_made.emplace(key, bytes).first;
        }
        return at->second ? &*at->second : nullptr;
    }

private:
    QString m_converter;
    int m_colours;
    QString m_scratch;
    std::map<QByteArray, std::optional<QByteArray>> m_made;
};

}  // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    int colours = 256;
    int workers = 0;
    bool ownTime = false;
    bool shared = false;
    int chunk = 0, stopAfterMs = -1, killAfterMs = -1;
    bool check = false;
    for (qsizetype i = 0; i < args.size();) {
        if (args[i] == QStringLiteral("--colors") && i + 1 < args.size()) {
            colours = args[i + 1].toInt();
            args.remove(i, 2);
        } else if (args[i] == QStringLiteral("--workers") && i + 1 < args.size()) {
            workers = args[i + 1].toInt();
            args.remove(i, 2);
        } else if (args[i] == QStringLiteral("--own-time")) {
            ownTime = true;
            args.remove(i);
        } else if (args[i] == QStringLiteral("--shared")) {
            shared = true;
            args.remove(i);
        } else if (args[i] == QStringLiteral("--chunk") && i + 1 < args.size()) {
            chunk = args[i + 1].toInt();
            args.remove(i, 2);
        } else if (args[i] == QStringLiteral("--stop-after-ms") && i + 1 < args.size()) {
            stopAfterMs = args[i + 1].toInt();
            args.remove(i, 2);
        } else if (args[i] == QStringLiteral("--kill-after-ms") && i + 1 < args.size()) {
            killAfterMs = args[i + 1].toInt();
            args.remove(i, 2);
        } else if (args[i] == QStringLiteral("--check")) {
            check = true;
            args.remove(i);
        } else {
            ++i;
        }
    }
    if (args.size() != 2 || colours <= 0) {
        std::fprintf(stderr, "usage: %s CONVERTER FOLDER [--colors N] [--workers N] [--own-time] [--shared] [--chunk N]"
                             " [--stop-after-ms MS] [--kill-after-ms MS] [--check]\n",
                     argv[0]);
        return 2;
    }
    const QString converter = args[0];
    QDir folder(args[1]);
    QStringList files;
    for (const QString& name : folder.entryList(QDir::Files, QDir::Name))
        files << folder.absoluteFilePath(name);
    if (files.isEmpty()) {
        std::fprintf(stderr, "no files in %s\n", qPrintable(args[1]));
        return 2;
    }

    QTemporaryDir work;
    QTemporaryDir scratch;
    if (!work.isValid() || !scratch.isValid())
        return 2;
    qputenv("TEMP", QFile::encodeName(work.path()));
    const QString placed = work.path() + QStringLiteral("/nconvert");
    if (!QFile::copy(converter, placed)) {
        std::fprintf(stderr, "cannot copy %s\n", qPrintable(converter));
        return 2;
    }
    QFile::setPermissions(placed, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    PrintingPrompts silent;
    Services services = ProgramServices();
    services.prompts = &silent;
    // The run writes its own converter over one that differs; the bench's stays.
    QFile image(converter);
    services.converterImage = [bytes = image.open(QIODevice::ReadOnly) ? image.readAll() : QByteArray()] {
        return bytes;
    };
    services.runWorkers = workers;
    services.chunkFiles = chunk;
    installServices(std::move(services));
    Form1& f1 = Forms::form1();
    f1.Combo1->addItem(QStringLiteral("%1 colors").arg(colours));
    for (const QString& f : files)
        f1.ListView1->addRow(f);
    f1.show();
    Form2& f2 = Forms::form2();
    QCoreApplication::processEvents();

    const double before = ownTime ? converterOwnTime(placed, colours, files, scratch.path()) : 0;
    GapWatch paints(f1.ProgressBar1, QEvent::Paint);
    GapWatch shown(&f2, QEvent::Show);
    PaintLog painted(f1.ProgressBar1);
    LoopLag lag;
    paints.begin();
    lag.begin();
    pid_t killed = 0;
    QTimer stopper, killer;
    stopper.setSingleShot(true);
    killer.setSingleShot(true);
    QObject::connect(&stopper, &QTimer::timeout, &f1, [&f1] { f1.Form_KeyDown(Qt::Key_Escape); });
    QObject::connect(&killer, &QTimer::timeout, &f1, [&killed] { killed = killOneConverter(); });
    if (stopAfterMs >= 0)
        stopper.start(stopAfterMs);
    if (killAfterMs >= 0)
        killer.start(killAfterMs);
    const qint64 start = wallNs();
    if (shared)
        f1.mnuOnePalette_Click();
    else
        f1.PushButton2_Click();
    const qint64 returned = wallNs();
    lag.end();
    if (shown.count() == 0) {
        std::fprintf(stderr, "the results window was not shown\n");
        return 1;
    }
    const qint64 resultsShown = shown.lastNs();
    qint64 lastWritten = 0;
    int failed = 0;
    for (const ReductionRecord& r : f2.records()) {
        lastWritten = std::max(lastWritten, writtenNs(r.workCopy));
        failed += !r.failure.isEmpty();
    }
    const double after = ownTime ? converterOwnTime(placed, colours, files, scratch.path()) : 0;
    if (check) {
        // Each row as the converter by hand makes its input, or stopped; each file of the work
        // folder a row's copy, or the converter.
        HandMade hand(placed, colours, scratch.path());
        int wrong = 0, stopped = 0;
        QSet<QString> copies;
        for (qsizetype i = 0; i < f2.records().size(); ++i) {
            const ReductionRecord& r = f2.records()[i];
            stopped += r.stopped;
            QFile copy(r.workCopy);
            const bool written = !r.workCopy.isEmpty() && copy.open(QIODevice::ReadOnly);
            if (written)
                copies.insert(QFileInfo(r.workCopy).fileName());
            const QByteArray* made = r.stopped ? nullptr : hand.of(r.inputPath);
            const bool right = r.inputPath == files.at(i)
                && (made ? written && r.failure.isEmpty() && copy.readAll() == *made : !written && !r.failure.isEmpty());
            wrong += !right;
        }
        int stray = 0;
        for (const QString& name : QDir(work.path()).entryList(QDir::Files | QDir::Hidden | QDir::System))
            if (name != QStringLiteral("nconvert") && !copies.contains(name)) {
                ++stray;
                std::fprintf(stderr, "stray file: %s\n", qPrintable(name));
            }
        std::printf("check_rows_wrong %d\n", wrong);
        std::printf("check_stopped %d\n", stopped);
        std::printf("check_stray_files %d\n", stray);
        if (killAfterMs >= 0)
            std::printf("killed_pid %d\n", int(killed));
    }

    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto cpuMs = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
    const double runMs = (resultsShown - start) / 1e6;
    std::printf("files %lld\n", static_cast<long long>(files.size()));
    std::printf("rows %lld\n", static_cast<long long>(f2.records().size()));
    std::printf("failed %d\n", failed);
    std::printf("run_ms %.1f\n", runMs);
    std::printf("run_ms_per_file %.3f\n", runMs / files.size());
    std::printf("click_returned_ms %.1f\n", (returned - start) / 1e6);
    std::printf("last_conversion_to_results_ms %.1f\n", (resultsShown - lastWritten) / 1e6);
    std::printf("peak_rss_mb %.1f\n", usage.ru_maxrss / 1024.0);
    // The program's own processor time (its converters not counted), start-up included.
    std::printf("program_cpu_ms %.1f\n", cpuMs(usage.ru_utime) + cpuMs(usage.ru_stime));
    std::printf("bar_repaints %d\n", paints.count());
    std::printf("longest_repaint_gap_ms %.1f\n", paints.longestNs() / 1e6);
    std::printf("longest_loop_lag_ms %.1f\n", lag.longestNs() / 1e6);
    if (ownTime)
        std::printf("converter_own_ms %.1f\n", (before + after) / 2);
    if (shared) {
        // The pass lasts until the bar first shows a file being converted.
        qint64 last = start, longest = 0, passEnd = 0;
        int passPaints = 0;
        for (const PaintLog::Paint& p : painted.paints()) {
            longest = std::max(longest, p.ns - last);
            last = p.ns;
            if (p.text.startsWith(QStringLiteral("Processing: "))) {
                passEnd = p.ns;
                break;
            }
            ++passPaints;
        }
        std::printf("pass_ms %.1f\n", passEnd ? (passEnd - start) / 1e6 : -1.0);
        std::printf("pass_repaints %d\n", passPaints);
        std::printf("longest_pass_repaint_gap_ms %.1f\n", longest / 1e6);
    }
    return 0;
}
