// A second, smaller copy of the flat index's complete groups that lets a
// search prove, before reading a vector, that it cannot enter the result.
//
// Each vector is kept as its leading coordinates in an orthonormal basis fit
// to the data (pca.hpp), strongest first, in float32, in groups of
// kernels::kBlockLanes coordinate-major like the stored groups, plus an
// interval holding the energy of the coordinates left out at a few
// checkpoints ("tails") and an upper bound on its norm. A search reads a group's copy checkpoint by
// checkpoint, bounds the rest of each lane's value from the tails, and drops
// the lanes whose bound exceeds the current k-th value by more than a proven
// margin; the lanes left are scored exactly from the stored float64 vectors,
// as the plain scan scores them, so every value keeps its bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "metrics/metrics.hpp"
#include "storage/blocked_rows.hpp"
#include "storage/page_buffer.hpp"

namespace ombrix {

class PruningCopy {
public:
    static constexpr std::size_t kMaxLevels = 8;

    PruningCopy() noexcept = default;
    PruningCopy(std::size_t dim, Metric metric) noexcept : dim_(dim), metric_(metric) {}

    // Brings the copy in step with `rows` after an append: fits a new basis
    // when the complete groups have doubled since the last fit, otherwise
    // transforms the groups completed since. True when it has just fitted:
    // the copy then covers only the first groups() (enough for a probe to
    // tell whether it pays), and the caller either completes it (extend())
    // or drops it. Never fails: short of memory, the copy is dropped and
    // searches scan plainly.
    bool update(const BlockedRows& rows) noexcept;
    // Transforms the complete groups not yet in the copy; false (the copy
    // dropped) when memory runs short.
    bool extend(const BlockedRows& rows) noexcept;
    // Forgets the copy until the next fit (it did not pay).
    void drop() noexcept;

    // The copy covers the complete groups [0, groups()).
    bool active() const noexcept { return groups_ > 0; }
    std::size_t groups() const noexcept { return groups_; }
    std::size_t kept() const noexcept { return m_; }
    // Bytes held (for the planner's and the tests' accounting).
    std::size_t bytes() const noexcept { return groups_ * stride_ * sizeof(float) + flagged_.size() * 4; }

    // A query transformed for one search.
    struct Query {
        std::vector<double> y;          // the leading coordinates
        double tails[kMaxLevels] = {};  // energy left out at each checkpoint, as a norm
        double low[kMaxLevels] = {};    // ... and an interval that holds it exactly
        double high[kMaxLevels] = {};
        double norm = 0.0;         // an upper bound on the query's norm
        double margin_norm = 0.0;  // margin_ * norm
        double exact_norm = 0.0;   // sqrt(squared_norm(query)), as cosine divides by it
        Metric metric = Metric::Euclidean;
    };
    // False when the query must take the plain path: a NaN or infinity, a
    // norm outside [2^-100, 2^100], or no memory.
    [[nodiscard]] bool prepare(std::span<const double> query, Query& out) const noexcept;

    // The lanes of group g that may still enter a result whose current k-th
    // value is `limit` (under Euclidean the squared threshold: a lane enters
    // only with a sum of squares below it; otherwise the k-th value itself),
    // the lanes kept out of the copy (non-finite or extreme) always among
    // them. `norms`: the group's stored norms under cosine. `rows` receives
    // the copy's coordinates read.
    std::uint32_t live(std::size_t g, const Query& query, double limit, const double* norms,
                       std::size_t& rows) const noexcept;

    // Rough values of the lanes of group g from an early checkpoint, for
    // choosing candidates (no margin; +inf for the lanes kept out).
    void estimates(std::size_t g, const Query& query, double* out) const noexcept;

    // The relative margin (see the .cpp file) and the fit's orthonormality
    // error, for tests.
    double margin() const noexcept { return margin_; }

private:
    bool may_pay(const BlockedRows& rows, std::size_t m) const noexcept;
    bool fit(const BlockedRows& rows, std::size_t probed) noexcept;
    bool transform(const BlockedRows& rows, std::size_t first, std::size_t last) noexcept;

    std::size_t dim_ = 0;
    Metric metric_ = Metric::Euclidean;
    std::size_t m_ = 0;                   // leading coordinates kept
    std::size_t levels_ = 0;              // checkpoints
    std::size_t ends_[kMaxLevels] = {};   // checkpoint l: after coordinates [0, ends_[l])
    std::size_t stride_ = 0;              // floats per group: (m + 2 levels + 1) lanes-wide rows
    std::vector<double> basis_;           // m rows of dim: the transform (float32 values)
    std::vector<float> basis32_;          // the same, zero rows padding it for the transform kernel
    double margin_ = 0.0;                 // K of the margin argument
    double tail_error_ = 0.0;             // e3x of the margin argument
    double query_tail_error_ = 0.0;       // e3q
    std::size_t groups_ = 0;              // groups transformed
    std::size_t fitted_at_ = 0;           // complete groups at the last fit attempt
    PageBuffer store_;                    // groups_ * stride_ floats
    std::vector<std::uint32_t> flagged_;  // per group: lanes kept out of the copy
};

// Scores, exactly as the block kernel does, the lanes of group `block` that
// share a quarter (8 lanes, one cache line per coordinate) with a lane of
// `lanes`, reading only those quarters: values[l] the squared distance
// (Euclidean) or the dot product (divided by query.norm * norms[l] under
// cosine). Returns the lanes scored.
std::uint32_t score_quarters(const PreparedQuery& query, const double* block, std::size_t dim, const double* norms,
                             std::uint32_t lanes, double* values) noexcept;

}  // namespace ombrix
