// The kernel variants (one set of templates compiled for each instruction
// set), the choice among them for this machine, and the batch calls.
#include "metrics/kernels.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#define OMBRIX_X86 1
#include <cpuid.h>
#endif

#include "metrics/simd.hpp"

namespace ombrix::kernels {
namespace {

using namespace simd;

// How many coordinates pass between two early-exit checks.
constexpr std::size_t kCheckEvery = 32;

// The query coordinates q are a vector, or one double that every lane shares
// (the compiler broadcasts it).
template <bool Euclidean, class Q, class V>
[[gnu::always_inline]] inline V term(Q q, V x) {
    if constexpr (Euclidean) {
        const V d = q - x;
        return d * d;
    } else {
        return q * x;
    }
}

// ---- Row-major kernel

// Turns four rows of four terms into four columns, so that column j holds
// term j of every row: adding the columns in order j = 0..3 to a lane-wise
// accumulator adds each row's terms left to right.
[[gnu::always_inline]] inline void transpose(v4d& r0, v4d& r1, v4d& r2, v4d& r3) {
    const v4d t0 = __builtin_shufflevector(r0, r1, 0, 4, 2, 6);
    const v4d t1 = __builtin_shufflevector(r0, r1, 1, 5, 3, 7);
    const v4d t2 = __builtin_shufflevector(r2, r3, 0, 4, 2, 6);
    const v4d t3 = __builtin_shufflevector(r2, r3, 1, 5, 3, 7);
    r0 = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    r1 = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    r2 = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    r3 = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// Adds terms i..i+3 of four vectors to the four lanes of `acc`.
template <bool Euclidean>
[[gnu::always_inline]] inline void accumulate4(v4d& acc, v4d q, const double* const* x, std::size_t i) {
    v4d r0 = term<Euclidean>(q, load<v4d>(x[0] + i));
    v4d r1 = term<Euclidean>(q, load<v4d>(x[1] + i));
    v4d r2 = term<Euclidean>(q, load<v4d>(x[2] + i));
    v4d r3 = term<Euclidean>(q, load<v4d>(x[3] + i));
    transpose(r0, r1, r2, r3);
    acc += r0;
    acc += r1;
    acc += r2;
    acc += r3;
}

// Sums over the first n coordinates of 4 * Groups vectors; sums[l] is vector
// l's running sum. More groups keep more independent add chains in flight.
// Returns early (with partial sums) when `bounded` and every lane's
// sqrt(sum) has reached `bound`.
template <bool Euclidean, std::size_t Groups>
[[gnu::always_inline]] inline void sum_lanes(const double* q, const double* const* x, std::size_t n, bool bounded,
                                             double bound, double* sums) {
    constexpr std::size_t lanes = 4 * Groups;
    v4d acc[Groups];
    for (v4d& a : acc) a = v4d{};
    const std::size_t whole = n & ~std::size_t{3};
    std::size_t i = 0;
    bool stopped = false;
    while (i < whole) {
        const std::size_t stop = bounded ? std::min(whole, i + kCheckEvery) : whole;
        for (; i < stop; i += 4) {
            const v4d qv = load<v4d>(q + i);
            // Unrolled, so that the sums stay in registers (not every compiler
            // unrolls this on its own).
#pragma GCC unroll 16
            for (std::size_t g = 0; g < Groups; ++g) accumulate4<Euclidean>(acc[g], qv, x + 4 * g, i);
        }
        if (bounded && i < n) {
            bool all_out = true;
            for (std::size_t g = 0; g < Groups && all_out; ++g)
                for (int l = 0; l < 4 && all_out; ++l) all_out = std::sqrt(acc[g][l]) >= bound;
            if (all_out) {
                stopped = true;
                break;
            }
        }
    }
    for (std::size_t g = 0; g < Groups; ++g)
        for (int l = 0; l < 4; ++l) sums[4 * g + l] = acc[g][l];
    if (stopped) return;
    for (std::size_t l = 0; l < lanes; ++l) {
        double s = sums[l];
        for (std::size_t j = i; j < n; ++j) {
            if constexpr (Euclidean) {
                const double d = q[j] - x[l][j];
                s += d * d;
            } else {
                s += q[j] * x[l][j];
            }
        }
        sums[l] = s;
    }
}

template <std::size_t Groups>
[[gnu::always_inline]] inline void score_lanes(const PreparedQuery& query, const double* const* x, const double* norms,
                                               std::size_t count, double* out, bool bounded, double bound) {
    double sums[4 * Groups];
    if (query.metric == Metric::Euclidean) {
        sum_lanes<true, Groups>(query.data, x, query.common, bounded, bound, sums);
        for (std::size_t l = 0; l < count; ++l) out[l] = std::sqrt(sums[l]);
        return;
    }
    sum_lanes<false, Groups>(query.data, x, query.common, false, 0.0, sums);
    if (query.metric == Metric::Cosine) {
        for (std::size_t l = 0; l < count; ++l) out[l] = sums[l] / (query.norm * norms[l]);
    } else {
        for (std::size_t l = 0; l < count; ++l) out[l] = sums[l];
    }
}

// Pads a short group with copies of its first vector (their lanes are
// dropped); a few vectors take the narrow kernel so that padding costs little.
[[gnu::always_inline]] inline void score_rows(const PreparedQuery& query, const double* const* vectors,
                                              const double* norms, std::size_t count, double* out, bool bounded,
                                              double bound) {
    if (count == kLanes) return score_lanes<kLanes / 4>(query, vectors, norms, count, out, bounded, bound);
    if (count == 0) return;
    const double* x[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) x[l] = vectors[l < count ? l : 0];
    if (count <= kLanes / 2) score_lanes<kLanes / 8>(query, x, norms, count, out, bounded, bound);
    else score_lanes<kLanes / 4>(query, x, norms, count, out, bounded, bound);
}

// ---- Blocked kernel

template <class V, std::size_t Groups>
[[gnu::always_inline]] inline bool all_at_least(const V (&acc)[Groups], double threshold) {
    auto reached = acc[0] >= threshold;
    for (std::size_t g = 1; g < Groups; ++g) reached &= acc[g] >= threshold;
    for (std::size_t i = 0; i < width<V>; ++i)
        if (!reached[i]) return false;
    return true;
}

constexpr auto kLaneBits = [] {
    std::array<long long, kBlockLanes> bits{};
    for (std::size_t l = 0; l < kBlockLanes; ++l) bits[l] = 1LL << l;
    return bits;
}();

// The bits of the lanes below `limit` (a NaN value never is), gathered with
// vector ands and ors rather than lane by lane.
template <class V, std::size_t Groups>
[[gnu::always_inline]] inline std::uint32_t lanes_below(const V (&values)[Groups], double limit) {
    using Bits = decltype(values[0] < limit);  // a vector of all-ones or all-zero lanes
    Bits any{};
    for (std::size_t g = 0; g < Groups; ++g) {
        Bits weight;
        std::memcpy(&weight, kLaneBits.data() + g * width<V>, sizeof weight);
        any |= (values[g] < limit) & weight;
    }
    long long bits = 0;
    for (std::size_t i = 0; i < width<V>; ++i) bits |= any[i];
    return static_cast<std::uint32_t>(bits);
}

// Spaced: the dot scan reads the query coordinate again for every vector of
// a row, one more (cached) load beside each load of the block. Out of the
// caches that spacing brings the dot scan down to the read floor (the
// Euclidean scan, with its extra subtract, is there already); in the caches
// it only costs. The measurements are in docs/design.md.
template <class V, bool Euclidean, bool Spaced = false>
[[gnu::always_inline]] inline std::uint64_t block_scan(const double* q, const double* block, std::size_t dim,
                                                       const double* norms, double query_norm, unsigned flags,
                                                       double limit, double* values) {
    constexpr std::size_t groups = kBlockLanes / width<V>;
    V acc[groups];
    std::size_t j = 0;
    // The sums start from +0.0 with the first coordinate's terms added to
    // it (not copied: -0.0 + +0.0 is +0.0); zeroing the array instead made
    // compilers clear it in memory, a cost like a few coordinates' work.
    if (dim > 0) {
        const double q0 = Spaced ? double{static_cast<const volatile double*>(q)[0]} : q[0];
        for (std::size_t g = 0; g < groups; ++g) acc[g] = V{} + term<Euclidean>(q0, load<V>(block + g * width<V>));
        j = 1;
    } else {
        for (V& a : acc) a = V{};
    }
    const bool bounded = flags & kBounded;
    const bool may_abandon = Euclidean && bounded && (flags & kAbandon);
    while (j < dim) {
        // Checked after every kCheckEvery coordinates.
        const std::size_t stop = may_abandon ? std::min(dim, (j / kCheckEvery + 1) * kCheckEvery) : dim;
        for (; j < stop; ++j) {
            const double* row = block + j * kBlockLanes;
            if constexpr (Spaced) {
                const volatile double* reread = q;
                for (std::size_t g = 0; g < groups; ++g)
                    acc[g] += term<Euclidean>(double{reread[j]}, load<V>(row + g * width<V>));
            } else {
                const double qj = q[j];
                for (std::size_t g = 0; g < groups; ++g) acc[g] += term<Euclidean>(qj, load<V>(row + g * width<V>));
            }
        }
        if (may_abandon && j < dim && all_at_least(acc, limit))
            return kAbandoned | std::uint64_t{std::min<std::size_t>(j, 0x7fffffff)} << kRowsReadShift;
    }
    if (!Euclidean && norms) {
        for (std::size_t g = 0; g < groups; ++g) acc[g] = acc[g] / (query_norm * load<V>(norms + g * width<V>));
    }
    for (std::size_t g = 0; g < groups; ++g) std::memcpy(values + g * width<V>, &acc[g], sizeof(V));
    return bounded ? lanes_below(acc, limit) : ~std::uint32_t{0};
}

// Four coordinates of four lanes at a time, turned by the same 4 x 4
// transpose the row kernel uses.
[[gnu::always_inline]] inline void pack_rows(const double* rows, std::size_t dim, double* block) {
    std::size_t j = 0;
    for (; j + 4 <= dim; j += 4)
        for (std::size_t lane = 0; lane < kBlockLanes; lane += 4) {
            const double* in = rows + lane * dim + j;
            v4d r0 = load<v4d>(in), r1 = load<v4d>(in + dim), r2 = load<v4d>(in + 2 * dim),
                r3 = load<v4d>(in + 3 * dim);
            transpose(r0, r1, r2, r3);
            double* out = block + j * kBlockLanes + lane;
            std::memcpy(out, &r0, sizeof r0);
            std::memcpy(out + kBlockLanes, &r1, sizeof r1);
            std::memcpy(out + 2 * kBlockLanes, &r2, sizeof r2);
            std::memcpy(out + 3 * kBlockLanes, &r3, sizeof r3);
        }
    for (; j < dim; ++j)
        for (std::size_t lane = 0; lane < kBlockLanes; ++lane) block[j * kBlockLanes + lane] = rows[lane * dim + j];
}

// One variant: the same templates compiled for one instruction set.
#define OMBRIX_VARIANT(suffix, attributes, BlockVector)                                                               \
    attributes void row_##suffix(const PreparedQuery& query, const double* const* vectors, const double* norms,       \
                                 std::size_t count, double* out, bool bounded, double bound) noexcept {               \
        score_rows(query, vectors, norms, count, out, bounded, bound);                                                \
    }                                                                                                                 \
    attributes std::uint64_t block_euclidean_##suffix(const double* q, const double* block, std::size_t dim,          \
                                                      const double*, double, unsigned flags, double limit,            \
                                                      double* values) noexcept {                                      \
        return block_scan<BlockVector, true>(q, block, dim, nullptr, 0.0, flags, limit, values);                      \
    }                                                                                                                 \
    attributes std::uint64_t block_dot_##suffix(const double* q, const double* block, std::size_t dim,                \
                                                const double* norms, double query_norm, unsigned flags, double limit, \
                                                double* values) noexcept {                                            \
        return block_scan<BlockVector, false>(q, block, dim, norms, query_norm, flags, limit, values);                \
    }                                                                                                                 \
    attributes void pack_##suffix(const double* rows, std::size_t dim, double* block) noexcept {                      \
        pack_rows(rows, dim, block);                                                                                  \
    }

OMBRIX_VARIANT(generic, , v2d)
#if OMBRIX_X86
OMBRIX_VARIANT(avx2, [[gnu::target("avx2")]], v4d)
// The features of x86-64-v4 by name: a compiler may keep its command line's
// features over a target attribute's "arch=" (zig's clang turns off, one by
// one, every feature of its baseline target that it leaves out), never over
// features named here.
OMBRIX_VARIANT(avx512,
               [[gnu::target("sahf,cx16,popcnt,sse3,ssse3,sse4.1,sse4.2,avx,avx2,bmi,bmi2,f16c,fma,lzcnt,movbe,xsave,"
                             "avx512f,avx512bw,avx512cd,avx512dq,avx512vl")]],
               v8d)

[[gnu::target("avx2")]] std::uint64_t block_dot_avx2_spaced(const double* q, const double* block, std::size_t dim,
                                                            const double* norms, double query_norm, unsigned flags,
                                                            double limit, double* values) noexcept {
    return block_scan<v4d, false, true>(q, block, dim, norms, query_norm, flags, limit, values);
}
#endif
#undef OMBRIX_VARIANT

#if OMBRIX_X86
// What each variant's compilation target lets the compiler use. avx2: AVX2
// and everything below it (any AVX2 processor has all of x86-64-v2).
// avx512: x86-64-v4, that is x86-64-v3 (AVX2, BMI1/2, F16C, FMA, LZCNT,
// MOVBE, XSAVE) and AVX-512 F, BW, CD, DQ and VL. Each also needs the system
// to save its registers.
constexpr CpuFeatures kNeedsAvx2 = cpu::kSSE3 | cpu::kSSSE3 | cpu::kSSE41 | cpu::kSSE42 | cpu::kPOPCNT | cpu::kCX16 |
                                   cpu::kLAHF | cpu::kAVX | cpu::kAVX2 | cpu::kYmmState;
constexpr CpuFeatures kNeedsV4 = kNeedsAvx2 | cpu::kBMI1 | cpu::kBMI2 | cpu::kF16C | cpu::kFMA | cpu::kLZCNT |
                                 cpu::kMOVBE | cpu::kXSAVE | cpu::kAVX512F | cpu::kAVX512BW | cpu::kAVX512CD |
                                 cpu::kAVX512DQ | cpu::kAVX512VL | cpu::kZmmState;

bool has_all(CpuFeatures features, CpuFeatures needed) { return (features & needed) == needed; }
#endif

}  // namespace

CpuFeatures detect_cpu_features() noexcept {
    CpuFeatures features = 0;
#if OMBRIX_X86
    const auto take = [&features](unsigned word, unsigned bit, CpuFeatures feature) {
        if ((word >> bit) & 1u) features |= feature;
    };
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
    take(c, 0, cpu::kSSE3);
    take(c, 9, cpu::kSSSE3);
    take(c, 12, cpu::kFMA);
    take(c, 13, cpu::kCX16);
    take(c, 19, cpu::kSSE41);
    take(c, 20, cpu::kSSE42);
    take(c, 22, cpu::kMOVBE);
    take(c, 23, cpu::kPOPCNT);
    take(c, 26, cpu::kXSAVE);
    take(c, 28, cpu::kAVX);
    take(c, 29, cpu::kF16C);
    if ((c >> 27) & 1u) {  // OSXSAVE: XCR0 says which register state the system saves
        unsigned xcr0, high;
        __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(high) : "c"(0u));
        if ((xcr0 & 0x06u) == 0x06u) features |= cpu::kYmmState;  // XMM, YMM
        if ((xcr0 & 0xe6u) == 0xe6u) features |= cpu::kZmmState;  // and opmask, ZMM
    }
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d)) {
        take(b, 3, cpu::kBMI1);
        take(b, 5, cpu::kAVX2);
        take(b, 8, cpu::kBMI2);
        take(b, 16, cpu::kAVX512F);
        take(b, 17, cpu::kAVX512DQ);
        take(b, 28, cpu::kAVX512CD);
        take(b, 30, cpu::kAVX512BW);
        take(b, 31, cpu::kAVX512VL);
    }
    if (__get_cpuid(0x80000001u, &a, &b, &c, &d)) {
        take(c, 0, cpu::kLAHF);
        take(c, 5, cpu::kLZCNT);
    }
#endif
    return features;
}

VariantChoice choose_variants([[maybe_unused]] CpuFeatures features) noexcept {
    VariantChoice choice;
    Variant* entries = choice.entries;
#if OMBRIX_X86
    if (has_all(features, kNeedsV4))
        entries[choice.count++] = {"avx512", row_avx512, block_euclidean_avx512, block_dot_avx512, pack_avx512};
    if (has_all(features, kNeedsAvx2)) {
        entries[choice.count++] = {"avx2", row_avx2, block_euclidean_avx2, block_dot_avx2, pack_avx2};
        // Block scans beyond the caches stream faster with 256-bit than
        // with 512-bit loads (and eight add chains, not four), so the
        // out-of-cache scans take this entry even where AVX-512 is chosen.
        choice.streaming = choice.count;
        entries[choice.count++] = {"avx2 streaming", row_avx2, block_euclidean_avx2, block_dot_avx2_spaced, pack_avx2};
    }
#endif
    entries[choice.count++] = {"generic", row_generic, block_euclidean_generic, block_dot_generic, pack_generic};
    return choice;
}

namespace {

const VariantChoice& chosen() noexcept {
    static const VariantChoice choice = choose_variants(detect_cpu_features());
    return choice;
}

}  // namespace

std::span<const Variant> variants() noexcept { return {chosen().entries, chosen().count}; }

const Variant& streaming() noexcept { return chosen().entries[chosen().streaming]; }

}  // namespace ombrix::kernels

namespace ombrix {

namespace {

// Plain arguments, not an optional: the graph scores every batch through
// here, and an optional built on the stack and read back as one word would
// wait on the store of its flag.
void score_groups(const PreparedQuery& query, const double* const* vectors, const double* norms, std::size_t count,
                  double* out, bool bounded, double bound) noexcept {
    for (std::size_t start = 0; start < count; start += kernels::kLanes)
        kernels::score(query, vectors + start, norms ? norms + start : nullptr,
                       std::min(kernels::kLanes, count - start), out + start, bounded, bound);
}

}  // namespace

void score_batch(const PreparedQuery& query, const double* const* vectors, const double* norms, std::size_t count,
                 double* out) noexcept {
    score_groups(query, vectors, norms, count, out, false, 0.0);
}

void score_batch(const PreparedQuery& query, const double* const* vectors, const double* norms, std::size_t count,
                 double* out, std::optional<double> bound) noexcept {
    const bool bounded = bound.has_value() && query.metric == Metric::Euclidean;
    score_groups(query, vectors, norms, count, out, bounded, bounded ? *bound : 0.0);
}

void score_contiguous(const PreparedQuery& query, const double* first, std::size_t dim, const double* norms,
                      std::size_t count, double* out, std::optional<double> bound) noexcept {
    const double* group[kernels::kLanes];
    for (std::size_t start = 0; start < count; start += kernels::kLanes) {
        const std::size_t n = std::min(kernels::kLanes, count - start);
        for (std::size_t l = 0; l < n; ++l) group[l] = first + (start + l) * dim;
        score_batch(query, group, norms ? norms + start : nullptr, n, out + start, bound);
    }
}

}  // namespace ombrix
