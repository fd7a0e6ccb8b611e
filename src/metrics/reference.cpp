// The reference metric functions, written as plainly as they are defined.
#include "metrics/reference.hpp"

#include <algorithm>
#include <cmath>

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

}  // namespace ombrix
