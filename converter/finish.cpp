// SPDX-License-Identifier: GPL-3.0-or-later
#include "finish.h"

#include "bands.h"

#include <array>
#include <climits>
#include <vector>

namespace pcx {

namespace {

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

// Pixel sums per palette entry, for one band.
struct EntrySums {
    std::array<std::array<uint64_t, 5>, 256> sums{};  // R, G, B, pixel count, R² + G² + B²
};

// The pixel sums of every entry, over all bands; the sums of squares only when asked.
template <bool squares>
EntrySums entrySums(const Pixels& px, const Image& indexed)
{
    const std::vector<Rgb>* from = px.sourcePalette();
    const size_t k = indexed.palette.size();
    if (from && from->size() * k <= px.count()) {
        // A palette picture: how often each of its colours went to each entry says it all.
        std::vector<uint64_t> pairs(from->size() * k);
        const uint8_t* source = px.indices();
        const uint8_t* p = indexed.pixels.data();
        for (size_t i = 0, n = px.count(); i < n; ++i)
            ++pairs[size_t(source[i]) * k + p[i]];
        EntrySums all;
        for (size_t c = 0; c < from->size(); ++c) {
            const Rgb v = (*from)[c];
            for (size_t e = 0; e < k; ++e)
                if (const uint64_t n = pairs[c * k + e]) {
                    auto& sum = all.sums[e];
                    sum[0] += v.r * n;
                    sum[1] += v.g * n;
                    sum[2] += v.b * n;
                    sum[3] += n;
                    if constexpr (squares)
                        sum[4] += uint64_t(v.r * v.r + v.g * v.g + v.b * v.b) * n;
                }
        }
        return all;
    }
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

}  // namespace

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

void finish(const Pixels& px, Image& out)
{
    settleRowEnds(px, out, 0.05);
    centre(px, out);
    compact(out);
}

void finishHeld(const Pixels& px, Image& out)
{
    settleRowEnds(px, out, 0.05);
    compact(out);
}

}  // namespace pcx
