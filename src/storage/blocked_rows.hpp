// Stored vectors laid out for the scans that read them: every complete group
// of kernels::kBlockLanes vectors coordinate-major, and rows kept row by row.
#pragma once

#include <cstddef>
#include <cstdint>

#include "metrics/kernels.hpp"
#include "metrics/metrics.hpp"
#include "storage/page_buffer.hpp"

namespace ombrix {

// Coordinate j of lane l of group g lies at group(g)[j * kBlockLanes + l]: one
// SIMD lane follows one vector, so scoring every vector is one sequential
// stream through the block kernel. Which vectors are also kept row by row is
// the user's choice: all of them (a graph walk reads single rows at random),
// or only those of the incomplete last group, which wait there until it
// fills, or none: then rows come a whole group at a time, from wherever the
// user keeps them. Everything lives in page buffers (huge pages when large).
class BlockedRows {
public:
    enum class KeepRows : std::uint8_t { All, IncompleteGroup, None };
    // How the buffers grow: doubling (few copies while they fill), or by an
    // eighth (at most about an eighth unused, for many small stores).
    enum class Growth : std::uint8_t { Double, Eighth };

    BlockedRows() noexcept = default;
    // Rows of `dim` values; with `keep_norms`, each row's sqrt(squared_norm)
    // as well (what cosine scoring divides by).
    BlockedRows(std::size_t dim, bool keep_norms, KeepRows keep = KeepRows::All,
                Growth growth = Growth::Double) noexcept
        : dim_(dim), keep_norms_(keep_norms), keep_(keep), growth_shift_(growth == Growth::Eighth ? 3 : 0) {}

    std::size_t dim() const noexcept { return dim_; }
    std::size_t size() const noexcept { return count_; }
    // Rows in complete groups (none without coordinates), a multiple of
    // kBlockLanes.
    std::size_t grouped() const noexcept { return dim_ > 0 ? count_ / kernels::kBlockLanes * kernels::kBlockLanes : 0; }

    // Makes room for `more` rows, so that appending them cannot fail. False,
    // and nothing changed that is visible, when memory is short.
    [[nodiscard]] bool reserve(std::size_t more) noexcept;
    // Appends `count` rows of dim values stored back to back; room must have
    // been reserved (KeepRows::All or IncompleteGroup).
    void append(const double* rows, std::size_t count) noexcept;
    // Appends kBlockLanes rows of dim values, rows[l] the l-th, as one
    // complete group; room must have been reserved (KeepRows::None).
    void append_group(const double* const* rows) noexcept;
    // Appends one row. False, and nothing changed, when memory is short.
    [[nodiscard]] bool append(const double* row) noexcept {
        if (!reserve(1)) return false;
        append(row, 1);
        return true;
    }
    // Forgets the rows from `count` on (KeepRows::All only: the rows of a
    // group it reopens must still be there to pack it again).
    void truncate(std::size_t count) noexcept {
        if (count < count_) count_ = count;
    }

    // Row `id` (KeepRows::All).
    const double* row(std::size_t id) const noexcept { return rows_.data() + id * dim_; }
    // The rows past the complete groups, back to back.
    const double* rest() const noexcept { return keep_ == KeepRows::All ? row(grouped()) : rows_.data(); }
    // Complete group `g`, coordinate-major.
    const double* group(std::size_t g) const noexcept { return blocks_.data() + g * kernels::kBlockLanes * dim_; }
    // Per-row norms, or nullptr when they are not kept.
    const double* norms() const noexcept { return keep_norms_ ? norms_.data() : nullptr; }

    // out[i] = the query's value for row i, for every row: the complete
    // groups stream through the block kernel, the rest go through the row
    // kernel; both give the bits of the row kernel.
    void score_all(const PreparedQuery& query, double* out) const noexcept;

private:
    std::size_t dim_ = 0;
    bool keep_norms_ = false;
    KeepRows keep_ = KeepRows::All;
    unsigned growth_shift_ = 0;  // see PageBuffer::reserve
    std::size_t count_ = 0;
    PageBuffer rows_;    // dim values per kept row, row after row
    PageBuffer blocks_;  // the complete groups, coordinate-major
    PageBuffer norms_;   // with keep_norms_: one per row
};

// One query's pass over the complete groups of a BlockedRows, each group
// scored by the block kernel chosen once for the pass's size and metric.
class GroupScan {
public:
    GroupScan(const BlockedRows& rows, const PreparedQuery& query) noexcept
        : rows_(rows), query_(query), groups_(rows.grouped() / kernels::kBlockLanes), kernel_(select(rows, query)) {}

    std::size_t groups() const noexcept { return groups_; }

    // Scores group `g` into values[0, kBlockLanes) as kernels::BlockKernel
    // does, with its flags, limit and result: squared distances under
    // Euclidean, dot products (divided by the norms under cosine) otherwise.
    std::uint64_t score(std::size_t g, unsigned flags, double limit, double* values) const noexcept {
        const double* norms = rows_.norms();
        return kernel_(query_.data, rows_.group(g), query_.common, norms ? norms + g * kernels::kBlockLanes : nullptr,
                       query_.norm, flags, limit, values);
    }

private:
    static kernels::BlockKernel select(const BlockedRows& rows, const PreparedQuery& query) noexcept {
        const kernels::Variant& kernel = kernels::for_scan(rows.grouped() * rows.dim() * sizeof(double));
        return query.metric == Metric::Euclidean ? kernel.block_euclidean : kernel.block_dot;
    }

    const BlockedRows& rows_;
    const PreparedQuery& query_;
    std::size_t groups_;
    kernels::BlockKernel kernel_;
};

}  // namespace ombrix
