// SPDX-License-Identifier: GPL-3.0-or-later
#include "nearest.h"

#include "bands.h"
#include "reduce.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <climits>
#include <memory>

namespace pcx {

// The nearest palette entry of a colour, as a search over every entry finds it (the lowest
// index wins a tie). For each 4x4x4 cube of colours a table records, the first time a pixel falls
// in it, which entries can be nearest to any colour of the cube: mostly one, near the cells'
// borders a few. A palette of more than 64 entries finds them among those of the 16x16x16 block
// around the cube, found the same way, and lists up to fifteen of them by index (more are rare:
// the colour is then looked up in the whole palette). Threads may share the table. For a picture of
// fewer than 2^15 pixels, setting it up would cost more than it saves.
class NearestTable {
public:
    NearestTable(const std::vector<Rgb>& palette, size_t pixels)
        : words_(std::max<size_t>(1, (palette.size() + 63) / 64)), palette_(palette)
    {
        if (pixels >= (size_t(1) << 15)) {
            cubes_.reset(new std::atomic<uint64_t>[cubeCount * cellWords()]);
            if (words_ > 1) {
                blocks_.reset(new std::atomic<uint64_t>[blockCount * words_]);
                blockKnown_.reset(new std::atomic<bool>[blockCount]);
            }
        }
        for (size_t i = 0; cubes_ && i < cubeCount * cellWords(); ++i)
            cubes_[i].store(0, std::memory_order_relaxed);
        for (size_t i = 0; blocks_ && i < blockCount * words_; ++i)
            blocks_[i].store(0, std::memory_order_relaxed);
        for (size_t i = 0; blockKnown_ && i < blockCount; ++i)
            blockKnown_[i].store(false, std::memory_order_relaxed);
    }

    uint8_t nearest(const uint8_t* c) const
    {
        if (!cubes_)
            return search(c);
        const size_t cube = size_t(c[0] >> 2) << 12 | size_t(c[1] >> 2) << 6 | size_t(c[2] >> 2);
        if (words_ > 1)
            return nearestListed(c, cube);
        // Zero means not classified yet: a cube has at least one candidate. Racing threads
        // compute the same answer, so either store may win.
        uint64_t candidates = cubes_[cube].load(std::memory_order_relaxed);
        if (!candidates) {
            candidates = classifyAll(cube);
            cubes_[cube].store(candidates, std::memory_order_relaxed);
        }
        return nearestOf(c, candidates);
    }

private:
    static constexpr size_t cubeCount = size_t(1) << 18, blockCount = size_t(1) << 12;
    static constexpr unsigned listMax = 15;

    // A cube's candidates: a bit set of at most 64 entries, or for more a list of two words.
    size_t cellWords() const { return words_ == 1 ? 1 : 2; }

    // Among the entries set in candidates.
    uint8_t nearestOf(const uint8_t* c, uint64_t candidates) const
    {
        int owner = __builtin_ctzll(candidates);
        candidates &= candidates - 1;
        if (!candidates)
            return uint8_t(owner);
        int best = distance2(c, palette_[size_t(owner)]);
        do {
            const int i = __builtin_ctzll(candidates);
            const int d = distance2(c, palette_[size_t(i)]);
            if (d < best) {
                best = d;
                owner = i;
            }
            candidates &= candidates - 1;
        } while (candidates);
        return uint8_t(owner);
    }

    // Among the entries the cube lists: the count in the top byte of the first word, the indices
    // rising in its other bytes from the lowest on, and then in the second word's. Zero means not listed
    // yet; the first word is stored last, so a reader that sees it sees the second.
    uint8_t nearestListed(const uint8_t* c, size_t cube) const
    {
        std::atomic<uint64_t>* cell = &cubes_[2 * cube];
        uint64_t list[2] = {cell[0].load(std::memory_order_acquire), 0};
        if (!list[0]) {
            // Racing threads compute the same answer, so either store may win.
            listFor(c, cube, list);
            cell[1].store(list[1], std::memory_order_relaxed);
            cell[0].store(list[0], std::memory_order_release);
        }
        const unsigned n = unsigned(list[0] >> 56);
        if (n > listMax)
            return search(c);
        uint8_t owner = uint8_t(list[0]);
        if (n == 1)
            return owner;
        if (n > 7 && !list[1])
            list[1] = cell[1].load(std::memory_order_relaxed);
        int best = distance2(c, palette_[owner]);
        for (unsigned k = 1; k < n; ++k) {
            const uint8_t i = uint8_t(k < 7 ? list[0] >> (8 * k) : list[1] >> (8 * (k - 7)));
            const int d = distance2(c, palette_[i]);
            if (d < best) {
                best = d;
                owner = i;
            }
        }
        return owner;
    }

    uint8_t search(const uint8_t* c) const
    {
        return uint8_t(lowestNearest(palette_.size(), [&](size_t i) { return distance2(c, palette_[i]); }));
    }

    static std::array<int, 3> corner(size_t cube)
    {
        return {int(cube >> 12) * 4, int(cube >> 6 & 63) * 4, int(cube & 63) * 4};
    }

    uint64_t classifyAll(size_t cube) const
    {
        const uint64_t all = palette_.size() == 64 ? ~uint64_t(0) : (uint64_t(1) << palette_.size()) - 1;
        uint64_t candidates = 0;
        classify(corner(cube), 4, &all, &candidates);
        return candidates;
    }

    // The list of the cube that colour c falls in, from the candidates of its block.
    void listFor(const uint8_t* c, size_t cube, uint64_t list[2]) const
    {
        const size_t block = size_t(c[0] >> 4) << 8 | size_t(c[1] >> 4) << 4 | size_t(c[2] >> 4);
        uint64_t among[4] = {}, found[4] = {};
        std::atomic<uint64_t>* known = &blocks_[block * words_];
        if (blockKnown_[block].load(std::memory_order_acquire)) {
            for (size_t w = 0; w < words_; ++w)
                among[w] = known[w].load(std::memory_order_relaxed);
        } else {
            uint64_t all[4] = {};
            for (size_t i = 0; i < palette_.size(); ++i)
                all[i / 64] |= uint64_t(1) << (i % 64);
            classify({c[0] & 0xF0, c[1] & 0xF0, c[2] & 0xF0}, 16, all, among);
            for (size_t w = 0; w < words_; ++w)
                known[w].store(among[w], std::memory_order_relaxed);
            blockKnown_[block].store(true, std::memory_order_release);
        }
        classify(corner(cube), 4, among, found);
        unsigned n = 0;
        forEach(found, [&](size_t i) {
            if (n < listMax)
                list[n < 7 ? 0 : 1] |= uint64_t(i) << (8 * (n < 7 ? n : n - 7));
            ++n;
        });
        list[0] |= uint64_t(std::min(n, listMax + 1)) << 56;
    }

    // Calls fn(i) for each entry set in words, the lowest first.
    template <class F>
    void forEach(const uint64_t* words, F&& fn) const
    {
        for (size_t w = 0; w < words_; ++w)
            for (uint64_t b = words[w]; b; b &= b - 1)
                fn(64 * w + size_t(__builtin_ctzll(b)));
    }

    // Sets in out the entries of among that are nearest to some colour of the cube of this side
    // at corner lo, and maybe a few more; among holds every entry that can be.
    void classify(std::array<int, 3> lo, int side, const uint64_t* among, uint64_t* out) const
    {
        // The entry nearest the cube's centre (doubled to stay whole) is one of them.
        size_t owner = 0;
        long best = LONG_MAX;
        forEach(among, [&](size_t i) {
            const Rgb p = palette_[i];
            const long dr = 2 * lo[0] + side - 1 - 2 * p.r, dg = 2 * lo[1] + side - 1 - 2 * p.g,
                       db = 2 * lo[2] + side - 1 - 2 * p.b;
            const long d = dr * dr + dg * dg + db * db;
            if (d < best) {
                best = d;
                owner = i;
            }
        });
        const Rgb o = palette_[owner];
        const int oc[3] = {o.r, o.g, o.b};
        out[owner / 64] |= uint64_t(1) << (owner % 64);
        forEach(among, [&](size_t j) {
            const Rgb p = palette_[j];
            const int pc[3] = {p.r, p.g, p.b};
            // |x-o|^2 - |x-p|^2 is linear in x, so its largest value over the cube is at the corner
            // towards p. Unless p beats the owner there (or ties it, with its lower index), p is
            // nearest to no colour of the cube.
            long f = 0;
            for (int a = 0; a < 3; ++a) {
                const long v = pc[a] - oc[a];
                f += long(oc[a]) * oc[a] - long(pc[a]) * pc[a] + 2 * v * (v > 0 ? lo[a] + side - 1 : lo[a]);
            }
            if (j != owner && (j < owner ? f >= 0 : f > 0))
                out[j / 64] |= uint64_t(1) << (j % 64);
        });
    }

    const size_t words_;
    const std::vector<Rgb> palette_;
    std::unique_ptr<std::atomic<uint64_t>[]> cubes_, blocks_;
    std::unique_ptr<std::atomic<bool>[]> blockKnown_;
};

NearestEntry::NearestEntry(const std::vector<Rgb>& palette, size_t lookups)
    : table_(std::make_unique<NearestTable>(palette, lookups))
{
}

NearestEntry::~NearestEntry() = default;

uint8_t NearestEntry::operator()(const uint8_t* rgb) const { return table_->nearest(rgb); }

void remap(const Pixels& px, const std::vector<Rgb>& palette, uint8_t* out)
{
    if (const std::vector<Rgb>* from = px.sourcePalette(); from && from->size() * 4 <= px.count()) {
        // A palette picture: each of its colours is looked up once.
        const NearestTable table(palette, from->size());
        std::array<uint8_t, 256> to{};
        for (size_t i = 0; i < from->size(); ++i) {
            const uint8_t c[3] = {(*from)[i].r, (*from)[i].g, (*from)[i].b};
            to[i] = table.nearest(c);
        }
        const uint8_t* source = px.indices();
        for (size_t i = 0, n = px.count(); i < n; ++i)
            out[i] = to[source[i]];
        return;
    }
    const NearestTable table(palette, px.count());
    forEachBand(bandCount(px.count()), px.height, [&](unsigned, uint32_t y0, uint32_t y1) {
        const uint8_t* c = px.row(y0);
        uint8_t* o = out + size_t(y0) * px.width;
        const size_t n = size_t(y1 - y0) * px.width;
        RecentEntries recent(n);
        for (size_t i = 0; i < n; ++i, c += 4)
            o[i] = recent(packRgb(c), [&] { return table.nearest(c); });
    });
}

void mapToNearest(const Image& original, Image& indexed)
{
    if (indexed.palette.size() > 256 || indexed.palette.empty() || !sameSize(original, indexed))
        return;
    const Pixels px(original);
    indexed.indexed = true;
    indexed.pixels.resize(px.count());
    remap(px, indexed.palette, indexed.pixels.data());
}

}  // namespace pcx
