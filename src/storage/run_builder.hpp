// Building one run of a SpatialStore from finite rows, in k-d order (from
// rows stored row by row) or grid order (from groups of kBlockLanes rows
// coordinate-major), with the exact boxes of every node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "storage/spatial_store.hpp"

namespace ombrix {

// `count` rows (a multiple of kBlockLanes, at least one leaf) into `run` in
// k-d order. Throws std::bad_alloc when memory is short; false when a page
// buffer cannot be had.
bool build_kd_run(const double* rows, const std::uint64_t* ids, std::size_t count, std::size_t dim, bool keep_norms,
                  SpatialStore::Scratch& scratch, SpatialRun& run);
// The rows of `groups` into `run` in grid order; `norms` per row, with norms
// kept. Fails as build_kd_run does.
bool build_grid_run(std::vector<const double*> groups, const std::uint64_t* ids, const double* norms, std::size_t dim,
                    bool keep_norms, SpatialStore::Scratch& scratch, SpatialRun& run);

}  // namespace ombrix
