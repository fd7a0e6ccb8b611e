// Offering scored nodes to a sorted result list, one by one or a batch at once.
#include "hnsw/result_list.hpp"

#include <cmath>
#include <cstring>

namespace ombrix {
namespace {

// After every smaller entry; among equal entries, just before the last one.
// A number goes before the first entry that is greater (or NaN); the entry
// ahead of that one is smaller or equal, and if equal the last of its kind.
std::size_t insert_position(const std::vector<ScoredId>& result, double dist) noexcept {
    const std::size_t size = result.size();
    if (std::isnan(dist)) return size > 0 && std::isnan(result.back().distance) ? size - 1 : size;
    const ScoredId* const data = result.data();
    std::size_t base = prefix_length(data, size, [dist](double d) { return d <= dist; });
    if (base > 0 && !(data[base - 1].distance < dist)) --base;
    return base;
}

// Puts `entry` at `position`; a result that already holds `ef` entries
// drops its last one.
void place(std::vector<ScoredId>& result, std::size_t position, ScoredId entry, std::uint64_t ef) {
    const auto at = result.begin() + static_cast<std::ptrdiff_t>(position);
    if (result.size() < ef) {
        result.insert(at, entry);
        return;
    }
    std::move_backward(at, result.end() - 1, result.end());
    *at = entry;
}

// The definition: offers the nodes one by one.
void offer_each(std::vector<ScoredId>& result, std::uint64_t ef, const double* dists, const std::uint32_t* ids,
                std::size_t count, CandidateHeap& heap) {
    for (std::size_t j = 0; j < count; ++j) {
        const double dist = dists[j];
        if (result.size() < ef || dist < result.back().distance) {
            heap.push({dist, ids[j]});
            place(result, insert_position(result, dist), ScoredId{dist, ids[j]}, ef);
        }
    }
}

}  // namespace

// The same outcome as offer_each, without placing each taken node into the
// result on its own. Which nodes are taken depends only on the distances
// kept, so it is decided on the side: the taken nodes still kept are held
// sorted, the result's entries still kept are a prefix of it, and the larger
// of the two lasts drops out when the result overflows. The kept ones then go
// in with one shift per run. With all distances distinct this is exactly the
// one-by-one order; any NaN or any equal pair among the entries compared (the
// only way ties could matter) falls back to offer_each.
void offer(std::vector<ScoredId>& result, std::uint64_t ef, const double* dists, const std::uint32_t* ids,
           std::size_t count, CandidateHeap& heap) {
    const std::size_t size = result.size();
    if (size > 0 && std::isnan(result.back().distance)) return offer_each(result, ef, dists, ids, count, heap);
    ScoredId* const data = result.data();
    double kept[kOfferBatch];
    std::uint32_t kept_ids[kOfferBatch];
    Candidate taken[kOfferBatch];
    std::size_t a = 0, r = size, t = 0;
    for (std::size_t j = 0; j < count; ++j) {
        const double dist = dists[j];
        if (std::isnan(dist)) return offer_each(result, ef, dists, ids, count, heap);
        if (r + a >= ef) {
            const double last = r == 0   ? kept[a - 1]
                                : a == 0 ? data[r - 1].distance
                                         : std::max(data[r - 1].distance, kept[a - 1]);
            if (!(dist < last)) continue;
        }
        taken[t++] = {dist, ids[j]};
        std::size_t p = a;
        for (; p > 0 && kept[p - 1] > dist; --p) {
            kept[p] = kept[p - 1];
            kept_ids[p] = kept_ids[p - 1];
        }
        if (p > 0 && kept[p - 1] == dist) return offer_each(result, ef, dists, ids, count, heap);
        kept[p] = dist;
        kept_ids[p] = ids[j];
        ++a;
        if (r + a > ef) {
            if (r == 0 || kept[a - 1] > data[r - 1].distance) {
                --a;
            } else {
                if (kept[a - 1] == data[r - 1].distance) return offer_each(result, ef, dists, ids, count, heap);
                --r;
            }
        }
    }
    if (t == 0) return;
    std::size_t at[kOfferBatch];
    for (std::size_t k = 0; k < a; ++k) {
        at[k] = prefix_length(data, r, [d = kept[k]](double e) { return e < d; });
        if (at[k] < r && data[at[k]].distance == kept[k]) return offer_each(result, ef, dists, ids, count, heap);
    }
    result.resize(r + a);
    ScoredId* const moved = result.data();
    std::size_t end = r;
    for (std::size_t k = a; k-- > 0;) {
        std::memmove(moved + at[k] + k + 1, moved + at[k], (end - at[k]) * sizeof(ScoredId));
        moved[at[k] + k] = {kept[k], kept_ids[k]};
        end = at[k];
    }
    for (std::size_t k = 0; k < t; ++k) heap.push(taken[k]);
}

}  // namespace ombrix
