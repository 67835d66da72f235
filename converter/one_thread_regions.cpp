// SPDX-License-Identifier: GPL-3.0-or-later
// libimagequant runs a few hundred OpenMP regions on a small picture. With one thread allowed (as
// the desktop program runs its converters side by side) libgomp still makes a team of one for
// each and wakes it through the kernel at its end: a tenth of a sprite's time. Such a region is
// run here on the calling thread, as its team of one would run it; any other goes to libgomp.
#include "bands.h"

#include <dlfcn.h>

extern "C" void GOMP_parallel(void (*fn)(void*), void* data, unsigned threads, unsigned flags)
{
    using Parallel = void (*)(void (*)(void*), void*, unsigned, unsigned);
    static const Parallel libgomp = reinterpret_cast<Parallel>(dlsym(RTLD_NEXT, "GOMP_parallel"));
    // 0: as many as the process may use.
    if (libgomp && threads != 1 && (threads != 0 || pcx::usableCores() != 1)) {
        libgomp(fn, data, threads, flags);
        return;
    }
    fn(data);
}
