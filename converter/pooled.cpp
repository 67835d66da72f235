// SPDX-License-Identifier: GPL-3.0-or-later
#include "pooled.h"

#include <libimagequant.h>

#include "grid_palette.h"
#include "pixels.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <numeric>

namespace pcx {

namespace {

constexpr size_t cubeCount = size_t(1) << 18;

size_t cubeOf(uint32_t rgb) { return size_t(rgb >> 18 & 63) << 12 | size_t(rgb >> 10 & 63) << 6 | size_t(rgb >> 2 & 63); }


struct LiqDeleter {
    void operator()(liq_attr* a) const { liq_attr_destroy(a); }
    void operator()(liq_result* r) const { liq_result_destroy(r); }
    void operator()(liq_histogram* h) const { liq_histogram_destroy(h); }
};

struct Weighted {
    std::vector<Rgb> colours;
    std::vector<uint64_t> counts, lone;
};

// libimagequant's palette for the list with the fixed colours in it; empty when it fails. Only the
// colours that are not fixed come back, at most count of them.
std::vector<Rgb> proposal(const Weighted& w, const std::vector<Rgb>& fixed, size_t count, int speed)
{
    std::unique_ptr<liq_attr, LiqDeleter> attr(liq_attr_create());
    const int most = int(std::min<size_t>(256, fixed.size() + count));
    if (!attr || liq_set_max_colors(attr.get(), std::max(most, 2)) != LIQ_OK || liq_set_speed(attr.get(), speed) != LIQ_OK)
        return {};
    std::unique_ptr<liq_histogram, LiqDeleter> hist(liq_histogram_create(attr.get()));
    if (!hist)
        return {};
    for (Rgb c : fixed)
        if (liq_histogram_add_fixed_color(hist.get(), liq_color{c.r, c.g, c.b, 255}, 0) != LIQ_OK)
            return {};
    std::vector<liq_histogram_entry> entries(w.colours.size());
    for (size_t i = 0; i < entries.size(); ++i)
        entries[i] = liq_histogram_entry{{w.colours[i].r, w.colours[i].g, w.colours[i].b, 255},
                                         unsigned(std::min<uint64_t>(w.counts[i], UINT_MAX))};
    // As for one picture: a first call of about the square root of five times the count sizes
    // libimagequant's colour table for the list.
    const size_t first = std::min(entries.size(), size_t(std::sqrt(5.0 * double(entries.size()))) + 1);
    liq_result* raw = nullptr;
    if (liq_histogram_add_colors(hist.get(), attr.get(), entries.data(), int(first), 0) != LIQ_OK ||
        (first < entries.size() &&
         liq_histogram_add_colors(hist.get(), attr.get(), entries.data() + first, int(entries.size() - first), 0) != LIQ_OK) ||
        liq_histogram_quantize(hist.get(), attr.get(), &raw) != LIQ_OK || !raw)
        return {};
    std::unique_ptr<liq_result, LiqDeleter> result(raw);
    const liq_palette* pal = liq_get_palette(result.get());
    std::vector<Rgb> proposed;
    for (unsigned i = 0; i < pal->count; ++i)
        proposed.push_back(Rgb{pal->entries[i].r, pal->entries[i].g, pal->entries[i].b});
    // The fixed colours come back among them, in an order of libimagequant's own; each is taken out
    // once (the nearest, should one come back moved).
    for (Rgb f : fixed) {
        if (proposed.empty())
            break;
        auto nearest = std::min_element(proposed.begin(), proposed.end(),
                                        [&](Rgb a, Rgb b) { return distance2(a, f) < distance2(b, f); });
        proposed.erase(nearest);
    }
    if (proposed.size() > count)
        proposed.resize(count);
    return proposed;
}

// Which entry of fixed + chosen each listed colour goes to (the nearest, the lowest index winning a
// tie). k-means asks again every round, with owners mostly where they were: the last owner's
// distance bounds the search, which walks out from the colour's red among the entries sorted by
// red and stops on each side once the red alone is further off than the best so far.
void assignOwners(const Weighted& w, const std::vector<Rgb>& all, std::vector<uint8_t>& owner)
{
    if (owner.size() != w.colours.size())
        owner.assign(w.colours.size(), 0);
    std::vector<uint8_t> byRed(all.size());
    std::iota(byRed.begin(), byRed.end(), uint8_t(0));
    std::stable_sort(byRed.begin(), byRed.end(), [&](uint8_t a, uint8_t b) { return all[a].r < all[b].r; });
    for (size_t i = 0; i < w.colours.size(); ++i) {
        const Rgb c = w.colours[i];
        size_t best = owner[i] < all.size() ? owner[i] : 0;
        int bound = distance2(c, all[best]);
        auto consider = [&](size_t k) {
            const int dr = c.r - all[k].r;
            if (dr * dr > bound)
                return false;
            const int d = distance2(c, all[k]);
            if (d < bound || (d == bound && k < best)) {
                bound = d;
                best = k;
            }
            return true;
        };
        const size_t at = size_t(std::partition_point(byRed.begin(), byRed.end(), [&](uint8_t k) { return all[k].r < c.r; }) -
                                 byRed.begin());
        for (size_t j = at; j < byRed.size() && consider(byRed[j]); ++j) {
        }
        for (size_t j = at; j > 0 && consider(byRed[j - 1]); --j) {
        }
        owner[i] = uint8_t(best);
    }
}

std::vector<uint8_t> owners(const Weighted& w, const std::vector<Rgb>& all)
{
    std::vector<uint8_t> owner;
    assignOwners(w, all, owner);
    return owner;
}

// Weighted k-means that moves only the chosen colours, the fixed ones held.
void refine(const Weighted& w, const std::vector<Rgb>& fixed, std::vector<Rgb>& chosen)
{
    std::vector<uint8_t> owner;
    for (int round = 0; round < 12; ++round) {
        std::vector<Rgb> all = fixed;
        all.insert(all.end(), chosen.begin(), chosen.end());
        assignOwners(w, all, owner);
        std::vector<std::array<uint64_t, 4>> sums(chosen.size());
        for (size_t i = 0; i < owner.size(); ++i) {
            if (owner[i] < fixed.size())
                continue;
            auto& s = sums[owner[i] - fixed.size()];
            const uint64_t n = w.counts[i];
            s[0] += w.colours[i].r * n;
            s[1] += w.colours[i].g * n;
            s[2] += w.colours[i].b * n;
            s[3] += n;
        }
        bool moved = false;
        for (size_t k = 0; k < chosen.size(); ++k) {
            const uint64_t n = sums[k][3];
            if (!n)
                continue;
            const Rgb m{uint8_t((sums[k][0] + n / 2) / n), uint8_t((sums[k][1] + n / 2) / n), uint8_t((sums[k][2] + n / 2) / n)};
            moved = moved || !(m == chosen[k]);
            chosen[k] = m;
        }
        if (!moved)
            break;
    }
}

// The chosen colours that some pixel takes, those most often alone first (then the most used).
std::vector<Rgb> inPlacingOrder(const Weighted& w, const std::vector<Rgb>& fixed, const std::vector<Rgb>& chosen)
{
    std::vector<Rgb> all = fixed;
    all.insert(all.end(), chosen.begin(), chosen.end());
    const std::vector<uint8_t> owner = owners(w, all);
    std::vector<uint64_t> lone(all.size()), used(all.size());
    for (size_t i = 0; i < owner.size(); ++i) {
        lone[owner[i]] += w.lone[i];
        used[owner[i]] += w.counts[i];
    }
    std::vector<size_t> order;
    for (size_t k = fixed.size(); k < all.size(); ++k)
        if (used[k])
            order.push_back(k);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return lone[a] != lone[b] ? lone[a] > lone[b] : used[a] > used[b];
    });
    std::vector<Rgb> placed;
    for (size_t k : order)
        placed.push_back(all[k]);
    return placed;
}

}  // namespace

void ColourPool::addColour(uint32_t rgb, uint64_t n, uint64_t lone)
{
    pixels_ += n;
    if (cubes_.empty()) {
        Count& c = exact_[rgb];
        c.n += n;
        c.lone += lone;
        if (exact_.size() > exactLimit)
            toCubes();
        return;
    }
    Cell& c = cubes_[cubeOf(rgb)];
    c.n += n;
    c.r += uint64_t(rgb >> 16) * n;
    c.g += uint64_t(rgb >> 8 & 255) * n;
    c.b += uint64_t(rgb & 255) * n;
    c.lone += lone;
}

void ColourPool::toCubes()
{
    cubes_.assign(cubeCount, Cell{});
    const auto colours = std::move(exact_);
    exact_ = {};
    pixels_ = 0;
    for (const auto& [rgb, c] : colours)
        addColour(rgb, c.n, c.lone);
}

void ColourPool::add(const Image& img, const TargetPalette& target)
{
    const size_t w = img.width;
    auto rgba = [&](size_t i, uint8_t* c) {
        if (img.indexed) {
            const Rgb p = img.palette[img.pixels[i]];
            c[0] = p.r, c[1] = p.g, c[2] = p.b, c[3] = 255;
        } else {
            std::copy_n(img.pixels.data() + 4 * i, 4, c);
        }
    };
    for (size_t y = 0; y < img.height; ++y) {
        for (size_t x = 0; x < w;) {
            uint8_t c[4], d[4];
            rgba(y * w + x, c);
            size_t run = 1;
            for (; x + run < w; ++run) {
                rgba(y * w + x + run, d);
                if (!std::equal(c, c + 3, d) || target.isKey(c) != target.isKey(d))
                    break;
            }
            if (!target.isKey(c))
                addColour(packRgb(c), run, run == 1);
            x += run;
        }
    }
}

void ColourPool::merge(const ColourPool& other)
{
    for (const auto& [rgb, c] : other.exact_)
        addColour(rgb, c.n, c.lone);
    if (other.cubes_.empty())
        return;
    if (cubes_.empty())
        toCubes();
    for (size_t i = 0; i < cubeCount; ++i) {
        const Cell& o = other.cubes_[i];
        Cell& c = cubes_[i];
        c.n += o.n;
        c.r += o.r;
        c.g += o.g;
        c.b += o.b;
        c.lone += o.lone;
        pixels_ += o.n;
    }
}

void ColourPool::weighted(std::vector<Rgb>& colours, std::vector<uint64_t>& counts, std::vector<uint64_t>& lone) const
{
    colours.clear();
    counts.clear();
    lone.clear();
    if (cubes_.empty()) {
        // In colour order, so that the same set gives the same palette whatever order it came in.
        std::vector<uint32_t> keys;
        keys.reserve(exact_.size());
        for (const auto& e : exact_)
            keys.push_back(e.first);
        std::sort(keys.begin(), keys.end());
        for (uint32_t k : keys) {
            const Count& c = exact_.at(k);
            colours.push_back(unpackRgb(k));
            counts.push_back(c.n);
            lone.push_back(c.lone);
        }
        return;
    }
    for (const Cell& c : cubes_) {
        if (!c.n)
            continue;
        colours.push_back(Rgb{uint8_t((c.r + c.n / 2) / c.n), uint8_t((c.g + c.n / 2) / c.n), uint8_t((c.b + c.n / 2) / c.n)});
        counts.push_back(c.n);
        lone.push_back(c.lone);
    }
}

std::string fillFree(const ColourPool& pool, int speed, TargetPalette& t, int depth)
{
    Weighted w;
    pool.weighted(w.colours, w.counts, w.lone);
    // Pixels of an entry kept for its exact colour take it, and no other pixel does: neither is
    // the choice's to serve.
    if (t.exactOnly.any()) {
        std::vector<Rgb> kept;
        for (size_t k = 0; k < 256; ++k)
            if (t.exactOnly[k])
                kept.push_back(t.entries[k]);
        Weighted rest;
        for (size_t i = 0; i < w.colours.size(); ++i)
            if (std::find(kept.begin(), kept.end(), w.colours[i]) == kept.end()) {
                rest.colours.push_back(w.colours[i]);
                rest.counts.push_back(w.counts[i]);
                rest.lone.push_back(w.lone[i]);
            }
        w = std::move(rest);
    }
    std::vector<Rgb> fixed;
    for (size_t i = 0; i < 256; ++i)
        if (t.usable[i] && !t.exactOnly[i] && std::find(fixed.begin(), fixed.end(), t.entries[i]) == fixed.end())
            fixed.push_back(t.entries[i]);
    std::vector<Rgb> chosen;
    if (t.freeCount && !w.colours.empty()) {
        for (Rgb c : w.colours)
            if (std::find(fixed.begin(), fixed.end(), c) == fixed.end())
                chosen.push_back(c);
        if (!pool.exact() || chosen.size() > t.freeCount) {
            // One colour for all: their mean.
            if (fixed.empty() && t.freeCount == 1) {
                std::array<uint64_t, 4> s{};
                for (size_t i = 0; i < w.colours.size(); ++i) {
                    s[0] += w.colours[i].r * w.counts[i];
                    s[1] += w.colours[i].g * w.counts[i];
                    s[2] += w.colours[i].b * w.counts[i];
                    s[3] += w.counts[i];
                }
                chosen = {Rgb{uint8_t((s[0] + s[3] / 2) / s[3]), uint8_t((s[1] + s[3] / 2) / s[3]), uint8_t((s[2] + s[3] / 2) / s[3])}};
            } else {
                chosen = proposal(w, fixed, t.freeCount, speed);
                if (chosen.empty() && fixed.size() + t.freeCount > 1)
                    return "colour quantisation failed";
            }
            refine(w, fixed, chosen);
        }
        if (depth < 8) {
            const std::vector<Rgb> taken = t.key >= 0 ? std::vector<Rgb>{t.entries[size_t(t.key)]} : std::vector<Rgb>{};
            chosen = chooseOnGrid(w.colours, w.counts, fixed, taken, chosen, t.freeCount, Grid(depth));
        }
        chosen = inPlacingOrder(w, fixed, chosen);
    }
    for (size_t k = 0; k < chosen.size() && k < t.free.size(); ++k) {
        t.entries[size_t(t.free[k])] = chosen[k];
        t.usable[size_t(t.free[k])] = true;
    }
    t.free.clear();
    t.freeCount = 0;
    return {};
}

}  // namespace pcx
