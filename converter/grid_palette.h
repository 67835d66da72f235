// SPDX-License-Identifier: GPL-3.0-or-later
// Palettes for machines that hold fewer bits a channel than eight (the VGA's six, the Amiga's
// four...): every entry on the B-bit grid, its 8-bit value round(v·255/(2^B−1)), chosen there
// rather than rounded afterwards, and no two entries one colour on it.
#pragma once

#include "pcx.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pcx {

// The 8-bit values a channel of depth bits (1 to 8) can hold.
class Grid {
public:
    explicit Grid(int depth);
    int depth() const { return depth_; }
    int levels() const { return levels_; }
    uint8_t value(int level) const { return value_[size_t(level)]; }
    // The level whose value is nearest v (the lower one on a tie).
    int levelOf(double v) const;
    bool holds(Rgb c) const { return onGrid_[c.r] && onGrid_[c.g] && onGrid_[c.b]; }
    Rgb nearest(Rgb c) const;

private:
    int depth_, levels_;
    std::vector<uint8_t> value_;
    bool onGrid_[256] = {};
};

// RRGGBB in lower-case hexadecimal digits, as -transparent takes a colour.
std::string hexColour(Rgb c);

// The first of entries that is not on the grid, as "entry I, RRGGBB, is not on the B-bit grid
// (the nearest colour on it is RRGGBB)"; empty when every entry is.
std::string offGridEntry(const std::vector<Rgb>& entries, const Grid& grid);

// Up to count colours on the grid for the weighted colours, none of them one of taken or one of
// fixed and no two alike, for the least plain squared error with each colour at its nearest entry
// of fixed and the chosen ones (fixed entries, on the grid, are held). start, any 8-bit colours,
// is where the search begins: rounded to the grid, then moved by k-means whose centres stay on
// it and by single steps to neighbouring grid points wherever one lowers the error.
std::vector<Rgb> chooseOnGrid(const std::vector<Rgb>& colours, const std::vector<uint64_t>& counts,
                              const std::vector<Rgb>& fixed, const std::vector<Rgb>& taken,
                              const std::vector<Rgb>& start, size_t count, const Grid& grid);

}  // namespace pcx
