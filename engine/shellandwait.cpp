#include "engine/shellandwait.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>

#include <optional>
#include <utility>

namespace {

// The wait in progress, if any.
struct CurrentWait {
    ProcessRunner& runner;
    bool& cancelled;
};
CurrentWait* g_current = nullptr;

}  // namespace

void CancelWait()
{
    if (!g_current)
        return;
    g_current->cancelled = true;
    // Stopped here and now: the caller may be about to end the program without unwinding.
    g_current->runner.stop();
    if (QAbstractEventDispatcher* d = QAbstractEventDispatcher::instance())
        d->wakeUp();
}

ProcessReport WaitForProgram(const QString& program, const QStringList& arguments,
                             BarAnimator* animator, const QProcessEnvironment* environment)
{
    ProcessRunner runner;
    if (environment)
        runner.setEnvironment(*environment);
    bool cancelled = false;
    CurrentWait current{runner, cancelled};
    CurrentWait* const outer = std::exchange(g_current, &current);
    const auto idle = [&runner] { return runner.stage() == ProcessRunner::Stage::Idle; };

    runner.start(program, arguments);
    // Sleeps until something happens: the start's outcome, the end, a tick or any window event.
    while (runner.stage() == ProcessRunner::Stage::Starting && !cancelled)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const bool ran = runner.report().startError == 0;
    if (ran) {
        bool over = false;
        Ticks ticks;
        ticks.source().start([&] {
            if (animator && !over && !cancelled)
                animator->tick();
        });
        while (!idle() && !cancelled)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        over = true;
        ticks.source().stop();
    }
    g_current = outer;
    if (ran && animator)
        animator->restore();
    return runner.report();
}

int ShellAndWait(const QString& program, const QStringList& arguments, int /*windowStyle*/,
                 ProgressBar* bar, const QString& baseText, int startValue, int rowCount)
{
    std::optional<BarAnimator> animator;
    if (bar)
        animator.emplace(*bar, baseText, startValue, rowCount);
    const ProcessReport report = WaitForProgram(program, arguments, animator ? &*animator : nullptr);
    return report.startError != 0 ? kStartErrorBase + report.startError : report.exitCode;
}
