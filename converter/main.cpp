// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli.h"

#include <cstdlib>
#include <unistd.h>

namespace {

// libimagequant's OpenMP threads spin while they wait for work, which on a busy machine takes a
// core from the thread they wait for. libgomp reads OMP_WAIT_POLICY once, as it loads, before
// main() runs; so the program sets it and starts itself again. A policy the user chose is kept.
void waitPassively(char** argv)
{
    if (std::getenv("OMP_WAIT_POLICY"))
        return;
    if (setenv("OMP_WAIT_POLICY", "passive", 1) != 0)
        return;
    execv("/proc/self/exe", argv);
    // Without /proc the program runs on as it is.
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 0)
        waitPassively(argv);
    return pcx::runConverter(argc, argv);
}
