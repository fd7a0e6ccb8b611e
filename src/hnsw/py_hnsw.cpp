// Placeholder until the graph index lands: the class exists with its
// documented signature and refuses construction.
#include "hnsw/py_hnsw.hpp"

#include <atomic>

#include "index_object.hpp"

namespace ombrix::py {
namespace {

PyObject* hnsw_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "PyHNSW is not available yet");
    return nullptr;
}

PyObject* not_available(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "PyHNSW is not available yet");
    return nullptr;
}

PyMethodDef methods[] = {
    {"insert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(not_available)),
     METH_FASTCALL | METH_KEYWORDS,
     "insert($self, vector, metadata=None)\n--\n\nInsert a vector into the index.\n\n"
     "The vector is expected as a list of floats.\n"
     "Optionally, metadata can be provided as a list of tuples, e.g.:\n"
     "`[(\"color\", \"blue\"), (\"size\", 42)]`"},
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(not_available)),
     METH_FASTCALL | METH_KEYWORDS,
     "search($self, query, k=None, filter=None)\n--\n\nSearch for the k nearest neighbors.\n\n"
     "Returns a list of tuples `(distance, vector)`."},
    {"create", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(not_available)),
     METH_FASTCALL | METH_KEYWORDS, "create($self, vectors, metadata=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

struct Placeholder {
    PyObject_HEAD
};

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(hnsw_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_doc, const_cast<char*>("PyHNSW(dim, layers=None, m=None, ef_construction=None, ef_search=None, "
                                  "metric=None, schema=None)\n--\n\n")},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.PyHNSW", sizeof(Placeholder), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyObject* hnsw_type() {
    static std::atomic<PyObject*> cache{nullptr};
    return type_once(cache, spec);
}

}  // namespace ombrix::py
