// SPDX-License-Identifier: GPL-3.0-or-later
#include "oklab.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <numeric>

namespace pcx {

namespace {

const std::array<double, 256>& linearTable()
{
    static const std::array<double, 256> table = [] {
        std::array<double, 256> t{};
        for (int i = 0; i < 256; ++i) {
            const double v = i / 255.0;
            t[size_t(i)] = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        }
        return t;
    }();
    return table;
}

}  // namespace

Lab oklabOf(const uint8_t* rgb)
{
    const auto& lin = linearTable();
    const double r = lin[rgb[0]], g = lin[rgb[1]], b = lin[rgb[2]];
    const double l = std::cbrt(0.4122214708 * r + 0.5363325363 * g + 0.0514459929 * b);
    const double m = std::cbrt(0.2119034982 * r + 0.6806995451 * g + 0.1073969566 * b);
    const double s = std::cbrt(0.0883024619 * r + 0.2817188376 * g + 0.6299787005 * b);
    return Lab{0.2104542553 * l + 0.7936177850 * m - 0.0040720468 * s,
               1.9779984951 * l - 2.4285922050 * m + 0.4505937099 * s,
               0.0259040371 * l + 0.7827717662 * m - 0.8086757660 * s};
}

namespace {

constexpr size_t cubeCount = size_t(1) << 18;
constexpr unsigned listMax = 7;

// Where the colours of the cube with corners lo and hi lie: each of OKLab's axes between two
// values, a little widened for the rounding of the sums.
struct Box {
    double lo[3], hi[3];
};

Box boxOf(const uint8_t* lo, const uint8_t* hi)
{
    const auto& lin = linearTable();
    // Every weight from linear light to l, m and s is positive, and so is the cube root's slope.
    auto root = [&](const uint8_t* c, double wr, double wg, double wb) {
        return std::cbrt(wr * lin[c[0]] + wg * lin[c[1]] + wb * lin[c[2]]);
    };
    const double l[2] = {root(lo, 0.4122214708, 0.5363325363, 0.0514459929), root(hi, 0.4122214708, 0.5363325363, 0.0514459929)};
    const double m[2] = {root(lo, 0.2119034982, 0.6806995451, 0.1073969566), root(hi, 0.2119034982, 0.6806995451, 0.1073969566)};
    const double s[2] = {root(lo, 0.0883024619, 0.2817188376, 0.6299787005), root(hi, 0.0883024619, 0.2817188376, 0.6299787005)};
    const double w[3][3] = {{0.2104542553, 0.7936177850, -0.0040720468},
                            {1.9779984951, -2.4285922050, 0.4505937099},
                            {0.0259040371, 0.7827717662, -0.8086757660}};
    Box b;
    for (int k = 0; k < 3; ++k) {
        const double* v[3] = {l, m, s};
        b.lo[k] = b.hi[k] = 0;
        for (int j = 0; j < 3; ++j) {
            b.lo[k] += w[k][j] * v[j][w[k][j] > 0 ? 0 : 1];
            b.hi[k] += w[k][j] * v[j][w[k][j] > 0 ? 1 : 0];
        }
        b.lo[k] -= 1e-9;
        b.hi[k] += 1e-9;
    }
    return b;
}

}  // namespace

OklabNearest::OklabNearest(const std::vector<Rgb>& palette, size_t lookups)
{
    for (const Rgb c : palette)
        byPlace_.push_back(oklabOf(c));
    const std::vector<Lab>& lab = byPlace_;
    std::vector<uint8_t> order(palette.size());
    std::iota(order.begin(), order.end(), uint8_t(0));
    std::stable_sort(order.begin(), order.end(), [&](uint8_t x, uint8_t y) { return lab[x].L < lab[y].L; });
    for (const uint8_t i : order) {
        lightness_.push_back(lab[i].L);
        lab_.push_back(lab[i]);
        place_.push_back(i);
    }
    if (lookups >= (size_t(1) << 15) && !palette.empty()) {
        cubes_.reset(new std::atomic<uint64_t>[cubeCount]);
        for (size_t i = 0; i < cubeCount; ++i)
            cubes_[i].store(0, std::memory_order_relaxed);
    }
    if (lookups >= (size_t(1) << 20) && !palette.empty())
        known_ = static_cast<uint16_t*>(std::calloc(size_t(1) << 24, sizeof(uint16_t)));
}

OklabNearest::~OklabNearest()
{
    std::free(known_);
}

uint64_t OklabNearest::listFor(size_t cube) const
{
    const uint8_t lo[3] = {uint8_t((cube >> 12) * 4), uint8_t((cube >> 6 & 63) * 4), uint8_t((cube & 63) * 4)};
    const uint8_t hi[3] = {uint8_t(lo[0] + 3), uint8_t(lo[1] + 3), uint8_t(lo[2] + 3)};
    const Box box = boxOf(lo, hi);
    std::vector<double> least(byPlace_.size());
    double bound = INFINITY;
    for (size_t i = 0; i < byPlace_.size(); ++i) {
        const double e[3] = {byPlace_[i].L, byPlace_[i].a, byPlace_[i].b};
        double in = 0, out = 0;
        for (int k = 0; k < 3; ++k) {
            const double below = box.lo[k] - e[k], above = e[k] - box.hi[k];
            const double gap = std::max({below, above, 0.0});
            const double far = std::max(e[k] - box.lo[k], box.hi[k] - e[k]);
            in += gap * gap;
            out += far * far;
        }
        least[i] = in;
        bound = std::min(bound, out);
    }
    bound = bound * (1 + 1e-9) + 1e-15;
    uint64_t list = 0;
    unsigned n = 0;
    for (size_t i = 0; i < least.size(); ++i)
        if (least[i] <= bound) {
            if (n < listMax)
                list |= uint64_t(i) << (8 * n);
            ++n;
        }
    return list | uint64_t(std::min(n, listMax + 1)) << 56;
}

uint8_t OklabNearest::operator()(const uint8_t* rgb) const
{
    if (!known_)
        return search(rgb);
    // Racing threads find the same entry, so either store may win.
    std::atomic_ref<uint16_t> slot(known_[size_t(rgb[0]) << 16 | size_t(rgb[1]) << 8 | rgb[2]]);
    if (const uint16_t e = slot.load(std::memory_order_relaxed))
        return uint8_t(e - 1);
    const uint8_t e = search(rgb);
    slot.store(uint16_t(e + 1), std::memory_order_relaxed);
    return e;
}

uint8_t OklabNearest::search(const uint8_t* rgb) const
{
    if (!cubes_)
        return walk(oklabOf(rgb));
    const size_t cube = size_t(rgb[0] >> 2) << 12 | size_t(rgb[1] >> 2) << 6 | size_t(rgb[2] >> 2);
    uint64_t list = cubes_[cube].load(std::memory_order_relaxed);
    if (!list) {
        // Racing threads compute the same list, so either store may win.
        list = listFor(cube);
        cubes_[cube].store(list, std::memory_order_relaxed);
    }
    const unsigned n = unsigned(list >> 56);
    uint8_t owner = uint8_t(list);
    if (n == 1)
        return owner;
    const Lab c = oklabOf(rgb);
    if (n > listMax)
        return walk(c);
    double best = distance2(byPlace_[owner], c);
    for (unsigned k = 1; k < n; ++k) {
        const uint8_t i = uint8_t(list >> (8 * k));
        if (const double d = distance2(byPlace_[i], c); d < best) {
            best = d;
            owner = i;
        }
    }
    return owner;
}

uint8_t OklabNearest::walk(const Lab& c) const
{
    const size_t n = lab_.size();
    const size_t at = size_t(std::lower_bound(lightness_.begin(), lightness_.end(), c.L) - lightness_.begin());
    double best = INFINITY;
    uint8_t owner = 0;
    auto consider = [&](size_t k) {
        const double dL = lab_[k].L - c.L;
        // A rounded sum of squares is never below its first term, so no entry passed over here
        // could come nearer than best, nor tie it.
        if (dL * dL > best)
            return false;
        const double d = distance2(lab_[k], c);
        if (d < best || (d == best && place_[k] < owner)) {
            best = d;
            owner = place_[k];
        }
        return true;
    };
    for (size_t k = at, j = at; k < n || j > 0;) {
        const bool up = k < n && consider(k);
        const bool down = j > 0 && consider(j - 1);
        k = up ? k + 1 : n;
        j = down ? j - 1 : 0;
    }
    return owner;
}

}  // namespace pcx
