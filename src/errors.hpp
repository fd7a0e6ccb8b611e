// How failures reach Python. Each helper sets the exception and returns
// nullptr, so a method can `return raise_value_error(...)`.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "pyref.hpp"
#include "thread_state.hpp"

namespace ombrix::py {

std::nullptr_t raise_value_error(std::string_view message);
std::nullptr_t raise_memory_error();
// The internal-failure exception (a broken precondition of a core index),
// built without raising it, so that a call can build it before it changes
// anything and raise it afterwards without needing memory. Derived directly
// from BaseException so that `except Exception` lets it pass.
PyRef make_internal_error(std::string_view message);
// Raises an exception object built beforehand; allocates nothing.
std::nullptr_t raise_prepared(PyRef error);
// For an interpreter call that failed: makes sure some exception is pending.
std::nullptr_t fail();
// Inside a catch block: maps the C++ exception to a Python one.
std::nullptr_t raise_from_cpp_exception();

// Runs body, translating any C++ exception at the boundary.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
    if (!prepare_thread()) return {};
    try {
        return body();
    } catch (...) {
        raise_from_cpp_exception();
        return {};
    }
}

}  // namespace ombrix::py
