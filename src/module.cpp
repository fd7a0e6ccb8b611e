// Module entry: creates the module once per process, in one interpreter, and
// registers the two index classes.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "convert.hpp"
#include "errors.hpp"
#include "flat/py_flat.hpp"
#include "hnsw/py_hnsw.hpp"
#include "pyref.hpp"

namespace ombrix::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "ombrix", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that first imported the module; -1 until then.
std::atomic<std::int64_t> owner_interpreter{-1};
// Written once by the first initialisation that completes; never freed.
std::atomic<PyObject*> cached_module{nullptr};

// Appends `name` to __all__ (creating the list if missing), then binds the type.
bool register_class(PyObject* module, const char* name, PyObject* (*get_type)()) {
    PyObject* type = get_type();
    if (!type) return false;
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    } else if (!PyList_Check(all.get())) {
        PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(all.get())));
        if (type_name) PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyList'", type_name.get());
        return false;
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    return PyModule_AddObjectRef(module, name, type) == 0;
}

PyObject* init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return fail();
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "ombrix was already imported by another interpreter in this process; its extension "
                        "modules do not yet support subinterpreters (tracking issue: ombrix#1)");
        return nullptr;
    }
    if (PyObject* module = cached_module.load(std::memory_order_acquire)) return Py_NewRef(module);

    if (!init_conversions()) return fail();
    PyRef module = PyRef::steal(PyModule_Create2(&module_def, 1013));
    if (!module) return fail();
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) return fail();
#endif
    if (!register_class(module.get(), "PyFlat", flat_type)) return fail();
    if (!register_class(module.get(), "PyHNSW", hnsw_type)) return fail();

    PyObject* first = nullptr;
    if (!cached_module.compare_exchange_strong(first, module.get())) return Py_NewRef(first);
    return Py_NewRef(module.release());
}

}  // namespace
}  // namespace ombrix::py

PyMODINIT_FUNC PyInit_ombrix(void) {
    return ombrix::py::guarded([] { return ombrix::py::init_module(); });
}
