// The two orders of a layer search: the candidate heap (nearest first, ties by
// smaller id) and the sorted result list that scored nodes are offered to.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "metrics/metrics.hpp"

namespace ombrix {

// Scored nodes handed to one offer() call at most.
inline constexpr std::size_t kOfferBatch = 16;

// Distance order of the heap and the result list: numbers by <, NaN after
// every number and equal to another NaN.
inline bool goes_before(double a, double b) noexcept { return !std::isnan(a) && (std::isnan(b) || a < b); }

struct Candidate {
    double distance;
    std::uint32_t id;
};

// A min-heap on (distance, id): equal distances come out by ascending id.
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
            if (goes_before(b.distance, a.distance)) return true;
            if (goes_before(a.distance, b.distance)) return false;
            return a.id > b.id;
        }
    };
    std::vector<Candidate> items_;
};

// Offers count <= kOfferBatch scored nodes to `result` (at most ef pairs,
// nearest first), in order: a node is taken while the result has room or when
// it is nearer than the result's last entry, goes in after every smaller
// entry and just before the last of equal ones, and becomes a candidate; a
// result over ef drops its last entry.
void offer(std::vector<ScoredId>& result, std::uint64_t ef, const double* dists, const std::uint32_t* ids,
           std::size_t count, CandidateHeap& heap);

}  // namespace ombrix
