// The per-thread instance of the graph's working buffers.
#include "hnsw/scratch.hpp"

namespace ombrix {

Scratch& thread_scratch() noexcept {
    thread_local Scratch s;
    return s;
}

}  // namespace ombrix
