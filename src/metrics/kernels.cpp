#include "metrics/kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ombrix::kernels {
namespace {

typedef double v4d __attribute__((vector_size(32)));
typedef long long v4i __attribute__((vector_size(32)));

// How many coordinates pass between two early-exit checks.
constexpr std::size_t kCheckEvery = 32;

[[gnu::always_inline]] inline v4d load4(const double* p) {
    v4d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Turns four rows of four terms into four columns, so that column j holds
// term j of every row: adding the columns in order j = 0..3 to a lane-wise
// accumulator adds each row's terms left to right.
[[gnu::always_inline]] inline void transpose(v4d& r0, v4d& r1, v4d& r2, v4d& r3) {
    const v4d t0 = __builtin_shuffle(r0, r1, v4i{0, 4, 2, 6});
    const v4d t1 = __builtin_shuffle(r0, r1, v4i{1, 5, 3, 7});
    const v4d t2 = __builtin_shuffle(r2, r3, v4i{0, 4, 2, 6});
    const v4d t3 = __builtin_shuffle(r2, r3, v4i{1, 5, 3, 7});
    r0 = __builtin_shuffle(t0, t2, v4i{0, 1, 4, 5});
    r1 = __builtin_shuffle(t1, t3, v4i{0, 1, 4, 5});
    r2 = __builtin_shuffle(t0, t2, v4i{2, 3, 6, 7});
    r3 = __builtin_shuffle(t1, t3, v4i{2, 3, 6, 7});
}

template <bool Euclidean>
[[gnu::always_inline]] inline v4d term(v4d q, v4d x) {
    if constexpr (Euclidean) {
        const v4d d = q - x;
        return d * d;
    } else {
        return q * x;
    }
}

// Adds terms i..i+3 of four vectors to the four lanes of `acc`.
template <bool Euclidean>
[[gnu::always_inline]] inline void accumulate4(v4d& acc, v4d q, const double* const* x,
                                               std::size_t i) {
    v4d r0 = term<Euclidean>(q, load4(x[0] + i));
    v4d r1 = term<Euclidean>(q, load4(x[1] + i));
    v4d r2 = term<Euclidean>(q, load4(x[2] + i));
    v4d r3 = term<Euclidean>(q, load4(x[3] + i));
    transpose(r0, r1, r2, r3);
    acc += r0;
    acc += r1;
    acc += r2;
    acc += r3;
}

// Sums over the first n coordinates of eight vectors; sums[l] is vector l's
// running sum. Returns early (with partial sums) when `bounded` and every
// lane's sqrt(sum) has reached `bound`.
template <bool Euclidean>
[[gnu::always_inline]] inline void sum8(const double* q, const double* const* x, std::size_t n,
                                        bool bounded, double bound, double* sums) {
    v4d lo = {0.0, 0.0, 0.0, 0.0};
    v4d hi = {0.0, 0.0, 0.0, 0.0};
    std::size_t i = 0;
    while (i + 4 <= n) {
        const std::size_t stop = bounded ? std::min(n & ~std::size_t{3}, i + kCheckEvery) : (n & ~std::size_t{3});
        for (; i < stop; i += 4) {
            const v4d qv = load4(q + i);
            accumulate4<Euclidean>(lo, qv, x, i);
            accumulate4<Euclidean>(hi, qv, x + 4, i);
        }
        if (bounded && i + 4 <= n) {
            bool all_out = true;
            for (int l = 0; l < 4 && all_out; ++l)
                all_out = std::sqrt(lo[l]) >= bound && std::sqrt(hi[l]) >= bound;
            if (all_out) break;
        }
    }
    for (int l = 0; l < 4; ++l) {
        sums[l] = lo[l];
        sums[l + 4] = hi[l];
    }
    if (i + 4 <= n) return;  // stopped early
    for (std::size_t l = 0; l < kLanes; ++l) {
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

[[gnu::always_inline]] inline void score8(const PreparedQuery& query, const double* const* x,
                                          const double* norms, std::size_t count, double* out,
                                          bool bounded, double bound) {
    double sums[kLanes];
    if (query.metric == Metric::Euclidean) {
        sum8<true>(query.data, x, query.common, bounded, bound, sums);
        for (std::size_t l = 0; l < count; ++l) out[l] = std::sqrt(sums[l]);
        return;
    }
    sum8<false>(query.data, x, query.common, false, 0.0, sums);
    if (query.metric == Metric::Cosine) {
        for (std::size_t l = 0; l < count; ++l) out[l] = sums[l] / (query.norm * norms[l]);
    } else {
        for (std::size_t l = 0; l < count; ++l) out[l] = sums[l];
    }
}

[[gnu::target("avx2")]] void score8_avx2(const PreparedQuery& query, const double* const* x,
                                         const double* norms, std::size_t count, double* out,
                                         bool bounded, double bound) {
    score8(query, x, norms, count, out, bounded, bound);
}

void score8_generic(const PreparedQuery& query, const double* const* x, const double* norms,
                    std::size_t count, double* out, bool bounded, double bound) {
    score8(query, x, norms, count, out, bounded, bound);
}

bool has_avx2() {
    static const bool supported = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
    return supported;
}

}  // namespace

void score(const PreparedQuery& query, const double* const* vectors, const double* norms,
           std::size_t count, double* out, bool bounded, double bound) noexcept {
    if (count == 0) return;
    // Pad a short group with copies of its first vector; their lanes are dropped.
    const double* x[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) x[l] = vectors[l < count ? l : 0];
    if (has_avx2())
        score8_avx2(query, x, norms, count, out, bounded, bound);
    else
        score8_generic(query, x, norms, count, out, bounded, bound);
}

}  // namespace ombrix::kernels
