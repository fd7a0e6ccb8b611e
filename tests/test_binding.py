"""Argument binding, argument conversion and the borrow refusals of PyFlat."""

import array
import math
import threading

import numpy as np
import pytest

import ombrix
from conftest import FloatHook, IndexHook, assert_same, raises_exact

PyFlat = ombrix.PyFlat


def seeded():
    """A 2-d index holding one vector, [0.0, 0.0] with id 0."""
    index = PyFlat(2)
    index.insert([0.0, 0.0])
    return index


def assert_untouched_and_free(index):
    assert index.search([0.0, 0.0], 10) == [(0, 0.0)]
    index.insert([3.0, 4.0])
    assert index.search([0.0, 0.0], 10) == [(0, 0.0), (1, 5.0)]


# -- binding -------------------------------------------------------------------

NEW = "PyFlat.__new__()"
INSERT = "PyFlat.insert()"
SEARCH = "PyFlat.search()"
CREATE = "PyFlat.create()"

BINDING_ERRORS = [
    ("new-missing", lambda ix: PyFlat(),
     f"{NEW} missing 1 required positional argument: 'dim'"),
    ("new-missing-with-keyword", lambda ix: PyFlat(metric="cosine"),
     f"{NEW} missing 1 required positional argument: 'dim'"),
    ("new-too-many", lambda ix: PyFlat(2, None, 3),
     f"{NEW} takes from 1 to 2 positional arguments but 3 were given"),
    ("new-count-before-keywords", lambda ix: PyFlat(2, None, 3, bogus=1),
     f"{NEW} takes from 1 to 2 positional arguments but 3 were given"),
    ("new-multiple", lambda ix: PyFlat(2, dim=2),
     f"{NEW} got multiple values for argument 'dim'"),
    ("new-multiple-optional", lambda ix: PyFlat(2, "cosine", metric=None),
     f"{NEW} got multiple values for argument 'metric'"),
    ("new-unexpected", lambda ix: PyFlat(2, metrics="cosine"),
     f"{NEW} got an unexpected keyword argument 'metrics'"),
    ("new-keywords-before-missing", lambda ix: PyFlat(bogus=1),
     f"{NEW} got an unexpected keyword argument 'bogus'"),
    ("new-first-offender-unexpected", lambda ix: PyFlat(2, bogus=1, dim=3),
     f"{NEW} got an unexpected keyword argument 'bogus'"),
    ("new-first-offender-multiple", lambda ix: PyFlat(2, dim=3, bogus=1),
     f"{NEW} got multiple values for argument 'dim'"),
    ("new-case-sensitive", lambda ix: PyFlat(Dim=2),
     f"{NEW} got an unexpected keyword argument 'Dim'"),
    ("new-odd-keyword", lambda ix: PyFlat(2, **{"a b": 1}),
     f"{NEW} got an unexpected keyword argument 'a b'"),
    ("new-binding-before-conversion", lambda ix: PyFlat("x", bogus=1),
     f"{NEW} got an unexpected keyword argument 'bogus'"),
    ("insert-missing", lambda ix: ix.insert(),
     f"{INSERT} missing 1 required positional argument: 'vector'"),
    ("insert-too-many", lambda ix: ix.insert([1.0], [2.0]),
     f"{INSERT} takes 1 positional arguments but 2 were given"),
    ("insert-too-many-3", lambda ix: ix.insert(1, 2, 3),
     f"{INSERT} takes 1 positional arguments but 3 were given"),
    ("insert-multiple", lambda ix: ix.insert([1.0], vector=[2.0]),
     f"{INSERT} got multiple values for argument 'vector'"),
    ("insert-unexpected", lambda ix: ix.insert(vec=[1.0]),
     f"{INSERT} got an unexpected keyword argument 'vec'"),
    ("insert-binding-before-conversion", lambda ix: ix.insert("abc", vec=1),
     f"{INSERT} got an unexpected keyword argument 'vec'"),
    ("search-missing", lambda ix: ix.search(),
     f"{SEARCH} missing 1 required positional argument: 'query'"),
    ("search-missing-with-k", lambda ix: ix.search(k=1),
     f"{SEARCH} missing 1 required positional argument: 'query'"),
    ("search-too-many", lambda ix: ix.search([1.0], 1, 2),
     f"{SEARCH} takes from 1 to 2 positional arguments but 3 were given"),
    ("search-multiple-k", lambda ix: ix.search([0.0, 0.0], 1, k=1),
     f"{SEARCH} got multiple values for argument 'k'"),
    ("search-multiple-query", lambda ix: ix.search([0.0, 0.0], query=[0.0, 0.0]),
     f"{SEARCH} got multiple values for argument 'query'"),
    ("search-unexpected", lambda ix: ix.search([0.0, 0.0], K=1),
     f"{SEARCH} got an unexpected keyword argument 'K'"),
    ("create-missing", lambda ix: ix.create(),
     f"{CREATE} missing 1 required positional argument: 'vectors'"),
    ("create-too-many", lambda ix: ix.create([[1.0, 2.0]], []),
     f"{CREATE} takes 1 positional arguments but 2 were given"),
    ("create-multiple", lambda ix: ix.create([[1.0, 2.0]], vectors=[]),
     f"{CREATE} got multiple values for argument 'vectors'"),
    ("create-unexpected", lambda ix: ix.create(vector=[[1.0, 2.0]]),
     f"{CREATE} got an unexpected keyword argument 'vector'"),
]


@pytest.mark.parametrize(("call", "message"), [c[1:] for c in BINDING_ERRORS],
                         ids=[c[0] for c in BINDING_ERRORS])
def test_binding_errors(call, message):
    index = seeded()
    with raises_exact(TypeError, message):
        call(index)
    assert_untouched_and_free(index)


def test_keywords_bind_like_positionals():
    index = PyFlat(dim=2, metric="inner_product")
    index.insert(vector=[1.0, 2.0])
    index.create(vectors=[[3.0, 4.0]])
    assert index.search(query=[1.0, 0.0], k=None) == [(0, 1.0)]
    assert index.search(k=2, query=[1.0, 0.0]) == [(0, 1.0), (1, 3.0)]


# -- conversion ------------------------------------------------------------------

class StrSub(str):
    pass


class Holder:
    class Thing:
        pass


class BadFloat:
    def __float__(self):
        return 1


class Raises:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    def __index__(self):
        raise self.exc


class Seq:
    """A sequence through __getitem__/__len__ (and optionally a custom iterator)."""

    def __init__(self, items, length=None, iterator=None):
        self.items = list(items)
        self.length = length
        self.iterator = iterator

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items) if self.iterator is None else self.iterator(self.items)


def failing_iterator(after, exc):
    def iterator(items):
        yield from items[:after]
        raise exc
    return iterator


def no_iterator(exc):
    def iterator(items):
        raise exc
    return iterator


V = "argument 'vector': "
Q = "argument 'query': "
K = "argument 'k': "
VS = "argument 'vectors': "
D = "argument 'dim': "
M = "argument 'metric': "

CONVERSION_ERRORS = [
    ("dim-float", lambda ix: PyFlat(2.0), TypeError,
     D + "'float' object cannot be interpreted as an integer"),
    ("dim-str", lambda ix: PyFlat("3"), TypeError,
     D + "'str' object cannot be interpreted as an integer"),
    ("dim-none", lambda ix: PyFlat(None), TypeError,
     D + "'NoneType' object cannot be interpreted as an integer"),
    ("dim-negative", lambda ix: PyFlat(-1), OverflowError,
     "can't convert negative int to unsigned"),
    ("dim-too-big", lambda ix: PyFlat(2**64), OverflowError, "int too big to convert"),
    ("dim-index-negative", lambda ix: PyFlat(IndexHook(-1, lambda: None)), OverflowError,
     "can't convert negative int to unsigned"),
    ("dim-index-raises", lambda ix: PyFlat(Raises(ArithmeticError("no"))), ArithmeticError, "no"),
    ("metric-int", lambda ix: PyFlat(4, metric=5), TypeError,
     M + "'int' object cannot be converted to 'PyString'"),
    ("metric-bytes", lambda ix: PyFlat(4, b"cosine"), TypeError,
     M + "'bytes' object cannot be converted to 'PyString'"),
    ("metric-surrogate", lambda ix: PyFlat(4, "\ud800"), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    ("dim-before-metric", lambda ix: PyFlat(2.0, metric=5), TypeError,
     D + "'float' object cannot be interpreted as an integer"),
    ("vector-str", lambda ix: ix.insert("ab"), TypeError, V + "Can't extract `str` to `Vec`"),
    ("vector-str-subclass", lambda ix: ix.insert(StrSub("ab")), TypeError,
     V + "Can't extract `str` to `Vec`"),
    ("vector-int", lambda ix: ix.insert(5), TypeError,
     V + "'int' object cannot be converted to 'Sequence'"),
    ("vector-none", lambda ix: ix.insert(None), TypeError,
     V + "'NoneType' object cannot be converted to 'Sequence'"),
    ("vector-dict", lambda ix: ix.insert({0: 1.0, 1: 2.0}), TypeError,
     V + "'dict' object cannot be converted to 'Sequence'"),
    ("vector-set", lambda ix: ix.insert({1.0, 2.0}), TypeError,
     V + "'set' object cannot be converted to 'Sequence'"),
    ("vector-iterator", lambda ix: ix.insert(iter([1.0, 2.0])), TypeError,
     V + "'list_iterator' object cannot be converted to 'Sequence'"),
    ("vector-generator", lambda ix: ix.insert(x for x in [1.0, 2.0]), TypeError,
     V + "'generator' object cannot be converted to 'Sequence'"),
    ("vector-qualified-name", lambda ix: ix.insert(Holder.Thing()), TypeError,
     V + "'Holder.Thing' object cannot be converted to 'Sequence'"),
    ("item-str", lambda ix: ix.insert([1.0, "a"]), TypeError, V + "must be real number, not str"),
    ("item-none", lambda ix: ix.insert([None, 1.0]), TypeError,
     V + "must be real number, not NoneType"),
    ("item-list", lambda ix: ix.insert([1.0, [2.0]]), TypeError,
     V + "must be real number, not list"),
    ("item-bad-float", lambda ix: ix.insert((1.0, BadFloat())), TypeError,
     V + "BadFloat.__float__ returned non-float (type int)"),
    ("item-huge-int", lambda ix: ix.insert([1.0, 10**400]), OverflowError,
     "int too large to convert to float"),
    ("item-raises", lambda ix: ix.insert([1.0, Raises(ValueError("boom"))]), ValueError, "boom"),
    ("iter-raises-type-error", lambda ix: ix.insert(Seq([1.0, 2.0], iterator=no_iterator(
        TypeError("no iteration")))), TypeError, V + "no iteration"),
    ("iteration-fails-midway", lambda ix: ix.insert(Seq([1.0, 2.0], iterator=failing_iterator(
        1, ZeroDivisionError("midway")))), ZeroDivisionError, "midway"),
    ("item-after-length-mismatch", lambda ix: ix.insert([1.0, 2.0, "a"]), TypeError,
     V + "must be real number, not str"),
    ("query-str", lambda ix: ix.search("ab"), TypeError, Q + "Can't extract `str` to `Vec`"),
    ("query-int", lambda ix: ix.search(5), TypeError,
     Q + "'int' object cannot be converted to 'Sequence'"),
    ("query-item", lambda ix: ix.search([0.0, "x"]), TypeError, Q + "must be real number, not str"),
    ("k-str", lambda ix: ix.search([0.0, 0.0], "1"), TypeError,
     K + "'str' object cannot be interpreted as an integer"),
    ("k-float", lambda ix: ix.search([0.0, 0.0], 1.0), TypeError,
     K + "'float' object cannot be interpreted as an integer"),
    ("k-negative", lambda ix: ix.search([0.0, 0.0], -1), OverflowError,
     "can't convert negative int to unsigned"),
    ("k-too-big", lambda ix: ix.search([0.0, 0.0], 2**64), OverflowError, "int too big to convert"),
    ("query-before-k", lambda ix: ix.search("ab", "x"), TypeError,
     Q + "Can't extract `str` to `Vec`"),
    ("k-before-length-check", lambda ix: ix.search([0.0, 0.0, 0.0], "x"), TypeError,
     K + "'str' object cannot be interpreted as an integer"),
    ("vectors-str", lambda ix: ix.create("ab"), TypeError, VS + "Can't extract `str` to `Vec`"),
    ("vectors-int", lambda ix: ix.create(5), TypeError,
     VS + "'int' object cannot be converted to 'Sequence'"),
    ("vectors-generator", lambda ix: ix.create([1.0, 2.0] for _ in range(2)), TypeError,
     VS + "'generator' object cannot be converted to 'Sequence'"),
    ("vectors-inner-str", lambda ix: ix.create([[1.0, 2.0], "ab"]), TypeError,
     VS + "Can't extract `str` to `Vec`"),
    ("vectors-inner-int", lambda ix: ix.create([[1.0, 2.0], 5]), TypeError,
     VS + "'int' object cannot be converted to 'Sequence'"),
    ("vectors-inner-item", lambda ix: ix.create([[1.0, 2.0], [1.0, "a"]]), TypeError,
     VS + "must be real number, not str"),
    # Every vector is converted before any is stored or length-checked.
    ("vectors-convert-before-length", lambda ix: ix.create([[1.0, 2.0], [3.0], [5.0, "x"]]),
     TypeError, VS + "must be real number, not str"),
    ("vectors-inner-raises", lambda ix: ix.create([[1.0, Raises(KeyError("k"))]]), KeyError, "'k'"),
]


@pytest.mark.parametrize(("call", "exc_type", "message"), [c[1:] for c in CONVERSION_ERRORS],
                         ids=[c[0] for c in CONVERSION_ERRORS])
def test_conversion_errors(call, exc_type, message):
    index = seeded()
    with raises_exact(exc_type, message):
        call(index)
    assert_untouched_and_free(index)


def test_non_type_errors_pass_unchanged():
    index = seeded()
    original = ValueError("boom")
    with pytest.raises(ValueError) as info:
        index.insert([1.0, Raises(original)])
    assert info.value is original

    class NarrowTypeError(TypeError):
        pass

    # Only an exact TypeError is rewritten; a subclass keeps its type and text.
    narrow = NarrowTypeError("narrow")
    for call in (lambda: index.insert([Raises(narrow), 1.0]),
                 lambda: index.search([0.0, 0.0], Raises(narrow)),
                 lambda: PyFlat(Raises(narrow))):
        with pytest.raises(NarrowTypeError) as info:
            call()
        assert info.value is narrow
        assert str(info.value) == "narrow"
    assert_untouched_and_free(index)


def chained_type_error():
    try:
        raise KeyError("root")
    except KeyError as root:
        error = TypeError("inner")
        error.__cause__ = root
        return error


@pytest.mark.parametrize(("call", "prefix"), [
    (lambda ix, obj: ix.insert([1.0, obj]), V),
    (lambda ix, obj: ix.search([obj, 1.0]), Q),
    (lambda ix, obj: ix.search([0.0, 0.0], obj), K),
    (lambda ix, obj: ix.create([[1.0, 2.0], [obj, 1.0]]), VS),
    (lambda ix, obj: PyFlat(obj), D),
], ids=["vector", "query", "k", "vectors", "dim"])
@pytest.mark.parametrize("with_cause", [True, False], ids=["cause", "no-cause"])
def test_rewritten_type_error_keeps_the_cause(call, prefix, with_cause):
    original = chained_type_error() if with_cause else TypeError("inner")
    index = seeded()
    with raises_exact(TypeError, prefix + "inner") as info:
        call(index, Raises(original))
    assert info.value is not original
    assert info.value.__cause__ is original.__cause__
    assert_untouched_and_free(index)


def test_optional_none_is_the_default():
    a, b = PyFlat(2), PyFlat(2, None)
    for index in (a, b):
        index.create([[1.0, 1.0], [0.0, 3.0]])
    assert a.search([0.0, 0.0], 2) == b.search([0.0, 0.0], 2) == [(0, math.sqrt(2.0)), (1, 3.0)]
    assert a.search([0.0, 0.0]) == a.search([0.0, 0.0], None) == [(0, math.sqrt(2.0))]


def test_integer_like_arguments():
    index = PyFlat(IndexHook(2, lambda: None), StrSub("inner_product"))
    index.insert([1.0, 2.0])
    index.insert([3.0, 4.0])
    assert index.search([1.0, 0.0], True) == [(0, 1.0)]
    assert index.search([1.0, 0.0], np.int64(5)) == [(0, 1.0), (1, 3.0)]
    assert index.search([1.0, 0.0], 2**64 - 1) == [(0, 1.0), (1, 3.0)]
    with raises_exact(ValueError, "Expected vector of length 18446744073709551615, got 1"):
        PyFlat(2**64 - 1).insert([1.0])


# -- fast paths and the general path give the same values -------------------------

def basis(dim, j):
    e = [0.0] * dim
    e[j] = 1.0
    return e


def stored_rows(index, count, dim):
    """Read the stored coordinates back from an "inner_product" index: the dot
    product with a unit vector is exactly the coordinate (for non-zero finite
    values)."""
    rows = [[None] * dim for _ in range(count)]
    for j in range(dim):
        result = index.search(basis(dim, j), count + 1)
        assert sorted(i for i, _ in result) == list(range(count))
        for i, value in result:
            rows[i][j] = value
    return rows


ROW = [0.1, -2.5, 1e300, 5e-324, 3.0]
EXACT32 = [1.5, -2.0, 3.25, 0.0078125, 100.0]  # exactly representable in float32


class FloatSub(float):
    def __float__(self):  # a float subclass is read by value, not through __float__
        return 99.0


class ReversedList(list):
    def __iter__(self):
        return reversed(self[:])


class LyingList(list):
    def __len__(self):
        return 1


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def readonly(a):
    a = a.copy()
    a.flags.writeable = False
    return a


VECTOR_FORMS = [
    ("tuple", lambda r: tuple(r), ROW),
    ("list-subclass", lambda r: type("L", (list,), {})(r), ROW),
    ("tuple-subclass", lambda r: type("T", (tuple,), {})(r), ROW),
    ("custom-sequence", lambda r: Seq(r), ROW),
    ("length-raises", lambda r: Seq(r, length=RuntimeError("no length")), ROW),
    ("length-lies", lambda r: Seq(r, length=10**6), ROW),
    ("list-lying-length", lambda r: LyingList(r), ROW),
    ("list-subclass-own-iter", lambda r: ReversedList(reversed(r)), ROW),
    ("getitem-only", lambda r: type("G", (), {"__getitem__": lambda s, i: r[i]})(), ROW),
    ("numpy", lambda r: np.array(r), ROW),
    ("numpy-strided", lambda r: np.repeat(np.array(r), 2)[::2], ROW),
    ("numpy-reversed", lambda r: np.array(r[::-1])[::-1], ROW),
    ("numpy-readonly", lambda r: readonly(np.array(r)), ROW),
    ("numpy-big-endian", lambda r: np.array(r, dtype=">f8"), ROW),
    ("numpy-float32", lambda r: np.array(r, dtype=np.float32), EXACT32),
    ("numpy-int64", lambda r: np.array(r, dtype=np.int64), [7.0, -3.0, 2.0, 1.0, 40.0]),
    ("numpy-scalars", lambda r: [np.float64(x) for x in r], ROW),
    ("array-d", lambda r: array.array("d", r), ROW),
    ("memoryview-d", lambda r: memoryview(array.array("d", r)), ROW),
    ("array-f", lambda r: array.array("f", r), EXACT32),
    ("ints", lambda r: [int(x) for x in r], [7.0, -3.0, 2.0, 1.0, 40.0]),
    ("float-subclass-items", lambda r: [FloatSub(x) for x in r], ROW),
    ("index-items", lambda r: [IndexOnly(int(x)) for x in r], [7.0, -3.0, 2.0, 1.0, 40.0]),
    ("bool-items", lambda r: [x == 1.0 for x in r], [1.0, 1.0, 1.0, 1.0, 1.0]),
    ("bytes", lambda r: bytes(int(x) for x in r), [7.0, 3.0, 2.0, 1.0, 40.0]),
]


@pytest.mark.parametrize(("make", "row"), [f[1:] for f in VECTOR_FORMS],
                         ids=[f[0] for f in VECTOR_FORMS])
@pytest.mark.timeout(30)
def test_vector_forms_store_the_same_values(make, row):
    index = PyFlat(len(row), "inner_product")
    index.insert(make(row))
    index.create([make(row), make(row)])
    rows = stored_rows(index, 3, len(row))
    assert_same(rows, [row] * 3)


MATRIX = [[0.1, -2.5, 1e300], [5e-324, 3.0, -7.25], [1.0, 2.0, 1.0], [-0.3, 1e-300, 4.0]]
MATRIX32 = [[1.5, -2.0, 3.25], [0.0078125, 100.0, -0.5], [1.0, 2.0, 1.0], [4.0, 8.0, -16.0]]

MATRIX_FORMS = [
    ("tuples", lambda m: tuple(tuple(r) for r in m), MATRIX),
    ("numpy", lambda m: np.array(m), MATRIX),
    ("numpy-fortran", lambda m: np.asfortranarray(np.array(m)), MATRIX),
    ("numpy-row-strided", lambda m: np.repeat(np.array(m), 2, axis=0)[::2], MATRIX),
    ("numpy-column-strided", lambda m: np.repeat(np.array(m), 2, axis=1)[:, ::2], MATRIX),
    ("numpy-readonly", lambda m: readonly(np.array(m)), MATRIX),
    ("numpy-big-endian", lambda m: np.array(m, dtype=">f8"), MATRIX),
    ("numpy-float32", lambda m: np.array(m, dtype=np.float32), MATRIX32),
    ("numpy-rows", lambda m: [np.array(r) for r in m], MATRIX),
    ("list-of-arrays", lambda m: [array.array("d", r) for r in m], MATRIX),
]


@pytest.mark.parametrize(("make", "matrix"), [f[1:] for f in MATRIX_FORMS],
                         ids=[f[0] for f in MATRIX_FORMS])
@pytest.mark.timeout(30)
def test_matrix_forms_store_the_same_values(make, matrix):
    index = PyFlat(3, "inner_product")
    index.create(make(matrix))
    assert_same(stored_rows(index, len(matrix), 3), matrix)


@pytest.mark.parametrize("metric", ["euclidean", "inner_product", "cosine"])
def test_numpy_and_lists_search_alike(metric):
    rng = np.random.default_rng(7)
    data = rng.standard_normal((50, 9)) * 10.0 ** rng.integers(-3, 4, (50, 1))
    data[10] = data[3]  # a duplicate
    data[20] = 0.0  # a zero vector (NaN under cosine)
    queries = rng.standard_normal((5, 9))
    from_lists, from_numpy = PyFlat(9, metric), PyFlat(9, metric)
    from_lists.create(data.tolist())
    from_numpy.create(data)
    for q in queries:
        expected = from_lists.search(q.tolist(), 12)
        assert_same(from_numpy.search(q.tolist(), 12), expected)
        assert_same(from_lists.search(q, 12), expected)
        assert_same(from_lists.search(np.asfortranarray(q[None, :])[0], 12), expected)


def only_arrays_message():
    try:
        float(np.ones(2))
    except TypeError as e:
        return str(e)
    raise AssertionError("numpy converted a 2-element array to float")


@pytest.mark.parametrize(("call", "prefix"), [
    (lambda ix: ix.insert(np.ones((1, 2))), V),
    (lambda ix: ix.search(np.ones((1, 2))), Q),
    (lambda ix: ix.create(np.ones((1, 1, 2))), VS),
], ids=["insert-2d", "search-2d", "create-3d"])
def test_numpy_with_too_many_dimensions_is_not_flattened(call, prefix):
    index = seeded()
    with raises_exact(TypeError, prefix + only_arrays_message()):
        call(index)
    assert_untouched_and_free(index)


def test_numpy_with_too_few_dimensions():
    try:
        iter(np.array(1.0))
    except TypeError as e:
        message = str(e)
    index = PyFlat(1)
    index.insert([0.0])
    with raises_exact(TypeError, V + message):
        index.insert(np.array(1.0))
    # A 1-D array's items are numpy scalars, which are no sequences.
    with raises_exact(TypeError, VS + "'float64' object cannot be converted to 'Sequence'"):
        index.create(np.array([1.0, 2.0]))
    assert index.search([0.0], 10) == [(0, 0.0)]


def test_numpy_lengths_are_checked():
    index = PyFlat(3)
    with raises_exact(ValueError, "Expected vector of length 3, got 4"):
        index.insert(np.ones(4))
    with raises_exact(ValueError, "Create error: EmptyVectors"):
        index.create(np.ones((0, 3)))
    with pytest.raises(BaseException) as info:
        index.create(np.ones((2, 4)))
    assert str(info.value) == "Vector length 4 does not match index dimension 3"
    with raises_exact(ValueError, "Search error: EmptyIndex"):
        index.search(np.ones(3))


# -- lists changed by the conversion itself ----------------------------------------

class Mutator:
    """An item whose __float__ changes the list that is being converted."""

    def __init__(self, target, change):
        self.target = target
        self.change = change

    def __float__(self):
        self.change(self.target)
        return 2.0


@pytest.mark.timeout(30)
def test_vector_cleared_during_conversion():
    index = PyFlat(2, "inner_product")
    vector = [1.0]
    vector.extend([Mutator(vector, list.clear), 3.0])
    # Iteration sees the list as it is when each item is fetched.
    index.insert(vector)
    assert stored_rows(index, 1, 2) == [[1.0, 2.0]]


@pytest.mark.timeout(30)
def test_vector_grown_during_conversion():
    index = seeded()
    vector = [1.0]
    vector.append(Mutator(vector, lambda v: v.extend([5.0] * 50)))
    with raises_exact(ValueError, "Expected vector of length 2, got 52"):
        index.insert(vector)
    assert_untouched_and_free(index)


@pytest.mark.timeout(30)
def test_outer_list_cleared_during_create():
    index = PyFlat(2, "inner_product")
    outer = [[1.0, 4.0], [5.0, 6.0], [7.0, 8.0]]
    outer[0][1] = Mutator(outer, list.clear)
    index.create(outer)
    assert stored_rows(index, 1, 2) == [[1.0, 2.0]]


# -- borrow refusals ------------------------------------------------------------

def capture(store, call):
    """A hook that runs `call` and remembers the exception it raises."""
    def hook():
        try:
            call()
        except BaseException as e:
            store.append(e)
            raise
    return hook


REENTRANT = [
    ("insert-then-search", lambda ix, o: ix.insert([1.0, o]),
     lambda ix: ix.search([0.0, 0.0]), "Already mutably borrowed"),
    ("insert-then-insert", lambda ix, o: ix.insert([o, 1.0]),
     lambda ix: ix.insert([1.0, 1.0]), "Already borrowed"),
    ("insert-then-create", lambda ix, o: ix.insert([o, 1.0]),
     lambda ix: ix.create([[1.0, 1.0]]), "Already borrowed"),
    ("create-then-search", lambda ix, o: ix.create([[1.0, 1.0], [1.0, o]]),
     lambda ix: ix.search([0.0, 0.0]), "Already mutably borrowed"),
    ("create-then-insert", lambda ix, o: ix.create([[1.0, 1.0], [1.0, o]]),
     lambda ix: ix.insert([1.0, 1.0]), "Already borrowed"),
    ("search-then-insert", lambda ix, o: ix.search([1.0, o]),
     lambda ix: ix.insert([1.0, 1.0]), "Already borrowed"),
    ("search-then-create", lambda ix, o: ix.search([1.0, o]),
     lambda ix: ix.create([[1.0, 1.0]]), "Already borrowed"),
]


@pytest.mark.parametrize(("outer", "inner", "message"), [r[1:] for r in REENTRANT],
                         ids=[r[0] for r in REENTRANT])
@pytest.mark.timeout(30)
def test_reentrant_float_is_refused(outer, inner, message):
    index = seeded()
    inner_errors = []
    item = FloatHook(2.0, capture(inner_errors, lambda: inner(index)))
    with raises_exact(RuntimeError, message) as info:
        outer(index, item)
    assert len(inner_errors) == 1
    assert info.value is inner_errors[0]
    assert_untouched_and_free(index)


@pytest.mark.parametrize(("inner", "message"), [
    (lambda ix: ix.insert([1.0, 1.0]), "Already borrowed"),
    (lambda ix: ix.create([[1.0, 1.0]]), "Already borrowed"),
], ids=["insert", "create"])
@pytest.mark.timeout(30)
def test_reentrant_index_is_refused(inner, message):
    index = seeded()
    inner_errors = []
    k = IndexHook(1, capture(inner_errors, lambda: inner(index)))
    with raises_exact(RuntimeError, message) as info:
        index.search([0.0, 0.0], k)
    assert info.value is inner_errors[0]
    assert_untouched_and_free(index)


@pytest.mark.timeout(30)
def test_searches_share_the_index():
    index = seeded()
    seen = []
    item = FloatHook(0.0, lambda: seen.append(index.search([0.0, 0.0], IndexHook(
        1, lambda: seen.append(index.search([0.0, 0.0]))))))
    assert index.search([item, 0.0]) == [(0, 0.0)]
    assert seen == [[(0, 0.0)], [(0, 0.0)]]
    assert_untouched_and_free(index)


@pytest.mark.parametrize(("outer", "inner"), [
    (lambda ix, o: ix.insert([o, 1.0]), lambda ix: ix.search([0.0, 0.0])),
    (lambda ix, o: ix.search([o, 1.0]), lambda ix: ix.insert([1.0, 1.0])),
    (lambda ix, o: ix.create([[o, 1.0]]), lambda ix: ix.create([[1.0, 1.0]])),
], ids=["insert", "search", "create"])
@pytest.mark.timeout(30)
def test_swallowed_refusal_leaves_the_borrow_intact(outer, inner):
    index = seeded()
    refusals = []

    def hook():
        for _ in range(3):
            try:
                inner(index)
            except RuntimeError as e:
                refusals.append(str(e))

    outer(index, FloatHook(1.0, hook))
    assert len(refusals) == 3
    # The outer call completed normally and released its borrow.
    index.insert([6.0, 8.0])
    assert [i for i, _ in index.search([0.0, 0.0], 10)][0] == 0


@pytest.mark.timeout(30)
def test_binding_errors_come_before_the_borrow():
    index = seeded()
    inner_errors = []
    item = FloatHook(1.0, capture(inner_errors, lambda: index.search()))
    missing = f"{SEARCH} missing 1 required positional argument: 'query'"
    # The inner binding error is a TypeError, so the outer call rewrites it.
    with raises_exact(TypeError, V + missing):
        index.insert([item, 1.0])
    assert [(type(e), str(e)) for e in inner_errors] == [(TypeError, missing)]
    assert_untouched_and_free(index)


@pytest.mark.timeout(30)
def test_other_index_is_not_affected():
    index, other = seeded(), seeded()
    item = FloatHook(1.0, lambda: other.insert([1.0, 1.0]))
    index.insert([item, 2.0])
    assert len(other.search([0.0, 0.0], 10)) == 2
    assert len(index.search([0.0, 0.0], 10)) == 2


@pytest.mark.parametrize(("outer", "search_outcome", "insert_outcome"), [
    ("insert", "Already mutably borrowed", "Already borrowed"),
    ("search", [(0, 0.0)], "Already borrowed"),
])
@pytest.mark.timeout(30)
def test_other_thread_is_refused_at_once(outer, search_outcome, insert_outcome):
    index = seeded()
    entered, release = threading.Event(), threading.Event()
    finished = []

    def hold():
        entered.set()
        assert release.wait(20)

    def holder():
        getattr(index, outer)([FloatHook(1.0, hold), 1.0])
        finished.append(outer)

    def attempt(call):
        try:
            return call()
        except RuntimeError as e:
            return str(e)

    thread = threading.Thread(target=holder)
    thread.start()
    try:
        assert entered.wait(20)
        # The holder is blocked inside its conversion: nothing waits for it.
        assert attempt(lambda: index.search([0.0, 0.0])) == search_outcome
        assert attempt(lambda: index.insert([1.0, 1.0])) == insert_outcome
    finally:
        release.set()
        thread.join(20)
    assert finished == [outer]
    index.insert([5.0, 5.0])
