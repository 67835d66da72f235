// SPDX-License-Identifier: GPL-3.0-or-later
// One palette for many pictures: their colours pooled in bounded memory, then libimagequant's
// proposal for the entries left free, refined and placed by the converter itself.
#pragma once

#include "palette_map.h"
#include "pcx.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace pcx {

// The colours of any number of pictures, none of them kept: exact colours up to exactLimit of
// them, then the pixels' 4x4x4 colour cubes (a fixed table of about 10 MB), so memory stays
// bounded whatever the set holds.
class ColourPool {
public:
    static constexpr size_t exactLimit = size_t(1) << 16;

    // Adds every pixel but the target's key pixels.
    void add(const Image& img, const TargetPalette& target);
    void merge(const ColourPool& other);
    bool exact() const { return cubes_.empty(); }

    // The colours (cube means once past exactLimit), how many pixels have each, and how many of those
    // stood alone in their row, which the 8-bit layout codes in two bytes at an index of 192 or more.
    void weighted(std::vector<Rgb>& colours, std::vector<uint64_t>& counts, std::vector<uint64_t>& lone) const;

private:
    struct Count {
        uint64_t n = 0, lone = 0;
    };
    struct Cell {
        uint64_t n = 0, r = 0, g = 0, b = 0, lone = 0;
    };
    void addColour(uint32_t rgb, uint64_t n, uint64_t lone);
    void toCubes();

    std::unordered_map<uint32_t, Count> exact_;
    std::vector<Cell> cubes_;
    uint64_t pixels_ = 0;
};

// Fills the target's free entries with at most its freeCount colours for the pooled pixels, its
// usable entries held: the pool's own colours when they fit, else libimagequant's proposal
// moved by k-means to the least plain squared error. The colours most often alone take the lowest
// free entries; entries left over stay black and unused. speed is libimagequant's (1 to 10).
// Below 8 bits of depth every chosen colour is on that grid and none is an entry's colour already.
// An empty text, or what failed.
std::string fillFree(const ColourPool& pool, int speed, TargetPalette& target, int depth = 8);

}  // namespace pcx
