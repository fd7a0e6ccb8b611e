#include "flat/py_flat.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binder.hpp"
#include "convert.hpp"
#include "flat/flat.hpp"
#include "index_object.hpp"

namespace ombrix::py {
namespace {

using FlatObject = IndexObject<Flat>;

constexpr Signature<2> kNew{"PyFlat.__new__()", {"dim", "metric"}};
constexpr Signature<1> kInsert{"PyFlat.insert()", {"vector"}};
constexpr Signature<2> kSearch{"PyFlat.search()", {"query", "k"}};
constexpr Signature<1> kCreate{"PyFlat.create()", {"vectors"}};

PyObject* flat_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        ConstructorArgs<2> bound;
        if (!bound.bind(kNew, args, kwargs)) return nullptr;
        std::uint64_t dim = 0;
        if (!to_u64(bound[0], "dim", dim)) return nullptr;
        std::optional<std::string_view> metric;
        if (bound[1] && !to_text(bound[1], "metric", metric.emplace())) return nullptr;
        return wrap_index(subtype, Flat(dim, flat_metric_from_name(metric)));
    });
}

PyObject* insert(FlatObject& self, const Args<1>& args) {
    std::vector<double> vector;
    if (!to_vector(args[0], "vector", vector)) return nullptr;
    if (vector.size() != self.index.dim()) return raise_length_error("vector", self.index.dim(), vector.size());
    if (auto error = self.index.insert(vector)) return raise_index_error("Insert error: ", *error);
    Py_RETURN_NONE;
}

// (id, value) tuples in ranking order.
PyObject* results_to_list(const std::vector<ScoredId>& results) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < results.size(); ++i) {
        PyRef id = PyRef::steal(PyLong_FromUnsignedLongLong(results[i].id));
        PyRef value = id ? PyRef::steal(PyFloat_FromDouble(results[i].distance)) : PyRef();
        PyObject* pair = value ? PyTuple_Pack(2, id.get(), value.get()) : nullptr;
        if (!pair) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
}

PyObject* search(FlatObject& self, const Args<2>& args) {
    std::vector<double> query;
    if (!to_vector(args[0], "query", query)) return nullptr;
    std::uint64_t k = 1;
    if (args[1] && !to_u64(args[1], "k", k)) return nullptr;
    if (query.size() != self.index.dim()) return raise_length_error("query", self.index.dim(), query.size());
    std::vector<ScoredId> results;
    if (auto error = self.index.search(query, k, results)) return raise_index_error("Search error: ", *error);
    return results_to_list(results);
}

// The internal-failure exception for a vector of `length` coordinates, built
// before the vectors ahead of it are stored: failing to build it afterwards
// would report MemoryError for a call that kept part of its work.
PyRef mismatch_error(std::size_t length, std::uint64_t dim) {
    return make_internal_error("Vector length " + std::to_string(length) + " does not match index dimension " +
                               std::to_string(dim));
}

// Nothing here runs Python code once the input is read, so that a call
// stores one state of it: a signal handler (or another thread it lets run)
// that writes to the array cannot hand it a mix of two. Storing runs at
// memory speed, and the handlers run as soon as the call returns.
PyObject* create(FlatObject& self, const Args<1>& args) {
    PyObject* vectors = args[0];
    const std::uint64_t dim = self.index.dim();
    std::size_t stored = 0;
    PyRef mismatch;
    std::optional<FlatError> error;
    // A C-contiguous float64 matrix is read in place; anything else is converted first.
    if (DoubleBuffer rows(vectors, 2); rows.failed()) {
        return nullptr;
    } else if (rows.usable() && PySequence_Check(vectors)) {
        if (rows.extent(1) != dim && rows.extent(0) > 0 && !(mismatch = mismatch_error(rows.extent(1), dim)))
            return nullptr;
        error = self.index.create(rows.data(), rows.extent(0), rows.extent(1), stored);
    } else {
        VectorBatch batch;
        if (!to_vector_batch(vectors, "vectors", batch)) return nullptr;
        std::size_t first_mismatch = 0;
        while (first_mismatch < batch.size() && batch[first_mismatch].size() == dim) ++first_mismatch;
        if (first_mismatch < batch.size() && !(mismatch = mismatch_error(batch[first_mismatch].size(), dim)))
            return nullptr;
        error = self.index.create(batch, stored);
    }
    if (!error) Py_RETURN_NONE;
    if (*error == FlatError::DimensionMismatch) return raise_prepared(std::move(mismatch));
    return raise_index_error("Create error: ", *error);
}

PyMethodDef methods[] = {
    {"insert", as_cfunction<method<FlatObject, kInsert, Access::Exclusive, insert>>(), METH_FASTCALL | METH_KEYWORDS,
     "insert($self, vector)\n--\n\nInsert a vector into the index.\n\n"
     "The vector is expected as a list of floats whose length equals the index dimension."},
    {"search", as_cfunction<method<FlatObject, kSearch, Access::Shared, search>>(), METH_FASTCALL | METH_KEYWORDS,
     "search($self, query, k=None)\n--\n\nSearch for the k nearest neighbors.\n\n"
     "Returns a list of tuples `(id, distance)`."},
    {"create", as_cfunction<method<FlatObject, kCreate, Access::Exclusive, create>>(), METH_FASTCALL | METH_KEYWORDS,
     "create($self, vectors)\n--\n\nCreate an index from a list of vectors."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(flat_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_index<Flat>)},
    {Py_tp_doc, const_cast<char*>("PyFlat(dim, metric=None)\n--\n\nOur Python-facing Flat index.")},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.PyFlat", sizeof(FlatObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyObject* flat_type() {
    static std::atomic<PyObject*> cache{nullptr};
    return type_once(cache, spec);
}

}  // namespace ombrix::py
