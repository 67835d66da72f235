#include "core/leftovers.h"

#include "core/fileops.h"

#include <QFile>


#include <algorithm>
#include <csignal>
#include <mutex>
#include <set>
#include <thread>
#include <vector>
#include <sys/wait.h>

namespace {

std::mutex g_lock;
std::set<QString> g_files;
std::set<pid_t> g_processes;

// True while pid is a child of ours that has not ended. A child already reaped, and so a number
// that may belong to somebody else by now, is not ours.
bool stillRunning(pid_t pid)
{
    siginfo_t info = {};
    return ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

void stopAll(std::vector<pid_t> pids, std::chrono::milliseconds grace)
{
    std::erase_if(pids, [](pid_t pid) { return !stillRunning(pid); });
    for (const pid_t pid : pids)
        ::kill(pid, SIGTERM);
    const auto until = std::chrono::steady_clock::now() + grace;
    while (std::ranges::any_of(pids, stillRunning) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (const pid_t pid : pids)
        if (stillRunning(pid))
            ::kill(pid, SIGKILL);
}

}  // namespace

namespace Leftovers {

void trackFile(const QString& path)
{
    const std::lock_guard hold(g_lock);
    g_files.insert(path);
}

void forgetFile(const QString& path)
{
    const std::lock_guard hold(g_lock);
    g_files.erase(path);
}

void trackProcess(pid_t pid)
{
    const std::lock_guard hold(g_lock);
    g_processes.insert(pid);
}

void forgetProcess(pid_t pid)
{
    const std::lock_guard hold(g_lock);
    g_processes.erase(pid);
}

void removeAll(std::chrono::milliseconds grace)
{
    std::vector<pid_t> pids;
    std::vector<QString> files;
    {
        const std::lock_guard hold(g_lock);
        pids.assign(g_processes.begin(), g_processes.end());
        files.assign(g_files.begin(), g_files.end());
    }
    // First the writers, so that nothing is written again after its removal.
    stopAll(std::move(pids), grace);
    for (const QString& f : files) {
        QFile::remove(f);
        RemoveHiddenTemporaries(f);
    }
}

}  // namespace Leftovers
