// The two orders of a layer search: the candidate heap (nearest first, ties by
// smaller id) and the sorted result list that scored nodes are offered to.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "metrics/metrics.hpp"
#include "metrics/ranking.hpp"

namespace ombrix {

// Scored nodes handed to one offer() call at most.
inline constexpr std::size_t kOfferBatch = 16;

struct Candidate {
    double distance;
    std::uint32_t id;
};

// A min-heap in ranking order (value_before, equal distances by ascending id).
class CandidateHeap {
public:
    void clear() noexcept { items_.clear(); }
    bool empty() const noexcept { return items_.empty(); }
    void push(Candidate c) {
        items_.push_back(c);
        std::push_heap(items_.begin(), items_.end(), ComesOutLater{});
    }
    // The candidate that comes out next (the heap must not be empty).
    const Candidate& top() const noexcept { return items_.front(); }
    Candidate pop() noexcept {
        std::pop_heap(items_.begin(), items_.end(), ComesOutLater{});
        const Candidate c = items_.back();
        items_.pop_back();
        return c;
    }

private:
    // std heaps keep the "largest" on top; "comes out later" as larger makes
    // a min-heap.
    struct ComesOutLater {
        bool operator()(const Candidate& a, const Candidate& b) const noexcept {
            if (value_before(b.distance, a.distance)) return true;
            if (value_before(a.distance, b.distance)) return false;
            return a.id > b.id;
        }
    };
    std::vector<Candidate> items_;
};

// How many entries of the sorted data[0, size) come before the first that
// `before` refuses (it must hold on a prefix only): a binary search with no
// branch on the data, since most fresh nodes are placed through it.
template <class Before>
std::size_t prefix_length(const ScoredId* data, std::size_t size, Before before) noexcept {
    std::size_t base = 0, n = size;
    while (n > 1) {
        const std::size_t half = n / 2;
        base += half * static_cast<std::size_t>(before(data[base + half - 1].distance));
        n -= half;
    }
    if (n == 1) base += static_cast<std::size_t>(before(data[base].distance));
    return base;
}

// The entries of a sorted result below `dist` (a number).
inline std::size_t count_below(const std::vector<ScoredId>& result, double dist) noexcept {
    return prefix_length(result.data(), result.size(), [dist](double d) { return d < dist; });
}

// Offers count <= kOfferBatch scored nodes to `result` (at most ef pairs,
// nearest first), in order: a node is taken while the result has room or when
// it is nearer than the result's last entry, goes in after every smaller
// entry and just before the last of equal ones, and becomes a candidate; a
// result over ef drops its last entry.
void offer(std::vector<ScoredId>& result, std::uint64_t ef, const double* dists, const std::uint32_t* ids,
           std::size_t count, CandidateHeap& heap);

}  // namespace ombrix
