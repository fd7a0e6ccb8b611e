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

// Sums over the first n coordinates of 4 * Groups vectors; sums[l] is vector
// l's running sum. More groups keep more independent add chains in flight.
// Returns early (with partial sums) when `bounded` and every lane's
// sqrt(sum) has reached `bound`.
template <bool Euclidean, std::size_t Groups>
[[gnu::always_inline]] inline void sum_lanes(const double* q, const double* const* x, std::size_t n,
                                             bool bounded, double bound, double* sums) {
    constexpr std::size_t lanes = 4 * Groups;
    v4d acc[Groups];
    for (v4d& a : acc) a = v4d{0.0, 0.0, 0.0, 0.0};
    const std::size_t whole = n & ~std::size_t{3};
    std::size_t i = 0;
    bool stopped = false;
    while (i < whole) {
        const std::size_t stop = bounded ? std::min(whole, i + kCheckEvery) : whole;
        for (; i < stop; i += 4) {
            const v4d qv = load4(q + i);
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
[[gnu::always_inline]] inline void score_lanes(const PreparedQuery& query, const double* const* x,
                                               const double* norms, std::size_t count, double* out,
                                               bool bounded, double bound) {
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

// A few vectors take the narrow kernel, so that padding lanes cost little.
[[gnu::always_inline]] inline void score_any(const PreparedQuery& query, const double* const* x,
                                             const double* norms, std::size_t count, double* out,
                                             bool bounded, double bound) {
    if (count <= kLanes / 2)
        score_lanes<kLanes / 8>(query, x, norms, count, out, bounded, bound);
    else
        score_lanes<kLanes / 4>(query, x, norms, count, out, bounded, bound);
}

[[gnu::target("avx2")]] void score_avx2(const PreparedQuery& query, const double* const* x,
                                        const double* norms, std::size_t count, double* out, bool bounded,
                                        double bound) {
    score_any(query, x, norms, count, out, bounded, bound);
}

void score_generic(const PreparedQuery& query, const double* const* x, const double* norms,
                   std::size_t count, double* out, bool bounded, double bound) {
    score_any(query, x, norms, count, out, bounded, bound);
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
        score_avx2(query, x, norms, count, out, bounded, bound);
    else
        score_generic(query, x, norms, count, out, bounded, bound);
}

}  // namespace ombrix::kernels
