// Metadata from Python: the schema, (name, value) pair lists, rows in schema
// order, and one Python value to a Metadata value.
#include "metadata/py_metadata.hpp"

#include <cstdint>
#include <string>
#include <unordered_map>

#include "convert.hpp"
#include "errors.hpp"

namespace ombrix::py {
namespace {

// Unprefixed errors; `create` runs it once per element of its outer list,
// all of them reserving room from one budget.
bool extract_pair_list(PyObject* object, PairList& out, ReserveBudget& budget) {
    if (!check_sequence(object)) return false;
    Length length;
    return for_each_item(object, length, [&](PyObject* item) {
        budget.make_room(out, length);
        return extract_named_value(item, out.emplace_back());
    });
}

// "{what} for attribute '{name}'"
bool row_error(const char* what, const std::string& name) {
    raise_value_error(std::string(what) + " for attribute '" + name + "'");
    return false;
}

}  // namespace

bool extract_named_value(PyObject* object, NamedValue& out) {
    if (!PyTuple_Check(object)) {
        set_cannot_convert(object, "PyTuple");
        return false;
    }
    const Py_ssize_t size = PyTuple_GET_SIZE(object);
    if (size != 2) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", size);
        return false;
    }
    out.name_object = PyRef::borrow(PyTuple_GET_ITEM(object, 0));
    out.value = PyRef::borrow(PyTuple_GET_ITEM(object, 1));
    return extract_text(out.name_object.get(), out.name);
}

bool to_schema(PyObject* object, const char* name, std::optional<Schema>& out) {
    out.reset();
    if (!object) return true;
    if (!check_sequence(object)) return argument_error(name);
    Schema& schema = out.emplace();
    ReserveBudget budget;
    Length length;
    const bool converted = for_each_item(object, length, [&](PyObject* item) {
        budget.make_room(schema, length);
        std::string_view text;
        if (!extract_text(item, text)) return false;
        schema.emplace_back(text);
        return true;
    });
    if (converted) return true;
    out.reset();
    return argument_error(name);
}

bool to_pair_list(PyObject* object, const char* name, PairList& out) {
    out.clear();
    ReserveBudget budget;
    return extract_pair_list(object, out, budget) || argument_error(name);
}

bool to_pair_lists(PyObject* object, const char* name, std::vector<PairList>& out) {
    out.clear();
    if (!check_sequence(object)) return argument_error(name);
    ReserveBudget budget;
    Length length;
    const bool converted = for_each_item(object, length, [&](PyObject* item) {
        budget.make_room(out, length);
        return extract_pair_list(item, out.emplace_back(), budget);
    });
    return converted || argument_error(name);
}

bool metadata_row_from_pairs(const PairList& pairs, const Schema& schema, MetadataRow& out) {
    out.clear();
    std::unordered_map<std::string_view, PyObject*> by_name;
    by_name.reserve(pairs.size());
    for (const NamedValue& pair : pairs) by_name.insert_or_assign(pair.name, pair.value.get());
    out.reserve(schema.size());
    for (const std::string& name : schema) {
        const auto found = by_name.find(name);
        if (found == by_name.end()) return row_error("Missing metadata", name);
        std::optional<Metadata> value;
        if (!metadata_value_from_object(found->second, value)) return false;
        if (!value) return row_error("Unsupported metadata type", name);
        out.push_back(std::move(*value));
    }
    return true;
}

bool metadata_value_from_object(PyObject* object, std::optional<Metadata>& out) {
    out.reset();
    if (PyUnicode_Check(object)) {
        Py_ssize_t size = 0;
        if (const char* data = PyUnicode_AsUTF8AndSize(object, &size)) {
            out = Metadata{std::string(data, static_cast<std::size_t>(size))};
            return true;
        }
        if (!discard_ordinary_failure()) return false;
    }
    // An exact float fails the integer attempt without running any Python
    // code, so it can skip straight to its value.
    if (PyFloat_CheckExact(object)) {
        out = Metadata{PyFloat_AS_DOUBLE(object)};
        return true;
    }
    if (const int complex = complex_number(object)) return complex > 0;

    // The integer attempt: an int as it is, anything else through __index__,
    // called once for both attempts.
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    PyObject* integer = PyLong_Check(object) ? object : nullptr;
    PyRef index;
    if (!integer && number && number->nb_index) {
        index = PyRef::steal(PyNumber_Index(object));
        if (!index && !discard_ordinary_failure()) return false;
        integer = index.get();
    }
    if (integer) {
        const long long value = PyLong_AsLongLong(integer);
        if (value != -1 || !PyErr_Occurred()) {
            out = Metadata{static_cast<std::int64_t>(value)};
            return true;
        }
        if (!discard_ordinary_failure()) return false;
    }

    // The float attempt: __float__ where the type has one; otherwise the
    // float of what __index__ gave (as float() would take it), if anything.
    double real;
    if (PyFloat_Check(object) || (number && number->nb_float)) real = PyFloat_AsDouble(object);
    else if (integer) real = PyLong_AsDouble(integer);
    else return true;
    if (real == -1.0 && PyErr_Occurred()) return discard_ordinary_failure();
    out = Metadata{real};
    return true;
}

}  // namespace ombrix::py
