// How results rank: a metric value and a vector id, ordered by value with NaN
// last, equal values by smaller id.
#pragma once

#include <cstdint>

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

}  // namespace ombrix
