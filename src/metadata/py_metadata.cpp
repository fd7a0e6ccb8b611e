#include "metadata/py_metadata.hpp"

#include <cstdint>
#include <string>
#include <unordered_map>

#include "convert.hpp"
#include "errors.hpp"

namespace ombrix::py {
namespace {

// Unprefixed errors; `create` runs it once per element of its outer list.
bool extract_pair_list(PyObject* object, PairList& out) {
    if (!check_sequence(object)) return false;
    Py_ssize_t hint = 0;
    return for_each_item(object, hint, [&](PyObject* item) {
        if (out.empty()) reserve_for_hint(out, hint);
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
    Py_ssize_t hint = 0;
    const bool converted = for_each_item(object, hint, [&](PyObject* item) {
        if (schema.empty()) reserve_for_hint(schema, hint);
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
    return extract_pair_list(object, out) || argument_error(name);
}

bool to_pair_lists(PyObject* object, const char* name, std::vector<PairList>& out) {
    out.clear();
    if (!check_sequence(object)) return argument_error(name);
    Py_ssize_t hint = 0;
    const bool converted = for_each_item(object, hint, [&](PyObject* item) {
        if (out.empty()) reserve_for_hint(out, hint);
        return extract_pair_list(item, out.emplace_back());
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
        std::optional<Metadata> value = metadata_value_from_object(found->second);
        if (!value) return row_error("Unsupported metadata type", name);
        out.push_back(std::move(*value));
    }
    return true;
}

std::optional<Metadata> metadata_value_from_object(PyObject* object) {
    if (PyUnicode_Check(object)) {
        Py_ssize_t size = 0;
        if (const char* data = PyUnicode_AsUTF8AndSize(object, &size))
            return Metadata{std::string(data, static_cast<std::size_t>(size))};
        PyErr_Clear();
    }
    // An exact float fails the integer attempt without running any Python
    // code, so it can skip straight to its value.
    if (PyFloat_CheckExact(object)) return Metadata{PyFloat_AS_DOUBLE(object)};
    const long long integer = PyLong_AsLongLong(object);
    if (integer != -1 || !PyErr_Occurred()) return Metadata{static_cast<std::int64_t>(integer)};
    PyErr_Clear();
    const double real = PyFloat_AsDouble(object);
    if (real != -1.0 || !PyErr_Occurred()) return Metadata{real};
    PyErr_Clear();
    return std::nullopt;
}

}  // namespace ombrix::py
