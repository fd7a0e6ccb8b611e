// The leading principal directions of a sample of vectors: an orthonormal
// basis of the subspace that holds most of their energy, strongest first.
// The pruning copy (pruning_copy.hpp) keeps stored vectors' coordinates in
// it. Any orthonormal basis keeps search results exact; how well this one
// compacts the energy only decides how much a search can skip.
#pragma once

#include <cstddef>
#include <vector>

namespace ombrix::pca {

// `count` rows of `dim` finite values, back to back. Fills `components` with
// `m` <= dim orthonormal rows of `dim` values (row-major), ordered by
// decreasing second moment of the sample (not centred: inner products must
// survive the transform too). False when memory is short or the sample
// spans too little to fill m rows; nothing is then promised of `components`.
// `captured` receives the share of the sample's energy the rows hold; a fit
// that finds it far below `wanted_share` may stop early, with rows that are
// then not orthonormal (the caller is to drop them).
[[nodiscard]] bool leading_components(const double* rows, std::size_t count, std::size_t dim, std::size_t m,
                                      double wanted_share, std::vector<double>& components, double& captured) noexcept;

// The Frobenius norm of P P^T - I for the m x dim rows of `p`: a bound on
// how far P is from having orthonormal rows (its spectral norm).
double orthonormality_error(const double* p, std::size_t m, std::size_t dim) noexcept;

}  // namespace ombrix::pca
