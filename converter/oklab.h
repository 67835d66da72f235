// SPDX-License-Identifier: GPL-3.0-or-later
// Nearest as the eye sees it: colours compared in OKLab (sRGB decoded to linear light first, then
// Björn Ottosson's matrices), the lowest index winning a tie, exactly as a search of every entry.
#pragma once

#include "pcx.h"

#include <atomic>
#include <cstdint>
#include <memory>
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

// The nearest of a palette's entries in OKLab. For a picture, each 4x4x4 cube of colours lists, the
// first time a pixel falls in it, the few entries that can be nearest to any colour of it: its
// colours lie in a box of OKLab that the matrices' signs bound exactly, and an entry whose least
// distance to that box exceeds some entry's greatest is nearest to none of them. Otherwise the
// entries are walked in order of L out from the colour's, stopping on a side once the difference in
// L alone is further off than the best so far. Either way no entry that could win or tie is passed
// over. For a big picture each colour's answer is kept too, as photos repeat their colours. Threads
// may share it.
class OklabNearest {
public:
    // lookups is about how many colours it will be asked for, which decides whether the cubes'
    // lists are worth their 2 MB.
    OklabNearest(const std::vector<Rgb>& palette, size_t lookups);
    ~OklabNearest();
    OklabNearest(const OklabNearest&) = delete;
    OklabNearest& operator=(const OklabNearest&) = delete;
    // The entry's place in the palette, for R, G, B at rgb.
    uint8_t operator()(const uint8_t* rgb) const;

private:
    uint8_t walk(const Lab& c) const;
    uint64_t listFor(size_t cube) const;
    uint8_t search(const uint8_t* rgb) const;

    std::vector<Lab> byPlace_;
    std::vector<double> lightness_;  // in order of L
    std::vector<Lab> lab_;           // the same order
    std::vector<uint8_t> place_;     // each one's place in the palette
    // A cube's entries, by place: the count in the top byte (listMax + 1 for more), the places in
    // the bytes below; zero for not listed yet.
    std::unique_ptr<std::atomic<uint64_t>[]> cubes_;
    // By colour, one above its entry, zero for not known yet: 32 MB of address space, only the
    // pages of colours met being touched.
    uint16_t* known_ = nullptr;
};

}  // namespace pcx
