// Batched scoring: the kernels, the variants this machine can run, and the
// calls both indexes score through. Every variant gives the bits of the
// reference functions (reference.hpp): one stored vector per SIMD lane, each
// lane adding its own terms left to right, no FMA.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "metrics/metrics.hpp"

namespace ombrix::kernels {

// ---- Row kernel: stored vectors reached through pointers, anywhere in
// memory (a graph walk's scattered rows, a few rows past the blocks).

// Stored vectors scored together by one call of a row kernel.
inline constexpr std::size_t kLanes = 16;

// Scores count <= kLanes vectors (see score_batch). With `bounded`, Euclidean
// lanes may stop once every lane's partial distance is >= bound.
using RowKernel = void (*)(const PreparedQuery& query, const double* const* vectors, const double* norms,
                           std::size_t count, double* out, bool bounded, double bound) noexcept;

// ---- Block kernel: kBlockLanes vectors stored coordinate-major, coordinate
// j of lane l at block[j * kBlockLanes + l] (storage/blocked_rows.hpp), read
// as one stream.

inline constexpr std::size_t kBlockLanes = 32;  // a block's lanes fit one 32-bit mask

// Scores one block: values[l] = the left-to-right sum over j < dim of
// (q[j] - x[j])^2 (Euclidean: the squared distance) or q[j] * x[j] (dot),
// the dot then divided by (query_norm * norms[l]) when `norms` is given
// (cosine), for every lane l. Returns the bits of the lanes whose value is
// below `limit` (a NaN value never is), or of every lane without kBounded.
// The flags choose how the work is done; none changes a value or a bit.
enum BlockFlags : unsigned {
    kBounded = 1,  // return only the lanes below `limit`
    kAbandon = 2,  // Euclidean and bounded: stop once every lane's partial sum
                   // is >= limit and return kAbandoned with the rows read;
                   // `values` is then unspecified
};
// Above the lane bits: no lane is below the limit, found before the last row.
inline constexpr std::uint64_t kAbandoned = std::uint64_t{1} << 32;
// The rows (coordinates) an abandoned scan read, at most 2^31 - 1.
inline constexpr unsigned kRowsReadShift = 33;
inline constexpr std::size_t rows_read(std::uint64_t scanned) noexcept {
    return static_cast<std::size_t>(scanned >> kRowsReadShift);
}
using BlockKernel = std::uint64_t (*)(const double* query, const double* block, std::size_t dim, const double* norms,
                                      double query_norm, unsigned flags, double limit, double* values) noexcept;

// Writes kBlockLanes row-major vectors of length dim into one block: a pure
// copy of bits, in blocked order.
using PackKernel = void (*)(const double* rows, std::size_t dim, double* block) noexcept;

struct Variant {
    const char* name;
    RowKernel row;
    BlockKernel block_euclidean;
    BlockKernel block_dot;
    PackKernel pack;
};

// What the processor offers and the operating system saves across context
// switches, one bit each: a variant is chosen only when every instruction its
// compiler may use (the whole instruction-set level it was compiled for) is
// there and the system saves the registers it uses.
using CpuFeatures = std::uint32_t;
namespace cpu {
enum : CpuFeatures {
    kSSE3 = 1u << 0,
    kSSSE3 = 1u << 1,
    kSSE41 = 1u << 2,
    kSSE42 = 1u << 3,
    kPOPCNT = 1u << 4,
    kCX16 = 1u << 5,
    kLAHF = 1u << 6,
    kAVX = 1u << 7,
    kAVX2 = 1u << 8,
    kBMI1 = 1u << 9,
    kBMI2 = 1u << 10,
    kF16C = 1u << 11,
    kFMA = 1u << 12,
    kLZCNT = 1u << 13,
    kMOVBE = 1u << 14,
    kXSAVE = 1u << 15,
    kAVX512F = 1u << 16,
    kAVX512BW = 1u << 17,
    kAVX512CD = 1u << 18,
    kAVX512DQ = 1u << 19,
    kAVX512VL = 1u << 20,
    kYmmState = 1u << 21,  // the system saves the XMM and YMM registers
    kZmmState = 1u << 22,  // ... and the opmask and full ZMM registers
};
}  // namespace cpu

// This machine's features (none off x86).
CpuFeatures detect_cpu_features() noexcept;

struct VariantChoice {
    Variant entries[4];
    std::size_t count = 0;
    std::size_t streaming = 0;  // index of the streaming() entry
};

// The kernels a machine with `features` can run, fastest first.
VariantChoice choose_variants(CpuFeatures features) noexcept;

// The kernels this machine can run, fastest first; the first is the one in
// use. Tests run every entry against the scalar reference.
std::span<const Variant> variants() noexcept;

inline const Variant& best() noexcept { return variants().front(); }

// The entry whose block kernel is fastest on data read from memory rather
// than the caches (the hardware prefetcher alone keeps those scans fed).
const Variant& streaming() noexcept;

// A block scan over more bytes than this streams from memory; a smaller one
// is served by the caches.
inline constexpr std::size_t kStreamAbove = std::size_t{32} << 20;

// The variant for a block scan that reads `bytes`.
inline const Variant& for_scan(std::size_t bytes) noexcept { return bytes > kStreamAbove ? streaming() : best(); }

// Scores count <= kLanes vectors with the best row kernel.
inline void score(const PreparedQuery& query, const double* const* vectors, const double* norms, std::size_t count,
                  double* out, bool bounded, double bound) noexcept {
    best().row(query, vectors, norms, count, out, bounded, bound);
}

}  // namespace ombrix::kernels

namespace ombrix {

// Scores `count` stored vectors: out[i] = metric(query, vectors[i]), bit for
// bit. `norms[i]` must hold sqrt(squared_norm(vectors[i])) under cosine and
// may be null otherwise.
void score_batch(const PreparedQuery& query, const double* const* vectors, const double* norms, std::size_t count,
                 double* out) noexcept;

// The same, except that under Euclidean, when `bound` is given, a vector
// whose partial sum already shows a distance >= *bound may stop early; its
// out[i] is then a value >= *bound that is smaller than or equal to the true
// distance. Callers pass a bound only where any value >= bound is rejected
// whatever it is exactly.
void score_batch(const PreparedQuery& query, const double* const* vectors, const double* norms, std::size_t count,
                 double* out, std::optional<double> bound) noexcept;

// The same for `count` vectors stored back to back with stride `dim`.
void score_contiguous(const PreparedQuery& query, const double* first, std::size_t dim, const double* norms,
                      std::size_t count, double* out, std::optional<double> bound = std::nullopt) noexcept;

}  // namespace ombrix
