// Best-first search over the k-d runs of a SpatialStore, and the bounds that
// make skipping a box exact.
//
// Why the bounds never exceed a value the scan computes (fl() is rounding
// to nearest; it is monotone: a <= b gives fl(a) <= fl(b), and so are
// fl(a + b) in each argument, and fl(a / b) in a for b > 0):
// - Euclidean: for lo <= x <= hi and q < lo, fl(lo - q) <= fl(x - q); for
//   q > hi, fl(q - hi) <= fl(q - x); otherwise the gap 0 is at most any
//   square. Rounding is symmetric, so fl(x - q)^2 = fl(q - x)^2, and squaring
//   non-negative numbers is monotone: each rounded term of the bound is at
//   most the scan's term. Sums are formed left to right from +0.0 like the
//   scan's, and by induction each rounded partial sum is at most the scan's
//   (fl(A + a) <= fl(S + s) when A <= S and a <= s). No margin is needed;
//   the bound stays in the squared domain the block kernel compares in.
// - Inner product: q*x lies between q*lo and q*hi exactly, so fl(q*x) >=
//   min(fl(q*lo), fl(q*hi)); the same induction carries this through the
//   left-to-right sum whatever the signs, because it compares the two
//   computed sums step by step, never a computed sum with an exact one.
//   An infinite term can make a sum NaN (inf - inf); such a bound says
//   nothing and is taken as -infinity.
// - Cosine: the scan computes fl(D / fl(nq * nx)) with D the dot product
//   above, whose bound B <= D. With nlo <= nx <= nhi: if B >= 0, then
//   fl(D / fl(nq*nx)) >= fl(B / fl(nq*nhi)) (a larger numerator, a smaller
//   positive denominator); if B < 0, fl(D / fl(nq*nx)) >= fl(B / fl(nq*nlo))
//   (a negative numerator divided by a smaller denominator is smaller). A
//   zero denominator belongs to a zero vector, whose value is NaN and ranks
//   last anyway; a NaN bound again says nothing.
// - Cosine by a cone, tighter where a box is small beside its distance from
//   the origin: with c the box's centre as computed and rho the exact
//   distance from c to its farthest corner, every x in the box lies in the
//   ball of radius rho about c, so if rho < |c| the angle between x and c is
//   at most b = asin(rho / |c|); with a the angle between q and c, the angle
//   between q and x is at most a + b, and while a + b <= pi the cosine is at
//   least L = cos a cos b - sin a sin b. Rounding is not monotone here, so
//   the computed L' less a margin of 2^-20 is the bound. The margin: with
//   d <= 32, |q| in [2^-250, 2^250], the box's norms >= 2^-400 and the
//   computed |c|^2 in [2^-400, 2^500] and rho^2 <= 2^500 (so, rounded sums
//   of non-negative terms being at least each term, every |c_j| and half-
//   extent is at most 2^250, every coordinate in the box at most 2^251),
//   nothing overflows, and underflow only adds at most d 2^-1074 to sums
//   whose size (|q| |c|, |c|^2, |q| |x|, |x|^2) is at least 2^-800: far
//   below the relative errors counted next, and a subnormal rho^2 moves
//   sin b by less than 2^-300. With g(n) = n 2^-53 / (1 - n 2^-53): the computed
//   cos a is within g(3d+7) 1.01 <= 104 2^-53 of the exact one (dot within
//   g(d) |q| |c|, each norm within g(d+2), a product and a division), and
//   sin b within g(2d+8) <= 72 2^-53 (each half-extent within one rounding,
//   sums of non-negative squares). A root of 1 - s^2 errs by at most
//   sqrt(|difference of the radicands|) + 2^-53, so sin a and cos b are
//   within sqrt(2.01 * 104 2^-53 + 3 2^-53) + 2^-53 < 1.6e-7 of theirs.
//   All four are at most 1 in magnitude, so |L' - L| < 2 * 1.6e-7 + 2e-14
//   + 4 2^-53; the scan's own value (dot within g(d) |q| |x|, the norms
//   within g(d+2) each, a product and a division) is within 3.1 g(3d+9) <
//   4e-14 of the exact cosine; together below 3.3e-7, a third of the margin.
//   The bound is used only where sin b <= 0.99 (so rho < |c| for sure) and
//   cos a >= 2^-20 - cos b (so a + b <= pi for sure), and within the ranges
//   above; the larger of the two cosine bounds is taken.
// A box is skipped only when its bound ranks strictly after the k-th value
// kept, and only when that value is a number: an equal value with a smaller
// id can still enter, and so can anything when the k-th value is NaN.
#include "flat/spatial_search.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>

#include "metrics/kernels.hpp"

namespace ombrix {
namespace {

using kernels::kBlockLanes;
constexpr double kInfinity = std::numeric_limits<double>::infinity();
// BoxesThenScan scores this share of the leaves by their boxes: a search
// that needs more is near a scan of them all, where visiting boxes costs
// several times a leaf's scoring.
constexpr std::size_t kScanAfter = 32;
// The first look at whether the boxes can still pay comes after this share
// of the budget, the next ones at twice as many leaves each. Inner product
// and cosine look sooner: on evenly spread vectors their boxes cut off
// nothing from the start, while on clustered ones they cut off other
// clusters' boxes within the first few leaves, as Euclidean boxes do only a
// little later.
constexpr std::size_t kFirstCheck = 16, kFirstCheckDot = 128;
// Boxes met per box cut off above which they are taken to fail.
constexpr std::size_t kCutOff = 128;

// The cosine bound by a cone of the head comment from the sums qc = q.c,
// cc = |c|^2 and rr = rho^2 as computed; -infinity where its conditions do
// not hold.
inline double cone_bound(const PreparedQuery& query, std::size_t dim, double norm_low, double qc, double cc,
                         double rr) noexcept {
    if (dim > 32 || query.size != dim || !(norm_low >= 0x1p-400) || !(query.norm >= 0x1p-250) ||
        !(query.norm <= 0x1p250) || !(cc >= 0x1p-400) || !(cc <= 0x1p500) || !(rr <= 0x1p500))
        return -kInfinity;
    const double nc = std::sqrt(cc);
    const double sin_b = std::sqrt(rr) / nc;
    if (!(sin_b <= 0.99)) return -kInfinity;
    const double cos_b = std::sqrt(1.0 - sin_b * sin_b);
    const double cos_a = qc / (query.norm * nc);
    if (!(cos_a >= 0x1p-20 - cos_b)) return -kInfinity;
    const double sin_a = std::sqrt(std::max(1.0 - cos_a * cos_a, 0.0));
    return cos_a * cos_b - sin_a * sin_b - 0x1p-20;
}

// The bounds of `N` boxes at once: their sums are independent chains that
// the processor overlaps. Each gap is max(lo - q, 0) + max(q - hi, 0), at
// most one of which is non-zero: the branchy form's value without its
// mispredictions.
template <std::size_t N>
void box_bounds(const PreparedQuery& query, const double* const (&boxes)[N], std::size_t dim,
                const double* const (&norm_ranges)[N], double (&out)[N]) noexcept {
    const double* q = query.data;
    double s[N];
    for (double& x : s) x = 0.0;
    if (query.metric == Metric::Euclidean) {
        for (std::size_t j = 0; j < dim; ++j)
            for (std::size_t n = 0; n < N; ++n) {
                const double gap = std::max(boxes[n][j] - q[j], 0.0) + std::max(q[j] - boxes[n][dim + j], 0.0);
                s[n] += gap * gap;
            }
    } else if (query.metric == Metric::InnerProduct) {
        for (std::size_t j = 0; j < dim; ++j)
            for (std::size_t n = 0; n < N; ++n) s[n] += std::min(q[j] * boxes[n][j], q[j] * boxes[n][dim + j]);
    } else {
        double qc[N], cc[N], rr[N];
        for (std::size_t n = 0; n < N; ++n) qc[n] = cc[n] = rr[n] = 0.0;
        for (std::size_t j = 0; j < dim; ++j)
            for (std::size_t n = 0; n < N; ++n) {
                const double lo = boxes[n][j], hi = boxes[n][dim + j];
                s[n] += std::min(q[j] * lo, q[j] * hi);
                const double c = (lo + hi) * 0.5;
                const double h = std::max(c - lo, hi - c);
                qc[n] += q[j] * c;
                cc[n] += c * c;
                rr[n] += h * h;
            }
        for (std::size_t n = 0; n < N; ++n) {
            s[n] = s[n] >= 0.0 ? s[n] / (query.norm * norm_ranges[n][1]) : s[n] / (query.norm * norm_ranges[n][0]);
            if (s[n] == s[n]) s[n] = std::max(s[n], cone_bound(query, dim, norm_ranges[n][0], qc[n], cc[n], rr[n]));
        }
    }
    for (std::size_t n = 0; n < N; ++n) out[n] = s[n] == s[n] ? s[n] : -kInfinity;
}

// The best `wanted` pairs seen so far in a max-heap, worst on top. Vectors
// arrive in no particular id order, so a value equal to the worst kept one
// enters when its id is smaller: the limits below let such values through.
class Best {
public:
    Best(std::vector<ScoredId>& heap, std::size_t wanted, bool euclidean) noexcept
        : heap_(heap), wanted_(wanted), euclidean_(euclidean) {}

    // Whether a bound shows that nothing it holds for can enter.
    bool skips(double bound) const noexcept { return bounded_ && bound >= limit_; }
    // The block kernel's flags and limit: lanes below the limit have a value
    // at most the worst kept.
    unsigned flags() const noexcept { return bounded_ ? unsigned{kernels::kBounded} : 0u; }
    double limit() const noexcept { return limit_; }

    void offer(double value, std::uint64_t id) noexcept {
        const ScoredId candidate{value, id};
        if (!offer_bounded(heap_, wanted_, candidate)) return;
        changed_ = true;
    }

    // Brings the limit up to date after offers.
    void settle() noexcept {
        if (!changed_) return;
        changed_ = false;
        if (heap_.size() < wanted_) return;
        const double worst = heap_.front().distance;
        // A NaN or infinite worst: any number may still tie or beat it.
        bounded_ = std::isfinite(worst);
        if (!bounded_) return;
        // The least value that ranks after the worst, and under Euclidean
        // the least squared sum whose root does.
        const double after = std::nextafter(worst, kInfinity);
        limit_ = euclidean_ ? squared_threshold(after) : after;
    }

    void finish() noexcept { std::sort_heap(heap_.begin(), heap_.end(), ranks_before); }

private:
    std::vector<ScoredId>& heap_;
    std::size_t wanted_;
    bool euclidean_;
    bool changed_ = false;
    bool bounded_ = false;
    double limit_ = kInfinity;
};

class Search {
public:
    Search(const SpatialStore& store, const PreparedQuery& query, Best& best) noexcept
        : store_(store),
          query_(query),
          best_(best),
          dim_(store.dim()),
          euclidean_(query.metric == Metric::Euclidean),
          kernel_(select(store, euclidean_)) {}

    void rows(const SpatialStore::Rows& rows) noexcept {
        double values[kBlockLanes];
        const kernels::Variant& variant = kernels::best();
        const kernels::BlockKernel kernel = euclidean_ ? variant.block_euclidean : variant.block_dot;
        for (std::size_t g = 0; g < rows.groups; ++g) {
            const std::size_t first = g * kBlockLanes;
            std::uint32_t lanes = static_cast<std::uint32_t>(kernel(query_.data, rows.blocks + first * dim_, dim_,
                                                                    rows.norms ? rows.norms + first : nullptr,
                                                                    query_.norm, best_.flags(), best_.limit(), values));
            for (; lanes != 0; lanes &= lanes - 1) {
                const std::size_t l = static_cast<std::size_t>(std::countr_zero(lanes));
                best_.offer(euclidean_ ? std::sqrt(values[l]) : values[l], rows.ids[first + l]);
            }
            best_.settle();
        }
        for (std::size_t start = rows.groups * kBlockLanes; start < rows.count; start += kBlockLanes) {
            const std::size_t n = std::min(kBlockLanes, rows.count - start);
            score_contiguous(query_, rows.rows + start * dim_, dim_, rows.norms ? rows.norms + start : nullptr, n,
                             values);
            for (std::size_t l = 0; l < n; ++l) best_.offer(values[l], rows.ids[start + l]);
            best_.settle();
        }
    }

    void leaf(const SpatialRun& run, std::size_t leaf) noexcept {
        double values[kBlockLanes];
        const double* norms = store_.keeps_norms() ? run.norms.data() + leaf * kBlockLanes : nullptr;
        std::uint32_t lanes =
            static_cast<std::uint32_t>(kernel_(query_.data, run.blocks.data() + leaf * kBlockLanes * dim_, dim_, norms,
                                               query_.norm, best_.flags(), best_.limit(), values));
        for (; lanes != 0; lanes &= lanes - 1) {
            const std::size_t l = static_cast<std::size_t>(std::countr_zero(lanes));
            best_.offer(euclidean_ ? std::sqrt(values[l]) : values[l], run.id(leaf * kBlockLanes + l));
        }
        best_.settle();
    }

    void all_leaves() noexcept {
        for (const SpatialRun& run : store_.runs())
            for (std::size_t leaf = 0; leaf < run.count / kBlockLanes; ++leaf) this->leaf(run, leaf);
    }

    // With `budget`, after scoring that many leaves by their boxes, scans the
    // rest (of those scored, a list is kept; a list that finds no memory
    // means no budget).
    void by_boxes(std::size_t budget) noexcept {
        try {
            pending_.reserve(64);
            if (budget != SIZE_MAX) visited_.reserve(budget);
        } catch (const std::bad_alloc&) {
            // push() copes; without the list the boxes go on to the end.
        }
        budget_ = visited_.capacity() >= budget ? budget : SIZE_MAX;
        const std::size_t first_check = euclidean_ ? kFirstCheck : kFirstCheckDot;
        next_check_ = budget_ == SIZE_MAX ? SIZE_MAX : std::max<std::size_t>(budget_ / first_check, 1);
        const std::vector<SpatialRun>& runs = store_.runs();
        for (std::uint32_t r = 0; r < runs.size(); ++r) push({bound(runs[r], 0), r, 0});
        while (!pending_.empty()) {
            std::pop_heap(pending_.begin(), pending_.end(), farther);
            const Pending next = pending_.back();
            pending_.pop_back();
            // Every box still waiting is at least as far.
            if (best_.skips(next.bound)) break;
            const SpatialRun& run = runs[next.run];
            std::uint32_t node = next.node;
            double at = next.bound;
            // Down the nearer side, leaving the farther for later.
            while (!best_.skips(at)) {
                if (run.is_leaf(node)) {
                    leaf(run, run.nodes[node].leaf);
                    if (budget_ != SIZE_MAX) {
                        visited_.push_back(std::uint64_t{next.run} << 32 | run.nodes[node].leaf);
                        if (visited_.size() >= budget_ || (visited_.size() == next_check_ && hopeless()))
                            return scan_unvisited();
                    }
                    break;
                }
                const SpatialRun::Node& inner = run.nodes[node];
                double bounds[2];
                const double* const boxes[2] = {box(run, inner.left), box(run, inner.right)};
                const double* const ranges[2] = {norm_range(run, inner.left), norm_range(run, inner.right)};
                box_bounds(query_, boxes, dim_, ranges, bounds);
                Pending near{bounds[0], next.run, inner.left};
                Pending far{bounds[1], next.run, inner.right};
                if (farther(near, far)) std::swap(near, far);
                push(far);
                node = near.node;
                at = near.bound;
            }
        }
    }

private:
    // A scan of them all streams from memory beyond the caches (see for_scan).
    static kernels::BlockKernel select(const SpatialStore& store, bool euclidean) noexcept {
        std::size_t rows = 0;
        for (const SpatialRun& run : store.runs()) rows += run.count;
        const kernels::Variant& variant = kernels::for_scan(rows * store.dim() * sizeof(double));
        return euclidean ? variant.block_euclidean : variant.block_dot;
    }

    void scan_unvisited() noexcept {
        std::sort(visited_.begin(), visited_.end());
        auto seen = visited_.begin();
        const std::vector<SpatialRun>& runs = store_.runs();
        for (std::uint64_t r = 0; r < runs.size(); ++r)
            for (std::uint64_t l = 0; l < runs[r].count / kBlockLanes; ++l) {
                if (seen != visited_.end() && *seen == (r << 32 | l)) {
                    ++seen;
                    continue;
                }
                leaf(runs[r], l);
            }
    }

    // At a few points before the budget runs out: whether the boxes have
    // cut anything off yet. Where a box search pays, the k-th value soon
    // falls below the bounds of most boxes outside the query's region; on
    // evenly spread vectors of many coordinates it stays above nearly all
    // of them, and a scan at once saves most of the budget.
    bool hopeless() noexcept {
        next_check_ *= 2;
        return skipped_ * kCutOff < seen_;
    }

    struct Pending {
        double bound;
        std::uint32_t run;
        std::uint32_t node;
    };
    static bool farther(const Pending& a, const Pending& b) noexcept { return a.bound > b.bound; }

    // Keeps a box for later; when memory for that is short, its leaves
    // (a contiguous range) are scored at once instead.
    void push(const Pending& box) noexcept {
        ++seen_;
        if (best_.skips(box.bound)) {
            ++skipped_;
            return;
        }
        try {
            pending_.push_back(box);
        } catch (const std::bad_alloc&) {
            const SpatialRun& run = store_.runs()[box.run];
            std::uint32_t first = box.node, last = box.node;
            while (!run.is_leaf(first)) first = run.nodes[first].left;
            while (!run.is_leaf(last)) last = run.nodes[last].right;
            for (std::size_t l = run.nodes[first].leaf; l <= run.nodes[last].leaf; ++l) leaf(run, l);
            return;
        }
        std::push_heap(pending_.begin(), pending_.end(), farther);
    }

    const double* box(const SpatialRun& run, std::uint32_t node) const noexcept {
        return run.boxes.data() + std::size_t{node} * 2 * dim_;
    }
    const double* norm_range(const SpatialRun& run, std::uint32_t node) const noexcept {
        return store_.keeps_norms() ? run.norm_ranges.data() + 2 * std::size_t{node} : nullptr;
    }
    double bound(const SpatialRun& run, std::uint32_t node) const noexcept {
        return box_bound(query_, box(run, node), dim_, norm_range(run, node));
    }

    const SpatialStore& store_;
    const PreparedQuery& query_;
    Best& best_;
    std::size_t dim_;
    bool euclidean_;
    kernels::BlockKernel kernel_;
    std::vector<Pending> pending_;  // boxes to visit, nearest on top
    std::size_t budget_ = SIZE_MAX;
    std::size_t next_check_ = SIZE_MAX;   // leaves scored at the next look at how the boxes do
    std::size_t seen_ = 0, skipped_ = 0;  // boxes met, and of them cut off by their bound
    std::vector<std::uint64_t> visited_;  // within a budget: run << 32 | leaf of each leaf scored
};

}  // namespace

double box_bound(const PreparedQuery& query, const double* box, std::size_t dim, const double* norm_range) noexcept {
    double bound[1];
    const double* const boxes[1] = {box};
    const double* const ranges[1] = {norm_range};
    box_bounds(query, boxes, dim, ranges, bound);
    return bound[0];
}

bool spatial_search(const SpatialStore& store, const PreparedQuery& query, std::size_t wanted, SpatialPlan plan,
                    std::vector<ScoredId>& out) noexcept {
    out.clear();
    try {
        out.reserve(wanted);
    } catch (const std::bad_alloc&) {
        return false;
    }
    Best best(out, wanted, query.metric == Metric::Euclidean);
    Search search(store, query, best);
    search.rows(store.tail());
    search.rows(store.apart());
    bool finite = true;
    for (std::size_t j = 0; j < query.size; ++j) finite = finite && std::isfinite(query.data[j]);
    if (plan != SpatialPlan::Scan && finite) {
        std::size_t budget = SIZE_MAX;
        if (plan == SpatialPlan::BoxesThenScan) {
            std::size_t leaves = 0;
            for (const SpatialRun& run : store.runs()) leaves += run.count / kBlockLanes;
            budget = std::max<std::size_t>(leaves / kScanAfter, 8);
        }
        search.by_boxes(budget);
    } else {
        search.all_leaves();
    }
    best.finish();
    return true;
}

}  // namespace ombrix
