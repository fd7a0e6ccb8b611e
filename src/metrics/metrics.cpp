#include "metrics/metrics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "metrics/kernels.hpp"

namespace ombrix {

double euclidean_distance(std::span<const double> a, std::span<const double> b) noexcept {
    const std::size_t n = std::min(a.size(), b.size());
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = a[i] - b[i];
        s += d * d;
    }
    return std::sqrt(s);
}

double dot_product(std::span<const double> a, std::span<const double> b) noexcept {
    const std::size_t n = std::min(a.size(), b.size());
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s += a[i] * b[i];
    return s;
}

double squared_norm(std::span<const double> v) noexcept {
    double s = 0.0;
    for (double x : v) s += x * x;
    return s;
}

double cosine_similarity(std::span<const double> a, std::span<const double> b) noexcept {
    const double d = dot_product(a, b);
    return d / (std::sqrt(squared_norm(a)) * std::sqrt(squared_norm(b)));
}

MetricFn metric_function(Metric metric) noexcept {
    switch (metric) {
        case Metric::InnerProduct: return &dot_product;
        case Metric::Cosine: return &cosine_similarity;
        case Metric::Euclidean: break;
    }
    return &euclidean_distance;
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

namespace {

// Plain arguments, not an optional: the graph scores every batch through
// here, and an optional built on the stack and read back as one word would
// wait on the store of its flag.
void score_groups(const PreparedQuery& query, const double* const* vectors, const double* norms,
                  std::size_t count, double* out, bool bounded, double bound) noexcept {
    for (std::size_t start = 0; start < count; start += kernels::kLanes)
        kernels::score(query, vectors + start, norms ? norms + start : nullptr,
                       std::min(kernels::kLanes, count - start), out + start, bounded, bound);
}

}  // namespace

void score_batch(const PreparedQuery& query, const double* const* vectors, const double* norms,
                 std::size_t count, double* out) noexcept {
    score_groups(query, vectors, norms, count, out, false, 0.0);
}

void score_batch(const PreparedQuery& query, const double* const* vectors, const double* norms,
                 std::size_t count, double* out, std::optional<double> bound) noexcept {
    const bool bounded = bound.has_value() && query.metric == Metric::Euclidean;
    score_groups(query, vectors, norms, count, out, bounded, bounded ? *bound : 0.0);
}

void score_contiguous(const PreparedQuery& query, const double* first, std::size_t dim,
                      const double* norms, std::size_t count, double* out,
                      std::optional<double> bound) noexcept {
    const double* group[kernels::kLanes];
    for (std::size_t start = 0; start < count; start += kernels::kLanes) {
        const std::size_t n = std::min(kernels::kLanes, count - start);
        for (std::size_t l = 0; l < n; ++l) group[l] = first + (start + l) * dim;
        score_batch(query, group, norms ? norms + start : nullptr, n, out + start, bound);
    }
}

}  // namespace ombrix
