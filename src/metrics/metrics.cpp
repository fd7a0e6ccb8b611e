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
