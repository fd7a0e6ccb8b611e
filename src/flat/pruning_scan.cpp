// The pruning copy's scan kernels: see pruning_scan.hpp, and the margin
// argument the bound follows in pruning_copy.cpp.
#include "flat/pruning_scan.hpp"

#include <bit>
#include <cstring>
#include <string_view>

#include "metrics/kernels.hpp"
#include "metrics/simd.hpp"

namespace ombrix::pruning {
namespace {

using kernels::kBlockLanes;
using namespace simd;

// The bits of the lanes where `yes` holds (a vector of all-ones lanes).
template <class V, class M>
[[gnu::always_inline]] inline std::uint32_t bits(const M& yes, std::size_t first) {
    std::uint32_t out = 0;
    for (std::size_t i = 0; i < width<V>; ++i)
        if (yes[i]) out |= std::uint32_t{1} << (first + i);
    return out;
}

template <class V, Kind kind>
[[gnu::always_inline]] inline std::uint32_t live_scan(const float* group, std::size_t m, const std::size_t* ends,
                                                      std::size_t levels, const double* y, const double* low_q,
                                                      const double* high_q, const Bound& b, const double* norms,
                                                      std::uint32_t flagged, std::size_t& rows) {
    constexpr std::size_t W = width<V>, G = kBlockLanes / W;
    V acc[G];
    for (V& a : acc) a = V{};
    std::uint32_t live = ~flagged;
    std::size_t j = 0;
    const float* norm_row = group + (m + 2 * levels) * kBlockLanes;
    for (std::size_t level = 0; level < levels && live != 0; ++level) {
        for (; j < ends[level]; ++j) {
            const float* row = group + j * kBlockLanes;
            const double yj = y[j];
            for (std::size_t g = 0; g < G; ++g) {
                const V x = load_floats<V>(row + g * W);
                if constexpr (kind == kEuclidean) {
                    const V d = yj - x;
                    acc[g] += d * d;
                } else {
                    acc[g] += yj * x;
                }
            }
        }
        // The lane's tail lies in [low, high] (see the head comment).
        const float* low_row = group + (m + level) * kBlockLanes;
        const float* high_row = group + (m + levels + level) * kBlockLanes;
        const double tq_low = low_q[level], tq_high = high_q[level];
        std::uint32_t dropped = 0;
        for (std::size_t g = 0; g < G; ++g) {
            const V high = load_floats<V>(high_row + g * W);
            const V nx = load_floats<V>(norm_row + g * W);
            if constexpr (kind == kEuclidean) {
                // The distance between the query's and the lane's
                // intervals: at most one of the two differences is positive.
                const V above = tq_low - high, below = load_floats<V>(low_row + g * W) - tq_high;
                const V t = above > 0.0 ? above : below > 0.0 ? below : V{};
                const V sum = acc[g] + t * t;
                const V r = b.reach + b.margin_norm * nx;
                dropped |= bits<V>(sum > b.slack * (r * r), g * W);
            } else {
                const V bound = acc[g] - tq_high * high - b.margin_norm * nx;
                if constexpr (kind == kDot) {
                    dropped |= bits<V>(bound > b.limit, g * W);
                } else {
                    const V cosine = bound / (b.exact_norm * load<V>(norms + g * W));
                    dropped |= bits<V>(cosine > b.limit, g * W);
                }
            }
        }
        live &= ~dropped;
    }
    rows = j;
    return live | flagged;
}

// Rough values of a group's lanes from its first `rows` coordinates and
// the tails there (no margin: they only pick candidates).
template <class V, Kind kind>
[[gnu::always_inline]] inline void estimate_scan(const float* group, std::size_t rows, const double* y, double tq,
                                                 const float* tails, const float* norms, double* out) {
    constexpr std::size_t W = width<V>, G = kBlockLanes / W;
    V acc[G];
    for (V& a : acc) a = V{};
    for (std::size_t j = 0; j < rows; ++j)
        for (std::size_t g = 0; g < G; ++g) {
            const V x = load_floats<V>(group + j * kBlockLanes + g * W);
            if constexpr (kind == kEuclidean) {
                const V d = y[j] - x;
                acc[g] += d * d;
            } else {
                acc[g] += y[j] * x;
            }
        }
    for (std::size_t g = 0; g < G; ++g) {
        const V t = load_floats<V>(tails + g * W);
        V e;
        if constexpr (kind == kEuclidean) {
            e = acc[g] + (tq - t) * (tq - t);
        } else {
            e = acc[g] - tq * t;
            if constexpr (kind == kCosine) e = e / load_floats<V>(norms + g * W);
        }
        std::memcpy(out + g * W, &e, sizeof e);
    }
}

// A quarter's coordinates lie one cache line per 256 bytes, a stride the
// hardware prefetcher follows poorly: the scan asks for the lines
// kPrefetchRows rows ahead itself. With most of a group live, its rows are
// read whole (one stream) instead.
constexpr std::size_t kPrefetchRows = 32;

template <class V, bool euclidean>
[[gnu::always_inline]] inline std::uint32_t quarter_scan(const double* q, const double* block, std::size_t dim,
                                                         const double* norms, double query_norm, std::uint32_t lanes,
                                                         double* values) {
    constexpr std::size_t W = width<V>;
    std::uint32_t quarters = 0;
    for (std::size_t quarter = 0; quarter < 4; ++quarter)
        if ((lanes >> (8 * quarter)) & 0xffu) quarters |= 1u << quarter;
    if (std::popcount(quarters) >= 3) quarters = 0xf;
    const std::size_t first = static_cast<std::size_t>(std::countr_zero(quarters));
    const std::size_t last = 4 - static_cast<std::size_t>(std::countl_zero(quarters << 28));
    // The live quarters from first to last (one between them is read too).
    const std::size_t lo = 8 * first, hi = 8 * last, G = (hi - lo) / W;
    constexpr std::size_t kMaxG = kBlockLanes / W;
    V acc[kMaxG];
    for (V& a : acc) a = V{};
    const double* base = block + lo;
    for (std::size_t j = 0; j < dim; ++j) {
        if (j + kPrefetchRows < dim)
            for (std::size_t quarter = first; quarter < last; ++quarter)
                __builtin_prefetch(block + (j + kPrefetchRows) * kBlockLanes + 8 * quarter);
        const double qj = q[j];
        for (std::size_t g = 0; g < G; ++g) {
            const V x = load<V>(base + j * kBlockLanes + g * W);
            if constexpr (euclidean) {
                const V d = qj - x;
                acc[g] += d * d;
            } else {
                acc[g] += qj * x;
            }
        }
    }
    if (!euclidean && norms)
        for (std::size_t g = 0; g < G; ++g) acc[g] = acc[g] / (query_norm * load<V>(norms + lo + g * W));
    for (std::size_t g = 0; g < G; ++g) std::memcpy(values + lo + g * W, &acc[g], sizeof(V));
    std::uint32_t scored = 0;
    for (std::size_t quarter = first; quarter < last; ++quarter) scored |= 0xffu << (8 * quarter);
    return scored;
}

#define OMBRIX_PRUNING_VARIANT(suffix, attributes, V)                                                      \
    template <Kind kind>                                                                                   \
    attributes std::uint32_t live_##suffix(const float* group, std::size_t m, const std::size_t* ends,     \
                                           std::size_t levels, const double* y, const double* low_q,       \
                                           const double* high_q, const Bound& b, const double* norms,      \
                                           std::uint32_t flagged, std::size_t& rows) noexcept {            \
        return live_scan<V, kind>(group, m, ends, levels, y, low_q, high_q, b, norms, flagged, rows);      \
    }                                                                                                      \
    template <Kind kind>                                                                                   \
    attributes void estimate_##suffix(const float* group, std::size_t rows, const double* y, double tq,    \
                                      const float* tails, const float* norms, double* out) noexcept {      \
        estimate_scan<V, kind>(group, rows, y, tq, tails, norms, out);                                     \
    }                                                                                                      \
    template <bool euclidean>                                                                              \
    attributes std::uint32_t quarter_##suffix(const double* q, const double* block, std::size_t dim,       \
                                              const double* norms, double query_norm, std::uint32_t lanes, \
                                              double* values) noexcept {                                   \
        return quarter_scan<V, euclidean>(q, block, dim, norms, query_norm, lanes, values);                \
    }                                                                                                      \
    constexpr Kernels kernels_##suffix = {                                                                 \
        {live_##suffix<kEuclidean>, live_##suffix<kDot>, live_##suffix<kCosine>},                          \
        {estimate_##suffix<kEuclidean>, estimate_##suffix<kDot>, estimate_##suffix<kCosine>},              \
        {quarter_##suffix<false>, quarter_##suffix<true>}};

OMBRIX_PRUNING_VARIANT(generic, , v2d)
#if defined(__x86_64__)
OMBRIX_PRUNING_VARIANT(avx2, [[gnu::target("avx2")]], v4d)
OMBRIX_PRUNING_VARIANT(avx512,
                       [[gnu::target("sahf,cx16,popcnt,sse3,ssse3,sse4.1,sse4.2,avx,avx2,bmi,bmi2,f16c,fma,lzcnt,"
                                     "movbe,xsave,avx512f,avx512bw,avx512cd,avx512dq,avx512vl")]],
                       v8d)
#endif
#undef OMBRIX_PRUNING_VARIANT

}  // namespace

const Kernels& chosen() noexcept {
#if defined(__x86_64__)
    const std::string_view name = kernels::best().name;
    if (name == "avx512") return kernels_avx512;
    if (name.starts_with("avx2")) return kernels_avx2;
#endif
    return kernels_generic;
}

}  // namespace ombrix::pruning
