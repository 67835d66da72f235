// SPDX-License-Identifier: GPL-3.0-or-later
#include "layout_choice.h"

#include "bands.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <numeric>
#include <unordered_map>

namespace pcx {

namespace {

// order[newIndex] = oldIndex.
using Order = std::vector<size_t>;

IndexMap mapFor(const Order& order)
{
    IndexMap m{};
    std::iota(m.begin(), m.end(), uint8_t(0));
    for (size_t i = 0; i < order.size(); ++i)
        m[order[i]] = uint8_t(i);
    return m;
}

void renumber(Image& img, const Order& order)
{
    const IndexMap map = mapFor(order);
    std::vector<Rgb> pal(order.size());
    for (size_t i = 0; i < order.size(); ++i)
        pal[i] = img.palette[order[i]];
    for (auto& p : img.pixels)
        p = map[p];
    img.palette = std::move(pal);
}

// Largest key first; equal keys keep their order.
Order orderByKeys(const std::array<uint64_t, 256>& keys, size_t n)
{
    Order order(n);
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return keys[a] > keys[b]; });
    return order;
}

Order firstUseOrder(const Image& img)
{
    std::array<uint64_t, 256> firstSeen{};
    size_t seen = 0;
    for (size_t i = 0; i < img.pixels.size() && seen < img.palette.size(); ++i)
        if (!firstSeen[img.pixels[i]]) {
            firstSeen[img.pixels[i]] = img.pixels.size() - i;
            ++seen;
        }
    return orderByKeys(firstSeen, img.palette.size());
}

// Most frequent colour first: in bit planes, long runs of zero bits.
Order frequencyOrder(const Image& img)
{
    std::array<uint64_t, 256> counts{};
    for (uint8_t p : img.pixels)
        ++counts[p];
    return orderByKeys(counts, img.palette.size());
}

// The runs of each index as the 8-bit layout codes them (at most 63 to a pair), counted on all
// cores: the coded size for any numbering follows from them without another pass.
struct ByteRuns {
    uint64_t bytes = 0;                // of the pixel data, each lone byte counted once
    std::array<uint64_t, 256> lone{};  // runs that end with a lone byte: two bytes at index 192 and up
    std::array<uint64_t, 256> runs{};
};

ByteRuns byteRuns(const Image& img)
{
    const size_t w = img.width;
    auto count = [&](ByteRuns& r, uint32_t y0, uint32_t y1) {
        for (size_t y = y0; y < y1; ++y) {
            const uint8_t* row = img.pixels.data() + y * w;
            for (size_t i = 0; i < w;) {
                size_t run = 1;
                while (i + run < w && row[i + run] == row[i])
                    ++run;
                r.bytes += 2 * (run / 63) + (run % 63 > 1 ? 2 : run % 63);
                r.lone[row[i]] += run % 63 == 1;
                r.runs[row[i]] += 1;
                i += run;
            }
        }
    };
    auto add = [](ByteRuns& a, const ByteRuns& b) {
        a.bytes += b.bytes;
        for (size_t c = 0; c < 256; ++c) {
            a.lone[c] += b.lone[c];
            a.runs[c] += b.runs[c];
        }
    };
    return sumOverBands<ByteRuns>(bandCount(img.pixels.size()), img.height, count, add);
}

uint64_t byteLayoutSize(const ByteRuns& r, const IndexMap& map)
{
    uint64_t size = 128 + r.bytes + 769;
    for (size_t c = 0; c < 256; ++c)
        size += map[c] >= 192 ? r.lone[c] : 0;
    return size;
}

// Colours that most often stand alone first; ties (colours never alone) by how many runs they
// start. Of all orders, this one gives the 8-bit layout its smallest size.
Order loneByteOrder(const ByteRuns& r, size_t n)
{
    std::array<uint64_t, 256> key{};
    for (size_t i = 0; i < 256; ++i)
        key[i] = r.lone[i] * (uint64_t(1) << 32) + r.runs[i];
    return orderByKeys(key, n);
}

// ---- Orders for bit planes ----

// A planar numbering of up to 16 colours: code[i] is the index colour i is written as.
using Codes = std::array<uint8_t, 16>;
// The colours whose bit is set in one plane, bit i for colour i; and those of four planes.
using PlaneMask = uint16_t;
using Planes = std::array<PlaneMask, 4>;

struct Numbering {
    Codes codes{};
    Planes planes{};
};

Numbering numberingFor(const Order& order)
{
    Numbering n;
    for (size_t i = 0; i < order.size(); ++i) {
        n.codes[order[i]] = uint8_t(i);
        for (unsigned p = 0; p < 4; ++p)
            n.planes[p] |= PlaneMask((i >> p & 1u) << order[i]);
    }
    return n;
}

Order orderFor(const Codes& codes, size_t n)
{
    Order order(n);
    for (size_t i = 0; i < n; ++i)
        order[codes[i]] = i;
    return order;
}

// Each plane's size depends only on which colours set its bit, and a numbering's size is the
// sum over its planes: so each such set is counted once, eight at a call of the counter, however
// many numberings share it.
class PlaneCosts {
public:
    // The sizes of the first n (up to eight) planes, the bit of index i in plane p being bit p of bits[i].
    using Counter = std::function<std::array<uint64_t, 8>(const IndexMap&, unsigned)>;
    PlaneCosts(Counter counter, unsigned planes) : counter_(std::move(counter)), planes_(planes) {}

    // Counts every plane of these numberings not counted yet.
    void count(const std::vector<Numbering>& numberings)
    {
        std::vector<PlaneMask> todo;
        for (const Numbering& n : numberings)
            for (unsigned p = 0; p < planes_; ++p)
                if (!costs_.count(n.planes[p]))
                    todo.push_back(n.planes[p]);
        std::sort(todo.begin(), todo.end());
        todo.erase(std::unique(todo.begin(), todo.end()), todo.end());
        for (size_t k = 0; k < todo.size(); k += 8) {
            IndexMap bits{};
            const size_t batch = std::min<size_t>(8, todo.size() - k);
            for (size_t j = 0; j < batch; ++j)
                for (size_t i = 0; i < 16; ++i)
                    bits[i] |= uint8_t((todo[k + j] >> i & 1u) << j);
            const auto sizes = counter_(bits, unsigned(batch));
            for (size_t j = 0; j < batch; ++j)
                costs_[todo[k + j]] = sizes[j];
        }
    }

    // The planes' size of a numbering whose planes are counted.
    uint64_t size(const Numbering& n) const
    {
        uint64_t s = 0;
        for (unsigned p = 0; p < planes_; ++p)
            s += costs_.at(n.planes[p]);
        return s;
    }

private:
    Counter counter_;
    unsigned planes_;
    std::unordered_map<PlaneMask, uint64_t> costs_;
};

// Every plane counted exactly, over the whole picture.
PlaneCosts exactCosts(const Image& img, unsigned planes)
{
    return PlaneCosts([&img](const IndexMap& bits, unsigned n) { return planeSizes(img, bits, n); }, planes);
}

// How a plane's size grows with the colours its bit splits, for searching many numberings: each
// group of eight pixels (a plane's byte) whose colours, or those of the group before it in the
// line, have the bit set for some and not for others, starts a new run in that plane; a group
// equal to the one before it continues its run whatever the numbering. Counted over every
// rowStep-th line, as sets of colours with how often each splits.
class SplitCounts {
public:
    SplitCounts(const Image& img, uint32_t rowStep) : colours_(unsigned(std::min<size_t>(img.palette.size(), 16)))
    {
        const size_t bpl = (size_t(img.width) + 7) / 8, all = (size_t(1) << colours_) - 1;
        // The colours of every group found, with those of the group before it.
        std::vector<uint16_t> sets;
        for (uint32_t y = 0; y < img.height; y += rowStep) {
            uint64_t before = ~uint64_t(0);
            uint32_t beforeSet = 0;
            for (size_t j = 0; j < bpl; ++j) {
                uint8_t px[8];
                planeBytePixels(img, y, j, px);
                uint64_t group = 0;
                uint32_t set = 0;
                for (uint8_t i : px) {
                    group = group << 8 | i;
                    set |= 1u << (i & 15);
                }
                if (group != before)
                    sets.push_back(uint16_t((set | beforeSet) & all));
                before = group;
                beforeSet = set;
            }
        }
        found_ = uint32_t(sets.size());
        // Counts that fit in 16 bits take half the memory and are summed twice as many at a time.
        if (found_ <= UINT16_MAX)
            count(within16_, sets);
        else
            count(within32_, sets);
    }

    // A set splits unless all its colours are in the plane's mask or all out of it.
    uint64_t size(PlaneMask in) const
    {
        const size_t all = (size_t(1) << colours_) - 1;
        return found_ - within(in & all) - within(~size_t(in) & all);
    }

private:
    // within[m]: how often a set of colours all in m is found; first how often m itself is.
    template <class Count>
    void count(std::vector<Count>& within, const std::vector<uint16_t>& sets)
    {
        within.assign(size_t(1) << colours_, 0);
        for (const uint16_t m : sets)
            ++within[m];
        // Summed over the subsets, one colour at a time; the first three together, within each
        // eight masks, so that the rest run over long stretches.
        Count* w = within.data();
        const size_t size = within.size();
        size_t bit = 1;
        if (size >= 8) {
            for (size_t m = 0; m < size; m += 8) {
                Count* v = w + m;
                v[1] += v[0], v[3] += v[2], v[5] += v[4], v[7] += v[6];
                v[2] += v[0], v[3] += v[1], v[6] += v[4], v[7] += v[5];
                v[4] += v[0], v[5] += v[1], v[6] += v[2], v[7] += v[3];
            }
            bit = 8;
        }
        for (; bit < size; bit <<= 1)
            for (size_t m = 0; m < size; m += 2 * bit)
                addStretch(w + m + bit, w + m, bit);
    }

    // Two stretches that never overlap, so that the compiler adds them several at a time.
    template <class Count>
    static void addStretch(Count* __restrict to, const Count* __restrict from, size_t n)
    {
        for (size_t k = 0; k < n; ++k)
            to[k] += from[k];
    }

    uint32_t within(size_t m) const { return within16_.empty() ? within32_[m] : within16_[m]; }

    unsigned colours_;
    uint32_t found_ = 0;
    std::vector<uint16_t> within16_;
    std::vector<uint32_t> within32_;
};

// The planes' size of numberings as SplitCounts sees it; nothing to count first.
class ModelledCosts {
public:
    explicit ModelledCosts(const SplitCounts& splits) : splits_(splits) {}
    void count(const std::vector<Numbering>&) {}
    uint64_t size(const Numbering& n) const
    {
        uint64_t s = 0;
        for (const PlaneMask m : n.planes)
            s += splits_.size(m);
        return s;
    }

private:
    const SplitCounts& splits_;
};

// Two planes hold at most four colours: every numbering is tried, so no order does better.
// Returns it with its planes' size.
std::pair<Numbering, uint64_t> bestOfAllNumberings(const Image& img)
{
    Order order(img.palette.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::vector<Numbering> all;
    do
        all.push_back(numberingFor(order));
    while (std::next_permutation(order.begin(), order.end()));
    PlaneCosts costs = exactCosts(img, 2);
    costs.count(all);
    const Numbering best = *std::min_element(all.begin(), all.end(), [&](const Numbering& a, const Numbering& b) {
        return costs.size(a) < costs.size(b);
    });
    return {best, costs.size(best)};
}

// Swaps the pair of colours whose swap shrinks the planes most, if one does; with onePlane, only
// pairs whose codes differ in one bit, each of which changes one plane.
template <class Costs>
bool bestSwap(Costs& costs, Numbering& best, size_t n, bool onePlane)
{
    std::vector<Numbering> swaps;
    for (size_t a = 0; a < n; ++a)
        for (size_t b = a + 1; b < n; ++b) {
            const unsigned differ = best.codes[a] ^ best.codes[b];
            if (onePlane && std::popcount(differ) != 1)
                continue;
            Numbering s = best;
            std::swap(s.codes[a], s.codes[b]);
            for (unsigned p = 0; p < 4; ++p)
                if (differ >> p & 1u)
                    s.planes[p] ^= PlaneMask(1u << a | 1u << b);
            swaps.push_back(s);
        }
    costs.count(swaps);
    const Numbering* better = nullptr;
    uint64_t size = costs.size(best);
    for (const Numbering& s : swaps)
        if (costs.size(s) < size) {
            size = costs.size(s);
            better = &s;
        }
    if (better)
        best = *better;
    return better;
}

// Swaps pairs of colours as long as that shrinks the planes, mostly pairs that change one plane:
// after such a swap, only the swaps in that plane change size.
template <class Costs>
Numbering improvedBySwaps(Costs& costs, Numbering best, size_t n)
{
    costs.count({best});
    for (size_t round = 0; round < 2 * n; ++round) {
        while (bestSwap(costs, best, n, true)) {
        }
        if (!bestSwap(costs, best, n, false))
            break;
    }
    return best;
}

// Numberings for four planes: first use, frequency, and what swaps find from the better of them
// as SplitCounts sees it (on a large picture from every k-th line, which ranks numberings as the
// whole picture does). The three are then counted exactly; returns the smallest with its size.
std::pair<Numbering, uint64_t> bestFourPlaneNumbering(const Image& img)
{
    const size_t n = img.palette.size();
    const Numbering first = numberingFor(firstUseOrder(img)), frequent = numberingFor(frequencyOrder(img));
    const SplitCounts splits(img, uint32_t(std::max<size_t>(1, img.pixels.size() >> 16)));
    ModelledCosts modelled(splits);
    const Numbering found = improvedBySwaps(modelled, modelled.size(frequent) < modelled.size(first) ? frequent : first, n);
    PlaneCosts exact = exactCosts(img, 4);
    exact.count({first, frequent, found});
    Numbering best = first;
    for (const Numbering& c : {frequent, found})
        if (exact.size(c) < exact.size(best))
            best = c;
    return {best, exact.size(best)};
}

}  // namespace

void orderByFirstUse(Image& img) { renumber(img, firstUseOrder(img)); }

Choice chooseSmallest(Image&& indexed, bool rle)
{
    // The pixels' own order first, so that nothing below depends on the palette's.
    if (!candidateLayouts(indexed).empty())
        orderByFirstUse(indexed);
    const size_t n = indexed.palette.size();
    Choice best;
    Order chosen;
    auto consider = [&](Layout layout, uint64_t size, Order order) {
        if (best.size == 0 || size < best.size) {
            best.layout = layout;
            best.size = size;
            chosen = std::move(order);
        }
    };
    for (Layout l : candidateLayouts(indexed)) {
        // Four colours or fewer leave the two planes above all zeros: four planes are larger.
        if (!canEncode(indexed, l) || (l == Layout::Planes4 && n <= 4))
            continue;
        if (!rle) {
            // Every order codes to the same size.
            consider(l, encodedSize(indexed, l, rle), {});
        } else if (l == Layout::Byte) {
            const ByteRuns runs = byteRuns(indexed);
            Order order = loneByteOrder(runs, n);
            const uint64_t size = byteLayoutSize(runs, mapFor(order));
            consider(l, size, std::move(order));
        } else {
            const auto [numbering, size] = l == Layout::Planes2 ? bestOfAllNumberings(indexed) : bestFourPlaneNumbering(indexed);
            consider(l, 128 + size, orderFor(numbering.codes, n));
        }
    }
    if (best.size == 0)
        return Choice{};
    best.image = std::move(indexed);
    if (!chosen.empty())
        renumber(best.image, chosen);
    return best;
}

size_t usedEntries(const Image& indexed)
{
    std::array<bool, 256> used{};
    for (uint8_t p : indexed.pixels)
        used[p] = true;
    return size_t(std::count(used.begin(), used.end(), true));
}

Choice chooseKeepingIndices(Image&& indexed, bool rle)
{
    uint8_t largest = 0;
    for (uint8_t p : indexed.pixels)
        largest = std::max(largest, p);
    const std::vector<Rgb> palette = indexed.palette;
    Choice best;
    size_t carriedBest = 0;
    for (const auto& [layout, carried] : {std::pair{Layout::Planes2, size_t(4)}, std::pair{Layout::Planes4, size_t(16)},
                                          std::pair{Layout::Byte, size_t(256)}}) {
        // Four planes of four colours or fewer are always larger than two.
        if (largest >= carried || (layout == Layout::Planes4 && best.size))
            continue;
        indexed.palette.assign(palette.begin(), palette.begin() + long(std::min(carried, palette.size())));
        if (const uint64_t size = encodedSize(indexed, layout, rle); size && (best.size == 0 || size < best.size)) {
            best.layout = layout;
            best.size = size;
            carriedBest = carried;
        }
    }
    if (best.size == 0)
        return Choice{};
    indexed.palette.assign(palette.begin(), palette.begin() + long(std::min(carriedBest, palette.size())));
    best.image = std::move(indexed);
    return best;
}

}  // namespace pcx
