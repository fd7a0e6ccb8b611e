// The pruning copy: its fit, the transform of stored groups, and the bound a
// search prunes by, with the margin that keeps it below every exact value
// (its kernels are in pruning_scan.cpp, the transform's in
// pruning_transform.cpp).
//
// Why the bound holds. Let P be the m x dim basis both sides use (float32
// values), with ||P P^T - I||_F <= eps (measured after the fit, plus the
// rounding of that measurement). P lies within eps of a matrix Q with
// exactly orthonormal rows (its polar factor), so for any x,
// ||Px - Qx|| <= eps ||x||. Let Q_c be its first c rows, and for a vector v:
// v_c = Q_c v, t_c(v) = ||v - Q_c^T v_c|| = sqrt(||v||^2 - ||v_c||^2), its
// "tail". With u = 2^-53, g(n) = n u / (1 - n u), and g32 the same for
// u = 2^-24 (a sum of n products in any order, fused or not, is off by at
// most g(n) times the sum of their magnitudes):
//
// Query, in double: ||y(q) - Qq|| <= e2q ||q||, e2q = eps + sqrt(m) g(dim)
// (1 + eps); its squared tail fl(||q||^2 - ||y_c(q)||^2) is within
// e3q ||q||^2 of t_c(q)^2, e3q = 2 e2q + e2q^2 + 4 g(dim), so the interval
// [tq_low, tq_high] built from it as below for stored vectors holds t_c(q).
//
// Stored vector, in float32 (pruning_transform.cpp): x rounded to float32
// (2^-24 ||x||, plus sqrt(dim) 2^-150 below float32's normal range), then each
// coordinate a sum whose products see at most n = kChunk + ceil(dim / kChunk)
// roundings (g32(n) ||x||, plus (dim + 1) 2^-149 for underflow). With
// ||x|| >= 2^-100 the stored coordinates y(x) obey ||y(x) - Qx|| <= e2x ||x||,
// e2x = eps + (1 + eps)(1 + 2^-23)(2^-24 + sqrt(dim) 2^-50
//       + sqrt(m) (g32(n) + (dim + 1) 2^-49)).
// Its squared tail fl(||x||^2 - ||y_c(x)||^2), in double, is then within
// delta = e3x ||x||^2 of t_c(x)^2, e3x = 2 e2x + e2x^2 + 4 g(dim); the copy
// keeps float32 low <= sqrt(max(0, t^2 - delta)) and high >= sqrt(t^2 +
// delta) (rounded outwards), so low <= t_c(x) <= high holds exactly.
//
// Euclidean: ||q - x||^2 = ||q_c - x_c||^2 + ||(q - x)'s tail||^2 >= a^2 + b^2,
// a = ||Q_c q - Q_c x||, b = |t_c(q) - t_c(x)| (triangle inequality). The
// computed a' = ||y_c(q) - y_c(x)|| <= a + e2q ||q|| + e2x ||x||, and
// b' = the distance between [tq_low, tq_high] and [low, high] <= b. So
// ||q - x|| >= sqrt(B) - D, D = K0 (||q|| + ||x||), K0 = max(e2q, e2x),
// B = the computed a'^2 + b'^2 (which rounds by at most g(m + 8)). The
// exact value the scan computes, s = fl(sum of fl(q_i - x_i)^2), is
// >= (1 - g(dim + 2)) ||q - x||^2 less dim * 2^-1074 for underflow, which the
// doubled K below covers since ||q||, ||x|| >= 2^-100. A lane is dropped only
// when
//   B > slack (slack sqrt(T) + K (|q| + |x|))^2,  K = 4 (K0 + 2^-21 + g(dim + m)),
// slack = 1 + 4 g(dim + m + 8), |q| and |x| upper bounds of the norms: then
// s > T, the squared threshold, and the lane could not enter.
//
// Inner product: q.x = q_c.x_c + (tail parts' dot) >= q_c.x_c - t_c(q) t_c(x).
// The computed y_c(q).y_c(x) is off by at most (e2q + e2x + e2q e2x + g(m))
// ||q|| ||x||, and t_c(q) t_c(x) <= tq_high high; the exact scan's sum is
// off by g(dim) ||q|| ||x||: bound = partial - tq_high high - K |q| |x| <= s.
// A lane is dropped when bound > the k-th value. Cosine divides both the
// exact dot and the bound by the same fl(|q| |x|) of the stored norms, and
// rounded division is monotone, so bound / d > the k-th value proves
// s / d > it.
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
#include "flat/pruning_scan.hpp"
#include "flat/pruning_transform.hpp"
#include "metrics/kernels.hpp"
#include "metrics/simd.hpp"

namespace ombrix {
namespace {

using kernels::kBlockLanes;
using pruning::Bound;
using pruning::kCosine;
using pruning::kDot;
using pruning::kEuclidean;
using pruning::Kind;

constexpr std::size_t kMinDim = 80;     // below this the copy keeps too few coordinates
constexpr std::size_t kMinGroups = 64;  // first fit once this many groups are complete
// Leading coordinates kept at most: 96 rather than 128 cuts a quarter of
// the transform that dominates a create, for searches about a tenth slower
// on Fashion-MNIST (inner product and cosine).
constexpr std::size_t kMaxKept = 96;
constexpr std::size_t kProbeGroups = 64;  // groups transformed for the probe, at least
constexpr std::size_t kSample = 512;      // vectors the basis is fit to
constexpr std::size_t kFirstLevel = 8;    // coordinates before the first checkpoint
constexpr double kCapturedAtLeast = 0.9;  // share of the sample's energy in the kept coordinates
constexpr double kLowNorm2 = 0x1p-200, kHighNorm2 = 0x1p200;

double gamma(double n) {
    constexpr double u = 0x1p-53;
    return n * u / (1.0 - n * u);
}

// The same for float32 arithmetic.
double gamma32(double n) {
    constexpr double u = 0x1p-24;
    return n * u / (1.0 - n * u);
}

// float32 values no greater (no less) than v >= 0: the rounding of
// sqrt and of the products before it is at most a few units of the last
// double place, which the factor covers.
float rounded_down(double v) {
    v *= 1.0 - 0x1p-48;
    float f = static_cast<float>(v);
    if (double(f) > v) f = std::nextafter(f, 0.0f);
    return f;
}
float rounded_up(double v) {
    v *= 1.0 + 0x1p-48;
    float f = static_cast<float>(v);
    if (double(f) < v) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

}  // namespace

void PruningCopy::drop() noexcept {
    groups_ = 0;
    m_ = 0;
    store_ = PageBuffer{};
    flagged_ = {};
    basis_ = {};
    basis32_ = {};
}

bool PruningCopy::update(const BlockedRows& rows) noexcept {
    const std::size_t groups = rows.grouped() / kBlockLanes;
    if (dim_ < kMinDim || groups < kMinGroups) return false;
    if (groups >= 2 * fitted_at_) {
        fitted_at_ = groups;
        // First only the probe's share (an eighth): enough for its searches
        // to tell, and no more, as a copy that does not pay is thrown away.
        const std::size_t probed = groups < 2 * kProbeGroups ? groups : std::max(kProbeGroups, groups / 8);
        if (!fit(rows, probed)) {
            drop();
            return false;
        }
        return true;
    }
    extend(rows);  // the groups completed since, if a copy is active
    return false;
}

bool PruningCopy::extend(const BlockedRows& rows) noexcept {
    const std::size_t groups = rows.grouped() / kBlockLanes;
    if (!active() || groups <= groups_) return true;
    if (transform(rows, groups_, groups)) return true;
    drop();
    return false;
}

// Whether the copy may pay on these data, from a small sample, before the
// fit: the participation ratio r = (sum l)^2 / sum l^2 of the eigenvalues l
// of the second moment C of the data scaled to unit norm (so that a few
// huge vectors cannot decide it). For independent draws (x_a . x_b)^2 has
// mean trace(C^2) = sum l^2, and trace(C) = 1, so the mean over the sample's
// pairs estimates 1 / r. Directions holding a share s of the energy, m of
// them, give sum l^2 >= s^2 / m, so r <= m / s^2: isotropic data (r = dim)
// are far from what the fit asks. This only saves the fit's time on data
// it would reject; results never depend on it.
bool PruningCopy::may_pay(const BlockedRows& rows, std::size_t m) const noexcept {
    constexpr std::size_t kGroups = 8, kLanes = 8;  // one cache line per row of a group
    const std::size_t groups = rows.grouped() / kBlockLanes;
    std::vector<double> sample;
    try {
        sample.resize(kGroups * kLanes * dim_);
    } catch (const std::bad_alloc&) {
        return true;
    }
    std::size_t taken = 0;
    for (std::size_t s = 0; s < kGroups; ++s) {
        const double* block = rows.group((2 * s + 1) * groups / (2 * kGroups));
        const std::size_t first = kLanes * (s % (kBlockLanes / kLanes));
        for (std::size_t l = first; l < first + kLanes; ++l) {
            double* x = sample.data() + taken * dim_;
            double n2 = 0.0;
            for (std::size_t j = 0; j < dim_; ++j) {
                x[j] = block[j * kBlockLanes + l];
                n2 += x[j] * x[j];
            }
            if (!(n2 >= kLowNorm2 && n2 <= kHighNorm2)) continue;
            const double scale = 1.0 / std::sqrt(n2);
            for (std::size_t j = 0; j < dim_; ++j) x[j] *= scale;
            ++taken;
        }
    }
    if (taken < 16) return true;
    double pairs = 0.0;
    for (std::size_t a = 0; a < taken; ++a)
        for (std::size_t b = a + 1; b < taken; ++b) {
            const double* x = sample.data() + a * dim_;
            const double* y = sample.data() + b * dim_;
            // Four sums (any order will do for an estimate), so that the
            // adds do not wait on each other.
            double d[4] = {};
            std::size_t j = 0;
            for (; j + 4 <= dim_; j += 4)
                for (std::size_t t = 0; t < 4; ++t) d[t] += x[j + t] * y[j + t];
            for (; j < dim_; ++j) d[0] += x[j] * y[j];
            const double dot = (d[0] + d[1]) + (d[2] + d[3]);
            pairs += dot * dot;
        }
    const double ratio = double(taken) * double(taken - 1) / 2.0 / pairs;  // r, estimated
    // Twice the most a fit could accept, for the estimate's noise.
    return !(ratio > 2.0 * double(m) / (kCapturedAtLeast * kCapturedAtLeast));
}

bool PruningCopy::fit(const BlockedRows& rows, std::size_t probed) noexcept {
    drop();
    // Checkpoints at 8, 16, 32, ... coordinates, each with a low and a high
    // tail row; the copy takes at most an eighth of the stored bytes, so that
    // even with its growth room it stays within a quarter.
    const std::size_t budget = dim_ / 4;
    std::size_t m = std::min(kMaxKept, budget) / 8 * 8, levels = 0;
    for (; m >= 2 * kFirstLevel; m -= 8) {
        levels = 0;
        for (std::size_t end = kFirstLevel; end < m && levels + 1 < kMaxLevels; end *= 2) ends_[levels++] = end;
        ends_[levels++] = m;
        if (m + 2 * levels + 1 <= budget) break;
    }
    if (m < 2 * kFirstLevel) return false;
    if (!may_pay(rows, m)) return false;

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
        // The basis both sides use is its float32 rounding (the stored
        // vectors' transform runs in float32); its error is measured.
        const std::size_t padded = (m + pruning::kRowsAtOnce - 1) / pruning::kRowsAtOnce * pruning::kRowsAtOnce;
        basis32_.assign(padded * dim_, 0.0f);
        for (std::size_t i = 0; i < m * dim_; ++i) {
            basis32_[i] = static_cast<float>(basis_[i]);
            basis_[i] = basis32_[i];
        }
        const double d = double(dim_), sm = std::sqrt(double(m));
        const double eps = pca::orthonormality_error(basis_.data(), m, dim_) + 2.0 * double(m) * gamma(d);
        if (!(eps < 1e-4)) return false;
        // Query side, in double.
        const double e2q = eps + sm * gamma(d) * (1.0 + eps);
        query_tail_error_ = 2.0 * e2q + e2q * e2q + 4.0 * gamma(d);
        // Stored side, in float32: the rounding of x, then per coordinate
        // kChunk + ceil(dim / kChunk) roundings of each product's sum, and
        // what underflow can lose, all relative to |x| >= 2^-100.
        const double ops = double(pruning::kChunk + (dim_ + pruning::kChunk - 1) / pruning::kChunk);
        const double e2x = eps + (1.0 + eps) * (1.0 + 0x1p-23) *
                                     (0x1p-24 + std::sqrt(d) * 0x1p-50 + sm * (gamma32(ops) + (d + 1.0) * 0x1p-49));
        tail_error_ = 2.0 * e2x + e2x * e2x + 4.0 * gamma(d);
        margin_ = 4.0 * (std::max(e2q, e2x) + 0x1p-21 + gamma(d + double(m)));
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_ = m;
    levels_ = levels;
    stride_ = (m + 2 * levels + 1) * kBlockLanes;
    return transform(rows, 0, probed);
}

bool PruningCopy::transform(const BlockedRows& rows, std::size_t first, std::size_t last) noexcept {
    static_assert(kBlockLanes % 2 == 0);
    const std::size_t floats = last * stride_;
    if (!store_.reserve(floats / 2, groups_ * stride_ / 2)) return false;
    const std::size_t padded = basis32_.size() / dim_;
    std::vector<float> block32, y;
    try {
        flagged_.resize(last);
        block32.resize(dim_ * kBlockLanes);
        y.resize(padded * kBlockLanes);
    } catch (const std::bad_alloc&) {
        return false;
    }
    const pruning::ProjectFn project = pruning::project_function();
    float* const store = reinterpret_cast<float*>(store_.data());
    for (std::size_t g = first; g < last; ++g) {
        const double* block = rows.group(g);
        double n2[kBlockLanes] = {};
        for (std::size_t j = 0; j < dim_; ++j)
            for (std::size_t l = 0; l < kBlockLanes; ++l) {
                const double v = block[j * kBlockLanes + l];
                n2[l] += v * v;
                block32[j * kBlockLanes + l] = static_cast<float>(v);
            }
        project(basis32_.data(), padded, dim_, block32.data(), y.data(), g + 1 < last ? rows.group(g + 1) : nullptr,
                dim_ * kBlockLanes * sizeof(double));
        // The coordinates as computed, then the tails' intervals, level by
        // level (the true tail's square lies within delta of the computed).
        float* out = store + g * stride_;
        std::memcpy(out, y.data(), m_ * kBlockLanes * sizeof(float));
        double kept[kBlockLanes] = {};
        for (std::size_t level = 0, r = 0; level < levels_; ++level) {
            for (; r < ends_[level]; ++r)
                for (std::size_t l = 0; l < kBlockLanes; ++l) {
                    const double v = y[r * kBlockLanes + l];
                    kept[l] += v * v;
                }
            for (std::size_t l = 0; l < kBlockLanes; ++l) {
                const double t2 = n2[l] - kept[l];
                const double delta = tail_error_ * n2[l] * (1.0 + 4.0 * gamma(double(dim_)));
                out[(m_ + level) * kBlockLanes + l] = rounded_down(std::sqrt(std::max(0.0, t2 - delta)));
                out[(m_ + levels_ + level) * kBlockLanes + l] = rounded_up(std::sqrt(std::max(0.0, t2 + delta)));
            }
        }
        std::uint32_t flagged = 0;
        for (std::size_t l = 0; l < kBlockLanes; ++l) {
            if (n2[l] >= kLowNorm2 && n2[l] <= kHighNorm2) {
                // An upper bound on the norm.
                out[(m_ + 2 * levels_) * kBlockLanes + l] = rounded_up(std::sqrt(n2[l]) * (1.0 + 0x1p-20));
                continue;
            }
            flagged |= std::uint32_t{1} << l;
            for (std::size_t r = 0; r < m_ + 2 * levels_ + 1; ++r) out[r * kBlockLanes + l] = 0.0f;
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
    // The true tail's square is within delta of the computed one.
    const double delta = query_tail_error_ * n2 * (1.0 + 4.0 * gamma(double(dim_)));
    double kept = 0.0;
    std::size_t level = 0;
    for (std::size_t r = 0; r < m_; ++r) {
        const double* row = basis_.data() + r * dim_;
        double s = 0.0;
        for (std::size_t j = 0; j < dim_; ++j) s += row[j] * query[j];
        out.y[r] = s;
        kept += s * s;
        if (r + 1 == ends_[level]) {
            const double t2 = n2 - kept;
            out.tails[level] = std::sqrt(std::max(0.0, t2));
            out.low[level] = std::sqrt(std::max(0.0, t2 - delta)) * (1.0 - 0x1p-48);
            out.high[level] = std::sqrt(std::max(0.0, t2 + delta)) * (1.0 + 0x1p-48);
            ++level;
        }
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
    const pruning::Kernels& k = pruning::chosen();
    Bound b{};
    b.margin_norm = query.margin_norm;
    if (query.metric == Metric::Euclidean) {
        b.slack = 1.0 + 4.0 * gamma(double(dim_ + m_ + 8));
        b.reach = b.slack * std::sqrt(limit) + query.margin_norm;
        // Without a bound to beat, nothing can be dropped.
        if (!(b.reach < std::numeric_limits<double>::infinity())) return ~std::uint32_t{0};
        return k.live[kEuclidean](group, m_, ends_, levels_, query.y.data(), query.low, query.high, b, nullptr,
                                  flagged_[g], rows);
    }
    b.limit = limit;
    b.exact_norm = query.exact_norm;
    const Kind kind = query.metric == Metric::Cosine ? kCosine : kDot;
    return k.live[kind](group, m_, ends_, levels_, query.y.data(), query.low, query.high, b, norms, flagged_[g], rows);
}

void PruningCopy::estimates(std::size_t g, const Query& query, double* out) const noexcept {
    const float* group = reinterpret_cast<const float*>(store_.data()) + g * stride_;
    const Kind kind = metric_ == Metric::Euclidean ? kEuclidean : metric_ == Metric::Cosine ? kCosine : kDot;
    // The second checkpoint: its 16 coordinates pick candidates
    // measurably better than the first's 8, for little more reading.
    const std::size_t level = levels_ > 1 ? 1 : 0;
    pruning::chosen().estimate[kind](group, ends_[level], query.y.data(), query.tails[level],
                                     group + (m_ + level) * kBlockLanes, group + (m_ + 2 * levels_) * kBlockLanes, out);
    for (std::uint32_t flagged = flagged_[g]; flagged != 0; flagged &= flagged - 1)
        out[std::countr_zero(flagged)] = std::numeric_limits<double>::infinity();
}

std::uint32_t score_quarters(const PreparedQuery& query, const double* block, std::size_t dim, const double* norms,
                             std::uint32_t lanes, double* values) noexcept {
    const bool euclidean = query.metric == Metric::Euclidean;
    return pruning::chosen().quarter[euclidean](query.data, block, dim, euclidean ? nullptr : norms, query.norm, lanes,
                                                values);
}

}  // namespace ombrix
