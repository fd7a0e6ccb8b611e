// The `filter` argument: unpacking the (name, value) pair and building a
// Filter with an equality predicate.
#include "filter/py_filter.hpp"

#include <string>
#include <utility>

#include "convert.hpp"
#include "errors.hpp"

namespace ombrix::py {

bool to_filter_argument(PyObject* object, const char* name, NamedValue& out) {
    return extract_named_value(object, out) || argument_error(name);
}

bool build_filter(const NamedValue& argument, bool has_schema, Filter& out) {
    if (!has_schema) {
        raise_value_error("No schema provided in HNSW instance; cannot use metadata filtering");
        return false;
    }
    std::optional<Metadata> wanted;
    if (!metadata_value_from_object(argument.value.get(), wanted)) return false;
    if (!wanted) {
        raise_value_error("Unsupported type for metadata filter");
        return false;
    }
    out.predicate = make_equality_predicate(std::move(*wanted));
    if (!out.predicate) {
        raise_memory_error();
        return false;
    }
    out.attribute.assign(argument.name);
    return true;
}

}  // namespace ombrix::py
