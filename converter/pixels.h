// SPDX-License-Identifier: GPL-3.0-or-later
// What every stage of the reduction reads: the original picture as R, G, B, A bytes, the squared
// distance between colours, and how far an indexed picture is from its original.
#pragma once

#include "pcx.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pcx {

// A colour as one number, red highest: the key of every table and cache of colours.
inline uint32_t packRgb(const uint8_t* c) { return uint32_t(c[0]) << 16 | uint32_t(c[1]) << 8 | c[2]; }
inline uint32_t packRgb(Rgb c) { return uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | c.b; }
inline Rgb unpackRgb(uint32_t k) { return Rgb{uint8_t(k >> 16), uint8_t(k >> 8), uint8_t(k)}; }

inline int distance2(Rgb a, Rgb b)
{
    const int dr = a.r - b.r, dg = a.g - b.g, db = a.b - b.b;
    return dr * dr + dg * dg + db * db;
}

inline int distance2(const uint8_t* c, Rgb p)
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
        indices_ = img.pixels.data();
        sourcePalette_ = &img.palette;
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
    // A palette picture's own indices and palette, so that a stage may treat each of its few
    // colours once instead of each pixel; null for a picture of its own colours.
    const uint8_t* indices() const { return indices_; }
    const std::vector<Rgb>* sourcePalette() const { return sourcePalette_; }
    const uint32_t width, height;

private:
    const uint8_t* rgba_ = nullptr;
    const uint8_t* indices_ = nullptr;
    const std::vector<Rgb>* sourcePalette_ = nullptr;
    std::vector<uint8_t> storage_;
};

// For a palette picture of more pixels than its colours times the entries: the squared
// distance of each of its colours to each entry, row by source index (k entries to a row).
// Empty otherwise, where reckoning each pixel's distance costs less than the table.
std::vector<int> sourceDistances(const Pixels& px, const std::vector<Rgb>& palette);

// An indexed picture of this size with every pixel at index 0 and no palette yet.
inline Image indexedImage(uint32_t width, uint32_t height)
{
    Image img;
    img.width = width;
    img.height = height;
    img.indexed = true;
    img.pixels.resize(size_t(width) * height);
    return img;
}

inline bool sameSize(const Image& a, const Image& b) { return a.width == b.width && a.height == b.height; }

// The squared error of every step-th row of indexed against the original.
uint64_t totalError(const Pixels& px, const Image& indexed, uint32_t step = 1);

}  // namespace pcx
