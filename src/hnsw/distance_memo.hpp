// The distances from the current insert's or search's query to the nodes it
// has scored so far.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "hnsw/marks.hpp"

namespace ombrix {

// Every pass of one insert or search scores the same query, and a node
// admitted at several layers would otherwise be scored once per layer; a
// score is a pure function of query and node, so a remembered one has the
// same bits.
struct DistanceMemo {
    EpochMarks known;              // nodes whose entry in `distance` is set
    std::vector<double> distance;  // by node id

    // Forgets every distance, for a graph of `nodes` nodes.
    void start(std::size_t nodes) {
        known.start(nodes);
        if (distance.size() < nodes) distance.resize(std::max(nodes, 2 * distance.size()));
    }

    // Knows the distances of nodes [0, nodes).
    void know_all(std::size_t nodes) noexcept {
        std::fill(known.marks.begin(), known.marks.begin() + static_cast<std::ptrdiff_t>(nodes), known.epoch);
    }
};

}  // namespace ombrix
