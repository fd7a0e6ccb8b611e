// Subspace iteration on the sample's second-moment matrix, a Rayleigh-Ritz
// step (Jacobi) to order the directions by energy, and Gram-Schmidt twice so
// that the rows are orthonormal to the last bits. No LAPACK: m is small next
// to dim, and a few passes of C V cost a fraction of transforming the data.
#include "flat/pca.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <numeric>
#include <random>
#include <string_view>

#include "metrics/kernels.hpp"

namespace ombrix::pca {
namespace {

// Passes of V <- orth(V C) after the start from sample rows, which already
// lie in the data's span: energy ordering converges fast from there, and its
// quality only decides speed, never results.
constexpr int kPasses = 3;
// A fit gives up after a pass whose rows hold less than this fraction of
// the share of the energy the caller wants.
constexpr double kGiveUpBelow = 0.7;

// c[0, n) += a * x[0, n): the compiler vectorises it for each target.
template <int>
[[gnu::always_inline]] inline void axpy(double* c, double a, const double* x, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) c[j] += a * x[j];
}

// C (dim x dim) += sum over the rows of x x^T, upper triangle only; samples
// taken 16 at a time so that a row of C stays in the first-level cache.
template <int T>
[[gnu::always_inline]] inline void add_moments(const double* rows, std::size_t count, std::size_t dim, double* c) {
    constexpr std::size_t kChunk = 16;
    for (std::size_t start = 0; start < count; start += kChunk) {
        const std::size_t end = std::min(count, start + kChunk);
        for (std::size_t i = 0; i < dim; ++i)
            for (std::size_t s = start; s < end; ++s) {
                const double* x = rows + s * dim;
                axpy<T>(c + i * dim + i, x[i], x + i, dim - i);
            }
    }
}

// W (m x dim) = V C for symmetric C: row r of W is sum_i V[r][i] C[i].
template <int T>
[[gnu::always_inline]] inline void times_moments(const double* v, const double* c, std::size_t m, std::size_t dim,
                                                 double* w) {
    std::fill(w, w + m * dim, 0.0);
    for (std::size_t i = 0; i < dim; ++i)
        for (std::size_t r = 0; r < m; ++r) axpy<T>(w + r * dim, v[r * dim + i], c + i * dim, dim);
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] void add_moments_avx2(const double* rows, std::size_t count, std::size_t dim, double* c) {
    add_moments<1>(rows, count, dim, c);
}
[[gnu::target("avx2")]] void times_moments_avx2(const double* v, const double* c, std::size_t m, std::size_t dim,
                                                double* w) {
    times_moments<1>(v, c, m, dim, w);
}
#endif
void add_moments_generic(const double* rows, std::size_t count, std::size_t dim, double* c) {
    add_moments<0>(rows, count, dim, c);
}
void times_moments_generic(const double* v, const double* c, std::size_t m, std::size_t dim, double* w) {
    times_moments<0>(v, c, m, dim, w);
}

bool wide() noexcept {
#if defined(__x86_64__)
    return std::string_view(kernels::best().name) != "generic";
#else
    return false;
#endif
}

void moments(const double* rows, std::size_t count, std::size_t dim, double* c) {
#if defined(__x86_64__)
    if (wide()) return add_moments_avx2(rows, count, dim, c);
#endif
    add_moments_generic(rows, count, dim, c);
}

void times(const double* v, const double* c, std::size_t m, std::size_t dim, double* w) {
#if defined(__x86_64__)
    if (wide()) return times_moments_avx2(v, c, m, dim, w);
#endif
    times_moments_generic(v, c, m, dim, w);
}

// In any order: the fit's rounding is measured afterwards, not assumed.
double dot(const double* a, const double* b, std::size_t n) {
    double s[4] = {};
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4)
        for (std::size_t t = 0; t < 4; ++t) s[t] += a[i + t] * b[i + t];
    for (; i < n; ++i) s[0] += a[i] * b[i];
    return (s[0] + s[1]) + (s[2] + s[3]);
}

// Modified Gram-Schmidt over the rows of v, twice; a row that the others
// (nearly) span is replaced by a random direction, so that the result is
// always m orthonormal rows (data of low rank leaves such rows).
void orthonormalise(double* v, std::size_t m, std::size_t dim, std::mt19937_64& rng) {
    std::normal_distribution<double> gauss;
    for (std::size_t r = 0; r < m; ++r) {
        double* row = v + r * dim;
        for (int attempt = 0;; ++attempt) {
            const double before = std::sqrt(dot(row, row, dim));
            for (int pass = 0; pass < 2; ++pass)
                for (std::size_t s = 0; s < r; ++s) {
                    const double* other = v + s * dim;
                    axpy<0>(row, -dot(other, row, dim), other, dim);
                }
            const double after = std::sqrt(dot(row, row, dim));
            if (after > 1e-6 * before && after > 0.0 && std::isfinite(after)) {
                for (std::size_t j = 0; j < dim; ++j) row[j] /= after;
                break;
            }
            for (std::size_t j = 0; j < dim; ++j) row[j] = gauss(rng);
            if (attempt > 8) break;  // cannot happen with m <= dim
        }
    }
}

// Eigenvectors of the symmetric m x m matrix h (cyclic Jacobi): on return
// h's diagonal holds the eigenvalues and column a of e the a-th vector.
void jacobi(std::vector<double>& h, std::vector<double>& e, std::size_t m) {
    e.assign(m * m, 0.0);
    for (std::size_t a = 0; a < m; ++a) e[a * m + a] = 1.0;
    for (int sweep = 0; sweep < 50; ++sweep) {
        double off = 0.0, diag = 0.0;
        for (std::size_t p = 0; p < m; ++p) {
            diag += h[p * m + p] * h[p * m + p];
            for (std::size_t q = p + 1; q < m; ++q) off += h[p * m + q] * h[p * m + q];
        }
        if (!(off > 1e-30 * diag)) return;
        for (std::size_t p = 0; p < m; ++p)
            for (std::size_t q = p + 1; q < m; ++q) {
                const double hpq = h[p * m + q];
                if (hpq == 0.0) continue;
                const double theta = (h[q * m + q] - h[p * m + p]) / (2.0 * hpq);
                const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                for (std::size_t k = 0; k < m; ++k) {
                    const double kp = h[k * m + p], kq = h[k * m + q];
                    h[k * m + p] = c * kp - s * kq;
                    h[k * m + q] = s * kp + c * kq;
                }
                for (std::size_t k = 0; k < m; ++k) {
                    const double pk = h[p * m + k], qk = h[q * m + k];
                    h[p * m + k] = c * pk - s * qk;
                    h[q * m + k] = s * pk + c * qk;
                }
                for (std::size_t k = 0; k < m; ++k) {
                    const double kp = e[k * m + p], kq = e[k * m + q];
                    e[k * m + p] = c * kp - s * kq;
                    e[k * m + q] = s * kp + c * kq;
                }
            }
    }
}

}  // namespace

bool leading_components(const double* rows, std::size_t count, std::size_t dim, std::size_t m, double wanted_share,
                        std::vector<double>& components, double& captured) noexcept {
    if (m == 0 || m > dim || count == 0) return false;
    try {
        std::vector<double> c(dim * dim, 0.0);
        moments(rows, count, dim, c.data());
        // Scaled so that no sum of squares can overflow or vanish.
        double scale = 0.0;
        for (std::size_t i = 0; i < dim; ++i) scale = std::max(scale, c[i * dim + i]);
        if (!(scale > 0.0) || !std::isfinite(scale)) return false;
        for (std::size_t i = 0; i < dim; ++i)
            for (std::size_t j = i; j < dim; ++j) c[j * dim + i] = c[i * dim + j] = c[i * dim + j] / scale;

        std::mt19937_64 rng(0x5eed);
        std::vector<double> v(m * dim), w(m * dim);
        for (std::size_t r = 0; r < m; ++r)
            std::copy(rows + (r * count / m) * dim, rows + (r * count / m + 1) * dim, v.begin() + r * dim);
        orthonormalise(v.data(), m, dim, rng);
        double trace = 0.0;
        for (std::size_t i = 0; i < dim; ++i) trace += c[i * dim + i];
        for (int pass = 0; pass < kPasses; ++pass) {
            times(v.data(), c.data(), m, dim, w.data());
            // The energy the current rows hold, trace(V C V^T), never more
            // than the best m rows hold: data far from the share the caller
            // asks for after a pass end the fit here (isotropic data stay
            // far below it however long the iteration runs).
            double held = 0.0;
            for (std::size_t r = 0; r < m; ++r) held += dot(v.data() + r * dim, w.data() + r * dim, dim);
            if (held < kGiveUpBelow * wanted_share * trace) {
                captured = held / trace;
                return true;
            }
            v.swap(w);
            orthonormalise(v.data(), m, dim, rng);
        }

        // Rayleigh-Ritz: the best directions within the subspace, by energy.
        times(v.data(), c.data(), m, dim, w.data());
        std::vector<double> h(m * m), e;
        for (std::size_t a = 0; a < m; ++a)
            for (std::size_t b = 0; b < m; ++b) h[a * m + b] = dot(v.data() + a * dim, w.data() + b * dim, dim);
        for (std::size_t a = 0; a < m; ++a)
            for (std::size_t b = a + 1; b < m; ++b) h[a * m + b] = h[b * m + a] = 0.5 * (h[a * m + b] + h[b * m + a]);
        jacobi(h, e, m);
        double kept = 0.0;
        for (std::size_t a = 0; a < m; ++a) kept += h[a * m + a];
        captured = trace > 0.0 ? kept / trace : 0.0;
        std::vector<std::size_t> order(m);
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return h[a * m + a] > h[b * m + b]; });
        components.assign(m * dim, 0.0);
        for (std::size_t a = 0; a < m; ++a)
            for (std::size_t k = 0; k < m; ++k)
                axpy<0>(components.data() + a * dim, e[k * m + order[a]], v.data() + k * dim, dim);
        orthonormalise(components.data(), m, dim, rng);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

double orthonormality_error(const double* p, std::size_t m, std::size_t dim) noexcept {
    double sum = 0.0;
    for (std::size_t a = 0; a < m; ++a)
        for (std::size_t b = 0; b < m; ++b) {
            const double f = dot(p + a * dim, p + b * dim, dim) - (a == b ? 1.0 : 0.0);
            sum += f * f;
        }
    return std::sqrt(sum);
}

}  // namespace ombrix::pca
