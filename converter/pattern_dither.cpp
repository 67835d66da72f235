// SPDX-License-Identifier: GPL-3.0-or-later
#include "pattern_dither.h"

#include <algorithm>
#include <cmath>

namespace pcx {

namespace {

// The factors on the error so far, in 64ths; 0 is the nearest entry alone.
constexpr int factors[] = {0, 4, 16, 32, 64};

// How much of a plan's spread shows once the picture is seen a little blurred, against the error
// of its mean: measured on photos mapped to palettes of 16 to 256 entries.
constexpr double spreadWeight = 0.08;

int lightness(Rgb c) { return 299 * c.r + 587 * c.g + 114 * c.b; }

}  // namespace

void patternPlan(const EntrySearch& s, const uint8_t* rgb, uint8_t plan[64])
{
    const int src[3] = {rgb[0], rgb[1], rgb[2]};
    uint8_t best[64], tried[64];
    double bestCost = INFINITY;
    for (const int factor : factors) {
        int error[3] = {0, 0, 0};
        double sum[3] = {0, 0, 0}, squares = 0;
        for (int k = 0; k < 64; ++k) {
            if (factor == 0 && k > 0) {
                tried[k] = tried[0];
                continue;
            }
            uint8_t goal[3];
            for (int j = 0; j < 3; ++j)
                goal[j] = uint8_t(std::clamp(int(std::lround(src[j] + error[j] * factor / 64.0)), 0, 255));
            tried[k] = s.nearest(goal);
            const Rgb p = s.colours[tried[k]];
            error[0] += src[0] - p.r;
            error[1] += src[1] - p.g;
            error[2] += src[2] - p.b;
        }
        for (int k = 0; k < 64; ++k) {
            const Rgb p = s.colours[tried[k]];
            sum[0] += p.r;
            sum[1] += p.g;
            sum[2] += p.b;
            squares += double(p.r) * p.r + double(p.g) * p.g + double(p.b) * p.b;
        }
        double off = 0, spread = squares / 64;
        for (int j = 0; j < 3; ++j) {
            const double mean = sum[j] / 64;
            off += (mean - src[j]) * (mean - src[j]);
            spread -= mean * mean;
        }
        if (const double cost = off + spreadWeight * spread; cost < bestCost) {
            bestCost = cost;
            std::copy(tried, tried + 64, best);
        }
    }
    std::stable_sort(best, best + 64, [&](uint8_t a, uint8_t b) { return lightness(s.colours[a]) < lightness(s.colours[b]); });
    for (int k = 0; k < 64; ++k)
        plan[k] = s.index[best[k]];
}

}  // namespace pcx
