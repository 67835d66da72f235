// SPDX-License-Identifier: GPL-3.0-or-later
#include "reduce.h"

#include <libimagequant.h>

#include <algorithm>
#include <array>
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

// Maps every pixel to its exact colour; false when the picture has more than limit colours.
bool exactIndexed(const Image& in, size_t limit, Image& out)
{
    ColourTable table(limit);
    out = Image{};
    out.width = in.width;
    out.height = in.height;
    out.indexed = true;
    out.pixels.resize(size_t(in.width) * in.height);
    if (in.indexed) {
        std::array<int, 256> map;
        map.fill(-2);
        for (size_t i = 0; i < out.pixels.size(); ++i) {
            const uint8_t p = in.pixels[i];
            if (map[p] == -2)
                map[p] = table.find(in.palette[p]);
            if (map[p] < 0)
                return false;
            out.pixels[i] = uint8_t(map[p]);
        }
    } else {
        const uint8_t* s = in.pixels.data();
        uint32_t lastKey = 0xFFFFFFFFu;
        int last = -1;
        for (size_t i = 0; i < out.pixels.size(); ++i, s += 4) {
            const Rgb c{s[0], s[1], s[2]};
            if (key(c) != lastKey) {
                last = table.find(c);
                if (last < 0)
                    return false;
                lastKey = key(c);
            }
            out.pixels[i] = uint8_t(last);
        }
    }
    out.palette = std::move(table.colours);
    return true;
}

struct LiqDeleter {
    void operator()(liq_attr* a) const { liq_attr_destroy(a); }
    void operator()(liq_image* i) const { liq_image_destroy(i); }
    void operator()(liq_result* r) const { liq_result_destroy(r); }
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

}  // namespace

namespace {

// Walks the runs extendRuns would make; returns the squared error it adds, and applies the
// change when apply is set.
uint64_t walkRuns(const Image& original, Image& indexed, int tolerance, bool apply)
{
    uint64_t added = 0;
    const size_t w = indexed.width;
    for (size_t y = 0; y < indexed.height; ++y) {
        uint8_t* row = indexed.pixels.data() + y * w;
        uint8_t left = row[0];
        for (size_t x = 1; x < w; ++x) {
            uint8_t cur = row[x];
            if (cur != left) {
                const Rgb c = original.at(uint32_t(x), uint32_t(y));
                const int extra = distance2(c, indexed.palette[left]) - distance2(c, indexed.palette[cur]);
                if (extra <= tolerance) {
                    added += uint64_t(std::max(extra, 0));
                    cur = left;
                    if (apply)
                        row[x] = cur;
                }
            }
            left = cur;
        }
    }
    return added;
}

uint64_t totalError(const Image& original, const Image& indexed)
{
    uint64_t sum = 0;
    for (uint32_t y = 0; y < indexed.height; ++y)
        for (uint32_t x = 0; x < indexed.width; ++x)
            sum += uint64_t(distance2(original.at(x, y), indexed.palette[indexed.pixels[size_t(y) * indexed.width + x]]));
    return sum;
}

// Distinct colours with their pixel counts; false when there are more than limit.
bool histogram(const Image& img, size_t limit, std::vector<Rgb>& colours, std::vector<uint64_t>& counts)
{
    ColourTable table(limit);
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
        for (size_t i = 0; i < img.pixels.size(); i += 4)
            if (!add(Rgb{img.pixels[i], img.pixels[i + 1], img.pixels[i + 2]}, 1))
                return false;
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

// For pictures of a few thousand colours reduced to a few: k-means from the quantiser's palette
// and from spread-out starts, keeping the least squared error, then every pixel to its nearest.
void searchFewColours(const Image& original, Image& indexed)
{
    const size_t n = indexed.palette.size();
    std::vector<Rgb> colours;
    std::vector<uint64_t> counts;
    if (n > 32 || !histogram(original, 4096, colours, counts))
        return;
    std::vector<Rgb> best = indexed.palette;
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
    indexed.palette = best;
    refineFewColours(original, indexed, 2);
}

}  // namespace

void centrePalette(const Image& original, Image& indexed)
{
    if (original.width != indexed.width || original.height != indexed.height)
        return;
    std::vector<std::array<uint64_t, 4>> sums(indexed.palette.size());
    for (uint32_t y = 0; y < indexed.height; ++y)
        for (uint32_t x = 0; x < indexed.width; ++x) {
            const Rgb c = original.at(x, y);
            auto& s = sums[indexed.pixels[size_t(y) * indexed.width + x]];
            s[0] += c.r;
            s[1] += c.g;
            s[2] += c.b;
            s[3] += 1;
        }
    for (size_t i = 0; i < sums.size(); ++i) {
        const uint64_t n = sums[i][3];
        if (n)
            indexed.palette[i] = Rgb{uint8_t((sums[i][0] + n / 2) / n), uint8_t((sums[i][1] + n / 2) / n),
                                     uint8_t((sums[i][2] + n / 2) / n)};
    }
}

void refineFewColours(const Image& original, Image& indexed, int rounds)
{
    const size_t n = indexed.palette.size();
    if (n > 32 || original.width != indexed.width || original.height != indexed.height)
        return;
    for (int round = 0; round < rounds; ++round) {
        bool changed = false;
        std::array<bool, 32> used{};
        int worst = -1;
        Rgb worstColour;
        for (uint32_t y = 0; y < indexed.height; ++y)
            for (uint32_t x = 0; x < indexed.width; ++x) {
                const Rgb c = original.at(x, y);
                uint8_t& p = indexed.pixels[size_t(y) * indexed.width + x];
                int best = distance2(c, indexed.palette[p]);
                for (size_t i = 0; i < n && best; ++i) {
                    const int d = distance2(c, indexed.palette[i]);
                    if (d < best) {
                        best = d;
                        p = uint8_t(i);
                        changed = true;
                    }
                }
                used[p] = true;
                if (best > worst) {
                    worst = best;
                    worstColour = c;
                }
            }
        centrePalette(original, indexed);
        // A colour that no pixel uses moves to the pixel served worst.
        for (size_t i = 0; i < n; ++i)
            if (!used[i] && worst > 0) {
                indexed.palette[i] = worstColour;
                changed = true;
                break;
            }
        if (!changed)
            break;
    }
}

void extendRuns(const Image& original, Image& indexed, int tolerance)
{
    if (tolerance <= 0 || original.width != indexed.width || original.height != indexed.height)
        return;
    walkRuns(original, indexed, tolerance, true);
}

int extendRunsWithin(const Image& original, Image& indexed, double budget)
{
    if (budget <= 0 || original.width != indexed.width || original.height != indexed.height)
        return 0;
    const double allowed = budget * double(totalError(original, indexed));
    for (int tolerance : {2048, 1024, 512, 256, 128, 64, 32, 16, 8, 4}) {
        if (double(walkRuns(original, indexed, tolerance, false)) <= allowed) {
            walkRuns(original, indexed, tolerance, true);
            return tolerance;
        }
    }
    return 0;
}

bool distinctColours(const Image& img, size_t limit, std::vector<Rgb>& colours)
{
    Image tmp;
    if (!exactIndexed(img, limit, tmp))
        return false;
    colours = std::move(tmp.palette);
    return true;
}

std::string reduce(const Image& in, const ReduceOptions& options, Image& out)
{
    if (options.colors < 2 || options.colors > 256)
        return "the colour count must be 2 to 256";
    if (in.width == 0 || in.height == 0 || in.width > uint32_t(INT32_MAX) / 4 || in.height > uint32_t(INT32_MAX))
        return "the image has no pixels";
    try {
        if (exactIndexed(in, size_t(options.colors), out))
            return {};

        std::unique_ptr<liq_attr, LiqDeleter> attr(liq_attr_create());
        if (!attr)
            return "cannot start the colour quantiser";
        liq_set_max_colors(attr.get(), options.colors);
        liq_set_speed(attr.get(), options.speed ? options.speed : defaultSpeed);
        // Palette images are expanded; direct colour ones already have the quantiser's layout.
        std::vector<uint8_t> expanded;
        const uint8_t* rgba = in.pixels.data();
        if (in.indexed) {
            expanded.resize(in.pixels.size() * 4);
            for (size_t i = 0; i < in.pixels.size(); ++i) {
                const Rgb c = in.palette[in.pixels[i]];
                expanded[4 * i] = c.r;
                expanded[4 * i + 1] = c.g;
                expanded[4 * i + 2] = c.b;
                expanded[4 * i + 3] = 255;
            }
            rgba = expanded.data();
        }
        std::unique_ptr<liq_image, LiqDeleter> image(
            liq_image_create_rgba(attr.get(), rgba, int(in.width), int(in.height), 0));
        if (!image)
            return "the colour quantiser cannot take this image";
        liq_result* raw = nullptr;
        if (liq_image_quantize(image.get(), attr.get(), &raw) != LIQ_OK || !raw)
            return "colour quantisation failed";
        std::unique_ptr<liq_result, LiqDeleter> result(raw);
        liq_set_dithering_level(result.get(), options.dither ? 1.0f : 0.0f);

        out = Image{};
        out.width = in.width;
        out.height = in.height;
        out.indexed = true;
        out.pixels.resize(size_t(in.width) * in.height);
        if (liq_write_remapped_image(result.get(), image.get(), out.pixels.data(), out.pixels.size()) != LIQ_OK)
            return "colour remapping failed";
        const liq_palette* pal = liq_get_palette(result.get());
        out.palette.resize(pal->count);
        for (unsigned i = 0; i < pal->count; ++i)
            out.palette[i] = Rgb{pal->entries[i].r, pal->entries[i].g, pal->entries[i].b};
        if (!options.dither) {
            searchFewColours(in, out);
            refineFewColours(in, out, 4);
            extendRunsWithin(in, out, options.runBudget);
        }
        centrePalette(in, out);
        compact(out);
        return {};
    } catch (const std::bad_alloc&) {
        out = Image{};
        return "not enough memory";
    }
}

}  // namespace pcx
