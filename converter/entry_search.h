// SPDX-License-Identifier: GPL-3.0-or-later
// The search for the entry of a target palette that a colour takes, which every way of mapping to
// a target goes through: the key rule, exact colours, then the nearest entry a pixel may take.
#pragma once

#include "nearest.h"
#include "palette_map.h"

#include <cstdint>
#include <vector>

namespace pcx {

struct EntrySearch {
    // lookups is about how many colours it will be asked for; colours, when known, are those the
    // pictures hold, each looked up once here.
    EntrySearch(const TargetPalette& t, size_t lookups, const std::vector<Rgb>& colours = {});

    // The entries a pixel may take, in index order: each one's index in the palette, its colour.
    std::vector<uint8_t> index;
    std::vector<Rgb> colours;

    // The nearest of colours to R, G, B at rgb, as its place in colours.
    uint8_t nearest(const uint8_t* rgb) const { return table_(rgb); }
    // The palette entry a pixel of R, G, B, A at rgba takes.
    uint8_t entryFor(const TargetPalette& t, const uint8_t* rgba) const
    {
        return t.isKey(rgba) ? uint8_t(t.key) : entryOf(rgba);
    }
    // The entry of a colour that one holds exactly, else -1.
    int exactEntry(const uint8_t* rgb) const
    {
        const uint8_t n = nearest(rgb);
        return colours[n] == Rgb{rgb[0], rgb[1], rgb[2]} ? index[n] : -1;
    }

private:
    uint8_t entryOf(const uint8_t* rgb) const;
    size_t slotOf(uint32_t colour) const { return size_t((colour * 2654435761u) >> (32 - bits_)); }

    NearestEntry table_;
    // The colours looked up already, each as the colour plus one above its entry, open addressed.
    std::vector<uint64_t> known_;
    unsigned bits_ = 0;
};

}  // namespace pcx
