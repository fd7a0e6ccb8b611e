// The layered proximity graph behind the approximate index: the index's
// public operations over its parts (levels, links, rows, metadata), each kept
// in a file of its own beside this one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "filter/filter.hpp"
#include "hnsw/equality_index.hpp"
#include "hnsw/layer_search.hpp"
#include "hnsw/levels.hpp"
#include "hnsw/links.hpp"
#include "hnsw/metadata_rows.hpp"
#include "hnsw/random.hpp"
#include "hnsw/value_links.hpp"
#include "hnsw/value_rows.hpp"
#include "metadata/metadata.hpp"
#include "metrics/metrics.hpp"
#include "storage/blocked_rows.hpp"
#include "storage/stop_check.hpp"
#include "storage/vector_batch.hpp"

namespace ombrix {

enum class HNSWError : std::uint8_t {
    InvalidEF,
    InvalidLayer,
    NoSchema,
    EmptySchema,
    AttributeNotFound,
    EmptyVectors,
    InvalidNodeID,
    DimensionMismatch,
    OutOfMemory,
    Interrupted,  // create stopped at the caller's request
};

// The variant name, e.g. "InvalidEF".
const char* to_string(HNSWError error) noexcept;

// Work done by the layer searches so far.
struct WorkCounts {
    std::uint64_t evaluations = 0;      // distances taken by the traversals
    std::uint64_t scored = 0;           // metric evaluations made for them (see DistanceMemo)
    std::uint64_t entries_scanned = 0;  // list entries read while expanding candidates
    std::uint64_t expansions = 0;       // candidates whose list was scanned
};

struct HNSWParams {
    std::uint64_t dim;
    std::uint64_t layers;
    std::uint64_t m;                // kept, bounds nothing
    std::uint64_t ef_construction;  // result-list size of a connecting pass
    std::uint64_t ef_search;        // result-list size of the layer-0 search pass
    Metric metric;
    std::optional<Schema> schema;
};

// Creates the calling thread's search buffers and level generator, which are
// otherwise created on first use.
void prepare_index_thread_state() noexcept;

class HNSW {
public:
    // nullopt only when the level-weight table (`layers` doubles) cannot be
    // allocated or its byte size does not fit a signed 64-bit count.
    static std::optional<HNSW> make(HNSWParams params) noexcept;

    // Stores `vector` as the next node and links it. `row` is kept only when
    // the index has a schema. DimensionMismatch if vector.size() != dim.
    // OutOfMemory leaves the index exactly as before the call; a pass error
    // (InvalidEF) leaves the node stored with the links made before it.
    [[nodiscard]] std::optional<HNSWError> insert(std::span<const double> vector, const MetadataRow* row,
                                                  RandomSource& rng) noexcept;
    // Inserts vector i (with rows[i] when there is a schema and rows are given:
    // none, or one per vector) in order. An empty
    // batch or a vector whose length is not dim is refused before anything is
    // stored. `stop` is asked between two inserts. On an error, `position` is
    // the vector the call stopped at; the nodes stored before it stay.
    [[nodiscard]] std::optional<HNSWError> create(const VectorBatch& vectors, std::span<const MetadataRow> rows,
                                                  RandomSource& rng, std::size_t& position,
                                                  StopCheck stop = {}) noexcept;
    [[nodiscard]] std::optional<HNSWError> create(const VectorBatch& vectors, std::span<const MetadataRow> rows,
                                                  RandomSource& rng) noexcept {
        std::size_t position = 0;
        return create(vectors, rows, rng, position);
    }
    // At most k pairs, nearest first. With a filter, only nodes whose own value
    // passes are returned (the walk itself still starts at node 0).
    [[nodiscard]] std::optional<HNSWError> search(std::span<const double> query, std::uint64_t k, const Filter* filter,
                                                  std::vector<ScoredId>& out) const noexcept;
    // The search of one layer from `entry`, at most ef pairs, nearest first.
    [[nodiscard]] std::optional<HNSWError> knn(std::uint64_t entry, std::span<const double> query, std::uint64_t ef,
                                               std::uint64_t layer, const Filter* filter,
                                               std::vector<ScoredId>& out) const noexcept;

    std::uint64_t size() const noexcept { return levels_.size(); }
    std::uint64_t dim() const noexcept { return rows_.dim(); }
    // The stored coordinates of node `id`; empty for an unknown id.
    std::span<const double> vector(std::uint64_t id) const noexcept;
    const std::optional<Schema>& schema() const noexcept { return schema_; }

    // Introspection.
    std::uint64_t level(std::uint64_t id) const noexcept;
    // The node's whole adjacency list in link order, each neighbour once, at
    // its first link, and never the node itself.
    std::vector<std::uint64_t> neighbors(std::uint64_t id) const;
    // The nodes whose value at schema position `position` equals `value`,
    // ascending, as the equality index holds them (empty where the position
    // is not the first of its name).
    std::vector<std::uint64_t> nodes_holding(std::size_t position, const Metadata& value) const;
    // Distances taken by every operation on this index so far. A distance
    // an operation takes again, or one scored up front, is not scored twice:
    // work_counts().scored counts the metric evaluations.
    std::uint64_t distance_evaluations() const noexcept { return counters_.evaluations.load(); }
    WorkCounts work_counts() const noexcept {
        return {counters_.evaluations.load(), counters_.scored.load(), counters_.scanned.load(),
                counters_.expansions.load()};
    }
    // Not to be changed while another thread uses the index.
    void set_traversal(Traversal traversal) noexcept { traversal_ = traversal; }

private:
    HNSW() = default;

    std::optional<HNSWError> check_pass(std::uint64_t ef, std::uint64_t layer, const Filter* filter,
                                        std::size_t& position) const noexcept;
    // The node's passes, once it is stored. Throws on memory shortage, with
    // the back-links made so far in `linked`.
    std::optional<HNSWError> link_node(NodeId x, std::span<const double> vector, std::uint64_t level,
                                       std::vector<NodeId>& linked);
    // A filtered search whose filter is equality with a value the equality
    // index can look up (`position` resolved, every check passed).
    std::optional<HNSWError> search_matching(const PreparedQuery& query, std::uint64_t k, std::size_t position,
                                             const Metadata& value, std::vector<ScoredId>& out) const;
    LayerSearch layer_search() const noexcept {
        return LayerSearch(levels_, links_, rows_, metadata_, traversal_, counters_);
    }
    // Notes whether an operation's layer-0 pass visited at least half of the
    // layer: then the next operation of its kind scores every node up front.
    void note_layer0_visits(const RelaxedCounter& dense, std::uint64_t visited) const noexcept {
        dense.store(2 * visited >= levels_.population(0) ? 1 : 0);
    }

    std::uint64_t m_ = 0;
    std::uint64_t ef_construction_ = 0;
    std::uint64_t ef_search_ = 0;
    Metric metric_ = Metric::Euclidean;
    std::optional<Schema> schema_;

    Levels levels_;           // one level per node; its size is the node count
    Links links_;             // one list per node
    BlockedRows rows_;        // the coordinates (and cosine norms)
    MetadataRows metadata_;   // one row per node, empty without metadata
    EqualityIndex equality_;  // per attribute: value -> nodes
    ValueLinks value_links_;  // per attribute and node: the neighbours of the node's own value
    ValueRows value_rows_;    // per attribute and value: its holders' rows, for the block kernel
    WorkCounters counters_;
    // Whether the last connecting pass of an insert at layer 0, and the last
    // search's layer-0 pass, visited at least half of the layer (1) or not
    // (0): a hint for the next insert's or search's start_operation.
    RelaxedCounter dense_inserts_;
    RelaxedCounter dense_searches_;
    // The same for the last search under an equality filter, of the nodes it
    // admits: then the next one scores every matching node up front.
    RelaxedCounter dense_filtered_;
    // Searches in a row whose layer-0 pass did not end on the memo's final
    // limit (DistanceMemo::Final): while they do not, it is sought for one
    // search in eight.
    RelaxedCounter final_misses_;
    Traversal traversal_ = Traversal::Shortcut;
};

}  // namespace ombrix
