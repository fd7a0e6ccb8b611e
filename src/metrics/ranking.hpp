// How results rank: a metric value and a vector id, ordered by value with NaN
// last, equal values by smaller id.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ombrix {

// A search result before conversion: a metric value and a vector id.
struct ScoredId {
    double distance;
    std::uint64_t id;
};

// The order of metric values: numbers by <, NaN after every number and equal
// to another NaN, -0.0 equal to +0.0.
inline bool value_before(double a, double b) noexcept { return a == a && (b != b || a < b); }

// The ranking order of results: by value_before, equal values by smaller id.
inline bool ranks_before(const ScoredId& a, const ScoredId& b) noexcept {
    if (value_before(a.distance, b.distance)) return true;
    if (value_before(b.distance, a.distance)) return false;
    return a.id < b.id;
}

// Offers a pair to a max-heap by ranks_before (the worst kept on top) that
// keeps the best `wanted` seen; true when the pair was kept. The heap's
// capacity must already hold `wanted`, so that nothing is allocated.
inline bool offer_bounded(std::vector<ScoredId>& heap, std::size_t wanted, const ScoredId& candidate) noexcept {
    if (heap.size() < wanted) {
        heap.push_back(candidate);
        std::push_heap(heap.begin(), heap.end(), ranks_before);
    } else if (ranks_before(candidate, heap.front())) {
        std::pop_heap(heap.begin(), heap.end(), ranks_before);
        heap.back() = candidate;
        std::push_heap(heap.begin(), heap.end(), ranks_before);
    } else {
        return false;
    }
    return true;
}

}  // namespace ombrix
