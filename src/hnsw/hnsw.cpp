#include "hnsw/hnsw.hpp"

#include "metrics/kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

namespace ombrix {
namespace {

// Rows are moved into reserved room, which must not throw.
static_assert(std::is_nothrow_move_constructible_v<Metadata>);

// Stored vectors handed to one score_batch call.
constexpr std::size_t kBatch = 16;

// Distance order used by the heap and the result list: numbers by <, NaN
// after every number and equal to another NaN.
bool goes_before(double a, double b) noexcept { return !std::isnan(a) && (std::isnan(b) || a < b); }

struct Candidate {
    double distance;
    std::uint32_t id;
};

// std heaps keep the "largest" on top; ordering "comes out later" as larger
// makes a min-heap on (distance, id).
struct ComesOutLater {
    bool operator()(const Candidate& a, const Candidate& b) const noexcept {
        if (goes_before(b.distance, a.distance)) return true;
        if (goes_before(a.distance, b.distance)) return false;
        return a.id > b.id;
    }
};

// A set of node ids emptied in O(1): marks[id] == epoch means "in the set".
// 16 bits keep the array cache-resident; it is wiped once every 65535 uses.
struct Marks {
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
};

// The distances from the current operation's query to the nodes its earlier
// passes scored. Every pass of one insert or search scores the same query, and
// a node admitted at several layers would otherwise be scored once per layer;
// a score is a pure function of query and node, so a recalled one has the
// same bits.
struct Recall {
    Marks known;                   // nodes whose entry in `distance` is set
    std::vector<double> distance;  // by node id

    void start(std::size_t nodes) {
        known.start(nodes);
        if (distance.size() < nodes) distance.resize(std::max(nodes, 2 * distance.size()));
    }

    // Knows the distances of nodes [0, nodes).
    void know_all(std::size_t nodes) noexcept {
        std::fill(known.marks.begin(), known.marks.begin() + static_cast<std::ptrdiff_t>(nodes), known.epoch);
    }
};

// Per-thread buffers, reused across calls and indexes; several threads may
// search one index at the same time.
struct Scratch {
    Marks visited;                      // nodes visited by the current layer search
    Marks linked;                       // nodes linked to the node being inserted
    Recall recall;
    std::vector<Candidate> heap;
    std::vector<std::uint32_t> fresh;   // unvisited neighbours of the node being expanded
    std::vector<double> fresh_distances;
    std::vector<std::uint32_t> unknown; // positions in `fresh` of the nodes still to score
};

Scratch& scratch() noexcept {
    thread_local Scratch s;
    return s;
}

// After every smaller entry; among equal entries, just before the last one.
// A number goes before the first entry that is greater (or NaN); the entry
// ahead of that one is smaller or equal, and if equal the last of its kind.
// Most fresh nodes come through here, so the search has no branch on the
// data.
std::size_t insert_position(const std::vector<ScoredId>& result, double dist) noexcept {
    const std::size_t size = result.size();
    if (std::isnan(dist)) return size > 0 && std::isnan(result.back().distance) ? size - 1 : size;
    const ScoredId* const data = result.data();
    std::size_t base = 0, n = size;
    while (n > 1) {
        const std::size_t half = n / 2;
        base += half * static_cast<std::size_t>(data[base + half - 1].distance <= dist);
        n -= half;
    }
    if (n == 1) base += static_cast<std::size_t>(data[base].distance <= dist);
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

// The first position in result[0, size) whose distance is not below `dist`
// (no NaN in that range).
std::size_t lower_bound_of(const ScoredId* data, std::size_t size, double dist) noexcept {
    std::size_t base = 0, n = size;
    while (n > 1) {
        const std::size_t half = n / 2;
        base += half * static_cast<std::size_t>(data[base + half - 1].distance < dist);
        n -= half;
    }
    if (n == 1) base += static_cast<std::size_t>(data[base].distance < dist);
    return base;
}

// Offers scored nodes to the result one by one, in order: a node is taken
// while the result has room or when it is nearer than the result's last
// entry, and every node taken becomes a candidate.
void offer_each(std::vector<ScoredId>& result, std::uint64_t ef, const double* dists, const std::uint32_t* ids,
                std::size_t count, std::vector<Candidate>& heap) {
    for (std::size_t j = 0; j < count; ++j) {
        const double dist = dists[j];
        if (result.size() < ef || dist < result.back().distance) {
            heap.push_back({dist, ids[j]});
            std::push_heap(heap.begin(), heap.end(), ComesOutLater{});
            place(result, insert_position(result, dist), ScoredId{dist, ids[j]}, ef);
        }
    }
}

// The same outcome as offer_each for up to kBatch nodes, without placing each
// taken node into the result on its own. Which nodes are taken depends only on
// the distances kept, so it is decided on the side: the taken nodes still kept
// are held sorted, the result's entries still kept are a prefix of it, and the
// larger of the two lasts drops out when the result overflows. The kept ones
// then go in with one shift per run. With all distances distinct this is
// exactly the one-by-one order; any NaN or any equal pair among the entries
// compared (the only way ties could matter) falls back to offer_each.
void offer(std::vector<ScoredId>& result, std::uint64_t ef, const double* dists, const std::uint32_t* ids,
           std::size_t count, std::vector<Candidate>& heap) {
    const std::size_t size = result.size();
    if (size > 0 && std::isnan(result.back().distance)) return offer_each(result, ef, dists, ids, count, heap);
    ScoredId* const data = result.data();
    double kept[kBatch];
    std::uint32_t kept_ids[kBatch];
    Candidate taken[kBatch];
    std::size_t a = 0, r = size, t = 0;
    for (std::size_t j = 0; j < count; ++j) {
        const double dist = dists[j];
        if (std::isnan(dist)) return offer_each(result, ef, dists, ids, count, heap);
        if (r + a >= ef) {
            const double last = r == 0 ? kept[a - 1] : a == 0 ? data[r - 1].distance
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
    std::size_t at[kBatch];
    for (std::size_t k = 0; k < a; ++k) {
        at[k] = lower_bound_of(data, r, kept[k]);
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
    for (std::size_t k = 0; k < t; ++k) {
        heap.push_back(taken[k]);
        std::push_heap(heap.begin(), heap.end(), ComesOutLater{});
    }
}

// Room for one more element without reallocating inside a multi-list append.
template <class T>
void make_room(std::vector<T>& v) {
    if (v.size() == v.capacity()) v.reserve(v.capacity() < 4 ? 4 : 2 * v.capacity());
}

}  // namespace

void prepare_index_thread_state() noexcept {
    scratch();
    thread_random();
}

const char* to_string(HNSWError error) noexcept {
    switch (error) {
        case HNSWError::InvalidEF: return "InvalidEF";
        case HNSWError::InvalidLayer: return "InvalidLayer";
        case HNSWError::NoSchema: return "NoSchema";
        case HNSWError::EmptySchema: return "EmptySchema";
        case HNSWError::AttributeNotFound: return "AttributeNotFound";
        case HNSWError::EmptyVectors: return "EmptyVectors";
        case HNSWError::InvalidNodeID: return "InvalidNodeID";
        case HNSWError::DimensionMismatch: return "DimensionMismatch";
        case HNSWError::OutOfMemory: return "OutOfMemory";
        case HNSWError::Interrupted: return "Interrupted";
    }
    return "Unknown";
}

std::optional<HNSW> HNSW::make(HNSWParams params) noexcept {
    if (params.layers > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / sizeof(double))
        return std::nullopt;
    try {
        HNSW graph;
        if (params.layers > 0) {
            // calloc hands out zeroed pages lazily, so a large table costs only
            // the pages of its non-zero prefix: exp(-j) is 0.0 beyond j ~ 745.
            double* weights = static_cast<double*>(std::calloc(params.layers, sizeof(double)));
            if (weights == nullptr) return std::nullopt;
            graph.level_weights_.reset(weights);
            for (std::uint64_t j = 0; j < params.layers; ++j) {
                const double w = std::exp(-static_cast<double>(j));
                if (w == 0.0) break;
                weights[j] = w;
                graph.weight_total_ += w;
                graph.nonzero_weights_ = j + 1;
            }
        }
        graph.dim_ = params.dim;
        graph.layers_ = params.layers;
        graph.m_ = params.m;
        graph.ef_construction_ = params.ef_construction;
        graph.ef_search_ = params.ef_search;
        graph.metric_ = params.metric;
        graph.schema_ = std::move(params.schema);
        return std::optional<HNSW>(std::move(graph));
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::uint64_t HNSW::draw_level(RandomSource& rng) const noexcept {
    const std::uint64_t word = rng.next_u64();
    if (layers_ == 0) return 0;
    const double u = static_cast<double>(word >> 11) * 0x1p-53;
    const double threshold = weight_total_ * u;
    // Past the non-zero prefix the running sum no longer changes, so the walk
    // over the remaining zero weights could not end it either.
    double running = 0.0;
    const double* weights = level_weights_.get();
    for (std::uint64_t j = 0; j < nonzero_weights_; ++j) {
        running += weights[j];
        if (running > threshold) return j;
    }
    return layers_ - 1;
}

std::optional<HNSWError> HNSW::check_pass(std::uint64_t ef, std::uint64_t layer, const Filter* filter,
                                          std::size_t& position) const noexcept {
    if (ef == 0) return HNSWError::InvalidEF;
    if (layer >= layers_) return HNSWError::InvalidLayer;
    if (filter != nullptr) {
        switch (resolve_attribute(*filter, schema_, position)) {
            case SchemaCheck::Ok: break;
            case SchemaCheck::NoSchema: return HNSWError::NoSchema;
            case SchemaCheck::EmptySchema: return HNSWError::EmptySchema;
            case SchemaCheck::AttributeNotFound: return HNSWError::AttributeNotFound;
        }
    }
    return std::nullopt;
}

std::span<const Metadata> HNSW::row(Id id) const noexcept {
    const std::uint64_t begin = row_offsets_[id];
    return {rows_.data() + begin, row_offsets_[std::size_t{id} + 1] - begin};
}

// Equivalent to walking the node's single list: "visited" is tested before the
// metric (a visited node is skipped either way), and the fresh neighbours of
// one node are scored together, then offered to the result in list order.
//
// Only a fresh node can change the result. Without a filter every admitted
// node met is visited at once, so when the visited admitted nodes number the
// layer's whole population no list can offer a fresh one any more: the result
// is final and the pass ends there. (Under a filter a failing node stays
// unvisited and is tested again, so the count does not tell.)
void HNSW::start_recall(const PreparedQuery& query, const Counter& dense) const {
    Recall& recall = scratch().recall;
    const std::size_t nodes = levels_.size();
    recall.start(nodes);
    if (dense.load() == 0) return;
    // The full groups from their blocked copy, the rest from the rows; both
    // give the bits of the row kernel.
    double* const out = recall.distance.data();
    const double* const norms = metric_ == Metric::Cosine ? norms_.data() : nullptr;
    const std::size_t dim = static_cast<std::size_t>(dim_);
    // Without coordinates there are no blocks: every node comes from the rows.
    const std::size_t grouped = dim > 0 ? nodes / kernels::kBlockLanes * kernels::kBlockLanes : 0;
    if (grouped > 0) {
        const bool euclidean = metric_ == Metric::Euclidean;
        const kernels::Variant& kernel = kernels::for_scan(grouped * dim * sizeof(double));
        const kernels::BlockKernel scan_block = euclidean ? kernel.block_euclidean : kernel.block_dot;
        for (std::size_t first = 0; first < grouped; first += kernels::kBlockLanes) {
            scan_block(query.data, blocks_.data() + first * dim, query.common, norms ? norms + first : nullptr,
                       query.norm, 0, 0.0, out + first);
            if (euclidean)
                for (std::size_t l = 0; l < kernels::kBlockLanes; ++l) out[first + l] = std::sqrt(out[first + l]);
        }
    }
    score_contiguous(query, coordinates(static_cast<Id>(grouped)), dim, norms ? norms + grouped : nullptr,
                     nodes - grouped, out + grouped);
    recall.know_all(nodes);
    scored_.add(nodes);
}

void HNSW::note_layer0_visits(const Counter& dense, std::uint64_t visited) const noexcept {
    dense.store(2 * visited >= population(0) ? 1 : 0);
}

std::uint64_t HNSW::layer_search(const PreparedQuery& query, Id entry, std::uint64_t ef, std::uint64_t layer,
                                 const Filter* filter, std::size_t position, bool recall,
                                 std::vector<ScoredId>& result) const {
    Scratch& s = scratch();
    s.visited.start(levels_.size());
    const std::uint16_t epoch = s.visited.epoch;
    std::uint16_t* const stamps = s.visited.marks.data();
    std::vector<Candidate>& heap = s.heap;
    std::vector<Id>& fresh = s.fresh;
    heap.clear();
    result.clear();
    const bool cosine = metric_ == Metric::Cosine;

    const double* vectors[kBatch];
    double norms[kBatch];
    double dists[kBatch];

    std::uint16_t* const known = s.recall.known.marks.data();
    const std::uint16_t known_epoch = s.recall.known.epoch;
    double* const known_distance = s.recall.distance.data();
    std::uint64_t taken = 1, scored = 0, scanned = 0, expansions = 0;

    if (recall && known[entry] == known_epoch) {
        dists[0] = known_distance[entry];
    } else {
        vectors[0] = coordinates(entry);
        if (cosine) norms[0] = norms_[entry];
        score_batch(query, vectors, cosine ? norms : nullptr, 1, dists);
        ++scored;
        if (recall) {
            known_distance[entry] = dists[0];
            known[entry] = known_epoch;
        }
    }
    result.push_back({dists[0], entry});
    heap.push_back({dists[0], entry});
    stamps[entry] = epoch;

    // Fresh nodes still to be met before the population is exhausted; no
    // limit when the count cannot decide.
    std::uint64_t unseen = std::numeric_limits<std::uint64_t>::max();
    if (filter == nullptr && traversal_ == Traversal::Shortcut)
        unseen = population(layer) - (levels_[entry] >= layer ? 1 : 0);

    while (!heap.empty() && unseen != 0) {
        std::pop_heap(heap.begin(), heap.end(), ComesOutLater{});
        const Candidate c = heap.back();
        heap.pop_back();
        const double last = result.back().distance;
        if (!std::isnan(last) && (last < c.distance || std::isnan(c.distance))) break;

        const std::vector<std::vector<Id>>& lists = adjacency_[c.id];
        const std::uint64_t top = lists.size() - 1;
        const std::vector<Id>& list = lists[std::min(layer, top)];
        if (fresh.size() < list.size()) {
            fresh.resize(list.size());
            s.fresh_distances.resize(list.size());
            s.unknown.resize(list.size());
        }
        Id* const out = fresh.data();
        const std::size_t size = list.size();
        const Id* const ids = list.data();
        std::size_t found = 0, i = 0;
        if (layer <= top && filter == nullptr) {
            // Branch-free: write every id, keep it only if it was unvisited.
            // Marking an already visited node again changes nothing.
            for (; i < size && found < unseen; ++i) {
                const Id n = ids[i];
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
                const Id n = ids[i];
                if (stamps[n] == epoch || levels_[n] < layer) continue;
                if (filter != nullptr && !node_passes(*filter, position, row(n))) continue;
                stamps[n] = epoch;
                out[found++] = n;
            }
        }
        scanned += i;
        ++expansions;
        unseen -= found;

        // The fresh nodes' distances in list order: those an earlier pass of
        // this operation scored are recalled, the others scored kBatch at a
        // time with the next batch's rows on their way.
        double* const fresh_distances = s.fresh_distances.data();
        std::uint32_t* const unknown = s.unknown.data();
        std::size_t missing = 0;
        if (recall) {
            for (std::size_t j = 0; j < found; ++j) {
                const Id n = out[j];
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

        for (std::size_t j = 0; j < std::min(missing, kBatch); ++j) __builtin_prefetch(coordinates(out[unknown[j]]));
        for (std::size_t start = 0; start < missing; start += kBatch) {
            const std::size_t count = std::min(kBatch, missing - start);
            for (std::size_t j = start + kBatch; j < std::min(missing, start + 2 * kBatch); ++j)
                __builtin_prefetch(coordinates(out[unknown[j]]));
            for (std::size_t j = 0; j < count; ++j) {
                const Id n = out[unknown[start + j]];
                vectors[j] = coordinates(n);
                if (cosine) norms[j] = norms_[n];
            }
            // No early abandon against the result's last distance: here the
            // check (a root per lane every few coordinates) costs more than
            // the rare batch whose every lane is already out saves. (A
            // recalled distance must be exact, too.)
            score_batch(query, vectors, cosine ? norms : nullptr, count, dists);
            for (std::size_t j = 0; j < count; ++j) {
                const std::uint32_t at = unknown[start + j];
                fresh_distances[at] = dists[j];
                if (recall) {
                    known_distance[out[at]] = dists[j];
                    known[out[at]] = known_epoch;
                }
            }
        }
        for (std::size_t start = 0; start < found; start += kBatch) {
            const std::size_t count = std::min(kBatch, found - start);
            if (result.size() < ef) {
                offer(result, ef, fresh_distances + start, out + start, count, heap);
                continue;
            }
            // A full result takes only a node nearer than its last entry, and
            // that last entry only moves nearer: a node not nearer than it
            // now is never taken (nor is any node while it is NaN), so most
            // nodes late in a pass are dropped here, without a branch each.
            const double last = result.back().distance;
            double near[kBatch];
            Id near_ids[kBatch];
            std::size_t kept = 0;
            for (std::size_t j = 0; j < count; ++j) {
                near[kept] = fresh_distances[start + j];
                near_ids[kept] = out[start + j];
                kept += fresh_distances[start + j] < last;
            }
            if (kept > 0) offer(result, ef, near, near_ids, kept, heap);
        }
    }
    evaluations_.add(taken);
    scored_.add(scored);
    scanned_.add(scanned);
    expansions_.add(expansions);
    return taken;
}

std::optional<HNSWError> HNSW::knn(std::uint64_t entry, std::span<const double> query, std::uint64_t ef,
                                   std::uint64_t layer, const Filter* filter,
                                   std::vector<ScoredId>& out) const noexcept {
    out.clear();
    std::size_t position = 0;
    if (auto error = check_pass(ef, layer, filter, position)) return error;
    if (entry >= size()) return HNSWError::InvalidNodeID;
    try {
        const PreparedQuery prepared = prepare_query(metric_, query, dim_);
        layer_search(prepared, static_cast<Id>(entry), ef, layer, filter, position, false, out);
    } catch (...) {
        out.clear();
        return HNSWError::OutOfMemory;
    }
    return std::nullopt;
}

std::optional<HNSWError> HNSW::search(std::span<const double> query, std::uint64_t k, const Filter* filter,
                                      std::vector<ScoredId>& out) const noexcept {
    out.clear();
    if (size() == 0) return std::nullopt;
    try {
        const PreparedQuery prepared = prepare_query(metric_, query, dim_);
        std::size_t position = 0;
        Id entry = 0;
        // Without layers the descent's first pass (ef 1, layer layers - 1)
        // already asks for a layer that does not exist. Every descent pass
        // passes the same checks, so the first one decides.
        if (layers_ == 0) return HNSWError::InvalidLayer;
        if (layers_ > 1)
            if (auto error = check_pass(1, layers_ - 1, filter, position)) return error;
        // Above the highest level of any node but node 0 a pass admits node 0
        // alone, which lists no node of its own layer: each such pass returns
        // node 0, so the descent may as well start below them.
        std::uint64_t top = layers_ - 1;
        const bool recall = traversal_ == Traversal::Shortcut;
        if (recall) {
            top = std::min(top, highest_level());
            start_recall(prepared, dense_searches_);
        }
        for (std::uint64_t layer = top; layer >= 1; --layer) {
            layer_search(prepared, entry, 1, layer, filter, position, recall, out);
            entry = static_cast<Id>(out.front().id);
        }
        if (auto error = check_pass(ef_search_, 0, filter, position)) {
            out.clear();
            return error;
        }
        const std::uint64_t visited = layer_search(prepared, entry, ef_search_, 0, filter, position, recall, out);
        if (recall) note_layer0_visits(dense_searches_, visited);
        // The walk keeps each pass's entry unconditionally; node 0 (or a node
        // without a row) must still not be reported as a match.
        if (filter != nullptr)
            std::erase_if(out, [&](const ScoredId& r) {
                return !node_passes(*filter, position, row(static_cast<Id>(r.id)));
            });
        if (out.size() > k) out.resize(static_cast<std::size_t>(k));
    } catch (...) {
        out.clear();
        return HNSWError::OutOfMemory;
    }
    return std::nullopt;
}

void HNSW::count_level(std::uint64_t level) noexcept {
    for (std::uint64_t l = 0; l <= level; ++l) ++taller_[l];
}

void HNSW::drop_empty_levels() noexcept {
    while (!taller_.empty() && taller_.back() == 0) taller_.pop_back();
}

void HNSW::append_link(Id owner, Id target) {
    std::vector<std::vector<Id>>& lists = adjacency_[owner];
    const std::size_t upto = static_cast<std::size_t>(std::min<std::uint64_t>(levels_[target], lists.size() - 1));
    // Reserve everything first so that the appends below cannot fail halfway.
    for (std::size_t l = 0; l <= upto; ++l) make_room(lists[l]);
    for (std::size_t l = 0; l <= upto; ++l) lists[l].push_back(target);
}

void HNSW::remove_back_link(Id target, Id owner) noexcept {
    std::vector<std::vector<Id>>& lists = adjacency_[target];
    const std::size_t upto = static_cast<std::size_t>(std::min<std::uint64_t>(levels_[owner], lists.size() - 1));
    for (std::size_t l = 0; l <= upto; ++l) lists[l].pop_back();
}

std::optional<HNSWError> HNSW::insert(std::span<const double> vector, const MetadataRow* row,
                                      RandomSource& rng) noexcept {
    if (vector.size() != dim_) return HNSWError::DimensionMismatch;
    if (size() >= kMaxNodes) return HNSWError::OutOfMemory;
    const std::size_t old_nodes = levels_.size();
    const std::size_t old_rows = rows_.size();
    const Id x = static_cast<Id>(old_nodes);
    std::vector<Id> linked;  // nodes given a back-link to x, in link order
    try {
        const std::uint64_t level = old_nodes == 0 ? (layers_ > 0 ? layers_ - 1 : 0) : draw_level(rng);

        if (dim_ > 0) {
            const std::size_t dim = static_cast<std::size_t>(dim_);
            const std::size_t used = old_nodes * dim;
            const bool completes_group = (old_nodes + 1) % kernels::kBlockLanes == 0;
            // Where the group this node completes begins, in the rows and the
            // blocks alike.
            const std::size_t group_start = completes_group ? used + dim - kernels::kBlockLanes * dim : 0;
            if (!vectors_.reserve(used + dim, used)) throw std::bad_alloc();
            if (completes_group && !blocks_.reserve(used + dim, group_start)) throw std::bad_alloc();
            std::memcpy(vectors_.data() + used, vector.data(), dim * sizeof(double));
            // Until the node counts, the new block is never read.
            if (completes_group)
                kernels::best().pack(vectors_.data() + group_start, dim, blocks_.data() + group_start);
        }
        if (metric_ == Metric::Cosine) norms_.push_back(std::sqrt(squared_norm(vector)));
        adjacency_.emplace_back(static_cast<std::size_t>(std::min(level, kMaxListLayer)) + 1);
        if (schema_ && row != nullptr) {
            // Copy first: a throwing copy inside a reallocating insert would
            // leave the rows already stored moved-from.
            MetadataRow copy;
            copy.reserve(row->size());
            for (const Metadata& value : *row) copy.push_back(copy_metadata(value));
            if (rows_.capacity() - rows_.size() < copy.size())
                rows_.reserve(std::max(rows_.size() + copy.size(), 2 * rows_.capacity()));
            for (Metadata& value : copy) rows_.push_back(std::move(value));
        }
        row_offsets_.push_back(rows_.size());
        if (old_nodes > 0 && taller_.size() <= level) taller_.resize(static_cast<std::size_t>(level) + 1, 0);
        levels_.push_back(level);  // the node counts from here on
        if (old_nodes == 0) return std::nullopt;

        // x is linked by its own passes only, so none of them can reach it:
        // it joins the layer populations once they are done.
        const std::optional<HNSWError> error = [&]() -> std::optional<HNSWError> {
            const PreparedQuery prepared = prepare_query(metric_, vector, dim_);
            Marks& linked_to_x = scratch().linked;
            linked_to_x.start(levels_.size());
            std::uint16_t* const marks = linked_to_x.marks.data();
            const std::uint16_t mark = linked_to_x.epoch;
            std::vector<ScoredId> found;
            Id entry = 0;
            // Above the highest level of any node but node 0 a connecting pass
            // starts at x and admits only node 0 besides: x is linked to node 0
            // by then or never reaches it, so these passes add no link.
            const std::uint64_t passes =
                traversal_ == Traversal::Full ? layers_ : std::min(layers_, highest_level() + 1);
            const bool recall = traversal_ == Traversal::Shortcut;
            if (recall) start_recall(prepared, dense_inserts_);
            for (std::uint64_t layer = 0; layer < passes; ++layer) {
                if (layer < level) {
                    layer_search(prepared, entry, 1, layer, nullptr, 0, recall, found);
                    entry = static_cast<Id>(found.front().id);
                    continue;
                }
                if (ef_construction_ == 0) return HNSWError::InvalidEF;
                const std::uint64_t visited =
                    layer_search(prepared, entry, ef_construction_, layer, nullptr, 0, recall, found);
                if (recall && layer == 0) note_layer0_visits(dense_inserts_, visited);
                linked.reserve(linked.size() + found.size());
                // The targets' lists lie scattered and each is reached through
                // two headers: fetch every level for all targets at once.
                for (const ScoredId& r : found)
                    if (r.id < size()) __builtin_prefetch(&adjacency_[r.id]);
                for (const ScoredId& r : found)
                    if (r.id < size()) __builtin_prefetch(adjacency_[r.id].data());
                for (const ScoredId& r : found)
                    if (r.id < size()) {
                        const std::vector<Id>& all = adjacency_[r.id].front();
                        __builtin_prefetch(all.data() + all.size(), 1);
                    }
                for (const ScoredId& r : found) {
                    if (r.id >= size()) return HNSWError::InvalidNodeID;
                    const Id target = static_cast<Id>(r.id);
                    // Links go both ways, so a target linked by an earlier pass
                    // is in x's list already, and x in its.
                    if (target == x || marks[target] == mark) continue;
                    append_link(target, x);
                    linked.push_back(target);
                    marks[target] = mark;
                    append_link(x, target);
                }
                entry = x;
            }
            return std::nullopt;
        }();
        count_level(level);
        return error;
    } catch (...) {
        // Every change of this insert sits at the end of some list: undo the
        // back-links newest first, then drop the node.
        if (levels_.size() > old_nodes)
            for (auto it = linked.rbegin(); it != linked.rend(); ++it) remove_back_link(*it, x);
        drop_empty_levels();
        if (norms_.size() > old_nodes) norms_.resize(old_nodes);
        if (adjacency_.size() > old_nodes) adjacency_.erase(adjacency_.begin() + old_nodes, adjacency_.end());
        rows_.erase(rows_.begin() + old_rows, rows_.end());
        row_offsets_.resize(old_nodes + 1);
        levels_.resize(old_nodes);
        return HNSWError::OutOfMemory;
    }
}

std::optional<HNSWError> HNSW::create(const VectorBatch& vectors, std::span<const MetadataRow> rows,
                                      RandomSource& rng, std::size_t& position, StopCheck stop) noexcept {
    position = 0;
    if (vectors.empty()) return HNSWError::EmptyVectors;
    // Without rows the nodes are stored without metadata.
    const bool with_rows = schema_.has_value() && !rows.empty();
    if (with_rows && rows.size() != vectors.size()) return HNSWError::AttributeNotFound;
    for (; position < vectors.size(); ++position)
        if (vectors[position].size() != dim_) return HNSWError::DimensionMismatch;
    for (position = 0; position < vectors.size(); ++position) {
        if (position > 0 && stop.stop_requested()) return HNSWError::Interrupted;
        if (auto error = insert(vectors[position], with_rows ? &rows[position] : nullptr, rng)) return error;
    }
    return std::nullopt;
}

std::span<const double> HNSW::vector(std::uint64_t id) const noexcept {
    if (id >= size()) return {};
    return {coordinates(static_cast<Id>(id)), static_cast<std::size_t>(dim_)};
}

std::uint64_t HNSW::level(std::uint64_t id) const noexcept { return id < size() ? levels_[id] : 0; }

std::vector<std::uint64_t> HNSW::neighbors(std::uint64_t id) const {
    if (id >= size()) return {};
    const std::vector<Id>& all = adjacency_[id][0];
    return {all.begin(), all.end()};
}

}  // namespace ombrix
