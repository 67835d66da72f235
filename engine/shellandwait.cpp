#include "engine/shellandwait.h"

#include "core/controls.h"
#include "core/leftovers.h"
#include "core/messages.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace {

TickSource* g_testTicks = nullptr;
// The wait in progress, if any.
struct CurrentWait {
    QProcess& process;
    bool& cancelled;
};
CurrentWait* g_current = nullptr;

class TimerTicks : public TickSource {
public:
    TimerTicks() { m_timer.setInterval(100); }
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

constexpr qsizetype kErrorOutputLimit = 4096;

int normalisedWindowStyle(int style) { return style < 0 || style > 6 ? 6 : style; }

// QProcess does not say why a start failed; ask the file system the way exec would.
int startErrorNumber(const QString& program)
{
    const QByteArray native = QFile::encodeName(program);
    struct stat st;
    if (native.isEmpty())
        return ENOENT;
    if (::stat(native.constData(), &st) != 0)
        return errno;
    if (S_ISDIR(st.st_mode))
        return EACCES;
    if (::access(native.constData(), X_OK) != 0)
        return errno;
    return ENOEXEC;
}

// Rounds to the nearest whole number, halves to the even neighbour.
int roundEven(double v) { return static_cast<int>(std::nearbyint(v)); }

}  // namespace

void setTickSourceForTesting(TickSource* source) { g_testTicks = source; }

void StopProcess(QProcess& process, std::chrono::milliseconds grace)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (process.waitForFinished(int(grace.count())))
        return;
    process.kill();
    process.waitForFinished(3000);
}

void CancelWait()
{
    if (!g_current)
        return;
    g_current->cancelled = true;
    // Stopped here and now: the caller may be about to end the program without unwinding.
    StopProcess(g_current->process);
    if (QAbstractEventDispatcher* d = QAbstractEventDispatcher::instance())
        d->wakeUp();
}

int ShellAndWait(const QString& program, const QStringList& arguments, int windowStyle,
                 ProgressBar* bar, const QString& baseText, int startValue, int rowCount,
                 QString* errorOutput)
{
    (void)normalisedWindowStyle(windowStyle);
    if (errorOutput)
        errorOutput->clear();
    rowCount = std::max(rowCount, 1);

    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    QByteArray errors;
    if (errorOutput) {
        // Read as it comes, so a talkative program never stalls on a full pipe; only the
        // start is kept.
        QObject::connect(&process, &QProcess::readyReadStandardError, [&process, &errors] {
            const QByteArray more = process.readAllStandardError();
            errors += more.left(std::max<qsizetype>(0, kErrorOutputLimit - errors.size()));
        });
    } else {
        process.setStandardErrorFile(QProcess::nullDevice());
    }
    bool ended = false;
    QObject::connect(&process, &QProcess::finished, [&ended] { ended = true; });
    QObject::connect(&process, &QProcess::errorOccurred, [&ended](QProcess::ProcessError e) {
        if (e == QProcess::Crashed)
            ended = true;
    });
#ifdef Q_OS_LINUX
    const pid_t parent = ::getpid();
    process.setChildProcessModifier([parent] {
        // Asked to end with this program, however it ends (it may not unwind).
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
    });
#endif
    process.start();
    if (!process.waitForStarted(-1))
        return kStartErrorBase + startErrorNumber(program);
    const pid_t pid = pid_t(process.processId());
    Leftovers::trackProcess(pid);
    const auto forget = qScopeGuard([pid] { Leftovers::forgetProcess(pid); });

    int ticks = 0;
    bool cancelled = false;
    auto onTick = [&] {
        if (ended || cancelled || !bar)
            return;
        ++ticks;
        if (ticks < 50)
            return;
        const int waited = ticks - 50;
        bar->setBarText(baseText + (baseText.isEmpty() ? QString() : QStringLiteral(", "))
                        + Messages::kBarPleaseWait + QString::number(waited));
        if (waited % 150 == 0) {
            const int step = roundEven(100.0 / rowCount / 10.0);
            const int cap = roundEven(100.0 / rowCount + startValue - step);
            const double v = double(waited / 150) * step + startValue;
            // The last file starts at 100, so its cap lies beyond the bar's end.
            bar->setValueReal(std::min({v, double(cap), 100.0}));
        }
    };

    CurrentWait current{process, cancelled};
    CurrentWait* const outer = std::exchange(g_current, &current);
    TimerTicks timerTicks;
    TickSource& source = g_testTicks ? *g_testTicks : timerTicks;
    source.start(onTick);
    // Sleeps until something happens: the process ending, a tick, or any window event.
    while (!ended && !cancelled && process.state() != QProcess::NotRunning)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    source.stop();
    g_current = outer;

    // Unchanged text is not set again: a repaint per file is a measurable share of a short run.
    const QString restored = baseText.isEmpty() ? Messages::kBarAtRest : baseText;
    if (bar && bar->barText() != restored)
        bar->setBarText(restored);
    if (errorOutput) {
        errors += process.readAllStandardError();
        *errorOutput = QString::fromLocal8Bit(errors.left(kErrorOutputLimit));
    }
    return process.exitCode();
}
