// Building one run of a SpatialStore: the k-d and grid orders and the
// exact boxes of every node (see RunBuilder).
#include "storage/run_builder.hpp"

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

namespace ombrix {
namespace {

using kernels::kBlockLanes;

// Code bits beyond one cell per leaf in the grid order: clustered rows need
// cells much finer than the average leaf for tight boxes where they crowd.
constexpr unsigned kFinerBits = 10;

// The least and greatest of the kBlockLanes values at `lanes`, lane by lane
// in a few accumulators (which vectorises).
[[gnu::always_inline]] inline void lane_range(const double* lanes, double& lo, double& hi) noexcept {
    constexpr std::size_t kWidth = 8;
    static_assert(kBlockLanes % kWidth == 0);
    double low[kWidth], high[kWidth];
    std::copy(lanes, lanes + kWidth, low);
    std::copy(lanes, lanes + kWidth, high);
    for (std::size_t l = kWidth; l < kBlockLanes; l += kWidth)
        for (std::size_t w = 0; w < kWidth; ++w) {
            low[w] = std::min(low[w], lanes[l + w]);
            high[w] = std::max(high[w], lanes[l + w]);
        }
    lo = *std::min_element(low, low + kWidth);
    hi = *std::max_element(high, high + kWidth);
}

// Builds one run from `count` finite rows (a multiple of kBlockLanes, at
// least one leaf), in one of two orders:
// - k-d, from rows stored row by row: each node splits its rows at a leaf
//   boundary near their median along the coordinate where an outer estimate
//   of its box (the parent's, cut at the split) is widest. The tightest
//   boxes, but a partition of every row per level.
// - grid, from groups of kBlockLanes rows coordinate-major (the tail's
//   packed groups and the blocks of runs being merged): the rows sorted by
//   a Z-order code on a grid over their bounding box, and each node split
//   where its rows' codes change in their highest differing bit. A code and
//   a counting sort or two per row: several times cheaper, for the runs
//   that inserts make.
// Either way the boxes kept are exact, each leaf's from its rows and each
// inner node's the union of its children's.
class RunBuilder {
public:
    // k-d order.
    RunBuilder(const double* rows, const std::uint64_t* ids, std::size_t count, std::size_t dim, bool keep_norms,
               SpatialStore::Scratch& scratch)
        : rows_(rows),
          ids_(ids),
          count_(count),
          dim_(dim),
          keep_norms_(keep_norms),
          perm_(scratch.perm),
          entries_(scratch.entries),
          spare_(scratch.spare) {}
    // Grid order; `norms` per row, with norms kept.
    RunBuilder(std::vector<const double*> groups, const std::uint64_t* ids, const double* norms, std::size_t dim,
               bool keep_norms, SpatialStore::Scratch& scratch)
        : groups_(std::move(groups)),
          ids_(ids),
          norms_(norms),
          count_(groups_.size() * kBlockLanes),
          dim_(dim),
          keep_norms_(keep_norms),
          perm_(scratch.perm),
          entries_(scratch.entries),
          spare_(scratch.spare) {}

    // Throws std::bad_alloc when memory is short; false when a page buffer
    // cannot be had.
    bool build(SpatialRun& run) {
        const bool grid = rows_ == nullptr;
        const std::size_t leaves = count_ / kBlockLanes;
        const std::size_t nodes = 2 * leaves - 1;
        run.count = count_;
        perm_.resize(count_);
        if (!grid) std::iota(perm_.begin(), perm_.end(), std::uint32_t{0});
        std::size_t depth = 1;
        for (std::size_t l = 1; l < leaves; l *= 2) ++depth;
        outer_.resize((grid ? 1 : depth + 1) * 2 * dim_);
        run.nodes.resize(nodes);
        run.boxes.resize(nodes * 2 * dim_);
        if (keep_norms_) run.norm_ranges.resize(nodes * 2);
        if (!run.blocks.reserve(count_ * dim_, 0)) return false;
        if (keep_norms_ && !run.norms.reserve(count_, 0)) return false;
        const bool narrow = std::all_of(ids_, ids_ + count_, [](std::uint64_t id) { return id <= UINT32_MAX; });
        if (narrow) run.ids32.resize(count_);
        else run.ids64.resize(count_);

        double* box = outer_.data();
        std::fill(box, box + dim_, std::numeric_limits<double>::infinity());
        std::fill(box + dim_, box + 2 * dim_, -std::numeric_limits<double>::infinity());
        if (grid) {
            for (const double* group : groups_)
                for (std::size_t j = 0; j < dim_; ++j) {
                    double lo, hi;
                    lane_range(group + j * kBlockLanes, lo, hi);
                    box[j] = std::min(box[j], lo);
                    box[dim_ + j] = std::max(box[dim_ + j], hi);
                }
            grid_order(box);
        } else {
            for (std::size_t r = 0; r < count_; ++r)
                for (std::size_t j = 0; j < dim_; ++j) {
                    const double x = rows_[r * dim_ + j];
                    box[j] = std::min(box[j], x);
                    box[dim_ + j] = std::max(box[dim_ + j], x);
                }
            keys_.resize(count_);
            split(0, leaves, 0);
        }

        double* blocks = run.blocks.data();
        for (std::size_t i = 0; i < count_; ++i) {
            const std::size_t r = perm_[i];
            double* block = blocks + i / kBlockLanes * kBlockLanes * dim_ + i % kBlockLanes;
            if (grid) {
                const double* lane = groups_[r / kBlockLanes] + r % kBlockLanes;
                for (std::size_t j = 0; j < dim_; ++j) block[j * kBlockLanes] = lane[j * kBlockLanes];
            } else {
                const double* row = rows_ + r * dim_;
                for (std::size_t j = 0; j < dim_; ++j) block[j * kBlockLanes] = row[j];
            }
        }
        if (narrow)
            for (std::size_t i = 0; i < count_; ++i) run.ids32[i] = static_cast<std::uint32_t>(ids_[perm_[i]]);
        else
            for (std::size_t i = 0; i < count_; ++i) run.ids64[i] = ids_[perm_[i]];
        if (keep_norms_)
            for (std::size_t i = 0; i < count_; ++i)
                run.norms.data()[i] =
                    grid ? norms_[perm_[i]] : std::sqrt(squared_norm({rows_ + std::size_t{perm_[i]} * dim_, dim_}));
        std::uint32_t next = 0;
        make(run, next, 0, leaves);
        return true;
    }

private:
    // Sorts perm_ by a Z-order code over a grid on `box`: the code's bits,
    // from the top, halve in turn the coordinate whose cells are widest, so
    // that spread coordinates get more of them (as k-d splits would), and
    // there are enough for a few cells per leaf.
    void grid_order(const double* box) {
        const std::size_t leaves = count_ / kBlockLanes;
        const unsigned most = std::min<unsigned>(32, static_cast<unsigned>(std::bit_width(leaves)) + kFinerBits);
        // Halved, so that a range from the least double to the greatest
        // does not overflow.
        std::vector<double> cell(dim_);
        std::vector<unsigned> levels(dim_, 0);
        for (std::size_t j = 0; j < dim_; ++j) cell[j] = box[dim_ + j] * 0.5 - box[j] * 0.5;
        std::uint32_t at[32];  // the coordinate each bit halves, top first
        unsigned bits = 0;
        while (bits < most) {
            const std::size_t j = static_cast<std::size_t>(std::max_element(cell.begin(), cell.end()) - cell.begin());
            if (!(cell[j] > 0.0)) break;
            at[bits++] = static_cast<std::uint32_t>(j);
            ++levels[j];
            cell[j] *= 0.5;
        }
        if (bits == 0) {  // every row alike: any order will do
            std::iota(perm_.begin(), perm_.end(), std::uint32_t{0});
            return;
        }
        // Each coordinate's cell number reaches the code a byte at a time
        // through a table that deposits its bits where they belong.
        struct Part {
            std::size_t coord;
            double scale, top;
            unsigned bytes;
            std::size_t table;  // in deposits_, 256 entries per byte
        };
        std::vector<Part> parts;
        std::vector<unsigned> seen(dim_, 0);
        std::size_t tables = 0;
        for (std::size_t j = 0; j < dim_; ++j)
            if (levels[j] > 0) {
                const double cells = std::ldexp(1.0, static_cast<int>(levels[j]));
                parts.push_back(
                    {j, cells / (box[dim_ + j] * 0.5 - box[j] * 0.5), cells - 1.0, (levels[j] + 7) / 8, tables});
                tables += parts.back().bytes * 256;
            }
        deposits_.assign(tables, 0);
        std::vector<std::size_t> part_of(dim_);
        for (std::size_t p = 0; p < parts.size(); ++p) part_of[parts[p].coord] = p;
        for (unsigned b = 0; b < bits; ++b) {
            // Bit `level` (from the top) of coordinate at[b]'s cell number
            // is the code's bit bits - 1 - b.
            const std::size_t j = at[b];
            const unsigned from_low = levels[j] - 1 - seen[j]++;
            std::uint32_t* table = deposits_.data() + parts[part_of[j]].table + from_low / 8 * 256;
            const std::uint32_t bit = std::uint32_t{1} << (bits - 1 - b);
            for (unsigned v = 0; v < 256; ++v)
                if (v >> from_low % 8 & 1u) table[v] |= bit;
        }
        // A tiny range can make the scale infinite and a cell NaN: any cell
        // in range only costs tightness, never a result.
        entries_.resize(count_);
        for (std::size_t g = 0; g < groups_.size(); ++g) {
            std::uint32_t codes[kBlockLanes] = {};
            for (const Part& part : parts) {
                const double* lanes = groups_[g] + part.coord * kBlockLanes;
                const double low = box[part.coord] * 0.5;
                const std::uint32_t* table = deposits_.data() + part.table;
                for (std::size_t l = 0; l < kBlockLanes; ++l) {
                    const double t = (lanes[l] * 0.5 - low) * part.scale;
                    const auto cell = static_cast<std::uint32_t>(t >= 0.0 ? std::min(t, part.top) : 0.0);
                    std::uint32_t code = table[cell & 255u];
                    for (unsigned byte = 1; byte < part.bytes; ++byte)
                        code |= table[byte * 256 + (cell >> 8 * byte & 255u)];
                    codes[l] |= code;
                }
            }
            for (std::size_t l = 0; l < kBlockLanes; ++l)
                entries_[g * kBlockLanes + l] = std::uint64_t{codes[l]} << 32 | (g * kBlockLanes + l);
        }
        spare_.resize(count_);
        sort_by_code(entries_.data(), count_, bits);
        for (std::size_t i = 0; i < count_; ++i) perm_[i] = static_cast<std::uint32_t>(entries_[i]);
        sorted_ = true;
    }

    // Sorts `n` entries (code << 32 | row) by the top `remaining` bits of
    // their codes, most significant digit first. The digits are sized for a
    // few rows per value, and only a value held by more rows than a leaf is
    // sorted further: the order within a leaf does not matter, so on evenly
    // spread rows one pass does, and crowded cells get finer ones.
    void sort_by_code(std::uint64_t* at, std::size_t n, unsigned remaining) {
        if (n <= kBlockLanes || remaining == 0) return;
        const unsigned digit = std::min({static_cast<unsigned>(std::bit_width(n)) - 3, remaining, 16u});
        const unsigned shift = 32 + remaining - digit;
        const std::uint64_t mask = (std::uint64_t{1} << digit) - 1;
        std::vector<std::uint32_t> starts((std::size_t{1} << digit) + 1, 0);
        for (std::size_t i = 0; i < n; ++i) ++starts[(at[i] >> shift & mask) + 1];
        for (std::size_t c = 1; c < starts.size(); ++c) starts[c] += starts[c - 1];
        std::uint64_t* spare = spare_.data();
        std::vector<std::uint32_t> next(starts.begin(), starts.end() - 1);
        for (std::size_t i = 0; i < n; ++i) spare[next[at[i] >> shift & mask]++] = at[i];
        std::copy(spare, spare + n, at);
        for (std::size_t c = 0; c + 1 < starts.size(); ++c)
            if (starts[c + 1] - starts[c] > kBlockLanes)
                sort_by_code(at + starts[c], starts[c + 1] - starts[c], remaining - digit);
    }

    // Orders perm_[begin...] for a node of `leaves` leaves whose outer box
    // estimate is outer_ at `depth`, and its children in turn.
    void split(std::size_t begin, std::size_t leaves, std::size_t depth) {
        if (leaves == 1) return;
        const double* outer = outer_.data() + depth * 2 * dim_;
        std::size_t axis = 0;
        for (std::size_t j = 1; j < dim_; ++j)
            if (outer[dim_ + j] - outer[j] > outer[dim_ + axis] - outer[axis]) axis = j;
        const std::size_t mid = begin + leaves / 2 * kBlockLanes, end = begin + leaves * kBlockLanes;
        // The keys beside the row numbers: the partition then reads memory in
        // order rather than rows at random.
        for (std::size_t i = begin; i < end; ++i) keys_[i] = {rows_[perm_[i] * dim_ + axis], perm_[i]};
        std::nth_element(keys_.begin() + static_cast<std::ptrdiff_t>(begin),
                         keys_.begin() + static_cast<std::ptrdiff_t>(mid),
                         keys_.begin() + static_cast<std::ptrdiff_t>(end),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (std::size_t i = begin; i < end; ++i) perm_[i] = keys_[i].second;
        const double at = keys_[mid].first;

        double* inner = outer_.data() + (depth + 1) * 2 * dim_;
        std::copy(outer, outer + 2 * dim_, inner);
        inner[dim_ + axis] = at;
        split(begin, leaves / 2, depth + 1);
        std::copy(outer, outer + 2 * dim_, inner);
        inner[axis] = at;
        split(mid, leaves - leaves / 2, depth + 1);
    }

    // Numbers the nodes over `leaves` leaves from `first` on (a node before
    // its children, the left one first) and gives each its box, from the
    // laid-out rows; returns the node's number.
    std::uint32_t make(SpatialRun& run, std::uint32_t& next, std::size_t first, std::size_t leaves) {
        const std::uint32_t node = next++;
        if (leaves == 1) {
            run.nodes[node] = {static_cast<std::uint32_t>(first), 0, 0};
            leaf_box(run, node, first);
            return node;
        }
        const std::size_t half = sorted_ ? grid_split(first, leaves) : leaves / 2;
        const std::uint32_t left = make(run, next, first, half);
        const std::uint32_t right = make(run, next, first + half, leaves - half);
        run.nodes[node] = {static_cast<std::uint32_t>(leaves), left, right};
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

    // Leaves for the left child of a node over `leaves` leaves from `first`
    // in grid order: split where the highest code bit that differs among its
    // rows turns on (to the nearest leaf), so that, as far as leaves allow,
    // each child holds one cell of the grid, not the ends of two.
    std::size_t grid_split(std::size_t first, std::size_t leaves) const {
        const std::uint64_t* begin = entries_.data() + first * kBlockLanes;
        const std::uint64_t* end = begin + leaves * kBlockLanes;
        const std::uint64_t low = begin[0] >> 32, high = end[-1] >> 32;
        if (low == high) return leaves / 2;
        const std::uint64_t bit = std::bit_floor(low ^ high);
        const std::uint64_t* at = std::lower_bound(begin, end, (high & ~(bit - 1)) << 32);
        const auto rows = static_cast<std::size_t>(at - begin);
        return std::clamp<std::size_t>((rows + kBlockLanes / 2) / kBlockLanes, 1, leaves - 1);
    }

    void leaf_box(SpatialRun& run, std::uint32_t node, std::size_t leaf) {
        double* box = run.boxes.data() + node * 2 * dim_;
        const double* block = run.blocks.data() + leaf * kBlockLanes * dim_;
        for (std::size_t j = 0; j < dim_; ++j) lane_range(block + j * kBlockLanes, box[j], box[dim_ + j]);
        if (keep_norms_) {
            const double* norms = run.norms.data() + leaf * kBlockLanes;
            run.norm_ranges[2 * node] = *std::min_element(norms, norms + kBlockLanes);
            run.norm_ranges[2 * node + 1] = *std::max_element(norms, norms + kBlockLanes);
        }
    }

    const double* rows_ = nullptr;       // k-d: row after row
    std::vector<const double*> groups_;  // grid: the groups of rows
    const std::uint64_t* ids_;
    const double* norms_ = nullptr;  // grid: given with the rows
    std::size_t count_, dim_;
    bool keep_norms_;
    std::vector<std::uint32_t>& perm_;     // row numbers in leaf order
    std::vector<std::uint64_t>& entries_;  // grid order: code << 32 | row, sorted
    std::vector<std::uint64_t>& spare_;    // grid order: room to sort in
    std::vector<std::uint32_t> deposits_;  // grid order: see grid_order
    bool sorted_ = false;                  // entries_ in leaf order
    std::vector<std::pair<double, std::uint32_t>> keys_;
    std::vector<double> outer_;  // an outer box estimate per depth
};

}  // namespace

bool build_kd_run(const double* rows, const std::uint64_t* ids, std::size_t count, std::size_t dim, bool keep_norms,
                  SpatialStore::Scratch& scratch, SpatialRun& run) {
    return RunBuilder(rows, ids, count, dim, keep_norms, scratch).build(run);
}

bool build_grid_run(std::vector<const double*> groups, const std::uint64_t* ids, const double* norms, std::size_t dim,
                    bool keep_norms, SpatialStore::Scratch& scratch, SpatialRun& run) {
    return RunBuilder(std::move(groups), ids, norms, dim, keep_norms, scratch).build(run);
}

}  // namespace ombrix
