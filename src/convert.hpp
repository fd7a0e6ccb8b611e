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

#include "pyref.hpp"
#include "storage/vector_batch.hpp"

namespace ombrix::py {

// Replaces a pending exception of exactly type TypeError by
// TypeError("argument '{name}': {message}") with the same __cause__ and the
// original as __context__, so that a traceback still shows where it was
// raised; any other exception stays as it is. Always returns false.
bool argument_error(const char* name);

// Sets TypeError "'{type}' object cannot be converted to '{target}'".
void set_cannot_convert(PyObject* object, const char* target);

// The rule for every sequence argument: a str is refused with "Can't extract
// `str` to `Vec`", an object that fails the sequence check with
// "... cannot be converted to 'Sequence'".
bool check_sequence(PyObject* object);

// After a failed conversion step: true (the error cleared) when it failed in
// the ordinary way, a TypeError, OverflowError or ValueError (subclasses
// included, UnicodeEncodeError among them), or an exception of class `also`;
// the step can then be passed over. Anything else (MemoryError, every
// BaseException that is not an Exception, such as KeyboardInterrupt, and any
// other error an object's own method raised) stays pending, and the call
// must stop with it and store nothing: false.
bool discard_ordinary_failure(PyObject* also = nullptr);

// How many items a sequence holds, as far as it is known before reading
// them. A list or tuple holds what it counts (`exact`); any other
// sequence's __len__ is only a hint and may over-report.
struct Length {
    std::size_t items = 0;
    bool exact = false;
};

// Reads the length of a sequence; a __len__ that fails in the ordinary way
// gives 0. False with the error pending otherwise.
bool sequence_length(PyObject* sequence, Length& out);

// Room reserved ahead of reading, for one argument. Room for the items a
// list or tuple holds wastes nothing. A hint is trusted only within one
// allowance shared by every sequence of the argument (a create's metadata
// holds a list per vector): reservations beyond geometric growth take
// kHintAllowance bytes in all, never a bound per list that many lists would
// multiply.
class ReserveBudget {
public:
    static constexpr std::size_t kHintAllowance = std::size_t{1} << 20;

    // Makes room for the next item when `items` is full: for the `length`
    // items of the sequence being read, and never less than double the
    // capacity, so that appends stay amortised O(1) however far a hint
    // under-reports.
    template <class T>
    void make_room(std::vector<T>& items, const Length& length) {
        if (items.size() < items.capacity()) return;
        const std::size_t geometric = std::max<std::size_t>(2 * items.capacity(), 4);
        std::size_t wanted = items.size() + length.items;
        if (!length.exact && wanted > geometric) {
            const std::size_t extra = std::min(wanted - geometric, allowance_ / sizeof(T));
            allowance_ -= extra * sizeof(T);
            wanted = geometric + extra;
        }
        items.reserve(std::max(wanted, geometric));
    }

private:
    std::size_t allowance_ = kHintAllowance;
};

// Calls visit(item) for each item of a sequence, in iteration order, after
// reading its length into `length` (for reserving room). `visit` returns
// false with an error set to stop.
template <class Visit>
bool for_each_item(PyObject* sequence, Length& length, Visit&& visit) {
    if (!sequence_length(sequence, length)) return false;
    PyRef iterator = PyRef::steal(PyObject_GetIter(sequence));
    if (!iterator) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        if (!visit(item.get())) return false;
    }
    return !PyErr_Occurred();
}

// Interns what the conversions look up; run once, at import.
bool init_conversions();

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

    // Probing failed otherwise than by the buffer's ordinary refusal (out of
    // memory, say): the error is pending and the call must stop with it.
    bool failed() const noexcept { return failed_; }
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
    Py_buffer view_{};
    bool held_ = false;
    bool failed_ = false;
    bool usable_ = false;
    bool readable_ = false;
    bool single_ = false;  // float32 items
};

// 1 for a complex number (Python's, or a number with complex buffer items
// such as numpy's complex scalars), 0 for anything else, -1 with an error
// set. A complex has no real value that keeps what it holds: conversions
// refuse it rather than take its real part through a lossy __float__.
int complex_number(PyObject* object);

bool extract_text(PyObject* object, std::string_view& out);

bool to_vector(PyObject* object, const char* name, std::vector<double>& out);
bool to_vector_batch(PyObject* object, const char* name, VectorBatch& out);
bool to_u64(PyObject* object, const char* name, std::uint64_t& out);
// The view points into the str's cached UTF-8 form, valid while `object` lives.
bool to_text(PyObject* object, const char* name, std::string_view& out);

}  // namespace ombrix::py
