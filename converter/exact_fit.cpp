// SPDX-License-Identifier: GPL-3.0-or-later
#include "exact_fit.h"

#include "pixels.h"
#include "reduce.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace pcx {

namespace {

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
        const uint32_t k = packRgb(c);
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
        if (packRgb(c) != lastKey) {
            last = table.find(c);
            if (last < 0)
                return false;
            lastKey = packRgb(c);
        }
        if (indices)
            indices[i] = uint8_t(last);
    }
    return true;
}

}  // namespace

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

bool histogram(const Image& img, size_t limit, std::vector<Rgb>& colours, std::vector<uint64_t>& counts)
{
    // A picture has no more colours than pixels, nor a palette picture than its palette: a small
    // one needs only a small table.
    const size_t pixels = size_t(img.width) * img.height;
    ColourTable table(std::min({limit, pixels, img.indexed ? img.palette.size() : pixels}));
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

bool distinctColours(const Image& img, size_t limit, std::vector<Rgb>& colours)
{
    Image tmp;
    if (!exactIndexed(img, limit, tmp))
        return false;
    colours = std::move(tmp.palette);
    return true;
}

}  // namespace pcx
