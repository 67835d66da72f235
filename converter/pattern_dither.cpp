// SPDX-License-Identifier: GPL-3.0-or-later
#include "pattern_dither.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace pcx {

namespace {

// The factors on the error so far, in 64ths, of the lists whose entries a plan is made of; 0 is
// the nearest entry alone.
constexpr int factors[] = {0, 4, 16, 32, 64};
constexpr size_t factorCount = std::size(factors);

// A plan's cost weighs what a flat area of its colour shows blurred and what its mix's error and
// a little of its spread show, as if its neighbours' patterns were unrelated (white noise blurred
// by a Gaussian of sigma 1 px keeps 1 / (4 pi) of its power). Measured on photos to palettes of
// 32 and 256 entries, half each.
constexpr double flatWeight = 0.5;
constexpr double spreadWeight = 0.08;
// Moves of one threshold from one entry to another, each the best there is, until none helps.
constexpr int climbMax = 64;

int lightness(Rgb c) { return 299 * c.r + 587 * c.g + 114 * c.b; }

// What of a flat area's error shows once the picture is seen a little blurred (a Gaussian of
// sigma 1 px, cut at 4 px): the plan laid over Bayer's tile, repeated, and blurred. Errors e_t at
// thresholds t leave the sum over s, t of e_s.e_t m(s, t) per pixel, m the blur's autocorrelation
// at the offset of their places, over 64. A plan holds each entry over a run of thresholds, so
// sums of m over rectangles are kept: upTo[i][j] sums m(s, t) for s < i, t < j.
struct TileBlur {
    std::array<std::array<double, 65>, 65> upTo{};

    TileBlur()
    {
        double g[9], sum = 0;
        for (int k = -4; k <= 4; ++k)
            sum += g[k + 4] = std::exp(-0.5 * k * k);
        double wrapped[8] = {};
        for (int a = -4; a <= 4; ++a)
            for (int b = -4; b <= 4; ++b)
                wrapped[(a - b + 16) % 8] += g[a + 4] * g[b + 4] / (sum * sum);
        int x[64], y[64];
        for (uint32_t py = 0; py < 8; ++py)
            for (uint32_t px = 0; px < 8; ++px) {
                x[thresholdAt(px, py)] = int(px);
                y[thresholdAt(px, py)] = int(py);
            }
        for (int s = 0; s < 64; ++s)
            for (int t = 0; t < 64; ++t) {
                const double m = wrapped[(x[s] - x[t] + 8) % 8] * wrapped[(y[s] - y[t] + 8) % 8] / 64;
                upTo[s + 1][t + 1] = m + upTo[s][t + 1] + upTo[s + 1][t] - upTo[s][t];
            }
    }
    double area(int s0, int s1, int t0, int t1) const { return upTo[s1][t1] - upTo[s0][t1] - upTo[s1][t0] + upTo[s0][t0]; }
};

const TileBlur& tileBlur()
{
    static const TileBlur b;
    return b;
}

// A colour's candidate entries in the order plans lay them, and what a plan of them costs.
class Candidates {
public:
    Candidates(const EntrySearch& s, const int src[3], const std::vector<uint8_t>& entries)
        : entry(entries), n_(int(entries.size())), err_(entries.size()), dot_(entries.size() * entries.size())
    {
        for (int a = 0; a < n_; ++a) {
            const Rgb p = s.colours[entry[a]];
            err_[a] = {double(p.r - src[0]), double(p.g - src[1]), double(p.b - src[2])};
        }
        for (int a = 0; a < n_; ++a)
            for (int c = 0; c <= a; ++c)
                dot_[a * n_ + c] = dot_[c * n_ + a] =
                    err_[a][0] * err_[c][0] + err_[a][1] * err_[c][1] + err_[a][2] * err_[c][2];
    }

    // The cost of a plan that holds count[a] thresholds of each.
    double cost(const int* count) const
    {
        const TileBlur& b = tileBlur();
        int run[256], from[257];
        int k = 0;
        from[0] = 0;
        for (int a = 0; a < n_; ++a)
            if (count[a]) {
                run[k] = a;
                from[k + 1] = from[k] + count[a];
                ++k;
            }
        double flat = 0, sum[3] = {0, 0, 0}, squares = 0;
        for (int i = 0; i < k; ++i) {
            const int a = run[i];
            const double* dots = &dot_[size_t(a) * n_];
            flat += dots[a] * b.area(from[i], from[i + 1], from[i], from[i + 1]);
            for (int j = 0; j < i; ++j)
                flat += 2 * dots[run[j]] * b.area(from[i], from[i + 1], from[j], from[j + 1]);
            for (int c = 0; c < 3; ++c)
                sum[c] += count[a] * err_[a][c];
            squares += count[a] * dots[a];
        }
        const double off = (sum[0] * sum[0] + sum[1] * sum[1] + sum[2] * sum[2]) / (64 * 64);
        return flatWeight * flat + (1 - flatWeight) * (off + spreadWeight * (squares / 64 - off));
    }

    const std::vector<uint8_t> entry;

private:
    const int n_;
    std::vector<std::array<double, 3>> err_;
    std::vector<double> dot_;
};

// Knoll's list for src: 64 picks, each the nearest entry to src plus the error so far times
// factor / 64.
template <class Pick>
void knollList(const EntrySearch& s, const int src[3], int factor, Pick&& pick)
{
    int error[3] = {0, 0, 0};
    for (int k = 0; k < 64; ++k) {
        uint8_t goal[3];
        for (int j = 0; j < 3; ++j)
            goal[j] = uint8_t(std::clamp(src[j] + ((error[j] * factor + 32) >> 6), 0, 255));
        const uint8_t e = s.nearest(goal);
        if (factor == 0) {
            for (k = 0; k < 64; ++k)
                pick(e);
            return;
        }
        pick(e);
        const Rgb p = s.colours[e];
        error[0] += src[0] - p.r;
        error[1] += src[1] - p.g;
        error[2] += src[2] - p.b;
    }
}

}  // namespace

void PatternPlans::make(const EntrySearch& s, const uint8_t* rgb, Plan& out)
{
    const int src[3] = {rgb[0], rgb[1], rgb[2]};
    std::vector<std::array<uint8_t, factorCount>> countOf(s.colours.size());
    for (size_t f = 0; f < factorCount; ++f)
        knollList(s, src, factors[f], [&](uint8_t e) { ++countOf[e][f]; });
    std::vector<uint8_t> entries;
    for (size_t e = 0; e < countOf.size(); ++e)
        if (std::any_of(countOf[e].begin(), countOf[e].end(), [](uint8_t c) { return c; }))
            entries.push_back(uint8_t(e));
    std::stable_sort(entries.begin(), entries.end(),
                     [&](uint8_t a, uint8_t b) { return lightness(s.colours[a]) < lightness(s.colours[b]); });
    const Candidates cand(s, src, entries);
    const int n = int(entries.size());
    // The best of the lists, then the best of the moves from it.
    int count[256], best[256];
    double bestCost = INFINITY;
    for (size_t f = 0; f < factorCount; ++f) {
        for (int a = 0; a < n; ++a)
            count[a] = countOf[entries[a]][f];
        if (const double cost = cand.cost(count); cost < bestCost) {
            bestCost = cost;
            std::copy(count, count + n, best);
        }
    }
    for (int round = 0; round < climbMax; ++round) {
        double roundCost = bestCost;
        int from = -1, to = -1;
        for (int a = 0; a < n; ++a) {
            if (!best[a])
                continue;
            --best[a];
            for (int b = 0; b < n; ++b) {
                if (b == a)
                    continue;
                ++best[b];
                if (const double cost = cand.cost(best); cost < roundCost) {
                    roundCost = cost;
                    from = a;
                    to = b;
                }
                --best[b];
            }
            ++best[a];
        }
        if (from < 0)
            break;
        --best[from];
        ++best[to];
        bestCost = roundCost;
    }
    int k = 0;
    for (int a = 0; a < n; ++a)
        for (int c = 0; c < best[a]; ++c)
            out.entry[k++] = entries[a];
    // A later threshold by one moves the mix by a 64th of its lightest entry less its darkest.
    const Rgb dark = s.colours[out.entry[0]], light = s.colours[out.entry[63]];
    const int axis[3] = {light.r - dark.r, light.g - dark.g, light.b - dark.b};
    const int length2 = axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2];
    for (int j = 0; j < 3; ++j)
        out.gain[j] = length2 ? int(std::lround(64.0 * 256 * axis[j] / length2)) : 0;
    for (k = 0; k < 64; ++k)
        out.entry[k] = s.index[out.entry[k]];
}

PatternPlans::PatternPlans(const Pixels& px, const EntrySearch& s) : planOf_(size_t(1) << 18, 0)
{
    // The cells the pixels fall in, each band's marked apart; some are left undithered, and
    // finding out which costs more than a few plans too many.
    const unsigned bands = bandCount(px.count());
    std::vector<std::vector<uint64_t>> used(bands, std::vector<uint64_t>(planOf_.size() / 64));
    forEachBand(bands, px.height, [&](unsigned band, uint32_t y0, uint32_t y1) {
        uint64_t* u = used[band].data();
        const uint8_t* c = px.row(y0);
        for (size_t i = size_t(y1 - y0) * px.width; i--; c += 4) {
            const size_t cell = cellOf(c);
            u[cell / 64] |= uint64_t(1) << cell % 64;
        }
    });
    std::vector<uint32_t> cells;
    for (size_t w = 0; w < used[0].size(); ++w) {
        uint64_t bits = 0;
        for (const auto& u : used)
            bits |= u[w];
        for (; bits; bits &= bits - 1) {
            const size_t cell = w * 64 + size_t(__builtin_ctzll(bits));
            planOf_[cell] = uint32_t(cells.size());
            cells.push_back(uint32_t(cell));
        }
    }
    plans_.resize(cells.size());
    // Dealt out in turn: plans of dark or grey cells cost less than others.
    forEachBand(bands, bands, [&](unsigned band, uint32_t, uint32_t) {
        for (size_t k = band; k < cells.size(); k += bands) {
            const uint8_t point[3] = {uint8_t(pointOf(cells[k] >> 12)), uint8_t(pointOf(cells[k] >> 6 & 63)),
                                      uint8_t(pointOf(cells[k] & 63))};
            make(s, point, plans_[k]);
        }
    });
}

}  // namespace pcx
