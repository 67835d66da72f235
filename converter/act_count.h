// SPDX-License-Identifier: GPL-3.0-or-later
// How many entries an .act palette file holds, as the converter reads one and the program reads
// the one the converter wrote: both include this, so that they count alike.
#pragma once

#include <cstddef>

namespace act {

// 768 bytes hold 256 entries; 772 bytes the count stored big-endian at byte 768 when it is 1 to
// 256. 0 for any other size or count, which stored, when given, then holds (0 for a size).
inline int entryCount(const unsigned char* bytes, std::size_t size, unsigned* stored = nullptr)
{
    const unsigned count = size == 768 ? 256 : size == 772 ? unsigned(bytes[768]) << 8 | bytes[769] : 0;
    if (stored)
        *stored = count;
    return count >= 1 && count <= 256 ? int(count) : 0;
}

}  // namespace act
