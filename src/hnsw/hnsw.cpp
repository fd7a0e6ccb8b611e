// The graph's operations: construction, insert (store, then link through
// layer searches), create, search and the single-layer knn.
#include "hnsw/hnsw.hpp"

#include <algorithm>
#include <new>
#include <utility>

#include "hnsw/scratch.hpp"

namespace ombrix {

void prepare_index_thread_state() noexcept {
    thread_scratch();
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
    std::optional<Levels> levels = Levels::make(params.layers);
    if (!levels) return std::nullopt;
    try {
        HNSW graph;
        graph.levels_ = std::move(*levels);
        graph.rows_ = BlockedRows(static_cast<std::size_t>(params.dim), params.metric == Metric::Cosine);
        graph.m_ = params.m;
        graph.ef_construction_ = params.ef_construction;
        graph.ef_search_ = params.ef_search;
        graph.metric_ = params.metric;
        graph.schema_ = std::move(params.schema);
        graph.equality_ = EqualityIndex(graph.schema_);
        graph.value_links_ = ValueLinks(graph.equality_.attributes());
        graph.value_rows_ = ValueRows(graph.equality_.attributes(), graph.rows_.dim(), params.metric == Metric::Cosine);
        return std::optional<HNSW>(std::move(graph));
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::optional<HNSWError> HNSW::check_pass(std::uint64_t ef, std::uint64_t layer, const Filter* filter,
                                          std::size_t& position) const noexcept {
    if (ef == 0) return HNSWError::InvalidEF;
    if (layer >= levels_.layers()) return HNSWError::InvalidLayer;
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

std::optional<HNSWError> HNSW::knn(std::uint64_t entry, std::span<const double> query, std::uint64_t ef,
                                   std::uint64_t layer, const Filter* filter,
                                   std::vector<ScoredId>& out) const noexcept {
    out.clear();
    std::size_t position = 0;
    if (auto error = check_pass(ef, layer, filter, position)) return error;
    if (entry >= size()) return HNSWError::InvalidNodeID;
    try {
        const PreparedQuery prepared = prepare_query(metric_, query, dim());
        layer_search().run(prepared, static_cast<NodeId>(entry), ef, layer, filter, position, false, out);
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
        const PreparedQuery prepared = prepare_query(metric_, query, dim());
        const std::uint64_t layers = levels_.layers();
        std::size_t position = 0;
        NodeId entry = 0;
        // Without layers the descent's first pass (ef 1, layer layers - 1)
        // already asks for a layer that does not exist. Every descent pass
        // passes the same checks, so the first one decides.
        if (layers == 0) return HNSWError::InvalidLayer;
        if (layers > 1)
            if (auto error = check_pass(1, layers - 1, filter, position)) return error;
        if (filter != nullptr && traversal_ == Traversal::Shortcut)
            if (const Metadata* value = equality_value(*filter)) {
                // The layer-0 pass's checks, made before the descent instead
                // of after it: the descent changes nothing and cannot fail,
                // so the same error comes out.
                if (auto error = check_pass(ef_search_, 0, filter, position)) return error;
                if (equality_.attribute_at(position) != EqualityIndex::kNotIndexed)
                    return search_matching(prepared, k, position, *value, out);
            }
        // Above the highest level of any node but node 0 a pass admits node 0
        // alone, which lists no node of its own layer: each such pass returns
        // node 0, so the descent may as well start below them.
        std::uint64_t top = layers - 1;
        const bool memo = traversal_ == Traversal::Shortcut;
        const LayerSearch walk = layer_search();
        if (memo) {
            top = std::min(top, levels_.highest());
            // Where the last searches never held the nearest nodes of all,
            // the limit is sought again only now and then.
            const bool seek_final = final_misses_.load() % 8 == 0;
            walk.start_operation(prepared, dense_searches_.load() != 0, seek_final ? ef_search_ : 0);
        }
        for (std::uint64_t layer = top; layer >= 1; --layer) {
            walk.run(prepared, entry, 1, layer, filter, position, memo, out);
            entry = static_cast<NodeId>(out.front().id);
        }
        if (auto error = check_pass(ef_search_, 0, filter, position)) {
            out.clear();
            return error;
        }
        const std::uint64_t visited = walk.run(prepared, entry, ef_search_, 0, filter, position, memo, out);
        if (memo) {
            note_layer0_visits(dense_searches_, visited);
            final_misses_.store(thread_scratch().memo.final_reached ? 0 : final_misses_.load() + 1);
        }
        // The walk keeps each pass's entry unconditionally; node 0 (or a node
        // without a row) must still not be reported as a match.
        if (filter != nullptr)
            std::erase_if(out, [&](const ScoredId& r) { return !node_passes(*filter, position, metadata_.row(r.id)); });
        if (out.size() > k) out.resize(static_cast<std::size_t>(k));
    } catch (...) {
        out.clear();
        return HNSWError::OutOfMemory;
    }
    return std::nullopt;
}

std::optional<HNSWError> HNSW::search_matching(const PreparedQuery& query, std::uint64_t k, std::size_t position,
                                               const Metadata& value, std::vector<ScoredId>& out) const {
    const std::uint32_t wanted = equality_.find(position, value, metadata_);
    // No node holds the value, node 0 included: every pass returns its
    // entry alone, node 0, which is not reported.
    if (wanted == EqualityIndex::kNoValue) return std::nullopt;
    const std::size_t attribute = equality_.attribute_at(position);
    const std::span<const NodeId> holders = equality_.nodes(position, wanted);
    const LayerSearch::Matching matching{equality_.value_numbers(attribute), wanted, &value_links_, attribute,
                                         holders.size()};
    const LayerSearch walk = layer_search();
    walk.start_operation(query, false);
    if (dense_filtered_.load() != 0) {
        const BlockedRows* copy = value_rows_.copy(attribute, wanted);
        // The copy holds the holders in complete groups, the rest are read
        // from the store.
        if (copy != nullptr && copy->size() == holders.size() / kernels::kBlockLanes * kernels::kBlockLanes) {
            walk.score_into_memo(query, holders.first(copy->size()), *copy);
            walk.score_into_memo(query, holders.subspan(copy->size()));
        } else {
            walk.score_into_memo(query, holders);
        }
    }
    NodeId entry = 0;
    for (std::uint64_t layer = std::min(levels_.layers() - 1, levels_.highest()); layer >= 1; --layer) {
        walk.run(query, entry, 1, layer, matching, out);
        entry = static_cast<NodeId>(out.front().id);
    }
    const std::uint64_t visited = walk.run(query, entry, ef_search_, 0, matching, out);
    dense_filtered_.store(2 * visited >= holders.size() ? 1 : 0);
    // Node 0, the walk's entry, is kept whatever its value: not reported
    // unless it matches.
    std::erase_if(out, [&](const ScoredId& r) { return matching.values[r.id] != wanted; });
    if (out.size() > k) out.resize(static_cast<std::size_t>(k));
    return std::nullopt;
}

std::optional<HNSWError> HNSW::link_node(NodeId x, std::span<const double> vector, std::uint64_t level,
                                         std::vector<NodeId>& linked) {
    const PreparedQuery prepared = prepare_query(metric_, vector, dim());
    EpochSet& linked_to_x = thread_scratch().linked;
    linked_to_x.start(size());
    std::vector<ScoredId> found;
    NodeId entry = 0;
    // Above the highest level of any node but node 0 a connecting pass
    // starts at x and admits only node 0 besides: x is linked to node 0 by
    // then or never reaches it, so these passes add no link.
    const std::uint64_t layers = levels_.layers();
    const std::uint64_t passes = traversal_ == Traversal::Full ? layers : std::min(layers, levels_.highest() + 1);
    const bool memo = traversal_ == Traversal::Shortcut;
    const LayerSearch walk = layer_search();
    // No final limit for the layer-0 pass: a pass of ef_construction pairs
    // seldom holds the nearest of all before it ends, and finding them
    // would cost every insert a pass over the distances.
    if (memo) walk.start_operation(prepared, dense_inserts_.load() != 0);
    for (std::uint64_t layer = 0; layer < passes; ++layer) {
        if (layer < level) {
            walk.run(prepared, entry, 1, layer, nullptr, 0, memo, found);
            entry = static_cast<NodeId>(found.front().id);
            continue;
        }
        if (ef_construction_ == 0) return HNSWError::InvalidEF;
        const std::uint64_t visited = walk.run(prepared, entry, ef_construction_, layer, nullptr, 0, memo, found);
        if (memo && layer == 0) note_layer0_visits(dense_inserts_, visited);
        linked.reserve(linked.size() + found.size());
        // The targets' lists lie scattered and each is reached through two
        // headers: fetch every level for all targets at once.
        for (const ScoredId& r : found)
            if (r.id < size()) links_.prefetch_headers(static_cast<NodeId>(r.id));
        for (const ScoredId& r : found)
            if (r.id < size()) links_.prefetch_sub_lists(static_cast<NodeId>(r.id));
        for (const ScoredId& r : found)
            if (r.id < size()) links_.prefetch_tail(static_cast<NodeId>(r.id));
        for (const ScoredId& r : found) {
            if (r.id >= size()) return HNSWError::InvalidNodeID;
            const NodeId target = static_cast<NodeId>(r.id);
            // Links go both ways, so a target linked by an earlier pass is in
            // x's list already, and x in its.
            if (target == x || linked_to_x.contains(target)) continue;
            links_.append(target, x, level);
            linked.push_back(target);
            linked_to_x.insert(target);
            links_.append(x, target, levels_[target]);
        }
        entry = x;
    }
    return std::nullopt;
}

std::optional<HNSWError> HNSW::insert(std::span<const double> vector, const MetadataRow* row,
                                      RandomSource& rng) noexcept {
    if (vector.size() != dim()) return HNSWError::DimensionMismatch;
    if (size() >= kMaxNodes) return HNSWError::OutOfMemory;
    const std::size_t old_nodes = size();
    const NodeId x = static_cast<NodeId>(old_nodes);
    std::vector<NodeId> linked;  // nodes given a back-link to x, in link order
    try {
        const std::uint64_t layers = levels_.layers();
        const std::uint64_t level = old_nodes == 0 ? (layers > 0 ? layers - 1 : 0) : levels_.draw(rng);
        if (!rows_.append(vector.data())) throw std::bad_alloc();
        links_.add_node(level);
        metadata_.append(schema_ ? row : nullptr);
        equality_.add(metadata_);
        value_links_.add_node(x, equality_);
        value_rows_.prepare(x, equality_);
        levels_.push(level);  // the node counts from here on
        if (old_nodes == 0) {
            value_rows_.append(x, rows_, equality_);
            return std::nullopt;
        }

        // x is linked by its own passes only, so none of them can reach it:
        // it joins the layer populations once they are done.
        const std::optional<HNSWError> error = link_node(x, vector, level, linked);
        // The same-value lists follow the links, all or nothing, once they
        // are made.
        if (!value_links_.empty()) {
            value_links_.fill_node(x, links_.all(x));
            value_links_.push_back_links(x, linked);
        }
        // Nothing fails from here on.
        value_rows_.append(x, rows_, equality_);
        levels_.count_last();
        return error;
    } catch (...) {
        // Every change of this insert sits at the end of some list: undo the
        // back-links newest first, then drop the node.
        if (size() > old_nodes) {
            const std::uint64_t level = levels_[x];
            for (auto it = linked.rbegin(); it != linked.rend(); ++it) links_.remove_last(*it, level);
        }
        levels_.truncate(old_nodes);
        rows_.truncate(old_nodes);
        links_.truncate(old_nodes);
        value_links_.truncate(old_nodes);
        if (equality_.size() > old_nodes) equality_.remove_last();
        value_rows_.fit(equality_);
        metadata_.truncate(old_nodes);
        return HNSWError::OutOfMemory;
    }
}

std::optional<HNSWError> HNSW::create(const VectorBatch& vectors, std::span<const MetadataRow> rows, RandomSource& rng,
                                      std::size_t& position, StopCheck stop) noexcept {
    position = 0;
    if (vectors.empty()) return HNSWError::EmptyVectors;
    // Without rows the nodes are stored without metadata.
    const bool with_rows = schema_.has_value() && !rows.empty();
    if (with_rows && rows.size() != vectors.size()) return HNSWError::AttributeNotFound;
    for (; position < vectors.size(); ++position)
        if (vectors[position].size() != dim()) return HNSWError::DimensionMismatch;
    for (position = 0; position < vectors.size(); ++position) {
        if (position > 0 && stop.stop_requested()) return HNSWError::Interrupted;
        if (auto error = insert(vectors[position], with_rows ? &rows[position] : nullptr, rng)) return error;
    }
    return std::nullopt;
}

std::span<const double> HNSW::vector(std::uint64_t id) const noexcept {
    if (id >= size()) return {};
    return {rows_.row(static_cast<std::size_t>(id)), rows_.dim()};
}

std::uint64_t HNSW::level(std::uint64_t id) const noexcept { return id < size() ? levels_[id] : 0; }

std::vector<std::uint64_t> HNSW::nodes_holding(std::size_t position, const Metadata& value) const {
    const std::span<const NodeId> nodes = equality_.nodes(position, equality_.find(position, value, metadata_));
    return {nodes.begin(), nodes.end()};
}

std::vector<std::uint64_t> HNSW::neighbors(std::uint64_t id) const {
    if (id >= size()) return {};
    const std::vector<NodeId>& all = links_.all(static_cast<NodeId>(id));
    return {all.begin(), all.end()};
}

}  // namespace ombrix
