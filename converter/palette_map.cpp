// SPDX-License-Identifier: GPL-3.0-or-later
#include "palette_map.h"

#include "bands.h"
#include "entry_search.h"
#include "nearest.h"
#include "pattern_dither.h"
#include "pixels.h"
#include "reduce.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>

namespace pcx {

std::vector<Rgb> TargetPalette::listed() const
{
    size_t n = 0;
    for (size_t i = 0; i < 256; ++i)
        if (usable[i] || int(i) == key)
            n = i + 1;
    return std::vector<Rgb>(entries.begin(), entries.begin() + long(n));
}

std::string givenTarget(const std::vector<Rgb>& given, int key, Rgb keyColour, int freeFirst, int freeLast,
                        size_t count, TargetPalette& out)
{
    out = TargetPalette{};
    for (size_t i = 0; i < given.size() && i < 256; ++i) {
        out.entries[i] = given[i];
        out.usable[i] = true;
    }
    const bool keyFree = key >= freeFirst && key <= freeLast;
    if (key >= 0 && !keyFree && size_t(key) >= given.size())
        return "the transparent index " + std::to_string(key) + " is beyond the palette's " +
               std::to_string(given.size()) + " entries";
    for (int i = std::max(freeFirst, 0); i <= freeLast && i < 256; ++i) {
        out.entries[size_t(i)] = Rgb{};
        out.usable[size_t(i)] = false;
        if (i != key)
            out.free.push_back(i);
    }
    out.freeCount = count ? std::min(count, out.free.size()) : out.free.size();
    if (key >= 0) {
        out.key = key;
        out.keyColour = keyColour;
        out.usable[size_t(key)] = false;
        if (keyFree)
            out.entries[size_t(key)] = keyColour;
    }
    return {};
}

TargetPalette sharedTarget(size_t count, int key, Rgb keyColour)
{
    TargetPalette t;
    for (int i = 0; i < 256; ++i)
        if (i != key)
            t.free.push_back(i);
    t.freeCount = std::min(count - (key >= 0 ? 1 : 0), t.free.size());
    if (key >= 0) {
        t.key = key;
        t.keyColour = keyColour;
        t.entries[size_t(key)] = keyColour;
    }
    return t;
}

namespace {

// For each entry of an indexed input: the key index for the key colour, its own index when that
// holds its colour and may be taken, else the entry its colour takes.
std::array<uint8_t, 256> entryMap(const Image& in, const TargetPalette& t, const EntrySearch& s)
{
    std::array<uint8_t, 256> map{};
    for (size_t j = 0; j < in.palette.size() && j < 256; ++j) {
        const Rgb c = in.palette[j];
        const uint8_t rgba[4] = {c.r, c.g, c.b, 255};
        map[j] = !t.isKey(rgba) && t.usable[j] && t.entries[j] == c ? uint8_t(j) : s.entryFor(t, rgba);
    }
    return map;
}

// Floyd-Steinberg over the entries a pixel may take. exact(i, c) gives a pixel's entry when it
// needs no diffusion (a key pixel, a colour of the palette), else -1; such a pixel passes no error on.
template <class Exact>
void ditherTo(const Pixels& px, const EntrySearch& s, Exact&& exact, uint8_t* out)
{
    const size_t w = px.width;
    std::vector<int> here((w + 2) * 3), below((w + 2) * 3);
    for (uint32_t y = 0; y < px.height; ++y) {
        std::fill(below.begin(), below.end(), 0);
        const uint8_t* row = px.row(y);
        for (size_t x = 0; x < w; ++x) {
            const uint8_t* c = row + 4 * x;
            const size_t i = size_t(y) * w + x;
            if (const int e = exact(i, c); e >= 0) {
                out[i] = uint8_t(e);
                continue;
            }
            uint8_t v[3];
            for (int k = 0; k < 3; ++k)
                v[k] = uint8_t(std::clamp(c[k] + here[3 * (x + 1) + size_t(k)] / 16, 0, 255));
            const uint8_t n = s.nearest(v);
            out[i] = s.index[n];
            const Rgb p = s.colours[n];
            const int err[3] = {v[0] - p.r, v[1] - p.g, v[2] - p.b};
            for (size_t k = 0; k < 3; ++k) {
                here[3 * (x + 2) + k] += 7 * err[k];
                below[3 * x + k] += 3 * err[k];
                below[3 * (x + 1) + k] += 5 * err[k];
                below[3 * (x + 2) + k] += err[k];
            }
        }
        std::swap(here, below);
    }
}

}  // namespace

void shareSearch(TargetPalette& t, const std::vector<Rgb>& colours)
{
    t.search = nullptr;
    auto s = std::make_shared<const EntrySearch>(t, size_t(1) << 20, colours);
    if (!s->colours.empty())
        t.search = std::move(s);
}

bool mapToTarget(const Image& in, const TargetPalette& t, Dither dither, Image& out)
{
    const bool plainIndexed = in.indexed && dither == Dither::None;
    std::unique_ptr<const EntrySearch> own;
    if (!t.search)
        own = std::make_unique<const EntrySearch>(t, plainIndexed ? 0 : size_t(in.width) * in.height);
    const EntrySearch& s = t.search ? *t.search : *own;
    if (s.colours.empty())
        return false;
    out = indexedImage(in.width, in.height);
    out.palette.assign(t.entries.begin(), t.entries.end());
    uint8_t* o = out.pixels.data();
    const std::array<uint8_t, 256> map = in.indexed ? entryMap(in, t, s) : std::array<uint8_t, 256>{};
    if (plainIndexed) {
        for (size_t i = 0; i < in.pixels.size(); ++i)
            o[i] = map[in.pixels[i]];
        return true;
    }
    const Pixels px(in);
    // The pixels a dither leaves as they are: key pixels, and those of a colour the palette holds.
    auto exact = [&](size_t i, const uint8_t* c) -> int {
        if (in.indexed) {
            const uint8_t m = map[in.pixels[i]];
            return t.isKey(c) || t.entries[m] == in.palette[in.pixels[i]] ? m : -1;
        }
        return t.isKey(c) ? t.key : s.exactEntry(c);
    };
    if (dither == Dither::Diffuse) {
        ditherTo(px, s, exact, o);
        return true;
    }
    if (dither == Dither::Pattern) {
        patternDither(px, s, exact, o);
        return true;
    }
    forEachBand(bandCount(px.count()), px.height, [&](unsigned, uint32_t y0, uint32_t y1) {
        const uint8_t* c = px.row(y0);
        const size_t n = size_t(y1 - y0) * px.width;
        RecentEntries recent(n);
        for (size_t i = size_t(y0) * px.width, end = i + n; i < end; ++i, c += 4)
            o[i] = recent(packRgb(c) | uint32_t(t.isKey(c)) << 24, [&] { return s.entryFor(t, c); });
    });
    return true;
}

namespace {

// The squared error of mapped against px, key pixels left out.
uint64_t errorOf(const Pixels& px, const TargetPalette& t, const Image& mapped)
{
    uint64_t error = 0, d = 0;
    const uint8_t* c = px.data();
    uint32_t last = 0;
    int lastEntry = -1;
    for (size_t i = 0; i < px.count(); ++i, c += 4) {
        const uint8_t e = mapped.pixels[i];
        const uint32_t colour = packRgb(c);
        if (e != lastEntry || colour != last) {
            d = e == t.key ? 0 : uint64_t(distance2(c, t.entries[e]));
            last = colour;
            lastEntry = e;
        }
        error += d;
    }
    return error;
}

// The choice of one row's entries for shortenRows: a shortest path over each pixel's candidates
// (its own entry, its neighbours'), in a run of one (alone) or of more (on). Costs are in
// sixteenths of a unit of squared error.
class RowCoder {
public:
    RowCoder(const TargetPalette& t, size_t width) : pal_(t.entries.data()), key_(t.key), steps_(width) {}

    // A lone pixel takes one byte below 192 and two from there; a run takes two. Runs of more than
    // 63 are rare enough in a row to leave out.
    void weigh(int64_t perByte)
    {
        perByte_ = perByte;
        for (int e = 0; e < 256; ++e)
            loneCost_[e] = e < 192 ? perByte : 2 * perByte;
    }

    // Chooses the entries of the row (each pixel at its nearest) and returns the error added. A
    // pixel takes its own entry or a neighbour's, so a run of four or more stays (only its ends
    // could change, and that saves no byte) and so does a run of key pixels: the stretches of runs
    // of one to three between them are chosen each on its own.
    int64_t code(uint8_t* row, const uint8_t* rgb)
    {
        const size_t w = steps_.size();
        int64_t added = 0;
        size_t a = w;  // the first pixel of the stretch being gathered
        for (size_t x = 0; x < w;) {
            size_t end = x + 1;
            while (end < w && row[end] == row[x])
                ++end;
            const bool stays = row[x] == key_ || end - x >= 4;
            if (!stays && a == w)
                a = x;
            if (stays && a != w) {
                added += solve(row, rgb, a, x - 1);
                a = w;
            }
            x = end;
        }
        return a != w ? added + solve(row, rgb, a, w - 1) : added;
    }

private:
    // One pixel's candidates (its own entry first, then its neighbours') and, for each, how the
    // cheapest way to it goes on leftwards when it continues a run: from the same entry's slot one
    // pixel left, that pixel having begun the run there or been in it already.
    struct Step {
        uint8_t n, candidate[3], leftSlot[3];
        bool runBeganLeft[3];
        // The cheapest choice here, which a run beginning one pixel right comes after.
        uint8_t cheapestSlot;
        bool cheapestInRun;
    };

    // The pixels a to b may change; the way is followed from the pixel before them (in its run) to
    // the second after them (where the run after them goes on either way).
    int64_t solve(uint8_t* row, const uint8_t* rgb, size_t a, size_t b)
    {
        constexpr int64_t never = INT64_MAX / 4;
        const size_t w = steps_.size();
        const size_t from = a > 0 ? a - 1 : 0;
        const size_t to = b + 1 < w ? std::min(b + 2, w - 1) : b;
        // The least costs up to the pixel on the left for each of its candidates, as a lone pixel
        // or within a run, and the least of all; then the same for this pixel.
        int64_t leftLone[3] = {}, leftInRun[3] = {}, cheapestLeft = 0;
        for (size_t x = from; x <= to; ++x) {
            Step& s = steps_[x];
            const uint8_t own = row[x];
            s.candidate[0] = own;
            s.n = 1;
            if (x < a) {
                s.cheapestSlot = 0;
                s.cheapestInRun = true;
                leftLone[0] = never;
                continue;
            }
            if (x <= b) {
                const uint8_t l = x > 0 && row[x - 1] != key_ ? row[x - 1] : own;
                const uint8_t r = x + 1 < w && row[x + 1] != key_ ? row[x + 1] : own;
                if (l != own)
                    s.candidate[s.n++] = l;
                if (r != own && r != l)
                    s.candidate[s.n++] = r;
            }
            const Step* left = x > 0 ? &steps_[x - 1] : nullptr;
            int64_t lone[3], inRun[3], cheapestHere = never;
            for (uint8_t j = 0; j < s.n; ++j) {
                const uint8_t e = s.candidate[j];
                // The one choice of a pixel adds the same to every way: it changes none.
                const int64_t err = s.n == 1 ? 0 : 16 * int64_t(distance2(rgb + 4 * x, pal_[e]));
                lone[j] = cheapestLeft + loneCost_[e] + err;
                inRun[j] = never;
                s.runBeganLeft[j] = false;
                for (uint8_t k = 0; left && k < left->n; ++k)
                    if (left->candidate[k] == e) {
                        const int64_t grown = leftLone[k] + 2 * perByte_ - loneCost_[e];
                        s.runBeganLeft[j] = grown <= leftInRun[k];
                        inRun[j] = (s.runBeganLeft[j] ? grown : leftInRun[k]) + err;
                        s.leftSlot[j] = k;
                        break;
                    }
                if (lone[j] < cheapestHere) {
                    cheapestHere = lone[j];
                    s.cheapestSlot = j;
                    s.cheapestInRun = false;
                }
                if (inRun[j] < cheapestHere) {
                    cheapestHere = inRun[j];
                    s.cheapestSlot = j;
                    s.cheapestInRun = true;
                }
            }
            std::copy(lone, lone + s.n, leftLone);
            std::copy(inRun, inRun + s.n, leftInRun);
            cheapestLeft = cheapestHere;
        }
        int64_t added = 0;
        uint8_t slot = steps_[to].cheapestSlot;
        bool continuing = steps_[to].cheapestInRun;  // the pixel is in a run begun further left
        for (size_t x = to + 1; x-- > a;) {
            const Step& s = steps_[x];
            if (s.candidate[slot] != row[x]) {
                added += distance2(rgb + 4 * x, pal_[s.candidate[slot]]) - distance2(rgb + 4 * x, pal_[row[x]]);
                row[x] = s.candidate[slot];
            }
            if (x == 0)
                break;
            if (continuing) {
                continuing = !s.runBeganLeft[slot];
                slot = s.leftSlot[slot];
            } else {
                continuing = steps_[x - 1].cheapestInRun;
                slot = steps_[x - 1].cheapestSlot;
            }
        }
        return added;
    }

    const Rgb* pal_;
    const int key_;
    int64_t perByte_ = 0, loneCost_[256] = {};
    std::vector<Step> steps_;
};

}  // namespace

void shortenRows(const Image& original, const TargetPalette& t, Image& mapped, double byteWeight)
{
    if (byteWeight <= 0 || !sameSize(original, mapped) || mapped.pixels.empty())
        return;
    const Pixels px(original);
    const uint64_t error = errorOf(px, t, mapped);
    int64_t perByte = std::llround(16 * byteWeight * double(error) / double(px.count()));
    RowCoder coder(t, px.width);
    const std::vector<uint8_t> nearest = mapped.pixels;
    for (int tries = 0; tries < 4 && perByte > 0; ++tries, perByte /= 2) {
        coder.weigh(perByte);
        int64_t added = 0;
        for (uint32_t y = 0; y < px.height; ++y)
            added += coder.code(mapped.pixels.data() + size_t(y) * px.width, px.row(y));
        // A picture whose error would grow by more than half goes back to every pixel at its
        // nearest, for another try with a byte weighing half as much.
        if (2 * added <= int64_t(error))
            return;
        mapped.pixels = nearest;
    }
}

}  // namespace pcx
