// Owned references to Python objects.
//
// Every reference a call takes is held by a PyRef, so each early return
// releases what was taken without a bare Py_DECREF in method bodies.
#pragma once

#include <Python.h>

#include <utility>

namespace ombrix::py {

class PyRef {
public:
    PyRef() noexcept = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    // Takes over a new reference (which may be null, as returned by a failed call).
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Takes a new reference to a borrowed object.
    static PyRef borrow(PyObject* object) noexcept { return PyRef(Py_XNewRef(object)); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller (for returning it to Python).
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace ombrix::py
