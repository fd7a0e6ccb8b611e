// The level draw and the per-layer node counts.
#include "hnsw/levels.hpp"

#include <cmath>
#include <limits>
#include <new>

namespace ombrix {

std::optional<Levels> Levels::make(std::uint64_t layers) noexcept {
    if (layers > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / sizeof(double))
        return std::nullopt;
    Levels levels;
    levels.layers_ = layers;
    if (layers > 0) {
        // calloc hands out zeroed pages lazily, so a large table costs only
        // the pages of its non-zero prefix: exp(-j) is 0.0 beyond j ~ 745.
        double* weights = static_cast<double*>(std::calloc(layers, sizeof(double)));
        if (weights == nullptr) return std::nullopt;
        levels.weights_.reset(weights);
        for (std::uint64_t j = 0; j < layers; ++j) {
            const double w = std::exp(-static_cast<double>(j));
            if (w == 0.0) break;
            weights[j] = w;
            levels.weight_total_ += w;
            levels.nonzero_weights_ = j + 1;
        }
    }
    return levels;
}

std::uint64_t Levels::draw(RandomSource& rng) const noexcept {
    const std::uint64_t word = rng.next_u64();
    if (layers_ == 0) return 0;
    const double u = static_cast<double>(word >> 11) * 0x1p-53;
    const double threshold = weight_total_ * u;
    // Past the non-zero prefix the running sum no longer changes, so the walk
    // over the remaining zero weights could not end it either.
    double running = 0.0;
    const double* weights = weights_.get();
    for (std::uint64_t j = 0; j < nonzero_weights_; ++j) {
        running += weights[j];
        if (running > threshold) return j;
    }
    return layers_ - 1;
}

void Levels::push(std::uint64_t level) {
    // Node 0 is not counted; room in taller_ first, so that the push below is
    // the last step that can fail.
    const bool grows = !levels_.empty() && taller_.size() <= level;
    if (grows) taller_.resize(static_cast<std::size_t>(level) + 1, 0);
    try {
        levels_.push_back(level);
    } catch (...) {
        if (grows) truncate(levels_.size());
        throw;
    }
}

void Levels::count_last() noexcept {
    if (levels_.size() < 2) return;
    for (std::uint64_t l = 0; l <= levels_.back(); ++l) ++taller_[l];
}

void Levels::truncate(std::size_t nodes) noexcept {
    if (levels_.size() > nodes) levels_.resize(nodes);
    while (!taller_.empty() && taller_.back() == 0) taller_.pop_back();
}

}  // namespace ombrix
