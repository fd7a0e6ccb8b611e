// What a flat index's searches read: builds the core index over the
// benchmark's vectors and reports, per query, the bytes read (stored
// vectors and pruning copy) as a fraction of a plain scan's, and the copy's
// size. Loaded by bench_flat.py through ctypes, beside the read floor.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "flat/flat.hpp"

extern "C" {

// Fills read[q] for each of the `queries` rows and returns the pruning
// copy's bytes over the stored float64 bytes (-1 on failure). metric: 0
// Euclidean, 1 inner product, 2 cosine.
__attribute__((visibility("default"))) double flat_reads(const double* rows, std::size_t count, std::size_t dim,
                                                         int metric, const double* queries, std::size_t nq,
                                                         std::size_t k, double* read) {
    using namespace ombrix;
    const Metric m = metric == 1 ? Metric::InnerProduct : metric == 2 ? Metric::Cosine : Metric::Euclidean;
    Flat index(dim, m);
    std::size_t stored = 0;
    if (index.create(rows, count, dim, stored)) return -1.0;
    const double plain = double(count) * double(dim) * sizeof(double);
    std::vector<ScoredId> out;
    for (std::size_t q = 0; q < nq; ++q) {
        Flat::Reads reads;
        if (index.search(std::span<const double>(queries + q * dim, dim), k, out, &reads)) return -1.0;
        read[q] = double(reads.stored + reads.scattered + reads.copy) / plain;
    }
    return double(index.pruning_copy().bytes()) / plain;
}
}
