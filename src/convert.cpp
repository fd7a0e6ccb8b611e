// Vectors, batches, integers and text converted from Python objects, and the
// buffer probe that lets a float64 or float32 array be read in one pass.
#include "convert.hpp"

#include <algorithm>
#include <cstring>

#include "errors.hpp"

namespace ombrix::py {
namespace {

// `__buffer__`, interned at import: a one-time step that could fail half
// way must not be left for the first conversion that needs it.
PyObject* buffer_slot_name = nullptr;

// Python's own message for a complex where a float is wanted.
bool refuse_complex() {
    PyErr_SetString(PyExc_TypeError, "must be real number, not complex");
    return false;
}

bool append_item(PyObject* item, std::vector<double>& values) {
    double value;
    if (PyFloat_CheckExact(item)) {
        value = PyFloat_AS_DOUBLE(item);
    } else {
        if (const int complex = complex_number(item)) return complex > 0 ? refuse_complex() : false;
        value = PyFloat_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred()) return false;
    }
    values.push_back(value);
    return true;
}

// Exact lists and tuples of exact floats and ints: converting those runs no
// Python code, so their storage is read directly. Returns false (with no
// error) for anything else, after undoing what it appended.
bool append_exact_items(PyObject* sequence, std::vector<double>& values) {
    PyObject** items;
    Py_ssize_t size;
    if (PyList_CheckExact(sequence)) {
        items = reinterpret_cast<PyListObject*>(sequence)->ob_item;
        size = PyList_GET_SIZE(sequence);
    } else if (PyTuple_CheckExact(sequence)) {
        items = reinterpret_cast<PyTupleObject*>(sequence)->ob_item;
        size = PyTuple_GET_SIZE(sequence);
    } else {
        return false;
    }
    const std::size_t start = values.size();
    values.resize(start + static_cast<std::size_t>(size));
    double* out = values.data() + start;
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = items[i];
        if (PyFloat_CheckExact(item)) {
            out[i] = PyFloat_AS_DOUBLE(item);
        } else if (PyLong_CheckExact(item)) {
            out[i] = PyLong_AsDouble(item);
            if (out[i] == -1.0 && PyErr_Occurred()) {
                // Leave the error to the general path, which raises the same one.
                PyErr_Clear();
                values.resize(start);
                return false;
            }
        } else {
            values.resize(start);
            return false;
        }
    }
    return true;
}

// Appends one vector's coordinates; returns false with an unprefixed error.
bool append_vector(PyObject* object, std::vector<double>& values, ReserveBudget& budget) {
    if (!check_sequence(object)) return false;
    if (DoubleBuffer buffer(object, 1); buffer.failed()) {
        return false;
    } else if (buffer.usable()) {
        values.insert(values.end(), buffer.data(), buffer.data() + buffer.extent(0));
        return true;
    } else if (buffer.readable()) {
        const std::size_t start = values.size(), length = buffer.extent(0);
        values.resize(start + length);
        for (std::size_t i = 0; i < length; ++i) values[start + i] = buffer.at(i);
        return true;
    } else if (buffer.complex()) {
        return refuse_complex();
    }
    if (append_exact_items(object, values)) return true;
    Length length;
    return for_each_item(object, length, [&](PyObject* item) {
        budget.make_room(values, length);
        return append_item(item, values);
    });
}

// Whether obtaining the type's buffer runs no Python code: its buffer slot
// comes from C, not from a Python-level __buffer__.
bool native_buffer(PyTypeObject* type) {
    if (!type->tp_as_buffer || !type->tp_as_buffer->bf_getbuffer || !buffer_slot_name) return false;
    PyObject* slot = _PyType_Lookup(type, buffer_slot_name);
    return slot && Py_IS_TYPE(slot, &PyWrapperDescr_Type);
}

// The coordinates that a list or tuple of vectors holds, as far as its items
// tell without running Python code: the lengths of its lists and tuples, and
// of its built-in buffer types (numpy arrays among them). Room for them
// wastes nothing if the call succeeds, where a guess from the first vector
// could reserve far more than a short batch holds. False with the error
// pending when a length fails otherwise than in the ordinary way.
bool known_values(PyObject* batch, std::size_t& total) {
    total = 0;
    if (!PyList_CheckExact(batch) && !PyTuple_CheckExact(batch)) return true;
    PyObject* const* rows = PySequence_Fast_ITEMS(batch);
    for (Py_ssize_t i = 0, n = Py_SIZE(batch); i < n; ++i) {
        PyTypeObject* type = Py_TYPE(rows[i]);
        if (PyList_CheckExact(rows[i]) || PyTuple_CheckExact(rows[i])) {
            total += static_cast<std::size_t>(Py_SIZE(rows[i]));
        } else if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) && type->tp_as_sequence && type->tp_as_sequence->sq_length &&
                   native_buffer(type)) {
            const Py_ssize_t length = type->tp_as_sequence->sq_length(rows[i]);
            if (length >= 0) total += static_cast<std::size_t>(length);
            else if (!discard_ordinary_failure()) return false;
        }
    }
    return true;
}

}  // namespace

DoubleBuffer::DoubleBuffer(PyObject* object, int ndim) {
    if (!native_buffer(Py_TYPE(object))) return;
    if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) < 0) {
        // A refusal leaves the object to the item-by-item path.
        failed_ = !discard_ordinary_failure(PyExc_BufferError);
        return;
    }
    held_ = true;
    if (view_.ndim != ndim || !view_.format || view_.suboffsets || (ndim > 0 && !view_.strides)) return;
    const bool is_double = std::strcmp(view_.format, "d") == 0 && view_.itemsize == sizeof(double);
    single_ = std::strcmp(view_.format, "f") == 0 && view_.itemsize == sizeof(float);
    readable_ = is_double || single_;
    usable_ = is_double && PyBuffer_IsContiguous(&view_, 'C');
}

bool init_conversions() {
    if (!buffer_slot_name) buffer_slot_name = PyUnicode_InternFromString("__buffer__");
    return buffer_slot_name != nullptr;
}

int complex_number(PyObject* object) {
    if (PyComplex_Check(object)) return 1;
    // numpy's complex scalars would convert through a __float__ that drops
    // the imaginary part; their buffer items tell what they are.
    const DoubleBuffer probe(object, 0);
    if (probe.failed()) return -1;
    return probe.complex() ? 1 : 0;
}

bool discard_ordinary_failure(PyObject* also) {
    if (!PyErr_Occurred()) {
        fail();
        return false;
    }
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError) &&
        !PyErr_ExceptionMatches(PyExc_ValueError) && !(also && PyErr_ExceptionMatches(also)))
        return false;
    PyErr_Clear();
    return true;
}

bool sequence_length(PyObject* sequence, Length& out) {
    out = {};
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
        out = {static_cast<std::size_t>(Py_SIZE(sequence)), true};
        return true;
    }
    const Py_ssize_t size = PySequence_Size(sequence);
    if (size >= 0) {
        out.items = static_cast<std::size_t>(size);
        return true;
    }
    return discard_ordinary_failure();
}

bool argument_error(const char* name) {
    PyRef original = PyRef::steal(PyErr_GetRaisedException());
    if (!original) {
        fail();
        return false;
    }
    if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(original.release());
        return false;
    }
    PyRef text = PyRef::steal(PyObject_Str(original.get()));
    PyRef message = text ? PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get())) : PyRef();
    PyRef replacement = message ? PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get())) : PyRef();
    if (!replacement) return false;  // the failure of building it is pending
    // Setting a cause also hides the context in a traceback, so only a cause
    // the original had is carried over.
    if (PyObject* cause = PyException_GetCause(original.get())) PyException_SetCause(replacement.get(), cause);
    PyException_SetContext(replacement.get(), original.release());
    PyErr_SetRaisedException(replacement.release());
    return false;
}

void set_cannot_convert(PyObject* object, const char* target) {
    PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!type_name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(), target);
}

bool check_sequence(PyObject* object) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) {
        set_cannot_convert(object, "Sequence");
        return false;
    }
    return true;
}

bool extract_text(PyObject* object, std::string_view& out) {
    if (!PyUnicode_Check(object)) {
        set_cannot_convert(object, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (!data) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool to_vector(PyObject* object, const char* name, std::vector<double>& out) {
    out.clear();
    ReserveBudget budget;
    return append_vector(object, out, budget) || argument_error(name);
}

bool to_vector_batch(PyObject* object, const char* name, VectorBatch& out) {
    out.values.clear();
    out.offsets.assign(1, 0);
    if (!check_sequence(object)) return argument_error(name);
    if (DoubleBuffer buffer(object, 2); buffer.failed()) {
        return false;
    } else if (buffer.readable()) {
        // Read in one pass: item by item, a float32 or strided matrix would
        // cost a Python object per row and per value.
        const std::size_t rows = buffer.extent(0), columns = buffer.extent(1);
        // Zero-length rows take no buffer memory, so only the offset table
        // bounds their number.
        if (rows >= out.offsets.max_size()) {
            raise_memory_error();
            return false;
        }
        out.offsets.resize(rows + 1);
        if (buffer.usable()) {
            out.values.assign(buffer.data(), buffer.data() + rows * columns);
        } else if (columns > 0) {
            out.values.resize(rows * columns);
            double* values = out.values.data();
            for (std::size_t i = 0; i < rows; ++i)
                for (std::size_t j = 0; j < columns; ++j) *values++ = buffer.at(i, j);
        }
        for (std::size_t i = 0; i <= rows; ++i) out.offsets[i] = i * columns;
        return true;
    }
    std::size_t known = 0;
    if (!known_values(object, known)) return false;
    out.values.reserve(known);
    ReserveBudget budget;
    Length length;
    const bool converted = for_each_item(object, length, [&](PyObject* item) {
        budget.make_room(out.offsets, length);
        if (!append_vector(item, out.values, budget)) return false;
        out.offsets.push_back(out.values.size());
        return true;
    });
    return converted || argument_error(name);
}

bool to_u64(PyObject* object, const char* name, std::uint64_t& out) {
    PyRef index;
    if (!PyLong_Check(object)) {
        index = PyRef::steal(PyNumber_Index(object));
        if (!index) return argument_error(name);
        object = index.get();
    }
    out = PyLong_AsUnsignedLongLong(object);
    if (out == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) return argument_error(name);
    return true;
}

bool to_text(PyObject* object, const char* name, std::string_view& out) {
    return extract_text(object, out) || argument_error(name);
}

}  // namespace ombrix::py
