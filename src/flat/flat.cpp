#include "flat/flat.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <new>

#include "flat/spatial_search.hpp"
#include "metrics/kernels.hpp"

namespace ombrix {
namespace {

using kernels::kBlockLanes;

// A long create copies this many coordinates between two stop checks
// (a fraction of a millisecond).
constexpr std::size_t kCreateChunk = std::size_t{1} << 19;

constexpr std::uint64_t kBoxDims = 16, kCosineBoxDims = 8, kCosineScanAbove = 16;

// Whether the Euclidean scan checks for early abandon. A block that abandons
// saves its remaining rows, but every block pays for the checks, and a block
// that stops early breaks the stream the hardware prefetcher follows: on data
// where the blocks that abandon save little (Gaussian, say), the scan runs
// up to a sixth slower with the checks than without. So the checks run on a
// probe of blocks and stay on only while the probe skipped at least one row
// in kSavingRate; otherwise they rest for a while and are probed again,
// since the bound tightens as the scan goes on. Either way every value and
// result is the same.
class AbandonPolicy {
public:
    explicit AbandonPolicy(std::size_t dim) noexcept : probe_rows_(std::uint64_t{kProbe} * dim) {}

    bool checking() const noexcept { return resting_ == 0; }

    // `skipped`: the rows of a checked block left unread.
    void record(bool checked, std::size_t skipped) noexcept {
        if (!checked) {
            --resting_;
            return;
        }
        skipped_ += skipped;
        if (++probed_ < kProbe) return;
        if (skipped_ * kSavingRate < probe_rows_) resting_ = kRest;
        probed_ = 0;
        skipped_ = 0;
    }

private:
    static constexpr unsigned kProbe = 32, kRest = 512, kSavingRate = 8;
    std::uint64_t probe_rows_;
    std::uint64_t skipped_ = 0;
    unsigned probed_ = 0, resting_ = 0;
};

// A byte read quarter by quarter (one cache line in four of each row of a
// group) costs about this many bytes streamed: the lines come one by one,
// too far apart for the hardware prefetcher to run ahead of them.
constexpr std::uint64_t kScatterCost = 3;

// Whether a search reads through the pruning copy. On the groups where the
// bound keeps most lanes (a loose k-th value early on, or a query far from
// the data's subspace) the copy costs more than the plain scan, so every
// window of groups is judged by the bytes it read: one that read more than
// kCostRate of the plain scan's sends the next kRest groups to the plain
// scan, after which the copy is tried again. Either way every value and
// result is the same.
class CopyPolicy {
public:
    bool using_copy() const noexcept { return resting_ == 0; }

    void record(std::uint64_t read, std::uint64_t plain) noexcept {
        if (resting_ > 0) {
            --resting_;
            return;
        }
        read_ += read;
        plain_ += plain;
        if (++groups_ < kWindow) return;
        if (read_ * 10 > plain_ * kCostTenths) resting_ = kRest;
        groups_ = 0;
        read_ = plain_ = 0;
    }

private:
    static constexpr unsigned kWindow = 64, kRest = 256, kCostTenths = 8;
    std::uint64_t read_ = 0, plain_ = 0;
    unsigned groups_ = 0, resting_ = 0;
};

// The bounded max-heap of the best `wanted` pairs seen so far, worst on top.
// Vectors arrive in id order, so a newcomer that does not rank before the
// worst kept pair never will: the heap ends holding exactly the first
// `wanted` pairs of the full ranking.
class TopK {
public:
    TopK(std::vector<ScoredId>& heap, std::size_t wanted, bool euclidean) noexcept
        : heap_(heap), wanted_(wanted), euclidean_(euclidean) {}

    bool full() const noexcept { return heap_.size() == wanted_; }

    // Under Euclidean, once full: the squared threshold of the worst kept
    // distance, when that is a number (a NaN worst lets every number in).
    bool has_threshold() const noexcept { return has_threshold_; }
    double threshold() const noexcept { return threshold_; }
    double worst() const noexcept { return heap_.front().distance; }

    void offer(const ScoredId& candidate) noexcept {
        if (!offer_bounded(heap_, wanted_, candidate)) return;
        if (euclidean_ && full()) {
            const double bound = heap_.front().distance;
            has_threshold_ = bound == bound;
            if (has_threshold_) threshold_ = squared_threshold(bound);
        }
    }

    void finish() noexcept { std::sort_heap(heap_.begin(), heap_.end(), ranks_before); }

private:
    std::vector<ScoredId>& heap_;
    std::size_t wanted_;
    bool euclidean_;
    bool has_threshold_ = false;
    double threshold_ = 0.0;
};

}  // namespace

const char* to_string(FlatError error) noexcept {
    switch (error) {
        case FlatError::EmptyIndex: return "EmptyIndex";
        case FlatError::EmptyVectors: return "EmptyVectors";
        case FlatError::DimensionMismatch: return "DimensionMismatch";
        case FlatError::OutOfMemory: return "OutOfMemory";
        case FlatError::Interrupted: return "Interrupted";
    }
    return "Unknown";
}

std::optional<FlatError> Flat::insert(std::span<const double> vector) noexcept {
    if (vector.size() != dim_) return FlatError::DimensionMismatch;
    if (dim_ == 0) return std::nullopt;
    if (spatial_) {
        if (!store_.insert(vector.data())) return FlatError::OutOfMemory;
        return std::nullopt;
    }
    if (!vectors_.append(vector.data())) return FlatError::OutOfMemory;
    update_copy();
    return std::nullopt;
}

void Flat::update_copy() noexcept {
    if (!copy_.update(vectors_)) return;
    // A probe: a few stored vectors as queries, searched through the copy of
    // its first groups only, the queries taken from beyond them (as new
    // queries come from outside the data) and k scaled down with the share
    // searched (k = 10 over all, as a typical search asks), so that the
    // k-th value is about as tight as a full search's. The copy stays (and
    // is completed) only when those searches read well under half of what
    // plain scans of those groups read; on data without low-rank structure
    // (Gaussian, say) the bounds never bite and the copy would only cost.
    // The first two settle the clear cases (under a quarter, or over all of
    // a plain scan).
    constexpr std::size_t kProbes = 4, kSpread[kProbes] = {0, 2, 1, 3}, kWanted = 10;
    const std::size_t groups = vectors_.grouped() / kBlockLanes, probed = copy_.groups();
    const std::size_t from = probed < groups ? probed : 0, span = groups - from;
    const std::size_t wanted = std::max<std::size_t>(1, (kWanted * probed + groups / 2) / groups);
    const std::uint64_t per_probe = probed * kBlockLanes * dim_ * sizeof(double);
    Reads reads;
    const auto cost = [&] { return reads.stored + reads.copy + kScatterCost * reads.scattered; };
    try {
        std::vector<double> query(dim_);
        std::vector<ScoredId> results;
        for (std::size_t p = 0; p < kProbes; ++p) {
            const std::size_t id = from * kBlockLanes + (2 * kSpread[p] + 1) * span * kBlockLanes / (2 * kProbes);
            const double* block = vectors_.group(id / kBlockLanes);
            for (std::size_t j = 0; j < dim_; ++j) query[j] = block[j * kBlockLanes + id % kBlockLanes];
            if (search_groups(query, wanted, results, reads, probed)) {
                copy_.drop();
                return;
            }
            if (p == 1 && 4 * cost() < 2 * per_probe) break;
            if (p == 1 && cost() > 2 * per_probe) {
                copy_.drop();
                return;
            }
            if (p + 1 == kProbes && 2 * cost() > kProbes * per_probe) {
                copy_.drop();
                return;
            }
        }
    } catch (const std::bad_alloc&) {
        copy_.drop();
        return;
    }
    copy_.extend(vectors_);
}

std::optional<FlatError> Flat::create_valid(const double* rows, std::size_t valid, std::size_t total,
                                            std::size_t& stored, StopCheck stop) noexcept {
    stored = 0;
    if (total == 0) return FlatError::EmptyVectors;
    if (dim_ == 0) {
        stored = valid;
    } else if (spatial_) {
        if (!store_.reserve(rows, valid)) return FlatError::OutOfMemory;
        const std::size_t chunk = std::max<std::size_t>(1, kCreateChunk / dim_);
        while (stored < valid) {
            if (stored > 0 && stop.stop_requested()) break;
            const std::size_t n = std::min(chunk, valid - stored);
            store_.append(rows + stored * dim_, n);
            stored += n;
        }
        store_.organise();
        if (stored < valid) return FlatError::Interrupted;
        return valid < total ? std::optional{FlatError::DimensionMismatch} : std::nullopt;
    } else {
        if (!vectors_.reserve(valid)) return FlatError::OutOfMemory;
        const std::size_t chunk = std::max<std::size_t>(1, kCreateChunk / dim_);
        while (stored < valid) {
            if (stored > 0 && stop.stop_requested()) {
                update_copy();
                return FlatError::Interrupted;
            }
            const std::size_t n = std::min(chunk, valid - stored);
            vectors_.append(rows + stored * dim_, n);
            stored += n;
        }
    }
    update_copy();
    if (valid < total) return FlatError::DimensionMismatch;
    return std::nullopt;
}

std::optional<FlatError> Flat::create(const VectorBatch& vectors, std::size_t& stored, StopCheck stop) noexcept {
    // The vectors before the first of another length lie back to back.
    std::size_t valid = 0;
    while (valid < vectors.size() && vectors[valid].size() == dim_) ++valid;
    return create_valid(vectors.values.data(), valid, vectors.size(), stored, stop);
}

std::optional<FlatError> Flat::create(const double* rows, std::size_t count, std::size_t length, std::size_t& stored,
                                      StopCheck stop) noexcept {
    return create_valid(rows, length == dim_ ? count : 0, count, stored, stop);
}

std::optional<double> Flat::warm_limit(const PruningCopy::Query& pruned, const PreparedQuery& prepared,
                                       std::size_t wanted, Reads& read) const noexcept {
    // The k-th smallest exact value among any stored vectors is at least
    // the final k-th value (the k-th smallest among them all), so a lane
    // proven above it can never be in the result, whatever the heap holds
    // when the scan reaches it. The vectors: the 2k lanes with the smallest
    // rough values, and every other lane of the quarters read to score them
    // (a NaN among them is left out: it ranks after every number). Under
    // Euclidean the limit is the squared threshold of the next distance up:
    // a sum above it has a root above that value, so no tie (which a
    // smaller id would win) is dropped.
    constexpr std::size_t kMostWanted = 64;
    if (wanted > kMostWanted) return std::nullopt;
    const std::size_t candidates = 2 * wanted;
    std::pair<double, std::size_t> best[2 * kMostWanted];
    std::size_t held = 0;
    const auto worse = [](const auto& a, const auto& b) { return a.first < b.first; };
    double estimates[kBlockLanes];
    for (std::size_t g = 0; g < copy_.groups(); ++g) {
        copy_.estimates(g, pruned, estimates);
        for (std::size_t l = 0; l < kBlockLanes; ++l) {
            const double e = estimates[l];
            if (held == candidates && !(e < best[0].first)) continue;
            if (held == candidates) std::pop_heap(best, best + held--, worse);
            best[held++] = {e, g * kBlockLanes + l};
            std::push_heap(best, best + held, worse);
        }
    }
    if (held < candidates) return std::nullopt;
    std::sort(best, best + held, [](const auto& a, const auto& b) { return a.second < b.second; });
    std::vector<double> exact;
    const double* const norms = vectors_.norms();
    double values[kBlockLanes];
    try {
        for (std::size_t i = 0; i < held;) {
            // The candidates of one group, scored together.
            const std::size_t g = best[i].second / kBlockLanes;
            std::uint32_t lanes = 0;
            for (; i < held && best[i].second / kBlockLanes == g; ++i)
                lanes |= std::uint32_t{1} << best[i].second % kBlockLanes;
            std::uint32_t scored = score_quarters(prepared, vectors_.group(g), dim_,
                                                  norms ? norms + g * kBlockLanes : nullptr, lanes, values);
            read.scattered += std::popcount(scored) * dim_ * sizeof(double);
            for (; scored != 0; scored &= scored - 1) {
                const double v = values[std::countr_zero(scored)];
                if (v == v) exact.push_back(v);
            }
        }
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    if (exact.size() < wanted) return std::nullopt;
    std::nth_element(exact.begin(), exact.begin() + static_cast<std::ptrdiff_t>(wanted - 1), exact.end());
    const double worst = exact[wanted - 1];
    if (metric_ != Metric::Euclidean) return worst;
    return squared_threshold(std::nextafter(std::sqrt(worst), std::numeric_limits<double>::infinity()));
}

std::optional<FlatError> Flat::search(std::span<const double> query, std::uint64_t k,
                                      std::vector<ScoredId>& out) const noexcept {
    return search(query, k, out, nullptr);
}

std::optional<FlatError> Flat::search(std::span<const double> query, std::uint64_t k, std::vector<ScoredId>& out,
                                      Reads* reads) const noexcept {
    Reads read;
    const auto error = search_groups(query, k, out, read, ~std::size_t{0});
    if (reads) {
        reads->stored += read.stored;
        reads->scattered += read.scattered;
        reads->copy += read.copy;
    }
    return error;
}

std::optional<FlatError> Flat::search_groups(std::span<const double> query, std::uint64_t k, std::vector<ScoredId>& out,
                                             Reads& read, std::size_t groups) const noexcept {
    out.clear();
    if (query.size() != dim_) return FlatError::DimensionMismatch;
    const bool whole = groups >= vectors_.grouped() / kBlockLanes;
    const std::size_t count = whole ? static_cast<std::size_t>(size()) : groups * kBlockLanes;
    if (count == 0) return FlatError::EmptyIndex;
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(k, count));
    if (wanted == 0) return std::nullopt;
    PruningCopy::Query pruned;
    try {
        out.reserve(wanted);
    } catch (const std::bad_alloc&) {
        return FlatError::OutOfMemory;
    }

    const PreparedQuery prepared = prepare_query(metric_, query, dim_);
    if (spatial_) {
        // Up to 16 coordinates boxes cut off most of the space even on
        // uniform data; beyond, and for cosine beyond 8 (bounds on an angle
        // cut off less than bounds on a distance), only on clustered data,
        // so the search turns to a scan when they fail.
        // Cosine beyond 16 scans at once: even clustered, its bounds cut off
        // too little to repay the boxes visited before giving up.
        const std::uint64_t box_dims = metric_ == Metric::Cosine ? kCosineBoxDims : kBoxDims;
        const SpatialPlan plan = metric_ == Metric::Cosine && dim_ > kCosineScanAbove ? SpatialPlan::Scan
                                 : dim_ > box_dims                                    ? SpatialPlan::BoxesThenScan
                                                                                      : SpatialPlan::Boxes;
        if (!spatial_search(store_, prepared, wanted, plan, out)) return FlatError::OutOfMemory;
        return std::nullopt;
    }
    const bool euclidean = metric_ == Metric::Euclidean;
    const GroupScan scan(vectors_, prepared);
    TopK top(out, wanted, euclidean);
    const bool pruning = copy_.prepare(query, pruned);
    CopyPolicy policy;
    const double* const norms = vectors_.norms();
    // A value no greater than the final k-th, from k vectors the copy
    // points at: groups before the heap has tightened are pruned by it too.
    const std::optional<double> warm_value = pruning ? warm_limit(pruned, prepared, wanted, read) : std::nullopt;
    const bool warm = warm_value.has_value();
    const double warm_bound = warm_value.value_or(0.0);
    const std::uint64_t group_bytes = dim_ * kBlockLanes * sizeof(double);

    AbandonPolicy abandon(static_cast<std::size_t>(dim_));
    double values[kBlockLanes];
    const std::size_t scanned_groups = whole ? scan.groups() : groups;
    for (std::size_t g = 0; g < scanned_groups; ++g) {
        // Once the heap is full, only a lane below its worst can enter (ids
        // only grow, so a tie loses): the kernel picks those lanes, and most
        // blocks offer none. A NaN worst lets every number in, so then every
        // lane is offered.
        const bool bounded = euclidean ? top.has_threshold() : top.full() && top.worst() == top.worst();
        const double limit = !bounded ? 0.0 : euclidean ? top.threshold() : top.worst();
        std::uint32_t lanes;
        if (pruning && (bounded || warm) && g < copy_.groups() && policy.using_copy()) {
            // The copy's bound drops the lanes that cannot enter; the rest
            // are scored exactly, reading only their quarters of the group.
            std::size_t rows = 0;
            const double* group_norms = norms ? norms + g * kBlockLanes : nullptr;
            const double copy_limit = bounded && warm ? std::min(limit, warm_bound) : bounded ? limit : warm_bound;
            const std::uint32_t live = copy_.live(g, pruned, copy_limit, group_norms, rows);
            lanes = live ? score_quarters(prepared, vectors_.group(g), dim_, group_norms, live, values) : 0;
            const std::uint64_t copy_bytes = rows * kBlockLanes * sizeof(float);
            const std::uint64_t scattered_bytes = std::popcount(lanes) * dim_ * sizeof(double);
            read.copy += copy_bytes;
            read.scattered += scattered_bytes;
            policy.record(copy_bytes + kScatterCost * scattered_bytes, group_bytes);
        } else {
            if (pruning && (bounded || warm) && g < copy_.groups()) policy.record(0, 0);
            const bool checked = euclidean && bounded && abandon.checking();
            const unsigned flags = checked   ? kernels::kBounded | kernels::kAbandon
                                   : bounded ? unsigned{kernels::kBounded}
                                             : 0u;
            const std::uint64_t scanned = scan.score(g, flags, limit, values);
            const bool abandoned = scanned & kernels::kAbandoned;
            if (euclidean && bounded) abandon.record(checked, abandoned ? dim_ - kernels::rows_read(scanned) : 0);
            read.stored += abandoned ? kernels::rows_read(scanned) * kBlockLanes * sizeof(double) : group_bytes;
            if (abandoned) continue;
            lanes = static_cast<std::uint32_t>(scanned);
        }
        const std::uint64_t first = g * kBlockLanes;
        for (; lanes != 0; lanes &= lanes - 1) {
            const std::size_t l = static_cast<std::size_t>(std::countr_zero(lanes));
            double value = values[l];
            if (euclidean) {
                // s >= threshold exactly when sqrt(s) >= the worst kept distance.
                if (top.has_threshold() && !(value < top.threshold())) continue;
                value = std::sqrt(value);
            }
            top.offer({value, first + l});
        }
    }

    const std::size_t first = scanned_groups * kBlockLanes;
    if (const std::size_t rest = count - first) {
        std::optional<double> bound;
        if (top.full()) bound = top.worst();
        double scores[kBlockLanes];
        score_contiguous(prepared, vectors_.rest(), vectors_.dim(), norms ? norms + first : nullptr, rest, scores,
                         bound);
        read.stored += rest * dim_ * sizeof(double);
        for (std::size_t l = 0; l < rest; ++l) top.offer({scores[l], first + l});
    }
    top.finish();
    return std::nullopt;
}

}  // namespace ombrix
