// Exact k-nearest search over vectors kept in spatial order: boxes whose
// lower bound shows that none of their vectors can enter the result are
// skipped, the rest scored exactly as the plain scan scores them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "metrics/metrics.hpp"
#include "storage/spatial_store.hpp"

namespace ombrix {

// A lower bound of the query's value for every finite vector x with
// box[j] <= x[j] <= box[dim + j] (and, under cosine, a norm within
// norm_range[0..1]): never above the value the scan computes for x, bit for
// bit; -infinity where nothing is known. Under Euclidean it is in the
// squared domain the block kernel sums in.
double box_bound(const PreparedQuery& query, const double* box, std::size_t dim, const double* norm_range) noexcept;

// How a search visits the runs. Boxes: nearest box first, stopping once
// the next box's bound ranks after the k-th value. BoxesThenScan: the same
// until it has scored a small share of the leaves (a sign that the boxes cut
// off little), then every leaf not yet scored, in storage order. Scan: every
// leaf in storage order. A query with a NaN or an infinity always scans.
enum class SpatialPlan : std::uint8_t { Boxes, BoxesThenScan, Scan };

// The k = `wanted` best (value, id) pairs of `store` in ranking order, into
// `out`; the same whatever the plan. False when memory is short.
[[nodiscard]] bool spatial_search(const SpatialStore& store, const PreparedQuery& query, std::size_t wanted,
                                  SpatialPlan plan, std::vector<ScoredId>& out) noexcept;

}  // namespace ombrix
