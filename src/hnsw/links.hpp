// The adjacency lists: per node, its neighbours in link order, and the
// sub-list of those admitted at each of its layers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ombrix {

// Node ids inside the graph are 32-bit; the last value is never a node.
using NodeId = std::uint32_t;
inline constexpr std::uint64_t kMaxNodes = 0xFFFFFFFFULL;

// The graph behaves as if each node had one list shared by all layers, a
// layer search stepping only onto neighbours whose level reaches that layer.
// A node linked again, or a node linked to itself, is kept once, at its first
// occurrence: when a traversal meets such an entry again it is always visited
// already (or, under a filter, fails again), so dropping it changes no
// traversal. To keep a layer search from scanning entries it would skip, each
// node keeps, per layer, the sub-list of its neighbours admitted there, in
// list order.
class Links {
public:
    // Sub-lists are kept for layers 0..min(level, kMaxListLayer); a node met
    // above its highest kept layer filters that sub-list by level. Only node
    // 0 (at the top level) realistically exceeds it.
    static constexpr std::uint64_t kMaxListLayer = 16;

    std::size_t size() const noexcept { return all_.size(); }

    // Adds an empty list for the next node, of this level. On an exception
    // nothing changed.
    void add_node(std::uint64_t level);
    // Drops the lists of the nodes from `nodes` on.
    void truncate(std::size_t nodes) noexcept;

    // Appends `target` (of level `target_level`) to owner's list and to every
    // sub-list that admits it. On an exception nothing changed.
    void append(NodeId owner, NodeId target, std::uint64_t target_level);
    // Undoes the last append(owner, target of `target_level`, ...).
    void remove_last(NodeId owner, std::uint64_t target_level) noexcept;

    // The highest layer with a sub-list of its own.
    std::uint64_t top(NodeId x) const noexcept { return upper_[x].size(); }
    // The sub-list for `layer`, or, above top(x), the highest one (still to
    // be filtered by level).
    const std::vector<NodeId>& list(NodeId x, std::uint64_t layer) const noexcept {
        if (layer == 0) return all_[x];
        const std::vector<std::vector<NodeId>>& upper = upper_[x];
        return upper.empty() ? all_[x] : upper[std::min<std::uint64_t>(layer, upper.size()) - 1];
    }
    // The whole list.
    const std::vector<NodeId>& all(NodeId x) const noexcept { return all_[x]; }

    // Starts fetching what append(x, ...) or list(x, 0) touches first: the
    // list headers, then the end of the whole list. Rounds over several
    // nodes let the fetches of one round overlap.
    void prefetch_headers(NodeId x) const noexcept {
        __builtin_prefetch(&all_[x]);
        __builtin_prefetch(&upper_[x]);
    }
    void prefetch_sub_lists(NodeId x) const noexcept { __builtin_prefetch(upper_[x].data()); }
    void prefetch_tail(NodeId x) const noexcept {
        const std::vector<NodeId>& whole = all_[x];
        __builtin_prefetch(whole.data() + whole.size(), 1);
    }

private:
    // all_[x]: x's whole list, in link order. upper_[x][l - 1]: x's
    // neighbours with level >= l, in link order, for l = 1..min(level(x),
    // kMaxListLayer). Layer 0 is read most, so its list is one step away.
    std::vector<std::vector<NodeId>> all_;
    std::vector<std::vector<std::vector<NodeId>>> upper_;
};

}  // namespace ombrix
