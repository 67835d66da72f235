// SPDX-License-Identifier: GPL-3.0-or-later
// Every pixel to its nearest palette entry by plain RGB distance, the lowest index winning a tie:
// the same answer a search over every entry gives, found through a table of 4x4x4 colour cubes.
#pragma once

#include "pcx.h"
#include "pixels.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pcx {

// The one tie rule of every search for a nearest entry: among n entries, the lowest index of those
// at the least distance. distanceTo(i) is entry i's distance, of any ordered type.
template <class F>
size_t lowestNearest(size_t n, F&& distanceTo)
{
    size_t owner = 0;
    auto best = distanceTo(size_t(0));
    for (size_t i = 1; i < n; ++i)
        if (const auto d = distanceTo(i); d < best) {
            best = d;
            owner = i;
        }
    return owner;
}

// The entries of the colours met last, for pictures that repeat their colours: a slot holds a key
// (below 2^32 - 1) plus one above its entry, zero being empty; a sprite's pixels need few slots.
class RecentEntries {
public:
    explicit RecentEntries(size_t pixels)
        : bits_(std::clamp(unsigned(std::bit_width(pixels)), 8u, 14u)), slots_(size_t(1) << bits_)
    {
    }
    // The entry of key, from find() the first time.
    template <class F>
    uint8_t operator()(uint32_t key, F&& find)
    {
        uint64_t& slot = slots_[(key * 2654435761u) >> (32 - bits_)];
        if ((slot >> 8) != uint64_t(key) + 1)
            slot = (uint64_t(key) + 1) << 8 | find();
        return uint8_t(slot);
    }

private:
    unsigned bits_;
    std::vector<uint64_t> slots_;
};

// Up to 256 entries as rows of red, green and blue, padded to whole groups of four with entries
// too far away ever to count: the search below reads them four at a time. Distances are sums of
// squares below 2^18, exact in floats.
class EntryRows {
public:
    explicit EntryRows(size_t n) : n_(n), padded_((n + 3) & ~size_t(3)), rows_(3 * padded_, far) {}
    void set(const std::vector<Rgb>& palette)
    {
        for (size_t i = 0; i < n_; ++i) {
            rows_[i] = palette[i].r;
            rows_[padded_ + i] = palette[i].g;
            rows_[2 * padded_ + i] = palette[i].b;
        }
    }

    // The least distance from x, the lowest index at it and the least of the other entries'
    // distances (INT32_MAX when there is no other): what a search of every entry in turn finds.
    int nearestTwo(Rgb x, size_t& owner, int& second) const
    {
        float d[256];
        const float* r = rows_.data();
        const float* g = r + padded_;
        const float* b = g + padded_;
#if defined(__SSE2__)
        const __m128 xr = _mm_set1_ps(x.r), xg = _mm_set1_ps(x.g), xb = _mm_set1_ps(x.b);
        __m128 least = _mm_set1_ps(none);
        for (size_t i = 0; i < padded_; i += 4) {
            const __m128 dr = _mm_sub_ps(_mm_loadu_ps(r + i), xr), dg = _mm_sub_ps(_mm_loadu_ps(g + i), xg),
                         db = _mm_sub_ps(_mm_loadu_ps(b + i), xb);
            const __m128 v = _mm_add_ps(_mm_add_ps(_mm_mul_ps(dr, dr), _mm_mul_ps(dg, dg)), _mm_mul_ps(db, db));
            _mm_storeu_ps(d + i, v);
            least = _mm_min_ps(least, v);
        }
        auto across = [](__m128 v) {
            v = _mm_min_ps(v, _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1)));
            return _mm_min_ps(v, _mm_shuffle_ps(v, v, _MM_SHUFFLE(1, 0, 3, 2)));
        };
        least = across(least);
        for (size_t i = 0;; i += 4)
            if (const int hit = _mm_movemask_ps(_mm_cmpeq_ps(_mm_loadu_ps(d + i), least))) {
                owner = i + size_t(__builtin_ctz(unsigned(hit)));
                break;
            }
        d[owner] = none;
        __m128 next = _mm_set1_ps(none);
        for (size_t i = 0; i < padded_; i += 4)
            next = _mm_min_ps(next, _mm_loadu_ps(d + i));
        const float best = _mm_cvtss_f32(least), other = _mm_cvtss_f32(across(next));
#else
        float best = none, other = none;
        for (size_t i = 0; i < n_; ++i) {
            const float dr = r[i] - x.r, dg = g[i] - x.g, db = b[i] - x.b;
            d[i] = dr * dr + dg * dg + db * db;
            if (d[i] < best) {
                other = best;
                best = d[i];
                owner = i;
            } else if (d[i] < other) {
                other = d[i];
            }
        }
#endif
        second = other < far ? int(other) : INT32_MAX;
        return int(best);
    }

private:
    // A padded entry sits at far in every channel: its distance, about 3e12, is above any real
    // one (below 2^18) and below none, which stands for no entry at all.
    static constexpr float far = 1e6f, none = 1e30f;
    size_t n_, padded_;
    std::vector<float> rows_;
};

class NearestTable;

// The same search for colours one at a time; threads may share it. lookups is about how many
// colours it will be asked for, which decides whether a table is worth setting up.
class NearestEntry {
public:
    NearestEntry(const std::vector<Rgb>& palette, size_t lookups);
    ~NearestEntry();
    NearestEntry(const NearestEntry&) = delete;
    NearestEntry& operator=(const NearestEntry&) = delete;
    // rgb points at R, G, B.
    uint8_t operator()(const uint8_t* rgb) const;

private:
    std::unique_ptr<NearestTable> table_;
};

// Writes px.count() indices into out, one a pixel in row order; palette has 1 to 256 entries.
void remap(const Pixels& px, const std::vector<Rgb>& palette, uint8_t* out);

}  // namespace pcx
