// SPDX-License-Identifier: GPL-3.0-or-later
// Nearest as the eye sees it: colours compared in OKLab (sRGB decoded to linear light first, then
// Björn Ottosson's matrices), the lowest index winning a tie, exactly as a search of every entry.
#pragma once

#include "pcx.h"

#include <cstdint>
#include <vector>

namespace pcx {

struct Lab {
    double L, a, b;
};

Lab oklabOf(const uint8_t* rgb);
inline Lab oklabOf(Rgb c)
{
    const uint8_t rgb[3] = {c.r, c.g, c.b};
    return oklabOf(rgb);
}

inline double distance2(const Lab& x, const Lab& y)
{
    const double dL = x.L - y.L, da = x.a - y.a, db = x.b - y.b;
    return dL * dL + da * da + db * db;
}

// The nearest of a palette's entries in OKLab. The entries are kept in order of L: the search walks
// out from the colour's L and stops on a side once the difference in L alone is further off than
// the best so far, which passes over no entry that could win or tie.
class OklabNearest {
public:
    explicit OklabNearest(const std::vector<Rgb>& palette);
    // The entry's place in the palette, for R, G, B at rgb.
    uint8_t operator()(const uint8_t* rgb) const;

private:
    std::vector<double> lightness_;  // in order of L
    std::vector<Lab> lab_;           // the same order
    std::vector<uint8_t> place_;     // each one's place in the palette
};

}  // namespace pcx
