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

class ValueLinks {
public:
    ValueLinks() = default;
    explicit ValueLinks(std::size_t attributes) : lists_(attributes) {}

    // Whether no attribute is indexed (no schema, or an empty one).
    bool empty() const noexcept { return lists_.empty(); }

    // Adds empty lists for the next node. On an exception nothing changed.
    void add_node();
    // Drops the lists of the nodes from `nodes` on.
    void truncate(std::size_t nodes) noexcept;

    // Makes room so that push(owner, target, index) cannot fail.
    void reserve(NodeId owner, NodeId target, const EqualityIndex& index);
    // Appends target to owner's list of each attribute on which the two hold
    // the same value. Room must have been reserved.
    void push(NodeId owner, NodeId target, const EqualityIndex& index) noexcept;
    // Undoes the last push(owner, target, index).
    void remove_last(NodeId owner, NodeId target, const EqualityIndex& index) noexcept;

    // Owner's neighbours holding its own value at indexed attribute `a`.
    const std::vector<NodeId>& list(std::size_t a, NodeId owner) const noexcept { return lists_[a][owner]; }
    // Starts fetching where list(a, owner) is found.
    void prefetch_header(std::size_t a, NodeId owner) const noexcept { __builtin_prefetch(&lists_[a][owner]); }

private:
    static bool same(const std::uint32_t* values, NodeId a, NodeId b) noexcept {
        return values[a] != EqualityIndex::kNoValue && values[a] == values[b];
    }
    std::vector<std::vector<std::vector<NodeId>>> lists_;  // [attribute][node]
};

}  // namespace ombrix
