// SPDX-License-Identifier: GPL-3.0-or-later
#include "palette_choice.h"

#include <libimagequant.h>

#include "bands.h"
#include "exact_fit.h"
#include "grid_palette.h"
#include "nearest.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <memory>

namespace pcx {

namespace {

struct LiqDeleter {
    void operator()(liq_attr* a) const { liq_attr_destroy(a); }
    void operator()(liq_image* i) const { liq_image_destroy(i); }
    void operator()(liq_result* r) const { liq_result_destroy(r); }
    void operator()(liq_histogram* h) const { liq_histogram_destroy(h); }
};

// Weighted k-means over a histogram from the given start; returns the squared error.
// Each colour keeps bounds on its distance to its own entry and to every other, moved by how far
// the entries move: while its own entry is surely the nearer, it keeps it without a search
// (Hamerly). A tie always ends in a search, so every colour takes the entry a full search gives.
// The entries' sums are whole numbers, kept from round to round and changed only where a colour
// changes its entry.
double kmeans(const std::vector<Rgb>& colours, const std::vector<uint64_t>& counts, std::vector<Rgb>& palette)
{
    const size_t n = colours.size(), k = palette.size();
    // k: in no entry's sums yet.
    std::vector<size_t> owner(n, k);
    std::vector<double> upper(n, 0.0);
    // Negative: not known, search.
    std::vector<double> lower(n, -1.0);
    std::vector<double> moved(k, 0.0);
    std::vector<std::array<uint64_t, 4>> sums(k);
    auto add = [&](size_t c, size_t entry, bool remove) {
        const uint64_t w = counts[c];
        const std::array<uint64_t, 4> part{colours[c].r * w, colours[c].g * w, colours[c].b * w, w};
        for (int j = 0; j < 4; ++j)
            sums[entry][j] = remove ? sums[entry][j] - part[j] : sums[entry][j] + part[j];
    };
    std::vector<Rgb> before;
    EntryRows rows(k);
    for (int round = 0;; ++round) {
        rows.set(palette);
        size_t farthest = k;
        double most = 0, next = 0;
        for (size_t i = 0; i < k; ++i)
            if (moved[i] > most) {
                next = most;
                most = moved[i];
                farthest = i;
            } else if (moved[i] > next) {
                next = moved[i];
            }
        for (size_t c = 0; c < n; ++c) {
            const Rgb x = colours[c];
            if (lower[c] >= 0) {
                lower[c] -= owner[c] == farthest ? next : most;
                upper[c] += moved[owner[c]];
                // The margin keeps rounding from ever deciding.
                if (upper[c] + 1e-6 < lower[c])
                    continue;
                upper[c] = std::sqrt(double(distance2(x, palette[owner[c]])));
                if (upper[c] + 1e-6 < lower[c])
                    continue;
            }
            const size_t was = owner[c];
            int second;
            const int best = rows.nearestTwo(x, owner[c], second);
            upper[c] = std::sqrt(double(best));
            lower[c] = second == INT32_MAX ? -1.0 : std::sqrt(double(second));
            if (owner[c] != was) {
                if (was < k)
                    add(c, was, true);
                add(c, owner[c], false);
            }
        }
        before = palette;
        bool anyMoved = false;
        for (size_t i = 0; i < k; ++i) {
            moved[i] = 0;
            const auto& s = sums[i];
            if (s[3] == 0)
                continue;
            const double w = double(s[3]);
            const Rgb m{uint8_t(double(s[0]) / w + 0.5), uint8_t(double(s[1]) / w + 0.5), uint8_t(double(s[2]) / w + 0.5)};
            moved[i] = std::sqrt(double(distance2(m, palette[i])));
            anyMoved = anyMoved || !(m == palette[i]);
            palette[i] = m;
        }
        if (!anyMoved || round == 29) {
            // The error of this round's owners, against the entries they were given to.
            double error = 0;
            for (size_t c = 0; c < n; ++c)
                error += double(distance2(colours[c], before[owner[c]])) * double(counts[c]);
            return error;
        }
    }
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
    // The colours in rows, so that each one's weighted distance to a new seed is found two at a
    // time; whole numbers below 2^53, exact in doubles.
    const size_t m = colours.size();
    std::vector<double> red(m), green(m), blue(m), weight(m);
    for (size_t c = 0; c < m; ++c) {
        red[c] = colours[c].r;
        green[c] = colours[c].g;
        blue[c] = colours[c].b;
        weight[c] = double(counts[c]);
    }
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
            const double r = pal.back().r, g = pal.back().g, b = pal.back().b;
            for (size_t c = 0; c < m; ++c) {
                const double dr = red[c] - r, dg = green[c] - g, db = blue[c] - b;
                near[c] = std::min(near[c], (dr * dr + dg * dg + db * db) * weight[c]);
            }
            double total = 0;
            for (size_t c = 0; c < m; ++c)
                total += near[c];
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

// The picture's colours gathered into 4x4x4 cubes: each occupied cube's mean colour and pixel
// count. The quantiser and k-means work on this short weighted list instead of every pixel.
void colourCubes(const Image& in, const Pixels& px, std::vector<Rgb>& colours, std::vector<uint64_t>& counts)
{
    colours.clear();
    counts.clear();
    if (in.indexed) {
        // At most 256 colours: their counts give the same sums as the pixels, for a fraction of it.
        std::array<uint64_t, 256> perIndex{};
        for (const uint8_t p : in.pixels)
            ++perIndex[p];
        struct Cube {
            uint32_t index;
            uint64_t n, r, g, b;
        };
        std::vector<Cube> cubes;
        for (size_t i = 0; i < in.palette.size(); ++i)
            if (const uint64_t n = perIndex[i]) {
                const Rgb c = in.palette[i];
                cubes.push_back({uint32_t(c.r >> 2) << 12 | uint32_t(c.g >> 2) << 6 | uint32_t(c.b >> 2), n, c.r * n,
                                 c.g * n, c.b * n});
            }
        std::sort(cubes.begin(), cubes.end(), [](const Cube& a, const Cube& b) { return a.index < b.index; });
        for (size_t i = 0; i < cubes.size();) {
            Cube sum = cubes[i];
            for (++i; i < cubes.size() && cubes[i].index == sum.index; ++i) {
                sum.n += cubes[i].n;
                sum.r += cubes[i].r;
                sum.g += cubes[i].g;
                sum.b += cubes[i].b;
            }
            const uint64_t n = sum.n;
            colours.push_back(Rgb{uint8_t((sum.r + n / 2) / n), uint8_t((sum.g + n / 2) / n), uint8_t((sum.b + n / 2) / n)});
            counts.push_back(n);
        }
        return;
    }
    if (px.count() < (size_t(1) << 16)) {
        // Few pixels: sorting them by cube costs less than clearing a table of every cube. A
        // radix sort on the cube's 18 bits, two digits of 9, in two passes.
        std::vector<uint32_t> keys(px.count()), sorted(px.count());
        const uint8_t* c = px.data();
        for (size_t i = 0; i < keys.size(); ++i, c += 4)
            keys[i] = uint32_t(c[0]) << 16 | uint32_t(c[1]) << 8 | c[2];
        auto cube = [](uint32_t k) { return k & 0xFCFCFCu; };
        // The cube's 18 bits: 6 of each channel.
        auto cubeIndex = [](uint32_t k) { return (k >> 6 & 0x3F000u) | (k >> 4 & 0xFC0u) | (k >> 2 & 0x3Fu); };
        for (const unsigned shift : {0u, 9u}) {
            std::array<uint32_t, 513> start{};
            for (const uint32_t k : keys)
                ++start[(cubeIndex(k) >> shift & 511u) + 1];
            for (size_t d = 1; d < start.size(); ++d)
                start[d] += start[d - 1];
            for (const uint32_t k : keys)
                sorted[start[cubeIndex(k) >> shift & 511u]++] = k;
            keys.swap(sorted);
        }
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

}  // namespace

std::vector<Rgb> cubePalette(const Image& in, const Pixels& px, const ReduceOptions& options)
{
    std::vector<Rgb> colours;
    std::vector<uint64_t> counts;
    colourCubes(in, px, colours, counts);
    std::vector<Rgb> palette = quantiserPalette(colours, counts, options.colors,
                                                options.speed ? options.speed : defaultSpeed);
    if (!palette.empty() && options.colors <= 32) {
        // libimagequant weighs colours by how the eye sees them; k-means minimises the plain error.
        kmeans(colours, counts, palette);
        searchFewColours(in, palette);
    }
    return palette;
}

std::vector<Rgb> gridPalette(const Image& in, const Pixels& px, const ReduceOptions& options)
{
    std::vector<Rgb> colours;
    std::vector<uint64_t> counts;
    if (!histogram(in, size_t(1) << 16, colours, counts))
        colourCubes(in, px, colours, counts);
    std::vector<Rgb> start = colours;
    if (colours.size() > size_t(options.colors)) {
        // For a few colours, from where the 8-bit palette's own search ends.
        start = options.colors <= 32 ? cubePalette(in, px, options)
                                     : quantiserPalette(colours, counts, options.colors,
                                                        options.speed ? options.speed : defaultSpeed);
        if (start.empty())
            return {};
    }
    return chooseOnGrid(colours, counts, {}, {}, start, size_t(options.colors), Grid(options.depth));
}

ReduceError quantiseAndMap(const Pixels& px, const ReduceOptions& options, Image& out)
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
    return ReduceError::None;
}

}  // namespace pcx
