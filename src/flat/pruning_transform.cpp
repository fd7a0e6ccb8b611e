// The pruning copy's transform kernels. The one object compiled from src/
// that may hold fused multiply-adds (make check-fma exempts it): nothing it
// computes is a search result, only the copy's coordinates, whose every
// rounding (fused or not) the copy's margin covers.
#include "flat/pruning_transform.hpp"

#include <algorithm>

#include "metrics/kernels.hpp"
#include "metrics/simd.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace ombrix::pruning {
namespace {

using kernels::kBlockLanes;

// kRowsAtOnce rows of the basis against two vectors of lanes at a time, so
// that each load of the block serves kRowsAtOnce rows; chunk sums of kChunk
// products are added to the running totals. The lines of `ahead` are
// prefetched a few per chunk, spread over the whole call.
template <class F, class Ops>
[[gnu::always_inline]] inline void project_rows(const float* basis, std::size_t rows, std::size_t dim,
                                                const float* block, float* y, const char* ahead,
                                                std::size_t ahead_bytes) {
    constexpr std::size_t W = sizeof(F) / sizeof(float), R = kRowsAtOnce, kLine = 64;
    const std::size_t chunks = kBlockLanes / (2 * W) * (rows / R) * ((dim + kChunk - 1) / kChunk);
    const std::size_t lines = ahead ? (ahead_bytes + kLine - 1) / kLine : 0;
    const std::size_t per_chunk = chunks ? (lines + chunks - 1) / chunks : 0;
    const char* const ahead_end = ahead + lines * kLine;
    for (std::size_t lane = 0; lane < kBlockLanes; lane += 2 * W)
        for (std::size_t r = 0; r < rows; r += R) {
            F total[R][2];
            for (auto& t : total) t[0] = t[1] = Ops::zero();
            for (std::size_t start = 0; start < dim; start += kChunk) {
                for (std::size_t i = 0; i < per_chunk && ahead < ahead_end; ++i, ahead += kLine)
                    __builtin_prefetch(ahead, 0, 2);
                const std::size_t end = std::min(dim, start + kChunk);
                F acc[R][2];
                for (auto& a : acc) a[0] = a[1] = Ops::zero();
                for (std::size_t j = start; j < end; ++j) {
                    const F x0 = Ops::load(block + j * kBlockLanes + lane);
                    const F x1 = Ops::load(block + j * kBlockLanes + lane + W);
                    for (std::size_t i = 0; i < R; ++i) {
                        const F b = Ops::broadcast(basis[(r + i) * dim + j]);
                        acc[i][0] = Ops::mul_add(b, x0, acc[i][0]);
                        acc[i][1] = Ops::mul_add(b, x1, acc[i][1]);
                    }
                }
                for (std::size_t i = 0; i < R; ++i) {
                    total[i][0] = Ops::add(total[i][0], acc[i][0]);
                    total[i][1] = Ops::add(total[i][1], acc[i][1]);
                }
            }
            for (std::size_t i = 0; i < R; ++i) {
                Ops::store(y + (r + i) * kBlockLanes + lane, total[i][0]);
                Ops::store(y + (r + i) * kBlockLanes + lane + W, total[i][1]);
            }
        }
}

struct Plain {
    using F = simd::v4f;
    static F zero() { return F{}; }
    static F load(const float* p) {
        F v;
        __builtin_memcpy(&v, p, sizeof v);
        return v;
    }
    static F broadcast(float b) { return F{} + b; }
    static F mul_add(F b, F x, F acc) { return acc + b * x; }
    static F add(F a, F b) { return a + b; }
    static void store(float* p, F v) { __builtin_memcpy(p, &v, sizeof v); }
};

void project_generic(const float* basis, std::size_t rows, std::size_t dim, const float* block, float* y,
                     const void* ahead, std::size_t ahead_bytes) noexcept {
    project_rows<Plain::F, Plain>(basis, rows, dim, block, y, static_cast<const char*>(ahead), ahead_bytes);
}

#if defined(__x86_64__) && defined(__clang__)
// clang checks the vector ABI at each call between functions built for
// different targets, so here the ops carry no target of their own and ask for
// contraction instead; they are inlined into project_fma, whose target has
// FMA. Fused or not, the margin covers the rounding.
struct Fused {
    using F = simd::v8f;
    [[gnu::always_inline]] static F zero() { return F{}; }
    [[gnu::always_inline]] static F load(const float* p) {
        F v;
        __builtin_memcpy(&v, p, sizeof v);
        return v;
    }
    [[gnu::always_inline]] static F broadcast(float b) { return F{} + b; }
    [[gnu::always_inline]] static F mul_add(F b, F x, F acc) {
#pragma clang fp contract(fast)
        return acc + b * x;
    }
    [[gnu::always_inline]] static F add(F a, F b) { return a + b; }
    [[gnu::always_inline]] static void store(float* p, F v) { __builtin_memcpy(p, &v, sizeof v); }
};
#elif defined(__x86_64__)
struct Fused {
    using F = __m256;
    [[gnu::target("avx2,fma")]] static F zero() { return _mm256_setzero_ps(); }
    [[gnu::target("avx2,fma")]] static F load(const float* p) { return _mm256_loadu_ps(p); }
    [[gnu::target("avx2,fma")]] static F broadcast(float b) { return _mm256_set1_ps(b); }
    [[gnu::target("avx2,fma")]] static F mul_add(F b, F x, F acc) { return _mm256_fmadd_ps(b, x, acc); }
    [[gnu::target("avx2,fma")]] static F add(F a, F b) { return _mm256_add_ps(a, b); }
    [[gnu::target("avx2,fma")]] static void store(float* p, F v) { _mm256_storeu_ps(p, v); }
};
#endif

#if defined(__x86_64__)
[[gnu::target("avx2,fma")]] void project_fma(const float* basis, std::size_t rows, std::size_t dim, const float* block,
                                             float* y, const void* ahead, std::size_t ahead_bytes) noexcept {
    project_rows<Fused::F, Fused>(basis, rows, dim, block, y, static_cast<const char*>(ahead), ahead_bytes);
}
#endif

}  // namespace

ProjectFn project_function() noexcept {
#if defined(__x86_64__)
    constexpr kernels::CpuFeatures kNeeds =
        kernels::cpu::kAVX | kernels::cpu::kAVX2 | kernels::cpu::kFMA | kernels::cpu::kYmmState;
    static const bool fused = (kernels::detect_cpu_features() & kNeeds) == kNeeds;
    if (fused) return project_fma;
#endif
    return project_generic;
}

}  // namespace ombrix::pruning
