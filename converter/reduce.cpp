// SPDX-License-Identifier: GPL-3.0-or-later
#include "reduce.h"

#include <libimagequant.h>

#include "bands.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>

namespace pcx {

namespace {

uint32_t key(Rgb c) { return uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | c.b; }

// Small open-addressing set of colours that gives up past its limit, so a photo costs one pass
// over its first few hundred distinct colours rather than a full count.
class ColourTable {
public:
    explicit ColourTable(size_t limit) : limit_(limit)
    {
        size_t cap = 16;
        while (cap < limit * 2 + 2)
            cap *= 2;
        keys_.assign(cap, empty);
        slots_.assign(cap, 0);
    }
    // Index of the colour in first-seen order, or -1 once more than limit colours were seen.
    int find(Rgb c)
    {
        const uint32_t k = key(c);
        size_t i = (k * 2654435761u) & (keys_.size() - 1);
        while (keys_[i] != empty) {
            if (keys_[i] == k)
                return slots_[i];
            i = (i + 1) & (keys_.size() - 1);
        }
        if (colours.size() >= limit_)
            return -1;
        keys_[i] = k;
        slots_[i] = int(colours.size());
        colours.push_back(c);
        return slots_[i];
    }
    std::vector<Rgb> colours;
private:
    static constexpr uint32_t empty = 0xFFFFFFFFu;
    size_t limit_;
    std::vector<uint32_t> keys_;
    std::vector<int> slots_;
};

// Writes each pixel's index among the picture's distinct colours to indices (when not null), the
// colours in first-seen order to table; false when there are more than the table's limit.
bool mapColours(const Image& in, ColourTable& table, uint8_t* indices)
{
    const size_t n = size_t(in.width) * in.height;
    if (in.indexed) {
        std::array<int, 256> map;
        map.fill(-2);
        for (size_t i = 0; i < n; ++i) {
            const uint8_t p = in.pixels[i];
            if (map[p] == -2)
                map[p] = table.find(in.palette[p]);
            if (map[p] < 0)
                return false;
            if (indices)
                indices[i] = uint8_t(map[p]);
        }
        return true;
    }
    const uint8_t* s = in.pixels.data();
    uint32_t lastKey = 0xFFFFFFFFu;
    int last = -1;
    for (size_t i = 0; i < n; ++i, s += 4) {
        const Rgb c{s[0], s[1], s[2]};
        if (key(c) != lastKey) {
            last = table.find(c);
            if (last < 0)
                return false;
            lastKey = key(c);
        }
        if (indices)
            indices[i] = uint8_t(last);
    }
    return true;
}

// An indexed picture of this size with every pixel at index 0 and no palette yet.
Image indexedImage(uint32_t width, uint32_t height)
{
    Image img;
    img.width = width;
    img.height = height;
    img.indexed = true;
    img.pixels.resize(size_t(width) * height);
    return img;
}

// Maps every pixel to its exact colour; false (out untouched) when the picture has more than
// limit colours.
bool exactIndexed(const Image& in, size_t limit, Image& out)
{
    // A photo shows more colours than that within its first rows: no indices are allocated for it.
    ColourTable first(limit);
    if (!mapColours(in, first, nullptr))
        return false;
    ColourTable table(limit);
    out = indexedImage(in.width, in.height);
    mapColours(in, table, out.pixels.data());
    out.palette = std::move(table.colours);
    return true;
}

struct LiqDeleter {
    void operator()(liq_attr* a) const { liq_attr_destroy(a); }
    void operator()(liq_image* i) const { liq_image_destroy(i); }
    void operator()(liq_result* r) const { liq_result_destroy(r); }
    void operator()(liq_histogram* h) const { liq_histogram_destroy(h); }
};

// Drops palette entries that no pixel uses.
void compact(Image& img)
{
    std::array<bool, 256> used{};
    for (uint8_t p : img.pixels)
        used[p] = true;
    std::array<uint8_t, 256> map{};
    std::vector<Rgb> pal;
    for (size_t i = 0; i < img.palette.size(); ++i)
        if (used[i]) {
            map[i] = uint8_t(pal.size());
            pal.push_back(img.palette[i]);
        }
    if (pal.size() == img.palette.size())
        return;
    for (auto& p : img.pixels)
        p = map[p];
    img.palette = std::move(pal);
}

int distance2(Rgb a, Rgb b)
{
    const int dr = a.r - b.r, dg = a.g - b.g, db = a.b - b.b;
    return dr * dr + dg * dg + db * db;
}

int distance2(const uint8_t* c, Rgb p)
{
    const int dr = c[0] - p.r, dg = c[1] - p.g, db = c[2] - p.b;
    return dr * dr + dg * dg + db * db;
}

// The original's pixels as R, G, B, A bytes: its own buffer, or an expanded copy of a palette
// picture, so the hot loops read every picture alike.
class Pixels {
public:
    explicit Pixels(const Image& img) : width(img.width), height(img.height)
    {
        if (!img.indexed) {
            rgba_ = img.pixels.data();
            return;
        }
        storage_.resize(img.pixels.size() * 4);
        uint8_t* d = storage_.data();
        for (uint8_t p : img.pixels) {
            const Rgb c = img.palette[p];
            d[0] = c.r;
            d[1] = c.g;
            d[2] = c.b;
            d[3] = 255;
            d += 4;
        }
        rgba_ = storage_.data();
    }
    Pixels(const Pixels&) = delete;
    Pixels& operator=(const Pixels&) = delete;
    const uint8_t* data() const { return rgba_; }
    const uint8_t* row(uint32_t y) const { return rgba_ + size_t(y) * width * 4; }
    size_t count() const { return size_t(width) * height; }
    const uint32_t width, height;

private:
    const uint8_t* rgba_ = nullptr;
    std::vector<uint8_t> storage_;
};

// Distinct colours with their pixel counts; false when there are more than limit.
bool histogram(const Image& img, size_t limit, std::vector<Rgb>& colours, std::vector<uint64_t>& counts)
{
    // A picture has no more colours than pixels: a small one needs only a small table.
    const size_t pixels = size_t(img.width) * img.height;
    ColourTable table(std::min(limit, pixels));
    counts.clear();
    auto add = [&](Rgb c, uint64_t n) {
        const int i = table.find(c);
        if (i < 0)
            return false;
        if (size_t(i) >= counts.size())
            counts.resize(size_t(i) + 1);
        counts[size_t(i)] += n;
        return true;
    };
    if (img.indexed) {
        std::array<uint64_t, 256> perIndex{};
        for (uint8_t p : img.pixels)
            ++perIndex[p];
        for (size_t i = 0; i < img.palette.size(); ++i)
            if (perIndex[i] && !add(img.palette[i], perIndex[i]))
                return false;
    } else {
        // Neighbours often share a colour: count a run at once rather than look it up per pixel.
        const uint8_t* p = img.pixels.data();
        const size_t n = img.pixels.size() / 4;
        for (size_t i = 0; i < n;) {
            size_t run = 1;
            while (i + run < n && std::memcmp(p + 4 * i, p + 4 * (i + run), 3) == 0)
                ++run;
            if (!add(Rgb{p[4 * i], p[4 * i + 1], p[4 * i + 2]}, run))
                return false;
            i += run;
        }
    }
    colours = std::move(table.colours);
    return true;
}

// Weighted k-means over a histogram from the given start; returns the squared error.
double kmeans(const std::vector<Rgb>& colours, const std::vector<uint64_t>& counts, std::vector<Rgb>& palette)
{
    double error = 0;
    std::vector<size_t> owner(colours.size());
    for (int round = 0; round < 30; ++round) {
        error = 0;
        for (size_t c = 0; c < colours.size(); ++c) {
            int best = INT32_MAX;
            for (size_t i = 0; i < palette.size(); ++i) {
                const int d = distance2(colours[c], palette[i]);
                if (d < best) {
                    best = d;
                    owner[c] = i;
                }
            }
            error += double(best) * double(counts[c]);
        }
        std::vector<std::array<double, 4>> sums(palette.size());
        for (size_t c = 0; c < colours.size(); ++c) {
            const double n = double(counts[c]);
            auto& s = sums[owner[c]];
            s[0] += colours[c].r * n;
            s[1] += colours[c].g * n;
            s[2] += colours[c].b * n;
            s[3] += n;
        }
        bool moved = false;
        for (size_t i = 0; i < palette.size(); ++i) {
            if (sums[i][3] == 0)
                continue;
            const Rgb m{uint8_t(sums[i][0] / sums[i][3] + 0.5), uint8_t(sums[i][1] / sums[i][3] + 0.5),
                        uint8_t(sums[i][2] / sums[i][3] + 0.5)};
            moved = moved || !(m == palette[i]);
            palette[i] = m;
        }
        if (!moved)
            break;
    }
    return error;
}


// For pictures of a few thousand colours reduced to a few: k-means from the given palette and
// from spread-out starts over the exact colour counts, keeping the least squared error.
void searchFewColours(const Image& original, std::vector<Rgb>& palette)
{
    const size_t n = palette.size();
    std::vector<Rgb> colours;
    std::vector<uint64_t> counts;
    if (n > 32 || !histogram(original, 4096, colours, counts))
        return;
    std::vector<Rgb> best = palette;
    double bestError = kmeans(colours, counts, best);
    uint32_t seed = 12345;
    for (int start = 0; start < 8; ++start) {
        // k-means++ seeding with a fixed generator: the same picture gives the same file.
        std::vector<Rgb> pal;
        std::vector<double> near(colours.size(), 1e18);
        auto random = [&] {
            seed = seed * 1664525u + 1013904223u;
            return double(seed >> 8) / double(1u << 24);
        };
        pal.push_back(colours[size_t(random() * double(colours.size())) % colours.size()]);
        while (pal.size() < n) {
            double total = 0;
            for (size_t c = 0; c < colours.size(); ++c) {
                near[c] = std::min(near[c], double(distance2(colours[c], pal.back())) * double(counts[c]));
                total += near[c];
            }
            if (total <= 0)
                break;
            double pick = random() * total;
            size_t c = 0;
            while (c + 1 < colours.size() && pick >= near[c])
                pick -= near[c++];
            pal.push_back(colours[c]);
        }
        while (pal.size() < n)
            pal.push_back(pal.back());
        const double e = kmeans(colours, counts, pal);
        if (e < bestError) {
            bestError = e;
            best = pal;
        }
    }
    palette = best;
}

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
        int best = INT_MAX;
        size_t owner = 0;
        for (size_t i = 0; i < palette_.size(); ++i) {
            const int d = distance2(c, palette_[i]);
            if (d < best) {
                best = d;
                owner = i;
            }
        }
        return uint8_t(owner);
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

// Every pixel to its nearest palette entry.
void remap(const Pixels& px, const std::vector<Rgb>& palette, uint8_t* out)
{
    const NearestTable table(palette, px.count());
    forEachBand(bandCount(px.count()), px.height, [&](unsigned, uint32_t y0, uint32_t y1) {
        const uint8_t* c = px.row(y0);
        uint8_t* o = out + size_t(y0) * px.width;
        // A photo repeats its colours: the answers for recent ones are kept, each as the colour
        // plus one (zero is empty) above the entry.
        std::vector<uint64_t> recent(size_t(1) << 14);
        for (size_t i = 0, n = size_t(y1 - y0) * px.width; i < n; ++i, c += 4) {
            const uint32_t colour = uint32_t(c[0]) << 16 | uint32_t(c[1]) << 8 | c[2];
            uint64_t& slot = recent[(colour * 2654435761u) >> 18];
            if ((slot >> 8) != colour + 1)
                slot = uint64_t(colour + 1) << 8 | table.nearest(c);
            o[i] = uint8_t(slot);
        }
    });
}

// The picture's colours gathered into 4x4x4 cubes: each occupied cube's mean colour and pixel
// count. The quantiser and k-means work on this short weighted list instead of every pixel.
void colourCubes(const Pixels& px, std::vector<Rgb>& colours, std::vector<uint64_t>& counts)
{
    colours.clear();
    counts.clear();
    if (px.count() < (size_t(1) << 16)) {
        // Few pixels: sorting them by cube costs less than clearing a table of every cube.
        std::vector<uint32_t> keys(px.count());
        const uint8_t* c = px.data();
        for (size_t i = 0; i < keys.size(); ++i, c += 4)
            keys[i] = uint32_t(c[0]) << 16 | uint32_t(c[1]) << 8 | c[2];
        auto cube = [](uint32_t k) { return k & 0xFCFCFCu; };
        std::sort(keys.begin(), keys.end(), [&](uint32_t a, uint32_t b) { return cube(a) < cube(b); });
        for (size_t i = 0; i < keys.size();) {
            uint64_t n = 0, r = 0, g = 0, b = 0;
            const uint32_t k = cube(keys[i]);
            for (; i < keys.size() && cube(keys[i]) == k; ++i, ++n) {
                r += keys[i] >> 16 & 255;
                g += keys[i] >> 8 & 255;
                b += keys[i] & 255;
            }
            colours.push_back(Rgb{uint8_t((r + n / 2) / n), uint8_t((g + n / 2) / n), uint8_t((b + n / 2) / n)});
            counts.push_back(n);
        }
        return;
    }
    // Offsets within the cube (0 to 3) keep the sums within 32 bits for any allowed picture.
    struct Cell {
        uint32_t n, r, g, b;
    };
    constexpr size_t cells = size_t(1) << 18;
    const unsigned bands = bandCount(px.count());
    std::vector<std::vector<Cell>> perBand(bands, std::vector<Cell>(cells));
    forEachBand(bands, px.height, [&](unsigned band, uint32_t y0, uint32_t y1) {
        Cell* t = perBand[band].data();
        const uint8_t* c = px.row(y0);
        for (size_t i = 0, n = size_t(y1 - y0) * px.width; i < n; ++i, c += 4) {
            Cell& e = t[size_t(c[0] >> 2) << 12 | size_t(c[1] >> 2) << 6 | size_t(c[2] >> 2)];
            ++e.n;
            e.r += c[0] & 3u;
            e.g += c[1] & 3u;
            e.b += c[2] & 3u;
        }
    });
    for (size_t i = 0; i < cells; ++i) {
        uint64_t n = 0, r = 0, g = 0, b = 0;
        for (const auto& t : perBand) {
            n += t[i].n;
            r += t[i].r;
            g += t[i].g;
            b += t[i].b;
        }
        if (!n)
            continue;
        colours.push_back(Rgb{uint8_t((i >> 12) * 4 + (r + n / 2) / n), uint8_t((i >> 6 & 63) * 4 + (g + n / 2) / n),
                              uint8_t((i & 63) * 4 + (b + n / 2) / n)});
        counts.push_back(n);
    }
}

// libimagequant's palette for a weighted list of colours; empty when it fails.
std::vector<Rgb> quantiserPalette(const std::vector<Rgb>& colours, const std::vector<uint64_t>& counts, int colors,
                                  int speed)
{
    std::unique_ptr<liq_attr, LiqDeleter> attr(liq_attr_create());
    if (!attr || liq_set_max_colors(attr.get(), colors) != LIQ_OK || liq_set_speed(attr.get(), speed) != LIQ_OK)
        return {};
    std::vector<liq_histogram_entry> entries(colours.size());
    for (size_t i = 0; i < colours.size(); ++i)
        entries[i] = liq_histogram_entry{{colours[i].r, colours[i].g, colours[i].b, 255},
                                         unsigned(std::min<uint64_t>(counts[i], UINT_MAX))};
    std::unique_ptr<liq_histogram, LiqDeleter> hist(liq_histogram_create(attr.get()));
    if (!hist || entries.empty())
        return {};
    // libimagequant sizes its colour table for the square of the first call's count (the pixels
    // of a square picture); a first call of about the square root of five times the count sizes
    // it for the list (it expects a fifth of the pixels to be distinct colours).
    const size_t first = std::min(entries.size(), size_t(std::sqrt(5.0 * double(entries.size()))) + 1);
    liq_result* raw = nullptr;
    if (liq_histogram_add_colors(hist.get(), attr.get(), entries.data(), int(first), 0) != LIQ_OK ||
        (first < entries.size() && liq_histogram_add_colors(hist.get(), attr.get(), entries.data() + first,
                                                            int(entries.size() - first), 0) != LIQ_OK) ||
        liq_histogram_quantize(hist.get(), attr.get(), &raw) != LIQ_OK || !raw)
        return {};
    std::unique_ptr<liq_result, LiqDeleter> result(raw);
    const liq_palette* pal = liq_get_palette(result.get());
    std::vector<Rgb> palette(pal->count);
    for (unsigned i = 0; i < pal->count; ++i)
        palette[i] = Rgb{pal->entries[i].r, pal->entries[i].g, pal->entries[i].b};
    return palette;
}

// Pixel sums per palette entry, for one band.
struct EntrySums {
    std::array<std::array<uint64_t, 5>, 256> sums{};  // R, G, B, pixel count, R² + G² + B²
};

// The pixel sums of every entry, over all bands; the sums of squares only when asked.
template <bool squares>
EntrySums entrySums(const Pixels& px, const Image& indexed)
{
    auto sum = [&](EntrySums& all, uint32_t y0, uint32_t y1) {
        const uint8_t* c = px.row(y0);
        const uint8_t* p = indexed.pixels.data() + size_t(y0) * px.width;
        // Neighbours mostly share an entry: a run is summed before it reaches the totals.
        uint8_t entry = p[0];
        std::array<uint64_t, 5> run{};
        for (size_t i = 0, n = size_t(y1 - y0) * px.width; i < n; ++i, c += 4) {
            if (p[i] != entry) {
                for (int k = 0; k < 5; ++k)
                    all.sums[entry][k] += run[k];
                run = {};
                entry = p[i];
            }
            run[0] += c[0];
            run[1] += c[1];
            run[2] += c[2];
            run[3] += 1;
            if constexpr (squares)
                run[4] += uint32_t(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
        }
        for (int k = 0; k < 5; ++k)
            all.sums[entry][k] += run[k];
    };
    auto add = [](EntrySums& a, const EntrySums& b) {
        for (size_t i = 0; i < 256; ++i)
            for (int k = 0; k < 5; ++k)
                a.sums[i][k] += b.sums[i][k];
    };
    return sumOverBands<EntrySums>(bandCount(px.count()), px.height, sum, add);
}

// Moves every used entry to the mean of its pixels, rounded.
void centre(const Pixels& px, Image& indexed)
{
    const EntrySums all = entrySums<false>(px, indexed);
    for (size_t i = 0; i < indexed.palette.size(); ++i) {
        const auto& s = all.sums[i];
        if (const uint64_t n = s[3])
            indexed.palette[i] = Rgb{uint8_t((s[0] + n / 2) / n), uint8_t((s[1] + n / 2) / n), uint8_t((s[2] + n / 2) / n)};
    }
}

// centre(), returning the squared error after.
uint64_t centreWithError(const Pixels& px, Image& indexed)
{
    const EntrySums all = entrySums<true>(px, indexed);
    uint64_t error = 0;
    for (size_t i = 0; i < indexed.palette.size(); ++i) {
        const auto& s = all.sums[i];
        const uint64_t n = s[3];
        if (!n)
            continue;
        const uint64_t m[3] = {(s[0] + n / 2) / n, (s[1] + n / 2) / n, (s[2] + n / 2) / n};
        indexed.palette[i] = Rgb{uint8_t(m[0]), uint8_t(m[1]), uint8_t(m[2])};
        // The sum of |c - m|² over the entry's pixels c, in whole numbers.
        error += s[4] + n * (m[0] * m[0] + m[1] * m[1] + m[2] * m[2]) - 2 * (m[0] * s[0] + m[1] * s[1] + m[2] * s[2]);
    }
    return error;
}

// The squared error of every step-th row.
uint64_t totalError(const Pixels& px, const Image& indexed, uint32_t step = 1)
{
    return sumOverBands<uint64_t>(
        bandCount(px.count()), px.height,
        [&](uint64_t& sum, uint32_t y0, uint32_t y1) {
            for (uint32_t y = (y0 + step - 1) / step * step; y < y1; y += step) {
                const uint8_t* c = px.row(y);
                const uint8_t* p = indexed.pixels.data() + size_t(y) * px.width;
                for (size_t x = 0; x < px.width; ++x, c += 4)
                    sum += uint64_t(distance2(c, indexed.palette[p[x]]));
            }
        },
        [](uint64_t& a, uint64_t b) { a += b; });
}

// Every step-th row from y0 to y1 of the walk extendRuns makes: adds the squared error it costs
// to total, and makes the change when apply is set. Gives up once total is above limit.
void walkRows(const Pixels& px, Image& indexed, int tolerance, bool apply, uint32_t y0, uint32_t y1,
              uint32_t step, std::atomic<uint64_t>& total, uint64_t limit)
{
    const size_t w = px.width;
    const Rgb* pal = indexed.palette.data();
    for (uint32_t y = (y0 + step - 1) / step * step; y < y1; y += step) {
        uint8_t* row = indexed.pixels.data() + size_t(y) * w;
        const uint8_t* c = px.row(y);
        uint64_t added = 0;
        uint8_t left = row[0];
        for (size_t x = 1; x < w; ++x) {
            uint8_t cur = row[x];
            if (cur != left) {
                const int extra = distance2(c + 4 * x, pal[left]) - distance2(c + 4 * x, pal[cur]);
                if (extra <= tolerance) {
                    added += uint64_t(std::max(extra, 0));
                    cur = left;
                    if (apply)
                        row[x] = cur;
                }
            }
            left = cur;
        }
        if (total.fetch_add(added, std::memory_order_relaxed) + added > limit)
            return;
    }
}

// The squared error a walk with this tolerance adds on every step-th row; above limit when it
// gives up early.
uint64_t walk(const Pixels& px, Image& indexed, int tolerance, bool apply, uint64_t limit, uint32_t step = 1)
{
    std::atomic<uint64_t> total{0};
    forEachBand(bandCount(px.count()), px.height, [&](unsigned, uint32_t y0, uint32_t y1) {
        walkRows(px, indexed, tolerance, apply, y0, y1, step, total, limit);
    });
    return total.load();
}

uint64_t limitFor(double budget, uint64_t error)
{
    const double allowed = budget * double(error);
    return allowed >= 1.8e19 ? UINT64_MAX : uint64_t(allowed);
}

// error is the picture's squared error as it is.
int extendWithin(const Pixels& px, Image& indexed, double budget, uint64_t error)
{
    // Steps of a factor of the square root of two: coarser steps leave much of the budget unused.
    static constexpr int tolerances[] = {16384, 11585, 8192, 5793, 4096, 2896, 2048, 1448, 1024, 724, 512, 362, 256,
                                         181,   128,   90,   64,   45,   32,   23,   16,   11,   8,    6,   4};
    constexpr size_t count = std::size(tolerances);
    // The added error grows with the tolerance, so a binary search finds the largest that fits in
    // five trials; a trial over budget stops as soon as it is. On a large picture the search
    // looks at every fourth row, and the result is then checked on all of them.
    const uint32_t step = px.count() >= (size_t(1) << 20) ? 4 : 1;
    const uint64_t sampled = limitFor(budget, totalError(px, indexed, step));
    size_t lo = 0, hi = count;  // tolerances[hi] fits (past the end: none)
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (walk(px, indexed, tolerances[mid], false, sampled, step) <= sampled)
            hi = mid;
        else
            lo = mid + 1;
    }
    if (hi == count || step == 1) {
        if (hi < count)
            walk(px, indexed, tolerances[hi], true, UINT64_MAX);
        return hi < count ? tolerances[hi] : 0;
    }
    const uint64_t limit = limitFor(budget, error);
    const std::vector<uint8_t> before = indexed.pixels;
    for (; hi < count; ++hi) {
        if (walk(px, indexed, tolerances[hi], true, UINT64_MAX) <= limit)
            return tolerances[hi];
        // The rows looked at misjudged the picture: undo, and try the next smaller tolerance.
        indexed.pixels = before;
    }
    return 0;
}

// Makes every row's end satisfy planarRowEndsAgree, for a palette that fits the 1-bit layouts:
// each set of pixels there that must agree takes the one colour that serves them best. Gives up,
// leaving the picture to the 8-bit layout, when that would add more than budget times the
// picture's squared error.
void settleRowEnds(const Pixels& px, Image& indexed, double budget)
{
    const size_t w = px.width, rem = w % 8, s = 8 - rem;
    if (rem < 5 || indexed.palette.size() > 16)
        return;
    const uint64_t limit = uint64_t(budget * double(totalError(px, indexed)));
    for (bool apply : {false, true}) {
        uint64_t added = 0;
        for (uint32_t y = 0; y < px.height; ++y) {
            uint8_t* last = indexed.pixels.data() + y * w + (w - rem);
            const uint8_t* c = px.row(y) + 4 * (w - rem);
            for (size_t first = 0; first < s; ++first) {
                int now = 0, bestError = INT_MAX;
                uint8_t best = last[first];
                for (size_t t = first; t < rem; t += s)
                    now += distance2(c + 4 * t, indexed.palette[last[t]]);
                for (size_t i = 0; i < indexed.palette.size(); ++i) {
                    int error = 0;
                    for (size_t t = first; t < rem; t += s)
                        error += distance2(c + 4 * t, indexed.palette[i]);
                    if (error < bestError) {
                        bestError = error;
                        best = uint8_t(i);
                    }
                }
                added += uint64_t(bestError - now);
                for (size_t t = first; apply && t < rem; t += s)
                    last[t] = best;
            }
        }
        if (added > limit)
            return;
    }
}

// How every way to a palette ends, after any longer runs: row ends the 1-bit layouts can hold,
// each colour at its pixels' mean, no unused entry.
void finish(const Pixels& px, Image& out)
{
    settleRowEnds(px, out, 0.05);
    centre(px, out);
    compact(out);
}

bool sameSize(const Image& a, const Image& b) { return a.width == b.width && a.height == b.height; }

// Without dithering: the palette comes from the picture's weighted colour cubes (for a few colours
// refined by k-means there), and every pixel goes to its nearest entry.
ReduceError reduceFromCubes(const Image& in, const Pixels& px, const ReduceOptions& options, Image& out)
{
    std::vector<Rgb> colours;
    std::vector<uint64_t> counts;
    colourCubes(px, colours, counts);
    std::vector<Rgb> palette = quantiserPalette(colours, counts, options.colors,
                                                options.speed ? options.speed : defaultSpeed);
    if (palette.empty())
        return ReduceError::QuantisationFailed;
    if (options.colors <= 32) {
        // libimagequant weighs colours by how the eye sees them; k-means minimises the plain error.
        kmeans(colours, counts, palette);
        searchFewColours(in, palette);
    }
    out = indexedImage(in.width, in.height);
    out.palette = std::move(palette);
    remap(px, out.palette, out.pixels.data());
    extendWithin(px, out, options.runBudget, centreWithError(px, out));
    finish(px, out);
    return ReduceError::None;
}

// libimagequant picks the palette and maps the pixels, dithering them when asked.
ReduceError reduceWithQuantiser(const Pixels& px, const ReduceOptions& options, Image& out)
{
    std::unique_ptr<liq_attr, LiqDeleter> attr(liq_attr_create());
    if (!attr)
        return ReduceError::QuantiserUnavailable;
    liq_set_max_colors(attr.get(), options.colors);
    liq_set_speed(attr.get(), options.speed ? options.speed : defaultSpeed);
    std::unique_ptr<liq_image, LiqDeleter> image(
        liq_image_create_rgba(attr.get(), px.data(), int(px.width), int(px.height), 0));
    if (!image)
        return ReduceError::QuantiserRefused;
    liq_result* raw = nullptr;
    if (liq_image_quantize(image.get(), attr.get(), &raw) != LIQ_OK || !raw)
        return ReduceError::QuantisationFailed;
    std::unique_ptr<liq_result, LiqDeleter> result(raw);
    liq_set_dithering_level(result.get(), options.dither ? 1.0f : 0.0f);

    out = indexedImage(px.width, px.height);
    if (liq_write_remapped_image(result.get(), image.get(), out.pixels.data(), out.pixels.size()) != LIQ_OK)
        return ReduceError::RemapFailed;
    const liq_palette* pal = liq_get_palette(result.get());
    out.palette.resize(pal->count);
    for (unsigned i = 0; i < pal->count; ++i)
        out.palette[i] = Rgb{pal->entries[i].r, pal->entries[i].g, pal->entries[i].b};
    if (!options.dither)
        extendWithin(px, out, options.runBudget, totalError(px, out));
    finish(px, out);
    return ReduceError::None;
}

}  // namespace

void mapToNearest(const Image& original, Image& indexed)
{
    if (indexed.palette.size() > 256 || indexed.palette.empty() || !sameSize(original, indexed))
        return;
    const Pixels px(original);
    indexed.indexed = true;
    indexed.pixels.resize(px.count());
    remap(px, indexed.palette, indexed.pixels.data());
}

int extendRunsWithin(const Image& original, Image& indexed, double budget)
{
    if (budget <= 0 || !sameSize(original, indexed))
        return 0;
    const Pixels px(original);
    return extendWithin(px, indexed, budget, totalError(px, indexed));
}

bool distinctColours(const Image& img, size_t limit, std::vector<Rgb>& colours)
{
    Image tmp;
    if (!exactIndexed(img, limit, tmp))
        return false;
    colours = std::move(tmp.palette);
    return true;
}

const char* errorText(ReduceError e)
{
    switch (e) {
    case ReduceError::None: return "no error";
    case ReduceError::BadColourCount: return "the colour count must be 2 to 256";
    case ReduceError::NoPixels: return "the image has no pixels";
    case ReduceError::QuantiserUnavailable: return "cannot start the colour quantiser";
    case ReduceError::QuantiserRefused: return "the colour quantiser cannot take this image";
    case ReduceError::QuantisationFailed: return "colour quantisation failed";
    case ReduceError::RemapFailed: return "colour remapping failed";
    case ReduceError::OutOfMemory: return "not enough memory";
    }
    return "unknown error";
}

ReduceError reduce(const Image& in, const ReduceOptions& options, Image& out)
{
    if (options.colors < 2 || options.colors > 256) {
        out = Image{};
        return ReduceError::BadColourCount;
    }
    if (in.width == 0 || in.height == 0 || in.width > uint32_t(INT32_MAX) / 4 || in.height > uint32_t(INT32_MAX)) {
        out = Image{};
        return ReduceError::NoPixels;
    }
    try {
        if (exactIndexed(in, size_t(options.colors), out))
            return ReduceError::None;
        const Pixels px(in);
        // On a large picture libimagequant spends most of its time on every pixel; for a small
        // one its own choice of palette is a little closer.
        const bool cubes = !options.dither && (options.colors <= 32 || px.count() >= (size_t(1) << 20));
        const ReduceError err = cubes ? reduceFromCubes(in, px, options, out) : reduceWithQuantiser(px, options, out);
        if (err != ReduceError::None)
            out = Image{};
        return err;
    } catch (const std::bad_alloc&) {
        out = Image{};
        return ReduceError::OutOfMemory;
    }
}

}  // namespace pcx
