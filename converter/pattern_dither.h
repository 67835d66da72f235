// SPDX-License-Identifier: GPL-3.0-or-later
// Positional dithering to any palette: each colour gets a plan of 64 entries whose mix comes near
// it, in order of lightness, and an 8x8 threshold matrix picks one by the pixel's place. A pixel's
// entry depends on its colour and place alone, so what stands still in an animation keeps its
// indices. The plans follow Knoll's pattern dithering (candidates chosen with the error so far
// added back, times a factor); each colour takes the factor whose plan would look closest once
// seen from a little way off: the mix's error, and a little of its spread.
#pragma once

#include "bands.h"
#include "entry_search.h"
#include "pixels.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace pcx {

// The 64 palette entries of the plan for R, G, B at rgb, the darkest first.
void patternPlan(const EntrySearch& search, const uint8_t* rgb, uint8_t plan[64]);

// The threshold of a place, 0 to 63: Bayer's 8x8 matrix.
inline unsigned thresholdAt(uint32_t x, uint32_t y)
{
    // Bit-reversed interleaving of x ^ y and y.
    const unsigned a = (x ^ y) & 7, b = y & 7;
    return ((a & 1) << 5 | (b & 1) << 4 | (a & 2) << 2 | (b & 2) << 1 | (a & 4) >> 1 | (b & 4) >> 2);
}

// The plans of one band of rows, one a point of a grid of colours, made as they are needed.
class PatternPlans {
public:
    PatternPlans() : planOf_(size_t(1) << 18, 0) {}
    // The entry of a pixel of R, G, B at rgb at place x, y: its plan is that of the nearest point
    // of a 6-bit grid, off by at most two steps in 255 on each channel. (A 7-bit grid gained a
    // few tenths of a decibel on smooth pictures for three times the time on a photo; dithering
    // to the grid's points lost more than rounding.)
    uint8_t entry(const EntrySearch& s, const uint8_t* rgb, uint32_t x, uint32_t y)
    {
        size_t cell = 0;
        uint8_t point[3];
        for (int k = 0; k < 3; ++k) {
            const unsigned step = (rgb[k] * 63u + 127) / 255;
            cell = cell << 6 | step;
            point[k] = uint8_t((step * 255 + 31) / 63);
        }
        uint32_t& at = planOf_[cell];
        if (!at) {
            at = uint32_t(plans_.size() / 64 + 1);
            plans_.resize(plans_.size() + 64);
            patternPlan(s, point, &plans_[plans_.size() - 64]);
        }
        return plans_[size_t(at - 1) * 64 + thresholdAt(x, y)];
    }

private:
    std::vector<uint32_t> planOf_;  // one past the plan's number, 0 for none yet
    std::vector<uint8_t> plans_;
};

// Maps px to the search's entries. exact(i, c) gives a pixel's entry when it is not dithered (a
// key pixel, a colour of the palette), else -1.
template <class Exact>
void patternDither(const Pixels& px, const EntrySearch& s, Exact&& exact, uint8_t* out)
{
    forEachBand(bandCount(px.count()), px.height, [&](unsigned, uint32_t y0, uint32_t y1) {
        PatternPlans plans;
        for (uint32_t y = y0; y < y1; ++y) {
            const uint8_t* c = px.row(y);
            for (uint32_t x = 0; x < px.width; ++x, c += 4) {
                const size_t i = size_t(y) * px.width + x;
                const int e = exact(i, c);
                out[i] = e >= 0 ? uint8_t(e) : plans.entry(s, c, x, y);
            }
        }
    });
}

}  // namespace pcx
