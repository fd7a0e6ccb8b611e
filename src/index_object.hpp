// What PyFlat and PyHNSW share as Python objects: the instance layout (one
// core index and its access counter), construction, destruction and the
// one-time creation of the type object.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "access.hpp"
#include "errors.hpp"

namespace ombrix::py {

template <class Index>
struct IndexObject {
    PyObject_HEAD Index index;
    AccessCounter access;
};

// Allocates an instance of `subtype` and moves the index in.
template <class Index>
PyObject* wrap_index(PyTypeObject* subtype, Index&& index) {
    PyObject* self = subtype->tp_alloc(subtype, 0);
    if (!self) return nullptr;
    auto* object = reinterpret_cast<IndexObject<Index>*>(self);
    new (&object->index) Index(std::move(index));
    new (&object->access) AccessCounter();
    return self;
}

template <class Index>
void dealloc_index(PyObject* self) {
    auto* object = reinterpret_cast<IndexObject<Index>*>(self);
    object->index.~Index();
    object->access.~AccessCounter();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// The type object of a class, created from its spec on first need and kept
// for the process; if two threads race, the first stored object wins.
inline PyObject* type_once(std::atomic<PyObject*>& cache, PyType_Spec& spec) {
    if (PyObject* type = cache.load(std::memory_order_acquire)) return type;
    PyObject* created = PyType_FromSpec(&spec);
    if (!created) return fail();
    // A PyType_Spec name "builtins.X" gives __module__ "builtins"; renaming the
    // type to its bare name makes repr and messages read "X", as for a
    // built-in class.
    const char* dot = std::strrchr(spec.name, '.');
    PyObject* bare_name = PyUnicode_FromString(dot ? dot + 1 : spec.name);
    const int renamed = bare_name ? PyObject_SetAttrString(created, "__name__", bare_name) : -1;
    Py_XDECREF(bare_name);
    if (renamed < 0) {
        Py_DECREF(created);
        return fail();
    }
    PyObject* expected = nullptr;
    if (!cache.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        Py_DECREF(created);
        return expected;
    }
    return created;
}

// "Expected {what} of length {dim}, got {n}"
inline std::nullptr_t raise_length_error(const char* what, std::uint64_t dim, std::size_t n) {
    return raise_value_error("Expected " + std::string(what) + " of length " + std::to_string(dim) + ", got " +
                             std::to_string(n));
}

// "{prefix}{variant}" as a ValueError, or MemoryError when memory ran out.
template <class Error>
std::nullptr_t raise_index_error(const char* prefix, Error error) {
    if (error == Error::OutOfMemory) return raise_memory_error();
    return raise_value_error(std::string(prefix) + to_string(error));
}

}  // namespace ombrix::py
