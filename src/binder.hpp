// Binding of call arguments to named parameters, shared by every method and
// constructor. All parameters are positional-or-keyword; the first
// `required` are required. After binding, an optional parameter passed as
// None reads as absent (nullptr).
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

#include "access.hpp"
#include "errors.hpp"
#include "pyref.hpp"

namespace ombrix::py {

template <std::size_t N>
struct Signature {
    const char* full_name;  // as in messages, e.g. "PyFlat.insert()"
    std::array<const char*, N> params;
    std::size_t required = 1;
};

template <std::size_t N>
using Args = std::array<PyObject*, N>;  // borrowed; nullptr when absent

struct SignatureView {
    const char* full_name;
    std::span<const char* const> params;
    std::size_t required;

    template <std::size_t N>
    SignatureView(const Signature<N>& s) : full_name(s.full_name), params(s.params), required(s.required) {}
};

// Fast-call protocol: positional array plus a tuple of keyword names whose
// values follow the positionals. Returns false with TypeError set.
bool bind_fastcall(SignatureView sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// Tuple/dict protocol (constructors).
bool bind_call(SignatureView sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Constructor arguments bound from a tuple and a dict. Each is held by a new
// reference: converting one runs Python code that could otherwise drop the
// dict's reference to another.
template <std::size_t N>
class ConstructorArgs {
public:
    bool bind(const Signature<N>& sig, PyObject* args, PyObject* kwargs) {
        if (!bind_call(sig, args, kwargs, values_.data())) return false;
        for (std::size_t i = 0; i < N; ++i) held_[i] = PyRef::borrow(values_[i]);
        return true;
    }
    PyObject* operator[](std::size_t i) const noexcept { return values_[i]; }

private:
    Args<N> values_{};
    std::array<PyRef, N> held_;
};

// A METH_FASTCALL | METH_KEYWORDS method: binds, takes the access counter in
// `Mode`, runs `Body` and releases the counter on every path.
template <class Object, auto& Sig, Access Mode, auto Body>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    Args<Sig.params.size()> bound{};
    if (!bind_fastcall(Sig, args, nargs, kwnames, bound.data())) return nullptr;
    Object& object = *reinterpret_cast<Object*>(self);
    AccessGuard guard(object.access, Mode);
    if (!guard.ok()) return nullptr;
    return guarded([&]() -> PyObject* { return Body(object, bound); });
}

template <auto Function>
PyCFunction as_cfunction() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

}  // namespace ombrix::py
