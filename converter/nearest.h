// SPDX-License-Identifier: GPL-3.0-or-later
// Every pixel to its nearest palette entry by plain RGB distance, the lowest index winning a tie:
// the same answer a search over every entry gives, found through a table of 4x4x4 colour cubes.
#pragma once

#include "pcx.h"
#include "pixels.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace pcx {

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
