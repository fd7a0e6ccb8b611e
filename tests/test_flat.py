"""Exact search with PyFlat: checks, metrics, ranking and create."""

import math
import random

import pytest

import ombrix
from conftest import assert_same, brute_force, cosine, dot, euclidean, flat_metric, raises_exact

PyFlat = ombrix.PyFlat
nan, inf = math.nan, math.inf


def build(dim, vectors, metric=None):
    index = PyFlat(dim, metric)
    for v in vectors:
        index.insert(v)
    return index


def contents(index, dim):
    """Everything a search can see: all (id, distance) pairs from the origin."""
    try:
        return index.search([0.0] * dim, 2**64 - 1)
    except ValueError as e:
        return str(e)


# -- checks and their messages ----------------------------------------------------


def three_d():
    return build(3, [[1.0, 2.0, 3.0]])


VALUE_ERRORS = [
    ("search-empty", lambda: PyFlat(3), lambda ix: ix.search([0.0, 0.0, 0.0]), "Search error: EmptyIndex"),
    ("search-empty-k-0", lambda: PyFlat(3), lambda ix: ix.search([0.0, 0.0, 0.0], 0), "Search error: EmptyIndex"),
    (
        "search-length-before-empty",
        lambda: PyFlat(3),
        lambda ix: ix.search([0.0, 0.0]),
        "Expected query of length 3, got 2",
    ),
    ("search-long", three_d, lambda ix: ix.search([0.0] * 4), "Expected query of length 3, got 4"),
    ("search-no-coordinates", three_d, lambda ix: ix.search([]), "Expected query of length 3, got 0"),
    ("insert-short", three_d, lambda ix: ix.insert([1.0, 2.0]), "Expected vector of length 3, got 2"),
    ("insert-empty", three_d, lambda ix: ix.insert(()), "Expected vector of length 3, got 0"),
    ("create-empty", three_d, lambda ix: ix.create([]), "Create error: EmptyVectors"),
    ("create-empty-tuple", lambda: PyFlat(3), lambda ix: ix.create(()), "Create error: EmptyVectors"),
    ("dim-0-search", lambda: build(0, [[], []]), lambda ix: ix.search([]), "Search error: EmptyIndex"),
    ("dim-0-query-length", lambda: PyFlat(0), lambda ix: ix.search([1.0]), "Expected query of length 0, got 1"),
    ("dim-0-vector-length", lambda: PyFlat(0), lambda ix: ix.insert([1.0]), "Expected vector of length 0, got 1"),
]


@pytest.mark.parametrize(("make", "call", "message"), [c[1:] for c in VALUE_ERRORS], ids=[c[0] for c in VALUE_ERRORS])
def test_value_errors(make, call, message):
    index = make()
    before = contents(index, 3)
    with raises_exact(ValueError, message):
        call(index)
    assert contents(index, 3) == before


def test_dim_zero_stores_nothing_visible():
    index = PyFlat(0)
    index.insert([])
    index.create([[], ()])
    with raises_exact(ValueError, "Search error: EmptyIndex"):
        index.search([], 5)


# -- ranking ---------------------------------------------------------------------


def test_euclidean_ties_go_to_the_smaller_id():
    index = build(2, [[1, 0], [0, 1]])
    assert index.search([0, 0], 2) == [(0, 1.0), (1, 1.0)]


@pytest.mark.parametrize("metric", [None, "inner_product", "cosine"])
@pytest.mark.parametrize("k", [1, 3, 5, 11, 25, 60])
def test_many_ties_keep_the_smallest_ids(metric, k):
    # Four distinct vectors repeated, so every value is shared by ten ids.
    vectors = [[float(i % 4) - 1.0, 1.0] for i in range(40)]
    vectors.reverse()
    index = build(2, vectors, metric)
    expected = brute_force(vectors, [0.5, 2.0], k, flat_metric(metric))
    assert_same(index.search([0.5, 2.0], k), expected)


def test_inner_product_ranks_the_smallest_first():
    index = build(2, [[1, 0], [2, 0]], "inner_product")
    assert index.search([1, 0], 2) == [(0, 1.0), (1, 2.0)]
    index.insert([-3, 0])
    assert index.search([1, 0], 3) == [(2, -3.0), (0, 1.0), (1, 2.0)]


def test_cosine_ranks_the_opposite_direction_first_and_zero_vectors_last():
    index = build(2, [[0, 0], [2, 0], [-1, 0], [0, 3], [0, 0]], "cosine")
    result = index.search([1, 0], 5)
    assert [i for i, _ in result] == [2, 3, 1, 0, 4]
    assert [v for _, v in result[:3]] == [-1.0, 0.0, 1.0]
    assert math.isnan(result[3][1]) and math.isnan(result[4][1])


def test_nan_ranks_after_every_number():
    vectors = [[nan, 0], [inf, 0], [-inf, 0], [1, 0], [nan, 1], [-1e308, 0]]
    index = build(2, vectors, "inner_product")
    result = index.search([1, 0], 6)
    assert [i for i, _ in result] == [2, 5, 3, 1, 0, 4]
    assert result[:4] == [(2, -inf), (5, -1e308), (3, 1.0), (1, inf)]
    assert math.isnan(result[4][1]) and math.isnan(result[5][1])
    # A NaN query makes every value NaN: plain id order.
    assert [i for i, _ in index.search([nan, 0], 4)] == [0, 1, 2, 3]


def test_negative_zero_ties_with_positive_zero():
    # cosine(q, v) = +-1e200 / inf = +-0.0 because the query's norm overflows.
    index = build(1, [[-1.0], [1.0], [-2.0], [0.5]], "cosine")
    assert_same(index.search([1e200], 4), [(0, -0.0), (1, 0.0), (2, -0.0), (3, 0.0)])
    assert_same(index.search([1e200], 2), [(0, -0.0), (1, 0.0)])
    index.insert([-1.0])
    index.insert([-inf])
    assert_same(index.search([-1e200], 3), [(0, 0.0), (1, -0.0), (2, 0.0)])


def test_default_k_large_k_and_result_types():
    index = build(2, [[3, 4], [0, 1], [6, 8]])
    for result in (index.search([0, 0]), index.search([0, 0], None), index.search([0, 0], k=None)):
        assert result == [(1, 1.0)]
    assert index.search([0, 0], 0) == []
    everything = [(1, 1.0), (0, 5.0), (2, 10.0)]
    assert index.search([0, 0], 3) == index.search([0, 0], 4) == index.search([0, 0], 2**64 - 1) == everything
    result = index.search([0, 0], 3)
    assert type(result) is list
    assert all(type(p) is tuple and type(p[0]) is int and type(p[1]) is float for p in result)


# -- metric names ------------------------------------------------------------------

METRIC_NAMES = [
    (None, euclidean),
    ("euclidean", euclidean),
    ("angular", euclidean),
    ("Cosine", euclidean),
    ("whatever", euclidean),
    ("", euclidean),
    ("INNER_PRODUCT", euclidean),
    ("inner_product ", euclidean),
    (" cosine", euclidean),
    ("cosine\0", euclidean),
    ("inner_product\0x", euclidean),
    ("cos\u00edne", euclidean),
    ("inner_product", dot),
    ("cosine", cosine),
]


@pytest.mark.parametrize(("name", "function"), METRIC_NAMES, ids=[repr(n) for n, _ in METRIC_NAMES])
def test_metric_names(name, function):
    vectors = [[1.0, 0.0], [-2.0, 1.0], [0.5, 0.5], [3.0, 4.0], [0.0, -1.0]]
    index = build(2, vectors, name)
    for query in ([1.0, 2.0], [-1.0, 0.25]):
        assert_same(index.search(query, 5), brute_force(vectors, query, 5, function))


# -- arithmetic ------------------------------------------------------------------


def scaled_vector(rng, dim):
    return [rng.gauss(0.0, 1.0) * 10.0 ** rng.randint(-6, 6) for _ in range(dim)]


@pytest.mark.parametrize("dim", [1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 64, 100, 129])
@pytest.mark.parametrize("metric", ["euclidean", "inner_product", "cosine"])
def test_values_are_plain_left_to_right_arithmetic(dim, metric):
    rng = random.Random(dim * 31 + len(metric))
    vectors = [scaled_vector(rng, dim) for _ in range(37)]
    vectors[5] = vectors[30][:]  # a duplicate
    vectors[9] = [1e16] + [1.0] * (dim - 1) if dim > 1 else [1e16]  # cancellation-prone
    query = scaled_vector(rng, dim)
    index = PyFlat(dim, metric)
    index.create(vectors[:20])
    for v in vectors[20:]:
        index.insert(v)
    for k in (1, 2, 5, 37):
        assert_same(index.search(query, k), brute_force(vectors, query, k, flat_metric(metric)))


def integer_grid(rng):
    return [[float(rng.randint(-3, 3)) for _ in range(3)] for _ in range(3000)]


def gaussian(rng):
    return [[rng.gauss(0.0, 1.0) for _ in range(33)] for _ in range(2003)]


def large(rng):
    # Past L2 size, with short vectors: the scan stages blocks through a buffer.
    return [[rng.gauss(0.0, 1.0) for _ in range(128)] for _ in range(4201)]


@pytest.mark.parametrize("data", [integer_grid, gaussian, large], ids=["many-ties", "gaussian", "large"])
@pytest.mark.parametrize("metric", ["euclidean", "inner_product", "cosine"])
def test_many_vectors_few_results(data, metric):
    # Enough vectors that a bounded selection and any early exit of the scan
    # are exercised; the count is not a multiple of any batch width.
    rng = random.Random(5)
    vectors = data(rng)
    dim = len(vectors[0])
    index = PyFlat(dim, metric)
    index.create(vectors)
    for query in (vectors[1500], [rng.gauss(0.0, 1.0) for _ in range(dim)], [0.0] * dim):
        expected = brute_force(vectors, query, 100, flat_metric(metric))
        for k in (1, 10, 100):
            assert_same(index.search(query, k), expected[:k])


# -- create ----------------------------------------------------------------------


def test_create_appends_after_earlier_vectors():
    index = PyFlat(2)
    index.insert([1, 2])
    index.create([[3, 4], [5, 6]])
    index.create(([7, 8],))
    assert index.search([1, 2], 10) == [(0, 0.0), (1, math.sqrt(8.0)), (2, math.sqrt(32.0)), (3, math.sqrt(72.0))]


def internal_failure(index, vectors):
    with pytest.raises(BaseException) as info:
        index.create(vectors)
    return info.value


def test_create_internal_failure_keeps_earlier_vectors():
    index = PyFlat(2)
    error = internal_failure(index, [[1, 2], [3], [5, 6]])
    assert str(error) == "Vector length 1 does not match index dimension 2"
    assert error.args == ("Vector length 1 does not match index dimension 2",)
    assert index.search([0, 0], 10) == [(0, math.sqrt(5.0))]
    # The object is free again and the next ids follow on.
    index.insert([5, 6])
    assert [i for i, _ in index.search([0, 0], 10)] == [0, 1]
    error = internal_failure(index, [[1, 1], [1, 1], [2] * 10])
    assert str(error) == "Vector length 10 does not match index dimension 2"
    assert [i for i, _ in index.search([0, 0], 10)] == [2, 3, 0, 1]


def test_create_failing_at_the_first_vector_stores_nothing():
    index = PyFlat(2)
    error = internal_failure(index, [[1, 2, 3], [1, 2]])
    assert str(error) == "Vector length 3 does not match index dimension 2"
    with raises_exact(ValueError, "Search error: EmptyIndex"):
        index.search([0, 0])


def test_internal_failure_type():
    first = internal_failure(PyFlat(2), [[1]])
    second = internal_failure(PyFlat(3), [[1, 2]])
    kind = type(first)
    assert type(second) is kind
    assert kind.__mro__ == (kind, BaseException, object)
    assert not issubclass(kind, Exception)
    assert kind.__name__ == "InternalError"
    assert kind.__module__ == "ombrix"
    assert ombrix.__all__ == ["PyFlat", "PyHNSW"]
    assert all(value is not kind for value in vars(ombrix).values())


# -- storage layouts ----------------------------------------------------------------


def numpy_layouts(np, rows):
    """The same values in every array layout a caller may pass."""
    c = np.array(rows, dtype=np.float64)
    return {
        "c-float64": c,
        "fortran": np.asfortranarray(c),
        "strided": np.repeat(c, 2, axis=1)[:, ::2],
        "big-endian": c.astype(">f8"),
        "float32": c.astype(np.float32),
        "float32-fortran": np.asfortranarray(c.astype(np.float32)),
        "list": rows,
    }


@pytest.mark.parametrize("metric", [None, "inner_product", "cosine"])
@pytest.mark.parametrize("count", [1, 31, 32, 33, 95, 200])
def test_every_input_layout_and_append_order_gives_the_same_index(metric, count):
    np = pytest.importorskip("numpy")
    rng = random.Random(count)
    dim = 7
    pool = [0.0, -0.0, 1.0, -1.0, 2.5, nan, inf]
    rows = [
        [rng.choice(pool) if rng.random() < 0.2 else float(rng.randint(-2, 2)) for _ in range(dim)]
        for _ in range(count)
    ]
    head = rows[: count // 3]
    queries = [rows[0], [0.0] * dim, [rng.gauss(0.0, 1.0) for _ in range(dim)]]
    expected = {}
    for k in (1, 10, count + 1):
        for i, q in enumerate(queries):
            expected[k, i] = brute_force(rows, q, k, flat_metric(metric))
    for name, layout in numpy_layouts(np, rows[len(head) :]).items():
        # Single inserts leave a partial group that the batch then continues.
        index = build(dim, head, metric)
        index.create(layout)
        for (k, i), want in expected.items():
            assert_same(index.search(queries[i], k), want), name


def test_create_in_place_reports_a_wrong_width_and_stores_nothing():
    np = pytest.importorskip("numpy")
    index = PyFlat(3)
    error = internal_failure(index, np.zeros((4, 2)))
    assert str(error) == "Vector length 2 does not match index dimension 3"
    with raises_exact(ValueError, "Create error: EmptyVectors"):
        index.create(np.zeros((0, 3)))
    with raises_exact(ValueError, "Search error: EmptyIndex"):
        index.search([0, 0, 0])
