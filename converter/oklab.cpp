// SPDX-License-Identifier: GPL-3.0-or-later
#include "oklab.h"

#include <algorithm>
#include <array>
#include <cmath>
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

OklabNearest::OklabNearest(const std::vector<Rgb>& palette)
{
    std::vector<Lab> lab;
    for (const Rgb c : palette)
        lab.push_back(oklabOf(c));
    std::vector<uint8_t> order(palette.size());
    std::iota(order.begin(), order.end(), uint8_t(0));
    std::stable_sort(order.begin(), order.end(), [&](uint8_t x, uint8_t y) { return lab[x].L < lab[y].L; });
    for (const uint8_t i : order) {
        lightness_.push_back(lab[i].L);
        lab_.push_back(lab[i]);
        place_.push_back(i);
    }
}

uint8_t OklabNearest::operator()(const uint8_t* rgb) const
{
    const Lab c = oklabOf(rgb);
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
