// SPDX-License-Identifier: GPL-3.0-or-later
// The search for the entry of a target palette that a colour takes, which every way of mapping to
// a target goes through: the key rule, exact colours, then the nearest entry a pixel may take.
#pragma once

#include "nearest.h"
#include "oklab.h"
#include "palette_map.h"

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace pcx {

struct EntrySearch {
    // lookups is about how many colours it will be asked for; colours, when known, are those the
    // pictures hold, each looked up once here.
    EntrySearch(const TargetPalette& t, size_t lookups, const std::vector<Rgb>& colours = {});

    // The entries a pixel of any colour may take, in index order: each one's index in the palette,
    // its colour. Entries kept for their exact colour are not among them.
    std::vector<uint8_t> index;
    std::vector<Rgb> colours;

    // The nearest of colours to R, G, B at rgb, as its place in colours.
    uint8_t nearest(const uint8_t* rgb) const { return oklab_ ? (*oklab_)(rgb) : rgb_(rgb); }
    // The palette entry a pixel of R, G, B, A at rgba takes.
    uint8_t entryFor(const TargetPalette& t, const uint8_t* rgba) const
    {
        return t.isKey(rgba) ? uint8_t(t.key) : entryOf(rgba);
    }
    // The first entry that holds a colour exactly and that a pixel of it may take, else -1.
    int exactEntry(const uint8_t* rgb) const;

private:
    uint8_t entryOf(const uint8_t* rgb) const;
    // The entry a colour takes, found by a search of every entry.
    uint8_t scanFor(const uint8_t* rgb) const;
    int kept(uint32_t colour) const;
    size_t slotOf(uint32_t colour) const { return size_t((colour * 2654435761u) >> (32 - bits_)); }

    NearestEntry rgb_;
    std::optional<OklabNearest> oklab_;
    std::vector<Lab> lab_;  // of colours, for the plain search
    // The colours and indices of the entries kept for their exact colour, by colour.
    std::vector<std::pair<uint32_t, uint8_t>> kept_;
    // The colours looked up already, each as the colour plus one above its entry, open addressed.
    std::vector<uint64_t> known_;
    unsigned bits_ = 0;
};

}  // namespace pcx
