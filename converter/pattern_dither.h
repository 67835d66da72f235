// SPDX-License-Identifier: GPL-3.0-or-later
// Positional dithering to any palette: each colour gets a plan of 64 entries whose mix comes near
// it, in order of lightness, and an 8x8 threshold matrix picks one by the pixel's place. A pixel's
// entry depends on its colour and place alone, so what stands still in an animation keeps its
// indices. A plan is made of the entries of Knoll's lists (candidates chosen with the error so far
// added back, times a factor) for a few factors: the best list, then moves of one threshold from
// an entry to another while they help, by what the plan would show seen from a little way off.
#pragma once

#include "bands.h"
#include "entry_search.h"
#include "pixels.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace pcx {

// The threshold of a place, 0 to 63: Bayer's 8x8 matrix.
inline unsigned thresholdAt(uint32_t x, uint32_t y)
{
    // Bit-reversed interleaving of x ^ y and y.
    const unsigned a = (x ^ y) & 7, b = y & 7;
    return ((a & 1) << 5 | (b & 1) << 4 | (a & 2) << 2 | (b & 2) << 1 | (a & 4) >> 1 | (b & 4) >> 2);
}

// The plans of a picture's colours, one a point of a grid of colours, made before any pixel is
// mapped so that bands share them.
class PatternPlans {
public:
    PatternPlans(const Pixels& px, const EntrySearch& s);
    // The entry of a pixel of R, G, B at rgb at place x, y. Its plan is that of the nearest point
    // of a 6-bit grid, off by at most two steps in 255 on each channel (a 7-bit grid costs five
    // times the plans). What that leaves is taken back along the plan's way from its darkest
    // entry to its lightest: a pixel that lies further along takes a later threshold, whose mix
    // holds more of the lightest, in proportion.
    uint8_t entry(const uint8_t* rgb, uint32_t x, uint32_t y) const
    {
        const Plan& p = plans_[planOf_[cellOf(rgb)]];
        int shift = 128;
        for (int k = 0; k < 3; ++k)
            shift += p.gain[k] * (rgb[k] - pointOf((rgb[k] * 63u + 127) / 255));
        return p.entry[std::clamp(int(thresholdAt(x, y)) + (shift >> 8), 0, 63)];
    }

private:
    struct Plan {
        uint8_t entry[64];
        int gain[3];  // thresholds a step in 255 on each channel moves, in 256ths
    };
    static size_t cellOf(const uint8_t* rgb)
    {
        return size_t((rgb[0] * 63u + 127) / 255) << 12 | ((rgb[1] * 63u + 127) / 255) << 6 | (rgb[2] * 63u + 127) / 255;
    }
    static int pointOf(unsigned step) { return int((step * 255 + 31) / 63); }
    static void make(const EntrySearch& s, const uint8_t* rgb, Plan& plan);

    std::vector<uint32_t> planOf_;  // by cell
    std::vector<Plan> plans_;
};

// Maps px to the search's entries. exact(i, c) gives a pixel's entry when it is not dithered (a
// key pixel, a colour of the palette), else -1.
template <class Exact>
void patternDither(const Pixels& px, const EntrySearch& s, Exact&& exact, uint8_t* out)
{
    const PatternPlans plans(px, s);
    forEachBand(bandCount(px.count()), px.height, [&](unsigned, uint32_t y0, uint32_t y1) {
        for (uint32_t y = y0; y < y1; ++y) {
            const uint8_t* c = px.row(y);
            for (uint32_t x = 0; x < px.width; ++x, c += 4) {
                const size_t i = size_t(y) * px.width + x;
                const int e = exact(i, c);
                out[i] = e >= 0 ? uint8_t(e) : plans.entry(c, x, y);
            }
        }
    });
}

}  // namespace pcx
