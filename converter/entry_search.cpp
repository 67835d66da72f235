// SPDX-License-Identifier: GPL-3.0-or-later
#include "entry_search.h"

#include "pixels.h"

#include <algorithm>
#include <bit>

namespace pcx {

namespace {

std::vector<Rgb> takenByAny(const TargetPalette& t, std::vector<uint8_t>& index)
{
    std::vector<Rgb> colours;
    for (size_t i = 0; i < 256; ++i)
        if (t.usable[i] && !t.exactOnly[i]) {
            colours.push_back(t.entries[i]);
            index.push_back(uint8_t(i));
        }
    return colours;
}

}  // namespace

EntrySearch::EntrySearch(const TargetPalette& t, size_t lookups, const std::vector<Rgb>& known)
    : colours(takenByAny(t, index)),
      rgb_(t.match == Match::Rgb ? colours : std::vector<Rgb>{}, t.match == Match::Rgb ? lookups : 0)
{
    if (t.match == Match::Oklab) {
        oklab_.emplace(colours, lookups);
        for (const Rgb c : colours)
            lab_.push_back(oklabOf(c));
    }
    for (size_t i = 0; i < 256; ++i)
        if (t.usable[i] && t.exactOnly[i])
            kept_.emplace_back(packRgb(t.entries[i]), uint8_t(i));
    // By colour, the lowest index first among entries of one colour.
    std::stable_sort(kept_.begin(), kept_.end(), [](auto& x, auto& y) { return x.first < y.first; });
    if (known.empty() || colours.empty())
        return;
    bits_ = unsigned(std::bit_width(2 * known.size() - 1));
    known_.assign(size_t(1) << bits_, 0);
    for (const Rgb c : known) {
        const uint32_t colour = packRgb(c);
        size_t at = slotOf(colour);
        while (known_[at] && (known_[at] >> 8) != colour + 1)
            at = (at + 1) & (known_.size() - 1);
        const uint8_t rgb[3] = {c.r, c.g, c.b};
        known_[at] = uint64_t(colour + 1) << 8 | scanFor(rgb);
    }
}

int EntrySearch::kept(uint32_t colour) const
{
    const auto at = std::lower_bound(kept_.begin(), kept_.end(), colour, [](auto& e, uint32_t c) { return e.first < c; });
    return at != kept_.end() && at->first == colour ? at->second : -1;
}

int EntrySearch::exactEntry(const uint8_t* rgb) const
{
    const int own = kept(packRgb(rgb));
    if (colours.empty())
        return own;
    const uint8_t n = nearest(rgb);
    const int any = colours[n] == Rgb{rgb[0], rgb[1], rgb[2]} ? index[n] : -1;
    return own < 0 ? any : any < 0 ? own : std::min(own, any);
}

uint8_t EntrySearch::scanFor(const uint8_t* rgb) const
{
    if (const int e = kept_.empty() ? -1 : exactEntry(rgb); e >= 0)
        return uint8_t(e);
    // Few colours each asked once: a plain search costs less than filling a table for them.
    if (oklab_) {
        const Lab c = oklabOf(rgb);
        return index[lowestNearest(colours.size(), [&](size_t i) { return distance2(lab_[i], c); })];
    }
    return index[lowestNearest(colours.size(), [&](size_t i) { return distance2(rgb, colours[i]); })];
}

uint8_t EntrySearch::entryOf(const uint8_t* rgb) const
{
    const uint32_t colour = packRgb(rgb);
    for (size_t at = known_.empty() ? 0 : slotOf(colour); !known_.empty() && known_[at]; at = (at + 1) & (known_.size() - 1))
        if ((known_[at] >> 8) == colour + 1)
            return uint8_t(known_[at]);
    if (const int e = kept_.empty() ? -1 : exactEntry(rgb); e >= 0)
        return uint8_t(e);
    return index[nearest(rgb)];
}

}  // namespace pcx
