// Appending rows to the tail and organising it into k-d runs: the
// logarithmic method (kMerge runs of about one size are rebuilt as one), so
// that a row is rebuilt O(log n) times and an insert stays amortised cheap,
// while a search meets O(log n) runs.
#include "storage/spatial_store.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>
#include <span>
#include <stdexcept>
#include <utility>

#include "metrics/metrics.hpp"

namespace ombrix {
namespace {

using kernels::kBlockLanes;

// Runs of about one size merged into one: fewer rebuilds of each row than
// merging pairs, at the cost of a few more runs for a search to enter.
constexpr std::size_t kMerge = 4;

bool finite_row(const double* row, std::size_t dim) noexcept {
    for (std::size_t j = 0; j < dim; ++j)
        if (!std::isfinite(row[j])) return false;
    return true;
}

// Room for `more` elements, growing geometrically (inserts come one by one).
template <class T>
void make_room(std::vector<T>& v, std::size_t more) {
    if (v.capacity() - v.size() >= more) return;
    v.reserve(std::max(v.size() + more, v.capacity() * 2));
}

// Builds one run from `count` finite rows (a multiple of kBlockLanes, at
// least one leaf). Each node splits its rows at a leaf boundary near their
// median along the coordinate where an outer estimate of its box (the
// parent's, cut at the split) is widest; the boxes kept are exact, each
// leaf's from its rows and each inner node's the union of its children's.
class RunBuilder {
public:
    RunBuilder(const double* rows, const std::uint64_t* ids, std::size_t count, std::size_t dim, bool keep_norms)
        : rows_(rows), ids_(ids), count_(count), dim_(dim), keep_norms_(keep_norms) {}

    // Throws std::bad_alloc when memory is short; false when a page buffer
    // cannot be had.
    bool build(SpatialRun& run) {
        const std::size_t leaves = count_ / kBlockLanes;
        const std::size_t nodes = 2 * leaves - 1;
        run.count = count_;
        perm_.resize(count_);
        std::iota(perm_.begin(), perm_.end(), std::uint32_t{0});
        keys_.resize(count_);
        if (keep_norms_) {
            row_norms_.resize(count_);
            for (std::size_t r = 0; r < count_; ++r) row_norms_[r] = std::sqrt(squared_norm({rows_ + r * dim_, dim_}));
        }
        std::size_t depth = 1;
        for (std::size_t l = 1; l < leaves; l *= 2) ++depth;
        outer_.resize((depth + 1) * 2 * dim_);
        run.nodes.reserve(nodes);
        run.boxes.reserve(nodes * 2 * dim_);
        if (keep_norms_) run.norm_ranges.reserve(nodes * 2);

        double* box = outer_.data();
        std::fill(box, box + dim_, std::numeric_limits<double>::infinity());
        std::fill(box + dim_, box + 2 * dim_, -std::numeric_limits<double>::infinity());
        for (std::size_t r = 0; r < count_; ++r)
            for (std::size_t j = 0; j < dim_; ++j) {
                const double x = rows_[r * dim_ + j];
                box[j] = std::min(box[j], x);
                box[dim_ + j] = std::max(box[dim_ + j], x);
            }
        make(run, 0, leaves, 0);

        if (!run.blocks.reserve(count_ * dim_, 0)) return false;
        if (keep_norms_ && !run.norms.reserve(count_, 0)) return false;
        const bool narrow = std::all_of(ids_, ids_ + count_, [](std::uint64_t id) { return id <= UINT32_MAX; });
        if (narrow) run.ids32.resize(count_);
        else run.ids64.resize(count_);
        double* blocks = run.blocks.data();
        for (std::size_t i = 0; i < count_; ++i) {
            const std::uint32_t r = perm_[i];
            double* block = blocks + i / kBlockLanes * kBlockLanes * dim_ + i % kBlockLanes;
            for (std::size_t j = 0; j < dim_; ++j) block[j * kBlockLanes] = rows_[r * dim_ + j];
            if (narrow) run.ids32[i] = static_cast<std::uint32_t>(ids_[r]);
            else run.ids64[i] = ids_[r];
            if (keep_norms_) run.norms.data()[i] = row_norms_[r];
        }
        return true;
    }

private:
    // The node for the `leaves` leaves of rows perm_[begin...], whose outer
    // box estimate is outer_ at `depth`; returns its index.
    std::uint32_t make(SpatialRun& run, std::size_t begin, std::size_t leaves, std::size_t depth) {
        const auto node = static_cast<std::uint32_t>(run.nodes.size());
        run.nodes.push_back({});
        run.boxes.resize(run.boxes.size() + 2 * dim_);
        if (keep_norms_) run.norm_ranges.resize(run.norm_ranges.size() + 2);
        if (leaves == 1) {
            run.nodes[node] = {static_cast<std::uint32_t>(begin / kBlockLanes), 0, 0};
            leaf_box(run, node, begin);
            return node;
        }
        const double* outer = outer_.data() + depth * 2 * dim_;
        std::size_t split = 0;
        for (std::size_t j = 1; j < dim_; ++j)
            if (outer[dim_ + j] - outer[j] > outer[dim_ + split] - outer[split]) split = j;
        const std::size_t mid = begin + leaves / 2 * kBlockLanes, end = begin + leaves * kBlockLanes;
        // The keys beside the row numbers: the partition then reads memory in
        // order rather than rows at random.
        for (std::size_t i = begin; i < end; ++i) keys_[i] = {rows_[perm_[i] * dim_ + split], perm_[i]};
        std::nth_element(keys_.begin() + static_cast<std::ptrdiff_t>(begin),
                         keys_.begin() + static_cast<std::ptrdiff_t>(mid),
                         keys_.begin() + static_cast<std::ptrdiff_t>(end),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (std::size_t i = begin; i < end; ++i) perm_[i] = keys_[i].second;
        const double at = keys_[mid].first;

        double* inner = outer_.data() + (depth + 1) * 2 * dim_;
        std::copy(outer, outer + 2 * dim_, inner);
        inner[dim_ + split] = at;
        const std::uint32_t left = make(run, begin, leaves / 2, depth + 1);
        std::copy(outer, outer + 2 * dim_, inner);
        inner[split] = at;
        const std::uint32_t right = make(run, mid, leaves - leaves / 2, depth + 1);

        run.nodes[node] = {0, left, right};
        double* box = run.boxes.data() + node * 2 * dim_;
        const double* a = run.boxes.data() + left * 2 * dim_;
        const double* b = run.boxes.data() + right * 2 * dim_;
        for (std::size_t j = 0; j < dim_; ++j) {
            box[j] = std::min(a[j], b[j]);
            box[dim_ + j] = std::max(a[dim_ + j], b[dim_ + j]);
        }
        if (keep_norms_) {
            double* range = run.norm_ranges.data() + 2 * node;
            range[0] = std::min(run.norm_ranges[2 * left], run.norm_ranges[2 * right]);
            range[1] = std::max(run.norm_ranges[2 * left + 1], run.norm_ranges[2 * right + 1]);
        }
        return node;
    }

    void leaf_box(SpatialRun& run, std::uint32_t node, std::size_t begin) {
        double* box = run.boxes.data() + node * 2 * dim_;
        const double* first = rows_ + perm_[begin] * dim_;
        std::copy(first, first + dim_, box);
        std::copy(first, first + dim_, box + dim_);
        for (std::size_t i = begin + 1; i < begin + kBlockLanes; ++i) {
            const double* row = rows_ + perm_[i] * dim_;
            for (std::size_t j = 0; j < dim_; ++j) {
                box[j] = std::min(box[j], row[j]);
                box[dim_ + j] = std::max(box[dim_ + j], row[j]);
            }
        }
        if (keep_norms_) {
            double lo = row_norms_[perm_[begin]], hi = lo;
            for (std::size_t i = begin + 1; i < begin + kBlockLanes; ++i) {
                lo = std::min(lo, row_norms_[perm_[i]]);
                hi = std::max(hi, row_norms_[perm_[i]]);
            }
            run.norm_ranges[2 * node] = lo;
            run.norm_ranges[2 * node + 1] = hi;
        }
    }

    const double* rows_;
    const std::uint64_t* ids_;
    std::size_t count_, dim_;
    bool keep_norms_;
    std::vector<std::uint32_t> perm_;  // row numbers in leaf order
    std::vector<std::pair<double, std::uint32_t>> keys_;
    std::vector<double> row_norms_;
    std::vector<double> outer_;  // an outer box estimate per depth
};

}  // namespace

SpatialStore::SpatialStore(std::size_t dim, bool keep_norms, std::size_t tail_limit) noexcept
    : dim_(dim), keep_norms_(keep_norms), tail_limit_(std::max(tail_limit, kBlockLanes)) {}

bool SpatialStore::reserve(const double* rows, std::size_t count) noexcept {
    std::size_t apart = 0;
    for (std::size_t r = 0; r < count; ++r) apart += !finite_row(rows + r * dim_, dim_);
    const std::size_t finite = count - apart;
    try {
        if (dim_ != 0 && finite > (SIZE_MAX / sizeof(double) - tail_.size()) / dim_) return false;
        make_room(tail_, finite * dim_);
        make_room(tail_ids_, finite);
        if (keep_norms_) make_room(tail_norms_, finite);
        const std::size_t packed = std::min(tail_ids_.size() + finite, tail_limit_) / kBlockLanes * kBlockLanes;
        if (packed * dim_ > tail_blocks_.size()) make_room(tail_blocks_, packed * dim_ - tail_blocks_.size());
        if (apart > 0) {
            make_room(apart_, apart * dim_);
            make_room(apart_ids_, apart);
            if (keep_norms_) make_room(apart_norms_, apart);
        }
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    return true;
}

void SpatialStore::append(const double* rows, std::size_t count) noexcept {
    for (std::size_t r = 0; r < count; ++r) {
        const double* row = rows + r * dim_;
        const bool finite = finite_row(row, dim_);
        std::vector<double>& to = finite ? tail_ : apart_;
        to.insert(to.end(), row, row + dim_);
        (finite ? tail_ids_ : apart_ids_).push_back(count_++);
        if (keep_norms_) (finite ? tail_norms_ : apart_norms_).push_back(std::sqrt(squared_norm({row, dim_})));
    }
    pack_tail();
}

void SpatialStore::pack_tail() noexcept {
    const std::size_t group = kBlockLanes * dim_;
    for (std::size_t g = tail_blocks_.size() / group; (g + 1) * kBlockLanes <= std::min(tail_ids_.size(), tail_limit_);
         ++g) {
        // Room was reserved: no reallocation, nothing thrown.
        tail_blocks_.resize(tail_blocks_.size() + group);
        kernels::best().pack(tail_.data() + g * group, dim_, tail_blocks_.data() + g * group);
    }
}

void SpatialStore::organise() noexcept {
    if (tail_ids_.size() < tail_limit_) return;
    try {
        organise_tail();
    } catch (const std::bad_alloc&) {
        // The rows stay in the tail and the runs as they were.
    }
}

bool SpatialStore::organise_tail() {
    const std::size_t fresh = tail_ids_.size() / kBlockLanes * kBlockLanes;
    // The new run absorbs the last kMerge - 1 runs when they are not larger
    // than it, and the result again, and so on.
    std::size_t absorbed = 0, total = fresh;
    while (runs_.size() - absorbed >= kMerge - 1) {
        const std::size_t last = runs_.size() - absorbed;
        bool similar = true;
        for (std::size_t i = last - (kMerge - 1); i < last; ++i) similar = similar && runs_[i].count <= total;
        if (!similar) break;
        for (std::size_t i = last - (kMerge - 1); i < last; ++i) total += runs_[i].count;
        absorbed += kMerge - 1;
    }

    std::vector<double> gathered;
    std::vector<std::uint64_t> gathered_ids;
    const double* rows = tail_.data();
    const std::uint64_t* ids = tail_ids_.data();
    if (absorbed > 0) {
        gathered.resize(total * dim_);
        gathered_ids.resize(total);
        std::size_t at = 0;
        for (std::size_t i = runs_.size() - absorbed; i < runs_.size(); ++i) {
            const SpatialRun& run = runs_[i];
            const double* blocks = run.blocks.data();
            for (std::size_t r = 0; r < run.count; ++r, ++at) {
                const double* lane = blocks + r / kBlockLanes * kBlockLanes * dim_ + r % kBlockLanes;
                for (std::size_t j = 0; j < dim_; ++j) gathered[at * dim_ + j] = lane[j * kBlockLanes];
                gathered_ids[at] = run.id(r);
            }
        }
        std::copy(tail_.begin(), tail_.begin() + static_cast<std::ptrdiff_t>(fresh * dim_),
                  gathered.begin() + static_cast<std::ptrdiff_t>(at * dim_));
        std::copy(tail_ids_.begin(), tail_ids_.begin() + static_cast<std::ptrdiff_t>(fresh),
                  gathered_ids.begin() + static_cast<std::ptrdiff_t>(at));
        rows = gathered.data();
        ids = gathered_ids.data();
    }
    SpatialRun run;
    if (!RunBuilder(rows, ids, total, dim_, keep_norms_).build(run)) return false;

    // The rows left over (fewer than a leaf) start the next tail; a tail
    // that a large batch made large is let go.
    const auto left_from = static_cast<std::ptrdiff_t>(fresh);
    std::vector<double> rest(tail_.begin() + left_from * static_cast<std::ptrdiff_t>(dim_), tail_.end());
    std::vector<std::uint64_t> rest_ids(tail_ids_.begin() + left_from, tail_ids_.end());
    std::vector<double> rest_norms;
    if (keep_norms_) rest_norms.assign(tail_norms_.begin() + left_from, tail_norms_.end());
    runs_.reserve(runs_.size() + 1);
    tail_blocks_.clear();
    if (tail_.capacity() <= 2 * tail_limit_ * dim_) {
        tail_.erase(tail_.begin(), tail_.begin() + left_from * static_cast<std::ptrdiff_t>(dim_));
        tail_ids_.erase(tail_ids_.begin(), tail_ids_.begin() + left_from);
        if (keep_norms_) tail_norms_.erase(tail_norms_.begin(), tail_norms_.begin() + left_from);
    } else {
        tail_.swap(rest);
        tail_ids_.swap(rest_ids);
        tail_norms_.swap(rest_norms);
        std::vector<double>().swap(tail_blocks_);
    }
    runs_.resize(runs_.size() - absorbed);
    runs_.push_back(std::move(run));
    return true;
}

}  // namespace ombrix
