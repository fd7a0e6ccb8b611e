// The calling thread's working buffers for graph operations, reused across
// calls and indexes, so that several threads may search one index at once.
#pragma once

#include <cstdint>
#include <vector>

#include "hnsw/distance_memo.hpp"
#include "hnsw/epoch_set.hpp"
#include "hnsw/result_list.hpp"

namespace ombrix {

struct Scratch {
    EpochSet visited;   // nodes visited by the current layer search
    EpochSet linked;    // nodes linked to the node being inserted
    DistanceMemo memo;  // the current operation's distances
    CandidateHeap heap;
    std::vector<std::uint32_t> fresh;  // unvisited neighbours of the node being expanded
    std::vector<double> fresh_distances;
    std::vector<std::uint32_t> unknown;  // positions in `fresh` of the nodes still to score
    std::vector<double> smallest;        // the smallest distances of an operation, a max-heap
    std::vector<double> copied;          // the distances of a value's copied rows, in copy order
};

Scratch& thread_scratch() noexcept;

}  // namespace ombrix
