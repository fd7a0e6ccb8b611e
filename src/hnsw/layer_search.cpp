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

// Every node of ids[0, size): branch-free, each id written and kept only if
// it was unvisited (marking a visited node again changes nothing).
std::size_t fresh_of_all(const NodeId* ids, std::size_t size, EpochSet& visited, NodeId* out, std::uint64_t limit,
                         std::size_t& scanned) noexcept {
    std::uint16_t* const stamps = visited.marks.data();
    const std::uint16_t epoch = visited.epoch;
    std::size_t found = 0, i = 0;
    for (; i < size && found < limit; ++i) {
        const NodeId n = ids[i];
        out[found] = n;
        found += stamps[n] != epoch;
        stamps[n] = epoch;
    }
    scanned = i;
    return found;
}

// The nodes of ids[0, size) that `admits`; a node it refuses stays unvisited.
template <class Admits>
std::size_t fresh_of(const NodeId* ids, std::size_t size, EpochSet& visited, NodeId* out, std::uint64_t limit,
                     std::size_t& scanned, Admits admits) noexcept {
    std::uint16_t* const stamps = visited.marks.data();
    const std::uint16_t epoch = visited.epoch;
    std::size_t found = 0, i = 0;
    for (; i < size && found < limit; ++i) {
        const NodeId n = ids[i];
        if (stamps[n] == epoch || !admits(n)) continue;
        stamps[n] = epoch;
        out[found++] = n;
    }
    scanned = i;
    return found;
}

// Every node admitted at the layer.
struct AllNodes {
    const Links& links;
    const std::uint64_t* levels;

    void prefetch(NodeId c, std::uint64_t layer) const noexcept { __builtin_prefetch(links.list(c, layer).data()); }
    void prefetch_header(NodeId n) const noexcept { links.prefetch_headers(n); }

    std::size_t operator()(NodeId c, std::uint64_t layer, EpochSet& visited, NodeId* out, std::uint64_t limit,
                           std::size_t& scanned) const noexcept {
        const std::vector<NodeId>& list = links.list(c, layer);
        if (layer <= links.top(c)) return fresh_of_all(list.data(), list.size(), visited, out, limit, scanned);
        // Met above its kept sub-lists (as a pass entry, or node 0 beyond the
        // cap), the node's highest one is filtered by level.
        return fresh_of(list.data(), list.size(), visited, out, limit, scanned,
                        [&](NodeId n) { return levels[n] >= layer; });
    }

    // The fresh neighbours nearer than `bound`, when every distance is known
    // and the result is full: a visited node that near is in the result, and
    // a node not that near can never enter it, so it is passed over without
    // being marked.
    // With `many` near (a result that is large for the layer), the test runs
    // without a branch, which would then be mispredicted too often.
    std::size_t near(NodeId c, std::uint64_t layer, EpochSet& visited, NodeId* out, const double* distance,
                     double bound, bool many, std::size_t& scanned) const noexcept {
        const std::vector<NodeId>& list = links.list(c, layer);
        const std::size_t size = list.size();
        const NodeId* const ids = list.data();
        std::uint16_t* const stamps = visited.marks.data();
        const std::uint16_t epoch = visited.epoch;
        std::size_t found = 0;
        scanned = size;
        if (!many || layer > links.top(c)) {
            const bool check_levels = layer > links.top(c);
            for (std::size_t i = 0; i < size; ++i) {
                const NodeId n = ids[i];
                if (!(distance[n] < bound) || stamps[n] == epoch || (check_levels && levels[n] < layer)) continue;
                stamps[n] = epoch;
                out[found++] = n;
            }
            return found;
        }
        for (std::size_t i = 0; i < size; ++i) {
            const NodeId n = ids[i];
            const std::uint16_t stamp = stamps[n];
            const bool take = (distance[n] < bound) & (stamp != epoch);
            out[found] = n;
            stamps[n] = take ? epoch : stamp;
            found += take;
        }
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
    void prefetch_header(NodeId n) const noexcept { links.prefetch_headers(n); }

    std::size_t operator()(NodeId c, std::uint64_t layer, EpochSet& visited, NodeId* out, std::uint64_t limit,
                           std::size_t& scanned) const noexcept {
        const std::vector<NodeId>& list = links.list(c, layer);
        return fresh_of(list.data(), list.size(), visited, out, limit, scanned,
                        [&](NodeId n) { return levels[n] >= layer && node_passes(filter, position, metadata.row(n)); });
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
    void prefetch_header(NodeId n) const noexcept { m.same->prefetch_header(m.attribute, n); }

    std::size_t operator()(NodeId c, std::uint64_t layer, EpochSet& visited, NodeId* out, std::uint64_t limit,
                           std::size_t& scanned) const noexcept {
        const std::uint32_t* const values = m.values;
        const std::uint32_t wanted = m.wanted;
        if (values[c] == wanted) {
            const std::vector<NodeId>& list = m.same->list(m.attribute, c);
            // Every listed node matches, and layer 0 admits it.
            if (layer == 0) return fresh_of_all(list.data(), list.size(), visited, out, limit, scanned);
            return fresh_of(list.data(), list.size(), visited, out, limit, scanned,
                            [&](NodeId n) { return levels[n] >= layer; });
        }
        const std::vector<NodeId>& list = links.list(c, layer);
        return fresh_of(list.data(), list.size(), visited, out, limit, scanned,
                        [&](NodeId n) { return values[n] == wanted && levels[n] >= layer; });
    }
};

// Few fresh nodes are likely candidates, whose lists the walk reads next:
// start fetching where each list is found.
template <class Admit>
void prefetch_headers(const Admit& admit, const NodeId* nodes, std::size_t count) noexcept {
    if (count > 2 * kOfferBatch) return;
    for (std::size_t j = 0; j < count; ++j) admit.prefetch_header(nodes[j]);
}

// Where a layer-0 result of ef pairs is final, from every node's distance
// (NaN and `unreachable` left out); none when fewer than ef numbers exist.
// Only distances up to a limit that the ef-th smallest cannot exceed are kept
// and sorted out. The limit: the nodes dealt in turn onto 4 ef piles, the
// ef-th smallest of the piles' minima. Each minimum is the distance of a
// node of its own pile, so ef distinct nodes lie at or below it; a pass of
// element-wise minima (vectorised, no branch) finds it, and it keeps few
// more than ef distances.
DistanceMemo::Final final_for(const double* distance, std::size_t nodes, std::uint64_t ef, std::uint64_t unreachable) {
    std::vector<double>& kept = thread_scratch().smallest;
    if (kept.size() < nodes) kept.resize(nodes);
    double limit = std::numeric_limits<double>::infinity();
    const std::size_t piles = 4 * static_cast<std::size_t>(ef);
    if (nodes / 4 >= piles) {
        // The minima live in `kept` until the limit is known.
        double* const minima = kept.data();
        std::fill(minima, minima + piles, limit);
        for (std::size_t first = 0; first + piles <= nodes; first += piles) {
            const double* const row = distance + first;
            if (unreachable - first < piles) {
                for (std::size_t p = 0; p < piles; ++p)
                    if (first + p != unreachable && row[p] < minima[p]) minima[p] = row[p];
                continue;
            }
            // A NaN never replaces a minimum.
            for (std::size_t p = 0; p < piles; ++p) minima[p] = row[p] < minima[p] ? row[p] : minima[p];
        }
        std::nth_element(minima, minima + ef - 1, minima + piles);
        limit = minima[ef - 1];
    }
    // Branch-free: every distance written, kept only if within the limit (a
    // NaN never is).
    std::size_t count = 0;
    for (std::size_t n = 0; n < nodes; ++n) {
        kept[count] = distance[n];
        count += (distance[n] <= limit) & (n != unreachable);
    }
    if (count < ef) return {};
    const auto kth = kept.begin() + static_cast<std::ptrdiff_t>(ef - 1);
    std::nth_element(kept.begin(), kth, kept.begin() + static_cast<std::ptrdiff_t>(count));
    const double last = *kth;
    // nth_element leaves the smaller ones before the ef-th, in any order.
    std::uint64_t below = 0;
    for (auto it = kept.begin(); it != kth; ++it) below += *it < last;
    return {ef, last, below};
}

}  // namespace

void LayerSearch::start_operation(const PreparedQuery& query, bool score_all, std::uint64_t ef,
                                  std::uint64_t unreachable) const {
    DistanceMemo& memo = thread_scratch().memo;
    const std::size_t nodes = levels_.size();
    memo.start(nodes);
    if (!score_all) return;
    rows_.score_all(query, memo.distance.data());
    memo.know_all(nodes);
    counters_.scored.add(nodes);
    if (ef > 0 && ef <= nodes) memo.final = final_for(memo.distance.data(), nodes, ef, unreachable);
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
        for (std::size_t j = start + kOfferBatch; j < std::min(nodes.size(), start + 2 * kOfferBatch); ++j) fetch(j);
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

void LayerSearch::score_into_memo(const PreparedQuery& query, std::span<const NodeId> nodes,
                                  const BlockedRows& copy) const {
    Scratch& s = thread_scratch();
    if (s.copied.size() < nodes.size()) s.copied.resize(nodes.size());
    copy.score_all(query, s.copied.data());
    double* const distance = s.memo.distance.data();
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        distance[nodes[i]] = s.copied[i];
        s.memo.known.insert(nodes[i]);
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
    const std::uint64_t unseen =
        traversal_ == Traversal::Shortcut ? levels_.population(layer) - (levels_[entry] >= layer ? 1 : 0) : kNoLimit;
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
    // An expansion finds at most every node fresh. Each buffer is sized on
    // its own: a failed resize may have left the others larger.
    std::vector<NodeId>& fresh = s.fresh;
    if (fresh.size() < nodes) fresh.resize(nodes);
    if (s.fresh_distances.size() < nodes) s.fresh_distances.resize(nodes);
    if (s.unknown.size() < nodes) s.unknown.resize(nodes);
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
    // With every distance known, a layer-0 pass with a full result reads the
    // distances of listed nodes and visits only those near enough to enter
    // the result; `met` then adds the entries read to the nodes visited.
    const bool near_phase = memo && layer == 0 && s.memo.complete;
    // About ef of the layer's nodes are near at a time: many, or few enough
    // for a predicted branch.
    const bool many_near = ef * 16 >= nodes;
    const DistanceMemo::Final final = s.memo.final;
    std::uint64_t met = 0;

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
        if constexpr (requires { admit.near(c.id, layer, s.visited, out, known_distance, last, true, read); }) {
            if (near_phase && result.size() >= ef) {
                // Full, and its last a NaN: no distance is below it, so
                // nothing can enter the result any more.
                if (std::isnan(last)) break;
                const std::size_t found =
                    admit.near(c.id, layer, s.visited, out, known_distance, last, many_near, read);
                prefetch_headers(admit, out, found);
                scanned += read;
                met += read;
                ++expansions;
                taken += found;
                double* const near_distances = s.fresh_distances.data();
                for (std::size_t j = 0; j < found; ++j) near_distances[j] = known_distance[out[j]];
                for (std::size_t start = 0; start < found; start += kOfferBatch)
                    offer(result, ef, near_distances + start, out + start, std::min(kOfferBatch, found - start), heap);
                // Every node nearer than the last is in the result: final.
                const double now = result.back().distance;
                if (final.ef == ef && now == final.last && count_below(result, now) == final.below) {
                    s.memo.final_reached = true;
                    break;
                }
                continue;
            }
        }
        const std::size_t found = admit(c.id, layer, s.visited, out, unseen, read);
        scanned += read;
        ++expansions;
        unseen -= found;
        prefetch_headers(admit, out, found);

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
    return taken + met;
}

}  // namespace ombrix
