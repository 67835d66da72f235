// SPDX-License-Identifier: GPL-3.0-or-later
#include "palette_map.h"

#include "bands.h"
#include "nearest.h"
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

// The entries a pixel may take, in index order, and each one's index in the palette.
struct Allowed {
    std::vector<Rgb> colours;
    std::vector<uint8_t> index;
};

Allowed allowedOf(const TargetPalette& t)
{
    Allowed a;
    for (size_t i = 0; i < 256; ++i)
        if (t.usable[i]) {
            a.colours.push_back(t.entries[i]);
            a.index.push_back(uint8_t(i));
        }
    return a;
}

uint8_t nearestOf(const Allowed& a, Rgb c)
{
    int best = INT_MAX;
    size_t owner = 0;
    for (size_t i = 0; i < a.colours.size(); ++i)
        if (const int d = distance2(a.colours[i], c); d < best) {
            best = d;
            owner = i;
        }
    return a.index[owner];
}

}  // namespace

struct EntrySearch {
    EntrySearch(Allowed a, const std::vector<Rgb>& colours)
        : allowed(std::move(a)), nearest(allowed.colours, size_t(1) << 20)
    {
        if (colours.empty())
            return;
        bits = unsigned(std::bit_width(2 * colours.size() - 1));
        known.assign(size_t(1) << bits, 0);
        // Few colours each asked once: a plain search costs less than filling the table for them.
        for (const Rgb c : colours) {
            const uint32_t colour = uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | c.b;
            size_t at = slotOf(colour);
            while (known[at] && (known[at] >> 8) != colour + 1)
                at = (at + 1) & (known.size() - 1);
            known[at] = uint64_t(colour + 1) << 8 | nearestOf(allowed, c);
        }
    }
    size_t slotOf(uint32_t colour) const { return size_t((colour * 2654435761u) >> (32 - bits)); }
    // The palette entry for R, G, B at rgb.
    uint8_t operator()(const uint8_t* rgb) const
    {
        const uint32_t colour = uint32_t(rgb[0]) << 16 | uint32_t(rgb[1]) << 8 | rgb[2];
        for (size_t at = known.empty() ? 0 : slotOf(colour); !known.empty() && known[at]; at = (at + 1) & (known.size() - 1))
            if ((known[at] >> 8) == colour + 1)
                return uint8_t(known[at]);
        return allowed.index[nearest(rgb)];
    }

    const Allowed allowed;
    const NearestEntry nearest;
    // The colours looked up already, each as the colour plus one above its entry, open addressed.
    std::vector<uint64_t> known;
    unsigned bits = 0;
};

namespace {

// For each entry of an indexed input: the key index for the key colour, its own index when that
// holds its colour and may be taken, else the nearest entry.
std::array<uint8_t, 256> entryMap(const Image& in, const TargetPalette& t, const Allowed& a)
{
    std::array<uint8_t, 256> map{};
    for (size_t j = 0; j < in.palette.size() && j < 256; ++j) {
        const Rgb c = in.palette[j];
        const uint8_t rgba[4] = {c.r, c.g, c.b, 255};
        if (t.isKey(rgba))
            map[j] = uint8_t(t.key);
        else if (t.usable[j] && t.entries[j] == c)
            map[j] = uint8_t(j);
        else
            map[j] = nearestOf(a, c);
    }
    return map;
}

// Floyd-Steinberg over the allowed entries. exact(i, c) gives a pixel's entry when it needs no
// diffusion (a key pixel, a colour of the palette), else -1; such a pixel passes no error on.
template <class Exact>
void ditherTo(const Pixels& px, const Allowed& a, Exact&& exact, uint8_t* out)
{
    const NearestEntry nearest(a.colours, px.count());
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
            const uint8_t n = nearest(v);
            out[i] = a.index[n];
            const Rgb p = a.colours[n];
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
    Allowed a = allowedOf(t);
    t.search = a.colours.empty() ? nullptr : std::make_shared<const EntrySearch>(std::move(a), colours);
}

bool mapToTarget(const Image& in, const TargetPalette& t, bool dither, Image& out)
{
    const Allowed own = t.search ? Allowed{} : allowedOf(t);
    const Allowed& a = t.search ? t.search->allowed : own;
    if (a.colours.empty())
        return false;
    out = indexedImage(in.width, in.height);
    out.palette.assign(t.entries.begin(), t.entries.end());
    uint8_t* o = out.pixels.data();
    const std::array<uint8_t, 256> map = in.indexed ? entryMap(in, t, a) : std::array<uint8_t, 256>{};
    if (in.indexed && !dither) {
        for (size_t i = 0; i < in.pixels.size(); ++i)
            o[i] = map[in.pixels[i]];
        return true;
    }
    const Pixels px(in);
    if (dither) {
        const NearestEntry exactOf(a.colours, in.indexed ? 0 : px.count());
        ditherTo(px, a, [&](size_t i, const uint8_t* c) -> int {
            if (in.indexed) {
                const uint8_t m = map[in.pixels[i]];
                return int(m) == t.key || t.entries[m] == in.palette[in.pixels[i]] ? m : -1;
            }
            if (t.isKey(c))
                return t.key;
            const uint8_t n = exactOf(c);
            return a.colours[n] == Rgb{c[0], c[1], c[2]} ? a.index[n] : -1;
        }, o);
        return true;
    }
    const uint8_t* c = px.data();
    if (t.search && bandCount(px.count()) == 1) {
        // Neighbours mostly share a colour: one look-up a run.
        uint32_t last = 0xFFFFFFFFu;
        uint8_t entry = 0;
        for (size_t i = 0; i < px.count(); ++i, c += 4) {
            // The colour, and whether the alpha makes it a key pixel.
            const uint32_t colour = uint32_t(c[0]) << 16 | uint32_t(c[1]) << 8 | c[2] | uint32_t(c[3] < 128) << 24;
            if (colour != last) {
                last = colour;
                entry = t.isKey(c) ? uint8_t(t.key) : (*t.search)(c);
            }
            o[i] = entry;
        }
        return true;
    }
    remap(px, a.colours, o);
    for (size_t i = 0; i < px.count(); ++i, c += 4)
        o[i] = t.isKey(c) ? uint8_t(t.key) : a.index[o[i]];
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
        const uint32_t colour = uint32_t(c[0]) | uint32_t(c[1]) << 8 | uint32_t(c[2]) << 16;
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
            alone_[e] = e < 192 ? perByte : 2 * perByte;
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
    struct Step {
        uint8_t n, entry[3], before[3];  // before: the same entry's slot one pixel left
        bool onFromAlone[3];
        uint8_t bestSlot;  // the cheapest state here, which a new run one pixel right comes from
        bool bestOn;
    };

    // The pixels a to b may change; the way is followed from the pixel before them (in its run) to
    // the second after them (where the run after them goes on either way).
    int64_t solve(uint8_t* row, const uint8_t* rgb, size_t a, size_t b)
    {
        constexpr int64_t never = INT64_MAX / 4;
        const size_t w = steps_.size();
        const size_t from = a > 0 ? a - 1 : 0;
        const size_t to = b + 1 < w ? std::min(b + 2, w - 1) : b;
        int64_t wasAlone[3] = {}, wasOn[3] = {}, best = 0;
        for (size_t x = from; x <= to; ++x) {
            Step& s = steps_[x];
            const uint8_t own = row[x];
            s.entry[0] = own;
            s.n = 1;
            if (x < a) {
                s.bestSlot = 0;
                s.bestOn = true;
                wasAlone[0] = never;
                continue;
            }
            if (x <= b) {
                const uint8_t l = x > 0 && row[x - 1] != key_ ? row[x - 1] : own;
                const uint8_t r = x + 1 < w && row[x + 1] != key_ ? row[x + 1] : own;
                if (l != own)
                    s.entry[s.n++] = l;
                if (r != own && r != l)
                    s.entry[s.n++] = r;
            }
            const Step* left = x > 0 ? &steps_[x - 1] : nullptr;
            int64_t alone[3], on[3], here = never;
            for (uint8_t j = 0; j < s.n; ++j) {
                const uint8_t e = s.entry[j];
                // The one choice of a pixel adds the same to every way: it changes none.
                const int64_t err = s.n == 1 ? 0 : 16 * int64_t(distance2(rgb + 4 * x, pal_[e]));
                alone[j] = best + alone_[e] + err;
                on[j] = never;
                s.onFromAlone[j] = false;
                for (uint8_t k = 0; left && k < left->n; ++k)
                    if (left->entry[k] == e) {
                        const int64_t grown = wasAlone[k] + 2 * perByte_ - alone_[e];
                        s.onFromAlone[j] = grown <= wasOn[k];
                        on[j] = (s.onFromAlone[j] ? grown : wasOn[k]) + err;
                        s.before[j] = k;
                        break;
                    }
                if (alone[j] < here) {
                    here = alone[j];
                    s.bestSlot = j;
                    s.bestOn = false;
                }
                if (on[j] < here) {
                    here = on[j];
                    s.bestSlot = j;
                    s.bestOn = true;
                }
            }
            std::copy(alone, alone + s.n, wasAlone);
            std::copy(on, on + s.n, wasOn);
            best = here;
        }
        int64_t added = 0;
        uint8_t slot = steps_[to].bestSlot;
        bool isOn = steps_[to].bestOn;
        for (size_t x = to + 1; x-- > a;) {
            const Step& s = steps_[x];
            if (s.entry[slot] != row[x]) {
                added += distance2(rgb + 4 * x, pal_[s.entry[slot]]) - distance2(rgb + 4 * x, pal_[row[x]]);
                row[x] = s.entry[slot];
            }
            if (x == 0)
                break;
            if (isOn) {
                isOn = !s.onFromAlone[slot];
                slot = s.before[slot];
            } else {
                isOn = steps_[x - 1].bestOn;
                slot = steps_[x - 1].bestSlot;
            }
        }
        return added;
    }

    const Rgb* pal_;
    const int key_;
    int64_t perByte_ = 0, alone_[256] = {};
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
