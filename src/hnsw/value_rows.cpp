// Keeping the per-value copies of the rows in step with the equality index.
#include "hnsw/value_rows.hpp"

#include <new>

namespace ombrix {

using kernels::kBlockLanes;

void ValueRows::prepare(NodeId x, const EqualityIndex& index) {
    for (std::size_t a = 0; a < copies_.size(); ++a) {
        const std::uint32_t value = index.value_numbers(a)[x];
        if (value == EqualityIndex::kNoValue) continue;
        std::vector<BlockedRows>& copies = copies_[a];
        // Values are numbered in order of first appearance: a new one is
        // next. Many copies, each grown a group at a time: an eighth of
        // growth wastes far less than doubling, at a few more copies.
        while (copies.size() <= value)
            copies.emplace_back(dim_, keep_norms_, BlockedRows::KeepRows::None, BlockedRows::Growth::Eighth);
        // x, the last holder, completes a group.
        if (index.holders(a, value).size() % kBlockLanes == 0 && !copies[value].reserve(kBlockLanes))
            throw std::bad_alloc();
    }
}

void ValueRows::append(NodeId x, const BlockedRows& rows, const EqualityIndex& index) noexcept {
    for (std::size_t a = 0; a < copies_.size(); ++a) {
        const std::uint32_t value = index.value_numbers(a)[x];
        if (value == EqualityIndex::kNoValue) continue;
        const std::span<const NodeId> holders = index.holders(a, value);
        if (holders.size() % kBlockLanes != 0) continue;
        const double* group[kBlockLanes];
        for (std::size_t l = 0; l < kBlockLanes; ++l) group[l] = rows.row(holders[holders.size() - kBlockLanes + l]);
        copies_[a][value].append_group(group);
    }
}

void ValueRows::fit(const EqualityIndex& index) noexcept {
    for (std::size_t a = 0; a < copies_.size(); ++a)
        while (copies_[a].size() > index.values(a)) copies_[a].pop_back();
}

}  // namespace ombrix
