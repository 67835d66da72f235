// SPDX-License-Identifier: GPL-3.0-or-later
#include "runs.h"

#include "bands.h"
#include "reduce.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <vector>

namespace pcx {

namespace {

// Every step-th row from y0 to y1 of the walk extendRuns makes: adds the squared error it costs
// to total, and makes the change when apply is set. Gives up once total is above limit.
// distance(i, e) is pixel i's squared distance to entry e.
template <class Distance>
void walkRows(const Pixels& px, Image& indexed, int tolerance, bool apply, uint32_t y0, uint32_t y1,
              uint32_t step, std::atomic<uint64_t>& total, uint64_t limit, const Distance& distance)
{
    const size_t w = px.width;
    // A copy of its own, which the writes to the rows cannot touch, stays in registers.
    const Distance distanceOf = distance;
    for (uint32_t y = (y0 + step - 1) / step * step; y < y1; y += step) {
        const size_t first = size_t(y) * w;
        uint8_t* row = indexed.pixels.data() + first;
        uint64_t added = 0;
        uint8_t left = row[0];
        for (size_t x = 1; x < w; ++x) {
            uint8_t cur = row[x];
            if (cur != left) {
                const int extra = distanceOf(first + x, left) - distanceOf(first + x, cur);
                if (extra <= tolerance) {
                    added += uint64_t(std::max(extra, 0));
                    cur = left;
                    if (apply)
                        row[x] = cur;
                }
            }
            left = cur;
        }
        if (total.fetch_add(added, std::memory_order_relaxed) + added > limit)
            return;
    }
}

// The squared error a walk with this tolerance adds on every step-th row; above limit when it
// gives up early.
template <class Distance>
uint64_t walk(const Pixels& px, Image& indexed, int tolerance, bool apply, uint64_t limit, uint32_t step,
              const Distance& distance)
{
    std::atomic<uint64_t> total{0};
    forEachBand(bandCount(px.count()), px.height, [&](unsigned, uint32_t y0, uint32_t y1) {
        walkRows(px, indexed, tolerance, apply, y0, y1, step, total, limit, distance);
    });
    return total.load();
}

uint64_t limitFor(double budget, uint64_t error)
{
    const double allowed = budget * double(error);
    return allowed >= 1.8e19 ? UINT64_MAX : uint64_t(allowed);
}

template <class Distance>
int extendWith(const Pixels& px, Image& indexed, double budget, uint64_t error, const Distance& distance)
{
    // Steps of a factor of the square root of two: coarser steps leave much of the budget unused.
    static constexpr int tolerances[] = {16384, 11585, 8192, 5793, 4096, 2896, 2048, 1448, 1024, 724, 512, 362, 256,
                                         181,   128,   90,   64,   45,   32,   23,   16,   11,   8,    6,   4};
    constexpr size_t count = std::size(tolerances);
    // The added error grows with the tolerance, so a binary search finds the largest that fits in
    // five trials; a trial over budget stops as soon as it is. On a large picture the search
    // looks at every fourth row, and the result is then checked on all of them.
    const uint32_t step = px.count() >= (size_t(1) << 20) ? 4 : 1;
    const uint64_t sampled = limitFor(budget, step == 1 ? error : totalError(px, indexed, step));
    size_t lo = 0, hi = count;  // tolerances[hi] fits (past the end: none)
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (walk(px, indexed, tolerances[mid], false, sampled, step, distance) <= sampled)
            hi = mid;
        else
            lo = mid + 1;
    }
    if (hi == count || step == 1) {
        if (hi < count)
            walk(px, indexed, tolerances[hi], true, UINT64_MAX, 1, distance);
        return hi < count ? tolerances[hi] : 0;
    }
    const uint64_t limit = limitFor(budget, error);
    const std::vector<uint8_t> before = indexed.pixels;
    for (; hi < count; ++hi) {
        if (walk(px, indexed, tolerances[hi], true, UINT64_MAX, 1, distance) <= limit)
            return tolerances[hi];
        // The rows looked at misjudged the picture: undo, and try the next smaller tolerance.
        indexed.pixels = before;
    }
    return 0;
}

}  // namespace

int extendWithin(const Pixels& px, Image& indexed, double budget, uint64_t error)
{
    if (const std::vector<int> table = sourceDistances(px, indexed.palette); !table.empty()) {
        const uint8_t* source = px.indices();
        const size_t k = indexed.palette.size();
        return extendWith(px, indexed, budget, error,
                          [source, d = table.data(), k](size_t i, uint8_t e) { return d[size_t(source[i]) * k + e]; });
    }
    const Rgb* pal = indexed.palette.data();
    return extendWith(px, indexed, budget, error,
                      [c = px.data(), pal](size_t i, uint8_t e) { return distance2(c + 4 * i, pal[e]); });
}

int extendRunsWithin(const Image& original, Image& indexed, double budget)
{
    if (budget <= 0 || !sameSize(original, indexed))
        return 0;
    const Pixels px(original);
    return extendWithin(px, indexed, budget, totalError(px, indexed));
}

}  // namespace pcx
