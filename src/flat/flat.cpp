#include "flat/flat.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>

#include "metrics/kernels.hpp"

namespace ombrix {
namespace {

using kernels::kBlockLanes;

// A long create copies this many coordinates between two stop checks
// (a fraction of a millisecond).
constexpr std::size_t kCreateChunk = std::size_t{1} << 19;

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

// Sizes of the storage for `count` vectors, or false when they overflow.
bool storage_sizes(std::uint64_t count, std::uint64_t dim, std::size_t& block_values) noexcept {
    const std::uint64_t grouped = count / kBlockLanes * kBlockLanes;
    if (dim != 0 && grouped > SIZE_MAX / sizeof(double) / dim) return false;
    block_values = static_cast<std::size_t>(grouped * dim);
    return true;
}

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
        if (heap_.size() < wanted_) {
            heap_.push_back(candidate);
            std::push_heap(heap_.begin(), heap_.end(), ranks_before);
        } else if (ranks_before(candidate, heap_.front())) {
            std::pop_heap(heap_.begin(), heap_.end(), ranks_before);
            heap_.back() = candidate;
            std::push_heap(heap_.begin(), heap_.end(), ranks_before);
        } else {
            return;
        }
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

bool Flat::reserve(std::size_t count) noexcept {
    if (dim_ == 0 || count == 0) return true;
    if (count > UINT64_MAX - count_) return false;
    const std::uint64_t total = count_ + count;
    std::size_t block_values = 0;
    if (!storage_sizes(total, dim_, block_values)) return false;
    const std::size_t grouped = static_cast<std::size_t>(count_ / kBlockLanes * kBlockLanes);
    const std::size_t in_tail = static_cast<std::size_t>(count_ - grouped);
    const std::size_t tail_rows = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockLanes, in_tail + count));
    if (!blocks_.reserve(block_values, grouped * dim_)) return false;
    if (!tail_.reserve(tail_rows * dim_, in_tail * dim_)) return false;
    if (metric_ == Metric::Cosine && !norms_.reserve(static_cast<std::size_t>(total), count_)) return false;
    return true;
}

void Flat::append(const double* rows, std::size_t count) noexcept {
    if (metric_ == Metric::Cosine)
        for (std::size_t r = 0; r < count; ++r)
            norms_.data()[count_ + r] = std::sqrt(squared_norm({rows + r * dim_, static_cast<std::size_t>(dim_)}));
    std::size_t done = 0;
    while (done < count) {
        const std::size_t in_tail = static_cast<std::size_t>(count_ % kBlockLanes);
        double* block = blocks_.data() + (count_ / kBlockLanes) * kBlockLanes * dim_;
        const double* next = rows + done * dim_;
        if (in_tail == 0 && count - done >= kBlockLanes) {
            kernels::best().pack(next, static_cast<std::size_t>(dim_), block);
            done += kBlockLanes;
            count_ += kBlockLanes;
            continue;
        }
        const std::size_t take = std::min(kBlockLanes - in_tail, count - done);
        std::memcpy(tail_.data() + in_tail * dim_, next, take * dim_ * sizeof(double));
        done += take;
        count_ += take;
        if (in_tail + take == kBlockLanes) kernels::best().pack(tail_.data(), static_cast<std::size_t>(dim_), block);
    }
}

std::optional<FlatError> Flat::insert(std::span<const double> vector) noexcept {
    if (vector.size() != dim_) return FlatError::DimensionMismatch;
    if (dim_ == 0) return std::nullopt;
    if (!reserve(1)) return FlatError::OutOfMemory;
    append(vector.data(), 1);
    return std::nullopt;
}

std::optional<FlatError> Flat::create_valid(const double* rows, std::size_t valid, std::size_t total,
                                            std::size_t& stored, StopCheck stop) noexcept {
    stored = 0;
    if (total == 0) return FlatError::EmptyVectors;
    if (dim_ == 0) {
        stored = valid;
    } else {
        if (!reserve(valid)) return FlatError::OutOfMemory;
        const std::size_t chunk = std::max<std::size_t>(1, kCreateChunk / dim_);
        while (stored < valid) {
            if (stored > 0 && stop.stop_requested()) return FlatError::Interrupted;
            const std::size_t n = std::min(chunk, valid - stored);
            append(rows + stored * dim_, n);
            stored += n;
        }
    }
    if (valid < total) return FlatError::DimensionMismatch;
    return std::nullopt;
}

std::optional<FlatError> Flat::create(const VectorBatch& vectors, std::size_t& stored, StopCheck stop) noexcept {
    // The vectors before the first of another length lie back to back.
    std::size_t valid = 0;
    while (valid < vectors.size() && vectors[valid].size() == dim_) ++valid;
    return create_valid(vectors.values.data(), valid, vectors.size(), stored, stop);
}

std::optional<FlatError> Flat::create(const double* rows, std::size_t count, std::size_t length,
                                      std::size_t& stored, StopCheck stop) noexcept {
    return create_valid(rows, length == dim_ ? count : 0, count, stored, stop);
}

std::optional<FlatError> Flat::search(std::span<const double> query, std::uint64_t k,
                                      std::vector<ScoredId>& out) const noexcept {
    out.clear();
    if (query.size() != dim_) return FlatError::DimensionMismatch;
    if (count_ == 0) return FlatError::EmptyIndex;
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(k, count_));
    if (wanted == 0) return std::nullopt;
    try {
        out.reserve(wanted);
    } catch (const std::bad_alloc&) {
        return FlatError::OutOfMemory;
    }

    const bool euclidean = metric_ == Metric::Euclidean;
    const PreparedQuery prepared = prepare_query(metric_, query, dim_);
    const std::uint64_t groups = count_ / kBlockLanes;
    const kernels::Variant& kernel = kernels::for_scan(groups * kBlockLanes * dim_ * sizeof(double));
    const kernels::BlockKernel scan_block = euclidean ? kernel.block_euclidean : kernel.block_dot;
    const double* norms = metric_ == Metric::Cosine ? norms_.data() : nullptr;
    TopK top(out, wanted, euclidean);

    AbandonPolicy abandon(static_cast<std::size_t>(dim_));
    double values[kBlockLanes];
    for (std::uint64_t g = 0; g < groups; ++g) {
        const double* block = blocks_.data() + g * kBlockLanes * dim_;
        // Once the heap is full, only a lane below its worst can enter (ids
        // only grow, so a tie loses): the kernel picks those lanes, and most
        // blocks offer none. A NaN worst lets every number in, so then every
        // lane is offered.
        const bool bounded = euclidean ? top.has_threshold() : top.full() && top.worst() == top.worst();
        const double limit = !bounded ? 0.0 : euclidean ? top.threshold() : top.worst();
        const double* block_norms = norms ? norms + g * kBlockLanes : nullptr;
        const bool checked = euclidean && bounded && abandon.checking();
        const unsigned flags = checked ? kernels::kBounded | kernels::kAbandon
                                       : bounded ? unsigned{kernels::kBounded} : 0u;
        const std::uint64_t scanned =
            scan_block(query.data(), block, dim_, block_norms, prepared.norm, flags, limit, values);
        const bool abandoned = scanned & kernels::kAbandoned;
        if (euclidean && bounded) abandon.record(checked, abandoned ? dim_ - kernels::rows_read(scanned) : 0);
        if (abandoned) continue;
        std::uint32_t lanes = static_cast<std::uint32_t>(scanned);
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

    const std::uint64_t first = groups * kBlockLanes;
    const std::size_t in_tail = static_cast<std::size_t>(count_ - first);
    if (in_tail) {
        const double* rows[kBlockLanes];
        for (std::size_t l = 0; l < in_tail; ++l) rows[l] = tail_.data() + l * dim_;
        std::optional<double> bound;
        if (top.full()) bound = top.worst();
        double scores[kBlockLanes];
        score_batch(prepared, rows, norms ? norms + first : nullptr, in_tail, scores, bound);
        for (std::size_t l = 0; l < in_tail; ++l) top.offer({scores[l], first + l});
    }
    top.finish();
    return std::nullopt;
}

}  // namespace ombrix
