// The streaming-read floor of the flat benchmark: the time to read `bytes`
// once from a 2 MiB-aligned buffer advised for huge pages, with enough
// independent accumulators that the adds never limit the read. Loaded by
// bench_flat.py through ctypes.
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" __attribute__((visibility("default"))) double read_floor_seconds(std::size_t bytes, int repeats,
                                                                             int huge_pages) {
    constexpr std::size_t align = std::size_t{2} << 20;
    const std::size_t size = (bytes + align - 1) / align * align;
    void* memory = nullptr;
    if (posix_memalign(&memory, align, size) != 0) return -1.0;
    if (huge_pages) madvise(memory, size, MADV_HUGEPAGE);
    auto* data = static_cast<double*>(memory);
    const std::size_t n = bytes / sizeof(double) / 32 * 32;
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<double>(i & 7);
    std::vector<double> times;
    volatile double sink = 0.0;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        typedef double v8d __attribute__((vector_size(64)));
        v8d acc[4] = {};
        for (std::size_t i = 0; i < n; i += 32)
            for (int g = 0; g < 4; ++g) {
                v8d x;
                std::memcpy(&x, data + i + 8 * g, sizeof x);
                acc[g] += x;
            }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        double s = 0.0;
        for (auto& a : acc)
            for (int l = 0; l < 8; ++l) s += a[l];
        sink = sink + s;
        times.push_back(seconds);
    }
    std::free(memory);
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}
