// Orthogonal iteration on the sample's Gram matrix (the sample being smaller
// than dim, its count x count inner products are the cheaper side of the
// second moment: they share its nonzero eigenvalues, and S^T u is the
// direction of an eigenvector u), the directions ordered by energy, and
// Gram-Schmidt twice so that the rows are orthonormal to the last bits. No
// LAPACK: m and the sample are small, and the fit costs a fraction of
// transforming the data. Its products run in float32: their rounding only
// decides how well the basis compacts the energy, and the caller measures
// the orthonormality it relies on.
#include "flat/pca.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <numeric>
#include <random>

#include "metrics/kernels.hpp"
#include "metrics/simd.hpp"

namespace ombrix::pca {
namespace {

// Passes of U <- orth(U G) after a start from single sample rows, which
// already lie in the data's span: energy ordering converges fast from there,
// and its quality only decides speed, never results.
constexpr int kPasses = 3;
// A fit gives up after a pass whose rows hold less than this fraction of
// the share of the energy the caller wants.
constexpr double kGiveUpBelow = 0.7;

// Whether the AVX2 variants run here.
bool wide() noexcept {
#if defined(__x86_64__)
    constexpr kernels::CpuFeatures kNeeds = kernels::cpu::kAVX | kernels::cpu::kAVX2 | kernels::cpu::kYmmState;
    static const bool yes = (kernels::detect_cpu_features() & kNeeds) == kNeeds;
    return yes;
#else
    return false;
#endif
}

// c[0, n) += a * x[0, n).
[[gnu::always_inline]] inline void axpy(double* c, double a, const double* x, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) c[j] += a * x[j];
}

// In any order: the fit's rounding is measured afterwards, not assumed.
[[gnu::always_inline]] inline double dot(const double* a, const double* b, std::size_t n) {
    double s[4] = {};
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4)
        for (std::size_t t = 0; t < 4; ++t) s[t] += a[i + t] * b[i + t];
    for (; i < n; ++i) s[0] += a[i] * b[i];
    return (s[0] + s[1]) + (s[2] + s[3]);
}

// out[i * nb + j] += a_i . b_j over [0, len) of rows na rows a_i and nb rows
// b_j, `stride` apart: two rows of a against four of b at a time, so that
// each load serves several sums (`upper`: only j >= i, up to the blocks of
// four, for a symmetric out).
template <class V, class T>
[[gnu::always_inline]] inline V load(const T* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class V, class T>
[[gnu::always_inline]] inline void dots_impl(const T* a, std::size_t na, const T* b, std::size_t nb, std::size_t stride,
                                             std::size_t len, double* out, bool upper) {
    constexpr std::size_t W = sizeof(V) / sizeof(T);
    const std::size_t whole = len / W * W;
    for (std::size_t i = 0; i < na; i += 2) {
        const std::size_t ni = std::min<std::size_t>(2, na - i);
        for (std::size_t j = upper ? i / 4 * 4 : 0; j < nb; j += 4) {
            const std::size_t nj = std::min<std::size_t>(4, nb - j);
            if (ni < 2 || nj < 4) {
                for (std::size_t x = 0; x < ni; ++x)
                    for (std::size_t y = 0; y < nj; ++y)
                        for (std::size_t k = 0; k < len; ++k)
                            out[(i + x) * nb + j + y] += double(a[(i + x) * stride + k]) * b[(j + y) * stride + k];
                continue;
            }
            V acc[2][4] = {};
            for (std::size_t k = 0; k < whole; k += W) {
                const V a0 = load<V>(a + i * stride + k), a1 = load<V>(a + (i + 1) * stride + k);
                for (std::size_t y = 0; y < 4; ++y) {
                    const V bv = load<V>(b + (j + y) * stride + k);
                    acc[0][y] += a0 * bv;
                    acc[1][y] += a1 * bv;
                }
            }
            for (std::size_t x = 0; x < 2; ++x)
                for (std::size_t y = 0; y < 4; ++y) {
                    double sum = 0.0;
                    for (std::size_t l = 0; l < W; ++l) sum += acc[x][y][l];
                    for (std::size_t k = whole; k < len; ++k)
                        sum += double(a[(i + x) * stride + k]) * b[(j + y) * stride + k];
                    out[(i + x) * nb + j + y] += sum;
                }
        }
    }
}

#if defined(__x86_64__)
template <class T>
[[gnu::target("avx2")]] void dots_avx2(const T* a, std::size_t na, const T* b, std::size_t nb, std::size_t stride,
                                       std::size_t len, double* out, bool upper) {
    if constexpr (sizeof(T) == 4) {
        dots_impl<simd::v8f>(a, na, b, nb, stride, len, out, upper);
    } else {
        dots_impl<simd::v4d>(a, na, b, nb, stride, len, out, upper);
    }
}
#endif
template <class T>
void dots_generic(const T* a, std::size_t na, const T* b, std::size_t nb, std::size_t stride, std::size_t len,
                  double* out, bool upper) {
    if constexpr (sizeof(T) == 4) {
        dots_impl<simd::v4f>(a, na, b, nb, stride, len, out, upper);
    } else {
        dots_impl<simd::v2d>(a, na, b, nb, stride, len, out, upper);
    }
}

// out[i * nb + j] = a_i . b_j for rows of n values, n taken a slice at a
// time so that the slices of b stay in the second-level cache. In float32
// where only the fit's quality depends on it (the cost of the sample's Gram
// matrix and of the directions, halved).
template <class T>
void dots(const T* a, std::size_t na, const T* b, std::size_t nb, std::size_t n, double* out, bool upper = false) {
    constexpr std::size_t kSlice = 256 / sizeof(T) * 4;
    std::fill(out, out + na * nb, 0.0);
    for (std::size_t k = 0; k < n; k += kSlice) {
        const std::size_t len = std::min(kSlice, n - k);
#if defined(__x86_64__)
        if (wide()) {
            dots_avx2(a + k, na, b + k, nb, n, len, out, upper);
            continue;
        }
#endif
        dots_generic(a + k, na, b + k, nb, n, len, out, upper);
    }
}

// Modified Gram-Schmidt over the rows of v, `passes` times (twice makes the
// rows orthonormal to the last bits; once is enough between the iteration's
// steps, whose rounding the final pass removes); a row that the others
// (nearly) span is replaced by a random direction, so that the result is
// always m orthonormal rows (data of low rank leaves such rows).
template <int>
[[gnu::always_inline]] inline void orthonormalise_rows(double* v, std::size_t m, std::size_t dim, std::mt19937_64& rng,
                                                       int passes) {
    std::normal_distribution<double> gauss;
    for (std::size_t r = 0; r < m; ++r) {
        double* row = v + r * dim;
        for (int attempt = 0;; ++attempt) {
            const double before = std::sqrt(dot(row, row, dim));
            for (int pass = 0; pass < passes; ++pass)
                for (std::size_t s = 0; s < r; ++s) {
                    const double* other = v + s * dim;
                    axpy(row, -dot(other, row, dim), other, dim);
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

#if defined(__x86_64__)
[[gnu::target("avx2")]] void orthonormalise_avx2(double* v, std::size_t m, std::size_t dim, std::mt19937_64& rng,
                                                 int passes) {
    orthonormalise_rows<1>(v, m, dim, rng, passes);
}
#endif

void orthonormalise(double* v, std::size_t m, std::size_t dim, std::mt19937_64& rng, int passes = 2) {
#if defined(__x86_64__)
    if (wide()) return orthonormalise_avx2(v, m, dim, rng, passes);
#endif
    orthonormalise_rows<0>(v, m, dim, rng, passes);
}

}  // namespace

bool leading_components(const double* rows, std::size_t count, std::size_t dim, std::size_t m, double wanted_share,
                        std::vector<double>& components, double& captured) noexcept {
    if (m == 0 || m > dim || m > count) return false;
    try {
        const std::size_t n = count;
        std::vector<float> floats(rows, rows + n * dim);
        std::vector<double> g(n * n);
        dots(floats.data(), n, floats.data(), n, dim, g.data(), true);
        // Scaled so that no sum of squares can overflow or vanish.
        double scale = 0.0;
        for (std::size_t a = 0; a < n; ++a) scale = std::max(scale, g[a * n + a]);
        if (!(scale > 0.0) || !std::isfinite(scale)) return false;
        double trace = 0.0;
        for (std::size_t a = 0; a < n; ++a) trace += g[a * n + a] / scale;
        std::vector<float> gram(n * n);
        for (std::size_t a = 0; a < n; ++a)
            for (std::size_t b = a; b < n; ++b)
                gram[a * n + b] = gram[b * n + a] = static_cast<float>(g[a * n + b] / scale);

        std::mt19937_64 rng(0x5eed);
        std::vector<double> u(m * n, 0.0), w(m * n);
        std::vector<float> uf(m * n);
        for (std::size_t r = 0; r < m; ++r) u[r * n + r * n / m] = 1.0;
        double held = 0.0;
        for (int pass = 0; pass <= kPasses; ++pass) {
            std::copy(u.begin(), u.end(), uf.begin());
            dots(uf.data(), m, gram.data(), n, n, w.data());  // W = U G, G symmetric
            // The energy the current rows hold, trace(U G U^T), never more
            // than the best m rows hold: data far from the share the caller
            // asks for after a pass end the fit here (isotropic data stay
            // far below it however long the iteration runs). From the
            // start's single rows it says nothing yet.
            held = 0.0;
            for (std::size_t r = 0; r < m; ++r) held += dot(u.data() + r * n, w.data() + r * n, n);
            if (pass > 0 && held < kGiveUpBelow * wanted_share * trace) {
                captured = held / trace;
                return true;
            }
            if (pass == kPasses) break;
            u.swap(w);
            orthonormalise(u.data(), m, n, rng, 1);
        }
        captured = held / trace;

        // The rows strongest first (orthogonal iteration leaves them nearly
        // so); direction r is S^T u_r, the sample's rows weighted.
        std::vector<double> energy(m);
        for (std::size_t r = 0; r < m; ++r) energy[r] = dot(u.data() + r * n, w.data() + r * n, n);
        std::vector<std::size_t> order(m);
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return energy[a] > energy[b]; });
        std::vector<float> columns(dim * n), weights(m * n);
        for (std::size_t r = 0; r < m; ++r) std::copy_n(u.begin() + order[r] * n, n, weights.begin() + r * n);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < dim; ++j) columns[j * n + i] = floats[i * dim + j];
        components.resize(m * dim);
        dots(weights.data(), m, columns.data(), dim, n, components.data());
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
