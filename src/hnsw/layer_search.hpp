// The search of one layer: a beam walk from an entry node through the lists
// of the nodes it admits, and the scoring set-up of an insert or search.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "filter/filter.hpp"
#include "hnsw/levels.hpp"
#include "hnsw/links.hpp"
#include "hnsw/metadata_rows.hpp"
#include "hnsw/value_links.hpp"
#include "metrics/metrics.hpp"
#include "storage/blocked_rows.hpp"

namespace ombrix {

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

// A relaxed counter that moves with the index.
struct RelaxedCounter {
    mutable std::atomic<std::uint64_t> value{0};
    RelaxedCounter() = default;
    RelaxedCounter(RelaxedCounter&& other) noexcept : value(other.value.load(std::memory_order_relaxed)) {}
    RelaxedCounter& operator=(RelaxedCounter&& other) noexcept {
        value.store(other.value.load(std::memory_order_relaxed), std::memory_order_relaxed);
        return *this;
    }
    void add(std::uint64_t n) const noexcept { value.fetch_add(n, std::memory_order_relaxed); }
    void store(std::uint64_t n) const noexcept { value.store(n, std::memory_order_relaxed); }
    std::uint64_t load() const noexcept { return value.load(std::memory_order_relaxed); }
};

// Work done by the layer searches of one index so far.
struct WorkCounters {
    RelaxedCounter evaluations;  // distances taken by the traversals
    RelaxedCounter scored;       // metric evaluations made for them
    RelaxedCounter scanned;      // list entries read while expanding candidates
    RelaxedCounter expansions;   // candidates whose list was scanned
};

// A layer search over one graph's parts, for one insert or search.
class LayerSearch {
public:
    LayerSearch(const Levels& levels, const Links& links, const BlockedRows& rows, const MetadataRows& metadata,
                Traversal traversal, const WorkCounters& counters) noexcept
        : levels_(levels),
          links_(links),
          rows_(rows),
          metadata_(metadata),
          traversal_(traversal),
          counters_(counters) {}

    // Starts the thread's distance memo for a new insert or search. With
    // `score_all` every node is scored up front in one streaming pass, at a
    // fraction of the cost of reaching the same rows at random, and the
    // memo learns where a layer-0 result of `ef` pairs is final (leaving
    // out `unreachable`, the node being inserted, if any).
    void start_operation(const PreparedQuery& query, bool score_all, std::uint64_t ef = 0,
                         std::uint64_t unreachable = kMaxNodes) const;

    // The search of `layer` from `entry`: at most ef pairs, nearest first, in
    // `result`. With a filter, `position` is its attribute's schema position.
    // With `memo`, distances known to the thread's memo (started for this
    // query by start_operation) are reused, and those scored are kept there.
    // Returns the nodes visited; where a layer-0 pass reads the known
    // distances of listed nodes without visiting them, the list entries read
    // are added: an upper bound on the nodes it met.
    std::uint64_t run(const PreparedQuery& query, NodeId entry, std::uint64_t ef, std::uint64_t layer,
                      const Filter* filter, std::size_t position, bool memo, std::vector<ScoredId>& result) const;

    // The nodes an equality filter admits, from the equality index: those
    // whose value number at one indexed attribute is `wanted`.
    struct Matching {
        const std::uint32_t* values;  // per node, its value number at the attribute
        std::uint32_t wanted;
        const ValueLinks* same;    // each node's neighbours of its own value
        std::size_t attribute;     // the attribute's number in `same`
        std::uint64_t population;  // matching nodes (all admitted at layer 0)
    };
    // run() with a filter whose predicate is equality with an indexed value,
    // given as the nodes it admits: the same pairs, each node decided once.
    // Memo as with `memo` above.
    std::uint64_t run(const PreparedQuery& query, NodeId entry, std::uint64_t ef, std::uint64_t layer,
                      const Matching& matching, std::vector<ScoredId>& result) const;
    // Scores `nodes` into the thread's memo (started by start_operation).
    void score_into_memo(const PreparedQuery& query, std::span<const NodeId> nodes) const;
    // The same, from `copy`, whose row i is the row of nodes[i].
    void score_into_memo(const PreparedQuery& query, std::span<const NodeId> nodes, const BlockedRows& copy) const;

private:
    template <class Admit>
    std::uint64_t walk(const PreparedQuery& query, NodeId entry, std::uint64_t ef, std::uint64_t layer,
                       std::uint64_t unseen, bool memo, const Admit& admit, std::vector<ScoredId>& result) const;

    const Levels& levels_;
    const Links& links_;
    const BlockedRows& rows_;
    const MetadataRows& metadata_;
    Traversal traversal_;
    const WorkCounters& counters_;
};

}  // namespace ombrix
