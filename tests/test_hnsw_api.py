"""PyHNSW's constructor, insert, create and search as seen from Python:
messages, the order of checks, and what a refused call leaves behind."""

import pytest

import ombrix
from conftest import FloatHook, IndexHook, assert_same, cosine, dot, euclidean, raises_exact

A, B, C = [0.0, 0.0], [3.0, 4.0], [6.0, 8.0]
RED = [("color", "red")]
NO_SCHEMA_METADATA = "No schema provided in HNSW instance; cannot use metadata"
NO_SCHEMA_FILTER = "No schema provided in HNSW instance; cannot use metadata filtering"


def small(schema=None, **params):
    """A dim-2 index in which every node is reachable: one layer, and wide
    enough lists that each insert links to all earlier nodes."""
    params = {"layers": 1, "ef_construction": 64, "ef_search": 64, "metric": "euclidean", **params}
    return ombrix.PyHNSW(2, schema=schema, **params)


def contents(index, query=(0.0, 0.0)):
    """Every stored vector reachable by an unfiltered search, nearest first."""
    return [vector for _, vector in index.search(list(query), k=10**6)]


def with_one_node(schema):
    index = small(schema)
    index.insert(C, RED if schema is not None else None)
    return index


# -- binding: the full names and parameter lists of the four callables -------

BINDING_ERRORS = [
    (
        "new",
        (4, 1, 2, 3, 4, "euclidean", None, 8),
        {},
        "PyHNSW.__new__() takes from 1 to 7 positional arguments but 8 were given",
    ),
    ("new", (), {"layers": 5}, "PyHNSW.__new__() missing 1 required positional argument: 'dim'"),
    ("new", (4, 5), {"layers": 5}, "PyHNSW.__new__() got multiple values for argument 'layers'"),
    ("new", (4,), {"metrics": "euclidean"}, "PyHNSW.__new__() got an unexpected keyword argument 'metrics'"),
    ("insert", (A, RED, 1), {}, "PyHNSW.insert() takes from 1 to 2 positional arguments but 3 were given"),
    ("insert", (), {"metadata": RED}, "PyHNSW.insert() missing 1 required positional argument: 'vector'"),
    ("create", ([A],), {"vectors": [A]}, "PyHNSW.create() got multiple values for argument 'vectors'"),
    ("create", ([A],), {"meta": None}, "PyHNSW.create() got an unexpected keyword argument 'meta'"),
    ("search", (A, 1, None, 4), {}, "PyHNSW.search() takes from 1 to 3 positional arguments but 4 were given"),
    ("search", (), {"k": 1, "filter": None}, "PyHNSW.search() missing 1 required positional argument: 'query'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(name, args, kwargs, message):
    index = with_one_node(["color"])
    call = ombrix.PyHNSW if name == "new" else getattr(index, name)
    with raises_exact(TypeError, message):
        call(*args, **kwargs)
    assert contents(index) == [C]


def test_every_parameter_by_keyword():
    index = ombrix.PyHNSW(dim=2, layers=1, m=4, ef_construction=8, ef_search=8, metric="euclidean", schema=["color"])
    index.insert(metadata=RED, vector=A)
    index.create(metadata=[RED], vectors=[B])
    assert index.search(filter=("color", "red"), k=5, query=A) == [(0.0, A), (5.0, B)]


# -- constructor ---------------------------------------------------------------

CONSTRUCTOR_ERRORS = [
    ((), {}, TypeError, "PyHNSW.__new__() missing 1 required positional argument: 'dim'"),
    ((4,), {}, ValueError, "Unsupported metric"),
    ((4,), {"metric": None}, ValueError, "Unsupported metric"),
    ((4,), {"metric": "Euclidean"}, ValueError, "Unsupported metric"),
    ((4,), {"metric": "cosine"}, ValueError, "Unsupported metric"),
    ((4,), {"metric": "euclidean\0"}, ValueError, "Unsupported metric"),
    ((4,), {"metric": 5}, TypeError, "argument 'metric': 'int' object cannot be converted to 'PyString'"),
    ((-1,), {"metric": "euclidean"}, OverflowError, "can't convert negative int to unsigned"),
    ((4.0,), {"metric": "euclidean"}, TypeError, "argument 'dim': 'float' object cannot be interpreted as an integer"),
    ((4,), {"layers": 2**64, "metric": "euclidean"}, OverflowError, "int too big to convert"),
    (
        (4,),
        {"ef_construction": "9", "metric": "euclidean"},
        TypeError,
        "argument 'ef_construction': 'str' object cannot be interpreted as an integer",
    ),
    (
        (4,),
        {"ef_search": 1.5, "metric": "euclidean"},
        TypeError,
        "argument 'ef_search': 'float' object cannot be interpreted as an integer",
    ),
    ((4,), {"metric": "euclidean", "schema": "color"}, TypeError, "argument 'schema': Can't extract `str` to `Vec`"),
    (
        (4,),
        {"metric": "euclidean", "schema": 5},
        TypeError,
        "argument 'schema': 'int' object cannot be converted to 'Sequence'",
    ),
    (
        (4,),
        {"metric": "euclidean", "schema": {"a": 1}},
        TypeError,
        "argument 'schema': 'dict' object cannot be converted to 'Sequence'",
    ),
    (
        (4,),
        {"metric": "euclidean", "schema": ["a", 1]},
        TypeError,
        "argument 'schema': 'int' object cannot be converted to 'PyString'",
    ),
    # The first failure in parameter order wins, and the metric name is
    # examined only after every conversion.
    (
        (4.0,),
        {"layers": -1, "metric": 5},
        TypeError,
        "argument 'dim': 'float' object cannot be interpreted as an integer",
    ),
    ((4,), {"layers": -1, "metric": 5}, OverflowError, "can't convert negative int to unsigned"),
    (
        (4,),
        {"metric": 5, "schema": "color"},
        TypeError,
        "argument 'metric': 'int' object cannot be converted to 'PyString'",
    ),
    ((4,), {"metric": "bogus", "schema": "color"}, TypeError, "argument 'schema': Can't extract `str` to `Vec`"),
    # A weight table too big for memory, or for a signed 64-bit byte count.
    ((4,), {"layers": 2**63, "metric": "euclidean"}, MemoryError, ""),
    ((4,), {"layers": 2**64 - 1, "metric": "euclidean"}, MemoryError, ""),
]


@pytest.mark.parametrize("args, kwargs, exc, message", CONSTRUCTOR_ERRORS)
def test_constructor_errors(args, kwargs, exc, message):
    with raises_exact(exc, message):
        ombrix.PyHNSW(*args, **kwargs)


@pytest.mark.timeout(10)
def test_constructor_schema_item_without_utf8():
    with pytest.raises(UnicodeEncodeError):
        ombrix.PyHNSW(4, metric="euclidean", schema=["ok", "\ud800"])


@pytest.mark.timeout(10)
@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((4,), {"metric": "euclidean"}),
        ((4, None, None, None, None, "angular", ["color"]), {}),
        ((4,), {"metric": "inner_product", "schema": ("a", "b")}),
        ((4,), {"metric": "euclidean", "schema": []}),
        ((4,), {"layers": 0, "m": 0, "ef_construction": 0, "ef_search": 0, "metric": "euclidean"}),
        ((0,), {"metric": "euclidean"}),
        ((IndexHook(4, lambda: None),), {"layers": True, "metric": "euclidean"}),
    ],
)
def test_constructor_accepts(args, kwargs):
    assert type(ombrix.PyHNSW(*args, **kwargs)) is ombrix.PyHNSW


def test_default_ef_search_limits_results():
    index = ombrix.PyHNSW(1, layers=1, ef_construction=80, metric="euclidean")
    index.create([[float(i)] for i in range(60)])
    assert len(index.search([0.0], k=100)) == 50


@pytest.mark.timeout(10)
def test_constructor_survives_keyword_dict_mutation():
    # dim's __index__ empties the keyword dictionary that holds the schema.
    kwargs = {}

    def hook():
        kwargs.clear()

    kwargs.update(dim=IndexHook(2, hook), metric="euclidean" + "", schema=["color" + ""])
    index = ombrix.PyHNSW(**kwargs)
    index.insert(A, RED)


# -- insert ----------------------------------------------------------------------

INSERT_ERRORS = [
    # (schema, args, exception, message)
    (None, ("12",), TypeError, "argument 'vector': Can't extract `str` to `Vec`"),
    (None, (5,), TypeError, "argument 'vector': 'int' object cannot be converted to 'Sequence'"),
    (None, ([1.0, "x"],), TypeError, "argument 'vector': must be real number, not str"),
    (None, (A, "color"), TypeError, "argument 'metadata': Can't extract `str` to `Vec`"),
    (None, (A, {"color": "red"}), TypeError, "argument 'metadata': 'dict' object cannot be converted to 'Sequence'"),
    (
        None,
        (A, (p for p in RED)),
        TypeError,
        "argument 'metadata': 'generator' object cannot be converted to 'Sequence'",
    ),
    (None, (A, [["color", "red"]]), TypeError, "argument 'metadata': 'list' object cannot be converted to 'PyTuple'"),
    (None, (A, [("color", "red", 1)]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (None, (A, [(1, "red")]), TypeError, "argument 'metadata': 'int' object cannot be converted to 'PyString'"),
    (None, (A, RED), ValueError, NO_SCHEMA_METADATA),
    (None, (A, []), ValueError, NO_SCHEMA_METADATA),
    (None, ([1.0, 2.0, 3.0],), ValueError, "Expected vector of length 2, got 3"),
    (["color"], (A, []), ValueError, "Missing metadata for attribute 'color'"),
    (["color"], (A, [("color", None)]), ValueError, "Unsupported metadata type for attribute 'color'"),
    (["color"], ([1.0], RED), ValueError, "Expected vector of length 2, got 1"),
    # The first failure in the order of the checks wins.
    (None, ("12", "color"), TypeError, "argument 'vector': Can't extract `str` to `Vec`"),
    (None, ([1.0], [(1, "red")]), TypeError, "argument 'metadata': 'int' object cannot be converted to 'PyString'"),
    (None, ([1.0], RED), ValueError, NO_SCHEMA_METADATA),
    (["color"], ([1.0], []), ValueError, "Missing metadata for attribute 'color'"),
    (
        ["color"],
        (A, [("color", "red"), ("size", 1, 2)]),
        ValueError,
        "expected tuple of length 2, but got tuple of length 3",
    ),
]


@pytest.mark.parametrize("schema, args, exc, message", INSERT_ERRORS)
def test_insert_errors_leave_index_unchanged(schema, args, exc, message):
    index = with_one_node(schema)
    with raises_exact(exc, message):
        index.insert(*args)
    assert contents(index) == [C]
    index.insert(A)  # the object is free again
    assert contents(index) == [A, C]


@pytest.mark.timeout(10)
def test_insert_accepts_sequences_of_numbers():
    index = small()
    index.insert((1, 2))
    index.insert(vector=[True, 2.5], metadata=None)
    index.insert(range(2))
    index.insert([FloatHook(7.0, lambda: None), IndexHook(8, lambda: None)])
    assert sorted(contents(index)) == [[0.0, 1.0], [1.0, 2.0], [1.0, 2.5], [7.0, 8.0]]
    assert all(type(x) is float for v in contents(index) for x in v)


def test_insert_without_metadata_into_schema_index():
    index = small(["color"])
    index.insert(A)
    index.insert(B, None)
    assert contents(index) == [A, B]


def test_insert_keeps_node_after_core_error():
    index = small(ef_construction=0)
    index.insert(A)
    with raises_exact(ValueError, "Insert error: InvalidEF"):
        index.insert(B)
    # The second node is stored but unlinked; node 0 is still found.
    assert contents(index) == [A]


def test_dim_zero():
    index = ombrix.PyHNSW(0, metric="euclidean")
    index.insert([])
    index.create([[], []])
    with raises_exact(ValueError, "Expected vector of length 0, got 1"):
        index.insert([1.0])
    assert index.search([], k=5) == [(0.0, [])] * 3


# -- create ----------------------------------------------------------------------

CREATE_ERRORS = [
    # (schema, args, exception, message)
    (None, ([],), ValueError, "Create error: EmptyVectors"),
    (["color"], ([],), ValueError, "Create error: EmptyVectors"),
    (["color"], ([], []), ValueError, "Create error: EmptyVectors"),
    (None, ([], []), ValueError, NO_SCHEMA_METADATA),
    (None, ("ab",), TypeError, "argument 'vectors': Can't extract `str` to `Vec`"),
    (None, (5,), TypeError, "argument 'vectors': 'int' object cannot be converted to 'Sequence'"),
    (None, ([A, "ab"],), TypeError, "argument 'vectors': Can't extract `str` to `Vec`"),
    (None, ([A, 5],), TypeError, "argument 'vectors': 'int' object cannot be converted to 'Sequence'"),
    (None, ([A], "x"), TypeError, "argument 'metadata': Can't extract `str` to `Vec`"),
    (None, ([A], ["x"]), TypeError, "argument 'metadata': Can't extract `str` to `Vec`"),
    (None, ([A], [5]), TypeError, "argument 'metadata': 'int' object cannot be converted to 'Sequence'"),
    (
        None,
        ([A], [[["color", "red"]]]),
        TypeError,
        "argument 'metadata': 'list' object cannot be converted to 'PyTuple'",
    ),
    (None, ([A, B], [RED]), ValueError, "Length of metadata list must match number of vectors"),
    (["color"], ([A, B], [RED]), ValueError, "Length of metadata list must match number of vectors"),
    (None, ([A], [[("color", "red", 1)]]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (None, ([A], [RED]), ValueError, NO_SCHEMA_METADATA),
    (["color"], ([A, B], [RED, []]), ValueError, "Missing metadata for attribute 'color'"),
    (["color"], ([A, B], [RED, [("color", [])]]), ValueError, "Unsupported metadata type for attribute 'color'"),
    (None, ([A, [1.0, 2.0, 3.0]],), ValueError, "Expected vector of length 2, got 3"),
    (["color"], ([A, [1.0]], [RED, RED]), ValueError, "Expected vector of length 2, got 1"),
    (["color"], ([[1.0], B], [RED, []]), ValueError, "Missing metadata for attribute 'color'"),
    (["color"], ([A, [1.0]], [RED]), ValueError, "Length of metadata list must match number of vectors"),
    (None, ([[1.0], [1.0, 2.0, 3.0]], [RED]), ValueError, "Length of metadata list must match number of vectors"),
]


@pytest.mark.parametrize("schema, args, exc, message", CREATE_ERRORS)
def test_create_errors_leave_index_unchanged(schema, args, exc, message):
    index = with_one_node(schema)
    with raises_exact(exc, message):
        index.create(*args)
    assert contents(index) == [C]
    index.create([A])
    assert contents(index) == [A, C]


def test_create_adds_to_what_is_stored():
    index = small(["color"])
    index.create([A, B])
    index.create([C], [[("color", "blue")]])
    index.create(vectors=((1, 1),), metadata=None)
    assert contents(index) == [A, [1.0, 1.0], B, C]


def test_create_ignores_schema_without_metadata():
    index = small(["color"])
    index.create([A, B])
    assert contents(index) == [A, B]
    assert index.search(A, k=5, filter=("color", "red")) == []


def test_create_keeps_what_it_stored_before_a_core_error():
    index = small(ef_construction=0)
    with raises_exact(ValueError, "Create error: InvalidEF"):
        index.create([A, B])
    assert contents(index) == [A]
    index = small(["color"], ef_construction=0)
    with raises_exact(ValueError, "Create error: InvalidEF"):
        index.create([A, B], [RED, RED])
    assert index.search(B, k=5, filter=("color", "red")) == [(5.0, A)]


# -- search ----------------------------------------------------------------------


def filled(schema=("color",)):
    index = small(list(schema) if schema is not None else None)
    rows = [RED, [("color", "blue")], RED] if schema else None
    index.create([A, B, C], rows)
    return index


SEARCH_ERRORS = [
    # (schema, args, kwargs, exception, message)
    (None, ("ab",), {}, TypeError, "argument 'query': Can't extract `str` to `Vec`"),
    (None, (None,), {}, TypeError, "argument 'query': 'NoneType' object cannot be converted to 'Sequence'"),
    (None, ([0.0, "x"],), {}, TypeError, "argument 'query': must be real number, not str"),
    (None, (A, 2.0), {}, TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
    (None, (A, -1), {}, OverflowError, "can't convert negative int to unsigned"),
    (None, (A, 2**64), {}, OverflowError, "int too big to convert"),
    (
        None,
        (A,),
        {"filter": ["color", "red"]},
        TypeError,
        "argument 'filter': 'list' object cannot be converted to 'PyTuple'",
    ),
    (None, (A,), {"filter": ("color",)}, ValueError, "expected tuple of length 2, but got tuple of length 1"),
    (
        None,
        (A,),
        {"filter": (1, "red")},
        TypeError,
        "argument 'filter': 'int' object cannot be converted to 'PyString'",
    ),
    (None, (A,), {"filter": ("color", "red")}, ValueError, NO_SCHEMA_FILTER),
    (None, (A,), {"filter": ("color", None)}, ValueError, NO_SCHEMA_FILTER),
    ((), (A,), {"filter": ("color", "red")}, ValueError, "Search error: EmptySchema"),
    (("color",), (A,), {"filter": ("size", 1)}, ValueError, "Search error: AttributeNotFound"),
    (("color",), (A,), {"filter": ("Color", "red")}, ValueError, "Search error: AttributeNotFound"),
    (("color",), (A,), {"filter": ("color", None)}, ValueError, "Unsupported type for metadata filter"),
    # The first failure in the order of the checks wins.
    (None, ("ab", 2.0, 5), {}, TypeError, "argument 'query': Can't extract `str` to `Vec`"),
    (None, (A, 2.0, 5), {}, TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
    (None, (A, 1, ("color",)), {}, ValueError, "expected tuple of length 2, but got tuple of length 1"),
    (None, (A, 1, ("color", b"x")), {}, ValueError, NO_SCHEMA_FILTER),
    ((), (A, 1, ("color", b"x")), {}, ValueError, "Unsupported type for metadata filter"),
]


@pytest.mark.parametrize("schema, args, kwargs, exc, message", SEARCH_ERRORS)
def test_search_errors(schema, args, kwargs, exc, message):
    index = filled(schema)
    with raises_exact(exc, message):
        index.search(*args, **kwargs)
    assert contents(index) == [A, B, C]


def test_search_filter_name_without_utf8():
    with pytest.raises(UnicodeEncodeError):
        filled().search(A, filter=("\ud800", "red"))


@pytest.mark.parametrize(
    "params, variant",
    [
        ({"ef_search": 0}, "InvalidEF"),
        ({"layers": 0}, "InvalidLayer"),
        ({"layers": 0, "ef_search": 0}, "InvalidLayer"),
    ],
)
def test_search_core_errors(params, variant):
    index = small(**params)
    assert index.search(A) == []  # an empty index answers before any check
    index.insert(A)
    with raises_exact(ValueError, f"Search error: {variant}"):
        index.search(A)


@pytest.mark.parametrize(
    "schema, flt, expected",
    [
        (None, None, []),
        (["color"], ("size", 1), []),
        ([], ("color", "red"), []),
    ],
)
def test_search_of_empty_index(schema, flt, expected):
    index = small(schema)
    for k in (None, 0, 1, 10**9):
        assert index.search(B, k, flt) == expected


def test_search_of_empty_index_without_schema_refuses_filter():
    with raises_exact(ValueError, NO_SCHEMA_FILTER):
        small().search(B, filter=("color", "red"))


def test_worked_example_unfiltered():
    index = small()
    index.insert([0.0, 0.0])
    index.insert([3.0, 4.0])
    assert_same(index.search([0.0, 0.0], k=2), [(0.0, [0.0, 0.0]), (5.0, [3.0, 4.0])])
    assert_same(index.search([0.0, 0.0]), [(0.0, [0.0, 0.0])])
    assert_same(index.search([3.0, 4.0], 5), [(0.0, [3.0, 4.0]), (5.0, [0.0, 0.0])])


def test_worked_example_filtered():
    index = ombrix.PyHNSW(2, layers=1, metric="euclidean", schema=["color"])
    index.insert([0.0, 0.0], [("color", "red")])
    index.insert([3.0, 4.0], [("color", "blue")])
    # Node 0 seeds the walk but is returned only when it passes.
    assert_same(index.search([3.0, 4.0], k=2, filter=("color", "blue")), [(0.0, [3.0, 4.0])])
    assert_same(index.search([3.0, 4.0], k=2, filter=("color", "red")), [(5.0, [0.0, 0.0])])
    assert index.search([3.0, 4.0], k=2, filter=("color", "green")) == []
    with raises_exact(ValueError, "Search error: AttributeNotFound"):
        index.search([3.0, 4.0], k=2, filter=("size", 1))


def test_one_node_index():
    index = small(["color"])
    index.insert(B, RED)
    for k in (1, 2, 10**9, True):
        assert_same(index.search(A, k), [(5.0, B)])
    assert index.search(A, 0) == []
    assert index.search(A, 5, ("color", "red")) == [(5.0, B)]
    assert index.search(A, 5, ("color", "blue")) == []


def test_k_limits():
    index = small(ef_search=3)
    index.create([[float(i), 0.0] for i in range(6)])
    assert [len(index.search(A, k)) for k in (None, 0, True, 2, 100)] == [1, 0, 1, 2, 3]


def test_results_are_fresh_objects():
    index = filled(None)
    first = index.search(A, k=3)
    second = index.search(A, k=3)
    assert first == second
    assert first[0][1] is not second[0][1]
    first[0][1][0] = 99.0
    assert index.search(A, k=3) == second


def test_query_of_another_length_is_accepted():
    index = filled(None)
    # Euclidean distance over the common prefix.
    assert [d for d, _ in index.search([3.0], k=3)] == [0.0, 3.0, 3.0]
    assert index.search([3.0, 4.0, 100.0], k=1) == [(0.0, B)]


def test_duplicate_vectors_are_both_kept():
    index = small()
    index.create([B, B, A])
    assert index.search(B, k=3) == [(0.0, B), (0.0, B), (5.0, A)]


@pytest.mark.parametrize(
    "metric, reference, order",
    [
        # The smallest raw value ranks first under every metric; these three
        # vectors come out in a different order under each.
        ("euclidean", euclidean, [2, 0, 1]),
        ("angular", cosine, [0, 1, 2]),
        ("inner_product", dot, [1, 0, 2]),
    ],
)
def test_metric_names_and_order(metric, reference, order):
    vectors = [[-0.1, 0.0], [-3.0, 3.0], [2.0, 0.0]]
    index = small(metric=metric)
    index.create(vectors)
    query = [1.0, 0.0]
    expected = [(reference(query, vectors[i]), vectors[i]) for i in order]
    assert_same(index.search(query, k=3), expected)


# -- re-entrant calls through conversions ----------------------------------------


def refused_call(call, seen):
    """A hook that runs `call` and records the RuntimeError it must raise."""

    def hook():
        try:
            call()
        except RuntimeError as error:
            seen.append(str(error))
            raise
        seen.append("no error")

    return hook


@pytest.mark.timeout(10)
@pytest.mark.parametrize("outer", ["insert", "create"])
def test_search_during_insert_is_refused(outer):
    index = filled(None)
    seen = []
    item = FloatHook(1.0, refused_call(lambda: index.search(A), seen))
    with raises_exact(RuntimeError, "Already mutably borrowed"):
        if outer == "insert":
            index.insert([item, 1.0])
        else:
            index.create([[1.0, 1.0], [item, 1.0]])
    assert seen == ["Already mutably borrowed"]
    assert contents(index) == [A, B, C]
    index.insert([1.0, 1.0])


@pytest.mark.timeout(10)
@pytest.mark.parametrize("inner", ["insert", "create"])
@pytest.mark.parametrize("where", ["query", "k"])
def test_insert_during_search_is_refused(inner, where):
    index = filled()
    seen = []
    mutate = (lambda: index.insert(A)) if inner == "insert" else (lambda: index.create([A]))
    hook = refused_call(mutate, seen)
    query = [FloatHook(0.0, hook), 0.0] if where == "query" else A
    k = IndexHook(3, hook) if where == "k" else 3
    with raises_exact(RuntimeError, "Already borrowed"):
        index.search(query, k, ("color", "red"))
    assert seen == ["Already borrowed"]
    assert contents(index) == [A, B, C]


class RecordingValue:
    """A metadata value whose __index__ calls back into the index; the
    refusal it meets is recorded, then raised."""

    def __init__(self, call, real):
        self.call = call
        self.real = real
        self.seen = []

    def __index__(self):
        try:
            self.call()
        except RuntimeError as error:
            self.seen.append(str(error))
            raise
        raise AssertionError("the call was not refused")

    def __float__(self):
        return self.real


@pytest.mark.timeout(10)
def test_refusal_inside_metadata_value_stops_the_call():
    # A RuntimeError is no ordinary failure of the integer attempt: it ends
    # the call, which stores nothing, instead of falling back to __float__.
    index = small(["size"])
    index.insert(A, [("size", 1)])
    value = RecordingValue(lambda: index.search(A), 2.5)
    with raises_exact(RuntimeError, "Already mutably borrowed"):
        index.insert(B, [("size", value)])
    assert value.seen == ["Already mutably borrowed"]
    value = RecordingValue(lambda: index.insert(B), 2.5)
    with raises_exact(RuntimeError, "Already borrowed"):
        index.search(A, filter=("size", value))
    assert value.seen == ["Already borrowed"]
    assert contents(index) == [A]
