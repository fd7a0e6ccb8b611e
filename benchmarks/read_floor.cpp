// The streaming-read floor of the flat benchmark: the time to read a buffer
// once from 2 MiB-aligned memory advised for huge pages, with enough
// independent accumulators that the adds never limit the read. Loaded by
// bench_flat.py through ctypes: it opens a buffer of the index's size once
// and reads it just before each timed search, so that both sides of a ratio
// see the same spell of the shared host.
#include <sys/mman.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

struct FloorBuffer {
    double* data;
    std::size_t count;  // doubles read, a multiple of 32
    double sink;
};

}  // namespace

extern "C" {

// A buffer of `bytes`, filled, or nullptr when memory is short.
__attribute__((visibility("default"))) void* read_floor_open(std::size_t bytes, int huge_pages) {
    constexpr std::size_t align = std::size_t{2} << 20;
    const std::size_t size = (bytes + align - 1) / align * align;
    void* memory = nullptr;
    if (size == 0 || posix_memalign(&memory, align, size) != 0) return nullptr;
    if (huge_pages) madvise(memory, size, MADV_HUGEPAGE);
    auto* floor = new FloorBuffer{static_cast<double*>(memory), bytes / sizeof(double) / 32 * 32, 0.0};
    for (std::size_t i = 0; i < floor->count; ++i) floor->data[i] = static_cast<double>(i & 7);
    return floor;
}

// Seconds to read the buffer once.
__attribute__((visibility("default"))) double read_floor_once(void* handle) {
    auto* floor = static_cast<FloorBuffer*>(handle);
    typedef double v8d __attribute__((vector_size(64)));
    const auto start = std::chrono::steady_clock::now();
    v8d acc[4] = {};
    for (std::size_t i = 0; i < floor->count; i += 32)
        for (int g = 0; g < 4; ++g) {
            v8d x;
            std::memcpy(&x, floor->data + i + 8 * g, sizeof x);
            acc[g] += x;
        }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (auto& a : acc)
        for (int l = 0; l < 8; ++l) floor->sink += a[l];
    return seconds;
}

__attribute__((visibility("default"))) void read_floor_close(void* handle) {
    auto* floor = static_cast<FloorBuffer*>(handle);
    if (!floor) return;
    std::free(floor->data);
    delete floor;
}
}
