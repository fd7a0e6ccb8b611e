// Building filters, resolving their attribute and testing a node.
#include "filter/filter.hpp"

#include <new>
#include <utility>

namespace ombrix {

std::shared_ptr<const Predicate> make_equality_predicate(Metadata wanted) noexcept {
    try {
        return std::make_shared<const Predicate>(EqualsValue{std::move(wanted)});
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

const Metadata* equality_value(const Filter& filter) noexcept {
    if (!filter.predicate) return nullptr;
    const EqualsValue* equals = filter.predicate->target<EqualsValue>();
    return equals != nullptr ? &equals->wanted : nullptr;
}

SchemaCheck resolve_attribute(const Filter& filter, const std::optional<Schema>& schema,
                              std::size_t& position) noexcept {
    if (!schema) return SchemaCheck::NoSchema;
    if (schema->empty()) return SchemaCheck::EmptySchema;
    for (std::size_t p = 0; p < schema->size(); ++p) {
        if ((*schema)[p] == filter.attribute) {
            position = p;
            return SchemaCheck::Ok;
        }
    }
    return SchemaCheck::AttributeNotFound;
}

bool node_passes(const Filter& filter, std::size_t position, std::span<const Metadata> row) noexcept {
    if (position >= row.size() || !filter.predicate) return false;
    return (*filter.predicate)(row[position]);
}

}  // namespace ombrix
