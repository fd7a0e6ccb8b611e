// The metric functions as defined: one plain left-to-right loop each. The
// indexes score through the kernels; these are the reference that every
// kernel, and both indexes, are tested against.
#pragma once

#include <span>

#include "metrics/metrics.hpp"

namespace ombrix {

// The Euclidean distance of the common prefix of a and b.
double euclidean_distance(std::span<const double> a, std::span<const double> b) noexcept;
// The dot product of the common prefix of a and b.
double dot_product(std::span<const double> a, std::span<const double> b) noexcept;
// The dot product of the common prefix divided by the product of the two
// whole vectors' norms; 0/0 (a NaN) for a zero or empty vector.
double cosine_similarity(std::span<const double> a, std::span<const double> b) noexcept;

using MetricFn = double (*)(std::span<const double>, std::span<const double>) noexcept;

// The function of `metric`, query first, stored vector second.
MetricFn metric_function(Metric metric) noexcept;

}  // namespace ombrix
