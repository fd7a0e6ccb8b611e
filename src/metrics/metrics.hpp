// The metrics both indexes rank by: their names, a query prepared for
// scoring, and the arithmetic the scans share.
//
// Every sum starts at +0.0 and adds one rounded term at a time in index
// order, so results are bit-identical to plain left-to-right double
// arithmetic (reference.hpp). The kernels (kernels.hpp) keep that guarantee
// by putting one stored vector in each SIMD lane; they never split one sum
// across lanes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

// Results and their order; every user of a metric ranks by it.
#include "metrics/ranking.hpp"

namespace ombrix {

enum class Metric : std::uint8_t { Euclidean, InnerProduct, Cosine };

// Name tables. The graph index accepts exactly three names; the flat index
// maps two names and sends everything else (or no name) to Euclidean.
std::optional<Metric> hnsw_metric_from_name(std::string_view name) noexcept;
Metric flat_metric_from_name(std::optional<std::string_view> name) noexcept;

// Sum of squares of v, left to right: the squared norm used by cosine.
double squared_norm(std::span<const double> v) noexcept;
// norms[r] = sqrt(squared_norm(row r)) for `count` rows of `dim` values back
// to back, the same bits, several rows at a time.
void row_norms(const double* rows, std::size_t count, std::size_t dim, double* norms) noexcept;

// The smallest t with sqrt(t) >= bound, for a bound that is not NaN: a sum
// of squares s (>= 0, or NaN) then has s >= t exactly when sqrt(s) >= bound,
// so a Euclidean scan can compare partial sums without taking roots.
double squared_threshold(double bound) noexcept;

// One query prepared for batched scoring against stored vectors that all
// have length `dim`.
struct PreparedQuery {
    const double* data = nullptr;
    std::size_t size = 0;    // query length
    std::size_t common = 0;  // min(size, dim): coordinates that take part
    double norm = 0.0;       // sqrt(squared_norm(query)), cosine only
    Metric metric = Metric::Euclidean;
};

PreparedQuery prepare_query(Metric metric, std::span<const double> query, std::size_t dim) noexcept;

}  // namespace ombrix
