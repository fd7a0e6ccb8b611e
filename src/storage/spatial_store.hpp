// Vectors of few coordinates kept in spatial order, so that a search can
// skip whole regions: runs organised as trees (k-d or Z-order) whose leaves hold
// kernels::kBlockLanes rows coordinate-major (as the block kernels read
// them), each row's id beside it and a box around every node; a small tail
// of recent rows that waits row by row until it is organised; and the rows
// with a NaN or an infinite coordinate, kept apart (no box holds them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "metrics/kernels.hpp"
#include "storage/page_buffer.hpp"

namespace ombrix {

// One organised run: rows in the order of its tree's leaves.
struct SpatialRun {
    struct Node {
        std::uint32_t leaf;  // a leaf: its block; otherwise the number of leaves under it
        std::uint32_t left;  // children, 0 for a leaf (the root is never a child)
        std::uint32_t right;
    };

    std::size_t count = 0;             // rows, a multiple of kBlockLanes
    PageBuffer blocks;                 // leaf after leaf, kBlockLanes * dim values each
    PageBuffer norms;                  // with norms kept: per row, in leaf order
    std::vector<std::uint32_t> ids32;  // per row, when every id fits 32 bits
    std::vector<std::uint64_t> ids64;  // per row otherwise
    std::vector<Node> nodes;           // nodes[0] is the root
    std::vector<double> boxes;         // per node: dim lows, then dim highs, of its rows
    std::vector<double> norm_ranges;   // with norms kept: per node the least and greatest norm

    bool is_leaf(std::uint32_t node) const noexcept { return nodes[node].left == 0; }
    std::uint64_t id(std::size_t row) const noexcept { return ids64.empty() ? ids32[row] : ids64[row]; }
};

class SpatialStore {
public:
    // Bytes of tail rows that trigger organising: small enough that scanning
    // them costs a query little, large enough that each row is organised
    // few times. kTailLimit asks for this.
    static constexpr std::size_t kTailBytes = std::size_t{384} << 10;
    static constexpr std::size_t kTailLimit = 0;

    SpatialStore() noexcept = default;
    // With `keep_norms`, each row's sqrt(squared_norm) as well (cosine).
    // `tail_limit` (rows, at least kBlockLanes) is kTailLimit but in tests.
    SpatialStore(std::size_t dim, bool keep_norms, std::size_t tail_limit = kTailLimit) noexcept;

    std::size_t dim() const noexcept { return dim_; }
    bool keeps_norms() const noexcept { return keep_norms_; }
    std::size_t size() const noexcept { return count_; }

    // Makes room for `count` rows stored back to back, so that appending
    // them cannot fail. False, and nothing changed, when memory is short.
    [[nodiscard]] bool reserve(const double* rows, std::size_t count) noexcept;
    // Appends rows for which room was reserved; they take the next ids.
    void append(const double* rows, std::size_t count) noexcept;
    // reserve(row, 1), append(row, 1) and organise() in one, quicker; false,
    // and nothing changed, when memory is short.
    [[nodiscard]] bool insert(const double* row) noexcept;
    // Organises the tail when it has grown to the limit. Only speed depends
    // on it: when memory is short the rows simply stay where they are.
    void organise() noexcept;

    const std::vector<SpatialRun>& runs() const noexcept { return runs_; }

    // Work space for organising (row numbers, sort keys).
    struct Scratch {
        std::vector<std::uint32_t> perm;
        std::vector<std::uint64_t> entries, spare;
    };

    // Rows scanned without boxes: the tail, then the rows apart. The tail's
    // first `groups` groups of kBlockLanes rows are also in `blocks`,
    // coordinate-major.
    struct Rows {
        const double* rows;
        const std::uint64_t* ids;
        const double* norms;  // null without norms
        std::size_t count;
        const double* blocks = nullptr;
        std::size_t groups = 0;
    };
    Rows tail() const noexcept {
        return {
            tail_.data(),     tail_ids_.data(),    norms_or_null(tail_norms_),
            tail_ids_.size(), tail_blocks_.data(), tail_blocks_.size() / (kernels::kBlockLanes * dim_ + (dim_ == 0))};
    }
    Rows apart() const noexcept {
        return {apart_.data(), apart_ids_.data(), norms_or_null(apart_norms_), apart_ids_.size()};
    }

private:
    const double* norms_or_null(const std::vector<double>& norms) const noexcept {
        return keep_norms_ ? norms.data() : nullptr;
    }
    [[gnu::noinline]] bool insert_slowly(const double* row) noexcept;
    bool organise_tail();
    void pack_tail() noexcept;

    std::size_t dim_ = 0;
    bool keep_norms_ = false;
    std::size_t tail_limit_ = kTailLimit;
    std::size_t count_ = 0;
    std::vector<SpatialRun> runs_;  // oldest first; runs of one size are merged a few at a time
    std::vector<double> tail_;      // finite rows not yet organised, row-major
    std::vector<std::uint64_t> tail_ids_;
    std::vector<double> tail_norms_;
    // The tail's complete groups, packed while the tail is below its limit
    // (a large batch is organised at once instead).
    std::vector<double> tail_blocks_;
    std::vector<double> apart_;  // rows with a NaN or an infinity, row-major
    std::vector<std::uint64_t> apart_ids_;
    std::vector<double> apart_norms_;
    Scratch scratch_;
};

}  // namespace ombrix
