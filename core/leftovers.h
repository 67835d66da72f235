// What must not outlive the program, though it may end without unwinding (a signal while its
// windows are stuck): the files it keeps in the work folder and the programs it started.
// Every function may be called from any thread.
#pragma once

#include <QString>

#include <chrono>
#include <sys/types.h>

namespace Leftovers {

// path is removed, with the hidden files a writer keeps beside it while writing it
// (RemoveHiddenTemporaries), should the program end before forgetFile(path).
void trackFile(const QString& path);
void forgetFile(const QString& path);
// pid, a child of this process, is stopped should the program end before forgetProcess(pid).
void trackProcess(pid_t pid);
void forgetProcess(pid_t pid);

// The program's last moments: every tracked child is asked to end (SIGTERM) and killed when it
// has not within grace; then every tracked file is removed. The children are left for the
// program to reap.
void removeAll(std::chrono::milliseconds grace);

}  // namespace Leftovers
