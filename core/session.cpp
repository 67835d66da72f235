#include "core/session.h"

#include "core/controls.h"
#include "core/formhost.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <QWidget>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::function<void(bool)> g_endHook;

constexpr int kEndingSignals[] = {SIGTERM, SIGHUP, SIGINT};

// The signal handler may do next to nothing; it hands the signal to the event loop through a
// pipe, and the windows close from there as they would for the user.
int g_signalPipe[2] = {-1, -1};
QSocketNotifier* g_signalNotifier = nullptr;
bool g_ending = false;

extern "C" void onEndingSignal(int sig)
{
    const int saved = errno;
    const char c = static_cast<char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &c, 1);
    errno = saved;
}

void setHandler(int sig, void (*handler)(int))
{
    struct sigaction sa = {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(sig, &sa, nullptr);
}

// A prompt waits in an event loop of its own, which no window's close ends: left open, it would
// hold the program on its way out (during start-up there is no window to close yet).
void dismissPrompts()
{
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QDialog*>(w);
        if (dialog && dialog->isVisible())
            dialog->reject();
    }
}

void endSession()
{
    g_ending = true;
    dismissPrompts();
    CloseAllWindows();
}

void signalArrived()
{
    char c = 0;
    while (::read(g_signalPipe[0], &c, 1) == 1)
        setHandler(static_cast<unsigned char>(c), SIG_DFL);
    endSession();
}

}  // namespace

void EndProgram(bool operationRunning)
{
    for (QWidget* w : QApplication::topLevelWidgets())
        w->hide();
    if (g_endHook) {
        g_endHook(operationRunning);
        return;
    }
    QApplication::exit(0);
    // Settings are on disk after every write, so nothing is lost by not unwinding.
    if (operationRunning)
        std::_Exit(0);
}

void setEndProgramForTesting(std::function<void(bool)> hook) { g_endHook = std::move(hook); }

void CloseAllWindows()
{
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && (qobject_cast<FormBase*>(w) || qobject_cast<FormHost*>(w)))
            w->close();
    }
}

void InstallSessionEndHandlers()
{
    if (g_signalNotifier)
        return;
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;  // the program still runs; it only ends the default way on a signal
    g_signalNotifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(g_signalNotifier, &QSocketNotifier::activated, [] { signalArrived(); });
    for (const int sig : kEndingSignals)
        setHandler(sig, onEndingSignal);
    // The session manager's request to save data may still be cancelled, or be a mere
    // checkpoint: nothing happens there. Its real end is a quit, which closes every window.
}

bool SessionEnding() { return g_ending; }

void RemoveSessionEndHandlers()
{
    g_ending = false;
    for (const int sig : kEndingSignals)
        setHandler(sig, SIG_DFL);
    delete g_signalNotifier;
    g_signalNotifier = nullptr;
    for (int& fd : g_signalPipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}
