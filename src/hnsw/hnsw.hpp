// The layered proximity graph behind the approximate index.
//
// The graph behaves as if each node had one adjacency list shared by all
// layers, a layer search stepping only onto neighbours whose level reaches
// that layer. Lists are never capped or pruned: every result of a connecting
// pass is linked and gets a back-link. A node linked again, or a node linked
// to itself, is kept once, at its first occurrence: when a traversal meets
// such an entry again it is always visited already (or, under a filter,
// fails again), so dropping it changes no traversal. To keep a layer search
// from scanning entries it would skip, each node keeps, per layer, the
// sub-list of its neighbours admitted there, in list order.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "filter/filter.hpp"
#include "hnsw/random.hpp"
#include "metadata/metadata.hpp"
#include "metrics/metrics.hpp"
#include "metrics/page_buffer.hpp"
#include "metrics/stop_check.hpp"
#include "metrics/vector_batch.hpp"

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

// How much of the layered search actually runs. Both give the same levels,
// links and results, bit for bit; Full is the plain definition, kept for
// tests and measurements.
enum class Traversal : std::uint8_t {
    // A pass ends once it has visited every node admitted at its layer,
    // passes above the highest level of any node but node 0 are skipped, and
    // a node scored by one pass of an insert or search is not scored again
    // by the next.
    Shortcut,
    // Every pass runs, and every pass drains its candidate heap.
    Full,
};

// Work done by the layer searches so far.
struct WorkCounts {
    std::uint64_t evaluations = 0;      // distances taken by the traversals
    std::uint64_t scored = 0;           // metric evaluations made for them (see Recall in hnsw.cpp)
    std::uint64_t entries_scanned = 0;  // list entries read while expanding candidates
    std::uint64_t expansions = 0;       // candidates whose list was scanned
};

struct HNSWParams {
    std::uint64_t dim;
    std::uint64_t layers;
    std::uint64_t m;                 // kept, bounds nothing
    std::uint64_t ef_construction;   // result-list size of a connecting pass
    std::uint64_t ef_search;         // result-list size of the layer-0 search pass
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
    [[nodiscard]] std::optional<HNSWError> search(std::span<const double> query, std::uint64_t k,
                                                  const Filter* filter, std::vector<ScoredId>& out) const noexcept;
    // The search of one layer from `entry`, at most ef pairs, nearest first.
    [[nodiscard]] std::optional<HNSWError> knn(std::uint64_t entry, std::span<const double> query, std::uint64_t ef,
                                               std::uint64_t layer, const Filter* filter,
                                               std::vector<ScoredId>& out) const noexcept;

    std::uint64_t size() const noexcept { return levels_.size(); }
    std::uint64_t dim() const noexcept { return dim_; }
    // The stored coordinates of node `id`; empty for an unknown id.
    std::span<const double> vector(std::uint64_t id) const noexcept;
    const std::optional<Schema>& schema() const noexcept { return schema_; }

    // Introspection.
    std::uint64_t level(std::uint64_t id) const noexcept;
    // The node's whole adjacency list in link order, each neighbour once, at
    // its first link, and never the node itself.
    std::vector<std::uint64_t> neighbors(std::uint64_t id) const;
    // Distances taken by every operation on this index so far. A distance
    // an operation takes again, or one scored up front, is not scored twice:
    // work_counts().scored counts the metric evaluations.
    std::uint64_t distance_evaluations() const noexcept { return evaluations_.load(); }
    WorkCounts work_counts() const noexcept {
        return {evaluations_.load(), scored_.load(), scanned_.load(), expansions_.load()};
    }
    // Not to be changed while another thread uses the index.
    void set_traversal(Traversal traversal) noexcept { traversal_ = traversal; }

private:
    using Id = std::uint32_t;
    // Ids are 32-bit; the last value is never a node.
    static constexpr std::uint64_t kMaxNodes = 0xFFFFFFFFULL;
    // Sub-lists are kept for layers 0..min(level, kMaxListLayer); a node met
    // above its highest kept layer filters that sub-list by level. Only node 0
    // (at the top level) realistically exceeds it.
    static constexpr std::uint64_t kMaxListLayer = 16;

    struct FreeDeleter {
        void operator()(double* p) const noexcept { std::free(p); }
    };

    // A relaxed counter that moves with the index.
    struct Counter {
        mutable std::atomic<std::uint64_t> value{0};
        Counter() = default;
        Counter(Counter&& other) noexcept : value(other.value.load(std::memory_order_relaxed)) {}
        Counter& operator=(Counter&& other) noexcept {
            value.store(other.value.load(std::memory_order_relaxed), std::memory_order_relaxed);
            return *this;
        }
        void add(std::uint64_t n) const noexcept { value.fetch_add(n, std::memory_order_relaxed); }
        void store(std::uint64_t n) const noexcept { value.store(n, std::memory_order_relaxed); }
        std::uint64_t load() const noexcept { return value.load(std::memory_order_relaxed); }
    };

    HNSW() = default;

    std::uint64_t draw_level(RandomSource& rng) const noexcept;
    std::optional<HNSWError> check_pass(std::uint64_t ef, std::uint64_t layer, const Filter* filter,
                                        std::size_t& position) const noexcept;
    std::optional<HNSWError> insert_node(std::span<const double> vector, const MetadataRow* row,
                                         RandomSource& rng);
    // With `recall`, distances known to the thread's recall (started for this
    // query by start_recall) are reused, and those scored are kept there.
    // Returns the distances taken: the nodes visited.
    std::uint64_t layer_search(const PreparedQuery& query, Id entry, std::uint64_t ef, std::uint64_t layer,
                               const Filter* filter, std::size_t position, bool recall,
                               std::vector<ScoredId>& result) const;
    // Starts the thread's recall for a new insert or search. Where the last
    // operation of the kind visited at least half of layer 0 (`dense`, see
    // below), every node is scored up front in one streaming pass, at a
    // fraction of the cost of reaching the same rows at random.
    void start_recall(const PreparedQuery& query, const Counter& dense) const;
    void note_layer0_visits(const Counter& dense, std::uint64_t visited) const noexcept;
    // Stored nodes admitted at `layer` (< layers): node 0 and every taller one.
    std::uint64_t population(std::uint64_t layer) const noexcept {
        return 1 + (layer < taller_.size() ? taller_[layer] : 0);
    }
    // The highest level of any node but node 0 (0 while there is none),
    // counting the node being inserted.
    std::uint64_t highest_level() const noexcept { return taller_.empty() ? 0 : taller_.size() - 1; }
    // Adds a node of this level (room for it grown beforehand).
    void count_level(std::uint64_t level) noexcept;
    // Gives back room grown for a node that was never counted.
    void drop_empty_levels() noexcept;
    void append_link(Id owner, Id target);
    void remove_back_link(Id target, Id owner) noexcept;
    std::span<const Metadata> row(Id id) const noexcept;
    const double* coordinates(Id id) const noexcept { return vectors_.data() + std::size_t{id} * dim_; }

    std::uint64_t dim_ = 0;
    std::uint64_t layers_ = 0;
    std::uint64_t m_ = 0;
    std::uint64_t ef_construction_ = 0;
    std::uint64_t ef_search_ = 0;
    Metric metric_ = Metric::Euclidean;
    std::optional<Schema> schema_;

    std::unique_ptr<double, FreeDeleter> level_weights_;  // `layers` entries, entry j = exp(-j)
    std::uint64_t nonzero_weights_ = 0;                   // entries past this prefix are exactly 0.0
    double weight_total_ = 0.0;                           // sum of all weights, in index order

    // dim values per node, node after node; on huge pages, since every
    // distance reads a node at random.
    PageBuffer vectors_;
    // The same vectors again, each full group of kernels::kBlockLanes nodes
    // as one coordinate-major block: scoring every node streams them through
    // the block kernel at about half the cost of the row kernel.
    PageBuffer blocks_;
    std::vector<double> norms_;          // per node sqrt(squared_norm), cosine only
    std::vector<std::uint64_t> levels_;  // one per node; its length is the node count
    // taller_[l]: nodes other than node 0 whose level is >= l. Its length is
    // the highest such level + 1 (levels stay below ~746, where the weights
    // reach 0.0), so a huge `layers` costs nothing here.
    std::vector<std::uint64_t> taller_;
    // adjacency_[x][l]: x's neighbours with level >= l, in link order, for
    // l = 0..min(level(x), kMaxListLayer). adjacency_[x][0] is the whole list.
    std::vector<std::vector<std::vector<Id>>> adjacency_;
    std::vector<Metadata> rows_;                 // stored rows, back to back
    std::vector<std::uint64_t> row_offsets_{0};  // node i's row is rows_[offsets[i], offsets[i + 1]); empty: no row
    Counter evaluations_;
    Counter scored_;
    // Whether the last connecting pass of an insert at layer 0, and the last
    // search's layer-0 pass, visited at least half of the layer (1) or not
    // (0): a hint for the next insert's or search's start_recall.
    Counter dense_inserts_;
    Counter dense_searches_;
    Counter scanned_;
    Counter expansions_;
    Traversal traversal_ = Traversal::Shortcut;
};

}  // namespace ombrix
