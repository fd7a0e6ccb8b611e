"""Argument binding, argument conversion and the borrow refusals of PyFlat."""

import array
import threading
import traceback

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


def check_refused(call, exc_type, message, index=None):
    """`call(index)` raises exactly that error and leaves `index` as it was."""
    index = seeded() if index is None else index
    with raises_exact(exc_type, message) as info:
        call(index)
    assert_untouched_and_free(index)
    return info.value


# -- binding -------------------------------------------------------------------

NEW, INSERT, SEARCH, CREATE = "PyFlat.__new__()", "PyFlat.insert()", "PyFlat.search()", "PyFlat.create()"

BINDING_ERRORS = [
    ("new-missing", lambda ix: PyFlat(metric="cosine"), f"{NEW} missing 1 required positional argument: 'dim'"),
    (
        "new-too-many",
        lambda ix: PyFlat(2, None, 3, bogus=1),
        f"{NEW} takes from 1 to 2 positional arguments but 3 were given",
    ),
    ("new-multiple", lambda ix: PyFlat(2, dim=2), f"{NEW} got multiple values for argument 'dim'"),
    ("new-unexpected", lambda ix: PyFlat(2, metrics="cosine"), f"{NEW} got an unexpected keyword argument 'metrics'"),
    ("new-keywords-before-missing", lambda ix: PyFlat(**{"a b": 1}), f"{NEW} got an unexpected keyword argument 'a b'"),
    (
        "new-first-offender",
        lambda ix: PyFlat(2, metric=None, bogus=1, dim=3),
        f"{NEW} got an unexpected keyword argument 'bogus'",
    ),
    ("new-first-offender-2", lambda ix: PyFlat(2, dim=3, bogus=1), f"{NEW} got multiple values for argument 'dim'"),
    ("new-before-conversion", lambda ix: PyFlat("x", Dim=1), f"{NEW} got an unexpected keyword argument 'Dim'"),
    ("insert-missing", lambda ix: ix.insert(), f"{INSERT} missing 1 required positional argument: 'vector'"),
    ("insert-too-many", lambda ix: ix.insert([1.0], [2.0]), f"{INSERT} takes 1 positional arguments but 2 were given"),
    (
        "insert-multiple",
        lambda ix: ix.insert([1.0], vector=[2.0]),
        f"{INSERT} got multiple values for argument 'vector'",
    ),
    (
        "insert-before-conversion",
        lambda ix: ix.insert("abc", vec=1),
        f"{INSERT} got an unexpected keyword argument 'vec'",
    ),
    ("search-missing", lambda ix: ix.search(k=1), f"{SEARCH} missing 1 required positional argument: 'query'"),
    (
        "search-too-many",
        lambda ix: ix.search([1.0], 1, 2),
        f"{SEARCH} takes from 1 to 2 positional arguments but 3 were given",
    ),
    ("search-multiple", lambda ix: ix.search([0.0, 0.0], 1, k=1), f"{SEARCH} got multiple values for argument 'k'"),
    ("create-missing", lambda ix: ix.create(), f"{CREATE} missing 1 required positional argument: 'vectors'"),
    (
        "create-unexpected",
        lambda ix: ix.create(vector=[[1.0, 2.0]]),
        f"{CREATE} got an unexpected keyword argument 'vector'",
    ),
]


@pytest.mark.parametrize(("call", "message"), [c[1:] for c in BINDING_ERRORS], ids=[c[0] for c in BINDING_ERRORS])
def test_binding_errors(call, message):
    check_refused(call, TypeError, message)


def test_keywords_and_none_defaults():
    index = PyFlat(dim=2, metric="inner_product")
    index.insert(vector=[1.0, 2.0])
    index.create(vectors=[[3.0, 4.0]])
    assert index.search(k=2, query=[1.0, 0.0]) == [(0, 1.0), (1, 3.0)]
    assert index.search([1.0, 0.0]) == index.search([1.0, 0.0], k=None) == [(0, 1.0)]
    plain = PyFlat(2, None)
    plain.create([[3.0, 4.0], [0.0, 1.0]])
    assert plain.search([0.0, 0.0], 2) == [(1, 1.0), (0, 5.0)]


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

    __index__ = __float__


class Seq:
    """A sequence through __getitem__/__len__, with an optional own iterator."""

    def __init__(self, items, length=None, iterator=iter):
        self.items, self.length, self.iterator = list(items), length, iterator

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return self.iterator(self.items)


def failing_iterator(exc, after):
    def iterator(items):
        yield from items[:after]
        raise exc

    return iterator


V, Q, K = "argument 'vector': ", "argument 'query': ", "argument 'k': "
VS, D, M = "argument 'vectors': ", "argument 'dim': ", "argument 'metric': "
NOT_INT = "object cannot be interpreted as an integer"
NOT_SEQ = "object cannot be converted to 'Sequence'"

# (id, call, message) for a TypeError, or (id, call, (type, message)) otherwise
CONVERSION_ERRORS = [
    ("dim-float", lambda ix: PyFlat(2.0), D + "'float' " + NOT_INT),
    ("dim-none", lambda ix: PyFlat(None), D + "'NoneType' " + NOT_INT),
    ("dim-negative", lambda ix: PyFlat(-1), (OverflowError, "can't convert negative int to unsigned")),
    ("dim-too-big", lambda ix: PyFlat(2**64), (OverflowError, "int too big to convert")),
    (
        "dim-index-negative",
        lambda ix: PyFlat(IndexHook(-1, lambda: None)),
        (OverflowError, "can't convert negative int to unsigned"),
    ),
    ("metric-int", lambda ix: PyFlat(4, metric=5), M + "'int' object cannot be converted to 'PyString'"),
    (
        "metric-surrogate",
        lambda ix: PyFlat(4, "\ud800"),
        (UnicodeEncodeError, "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    ),
    ("dim-before-metric", lambda ix: PyFlat("3", metric=5), D + "'str' " + NOT_INT),
    ("vector-str", lambda ix: ix.insert("ab"), V + "Can't extract `str` to `Vec`"),
    ("vector-str-subclass", lambda ix: ix.insert(StrSub("ab")), V + "Can't extract `str` to `Vec`"),
    ("vector-int", lambda ix: ix.insert(5), V + "'int' " + NOT_SEQ),
    ("vector-dict", lambda ix: ix.insert({0: 1.0, 1: 2.0}), V + "'dict' " + NOT_SEQ),
    ("vector-iterator", lambda ix: ix.insert(iter([1.0, 2.0])), V + "'list_iterator' " + NOT_SEQ),
    ("vector-qualified-name", lambda ix: ix.insert(Holder.Thing()), V + "'Holder.Thing' " + NOT_SEQ),
    ("item-str", lambda ix: ix.insert([1.0, "a"]), V + "must be real number, not str"),
    ("item-bad-float", lambda ix: ix.insert((1.0, BadFloat())), V + "BadFloat.__float__ returned non-float (type int)"),
    ("item-huge-int", lambda ix: ix.insert([1.0, 10**400]), (OverflowError, "int too large to convert to float")),
    ("item-raises", lambda ix: ix.insert([1.0, Raises(ValueError("boom"))]), (ValueError, "boom")),
    (
        "iteration-type-error",
        lambda ix: ix.insert(Seq([1.0, 2.0], iterator=failing_iterator(TypeError("no iter"), 0))),
        V + "no iter",
    ),
    (
        "iteration-fails-midway",
        lambda ix: ix.insert(Seq([1.0, 2.0], iterator=failing_iterator(ZeroDivisionError("midway"), 1))),
        (ZeroDivisionError, "midway"),
    ),
    ("convert-before-length", lambda ix: ix.insert([1.0, 2.0, "a"]), V + "must be real number, not str"),
    ("query-str", lambda ix: ix.search("ab"), Q + "Can't extract `str` to `Vec`"),
    ("k-float", lambda ix: ix.search([0.0, 0.0], 1.0), K + "'float' " + NOT_INT),
    ("k-too-big", lambda ix: ix.search([0.0, 0.0], 2**64), (OverflowError, "int too big to convert")),
    ("query-before-k", lambda ix: ix.search(5, "x"), Q + "'int' " + NOT_SEQ),
    ("k-before-length-check", lambda ix: ix.search([0.0, 0.0, 0.0], "x"), K + "'str' " + NOT_INT),
    ("vectors-generator", lambda ix: ix.create([1.0, 2.0] for _ in range(2)), VS + "'generator' " + NOT_SEQ),
    ("vectors-inner-str", lambda ix: ix.create([[1.0, 2.0], "ab"]), VS + "Can't extract `str` to `Vec`"),
    ("vectors-inner-int", lambda ix: ix.create([[1.0, 2.0], 5]), VS + "'int' " + NOT_SEQ),
    # Every vector is converted before any is stored or length-checked.
    (
        "vectors-convert-before-length",
        lambda ix: ix.create([[1.0, 2.0], [3.0], [5.0, "x"]]),
        VS + "must be real number, not str",
    ),
]


@pytest.mark.parametrize(
    ("call", "expected"), [c[1:] for c in CONVERSION_ERRORS], ids=[c[0] for c in CONVERSION_ERRORS]
)
def test_conversion_errors(call, expected):
    exc_type, message = expected if isinstance(expected, tuple) else (TypeError, expected)
    check_refused(call, exc_type, message)


class NarrowTypeError(TypeError):
    pass


def chained(error):
    try:
        raise KeyError("root")
    except KeyError as root:
        error.__cause__ = root
    return error


SITES = [
    (lambda ix, obj: ix.insert([1.0, obj]), V),
    (lambda ix, obj: ix.search([obj, 1.0]), Q),
    (lambda ix, obj: ix.search([0.0, 0.0], obj), K),
    (lambda ix, obj: ix.create([[1.0, 2.0], [obj, 1.0]]), VS),
    (lambda ix, obj: PyFlat(obj), D),
    (lambda ix, obj: ix.insert(Seq([1.0, 2.0], iterator=lambda items: obj.__float__())), V),
]


@pytest.mark.parametrize(("call", "prefix"), SITES, ids=["vector", "query", "k", "vectors", "dim", "iter"])
@pytest.mark.parametrize(
    "original",
    [
        lambda: TypeError("inner"),
        lambda: chained(TypeError("inner")),
        lambda: NarrowTypeError("inner"),
        lambda: RuntimeError("inner"),
    ],
    ids=["type-error", "type-error-with-cause", "type-error-subclass", "other"],
)
def test_only_exact_type_errors_are_rewritten(call, prefix, original):
    original = original()
    if type(original) is TypeError:
        error = check_refused(lambda ix: call(ix, Raises(original)), TypeError, prefix + "inner")
        assert error is not original
        assert error.__cause__ is original.__cause__
        # The original, with the failing line of the caller's code, shows in
        # a traceback, unless a cause takes its place there.
        assert error.__context__ is original
        assert error.__suppress_context__ is (original.__cause__ is not None)
        shown = "".join(traceback.format_exception(error))
        assert ("raise self.exc" in shown) is (original.__cause__ is None)
    else:
        error = check_refused(lambda ix: call(ix, Raises(original)), type(original), "inner")
        assert error is original


def test_integer_like_arguments():
    index = PyFlat(IndexHook(2, lambda: None), StrSub("inner_product"))
    index.create([[1.0, 2.0], [3.0, 4.0]])
    assert index.search([1.0, 0.0], True) == [(0, 1.0)]
    assert index.search([1.0, 0.0], np.int64(5)) == [(0, 1.0), (1, 3.0)]
    assert index.search([1.0, 0.0], 2**64 - 1) == [(0, 1.0), (1, 3.0)]
    with raises_exact(ValueError, "Expected vector of length 18446744073709551615, got 1"):
        PyFlat(2**64 - 1).insert([1.0])


# -- fast paths and the general path give the same values -------------------------


def stored_rows(index, count, dim):
    """Read the stored coordinates back from an "inner_product" index: the dot
    product with a unit vector is the coordinate (for non-zero finite values)."""
    rows = [[None] * dim for _ in range(count)]
    for j in range(dim):
        unit = [0.0] * dim
        unit[j] = 1.0
        for i, value in index.search(unit, count + 1):
            rows[i][j] = value
    return rows


ROW = [0.1, -2.5, 1e300, 5e-324, 3.0]
SMALL = [1.5, -2.0, 3.25, 0.0078125, 100.0]  # exact in float32
INTS = [7.0, 3.0, 2.0, 1.0, 40.0]


class FloatSub(float):
    def __float__(self):  # a float subclass is read by value, not through __float__
        return 99.0


class ReversedList(list):
    def __iter__(self):
        return reversed(self[:])


def readonly(a):
    a.flags.writeable = False
    return a


VECTOR_FORMS = [
    ("tuple", tuple, ROW),
    ("tuple-subclass", type("T", (tuple,), {}), ROW),
    ("custom-sequence", Seq, ROW),
    # A length is only a hint: its ordinary failures are passed over.
    ("length-raises", lambda r: Seq(r, length=TypeError("no length")), ROW),
    ("length-too-big", lambda r: Seq(r, length=2**70), ROW),
    ("length-negative", lambda r: Seq(r, length=-1), ROW),
    ("length-lies", lambda r: Seq(r, length=10**6), ROW),
    ("list-subclass-own-iter", lambda r: ReversedList(reversed(r)), ROW),
    ("getitem-only", lambda r: type("G", (), {"__getitem__": lambda s, i: r[i]})(), ROW),
    ("numpy", np.array, ROW),
    ("numpy-strided", lambda r: np.repeat(np.array(r), 2)[::2], ROW),
    ("numpy-readonly", lambda r: readonly(np.array(r)), ROW),
    ("numpy-big-endian", lambda r: np.array(r, dtype=">f8"), ROW),
    ("numpy-float32", lambda r: np.array(r, dtype=np.float32), SMALL),
    ("numpy-scalars", lambda r: [np.float64(x) for x in r], ROW),
    ("memoryview-d", lambda r: memoryview(array.array("d", r)), ROW),
    ("array-f", lambda r: array.array("f", r), SMALL),
    ("float-subclass-items", lambda r: [FloatSub(x) for x in r], ROW),
    ("index-items", lambda r: [IndexHook(int(x), lambda: None) for x in r], INTS),
    ("bytes", lambda r: bytes(int(x) for x in r), INTS),
]


@pytest.mark.parametrize(("make", "row"), [f[1:] for f in VECTOR_FORMS], ids=[f[0] for f in VECTOR_FORMS])
@pytest.mark.timeout(30)
def test_vector_forms_store_the_same_values(make, row):
    index = PyFlat(len(row), "inner_product")
    index.insert(make(row))
    index.create([make(row), make(row)])
    assert_same(stored_rows(index, 3, len(row)), [row] * 3)


MATRIX = [[0.1, -2.5, 1e300], [5e-324, 3.0, -7.25], [1.0, 2.0, 1.0], [-0.3, 1e-300, 4.0]]

MATRIX_FORMS = [
    ("numpy", np.array, MATRIX),
    ("numpy-fortran", lambda m: np.asfortranarray(np.array(m)), MATRIX),
    ("numpy-row-strided", lambda m: np.repeat(np.array(m), 2, axis=0)[::2], MATRIX),
    ("numpy-column-strided", lambda m: np.repeat(np.array(m), 2, axis=1)[:, ::2], MATRIX),
    ("numpy-big-endian", lambda m: np.array(m, dtype=">f8"), MATRIX),
    ("numpy-float32", lambda m: np.array(m, dtype=np.float32), [SMALL[:3], SMALL[2:], INTS[:3], INTS[2:]]),
    ("numpy-rows", lambda m: tuple(np.array(r) for r in m), MATRIX),
]


@pytest.mark.parametrize(("make", "matrix"), [f[1:] for f in MATRIX_FORMS], ids=[f[0] for f in MATRIX_FORMS])
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
    from_lists, from_numpy = PyFlat(9, metric), PyFlat(9, metric)
    from_lists.create(data.tolist())
    from_numpy.create(data)
    for q in rng.standard_normal((5, 9)):
        expected = from_lists.search(q.tolist(), 12)
        assert_same(from_numpy.search(q.tolist(), 12), expected)
        assert_same(from_lists.search(q, 12), expected)


def interpreter_message(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value)


def test_numpy_with_other_dimensions_takes_the_general_path():
    only_scalars = interpreter_message(lambda: float(np.ones(2)))
    zero_d = interpreter_message(lambda: iter(np.array(1.0)))
    for call, message in [
        (lambda ix: ix.insert(np.ones((1, 2))), V + only_scalars),
        (lambda ix: ix.search(np.ones((1, 2))), Q + only_scalars),
        (lambda ix: ix.create(np.ones((1, 1, 2))), VS + only_scalars),
        (lambda ix: ix.insert(np.array(1.0)), V + zero_d),
        # A 1-D array's items are numpy scalars, which are no sequences.
        (lambda ix: ix.create(np.array([1.0, 2.0])), VS + "'float64' " + NOT_SEQ),
    ]:
        check_refused(call, TypeError, message)


def test_numpy_lengths_are_checked():
    index = PyFlat(3)
    with raises_exact(ValueError, "Expected vector of length 3, got 4"):
        index.insert(np.ones(4))
    with raises_exact(ValueError, "Create error: EmptyVectors"):
        index.create(np.ones((0, 3)))
    with pytest.raises(BaseException, match="^Vector length 4 does not match index dimension 3$"):
        index.create(np.ones((2, 4)))
    with raises_exact(ValueError, "Search error: EmptyIndex"):
        index.search(np.ones(3))


# -- lists changed by the conversion itself ----------------------------------------


class Mutator:
    """An item whose __float__ changes a list that is being converted."""

    def __init__(self, target, change):
        self.target, self.change = target, change

    def __float__(self):
        self.change(self.target)
        return 2.0


@pytest.mark.timeout(30)
def test_lists_changed_during_conversion():
    # Iteration sees each list as it is when the next item is fetched.
    index = PyFlat(2, "inner_product")
    vector = [1.0]
    vector.extend([Mutator(vector, list.clear), 3.0])
    index.insert(vector)
    outer = [[1.0, 4.0], [5.0, 6.0], [7.0, 8.0]]
    outer[0][1] = Mutator(outer, list.clear)
    index.create(outer)
    assert stored_rows(index, 2, 2) == [[1.0, 2.0], [1.0, 2.0]]
    vector = [1.0]
    vector.append(Mutator(vector, lambda v: v.extend([5.0] * 50)))
    with raises_exact(ValueError, "Expected vector of length 2, got 52"):
        index.insert(vector)


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
    (
        "insert-then-search",
        lambda ix, o: ix.insert([1.0, o]),
        lambda ix: ix.search([0.0, 0.0]),
        "Already mutably borrowed",
    ),
    ("insert-then-insert", lambda ix, o: ix.insert([o, 1.0]), lambda ix: ix.insert([1.0, 1.0]), "Already borrowed"),
    (
        "create-then-search",
        lambda ix, o: ix.create([[1.0, 1.0], [1.0, o]]),
        lambda ix: ix.search([0.0, 0.0]),
        "Already mutably borrowed",
    ),
    (
        "create-then-create",
        lambda ix, o: ix.create([[1.0, 1.0], [1.0, o]]),
        lambda ix: ix.create([[1.0, 1.0]]),
        "Already borrowed",
    ),
    ("search-then-insert", lambda ix, o: ix.search([1.0, o]), lambda ix: ix.insert([1.0, 1.0]), "Already borrowed"),
    (
        "k-then-create",
        lambda ix, o: ix.search([1.0, 1.0], IndexHook(1, o.hook)),
        lambda ix: ix.create([[1.0, 1.0]]),
        "Already borrowed",
    ),
]


@pytest.mark.parametrize(("outer", "inner", "message"), [r[1:] for r in REENTRANT], ids=[r[0] for r in REENTRANT])
@pytest.mark.timeout(30)
def test_reentrant_call_is_refused(outer, inner, message):
    index, inner_errors = seeded(), []
    item = FloatHook(2.0, capture(inner_errors, lambda: inner(index)))
    error = check_refused(lambda ix: outer(ix, item), RuntimeError, message, index)
    assert inner_errors == [error]


@pytest.mark.timeout(30)
def test_searches_share_the_index():
    index = seeded()
    seen = []
    item = FloatHook(
        0.0, lambda: seen.append(index.search([0.0, 0.0], IndexHook(1, lambda: seen.append(index.search([0.0, 0.0])))))
    )
    assert index.search([item, 0.0]) == [(0, 0.0)]
    assert seen == [[(0, 0.0)], [(0, 0.0)]]
    assert_untouched_and_free(index)


@pytest.mark.parametrize(
    ("outer", "inner"),
    [
        (lambda ix, o: ix.insert([o, 1.0]), lambda ix: ix.search([0.0, 0.0])),
        (lambda ix, o: ix.search([o, 1.0]), lambda ix: ix.insert([1.0, 1.0])),
        (lambda ix, o: ix.create([[o, 1.0]]), lambda ix: ix.create([[1.0, 1.0]])),
    ],
    ids=["insert", "search", "create"],
)
@pytest.mark.timeout(30)
def test_swallowed_refusals_leave_the_borrow_intact(outer, inner):
    index = seeded()
    refusals = []

    def hook():
        for _ in range(3):
            try:
                inner(index)
            except RuntimeError as e:
                refusals.append(e)

    outer(index, FloatHook(1.0, hook))
    assert len(refusals) == 3
    index.insert([6.0, 8.0])  # the outer call released its borrow
    assert index.search([0.0, 0.0])[0] == (0, 0.0)


@pytest.mark.timeout(30)
def test_binding_errors_come_before_the_borrow():
    index, inner_errors = seeded(), []
    item = FloatHook(1.0, capture(inner_errors, lambda: index.search()))
    missing = f"{SEARCH} missing 1 required positional argument: 'query'"
    # The inner binding error is a TypeError, so the outer call rewrites it.
    check_refused(lambda ix: ix.insert([item, 1.0]), TypeError, V + missing, index)
    assert [(type(e), str(e)) for e in inner_errors] == [(TypeError, missing)]


@pytest.mark.parametrize(("outer", "search_outcome"), [("insert", "Already mutably borrowed"), ("search", [(0, 0.0)])])
@pytest.mark.timeout(30)
def test_other_threads_are_refused_at_once(outer, search_outcome):
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
        assert attempt(lambda: index.insert([1.0, 1.0])) == "Already borrowed"
    finally:
        release.set()
        thread.join(20)
    assert finished == [outer]
    index.insert([5.0, 5.0])
