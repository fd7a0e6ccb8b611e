// Argument binding: positional and keyword arguments matched to a signature's
// parameters, with the binding messages every method shares.
#include "binder.hpp"

#include <string>

namespace ombrix::py {
namespace {

std::ptrdiff_t find_param(SignatureView sig, PyObject* name) {
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, sig.params[i]) == 0)
            return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
}

bool too_many_positional(SignatureView sig, Py_ssize_t given) {
    const std::size_t total = sig.params.size();
    if (sig.required == total)
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd were given", sig.full_name, total,
                     given);
    else
        PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd were given", sig.full_name,
                     sig.required, total, given);
    return false;
}

bool bind_keyword(SignatureView sig, PyObject* name, PyObject* value, PyObject** out) {
    const std::ptrdiff_t index = find_param(sig, name);
    if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.full_name, name);
        return false;
    }
    if (out[index]) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", sig.full_name, name);
        return false;
    }
    out[index] = value;
    return true;
}

// Reports missing required parameters, naming them 'a', 'a' and 'b', or
// 'a', 'b', and 'c'.
bool check_required(SignatureView sig, PyObject** out) {
    std::string names;
    std::size_t missing = 0;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (!out[i]) ++missing;
    if (missing == 0) {
        for (std::size_t i = sig.required; i < sig.params.size(); ++i)
            if (out[i] == Py_None) out[i] = nullptr;
        return true;
    }
    std::size_t listed = 0;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (out[i]) continue;
        ++listed;
        if (listed > 1) names += missing > 2 ? (listed == missing ? ", and " : ", ") : " and ";
        names += '\'';
        names += sig.params[i];
        names += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", sig.full_name, missing,
                 missing > 1 ? "s" : "", names.c_str());
    return false;
}

}  // namespace

bool bind_fastcall(SignatureView sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (static_cast<std::size_t>(nargs) > sig.params.size()) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i)
        if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) return false;
    return check_required(sig, out);
}

bool bind_call(SignatureView sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(nargs) > sig.params.size()) return too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject* name;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &name, &value))
            if (!bind_keyword(sig, name, value, out)) return false;
    }
    return check_required(sig, out);
}

}  // namespace ombrix::py
