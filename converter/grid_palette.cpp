// SPDX-License-Identifier: GPL-3.0-or-later
#include "grid_palette.h"

#include "pixels.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <unordered_set>

namespace pcx {

Grid::Grid(int depth) : depth_(std::clamp(depth, 1, 8)), levels_(1 << depth_)
{
    for (int l = 0; l < levels_; ++l) {
        value_.push_back(uint8_t(std::lround(l * 255.0 / (levels_ - 1))));
        onGrid_[value_.back()] = true;
    }
}

int Grid::levelOf(double v) const
{
    const int guess = std::clamp(int(std::lround(v * (levels_ - 1) / 255.0)), 0, levels_ - 1);
    int best = guess;
    for (int l = std::max(guess - 1, 0); l <= std::min(guess + 1, levels_ - 1); ++l)
        if (std::abs(value_[size_t(l)] - v) < std::abs(value_[size_t(best)] - v))
            best = l;
    return best;
}

Rgb Grid::nearest(Rgb c) const
{
    return Rgb{value(levelOf(c.r)), value(levelOf(c.g)), value(levelOf(c.b))};
}

namespace {

uint32_t packed(Rgb c) { return uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | c.b; }

// The search's state: every colour's nearest entry and its distance, and the distance of the
// nearest other entry, which is what a colour falls back to when its own entry moves away.
class GridSearch {
public:
    GridSearch(const std::vector<Rgb>& colours, const std::vector<uint64_t>& counts, const std::vector<Rgb>& fixed,
               const std::vector<Rgb>& taken, const Grid& grid)
        : colours_(colours), counts_(counts), grid_(grid), fixed_(fixed.size()), entries_(fixed),
          owner_(colours.size(), 0), d1_(colours.size()), d2_(colours.size())
    {
        for (Rgb c : fixed)
            blocked_.insert(packed(c));
        for (Rgb c : taken)
            blocked_.insert(packed(c));
    }

    // Places the start's colours, rounded, each at the free grid point nearest it.
    void begin(const std::vector<Rgb>& start, size_t count)
    {
        entries_.resize(fixed_);
        used_.clear();
        for (size_t i = 0; i < start.size() && i < count; ++i)
            if (Rgb p; freePointNear(start[i].r, start[i].g, start[i].b, p))
                place(p);
    }

    // k-means with centres on the grid: each entry to the free grid point nearest the mean of
    // its colours, the most used first; an entry nobody takes goes to the colour served worst.
    // Stops once nothing moves; keeps the best palette seen.
    void kmeans(int rounds)
    {
        for (int round = 0; round < rounds; ++round) {
            assign();
            record();
            std::vector<std::array<double, 4>> sums(entries_.size());
            for (size_t c = 0; c < colours_.size(); ++c) {
                auto& s = sums[owner_[c]];
                const double n = double(counts_[c]);
                s[0] += colours_[c].r * n;
                s[1] += colours_[c].g * n;
                s[2] += colours_[c].b * n;
                s[3] += n;
            }
            std::vector<size_t> order(entries_.size() - fixed_);
            std::iota(order.begin(), order.end(), fixed_);
            std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return sums[a][3] > sums[b][3]; });
            const std::vector<Rgb> before = entries_;
            for (size_t k = fixed_; k < entries_.size(); ++k)
                used_.erase(packed(entries_[k]));
            std::vector<size_t> idle;
            for (size_t k : order) {
                const auto& s = sums[k];
                Rgb p = entries_[k];
                if (s[3] == 0 || !freePointNear(s[0] / s[3], s[1] / s[3], s[2] / s[3], p)) {
                    idle.push_back(k);
                    continue;
                }
                entries_[k] = p;
                used_.insert(packed(p));
            }
            reseed(idle);
            if (entries_ == before)
                break;
        }
        assign();
        record();
    }

    // Single steps to a neighbouring grid point wherever one lowers the error, each weighed
    // exactly against the state before it; moves far enough apart not to meet are made together,
    // and a round that went wrong for it falls back to its best move alone.
    bool steps()
    {
        bool movedAny = false;
        for (int round = 0; round < 64; ++round) {
            assign();
            const uint64_t before = error_;
            record();
            std::vector<double> reach(entries_.size(), 0);  // the farthest colour of each entry
            std::vector<std::vector<size_t>> members(entries_.size());
            for (size_t c = 0; c < colours_.size(); ++c) {
                members[owner_[c]].push_back(c);
                reach[owner_[c]] = std::max(reach[owner_[c]], double(d1_[c]));
            }
            nearLists();
            struct Move {
                int64_t gain;
                size_t entry;
                Rgb to;
            };
            std::vector<Move> moves;
            for (size_t k = fixed_; k < entries_.size(); ++k)
                if (Move m{0, k, {}}; bestStep(k, members, m.gain, m.to))
                    moves.push_back(m);
            if (moves.empty())
                break;
            std::stable_sort(moves.begin(), moves.end(), [](const Move& a, const Move& b) { return a.gain > b.gain; });
            const std::vector<Rgb> start = entries_;
            std::vector<bool> touched(entries_.size(), false);
            auto apply = [&](const Move& m) {
                used_.erase(packed(entries_[m.entry]));
                entries_[m.entry] = m.to;
                used_.insert(packed(m.to));
            };
            for (const Move& m : moves) {
                if (touched[m.entry] || used_.count(packed(m.to)))
                    continue;
                apply(m);
                // Entries whose colours this move could reach, or whose colours could reach it.
                const double r = std::sqrt(reach[m.entry]);
                for (size_t j = 0; j < entries_.size(); ++j) {
                    const double near = std::sqrt(double(std::min(distance2(start[j], start[m.entry]), distance2(start[j], m.to))));
                    if (near <= 2 * (r + std::sqrt(reach[j])) + 2 * stepSize())
                        touched[j] = true;
                }
            }
            assign();
            if (error_ >= before) {
                for (size_t k = fixed_; k < entries_.size(); ++k)
                    used_.erase(packed(entries_[k]));
                entries_ = start;
                for (size_t k = fixed_; k < entries_.size(); ++k)
                    used_.insert(packed(entries_[k]));
                apply(moves.front());
                assign();
            }
            movedAny = true;
        }
        record();
        return movedAny;
    }

    std::vector<Rgb> best() const { return std::vector<Rgb>(best_.begin() + long(fixed_), best_.end()); }
    uint64_t bestError() const { return bestError_; }

    // Back to the best palette seen.
    void restore()
    {
        entries_ = best_;
        used_.clear();
        for (size_t k = fixed_; k < entries_.size(); ++k)
            used_.insert(packed(entries_[k]));
        assign();
    }

    void replace(size_t k, Rgb p)
    {
        used_.erase(packed(entries_[k]));
        used_.insert(packed(entries_[k] = p));
    }

    // The swap of one entry for one of points that lowers the error most, exactly: a colour nearer
    // the point goes to it whichever entry leaves; any other goes, when its own entry leaves, to
    // the nearer of the point and its second entry. False when none lowers it.
    bool bestSwap(const std::vector<Rgb>& points, size_t& entry, Rgb& to)
    {
        assign();
        int64_t best = 0;
        std::vector<int64_t> leave(entries_.size());
        for (const Rgb q : points) {
            int64_t joined = 0;
            std::fill(leave.begin(), leave.end(), 0);
            for (size_t c = 0; c < colours_.size(); ++c) {
                const int d = distance2(colours_[c], q);
                if (d < d1_[c])
                    joined += int64_t(counts_[c]) * (d - d1_[c]);
                else
                    leave[owner_[c]] += int64_t(counts_[c]) * (std::min(d, d2_[c]) - d1_[c]);
            }
            for (size_t k = fixed_; k < entries_.size(); ++k)
                if (joined + leave[k] < best) {
                    best = joined + leave[k];
                    entry = k;
                    to = q;
                }
        }
        return best < 0;
    }

    // Free grid points where the colours served worst would gain: each one's nearest.
    std::vector<Rgb> wantedPoints(size_t count)
    {
        assign();
        std::vector<size_t> worst(colours_.size());
        std::iota(worst.begin(), worst.end(), size_t(0));
        const size_t looked = std::min(worst.size(), count);
        std::partial_sort(worst.begin(), worst.begin() + long(looked), worst.end(), [&](size_t a, size_t b) {
            const double ea = double(d1_[a]) * double(counts_[a]), eb = double(d1_[b]) * double(counts_[b]);
            return ea != eb ? ea > eb : a < b;
        });
        std::vector<Rgb> points;
        for (size_t i = 0; i < looked && d1_[worst[i]] > 0; ++i) {
            Rgb p;
            const Rgb c = colours_[worst[i]];
            if (freePointNear(c.r, c.g, c.b, p) && std::find(points.begin(), points.end(), p) == points.end())
                points.push_back(p);
        }
        return points;
    }

    // Swaps worth trying from the current palette, the likeliest first: the entries whose colours
    // lose least without them, each to one of the points wanted where the colours served worst
    // would gain most. An estimate: the swap is refined and weighed whole by the caller.
    std::vector<std::pair<size_t, Rgb>> swapCandidates(size_t removals, size_t additions)
    {
        const std::vector<Rgb> points = wantedPoints(8 * additions);
        std::vector<double> loss(entries_.size(), 0);
        for (size_t c = 0; c < colours_.size(); ++c)
            loss[owner_[c]] += d2_[c] == INT_MAX ? 1e30 : double(d2_[c] - d1_[c]) * double(counts_[c]);
        std::vector<size_t> cheap(entries_.size() - fixed_);
        std::iota(cheap.begin(), cheap.end(), fixed_);
        std::stable_sort(cheap.begin(), cheap.end(), [&](size_t a, size_t b) { return loss[a] < loss[b]; });
        cheap.resize(std::min(cheap.size(), removals));
        std::vector<double> gain(points.size(), 0);
        for (size_t c = 0; c < colours_.size(); ++c)
            for (size_t j = 0; j < points.size(); ++j)
                if (const int d = distance2(colours_[c], points[j]); d < d1_[c])
                    gain[j] += double(d1_[c] - d) * double(counts_[c]);
        std::vector<size_t> rich(points.size());
        std::iota(rich.begin(), rich.end(), size_t(0));
        std::stable_sort(rich.begin(), rich.end(), [&](size_t a, size_t b) { return gain[a] > gain[b]; });
        rich.resize(std::min(rich.size(), additions));
        struct Swap {
            double net;
            size_t entry;
            Rgb to;
        };
        std::vector<Swap> swaps;
        for (size_t k : cheap)
            for (size_t j : rich)
                swaps.push_back({gain[j] - loss[k], k, points[j]});
        std::stable_sort(swaps.begin(), swaps.end(), [](const Swap& a, const Swap& b) { return a.net > b.net; });
        std::vector<std::pair<size_t, Rgb>> out;
        for (const Swap& sw : swaps)
            out.push_back({sw.entry, sw.to});
        return out;
    }

    // k-means++ seeds drawn with a fixed generator from seed: the same colours give the same palette.
    std::vector<Rgb> spreadStart(size_t count, uint32_t seed) const
    {
        auto random = [&] {
            seed = seed * 1664525u + 1013904223u;
            return double(seed >> 8) / double(1u << 24);
        };
        std::vector<double> near(colours_.size(), 1e18);
        std::vector<Rgb> start;
        for (size_t k = 0; k < fixed_; ++k)
            for (size_t c = 0; c < colours_.size(); ++c)
                near[c] = std::min(near[c], double(distance2(colours_[c], entries_[k])) * double(counts_[c]));
        while (start.size() < count) {
            double total = 0;
            if (!start.empty())
                for (size_t c = 0; c < colours_.size(); ++c)
                    near[c] = std::min(near[c], double(distance2(colours_[c], start.back())) * double(counts_[c]));
            for (size_t c = 0; c < colours_.size(); ++c)
                total += std::min(near[c], 1e17);
            if (total <= 0)
                break;
            double pick = random() * total;
            size_t c = 0;
            while (c + 1 < colours_.size() && pick >= std::min(near[c], 1e17))
                pick -= std::min(near[c++], 1e17);
            start.push_back(colours_[c]);
        }
        return start;
    }

private:
    double stepSize() const { return 255.0 / (grid_.levels() - 1); }

    bool blocked(Rgb p) const { return blocked_.count(packed(p)) || used_.count(packed(p)); }

    void place(Rgb p)
    {
        entries_.push_back(p);
        used_.insert(packed(p));
    }

    // The free grid point nearest (r, g, b): the shells of levels around its nearest level,
    // one shell past the first that holds a free point (a corner of one can be farther off than
    // a face of the next).
    bool freePointNear(double r, double g, double b, Rgb& out) const
    {
        const int lr = grid_.levelOf(r), lg = grid_.levelOf(g), lb = grid_.levelOf(b);
        double best = 1e18;
        int foundAt = -1;
        for (int shell = 0; shell < grid_.levels() && (foundAt < 0 || shell <= foundAt + 1); ++shell) {
            for (int i = lr - shell; i <= lr + shell; ++i)
                for (int j = lg - shell; j <= lg + shell; ++j)
                    for (int k = lb - shell; k <= lb + shell; ++k) {
                        if (std::max({std::abs(i - lr), std::abs(j - lg), std::abs(k - lb)}) != shell)
                            continue;
                        if (i < 0 || j < 0 || k < 0 || i >= grid_.levels() || j >= grid_.levels() || k >= grid_.levels())
                            continue;
                        const Rgb p{grid_.value(i), grid_.value(j), grid_.value(k)};
                        const double d = (p.r - r) * (p.r - r) + (p.g - g) * (p.g - g) + (p.b - b) * (p.b - b);
                        if (d < best && !blocked(p)) {
                            best = d;
                            out = p;
                            if (foundAt < 0)
                                foundAt = shell;
                        }
                    }
        }
        return foundAt >= 0;
    }

    // Entries nobody takes go to the grid points nearest the colours served worst.
    void reseed(const std::vector<size_t>& idle)
    {
        if (idle.empty())
            return;
        std::vector<size_t> worst(colours_.size());
        std::iota(worst.begin(), worst.end(), size_t(0));
        std::stable_sort(worst.begin(), worst.end(), [&](size_t a, size_t b) {
            return double(d1_[a]) * double(counts_[a]) > double(d1_[b]) * double(counts_[b]);
        });
        size_t next = 0;
        std::vector<size_t> dead;
        for (size_t k : idle) {
            Rgb p = entries_[k];
            while (next < worst.size() && d1_[worst[next]] > 0) {
                const Rgb c = colours_[worst[next++]];
                if (freePointNear(c.r, c.g, c.b, p))
                    break;
            }
            // Past every colour: the free point nearest where it was (there is one, as it had one).
            if (blocked(p) && !freePointNear(p.r, p.g, p.b, p))
                dead.push_back(k);
            else
                used_.insert(packed(entries_[k] = p));
        }
        std::sort(dead.rbegin(), dead.rend());
        for (size_t k : dead)
            entries_.erase(entries_.begin() + long(k));
    }

    // For each entry, the colours of other entries that a step of it could take: a colour moves to
    // a point a step (at most the diagonal of a grid cell) from the entry only if the entry is
    // within that diagonal of the colour's own distance.
    void nearLists()
    {
        const double diagonal = (stepSize() + 1) * std::sqrt(3.0);  // steps differ by one in rounding
        near_.assign(entries_.size(), {});
        for (size_t c = 0; c < colours_.size(); ++c) {
            const double r = std::sqrt(double(d1_[c])) + diagonal;
            const double within = r * r;
            for (size_t k = fixed_; k < entries_.size(); ++k)
                if (k != owner_[c] && double(distance2(colours_[c], entries_[k])) < within)
                    near_[k].push_back(uint32_t(c));
        }
    }

    // The best single step of entry k and what it gains; false when none gains.
    bool bestStep(size_t k, const std::vector<std::vector<size_t>>& members, int64_t& gain, Rgb& to) const
    {
        const Rgb p = entries_[k];
        const int lp[3] = {grid_.levelOf(p.r), grid_.levelOf(p.g), grid_.levelOf(p.b)};
        gain = 0;
        for (int dr = -1; dr <= 1; ++dr)
            for (int dg = -1; dg <= 1; ++dg)
                for (int db = -1; db <= 1; ++db) {
                    const int l[3] = {lp[0] + dr, lp[1] + dg, lp[2] + db};
                    if ((!dr && !dg && !db) || std::min({l[0], l[1], l[2]}) < 0 ||
                        std::max({l[0], l[1], l[2]}) >= grid_.levels())
                        continue;
                    const Rgb q{grid_.value(l[0]), grid_.value(l[1]), grid_.value(l[2])};
                    if (blocked(q))
                        continue;
                    int64_t delta = 0;
                    for (size_t c : members[k])
                        delta += int64_t(counts_[c]) * (std::min(distance2(colours_[c], q), d2_[c]) - d1_[c]);
                    for (uint32_t c : near_[k])
                        if (const int d = distance2(colours_[c], q); d < d1_[c])
                            delta += int64_t(counts_[c]) * (d - d1_[c]);
                    if (-delta > gain) {
                        gain = -delta;
                        to = q;
                    }
                }
        return gain > 0;
    }

    // Every colour's nearest entry (the lowest index on a tie), its distance and the next one's;
    // error_ their total.
    // The entries are walked out from the colour's red, in the order of their red, and the walk
    // stops on each side once the red alone is farther off than the second nearest so far.
    void assign()
    {
        error_ = 0;
        std::vector<uint32_t> byRed(entries_.size());
        std::iota(byRed.begin(), byRed.end(), 0u);
        std::stable_sort(byRed.begin(), byRed.end(), [&](uint32_t a, uint32_t b) { return entries_[a].r < entries_[b].r; });
        for (size_t c = 0; c < colours_.size(); ++c) {
            const Rgb colour = colours_[c];
            int best = INT_MAX, second = INT_MAX;
            size_t owner = 0;
            const size_t at = size_t(std::partition_point(byRed.begin(), byRed.end(), [&](uint32_t k) {
                                         return entries_[k].r < colour.r;
                                     }) - byRed.begin());
            size_t up = at, down = at;
            for (;;) {
                const int du = up < byRed.size() ? entries_[byRed[up]].r - colour.r : INT_MAX;
                const int dd = down > 0 ? colour.r - entries_[byRed[down - 1]].r : INT_MAX;
                const int dr = std::min(du, dd);
                if (dr == INT_MAX || (second != INT_MAX && dr * dr > second))
                    break;
                const size_t k = du <= dd ? byRed[up++] : byRed[--down];
                const int d = distance2(colour, entries_[k]);
                if (d < best || (d == best && k < owner)) {
                    second = best;
                    best = d;
                    owner = k;
                } else if (d < second) {
                    second = d;
                }
            }
            owner_[c] = owner;
            d1_[c] = best;
            d2_[c] = second;
            error_ += uint64_t(best) * counts_[c];
        }
    }

    void record()
    {
        if (error_ < bestError_) {
            bestError_ = error_;
            best_ = entries_;
        }
    }

    const std::vector<Rgb>& colours_;
    const std::vector<uint64_t>& counts_;
    const Grid& grid_;
    const size_t fixed_;
    std::vector<Rgb> entries_, best_;
    std::unordered_set<uint32_t> blocked_, used_;
    std::vector<size_t> owner_;
    std::vector<std::vector<uint32_t>> near_;
    std::vector<int> d1_, d2_;
    uint64_t error_ = 0, bestError_ = UINT64_MAX;
};

}  // namespace

std::string hexColour(Rgb c)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02x%02x%02x", c.r, c.g, c.b);
    return text;
}

std::string offGridEntry(const std::vector<Rgb>& entries, const Grid& grid)
{
    for (size_t i = 0; i < entries.size(); ++i)
        if (!grid.holds(entries[i]))
            return "entry " + std::to_string(i) + ", " + hexColour(entries[i]) + ", is not on the " + std::to_string(grid.depth()) +
                   "-bit grid (the nearest colour on it is " + hexColour(grid.nearest(entries[i])) + ")";
    return {};
}

std::vector<Rgb> chooseOnGrid(const std::vector<Rgb>& colours, const std::vector<uint64_t>& counts,
                              const std::vector<Rgb>& fixed, const std::vector<Rgb>& taken,
                              const std::vector<Rgb>& start, size_t count, const Grid& grid)
{
    if (colours.empty() || count == 0)
        return {};
    GridSearch search(colours, counts, fixed, taken, grid);
    // Ends on steps, so that no single step of an entry lowers the error of the palette kept.
    auto refine = [&] {
        search.kmeans(30);
        for (int round = 0; round < 3 && search.steps(); ++round)
            search.kmeans(8);
        search.steps();
    };
    search.begin(start, count);
    refine();
    // A few entries are worth more starts: spread out ones, each searched the same way.
    if (count <= 32) {
        for (uint32_t seed = 1; seed <= 8; ++seed) {
            search.begin(search.spreadStart(std::min(count, colours.size()), seed), count);
            refine();
        }
        // Out of the optimum every start may end in, which steps cannot leave: an entry moved far
        // off to where colours are served worst. First the swap that lowers the error most, while
        // one does; then the likeliest swaps, each kept only if the palette refined after it
        // ends lower.
        for (int round = 0; round < 30; ++round) {
            search.restore();
            size_t k = 0;
            Rgb p{};
            if (!search.bestSwap(search.wantedPoints(48), k, p))
                break;
            search.replace(k, p);
            search.kmeans(4);
            search.steps();
        }
        for (int round = 0; round < 20; ++round) {
            search.restore();
            const uint64_t before = search.bestError();
            bool lower = false;
            for (const auto& [k, p] : search.swapCandidates(3, 3)) {
                search.restore();
                search.replace(k, p);
                search.kmeans(4);
                search.steps();
                if ((lower = search.bestError() < before))
                    break;
            }
            if (!lower)
                break;
        }
    }
    return search.best();
}

}  // namespace pcx
