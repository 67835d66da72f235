// SPDX-License-Identifier: GPL-3.0-or-later
#include "palette_map.h"

#include "bands.h"
#include "nearest.h"
#include "pixels.h"
#include "reduce.h"

#include <algorithm>
#include <climits>

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

void shareSearch(TargetPalette& t)
{
    const Allowed a = allowedOf(t);
    t.search = a.colours.empty() ? nullptr : std::make_shared<const NearestEntry>(a.colours, size_t(1) << 20);
}

bool mapToTarget(const Image& in, const TargetPalette& t, bool dither, Image& out)
{
    const Allowed a = allowedOf(t);
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
            const uint32_t colour = uint32_t(c[0]) << 16 | uint32_t(c[1]) << 8 | c[2];
            if (colour != last) {
                entry = a.index[(*t.search)(c)];
                last = colour;
            }
            o[i] = t.isKey(c) ? uint8_t(t.key) : entry;
        }
        return true;
    }
    remap(px, a.colours, o);
    for (size_t i = 0; i < px.count(); ++i, c += 4)
        o[i] = t.isKey(c) ? uint8_t(t.key) : a.index[o[i]];
    return true;
}

void extendRunsKeepingKey(const Image& original, const TargetPalette& target, Image& mapped, double budget)
{
    const std::vector<uint8_t> before = target.key >= 0 ? mapped.pixels : std::vector<uint8_t>{};
    extendRunsWithin(original, mapped, budget);
    for (size_t i = 0; i < before.size(); ++i)
        if ((before[i] == target.key) != (mapped.pixels[i] == target.key))
            mapped.pixels[i] = before[i];
}

}  // namespace pcx
