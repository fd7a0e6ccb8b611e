// Python exceptions raised by the Python layer: ValueError messages, the
// internal-failure exception, and C++ exceptions mapped at the boundary.
#include "errors.hpp"

#include <atomic>
#include <new>
#include <stdexcept>

#include "pyref.hpp"

namespace ombrix::py {
namespace {

PyRef text_of(std::string_view message) {
    return PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
}

// Created on first use and kept for the process; the first writer wins.
PyObject* internal_error_type() {
    static std::atomic<PyObject*> cached{nullptr};
    if (PyObject* type = cached.load(std::memory_order_acquire)) return type;
    PyObject* created = PyErr_NewExceptionWithDoc(
        "ombrix.InternalError",
        "Raised when a call breaks a precondition of an index. Changes made before the failure stay.",
        PyExc_BaseException, nullptr);
    if (!created) return nullptr;
    PyObject* expected = nullptr;
    if (!cached.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        Py_DECREF(created);
        return expected;
    }
    return created;
}

}  // namespace

std::nullptr_t raise_value_error(std::string_view message) {
    if (PyRef text = text_of(message)) PyErr_SetObject(PyExc_ValueError, text.get());
    return nullptr;
}

std::nullptr_t raise_memory_error() {
    PyErr_NoMemory();
    return nullptr;
}

PyRef make_internal_error(std::string_view message) {
    PyObject* type = internal_error_type();
    PyRef text = type ? text_of(message) : PyRef();
    return text ? PyRef::steal(PyObject_CallOneArg(type, text.get())) : PyRef();
}

std::nullptr_t raise_prepared(PyRef error) {
    if (!error) return fail();
    // Given an instance, PyErr_SetObject only links the exception being
    // handled as its context.
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return nullptr;
}

std::nullptr_t fail() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
}

std::nullptr_t raise_from_cpp_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked to exceed its largest size: memory for it could
        // never be found either.
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected internal exception");
    }
    return nullptr;
}

}  // namespace ombrix::py
