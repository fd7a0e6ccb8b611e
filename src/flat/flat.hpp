// The exact index: every vector stored back to back, every query scored
// against all of them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "metrics/metrics.hpp"
#include "metrics/vector_batch.hpp"

namespace ombrix {

enum class FlatError : std::uint8_t {
    EmptyIndex,         // search of an index without vectors
    EmptyVectors,       // create with no vectors
    DimensionMismatch,  // a vector whose length is not dim (a broken precondition)
    OutOfMemory,
};

const char* to_string(FlatError error) noexcept;

class Flat {
public:
    Flat(std::uint64_t dim, Metric metric) noexcept : dim_(dim), metric_(metric) {}

    std::uint64_t dim() const noexcept { return dim_; }
    Metric metric() const noexcept { return metric_; }
    // Vectors stored; with dim 0 nothing is ever visible.
    std::uint64_t size() const noexcept { return dim_ == 0 ? 0 : data_.size() / dim_; }

    // Appends one vector of length dim; on failure nothing changes.
    [[nodiscard]] std::optional<FlatError> insert(std::span<const double> vector) noexcept;
    // Appends the vectors in order. A vector of the wrong length stops the
    // call with DimensionMismatch, keeping the `stored` vectors before it.
    [[nodiscard]] std::optional<FlatError> create(const VectorBatch& vectors, std::size_t& stored) noexcept;
    // The k best (value, id) pairs in ranking order. The query must have length dim.
    [[nodiscard]] std::optional<FlatError> search(std::span<const double> query, std::uint64_t k,
                                                  std::vector<ScoredId>& out) const noexcept;

    std::span<const double> vector(std::uint64_t id) const noexcept {
        return {data_.data() + id * dim_, static_cast<std::size_t>(dim_)};
    }

private:
    void append(std::span<const double> vector);

    std::uint64_t dim_;
    Metric metric_;
    std::vector<double> data_;   // vector i at [i * dim, (i + 1) * dim)
    std::vector<double> norms_;  // cosine only: sqrt of each vector's sum of squares
};

}  // namespace ombrix
