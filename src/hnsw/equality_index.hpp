// Per schema attribute, which nodes hold each value: the index behind
// equality filters, so that a search finds its matching nodes in time
// proportional to their number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "hnsw/links.hpp"
#include "hnsw/metadata_rows.hpp"
#include "metadata/metadata.hpp"

namespace ombrix {

// Values are told apart by Metadata equality: the same alternative and an
// equal payload, text byte for byte, -0.0 equal to 0.0, and a NaN equal to
// nothing, so a node holding NaN, like a node without a row, holds no value.
// Each distinct value an attribute holds gets a number, in order of first
// appearance. Keys are not copied: a value is compared with the row of the
// first node holding it.
class EqualityIndex {
public:
    static constexpr std::uint32_t kNoValue = 0xFFFFFFFF;

    EqualityIndex() = default;
    // Indexes each schema name at its first position (a filter resolves a
    // name there).
    explicit EqualityIndex(const std::optional<Schema>& schema);

    // Nodes added.
    std::size_t size() const noexcept { return nodes_; }
    // Adds the next node, whose row (empty: none) `rows` holds already. On an
    // exception nothing changed.
    void add(const MetadataRows& rows);
    // Removes the node added last.
    void remove_last() noexcept;

    // Indexed attributes: each schema name at its first position.
    std::size_t attributes() const noexcept { return attributes_.size(); }
    static constexpr std::size_t kNotIndexed = static_cast<std::size_t>(-1);
    // The indexed attribute at schema position `position`, or kNotIndexed.
    std::size_t attribute_at(std::size_t position) const noexcept;
    // Per node, the number of the value it holds at indexed attribute `a`
    // (kNoValue: none).
    const std::uint32_t* value_numbers(std::size_t a) const noexcept { return attributes_[a].value_of.data(); }
    // Distinct values that nodes hold at indexed attribute `a`.
    std::size_t values(std::size_t a) const noexcept { return attributes_[a].holders.size(); }
    // The number of `value` at an indexed position, or kNoValue when no node
    // holds it.
    std::uint32_t find(std::size_t position, const Metadata& value, const MetadataRows& rows) const noexcept;
    // The nodes holding value number `value` at an indexed position, ascending.
    std::span<const NodeId> nodes(std::size_t position, std::uint32_t value) const noexcept;
    // The same at indexed attribute `a`.
    std::span<const NodeId> holders(std::size_t a, std::uint32_t value) const noexcept {
        return attributes_[a].holders[value];
    }

private:
    struct Slot {
        std::uint32_t value = kNoValue;  // kNoValue: empty
        std::uint32_t hash = 0;          // low bits of the value's hash
    };
    struct Attribute {
        std::size_t position = 0;
        std::vector<std::uint32_t> value_of;       // per node
        std::vector<std::vector<NodeId>> holders;  // per value, ascending node ids
        std::vector<Slot> slots;                   // open addressing, linear probing, at most half full
    };
    // What add() will do for one attribute, worked out before anything changes.
    struct Pending {
        std::uint32_t value = kNoValue;
        std::uint32_t hash = 0;
        bool fresh = false;           // a value no node held before
        std::vector<NodeId> holders;  // a fresh value's list: the new node
    };

    const Attribute* attribute_of(std::size_t position) const noexcept;
    // The value `key` (of hash `hash`) has in `a`, or kNoValue.
    std::uint32_t lookup(const Attribute& a, const Metadata& key, std::uint32_t hash,
                         const MetadataRows& rows) const noexcept;
    static void place(std::vector<Slot>& slots, Slot slot) noexcept;

    std::vector<Attribute> attributes_;
    std::size_t nodes_ = 0;
};

}  // namespace ombrix
