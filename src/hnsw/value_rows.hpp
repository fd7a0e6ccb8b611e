// Per indexed attribute and value, a copy of the rows of the nodes holding
// it, laid out for the block kernel: a filtered search that scores every
// matching node up front streams one contiguous copy instead of reading the
// matching rows scattered through the store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "hnsw/equality_index.hpp"
#include "hnsw/links.hpp"
#include "storage/blocked_rows.hpp"

namespace ombrix {

// Row i of a value's copy is the row of the value's i-th holder, in the
// equality index's (ascending) order, for the holders in complete groups of
// kBlockLanes: the few past them are scored from the store, where the
// kernels give them the same bits. A group joins its value's copy when its
// last holder's insert can no longer fail, so a failed insert appends
// nothing and at most leaves unused room (and the copies of the values it
// brought, which fit() drops).
class ValueRows {
public:
    ValueRows() = default;
    ValueRows(std::size_t attributes, std::size_t dim, bool keep_norms)
        : copies_(attributes), dim_(dim), keep_norms_(keep_norms) {}

    // Makes room in the copy of each value node x holds for the group x
    // completes, if any (a value new to the index gets its copy here).
    // Throws on memory shortage.
    void prepare(NodeId x, const EqualityIndex& index);
    // Appends those groups, their rows read from `rows` (the store, x's row
    // in it), after prepare(x, index).
    void append(NodeId x, const BlockedRows& rows, const EqualityIndex& index) noexcept;
    // Drops the copies of values the index no longer holds.
    void fit(const EqualityIndex& index) noexcept;

    // The copy for value number `value` at indexed attribute `a`, or nullptr.
    const BlockedRows* copy(std::size_t a, std::uint32_t value) const noexcept {
        return a < copies_.size() && value < copies_[a].size() ? &copies_[a][value] : nullptr;
    }

private:
    std::vector<std::vector<BlockedRows>> copies_;  // [attribute][value number]
    std::size_t dim_ = 0;
    bool keep_norms_ = false;
};

}  // namespace ombrix
