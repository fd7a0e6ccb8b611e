// Shared helpers of the exact index's tests: special values, the metrics,
// comparison of values by their bits and the reference ranking (every stored
// vector scored by the scalar metric functions, then sorted).
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "metrics/ranking.hpp"
#include "metrics/reference.hpp"

namespace ombrix::flat_test {

inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr Metric kMetrics[] = {Metric::Euclidean, Metric::InnerProduct, Metric::Cosine};

// Any NaN equals any NaN: the sign and payload of a NaN are not part of a result.
inline bool same_bits(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

inline std::vector<ScoredId> reference_search(Metric metric, const std::vector<std::vector<double>>& stored,
                                              const std::vector<double>& q, std::size_t k) {
    std::vector<ScoredId> all;
    const MetricFn f = metric_function(metric);
    for (std::size_t i = 0; i < stored.size(); ++i) all.push_back({f(q, stored[i]), i});
    std::stable_sort(all.begin(), all.end(), ranks_before);
    all.resize(std::min(k, all.size()));
    return all;
}

}  // namespace ombrix::flat_test
