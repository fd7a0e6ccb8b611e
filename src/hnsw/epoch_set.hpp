// A set of node ids emptied in O(1): a node is in the set when its mark
// equals the set's current epoch.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ombrix {

// 16-bit marks keep the array cache-resident; it is wiped once every 65535
// uses.
struct EpochSet {
    std::vector<std::uint16_t> marks;
    std::uint16_t epoch = 0;

    // Empties the set for a graph of `nodes` nodes.
    void start(std::size_t nodes) {
        if (marks.size() < nodes) marks.resize(nodes, 0);
        if (++epoch == 0) {
            std::fill(marks.begin(), marks.end(), 0);
            epoch = 1;
        }
    }
    bool contains(std::size_t id) const noexcept { return marks[id] == epoch; }
    void insert(std::size_t id) noexcept { marks[id] = epoch; }
};

}  // namespace ombrix
