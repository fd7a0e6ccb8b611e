// Conversions of argument values, shared by every method and constructor.
//
// The `to_*` functions convert one named argument: on failure they return
// false with the error set, a TypeError rewritten as
// "argument '{name}': {message}". The `extract_*` functions do the same
// without the rewrite, for callers that convert parts of an argument.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "storage/vector_batch.hpp"
#include "pyref.hpp"

namespace ombrix::py {

// Replaces a pending exception of exactly type TypeError by
// TypeError("argument '{name}': {message}") with the same __cause__; any
// other exception stays as it is. Always returns false.
bool argument_error(const char* name);

// Sets TypeError "'{type}' object cannot be converted to '{target}'".
void set_cannot_convert(PyObject* object, const char* target);

// The rule for every sequence argument: a str is refused with "Can't extract
// `str` to `Vec`", an object that fails the sequence check with
// "... cannot be converted to 'Sequence'".
bool check_sequence(PyObject* object);

// A length reported by __len__ is only a hint: never reserve more than this
// many items on its word alone.
inline constexpr Py_ssize_t kMaxReserveHint = Py_ssize_t{1} << 20;

// Makes room for the next item when `items` is full: for `hint` more items
// (at most kMaxReserveHint on the hint's word alone), and never less than
// double the capacity, so that appends stay amortised O(1) however far the
// hint under-reports.
template <class T>
void reserve_for_hint(std::vector<T>& items, Py_ssize_t hint) {
    if (items.size() < items.capacity()) return;
    const std::size_t hinted = items.size() + static_cast<std::size_t>(std::clamp(hint, Py_ssize_t{0}, kMaxReserveHint));
    items.reserve(std::max({hinted, 2 * items.capacity(), std::size_t{4}}));
}

// Calls visit(item) for each item of a sequence, in iteration order, with
// the length as a capacity hint (failure to report it is ignored). `visit`
// returns false with an error set to stop.
template <class Visit>
bool for_each_item(PyObject* sequence, Py_ssize_t& size_hint, Visit&& visit) {
    size_hint = PySequence_Size(sequence);
    if (size_hint < 0) {
        PyErr_Clear();
        size_hint = 0;
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(sequence));
    if (!iterator) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        if (!visit(item.get())) return false;
    }
    return !PyErr_Occurred();
}

// A C-contiguous float64 buffer with a given number of dimensions, taken only
// where obtaining it runs no Python code: the type's buffer slot must come
// from C, not from a Python-level __buffer__.
class DoubleBuffer {
public:
    DoubleBuffer(PyObject* object, int ndim);
    DoubleBuffer(const DoubleBuffer&) = delete;
    DoubleBuffer& operator=(const DoubleBuffer&) = delete;
    ~DoubleBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    bool usable() const noexcept { return usable_; }
    // Any strides, float64 or float32 items in native order: read item by
    // item with at(), giving the values float() gives.
    bool readable() const noexcept { return readable_; }
    double at(std::size_t i, std::size_t j = 0) const noexcept {
        const char* item = static_cast<const char*>(view_.buf) + static_cast<Py_ssize_t>(i) * view_.strides[0];
        if (view_.ndim == 2) item += static_cast<Py_ssize_t>(j) * view_.strides[1];
        if (single_) {
            float value;
            std::memcpy(&value, item, sizeof value);
            return value;
        }
        double value;
        std::memcpy(&value, item, sizeof value);
        return value;
    }
    // Complex items ("Zd", "Zf", ... in the struct syntax) have no float value
    // that keeps what they hold, so they are refused rather than truncated.
    bool complex() const noexcept { return held_ && view_.format && std::strchr(view_.format, 'Z'); }
    const double* data() const noexcept { return static_cast<const double*>(view_.buf); }
    std::size_t extent(int axis) const noexcept { return static_cast<std::size_t>(view_.shape[axis]); }

private:
    static bool native_buffer_slot(PyTypeObject* type);

    Py_buffer view_{};
    bool held_ = false;
    bool usable_ = false;
    bool readable_ = false;
    bool single_ = false;  // float32 items
};

bool extract_text(PyObject* object, std::string_view& out);

bool to_vector(PyObject* object, const char* name, std::vector<double>& out);
bool to_vector_batch(PyObject* object, const char* name, VectorBatch& out);
bool to_u64(PyObject* object, const char* name, std::uint64_t& out);
// The view points into the str's cached UTF-8 form, valid while `object` lives.
bool to_text(PyObject* object, const char* name, std::string_view& out);

}  // namespace ombrix::py
