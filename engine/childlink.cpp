#include "engine/childlink.h"

#include <QProcess>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>
#endif

void TieChildToThisProgram([[maybe_unused]] QProcess& process)
{
#ifdef Q_OS_LINUX
    const pid_t parent = ::getpid();
    process.setChildProcessModifier([parent] {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        // The parent may have ended before the link was made.
        if (::getppid() != parent)
            ::_exit(127);
    });
#endif
}
