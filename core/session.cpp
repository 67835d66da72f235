#include "core/session.h"

#include "core/leftovers.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <functional>
#include <thread>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr int kEndingSignals[] = {SIGTERM, SIGHUP, SIGINT};

// The signal handler may do next to nothing; it hands the signal to the event loop through a
// pipe, and the windows close from there as they would for the user.
int g_signalPipe[2] = {-1, -1};
QSocketNotifier* g_signalNotifier = nullptr;
std::function<void()> g_endSession;
bool g_ending = false;

// The watchdog: a thread that ends the program when, after a signal, the event loop stops
// running (a window stuck on a hung network folder). The event loop shows it runs by a
// heartbeat; the signal handler wakes the watchdog through a pipe of its own. A byte 0 asks the
// watchdog to leave.
int g_watchPipe[2] = {-1, -1};
std::thread* g_watchdog = nullptr;
QTimer* g_heartbeat = nullptr;
std::atomic<std::chrono::steady_clock::rep> g_lastBeat{0};
std::atomic<bool> g_cleanupDone{false};

std::chrono::steady_clock::rep now() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

extern "C" void onEndingSignal(int sig)
{
    const int saved = errno;
    const char c = static_cast<char>(sig);
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &c, 1);
    n = ::write(g_watchPipe[1], &c, 1);
    errno = saved;
}

// The program's last moments without its event loop: whatever may still be removed is, and the
// program ends by the signal that asked it to, as it would have without its handler.
[[noreturn]] void endStuckProgram(int sig)
{
    // A removal stuck in its turn (the work folder on a hung network) must not hold the end.
    std::thread([] {
        Leftovers::removeAll(std::chrono::seconds(1));
        g_cleanupDone = true;
    }).detach();
    for (int i = 0; i < 100 && !g_cleanupDone; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::signal(sig, SIG_DFL);
    ::kill(::getpid(), sig);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::_Exit(128 + sig);
}

// Reads the next byte from the watchdog's pipe, waiting at most timeoutMs (-1: for ever);
// -1 when none came.
int nextByte(int timeoutMs)
{
    pollfd p = {g_watchPipe[0], POLLIN, 0};
    char c = 0;
    if (::poll(&p, 1, timeoutMs) <= 0 || ::read(g_watchPipe[0], &c, 1) != 1)
        return -1;
    return static_cast<unsigned char>(c);
}

void watch(std::chrono::milliseconds stuckFor)
{
    // Signals go to the other threads: the handler's writes, and at the end the signal's
    // default action, which ends the whole program.
    sigset_t ending;
    sigemptyset(&ending);
    for (const int s : kEndingSignals)
        sigaddset(&ending, s);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);
    int sig = nextByte(-1);
    while (sig < 0)
        sig = nextByte(-1);
    if (sig == 0)
        return;
    g_lastBeat = now();
    const auto limit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(stuckFor).count();
    for (;;) {
        if (nextByte(50) == 0)
            return;
        if (now() - g_lastBeat.load() >= limit)
            endStuckProgram(sig);
    }
}

void startWatchdog(std::chrono::milliseconds stuckFor)
{
    if (::pipe2(g_watchPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    g_watchdog = new std::thread(watch, stuckFor);
}

void closePipe(int (&fds)[2])
{
    for (int& fd : fds) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void stopWatchdog()
{
    delete g_heartbeat;
    g_heartbeat = nullptr;
    if (g_watchdog) {
        const char quit = 0;
        [[maybe_unused]] const ssize_t n = ::write(g_watchPipe[1], &quit, 1);
        g_watchdog->join();
        delete g_watchdog;
        g_watchdog = nullptr;
    }
    closePipe(g_watchPipe);
}

// From the first signal on, the event loop tells the watchdog it still runs.
void startHeartbeat()
{
    if (g_heartbeat)
        return;
    g_heartbeat = new QTimer;
    QObject::connect(g_heartbeat, &QTimer::timeout, [] { g_lastBeat = now(); });
    g_heartbeat->start(100);
    g_lastBeat = now();
}

void setHandler(int sig, void (*handler)(int))
{
    struct sigaction sa = {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(sig, &sa, nullptr);
}

void signalArrived()
{
    startHeartbeat();
    char c = 0;
    while (::read(g_signalPipe[0], &c, 1) == 1)
        setHandler(static_cast<unsigned char>(c), SIG_DFL);
    g_ending = true;
    if (g_endSession)
        g_endSession();
}

}  // namespace

void LeaveProgram(bool operationRunning)
{
    QCoreApplication::exit(0);
    // Settings are on disk after every write, so nothing is lost by not unwinding.
    if (operationRunning)
        std::_Exit(0);
}

void InstallSessionEndHandlers(std::function<void()> endSession, std::chrono::milliseconds stuckFor)
{
    if (g_signalNotifier)
        return;
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;  // the program still runs; it only ends the default way on a signal
    g_endSession = std::move(endSession);
    startWatchdog(stuckFor);
    g_signalNotifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(g_signalNotifier, &QSocketNotifier::activated, [] { signalArrived(); });
    for (const int sig : kEndingSignals)
        setHandler(sig, onEndingSignal);
    // A write past the user's file size limit (ulimit -f) would otherwise end the program
    // halfway through a save, leaving a partial file; ignored, the write fails with EFBIG and is
    // reported like any other.
    setHandler(SIGXFSZ, SIG_IGN);
    // The session manager's request to save data may still be cancelled, or be a mere
    // checkpoint: nothing happens there. Its real end is a quit, which closes every window.
}

bool SessionEnding() { return g_ending; }

void RemoveSessionEndHandlers()
{
    g_ending = false;
    for (const int sig : kEndingSignals)
        setHandler(sig, SIG_DFL);
    setHandler(SIGXFSZ, SIG_DFL);
    stopWatchdog();
    delete g_signalNotifier;
    g_signalNotifier = nullptr;
    g_endSession = nullptr;
    closePipe(g_signalPipe);
}
