// Appending rows to the tail and organising it into runs (built by
// run_builder): the logarithmic method (kMerge runs of about one size are
// rebuilt as one), so that a row is rebuilt O(log n) times and an insert
// stays amortised cheap, while a search meets O(log n) runs.
#include "storage/spatial_store.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>
#include <span>
#include <stdexcept>
#include <utility>

#include "metrics/metrics.hpp"
#include "storage/run_builder.hpp"

namespace ombrix {
namespace {

using kernels::kBlockLanes;

// Runs of about one size merged into one: fewer rebuilds of each row than
// merging pairs, at the cost of a few more runs for a search to enter.
constexpr std::size_t kMerge = 4;

// Work space kept between organisations, in tail limits.
constexpr std::size_t kKeptScratch = 4;

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

}  // namespace

SpatialStore::SpatialStore(std::size_t dim, bool keep_norms, std::size_t tail_limit) noexcept
    : dim_(dim),
      keep_norms_(keep_norms),
      tail_limit_(std::max(tail_limit != kTailLimit ? tail_limit
                                                    : kTailBytes / sizeof(double) / std::max<std::size_t>(dim, 1) /
                                                          kBlockLanes * kBlockLanes,
                           kBlockLanes)) {}

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

bool SpatialStore::insert(const double* row) noexcept {
    // The common case without reserve's and append's loops: a finite row
    // into a tail with room that neither completes a group nor reaches the
    // limit.
    const std::size_t n = tail_ids_.size();
    if ((n + 1) % kBlockLanes != 0 && n + 1 < tail_limit_ && n < tail_ids_.capacity() &&
        tail_.capacity() - tail_.size() >= dim_ && (!keep_norms_ || n < tail_norms_.capacity()) &&
        finite_row(row, dim_)) [[likely]] {
        for (std::size_t j = 0; j < dim_; ++j) tail_.push_back(row[j]);
        tail_ids_.push_back(count_++);
        if (keep_norms_) tail_norms_.push_back(std::sqrt(squared_norm({row, dim_})));
        return true;
    }
    return insert_slowly(row);
}

bool SpatialStore::insert_slowly(const double* row) noexcept {
    if (!reserve(row, 1)) return false;
    append(row, 1);
    organise();
    return true;
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

    // A batch larger than the tail (a create) is worth the k-d order's
    // tighter boxes; the runs that single inserts make take the grid order,
    // which reads the groups where they are, so that organising costs an
    // insert little.
    SpatialRun run;
    const std::size_t first = runs_.size() - absorbed;
    std::vector<std::uint64_t> gathered_ids(absorbed > 0 ? total : 0);
    std::vector<double> gathered_norms(absorbed > 0 && keep_norms_ ? total : 0);
    std::size_t at = 0;
    for (std::size_t i = first; i < runs_.size(); ++i) {
        const SpatialRun& from = runs_[i];
        for (std::size_t r = 0; r < from.count; ++r) gathered_ids[at + r] = from.id(r);
        if (keep_norms_) std::copy(from.norms.data(), from.norms.data() + from.count, gathered_norms.begin() + at);
        at += from.count;
    }
    if (absorbed > 0) {
        std::copy(tail_ids_.begin(), tail_ids_.begin() + static_cast<std::ptrdiff_t>(fresh), gathered_ids.begin() + at);
        if (keep_norms_)
            std::copy(tail_norms_.begin(), tail_norms_.begin() + static_cast<std::ptrdiff_t>(fresh),
                      gathered_norms.begin() + at);
    }
    const std::uint64_t* ids = absorbed > 0 ? gathered_ids.data() : tail_ids_.data();
    const double* norms = absorbed > 0 ? gathered_norms.data() : tail_norms_.data();
    const std::size_t group = kBlockLanes * dim_;
    if (fresh <= tail_limit_ && tail_blocks_.size() >= fresh * dim_) {
        std::vector<const double*> groups;
        groups.reserve(total / kBlockLanes);
        for (std::size_t i = first; i < runs_.size(); ++i)
            for (std::size_t g = 0; g < runs_[i].count / kBlockLanes; ++g)
                groups.push_back(runs_[i].blocks.data() + g * group);
        for (std::size_t g = 0; g < fresh / kBlockLanes; ++g) groups.push_back(tail_blocks_.data() + g * group);
        if (!build_grid_run(std::move(groups), ids, norms, dim_, keep_norms_, scratch_, run)) return false;
    } else {
        std::vector<double> gathered;
        const double* rows = tail_.data();
        if (absorbed > 0) {
            gathered.resize(total * dim_);
            double* to = gathered.data();
            for (std::size_t i = first; i < runs_.size(); ++i) {
                const double* blocks = runs_[i].blocks.data();
                for (std::size_t r = 0; r < runs_[i].count; ++r, to += dim_) {
                    const double* lane = blocks + r / kBlockLanes * group + r % kBlockLanes;
                    for (std::size_t j = 0; j < dim_; ++j) to[j] = lane[j * kBlockLanes];
                }
            }
            std::copy(tail_.begin(), tail_.begin() + static_cast<std::ptrdiff_t>(fresh * dim_), to);
            rows = gathered.data();
        }
        if (!build_kd_run(rows, ids, total, dim_, keep_norms_, scratch_, run)) return false;
    }

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
    // Kept for the next few organisations: fresh pages cost about as much as
    // the work done in them. Not after a large merge, though.
    if (scratch_.perm.capacity() > kKeptScratch * tail_limit_) scratch_ = Scratch{};
    return true;
}

}  // namespace ombrix
