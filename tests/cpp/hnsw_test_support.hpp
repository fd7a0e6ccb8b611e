// Shared helpers of the graph tests: a scripted generator, level words and
// result comparison.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "hnsw/hnsw.hpp"

namespace ombrix::testing_support {

inline std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Hands out the scripted words first, then a fixed splitmix64 stream.
class FakeRandom final : public RandomSource {
public:
    explicit FakeRandom(std::vector<std::uint64_t> words = {}, std::uint64_t seed = 1)
        : words_(std::move(words)), state_(seed) {}
    std::uint64_t next_u64() noexcept override { return next_ < words_.size() ? words_[next_++] : splitmix64(state_); }

private:
    std::vector<std::uint64_t> words_;
    std::size_t next_ = 0;
    std::uint64_t state_;
};

// A word whose draw lands in the middle of `level`'s interval.
inline std::uint64_t word_for_level(std::uint64_t layers, std::uint64_t level) {
    std::vector<double> cumulative;
    double sum = 0.0;
    for (std::uint64_t j = 0; j < layers; ++j) cumulative.push_back(sum += std::exp(-static_cast<double>(j)));
    const double low = level == 0 ? 0.0 : cumulative[level - 1];
    const double u = (low + cumulative[level]) / 2.0 / sum;
    return static_cast<std::uint64_t>(u * 0x1p53) << 11;
}

inline HNSW make_index(std::uint64_t dim, std::uint64_t layers, Metric metric = Metric::Euclidean,
                       std::uint64_t ef_construction = 200, std::uint64_t ef_search = 50,
                       std::optional<Schema> schema = std::nullopt) {
    return std::move(HNSW::make({dim, layers, 16, ef_construction, ef_search, metric, std::move(schema)}).value());
}

// The same pairs in the same order, distances bit for bit.
inline bool same(const std::vector<ScoredId>& a, const std::vector<ScoredId>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const ScoredId& x, const ScoredId& y) {
        return x.id == y.id && std::bit_cast<std::uint64_t>(x.distance) == std::bit_cast<std::uint64_t>(y.distance);
    });
}

inline std::vector<std::uint64_t> ids(const std::vector<ScoredId>& results) {
    std::vector<std::uint64_t> out;
    for (const ScoredId& r : results) out.push_back(r.id);
    return out;
}

}  // namespace ombrix::testing_support
