// Per indexed attribute, each node's neighbours that hold the same value as
// the node itself, in link order: a filtered walk steps from a matching node
// only onto matching nodes, and these are exactly they.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "hnsw/equality_index.hpp"
#include "hnsw/links.hpp"

namespace ombrix {

// An insert links its node x both ways with hundreds of nodes. The lists of
// x itself are filled once its links are made, from its whole list; each
// back-link to x is checked only on the attributes where x holds a value,
// whose value numbers start_node() notes once per insert.
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

    // Appends x, the node added last, to owner's list of each attribute on
    // which the two hold the same value. On an exception nothing changed.
    void push_back_link(NodeId owner, NodeId x);
    // Undoes the last push_back_link(owner, x).
    void remove_back_link(NodeId owner) noexcept;
    // Fills x's lists from its whole list, `neighbours`, in link order.
    // On an exception x's lists are left empty.
    void fill_node(NodeId x, const std::vector<NodeId>& neighbours);

    // The rounds of fetches that push_back_link(owner, x) reads, beside
    // Links' own: owner's value numbers, then its lists' headers where they
    // match, then those lists' ends.
    void prefetch_values(NodeId owner) const noexcept {
        for (const Held& h : held_) __builtin_prefetch(h.values + owner);
    }
    void prefetch_headers(NodeId owner) const noexcept {
        for (const Held& h : held_)
            if (h.values[owner] == h.value) __builtin_prefetch(&lists_[h.attribute][owner]);
    }
    void prefetch_tail(NodeId owner) const noexcept {
        for (const Held& h : held_)
            if (h.values[owner] == h.value) {
                const std::vector<NodeId>& list = lists_[h.attribute][owner];
                __builtin_prefetch(list.data() + list.size(), 1);
            }
    }

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
