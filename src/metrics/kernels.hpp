// Batched scoring kernels behind score_batch. Internal to the metrics module.
#pragma once

#include <cstddef>

#include "metrics/metrics.hpp"

namespace ombrix::kernels {

// Stored vectors scored together: one lane each, each lane summing its own
// vector left to right.
inline constexpr std::size_t kLanes = 16;

// Scores count <= kLanes vectors (see score_batch). With `bounded`, Euclidean
// lanes may stop once every lane's partial distance is >= bound.
void score(const PreparedQuery& query, const double* const* vectors, const double* norms,
           std::size_t count, double* out, bool bounded, double bound) noexcept;

}  // namespace ombrix::kernels
