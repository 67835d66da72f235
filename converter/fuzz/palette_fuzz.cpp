// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer entry: the palette reader; see the README for how to run it.
#include "palette_check.h"

#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string broken = pcx::checkPalette(data, size);
    if (!broken.empty()) {
        std::fprintf(stderr, "palette check: %s\n", broken.c_str());
        __builtin_trap();
    }
    return 0;
}
