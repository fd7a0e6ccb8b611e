// Random words for the level draw.
#pragma once

#include <cstdint>

namespace ombrix {

class RandomSource {
public:
    virtual ~RandomSource() = default;
    virtual std::uint64_t next_u64() noexcept = 0;
};

// The calling thread's generator (xoshiro256**), seeded once per thread from
// the operating system's entropy. It cannot be seeded from outside.
RandomSource& thread_random() noexcept;

}  // namespace ombrix
