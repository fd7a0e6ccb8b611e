// Metric names, norms and prepared queries.
#include "metrics/metrics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ombrix {

double squared_norm(std::span<const double> v) noexcept {
    double s = 0.0;
    for (double x : v) s += x * x;
    return s;
}

void row_norms(const double* rows, std::size_t count, std::size_t dim, double* norms) noexcept {
    // One row's sum is a chain of dependent adds; eight rows side by side
    // keep the adders busy, each row still summed left to right.
    constexpr std::size_t kRows = 8;
    std::size_t r = 0;
    for (; r + kRows <= count; r += kRows) {
        const double* x = rows + r * dim;
        double s[kRows] = {};
        for (std::size_t j = 0; j < dim; ++j)
            for (std::size_t i = 0; i < kRows; ++i) s[i] += x[i * dim + j] * x[i * dim + j];
        for (std::size_t i = 0; i < kRows; ++i) norms[r + i] = std::sqrt(s[i]);
    }
    for (; r < count; ++r) norms[r] = std::sqrt(squared_norm({rows + r * dim, dim}));
}

std::optional<Metric> hnsw_metric_from_name(std::string_view name) noexcept {
    if (name == "euclidean") return Metric::Euclidean;
    if (name == "angular") return Metric::Cosine;
    if (name == "inner_product") return Metric::InnerProduct;
    return std::nullopt;
}

Metric flat_metric_from_name(std::optional<std::string_view> name) noexcept {
    if (name == "inner_product") return Metric::InnerProduct;
    if (name == "cosine") return Metric::Cosine;
    return Metric::Euclidean;
}

double squared_threshold(double bound) noexcept {
    if (!(bound > 0.0)) return 0.0;
    constexpr double infinity = std::numeric_limits<double>::infinity();
    // sqrt is monotonic and correctly rounded, so bound * bound is within a
    // step or two of the answer.
    double t = bound * bound;
    while (t > 0.0 && std::sqrt(std::nextafter(t, 0.0)) >= bound) t = std::nextafter(t, 0.0);
    while (std::sqrt(t) < bound) t = std::nextafter(t, infinity);
    return t;
}

PreparedQuery prepare_query(Metric metric, std::span<const double> query, std::size_t dim) noexcept {
    PreparedQuery q;
    q.data = query.data();
    q.size = query.size();
    q.common = std::min(query.size(), dim);
    q.metric = metric;
    if (metric == Metric::Cosine) q.norm = std::sqrt(squared_norm(query));
    return q;
}

}  // namespace ombrix
