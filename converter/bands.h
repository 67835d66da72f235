// SPDX-License-Identifier: GPL-3.0-or-later
// Splits a picture's rows between the cores, for the stages that treat every row alike.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <vector>

namespace pcx {

// The cores this process may use: OMP_NUM_THREADS when set to a positive number (the program sets
// it when several converters run side by side, so they do not crowd the cores), else all of them.
inline unsigned coresAllowed(const char* ompNumThreads, unsigned cores)
{
    if (ompNumThreads) {
        char* end = nullptr;
        const long asked = std::strtol(ompNumThreads, &end, 10);
        if (end != ompNumThreads && asked > 0)
            return unsigned(std::min<long>(asked, 1024));
    }
    return cores;
}

inline unsigned usableCores()
{
    static const unsigned cores =
        coresAllowed(std::getenv("OMP_NUM_THREADS"), std::thread::hardware_concurrency());
    return cores;
}

// How many bands of rows a picture of this many pixels is worth splitting into: one per usable
// core (at most 8), or one when starting threads would cost more than they save.
inline unsigned bandCount(size_t pixels)
{
    if (pixels < (size_t(1) << 18))
        return 1;
    return std::clamp(usableCores(), 1u, 8u);
}

// Calls fn(band, firstRow, endRow) once for each of `bands` consecutive bands of rows; the last
// band runs on the calling thread. fn must not throw. Should a thread fail to start, its band
// runs on the calling thread instead.
template <class F>
void forEachBand(unsigned bands, uint32_t rows, F&& fn)
{
    bands = std::max(1u, std::min<unsigned>(bands, std::max<uint32_t>(rows, 1)));
    auto first = [&](unsigned b) { return uint32_t(uint64_t(rows) * b / bands); };
    std::vector<std::thread> threads;
    std::vector<unsigned> inline_;
    threads.reserve(bands);
    inline_.reserve(bands);
    for (unsigned b = 0; b + 1 < bands; ++b) {
        try {
            threads.emplace_back([&fn, b, y0 = first(b), y1 = first(b + 1)] { fn(b, y0, y1); });
        } catch (const std::system_error&) {
            inline_.push_back(b);
        }
    }
    fn(bands - 1, first(bands - 1), rows);
    for (unsigned b : inline_)
        fn(b, first(b), first(b + 1));
    for (auto& t : threads)
        t.join();
}

// Calls fn(result, firstRow, endRow) for each band into a result of its own, value-initialised,
// and returns the first after add(first, other) has taken in each other one.
template <class T, class F, class Add>
T sumOverBands(unsigned bands, uint32_t rows, F&& fn, Add&& add)
{
    std::vector<T> perBand(std::max(1u, bands));
    forEachBand(bands, rows, [&](unsigned band, uint32_t y0, uint32_t y1) { fn(perBand[band], y0, y1); });
    for (size_t b = 1; b < perBand.size(); ++b)
        add(perBand[0], perBand[b]);
    return std::move(perBand[0]);
}

}  // namespace pcx
