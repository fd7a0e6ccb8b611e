// The beam walk of one layer.
//
// Equivalent to walking each expanded node's single list: "visited" is tested
// before the metric (a visited node is skipped either way), and the fresh
// neighbours of one node are scored together, then offered to the result in
// list order.
//
// Only a fresh node can change the result. Without a filter every admitted
// node met is visited at once, so when the visited admitted nodes number the
// layer's whole population no list can offer a fresh one any more: the result
// is final and the pass ends there. (Under a filter a failing node stays
// unvisited and is tested again, so the count does not tell.)
#include "hnsw/layer_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "hnsw/scratch.hpp"

namespace ombrix {

void LayerSearch::start_operation(const PreparedQuery& query, bool score_all) const {
    DistanceMemo& memo = thread_scratch().memo;
    const std::size_t nodes = levels_.size();
    memo.start(nodes);
    if (!score_all) return;
    rows_.score_all(query, memo.distance.data());
    memo.know_all(nodes);
    counters_.scored.add(nodes);
}

std::uint64_t LayerSearch::run(const PreparedQuery& query, NodeId entry, std::uint64_t ef, std::uint64_t layer,
                               const Filter* filter, std::size_t position, bool memo,
                               std::vector<ScoredId>& result) const {
    Scratch& s = thread_scratch();
    s.visited.start(levels_.size());
    const std::uint16_t epoch = s.visited.epoch;
    std::uint16_t* const stamps = s.visited.marks.data();
    CandidateHeap& heap = s.heap;
    std::vector<NodeId>& fresh = s.fresh;
    heap.clear();
    result.clear();
    const double* const node_norms = rows_.norms();
    const std::uint64_t* const levels = levels_.data();

    const double* vectors[kOfferBatch];
    double norms[kOfferBatch];
    double dists[kOfferBatch];

    std::uint16_t* const known = s.memo.known.marks.data();
    const std::uint16_t known_epoch = s.memo.known.epoch;
    double* const known_distance = s.memo.distance.data();
    std::uint64_t taken = 1, scored = 0, scanned = 0, expansions = 0;

    if (memo && known[entry] == known_epoch) {
        dists[0] = known_distance[entry];
    } else {
        vectors[0] = rows_.row(entry);
        if (node_norms) norms[0] = node_norms[entry];
        score_batch(query, vectors, node_norms ? norms : nullptr, 1, dists);
        ++scored;
        if (memo) {
            known_distance[entry] = dists[0];
            known[entry] = known_epoch;
        }
    }
    result.push_back({dists[0], entry});
    heap.push({dists[0], entry});
    stamps[entry] = epoch;

    // Fresh nodes still to be met before the population is exhausted; no
    // limit when the count cannot decide.
    std::uint64_t unseen = std::numeric_limits<std::uint64_t>::max();
    if (filter == nullptr && traversal_ == Traversal::Shortcut)
        unseen = levels_.population(layer) - (levels[entry] >= layer ? 1 : 0);

    while (!heap.empty() && unseen != 0) {
        const Candidate c = heap.pop();
        const double last = result.back().distance;
        if (!std::isnan(last) && (last < c.distance || std::isnan(c.distance))) break;

        const std::uint64_t top = links_.top(c.id);
        const std::vector<NodeId>& list = links_.list(c.id, layer);
        if (fresh.size() < list.size()) {
            fresh.resize(list.size());
            s.fresh_distances.resize(list.size());
            s.unknown.resize(list.size());
        }
        NodeId* const out = fresh.data();
        const std::size_t size = list.size();
        const NodeId* const ids = list.data();
        std::size_t found = 0, i = 0;
        if (layer <= top && filter == nullptr) {
            // Branch-free: write every id, keep it only if it was unvisited.
            // Marking an already visited node again changes nothing.
            for (; i < size && found < unseen; ++i) {
                const NodeId n = ids[i];
                out[found] = n;
                found += stamps[n] != epoch;
                stamps[n] = epoch;
            }
        } else {
            // Met above its kept sub-lists (as a pass entry, or node 0 beyond
            // the cap), the node's highest one is filtered by level. A node
            // failing the filter stays unvisited: it is tested again whenever
            // another node lists it.
            for (; i < size && found < unseen; ++i) {
                const NodeId n = ids[i];
                if (stamps[n] == epoch || levels[n] < layer) continue;
                if (filter != nullptr && !node_passes(*filter, position, metadata_.row(n))) continue;
                stamps[n] = epoch;
                out[found++] = n;
            }
        }
        scanned += i;
        ++expansions;
        unseen -= found;

        // The fresh nodes' distances in list order: those an earlier pass of
        // this operation scored are recalled, the others scored kOfferBatch
        // at a time with the next batch's rows on their way.
        double* const fresh_distances = s.fresh_distances.data();
        std::uint32_t* const unknown = s.unknown.data();
        std::size_t missing = 0;
        if (memo) {
            for (std::size_t j = 0; j < found; ++j) {
                const NodeId n = out[j];
                if (known[n] == known_epoch) {
                    fresh_distances[j] = known_distance[n];
                } else {
                    unknown[missing++] = static_cast<std::uint32_t>(j);
                }
            }
        } else {
            for (std::size_t j = 0; j < found; ++j) unknown[j] = static_cast<std::uint32_t>(j);
            missing = found;
        }
        taken += found;
        scored += missing;

        for (std::size_t j = 0; j < std::min(missing, kOfferBatch); ++j) __builtin_prefetch(rows_.row(out[unknown[j]]));
        for (std::size_t start = 0; start < missing; start += kOfferBatch) {
            const std::size_t count = std::min(kOfferBatch, missing - start);
            for (std::size_t j = start + kOfferBatch; j < std::min(missing, start + 2 * kOfferBatch); ++j)
                __builtin_prefetch(rows_.row(out[unknown[j]]));
            for (std::size_t j = 0; j < count; ++j) {
                const NodeId n = out[unknown[start + j]];
                vectors[j] = rows_.row(n);
                if (node_norms) norms[j] = node_norms[n];
            }
            // No early abandon against the result's last distance: here the
            // check (a root per lane every few coordinates) costs more than
            // the rare batch whose every lane is already out saves. (A
            // remembered distance must be exact, too.)
            score_batch(query, vectors, node_norms ? norms : nullptr, count, dists);
            for (std::size_t j = 0; j < count; ++j) {
                const std::uint32_t at = unknown[start + j];
                fresh_distances[at] = dists[j];
                if (memo) {
                    known_distance[out[at]] = dists[j];
                    known[out[at]] = known_epoch;
                }
            }
        }
        for (std::size_t start = 0; start < found; start += kOfferBatch) {
            const std::size_t count = std::min(kOfferBatch, found - start);
            if (result.size() < ef) {
                offer(result, ef, fresh_distances + start, out + start, count, heap);
                continue;
            }
            // A full result takes only a node nearer than its last entry, and
            // that last entry only moves nearer: a node not nearer than it
            // now is never taken (nor is any node while it is NaN), so most
            // nodes late in a pass are dropped here, without a branch each.
            const double last = result.back().distance;
            double near[kOfferBatch];
            NodeId near_ids[kOfferBatch];
            std::size_t kept = 0;
            for (std::size_t j = 0; j < count; ++j) {
                near[kept] = fresh_distances[start + j];
                near_ids[kept] = out[start + j];
                kept += fresh_distances[start + j] < last;
            }
            if (kept > 0) offer(result, ef, near, near_ids, kept, heap);
        }
    }
    counters_.evaluations.add(taken);
    counters_.scored.add(scored);
    counters_.scanned.add(scanned);
    counters_.expansions.add(expansions);
    return taken;
}

}  // namespace ombrix
