// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer entry for the PCX reader; see the README for how to run it.
#include "pcx.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    pcx::Limits limits;
    limits.maxPixels = uint64_t(1) << 24;  // keeps each run quick; the size check is what matters
    pcx::Image img;
    if (pcx::decodeMemory(data, size, img, limits) == pcx::Error::None) {
        // Every index must name a palette entry.
        if (img.indexed)
            for (uint8_t p : img.pixels)
                if (p >= img.palette.size())
                    __builtin_trap();
        pcx::Choice c = pcx::chooseSmallest(img.indexed ? img : pcx::Image{}, true);
        (void)c;
    }
    return 0;
}
