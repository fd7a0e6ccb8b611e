// Search-time metadata filters: one attribute name and one predicate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "metadata/metadata.hpp"

namespace ombrix {

// Must not throw; it is called from inside graph searches.
using Predicate = std::function<bool(const Metadata&)>;

struct Filter {
    std::string attribute;                       // compared byte for byte with schema names
    std::shared_ptr<const Predicate> predicate;  // immutable, shareable across threads
};

// The callable behind an equality predicate: value == wanted (Metadata
// equality). It has a name of its own so that an index can recognise it and
// look the wanted value up instead of testing node after node.
struct EqualsValue {
    Metadata wanted;
    bool operator()(const Metadata& value) const noexcept { return value == wanted; }
};

// A predicate that owns `wanted` and answers value == wanted (Metadata
// equality). nullptr when it cannot be allocated.
std::shared_ptr<const Predicate> make_equality_predicate(Metadata wanted) noexcept;

// The wanted value if the filter's predicate is an equality predicate, else
// nullptr.
const Metadata* equality_value(const Filter& filter) noexcept;

enum class SchemaCheck : std::uint8_t { Ok, NoSchema, EmptySchema, AttributeNotFound };

// Checks the filter against the schema in this order: no schema, empty
// schema, attribute absent. On Ok, `position` is the first schema name equal
// to the attribute.
SchemaCheck resolve_attribute(const Filter& filter, const std::optional<Schema>& schema,
                              std::size_t& position) noexcept;

// Whether a node with metadata `row` passes. A node without a row (empty
// span) or with a row too short for `position` fails, as does a filter
// without predicate.
bool node_passes(const Filter& filter, std::size_t position, std::span<const Metadata> row) noexcept;

}  // namespace ombrix
