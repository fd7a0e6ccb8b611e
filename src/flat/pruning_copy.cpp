// The pruning copy: its fit, the transform of stored groups, the bound a
// search prunes by (with the margin that keeps it below every exact value),
// and the exact scoring of a group's surviving quarters.
//
// Why the bound holds. Let P be the m x dim basis as computed, with rows
// ||P P^T - I||_F <= eps (measured after the fit, plus the rounding of that
// measurement). P lies within eps of a matrix Q with exactly orthonormal rows
// (its polar factor), so for any x, ||Px - Qx|| <= eps ||x||. Let Q_c be its
// first c rows, and for a vector v: v_c = Q_c v, t_c(v) = ||v - Q_c^T v_c||
// = sqrt(||v||^2 - ||v_c||^2), its "tail".
//
// Euclidean: ||q - x||^2 = ||q_c - x_c||^2 + ||(q - x)'s tail||^2 and, by the
// triangle inequality, the tail part is >= (t_c(q) - t_c(x))^2. The search
// uses computed stand-ins: y(q) = fl(P q) in double, y(x) the float32
// rounding of fl(P x), and tails from fl(||v||^2 - ||y_c(v)||^2) (before the
// float32 rounding of y(x)). With u = 2^-53 and g(n) = n u / (1 - n u):
//   ||fl(Pv) - Qv|| <= e2 ||v||,  e2 = eps + sqrt(m) g(dim) (1 + eps);
//   float32 adds 2^-24 ||v|| (2^-150 per coordinate below float32's normal
//     range, < 2^-46 ||v|| since ||v|| >= 2^-100);
//   the squared tail is off by at most e3 ||v||^2, e3 = 2 e2 + e2^2 + 4 g(dim),
//     so the tail by at most sqrt(e3) ||v|| (|a - b| <= sqrt(|a^2 - b^2|)),
//     plus 2^-24 of it for float32.
// So the computed pair (||y_c(q) - y_c(x)||, |t_c(q) - t_c(x)|) is within
// D = (e2 + sqrt(e3) + 2^-22)(||q|| + ||x||) of the true pair, and
//   ||q - x|| >= sqrt(B) - D,  B = the computed sum of squares of both parts
// (B itself rounds by at most g(m + 8)). The exact value the scan computes,
// s = fl(sum of fl(q_i - x_i)^2), is >= (1 - g(dim + 2)) ||q - x||^2 less
// dim * 2^-1074 for underflow, which the doubled K below covers since
// ||q||, ||x|| >= 2^-100. A lane is dropped only when
//   B > slack (slack sqrt(T) + K (|q| + |x|))^2,  K = 4 (e2 + sqrt(e3) + 2^-21 + g(dim + m)),
// slack = 1 + 4 g(dim + m + 8), |q| and |x| upper bounds of the norms: then
// s > T, the squared threshold, and the lane could not enter.
//
// Inner product: q.x = q_c.x_c + (tail parts' dot) >= q_c.x_c - t_c(q) t_c(x);
// the computed y_c(q).y_c(x) and t_c(q) t_c(x) are off by at most
// (2 e2 + 2 sqrt(e3) + 2^-22 + g(m)) ||q|| ||x|| and the exact scan's sum by
// g(dim) ||q|| ||x||: bound = partial - t(q) t(x) - K |q| |x| <= s. A lane is
// dropped when bound > the k-th value. Cosine divides both the exact dot and
// the bound by the same fl(|q| |x|) of the stored norms, and rounded
// division is monotone, so bound / d > the k-th value proves s / d > it.
//
// Everything outside the ranges this argument needs takes the plain path:
// a query or vector with a NaN or infinity, or a norm outside
// [2^-100, 2^100] (stored vectors are then flagged and always scored).
#include "flat/pruning_copy.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>

#include "flat/pca.hpp"
#include "metrics/kernels.hpp"
#include "metrics/simd.hpp"

namespace ombrix {
namespace {

using kernels::kBlockLanes;
using namespace simd;

constexpr std::size_t kMinDim = 80;       // below this the copy keeps too few coordinates
constexpr std::size_t kMinGroups = 64;    // first fit once this many groups are complete
constexpr std::size_t kMaxKept = 128;     // leading coordinates kept at most
constexpr std::size_t kSample = 512;      // vectors the basis is fit to
constexpr std::size_t kFirstLevel = 8;    // coordinates before the first checkpoint
constexpr double kCapturedAtLeast = 0.9;  // share of the sample's energy in the kept coordinates
constexpr double kLowNorm2 = 0x1p-200, kHighNorm2 = 0x1p200;

double gamma(double n) {
    constexpr double u = 0x1p-53;
    return n * u / (1.0 - n * u);
}

// The bits of the lanes where `yes` holds (a vector of all-ones lanes).
template <class V, class M>
[[gnu::always_inline]] inline std::uint32_t bits(const M& yes, std::size_t first) {
    std::uint32_t out = 0;
    for (std::size_t i = 0; i < width<V>; ++i)
        if (yes[i]) out |= std::uint32_t{1} << (first + i);
    return out;
}

enum Kind { kEuclidean, kDot, kCosine };

struct Bound {
    double reach;        // Euclidean: slack * sqrt(T) + K |q|
    double margin_norm;  // K |q|
    double slack;        // Euclidean
    double limit;        // dot, cosine: the k-th value
    double exact_norm;   // cosine: the query's norm as the exact scan divides by it
};

template <class V, Kind kind>
[[gnu::always_inline]] inline std::uint32_t live_scan(const float* group, std::size_t m, const std::size_t* ends,
                                                      std::size_t levels, const double* y, const double* tails,
                                                      const Bound& b, const double* norms, std::uint32_t flagged,
                                                      std::size_t& rows) {
    constexpr std::size_t W = width<V>, G = kBlockLanes / W;
    V acc[G];
    for (V& a : acc) a = V{};
    std::uint32_t live = ~flagged;
    std::size_t j = 0;
    const float* norm_row = group + (m + levels) * kBlockLanes;
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
        const float* tail_row = group + (m + level) * kBlockLanes;
        const double tq = tails[level];
        std::uint32_t dropped = 0;
        for (std::size_t g = 0; g < G; ++g) {
            const V tx = load_floats<V>(tail_row + g * W);
            const V nx = load_floats<V>(norm_row + g * W);
            if constexpr (kind == kEuclidean) {
                const V t = tq - tx;
                const V sum = acc[g] + t * t;
                const V r = b.reach + b.margin_norm * nx;
                dropped |= bits<V>(sum > b.slack * (r * r), g * W);
            } else {
                const V bound = acc[g] - tq * tx - b.margin_norm * nx;
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

// y[r * kBlockLanes + l] = row r of the basis times lane l of the block:
// R rows of the basis against a slice of the lanes at a time, so that the
// sums stay in registers and each load of the block serves R rows.
template <class V>
[[gnu::always_inline]] inline void project(const double* basis, std::size_t m, std::size_t dim, const double* block,
                                           double* y) {
    constexpr std::size_t W = width<V>, G = 4, R = W >= 8 ? 5 : 3, kSlice = G * W;
    for (std::size_t lane = 0; lane < kBlockLanes; lane += kSlice) {
        std::size_t r = 0;
        for (; r + R <= m; r += R) {
            V acc[R][G];
            for (auto& row : acc)
                for (V& a : row) a = V{};
            const double* in = block + lane;
            for (std::size_t j = 0; j < dim; ++j, in += kBlockLanes) {
                V x[G];
                for (std::size_t g = 0; g < G; ++g) x[g] = load<V>(in + g * W);
                for (std::size_t i = 0; i < R; ++i) {
                    const double b = basis[(r + i) * dim + j];
                    for (std::size_t g = 0; g < G; ++g) acc[i][g] += b * x[g];
                }
            }
            for (std::size_t i = 0; i < R; ++i)
                for (std::size_t g = 0; g < G; ++g)
                    std::memcpy(y + (r + i) * kBlockLanes + lane + g * W, &acc[i][g], sizeof(V));
        }
        for (; r < m; ++r) {
            V acc[G];
            for (V& a : acc) a = V{};
            for (std::size_t j = 0; j < dim; ++j)
                for (std::size_t g = 0; g < G; ++g)
                    acc[g] += basis[r * dim + j] * load<V>(block + j * kBlockLanes + lane + g * W);
            for (std::size_t g = 0; g < G; ++g) std::memcpy(y + r * kBlockLanes + lane + g * W, &acc[g], sizeof(V));
        }
    }
}

using LiveFn = std::uint32_t (*)(const float*, std::size_t, const std::size_t*, std::size_t, const double*,
                                 const double*, const Bound&, const double*, std::uint32_t, std::size_t&) noexcept;
using QuarterFn = std::uint32_t (*)(const double*, const double*, std::size_t, const double*, double, std::uint32_t,
                                    double*) noexcept;
using ProjectFn = void (*)(const double*, std::size_t, std::size_t, const double*, double*) noexcept;

struct Kernels {
    LiveFn live[3];
    QuarterFn quarter[2];  // dot, Euclidean
    ProjectFn project;
};

#define OMBRIX_PRUNING_VARIANT(suffix, attributes, V)                                                                \
    template <Kind kind>                                                                                             \
    attributes std::uint32_t live_##suffix(const float* group, std::size_t m, const std::size_t* ends,               \
                                           std::size_t levels, const double* y, const double* tails, const Bound& b, \
                                           const double* norms, std::uint32_t flagged, std::size_t& rows) noexcept { \
        return live_scan<V, kind>(group, m, ends, levels, y, tails, b, norms, flagged, rows);                        \
    }                                                                                                                \
    template <bool euclidean>                                                                                        \
    attributes std::uint32_t quarter_##suffix(const double* q, const double* block, std::size_t dim,                 \
                                              const double* norms, double query_norm, std::uint32_t lanes,           \
                                              double* values) noexcept {                                             \
        return quarter_scan<V, euclidean>(q, block, dim, norms, query_norm, lanes, values);                          \
    }                                                                                                                \
    attributes void project_##suffix(const double* basis, std::size_t m, std::size_t dim, const double* block,       \
                                     double* y) noexcept {                                                           \
        project<V>(basis, m, dim, block, y);                                                                         \
    }                                                                                                                \
    constexpr Kernels kernels_##suffix = {{live_##suffix<kEuclidean>, live_##suffix<kDot>, live_##suffix<kCosine>},  \
                                          {quarter_##suffix<false>, quarter_##suffix<true>},                         \
                                          project_##suffix};

OMBRIX_PRUNING_VARIANT(generic, , v2d)
#if defined(__x86_64__)
OMBRIX_PRUNING_VARIANT(avx2, [[gnu::target("avx2")]], v4d)
OMBRIX_PRUNING_VARIANT(avx512,
                       [[gnu::target("sahf,cx16,popcnt,sse3,ssse3,sse4.1,sse4.2,avx,avx2,bmi,bmi2,f16c,fma,lzcnt,"
                                     "movbe,xsave,avx512f,avx512bw,avx512cd,avx512dq,avx512vl")]],
                       v8d)
#endif
#undef OMBRIX_PRUNING_VARIANT

// The variant of the kernels the block scans use on this machine.
const Kernels& chosen() noexcept {
#if defined(__x86_64__)
    const std::string_view name = kernels::best().name;
    if (name == "avx512") return kernels_avx512;
    if (name.starts_with("avx2")) return kernels_avx2;
#endif
    return kernels_generic;
}

}  // namespace

void PruningCopy::drop() noexcept {
    groups_ = 0;
    m_ = 0;
    store_ = PageBuffer{};
    flagged_ = {};
    basis_ = {};
}

bool PruningCopy::update(const BlockedRows& rows) noexcept {
    const std::size_t groups = rows.grouped() / kBlockLanes;
    if (dim_ < kMinDim || groups < kMinGroups) return false;
    if (groups >= 2 * fitted_at_) {
        fitted_at_ = groups;
        if (!fit(rows)) {
            drop();
            return false;
        }
        return true;
    }
    if (active() && groups > groups_ && !transform(rows, groups_, groups)) drop();
    return false;
}

bool PruningCopy::fit(const BlockedRows& rows) noexcept {
    drop();
    // Checkpoints at 8, 16, 32, ... coordinates; the copy takes at most an
    // eighth of the stored bytes, so that even with its growth room it stays
    // within a quarter.
    const std::size_t budget = dim_ / 4;
    std::size_t m = std::min(kMaxKept, budget) / 8 * 8, levels = 0;
    for (; m >= 2 * kFirstLevel; m -= 8) {
        levels = 0;
        for (std::size_t end = kFirstLevel; end < m && levels + 1 < kMaxLevels; end *= 2) ends_[levels++] = end;
        ends_[levels++] = m;
        if (m + levels + 1 <= budget) break;
    }
    if (m < 2 * kFirstLevel) return false;

    try {
        // A sample spread over the stored groups, finite vectors of moderate
        // norm only.
        const std::size_t groups = rows.grouped() / kBlockLanes, total = groups * kBlockLanes;
        const std::size_t want = std::min(kSample, total);
        std::vector<double> sample;
        sample.reserve(want * dim_);
        std::vector<double> x(dim_);
        std::size_t taken = 0;
        for (std::size_t s = 0; s < want; ++s) {
            const std::size_t id = s * total / want;
            const double* block = rows.group(id / kBlockLanes);
            double n2 = 0.0;
            for (std::size_t j = 0; j < dim_; ++j) {
                x[j] = block[j * kBlockLanes + id % kBlockLanes];
                n2 += x[j] * x[j];
            }
            if (!(n2 >= kLowNorm2 && n2 <= kHighNorm2)) continue;
            sample.insert(sample.end(), x.begin(), x.end());
            ++taken;
        }
        if (taken < 2 * m) return false;
        // Bounds bite only where the kept coordinates hold nearly all of the
        // energy; short of that, the copy is not worth its transform.
        double captured = 0.0;
        if (!pca::leading_components(sample.data(), taken, dim_, m, kCapturedAtLeast, basis_, captured)) return false;
        if (captured < kCapturedAtLeast) return false;
        const double eps = pca::orthonormality_error(basis_.data(), m, dim_) + 2.0 * m * gamma(double(dim_));
        if (!(eps < 1e-6)) return false;
        const double e2 = eps + std::sqrt(double(m)) * gamma(double(dim_)) * (1.0 + eps);
        const double e3 = 2.0 * e2 + e2 * e2 + 4.0 * gamma(double(dim_));
        margin_ = 4.0 * (e2 + std::sqrt(e3) + 0x1p-21 + gamma(double(dim_ + m)));
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_ = m;
    levels_ = levels;
    stride_ = (m + levels + 1) * kBlockLanes;
    return transform(rows, 0, rows.grouped() / kBlockLanes);
}

bool PruningCopy::transform(const BlockedRows& rows, std::size_t first, std::size_t last) noexcept {
    static_assert(kBlockLanes % 2 == 0);
    const std::size_t floats = last * stride_;
    if (!store_.reserve(floats / 2, groups_ * stride_ / 2)) return false;
    try {
        flagged_.resize(last);
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::vector<double> y;
    try {
        y.resize(m_ * kBlockLanes);
    } catch (const std::bad_alloc&) {
        return false;
    }
    const Kernels& k = chosen();
    float* const store = reinterpret_cast<float*>(store_.data());
    for (std::size_t g = first; g < last; ++g) {
        const double* block = rows.group(g);
        k.project(basis_.data(), m_, dim_, block, y.data());
        double n2[kBlockLanes] = {};
        for (std::size_t j = 0; j < dim_; ++j)
            for (std::size_t l = 0; l < kBlockLanes; ++l)
                n2[l] += block[j * kBlockLanes + l] * block[j * kBlockLanes + l];
        float* out = store + g * stride_;
        std::uint32_t flagged = 0;
        for (std::size_t l = 0; l < kBlockLanes; ++l) {
            bool bad = !(n2[l] >= kLowNorm2 && n2[l] <= kHighNorm2);
            double kept = 0.0;
            std::size_t level = 0;
            for (std::size_t r = 0; r < m_ && !bad; ++r) {
                const double v = y[r * kBlockLanes + l];
                kept += v * v;
                if (r + 1 == ends_[level]) {
                    out[(m_ + level) * kBlockLanes + l] = static_cast<float>(std::sqrt(std::max(0.0, n2[l] - kept)));
                    ++level;
                }
                out[r * kBlockLanes + l] = static_cast<float>(v);
            }
            if (bad) {
                flagged |= std::uint32_t{1} << l;
                for (std::size_t r = 0; r < m_ + levels_ + 1; ++r) out[r * kBlockLanes + l] = 0.0f;
                continue;
            }
            // An upper bound on the norm.
            float norm = static_cast<float>(std::sqrt(n2[l]) * (1.0 + 0x1p-20));
            norm = std::nextafter(norm, std::numeric_limits<float>::infinity());
            out[(m_ + levels_) * kBlockLanes + l] = norm;
        }
        flagged_[g] = flagged;
    }
    groups_ = last;
    return true;
}

bool PruningCopy::prepare(std::span<const double> query, Query& out) const noexcept {
    if (!active() || query.size() != dim_) return false;
    const double n2 = squared_norm(query);
    if (!(n2 >= kLowNorm2 && n2 <= kHighNorm2)) return false;
    try {
        out.y.resize(m_);
    } catch (const std::bad_alloc&) {
        return false;
    }
    double kept = 0.0;
    std::size_t level = 0;
    for (std::size_t r = 0; r < m_; ++r) {
        const double* row = basis_.data() + r * dim_;
        double s = 0.0;
        for (std::size_t j = 0; j < dim_; ++j) s += row[j] * query[j];
        out.y[r] = s;
        kept += s * s;
        if (r + 1 == ends_[level]) out.tails[level++] = std::sqrt(std::max(0.0, n2 - kept));
    }
    out.exact_norm = std::sqrt(n2);
    out.norm = out.exact_norm * (1.0 + 0x1p-20);
    out.margin_norm = margin_ * out.norm;
    out.metric = metric_;
    return true;
}

std::uint32_t PruningCopy::live(std::size_t g, const Query& query, double limit, const double* norms,
                                std::size_t& rows) const noexcept {
    const float* group = reinterpret_cast<const float*>(store_.data()) + g * stride_;
    const Kernels& k = chosen();
    Bound b{};
    b.margin_norm = query.margin_norm;
    if (query.metric == Metric::Euclidean) {
        b.slack = 1.0 + 4.0 * gamma(double(dim_ + m_ + 8));
        b.reach = b.slack * std::sqrt(limit) + query.margin_norm;
        // Without a bound to beat, nothing can be dropped.
        if (!(b.reach < std::numeric_limits<double>::infinity())) return ~std::uint32_t{0};
        return k.live[kEuclidean](group, m_, ends_, levels_, query.y.data(), query.tails, b, nullptr, flagged_[g],
                                  rows);
    }
    b.limit = limit;
    b.exact_norm = query.exact_norm;
    const Kind kind = query.metric == Metric::Cosine ? kCosine : kDot;
    return k.live[kind](group, m_, ends_, levels_, query.y.data(), query.tails, b, norms, flagged_[g], rows);
}

void PruningCopy::estimates(std::size_t g, const Query& query, double* out) const noexcept {
    const float* group = reinterpret_cast<const float*>(store_.data()) + g * stride_;
    const bool euclidean = metric_ == Metric::Euclidean;
    double acc[kBlockLanes] = {};
    for (std::size_t j = 0; j < ends_[0]; ++j) {
        const float* row = group + j * kBlockLanes;
        const double yj = query.y[j];
        if (euclidean) {
            for (std::size_t l = 0; l < kBlockLanes; ++l) acc[l] += (yj - row[l]) * (yj - row[l]);
        } else {
            for (std::size_t l = 0; l < kBlockLanes; ++l) acc[l] += yj * row[l];
        }
    }
    const float* tails = group + m_ * kBlockLanes;
    const float* norms = group + (m_ + levels_) * kBlockLanes;
    const double tq = query.tails[0];
    for (std::size_t l = 0; l < kBlockLanes; ++l) {
        if (euclidean) {
            out[l] = acc[l] + (tq - tails[l]) * (tq - tails[l]);
        } else {
            out[l] = acc[l] - tq * tails[l];
            if (metric_ == Metric::Cosine) out[l] /= norms[l];
        }
        if (flagged_[g] >> l & 1u) out[l] = std::numeric_limits<double>::infinity();
    }
}

std::uint32_t score_quarters(const PreparedQuery& query, const double* block, std::size_t dim, const double* norms,
                             std::uint32_t lanes, double* values) noexcept {
    const bool euclidean = query.metric == Metric::Euclidean;
    return chosen().quarter[euclidean](query.data, block, dim, euclidean ? nullptr : norms, query.norm, lanes, values);
}

}  // namespace ombrix
