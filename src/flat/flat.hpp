// The exact index: every query is scored against every stored vector, kept
// in complete groups coordinate-major (BlockedRows) so that the scan is one
// sequential stream; the last, incomplete group waits row by row until it
// fills. Vectors of up to 32 coordinates are kept in spatial order instead
// (SpatialStore), where a search skips the regions too far to matter; from
// 80 coordinates a pruning copy joins the blocks when a probe says it pays.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "flat/pruning_copy.hpp"
#include "metrics/metrics.hpp"
#include "storage/blocked_rows.hpp"
#include "storage/spatial_store.hpp"
#include "storage/stop_check.hpp"
#include "storage/vector_batch.hpp"

namespace ombrix {

enum class FlatError : std::uint8_t {
    EmptyIndex,         // search of an index without vectors
    EmptyVectors,       // create with no vectors
    DimensionMismatch,  // a vector whose length is not dim (a broken precondition)
    OutOfMemory,
    Interrupted,  // create stopped at the caller's request
};

const char* to_string(FlatError error) noexcept;

class Flat {
public:
    // `tail_limit`: see SpatialStore (tests make it small).
    Flat(std::uint64_t dim, Metric metric, std::size_t tail_limit = SpatialStore::kTailLimit) noexcept
        : dim_(dim),
          metric_(metric),
          spatial_(dim >= 1 && dim <= kSpatialDims),
          vectors_(spatial_ ? 0 : static_cast<std::size_t>(dim), metric == Metric::Cosine,
                   BlockedRows::KeepRows::IncompleteGroup),
          store_(spatial_ ? static_cast<std::size_t>(dim) : 0, metric == Metric::Cosine, tail_limit),
          copy_(static_cast<std::size_t>(dim), metric) {}

    std::uint64_t dim() const noexcept { return dim_; }
    Metric metric() const noexcept { return metric_; }
    // Vectors stored; with dim 0 nothing is ever visible.
    std::uint64_t size() const noexcept { return spatial_ ? store_.size() : vectors_.size(); }

    // Appends one vector of length dim; on failure nothing changes.
    [[nodiscard]] std::optional<FlatError> insert(std::span<const double> vector) noexcept;
    // Appends the vectors in order. A vector of the wrong length stops the
    // call with DimensionMismatch, keeping the `stored` vectors before it.
    // OutOfMemory stores nothing; Interrupted keeps the `stored` vectors.
    [[nodiscard]] std::optional<FlatError> create(const VectorBatch& vectors, std::size_t& stored,
                                                  StopCheck stop = {}) noexcept;
    // The same for `count` vectors of length `length` stored back to back.
    [[nodiscard]] std::optional<FlatError> create(const double* rows, std::size_t count, std::size_t length,
                                                  std::size_t& stored, StopCheck stop = {}) noexcept;
    // The k best (value, id) pairs in ranking order. The query must have length dim.
    [[nodiscard]] std::optional<FlatError> search(std::span<const double> query, std::uint64_t k,
                                                  std::vector<ScoredId>& out) const noexcept;

    // The pruning copy, when the data make one pay (for tests and benchmarks).
    const PruningCopy& pruning_copy() const noexcept { return copy_; }

    // What a search read, in bytes: of the stored vectors in whole groups,
    // of the stored vectors quarter by quarter (scattered), and of the copy.
    struct Reads {
        std::uint64_t stored = 0, scattered = 0, copy = 0;
    };
    [[nodiscard]] std::optional<FlatError> search(std::span<const double> query, std::uint64_t k,
                                                  std::vector<ScoredId>& out, Reads* reads) const noexcept;

private:
    // Keeps the pruning copy in step after an append, and drops a new one
    // that a probe of a few searches finds not to pay.
    void update_copy() noexcept;
    // search() over the first `groups` complete groups only (the probe's).
    std::optional<FlatError> search_groups(std::span<const double> query, std::uint64_t k, std::vector<ScoredId>& out,
                                           Reads& reads, std::size_t groups) const noexcept;
    std::optional<double> warm_limit(const PruningCopy::Query& pruned, const PreparedQuery& prepared,
                                     std::size_t wanted, Reads& read) const noexcept;
    std::optional<FlatError> create_valid(const double* rows, std::size_t valid, std::size_t total, std::size_t& stored,
                                          StopCheck stop) noexcept;

    // Up to this many coordinates the vectors live in the spatial store.
    static constexpr std::uint64_t kSpatialDims = 32;

    std::uint64_t dim_;
    Metric metric_;
    bool spatial_;         // the vectors are in store_, not vectors_
    BlockedRows vectors_;  // with norms under cosine
    SpatialStore store_;
    PruningCopy copy_;  // of the complete groups, when it pays
};

}  // namespace ombrix
