// Distance metrics shared by both indexes.
//
// Every sum starts at +0.0 and adds one rounded term at a time in index
// order, so results are bit-identical to plain left-to-right double
// arithmetic. Batched kernels keep that guarantee by putting one stored
// vector in each SIMD lane; they never split one sum across lanes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace ombrix {

// The Euclidean distance of the common prefix of a and b.
double euclidean_distance(std::span<const double> a, std::span<const double> b) noexcept;
// The dot product of the common prefix of a and b.
double dot_product(std::span<const double> a, std::span<const double> b) noexcept;
// The dot product of the common prefix divided by the product of the two
// whole vectors' norms; 0/0 (a NaN) for a zero or empty vector.
double cosine_similarity(std::span<const double> a, std::span<const double> b) noexcept;

using MetricFn = double (*)(std::span<const double>, std::span<const double>) noexcept;

// A search result before conversion: a metric value and a vector id.
struct ScoredId {
    double distance;
    std::uint64_t id;
};

// The ranking order of results: ascending value, NaN after every number and
// equal to another NaN, -0.0 equal to +0.0, ties by smaller id.
inline bool ranks_before(const ScoredId& a, const ScoredId& b) noexcept {
    const bool a_nan = a.distance != a.distance, b_nan = b.distance != b.distance;
    if (a_nan || b_nan) return a_nan && b_nan ? a.id < b.id : b_nan;
    if (a.distance != b.distance) return a.distance < b.distance;
    return a.id < b.id;
}

enum class Metric : std::uint8_t { Euclidean, InnerProduct, Cosine };

MetricFn metric_function(Metric metric) noexcept;

// Name tables. The graph index accepts exactly three names; the flat index
// maps two names and sends everything else (or no name) to Euclidean.
std::optional<Metric> hnsw_metric_from_name(std::string_view name) noexcept;
Metric flat_metric_from_name(std::optional<std::string_view> name) noexcept;

// Sum of squares of v, left to right: the squared norm used by cosine.
double squared_norm(std::span<const double> v) noexcept;

// The smallest t with sqrt(t) >= bound, for a bound that is not NaN: a sum
// of squares s (>= 0, or NaN) then has s >= t exactly when sqrt(s) >= bound,
// so a Euclidean scan can compare partial sums without taking roots.
double squared_threshold(double bound) noexcept;

// One query prepared for batched scoring against stored vectors that all
// have length `dim`.
struct PreparedQuery {
    const double* data = nullptr;
    std::size_t size = 0;      // query length
    std::size_t common = 0;    // min(size, dim): coordinates that take part
    double norm = 0.0;         // sqrt(squared_norm(query)), cosine only
    Metric metric = Metric::Euclidean;
};

PreparedQuery prepare_query(Metric metric, std::span<const double> query, std::size_t dim) noexcept;

// Scores `count` stored vectors: out[i] = metric(query, vectors[i]), bit for
// bit. `norms[i]` must hold sqrt(squared_norm(vectors[i])) under cosine and
// may be null otherwise.
void score_batch(const PreparedQuery& query, const double* const* vectors,
                 const double* norms, std::size_t count, double* out) noexcept;

// The same, except that under Euclidean, when `bound` is given, a vector
// whose partial sum already shows a distance >= *bound may stop early; its
// out[i] is then a value >= *bound that is smaller than or equal to the true
// distance. Callers pass a bound only where any value >= bound is rejected
// whatever it is exactly.
void score_batch(const PreparedQuery& query, const double* const* vectors,
                 const double* norms, std::size_t count, double* out,
                 std::optional<double> bound) noexcept;

// The same for `count` vectors stored back to back with stride `dim`.
void score_contiguous(const PreparedQuery& query, const double* first, std::size_t dim,
                      const double* norms, std::size_t count, double* out,
                      std::optional<double> bound = std::nullopt) noexcept;

}  // namespace ombrix
