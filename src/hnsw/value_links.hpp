// Per indexed attribute, each node's neighbours that hold the same value as
// the node itself, in link order: a filtered walk steps from a matching node
// only onto matching nodes, and these are exactly they.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "hnsw/equality_index.hpp"
#include "hnsw/links.hpp"

namespace ombrix {

// An insert links its node x both ways with hundreds of nodes. Its
// same-value lists are kept up once its links are made: x's own lists are
// filled from its whole list, and x joins the lists of the nodes linked to
// it in one batch per attribute where x holds a value (whose value numbers
// add_node() notes once per insert), with the lists' ends fetched ahead.
class ValueLinks {
public:
    ValueLinks() = default;
    explicit ValueLinks(std::size_t attributes) : lists_(attributes) { held_.reserve(attributes); }

    // Whether no attribute is indexed (no schema, or an empty one).
    bool empty() const noexcept { return lists_.empty(); }

    // Adds empty lists for the next node, x, and notes x's values (the index
    // holds x already). On an exception nothing changed.
    void add_node(NodeId x, const EqualityIndex& index);
    // Drops the lists of the nodes from `nodes` on.
    void truncate(std::size_t nodes) noexcept;

    // Appends x, the node added last, to the list of each of `owners` (in
    // link order) on each attribute where the two hold the same value. On an
    // exception nothing changed.
    void push_back_links(NodeId x, std::span<const NodeId> owners);
    // Fills x's lists from its whole list, `neighbours`, in link order.
    // On an exception x's lists are left empty.
    void fill_node(NodeId x, const std::vector<NodeId>& neighbours);

    // Owner's neighbours holding its own value at indexed attribute `a`.
    const std::vector<NodeId>& list(std::size_t a, NodeId owner) const noexcept { return lists_[a][owner]; }
    // Starts fetching where list(a, owner) is found.
    void prefetch_header(std::size_t a, NodeId owner) const noexcept { __builtin_prefetch(&lists_[a][owner]); }

private:
    // An attribute at which the node added last holds a value.
    struct Held {
        std::size_t attribute;
        const std::uint32_t* values;  // per node, its value number there
        std::uint32_t value;          // the node's own
    };
    std::vector<std::vector<std::vector<NodeId>>> lists_;  // [attribute][node]
    std::vector<Held> held_;                               // capacity: one per attribute
};

}  // namespace ombrix
