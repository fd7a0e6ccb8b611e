// The metadata rows of the stored nodes, back to back; a node stored without
// metadata has an empty row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "metadata/metadata.hpp"

namespace ombrix {

class MetadataRows {
public:
    // Nodes with a row entry (empty or not).
    std::size_t size() const noexcept { return offsets_.size() - 1; }

    // Stores a copy of `row` (nullptr: no row) for the next node. On an
    // exception nothing changed.
    void append(const MetadataRow* row);
    // Drops the rows of the nodes from `nodes` on.
    void truncate(std::size_t nodes) noexcept;

    std::span<const Metadata> row(std::size_t id) const noexcept {
        const std::uint64_t begin = offsets_[id];
        return {values_.data() + begin, offsets_[id + 1] - begin};
    }

private:
    std::vector<Metadata> values_;           // stored rows, back to back
    std::vector<std::uint64_t> offsets_{0};  // node i's row is values_[offsets_[i], offsets_[i + 1])
};

}  // namespace ombrix
