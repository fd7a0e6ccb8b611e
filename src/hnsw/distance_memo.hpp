// The distances from the current insert's or search's query to the nodes it
// has scored so far.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "hnsw/epoch_set.hpp"

namespace ombrix {

// Every pass of one insert or search scores the same query, and a node
// admitted at several layers would otherwise be scored once per layer; a
// score is a pure function of query and node, so a remembered one has the
// same bits.
struct DistanceMemo {
    EpochSet known;                // nodes whose entry in `distance` is set
    std::vector<double> distance;  // by node id
    bool complete = false;         // every node's distance is known

    // Where a result of `ef` pairs is final, when every node is known: the
    // ef-th smallest distance and how many are smaller. A result of ef
    // pairs whose last distance is `last` and that holds `below` pairs
    // below it holds every node nearer than its last; nothing can enter it
    // any more.
    struct Final {
        std::uint64_t ef = 0;  // 0: none
        double last = 0.0;
        std::uint64_t below = 0;
    } final;
    bool final_reached = false;  // a pass ended on `final`

    // Forgets every distance, for a graph of `nodes` nodes.
    void start(std::size_t nodes) {
        known.start(nodes);
        if (distance.size() < nodes) distance.resize(std::max(nodes, 2 * distance.size()));
        complete = false;
        final = {};
        final_reached = false;
    }

    // Knows the distances of nodes [0, nodes).
    void know_all(std::size_t nodes) noexcept {
        std::fill(known.marks.begin(), known.marks.begin() + static_cast<std::ptrdiff_t>(nodes), known.epoch);
        complete = true;
    }
};

}  // namespace ombrix
