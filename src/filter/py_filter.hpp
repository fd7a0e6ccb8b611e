// The `filter` argument of a search: a (name, value) tuple turned into a
// Filter with an equality predicate.
#pragma once

#include <Python.h>

#include "filter/filter.hpp"
#include "metadata/py_metadata.hpp"

namespace ombrix::py {

// Unpacks the argument by the pair rules of metadata lists; TypeErrors are
// prefixed with the argument name.
bool to_filter_argument(PyObject* object, const char* name, NamedValue& out);

// Refuses a filter on an index without schema before looking at the value,
// then requires a supported value. Returns false with ValueError set, or
// with the error the value's conversion could not pass over.
bool build_filter(const NamedValue& argument, bool has_schema, Filter& out);

}  // namespace ombrix::py
