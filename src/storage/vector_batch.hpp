// A batch of vectors of possibly different lengths, stored back to back.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace ombrix {

struct VectorBatch {
    std::vector<double> values;           // all coordinates, vector after vector
    std::vector<std::size_t> offsets{0};  // vector i is values[offsets[i], offsets[i + 1])

    std::size_t size() const noexcept { return offsets.size() - 1; }
    bool empty() const noexcept { return size() == 0; }
    std::span<const double> operator[](std::size_t i) const noexcept {
        return {values.data() + offsets[i], offsets[i + 1] - offsets[i]};
    }
};

}  // namespace ombrix
