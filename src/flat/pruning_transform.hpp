// The pruning copy's transform of a stored group: float32 products of the
// basis with the group's vectors, summed in chunks (pruning_copy.cpp's margin
// covers every rounding of it, fused multiply-adds included).
#pragma once

#include <cstddef>

namespace ombrix::pruning {

// Coordinates summed before a chunk's sum joins the running total: the
// margin counts kChunk + ceil(dim / kChunk) roundings per product.
inline constexpr std::size_t kChunk = 32;
// The basis is padded with zero rows to a multiple of this.
inline constexpr std::size_t kRowsAtOnce = 6;

// y (rows x 32, row-major) = basis (rows x dim) times block (dim x 32, the
// stored group's coordinate-major layout, in float32); rows a multiple of
// kRowsAtOnce. Meanwhile [ahead, ahead + ahead_bytes) (the next group, or
// null) is brought into cache, so that the caller's next read of it does
// not wait on memory.
using ProjectFn = void (*)(const float* basis, std::size_t rows, std::size_t dim, const float* block, float* y,
                           const void* ahead, std::size_t ahead_bytes) noexcept;

// The fastest variant this machine runs.
ProjectFn project_function() noexcept;

}  // namespace ombrix::pruning
