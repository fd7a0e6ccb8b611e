// Adding nodes to the equality index, all or nothing, and looking values up.
#include "hnsw/equality_index.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace ombrix {
namespace {

// The value a row holds at `position` for indexing: none past the row's end
// or for a NaN.
const Metadata* indexed_value(std::span<const Metadata> row, std::size_t position) noexcept {
    if (position >= row.size()) return nullptr;
    const Metadata& value = row[position];
    if (const double* number = std::get_if<double>(&value.value); number != nullptr && std::isnan(*number))
        return nullptr;
    return &value;
}

// Room for one more element, grown geometrically.
template <class T>
void make_room(std::vector<T>& v) {
    if (v.size() == v.capacity()) v.reserve(v.capacity() < 4 ? 4 : 2 * v.capacity());
}

}  // namespace

EqualityIndex::EqualityIndex(const std::optional<Schema>& schema) {
    if (!schema) return;
    for (std::size_t p = 0; p < schema->size(); ++p)
        if (std::find(schema->begin(), schema->begin() + static_cast<std::ptrdiff_t>(p), (*schema)[p]) ==
            schema->begin() + static_cast<std::ptrdiff_t>(p))
            attributes_.push_back(Attribute{p, {}, {}, {}});
}

const EqualityIndex::Attribute* EqualityIndex::attribute_of(std::size_t position) const noexcept {
    for (const Attribute& a : attributes_)
        if (a.position == position) return &a;
    return nullptr;
}

std::uint32_t EqualityIndex::lookup(const Attribute& a, const Metadata& key, std::uint32_t hash,
                                    const MetadataRows& rows) const noexcept {
    if (a.slots.empty()) return kNoValue;
    const std::size_t mask = a.slots.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
        const Slot& slot = a.slots[at];
        if (slot.value == kNoValue) return kNoValue;
        if (slot.hash == hash && rows.row(a.holders[slot.value].front())[a.position] == key) return slot.value;
    }
}

void EqualityIndex::place(std::vector<Slot>& slots, Slot slot) noexcept {
    const std::size_t mask = slots.size() - 1;
    std::size_t at = slot.hash & mask;
    while (slots[at].value != kNoValue) at = (at + 1) & mask;
    slots[at] = slot;
}

void EqualityIndex::add(const MetadataRows& rows) {
    const NodeId node = static_cast<NodeId>(nodes_);
    const std::span<const Metadata> row = rows.row(node);
    // Every allocation first; the changes after them cannot fail.
    std::vector<Pending> pending(attributes_.size());
    for (std::size_t i = 0; i < attributes_.size(); ++i) {
        Attribute& a = attributes_[i];
        Pending& p = pending[i];
        make_room(a.value_of);
        const Metadata* value = indexed_value(row, a.position);
        if (value == nullptr) continue;
        p.hash = static_cast<std::uint32_t>(hash_metadata(*value));
        p.value = lookup(a, *value, p.hash, rows);
        if (p.value != kNoValue) {
            make_room(a.holders[p.value]);
            continue;
        }
        p.fresh = true;
        p.value = static_cast<std::uint32_t>(a.holders.size());
        p.holders.push_back(node);
        make_room(a.holders);
        // At most half full after this value: grow by rehashing into a larger
        // table (same contents).
        if (2 * (a.holders.size() + 1) > a.slots.size()) {
            std::vector<Slot> larger(std::max<std::size_t>(16, 2 * a.slots.size()));
            for (const Slot& slot : a.slots)
                if (slot.value != kNoValue) place(larger, slot);
            a.slots.swap(larger);
        }
    }
    for (std::size_t i = 0; i < attributes_.size(); ++i) {
        Attribute& a = attributes_[i];
        Pending& p = pending[i];
        a.value_of.push_back(p.value);
        if (p.value == kNoValue) continue;
        if (p.fresh) {
            a.holders.push_back(std::move(p.holders));
            place(a.slots, Slot{p.value, p.hash});
        } else {
            a.holders[p.value].push_back(node);
        }
    }
    ++nodes_;
}

void EqualityIndex::remove_last() noexcept {
    if (nodes_ == 0) return;
    --nodes_;
    for (Attribute& a : attributes_) {
        const std::uint32_t value = a.value_of.back();
        a.value_of.pop_back();
        if (value == kNoValue) continue;
        a.holders[value].pop_back();
        if (!a.holders[value].empty()) continue;
        // A value the node brought in: the newest number, and the newest key
        // in its table, so no other key's probe runs through its slot.
        a.holders.pop_back();
        for (Slot& slot : a.slots)
            if (slot.value == value) slot = Slot{};
    }
}

std::uint32_t EqualityIndex::find(std::size_t position, const Metadata& value,
                                  const MetadataRows& rows) const noexcept {
    const Attribute* a = attribute_of(position);
    const Metadata* key = indexed_value({&value, 1}, 0);
    if (a == nullptr || key == nullptr) return kNoValue;
    return lookup(*a, *key, static_cast<std::uint32_t>(hash_metadata(*key)), rows);
}

std::span<const NodeId> EqualityIndex::nodes(std::size_t position, std::uint32_t value) const noexcept {
    const Attribute* a = attribute_of(position);
    if (a == nullptr || value >= a->holders.size()) return {};
    return a->holders[value];
}

std::size_t EqualityIndex::attribute_at(std::size_t position) const noexcept {
    for (std::size_t a = 0; a < attributes_.size(); ++a)
        if (attributes_[a].position == position) return a;
    return kNotIndexed;
}

}  // namespace ombrix
