// Stored vectors twice over: row by row, for the scattered reads of a graph
// walk, and each full group of kernels::kBlockLanes rows again
// coordinate-major, for scoring every vector in one stream.
#pragma once

#include <cstddef>
#include <vector>

#include "metrics/metrics.hpp"
#include "metrics/page_buffer.hpp"

namespace ombrix {

class BlockedRows {
public:
    BlockedRows() noexcept = default;
    // Rows of `dim` values; with `keep_norms`, each row's sqrt(squared_norm)
    // as well (what cosine scoring divides by).
    BlockedRows(std::size_t dim, bool keep_norms) noexcept : dim_(dim), keep_norms_(keep_norms) {}

    std::size_t dim() const noexcept { return dim_; }
    std::size_t size() const noexcept { return count_; }

    // Appends one row of dim values. False, and nothing changed, when memory
    // is short.
    [[nodiscard]] bool append(const double* row) noexcept;
    // Forgets the rows from `count` on.
    void truncate(std::size_t count) noexcept;

    const double* row(std::size_t id) const noexcept { return rows_.data() + id * dim_; }
    // Per-row norms, or nullptr when they are not kept.
    const double* norms() const noexcept { return keep_norms_ ? norms_.data() : nullptr; }

    // out[i] = the query's distance to row i, for every row: the full groups
    // stream through the block kernel, the rest go through the row kernel;
    // both give the bits of the row kernel.
    void score_all(const PreparedQuery& query, double* out) const noexcept;

private:
    std::size_t dim_ = 0;
    bool keep_norms_ = false;
    std::size_t count_ = 0;
    // dim values per row, row after row; on huge pages, since a graph walk
    // reads rows at random.
    PageBuffer rows_;
    // The full groups again, coordinate-major: scoring every row streams them
    // through the block kernel at about half the cost of the row kernel.
    PageBuffer blocks_;
    std::vector<double> norms_;
};

}  // namespace ombrix
