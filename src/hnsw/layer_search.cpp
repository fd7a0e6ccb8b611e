// The beam walk of one layer.
//
// Equivalent to walking each expanded node's single list: "visited" is tested
// before the metric (a visited node is skipped either way), and the fresh
// neighbours of one node are scored together, then offered to the result in
// list order.
//
// Only a fresh node can change the result. When every admitted node met is
// visited at once, and the visited admitted nodes number the layer's whole
// population, no list can offer a fresh one any more: the result is final
// and the pass ends there. A predicate the walk cannot see into leaves a
// failing node unvisited, to be tested again, so the count does not tell;
// an equality filter answered by the equality index admits exactly the
// matching nodes, which the index counts.
#include "hnsw/layer_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "hnsw/scratch.hpp"

namespace ombrix {
namespace {

constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

// The fresh neighbours of an expanded node, for each kind of walk: written to
// `out` in list order (at most `limit`) and marked visited; `scanned` counts
// the list entries read.

// Every node admitted at the layer.
struct AllNodes {
    const Links& links;
    const std::uint64_t* levels;

    void prefetch(NodeId c, std::uint64_t layer) const noexcept { __builtin_prefetch(links.list(c, layer).data()); }

    std::size_t operator()(NodeId c, std::uint64_t layer, EpochMarks& visited, NodeId* out, std::uint64_t limit,
                           std::size_t& scanned) const noexcept {
        const std::vector<NodeId>& list = links.list(c, layer);
        const std::size_t size = list.size();
        const NodeId* const ids = list.data();
        std::uint16_t* const stamps = visited.marks.data();
        const std::uint16_t epoch = visited.epoch;
        std::size_t found = 0, i = 0;
        if (layer <= links.top(c)) {
            // Branch-free: write every id, keep it only if it was unvisited.
            // Marking an already visited node again changes nothing.
            for (; i < size && found < limit; ++i) {
                const NodeId n = ids[i];
                out[found] = n;
                found += stamps[n] != epoch;
                stamps[n] = epoch;
            }
        } else {
            // Met above its kept sub-lists (as a pass entry, or node 0 beyond
            // the cap), the node's highest one is filtered by level.
            for (; i < size && found < limit; ++i) {
                const NodeId n = ids[i];
                if (stamps[n] == epoch || levels[n] < layer) continue;
                stamps[n] = epoch;
                out[found++] = n;
            }
        }
        scanned = i;
        return found;
    }
};

// The nodes a filter's predicate passes, tested at every meeting: a failing
// node stays unvisited.
struct Passing {
    const Links& links;
    const std::uint64_t* levels;
    const MetadataRows& metadata;
    const Filter& filter;
    std::size_t position;

    void prefetch(NodeId c, std::uint64_t layer) const noexcept { __builtin_prefetch(links.list(c, layer).data()); }

    std::size_t operator()(NodeId c, std::uint64_t layer, EpochMarks& visited, NodeId* out, std::uint64_t limit,
                           std::size_t& scanned) const noexcept {
        const std::vector<NodeId>& list = links.list(c, layer);
        const std::size_t size = list.size();
        const NodeId* const ids = list.data();
        std::uint16_t* const stamps = visited.marks.data();
        const std::uint16_t epoch = visited.epoch;
        std::size_t found = 0, i = 0;
        for (; i < size && found < limit; ++i) {
            const NodeId n = ids[i];
            if (stamps[n] == epoch || levels[n] < layer) continue;
            if (!node_passes(filter, position, metadata.row(n))) continue;
            stamps[n] = epoch;
            out[found++] = n;
        }
        scanned = i;
        return found;
    }
};

// The nodes holding one value, as the equality index numbers them. From a
// matching node the walk reads only its same-value list; only a pass entry
// that does not match (node 0) has its whole list read.
struct MatchingNodes {
    const Links& links;
    const std::uint64_t* levels;
    const LayerSearch::Matching& m;

    void prefetch(NodeId c, std::uint64_t layer) const noexcept {
        __builtin_prefetch(m.values[c] == m.wanted ? m.same->list(m.attribute, c).data() : links.list(c, layer).data());
    }

    std::size_t operator()(NodeId c, std::uint64_t layer, EpochMarks& visited, NodeId* out, std::uint64_t limit,
                           std::size_t& scanned) const noexcept {
        std::uint16_t* const stamps = visited.marks.data();
        const std::uint16_t epoch = visited.epoch;
        const std::uint32_t* const values = m.values;
        const std::uint32_t wanted = m.wanted;
        std::size_t found = 0, i = 0;
        if (values[c] == wanted) {
            const std::vector<NodeId>& list = m.same->list(m.attribute, c);
            const std::size_t size = list.size();
            const NodeId* const ids = list.data();
            if (layer == 0) {
                // Every listed node matches and layer 0 admits it.
                for (; i < size && found < limit; ++i) {
                    const NodeId n = ids[i];
                    out[found] = n;
                    found += stamps[n] != epoch;
                    stamps[n] = epoch;
                }
            } else {
                for (; i < size && found < limit; ++i) {
                    const NodeId n = ids[i];
                    if (stamps[n] == epoch || levels[n] < layer) continue;
                    stamps[n] = epoch;
                    out[found++] = n;
                }
            }
        } else {
            const std::vector<NodeId>& list = links.list(c, layer);
            const std::size_t size = list.size();
            const NodeId* const ids = list.data();
            for (; i < size && found < limit; ++i) {
                const NodeId n = ids[i];
                if (values[n] != wanted || stamps[n] == epoch || levels[n] < layer) continue;
                stamps[n] = epoch;
                out[found++] = n;
            }
        }
        scanned = i;
        return found;
    }
};

}  // namespace

void LayerSearch::start_operation(const PreparedQuery& query, bool score_all) const {
    DistanceMemo& memo = thread_scratch().memo;
    const std::size_t nodes = levels_.size();
    memo.start(nodes);
    if (!score_all) return;
    rows_.score_all(query, memo.distance.data());
    memo.know_all(nodes);
    counters_.scored.add(nodes);
}

void LayerSearch::score_into_memo(const PreparedQuery& query, std::span<const NodeId> nodes) const {
    DistanceMemo& memo = thread_scratch().memo;
    const double* const node_norms = rows_.norms();
    const double* vectors[kOfferBatch];
    double norms[kOfferBatch];
    double dists[kOfferBatch];
    const std::size_t bytes = rows_.dim() * sizeof(double);
    auto fetch = [&](std::size_t j) {
        const char* row = reinterpret_cast<const char*>(rows_.row(nodes[j]));
        for (std::size_t b = 0; b < bytes; b += 64) __builtin_prefetch(row + b);
    };
    for (std::size_t j = 0; j < std::min(nodes.size(), kOfferBatch); ++j) fetch(j);
    for (std::size_t start = 0; start < nodes.size(); start += kOfferBatch) {
        const std::size_t count = std::min(kOfferBatch, nodes.size() - start);
        for (std::size_t j = start + kOfferBatch; j < std::min(nodes.size(), start + 2 * kOfferBatch); ++j)
            fetch(j);
        for (std::size_t j = 0; j < count; ++j) {
            vectors[j] = rows_.row(nodes[start + j]);
            if (node_norms) norms[j] = node_norms[nodes[start + j]];
        }
        score_batch(query, vectors, node_norms ? norms : nullptr, count, dists);
        for (std::size_t j = 0; j < count; ++j) {
            memo.distance[nodes[start + j]] = dists[j];
            memo.known.insert(nodes[start + j]);
        }
    }
    counters_.scored.add(nodes.size());
}

std::uint64_t LayerSearch::run(const PreparedQuery& query, NodeId entry, std::uint64_t ef, std::uint64_t layer,
                               const Filter* filter, std::size_t position, bool memo,
                               std::vector<ScoredId>& result) const {
    if (filter != nullptr)
        return walk(query, entry, ef, layer, kNoLimit, memo,
                    Passing{links_, levels_.data(), metadata_, *filter, position}, result);
    // Fresh nodes still to be met before the population is exhausted.
    const std::uint64_t unseen = traversal_ == Traversal::Shortcut
                                     ? levels_.population(layer) - (levels_[entry] >= layer ? 1 : 0)
                                     : kNoLimit;
    return walk(query, entry, ef, layer, unseen, memo, AllNodes{links_, levels_.data()}, result);
}

std::uint64_t LayerSearch::run(const PreparedQuery& query, NodeId entry, std::uint64_t ef, std::uint64_t layer,
                               const Matching& matching, std::vector<ScoredId>& result) const {
    // Only layer 0 admits every matching node; above it the count is not
    // kept, and the walk runs to its end.
    const std::uint64_t unseen =
        layer == 0 ? matching.population - (matching.values[entry] == matching.wanted ? 1 : 0) : kNoLimit;
    return walk(query, entry, ef, layer, unseen, true, MatchingNodes{links_, levels_.data(), matching}, result);
}

template <class Admit>
std::uint64_t LayerSearch::walk(const PreparedQuery& query, NodeId entry, std::uint64_t ef, std::uint64_t layer,
                                std::uint64_t unseen, bool memo, const Admit& admit,
                                std::vector<ScoredId>& result) const {
    Scratch& s = thread_scratch();
    const std::size_t nodes = levels_.size();
    s.visited.start(nodes);
    // An expansion finds at most every node fresh.
    std::vector<NodeId>& fresh = s.fresh;
    if (fresh.size() < nodes) {
        fresh.resize(nodes);
        s.fresh_distances.resize(nodes);
        s.unknown.resize(nodes);
    }
    CandidateHeap& heap = s.heap;
    heap.clear();
    result.clear();
    const double* const node_norms = rows_.norms();

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
    s.visited.insert(entry);

    while (!heap.empty() && unseen != 0) {
        const Candidate c = heap.pop();
        const double last = result.back().distance;
        if (!std::isnan(last) && (last < c.distance || std::isnan(c.distance))) break;
        // The next candidate's list is reached through headers scattered
        // over the graph: start fetching it while this one is expanded.
        if (!heap.empty()) admit.prefetch(heap.top().id, layer);

        NodeId* const out = fresh.data();
        std::size_t read = 0;
        const std::size_t found = admit(c.id, layer, s.visited, out, unseen, read);
        scanned += read;
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
