// SPDX-License-Identifier: GPL-3.0-or-later
#include "pixels.h"

#include "bands.h"

namespace pcx {

uint64_t totalError(const Pixels& px, const Image& indexed, uint32_t step)
{
    return sumOverBands<uint64_t>(
        bandCount(px.count()), px.height,
        [&](uint64_t& sum, uint32_t y0, uint32_t y1) {
            for (uint32_t y = (y0 + step - 1) / step * step; y < y1; y += step) {
                const uint8_t* c = px.row(y);
                const uint8_t* p = indexed.pixels.data() + size_t(y) * px.width;
                for (size_t x = 0; x < px.width; ++x, c += 4)
                    sum += uint64_t(distance2(c, indexed.palette[p[x]]));
            }
        },
        [](uint64_t& a, uint64_t b) { a += b; });
}

std::vector<int> sourceDistances(const Pixels& px, const std::vector<Rgb>& palette)
{
    std::vector<int> table;
    const std::vector<Rgb>* from = px.sourcePalette();
    if (!from || from->size() * palette.size() > px.count())
        return table;
    table.resize(from->size() * palette.size());
    int* d = table.data();
    for (const Rgb c : *from)
        for (const Rgb e : palette)
            *d++ = distance2(c, e);
    return table;
}

}  // namespace pcx
