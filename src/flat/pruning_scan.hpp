// The pruning copy's scan kernels (one variant per instruction set, chosen
// as the block scans' are): the copy's bound checkpoint by checkpoint, rough
// values for picking candidates, and the exact scoring of a group's live
// quarters from the stored float64 vectors.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ombrix::pruning {

enum Kind { kEuclidean, kDot, kCosine };

struct Bound {
    double reach;        // Euclidean: slack * sqrt(T) + K |q|
    double margin_norm;  // K |q|
    double slack;        // Euclidean
    double limit;        // dot, cosine: the k-th value
    double exact_norm;   // cosine: the query's norm as the exact scan divides by it
};

// The lanes of a group that may still enter the result (PruningCopy::live),
// rough values of its lanes (PruningCopy::estimates), and the exact scores of
// the quarters holding live lanes (score_quarters).
using LiveFn = std::uint32_t (*)(const float*, std::size_t, const std::size_t*, std::size_t, const double*,
                                 const double*, const double*, const Bound&, const double*, std::uint32_t,
                                 std::size_t&) noexcept;
using EstimateFn = void (*)(const float*, std::size_t, const double*, double, const float*, const float*,
                            double*) noexcept;
using QuarterFn = std::uint32_t (*)(const double*, const double*, std::size_t, const double*, double, std::uint32_t,
                                    double*) noexcept;

struct Kernels {
    LiveFn live[3];
    EstimateFn estimate[3];
    QuarterFn quarter[2];  // dot, Euclidean
};

// The variant of the kernels the block scans use on this machine.
const Kernels& chosen() noexcept;

}  // namespace ombrix::pruning
