// Keeping the per-value copies of the rows in step with the equality index.
#include "hnsw/value_rows.hpp"

#include <new>

namespace ombrix {

void ValueRows::prepare(NodeId x, const EqualityIndex& index) {
    for (std::size_t a = 0; a < copies_.size(); ++a) {
        const std::uint32_t value = index.value_numbers(a)[x];
        if (value == EqualityIndex::kNoValue) continue;
        std::vector<BlockedRows>& copies = copies_[a];
        // Values are numbered in order of first appearance: a new one is next.
        while (copies.size() <= value) copies.emplace_back(dim_, keep_norms_, BlockedRows::KeepRows::IncompleteGroup);
        if (!copies[value].reserve(1)) throw std::bad_alloc();
    }
}

void ValueRows::append(NodeId x, const double* row, const EqualityIndex& index) noexcept {
    for (std::size_t a = 0; a < copies_.size(); ++a) {
        const std::uint32_t value = index.value_numbers(a)[x];
        if (value != EqualityIndex::kNoValue) copies_[a][value].append(row, 1);
    }
}

void ValueRows::fit(const EqualityIndex& index) noexcept {
    for (std::size_t a = 0; a < copies_.size(); ++a)
        while (copies_[a].size() > index.values(a)) copies_[a].pop_back();
}

}  // namespace ombrix
