// PyHNSW: the Python type over the graph index, its argument conversion and
// its methods (insert, create, search) with their error mapping.
#include "hnsw/py_hnsw.hpp"

#include <atomic>
#include <optional>
#include <string_view>
#include <vector>

#include "binder.hpp"
#include "convert.hpp"
#include "filter/py_filter.hpp"
#include "hnsw/hnsw.hpp"
#include "index_object.hpp"
#include "metadata/py_metadata.hpp"
#include "signals.hpp"
#include "thread_state.hpp"

namespace ombrix::py {
namespace {

using HNSWObject = IndexObject<HNSW>;

// The graph's search buffers and level generator, created up front on every
// thread that calls into the module.
const ThreadPreparation graph_thread_state(prepare_index_thread_state);

constexpr Signature<7> kNew{"PyHNSW.__new__()",
                            {"dim", "layers", "m", "ef_construction", "ef_search", "metric", "schema"}};
constexpr Signature<2> kInsert{"PyHNSW.insert()", {"vector", "metadata"}};
constexpr Signature<3> kSearch{"PyHNSW.search()", {"query", "k", "filter"}};
constexpr Signature<2> kCreate{"PyHNSW.create()", {"vectors", "metadata"}};

constexpr const char* kNoSchema = "No schema provided in HNSW instance; cannot use metadata";

PyObject* hnsw_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        ConstructorArgs<7> bound;
        if (!bound.bind(kNew, args, kwargs)) return nullptr;

        HNSWParams params{0, 5, 16, 200, 50, Metric::Euclidean, std::nullopt};
        if (!to_u64(bound[0], "dim", params.dim)) return nullptr;
        if (bound[1] && !to_u64(bound[1], "layers", params.layers)) return nullptr;
        if (bound[2] && !to_u64(bound[2], "m", params.m)) return nullptr;
        if (bound[3] && !to_u64(bound[3], "ef_construction", params.ef_construction)) return nullptr;
        if (bound[4] && !to_u64(bound[4], "ef_search", params.ef_search)) return nullptr;
        std::optional<std::string_view> metric_name;
        if (bound[5] && !to_text(bound[5], "metric", metric_name.emplace())) return nullptr;
        if (!to_schema(bound[6], "schema", params.schema)) return nullptr;

        const std::optional<Metric> metric = metric_name ? hnsw_metric_from_name(*metric_name) : std::nullopt;
        if (!metric) return raise_value_error("Unsupported metric");
        params.metric = *metric;
        std::optional<HNSW> index = HNSW::make(std::move(params));
        if (!index) return raise_memory_error();
        return wrap_index(subtype, std::move(*index));
    });
}

PyObject* insert(HNSWObject& self, const Args<2>& args) {
    std::vector<double> vector;
    if (!to_vector(args[0], "vector", vector)) return nullptr;
    std::optional<PairList> pairs;
    if (args[1] && !to_pair_list(args[1], "metadata", pairs.emplace())) return nullptr;
    std::optional<MetadataRow> row;
    if (pairs) {
        const std::optional<Schema>& schema = self.index.schema();
        if (!schema) return raise_value_error(kNoSchema);
        if (!metadata_row_from_pairs(*pairs, *schema, row.emplace())) return nullptr;
    }
    const std::uint64_t dim = self.index.dim();
    if (vector.size() != dim) return raise_length_error("vector", dim, vector.size());
    if (auto error = self.index.insert(vector, row ? &*row : nullptr, thread_random()))
        return raise_index_error("Insert error: ", *error);
    Py_RETURN_NONE;
}

PyObject* create(HNSWObject& self, const Args<2>& args) {
    VectorBatch vectors;
    if (!to_vector_batch(args[0], "vectors", vectors)) return nullptr;
    std::optional<std::vector<PairList>> lists;
    if (args[1] && !to_pair_lists(args[1], "metadata", lists.emplace())) return nullptr;
    RandomSource& rng = thread_random();

    std::vector<MetadataRow> rows;
    if (lists) {
        if (lists->size() != vectors.size())
            return raise_value_error("Length of metadata list must match number of vectors");
        const std::optional<Schema>& schema = self.index.schema();
        if (!schema) return raise_value_error(kNoSchema);
        rows.resize(lists->size());
        for (std::size_t i = 0; i < rows.size(); ++i)
            if (!metadata_row_from_pairs((*lists)[i], *schema, rows[i])) return nullptr;
        lists.reset();
    }
    // A pending signal stops a long build between two inserts; like a failing
    // insert, it keeps what was stored.
    SignalPoll signals;
    const StopCheck stop = signals.stop_check();
    std::size_t position = 0;
    const std::optional<HNSWError> error = self.index.create(vectors, rows, rng, position, stop);
    if (!error) Py_RETURN_NONE;
    if (*error == HNSWError::Interrupted) return fail();
    if (*error == HNSWError::DimensionMismatch)
        return raise_length_error("vector", self.index.dim(), vectors[position].size());
    return raise_index_error("Create error: ", *error);
}

// (distance, copy of the stored vector) tuples in result order. About a
// thousand floats per search: each object is put in place as soon as it
// exists, so that a failure needs no clean-up beyond dropping the list (lists
// and tuples start out empty). The cost that remains is the interpreter's
// own allocation of each float.
PyObject* results_to_list(const HNSW& index, const std::vector<ScoredId>& results) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < results.size(); ++i) {
        PyObject* const pair = PyTuple_New(2);
        if (!pair) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
        PyObject* const distance = PyFloat_FromDouble(results[i].distance);
        if (!distance) return nullptr;
        PyTuple_SET_ITEM(pair, 0, distance);
        const std::span<const double> stored = index.vector(results[i].id);
        PyObject* const vector = PyList_New(static_cast<Py_ssize_t>(stored.size()));
        if (!vector) return nullptr;
        PyTuple_SET_ITEM(pair, 1, vector);
        for (std::size_t j = 0; j < stored.size(); ++j) {
            PyObject* const coordinate = PyFloat_FromDouble(stored[j]);
            if (!coordinate) return nullptr;
            PyList_SET_ITEM(vector, static_cast<Py_ssize_t>(j), coordinate);
        }
    }
    return list.release();
}

PyObject* search(HNSWObject& self, const Args<3>& args) {
    std::vector<double> query;
    if (!to_vector(args[0], "query", query)) return nullptr;
    std::uint64_t k = 1;
    if (args[1] && !to_u64(args[1], "k", k)) return nullptr;
    std::optional<NamedValue> filter_argument;
    if (args[2] && !to_filter_argument(args[2], "filter", filter_argument.emplace())) return nullptr;
    std::optional<Filter> filter;
    if (filter_argument && !build_filter(*filter_argument, self.index.schema().has_value(), filter.emplace()))
        return nullptr;
    std::vector<ScoredId> results;
    if (auto error = self.index.search(query, k, filter ? &*filter : nullptr, results))
        return raise_index_error("Search error: ", *error);
    return results_to_list(self.index, results);
}

PyMethodDef methods[] = {
    {"insert", as_cfunction<method<HNSWObject, kInsert, Access::Exclusive, insert>>(), METH_FASTCALL | METH_KEYWORDS,
     "insert($self, vector, metadata=None)\n--\n\nInsert a vector into the index.\n\n"
     "The vector is expected as a list of floats.\n"
     "Optionally, metadata can be provided as a list of tuples, e.g.:\n"
     "`[(\"color\", \"blue\"), (\"size\", 42)]`"},
    {"search", as_cfunction<method<HNSWObject, kSearch, Access::Shared, search>>(), METH_FASTCALL | METH_KEYWORDS,
     "search($self, query, k=None, filter=None)\n--\n\nSearch for the k nearest neighbors.\n\n"
     "Returns a list of tuples `(distance, vector)`."},
    {"create", as_cfunction<method<HNSWObject, kCreate, Access::Exclusive, create>>(), METH_FASTCALL | METH_KEYWORDS,
     "create($self, vectors, metadata=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(hnsw_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_index<HNSW>)},
    {Py_tp_doc, const_cast<char*>("PyHNSW(dim, layers=None, m=None, ef_construction=None, ef_search=None, "
                                  "metric=None, schema=None)\n--\n\n")},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.PyHNSW", sizeof(HNSWObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyObject* hnsw_type() {
    static std::atomic<PyObject*> cache{nullptr};
    return type_once(cache, spec);
}

}  // namespace ombrix::py
