// SPDX-License-Identifier: GPL-3.0-or-later
#include "entry_search.h"

#include "pixels.h"

#include <bit>

namespace pcx {

namespace {

std::vector<Rgb> usableColours(const TargetPalette& t, std::vector<uint8_t>& index)
{
    std::vector<Rgb> colours;
    for (size_t i = 0; i < 256; ++i)
        if (t.usable[i]) {
            colours.push_back(t.entries[i]);
            index.push_back(uint8_t(i));
        }
    return colours;
}

}  // namespace

EntrySearch::EntrySearch(const TargetPalette& t, size_t lookups, const std::vector<Rgb>& known)
    : colours(usableColours(t, index)), table_(colours, lookups)
{
    if (known.empty() || colours.empty())
        return;
    bits_ = unsigned(std::bit_width(2 * known.size() - 1));
    known_.assign(size_t(1) << bits_, 0);
    for (const Rgb c : known) {
        const uint32_t colour = packRgb(c);
        size_t at = slotOf(colour);
        while (known_[at] && (known_[at] >> 8) != colour + 1)
            at = (at + 1) & (known_.size() - 1);
        // Few colours each asked once: a plain search costs less than filling the table for them.
        const size_t n = lowestNearest(colours.size(), [&](size_t i) { return distance2(c, colours[i]); });
        known_[at] = uint64_t(colour + 1) << 8 | index[n];
    }
}

uint8_t EntrySearch::entryOf(const uint8_t* rgb) const
{
    const uint32_t colour = packRgb(rgb);
    for (size_t at = known_.empty() ? 0 : slotOf(colour); !known_.empty() && known_[at]; at = (at + 1) & (known_.size() - 1))
        if ((known_[at] >> 8) == colour + 1)
            return uint8_t(known_[at]);
    return index[nearest(rgb)];
}

}  // namespace pcx
