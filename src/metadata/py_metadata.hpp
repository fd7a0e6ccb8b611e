// Python forms of metadata: the schema argument, (name, value) pair lists and
// the conversion of one Python value to a Metadata value.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>
#include <vector>

#include "metadata/metadata.hpp"
#include "pyref.hpp"

namespace ombrix::py {

// A (name, value) tuple taken apart. The value is held unconverted.
struct NamedValue {
    PyRef name_object;      // keeps `name` alive
    std::string_view name;  // UTF-8 form of name_object
    PyRef value;
};

using PairList = std::vector<NamedValue>;

// A tuple (or subclass) of exactly two items whose first is a str. Errors
// are not prefixed with an argument name.
bool extract_named_value(PyObject* object, NamedValue& out);

// The `schema` argument: a non-str sequence of str. nullptr gives no schema.
bool to_schema(PyObject* object, const char* name, std::optional<Schema>& out);

// `insert`'s metadata: a non-str sequence of (name, value) tuples.
bool to_pair_list(PyObject* object, const char* name, PairList& out);
// `create`'s metadata: a non-str sequence of such pair lists, one per vector.
bool to_pair_lists(PyObject* object, const char* name, std::vector<PairList>& out);

// The row for `schema`, in schema order; the last pair of a name wins and
// names outside the schema are ignored. Returns false with ValueError set,
// or with the error a value's conversion could not pass over.
bool metadata_row_from_pairs(const PairList& pairs, const Schema& schema, MetadataRow& out);

// Text, then a signed 64-bit integer, then a float; `out` stays empty when
// none of them applies (and for every complex number). An attempt that fails
// in the ordinary way (see discard_ordinary_failure) is passed over; any
// other error of the __index__ or __float__ it runs, MemoryError among them,
// returns false with that error pending.
bool metadata_value_from_object(PyObject* object, std::optional<Metadata>& out);

}  // namespace ombrix::py
