// Copying rows in, all or nothing.
#include "hnsw/metadata_rows.hpp"

#include <algorithm>
#include <type_traits>
#include <utility>

namespace ombrix {

// Values are moved into reserved room, which must not throw.
static_assert(std::is_nothrow_move_constructible_v<Metadata>);

void MetadataRows::append(const MetadataRow* row) {
    const std::size_t old_values = values_.size();
    if (row != nullptr) {
        // Copy first: a throwing copy inside a reallocating insert would
        // leave the rows already stored moved-from.
        MetadataRow copy;
        copy.reserve(row->size());
        for (const Metadata& value : *row) copy.push_back(copy_metadata(value));
        if (values_.capacity() - values_.size() < copy.size())
            values_.reserve(std::max(values_.size() + copy.size(), 2 * values_.capacity()));
        for (Metadata& value : copy) values_.push_back(std::move(value));
    }
    try {
        offsets_.push_back(values_.size());
    } catch (...) {
        values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(old_values), values_.end());
        throw;
    }
}

void MetadataRows::truncate(std::size_t nodes) noexcept {
    if (nodes >= size()) return;
    values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(offsets_[nodes]), values_.end());
    offsets_.resize(nodes + 1);
}

}  // namespace ombrix
