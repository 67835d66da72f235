// SPDX-License-Identifier: GPL-3.0-or-later
// Every pixel to its nearest palette entry by plain RGB distance, the lowest index winning a tie:
// the same answer a search over every entry gives, found through a table of 4x4x4 colour cubes.
#pragma once

#include "pcx.h"
#include "pixels.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <vector>

namespace pcx {

// The one tie rule of every search for a nearest entry: among n entries, the lowest index of those
// at the least distance. distanceTo(i) is entry i's distance, of any ordered type.
template <class F>
size_t lowestNearest(size_t n, F&& distanceTo)
{
    size_t owner = 0;
    auto best = distanceTo(size_t(0));
    for (size_t i = 1; i < n; ++i)
        if (const auto d = distanceTo(i); d < best) {
            best = d;
            owner = i;
        }
    return owner;
}

// The entries of the colours met last, for pictures that repeat their colours: a slot holds a key
// (below 2^32 - 1) plus one above its entry, zero being empty; a sprite's pixels need few slots.
class RecentEntries {
public:
    explicit RecentEntries(size_t pixels)
        : bits_(std::clamp(unsigned(std::bit_width(pixels)), 8u, 14u)), slots_(size_t(1) << bits_)
    {
    }
    // The entry of key, from find() the first time.
    template <class F>
    uint8_t operator()(uint32_t key, F&& find)
    {
        uint64_t& slot = slots_[(key * 2654435761u) >> (32 - bits_)];
        if ((slot >> 8) != uint64_t(key) + 1)
            slot = (uint64_t(key) + 1) << 8 | find();
        return uint8_t(slot);
    }

private:
    unsigned bits_;
    std::vector<uint64_t> slots_;
};

class NearestTable;

// The same search for colours one at a time; threads may share it. lookups is about how many
// colours it will be asked for, which decides whether a table is worth setting up.
class NearestEntry {
public:
    NearestEntry(const std::vector<Rgb>& palette, size_t lookups);
    ~NearestEntry();
    NearestEntry(const NearestEntry&) = delete;
    NearestEntry& operator=(const NearestEntry&) = delete;
    // rgb points at R, G, B.
    uint8_t operator()(const uint8_t* rgb) const;

private:
    std::unique_ptr<NearestTable> table_;
};

// Writes px.count() indices into out, one a pixel in row order; palette has 1 to 256 entries.
void remap(const Pixels& px, const std::vector<Rgb>& palette, uint8_t* out);

}  // namespace pcx
