"""Arbitrary objects for every argument of every constructor and method,
each call checked against a shadow model: only the documented exception
types, and after a refused call the index answers exactly as before. What a
hostile object's own method raises, other than the ordinary TypeError,
OverflowError and ValueError that a conversion may pass over, must come out
of the call unchanged (KeyboardInterrupt, MemoryError and the like included),
and nothing may run after it.

The shadow is a second index fed only plain lists of floats, converted here
by the documented rule; PyHNSW runs with layers=1, where the graph is
deterministic, so both indexes must answer every search identically.
`OMBRIX_FUZZ_EXAMPLES` sets the examples per test (`make fuzz` runs many).
"""

import math
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import ombrix
from conftest import assert_same

EXAMPLES = int(os.environ.get("OMBRIX_FUZZ_EXAMPLES", "150"))
fuzz_settings = settings(
    max_examples=EXAMPLES, deadline=None, derandomize=True, database=None, suppress_health_check=list(HealthCheck)
)

# What a call may raise: the documented refusals, and (passed on as raised)
# what the hostile objects' own methods raise. The internal-failure class is
# looked up by name because it is created on first use.
DOCUMENTED = (TypeError, ValueError, ArithmeticError, RuntimeError, MemoryError, LookupError)
HOSTILE = [KeyboardInterrupt, SystemExit, GeneratorExit, MemoryError]
ORDINARY = (TypeError, OverflowError, ValueError)
# What hostile methods raised other than ordinary errors, since the last call.
RAISED = []


def hostile_raise(error_type):
    error = error_type("hostile")
    if not issubclass(error_type, ORDINARY):
        RAISED.append(error)
    raise error


def documented(error):
    return isinstance(error, DOCUMENTED) or type(error).__name__ == "InternalError"


def attempt(method, *args):
    """Calls method; returns the exception it raised, or None. Checks that
    the first extraordinary error a hostile method raised is the call's own
    and that no hostile method ran after it."""
    RAISED.clear()
    try:
        method(*args)
        error = None
    except BaseException as caught:  # noqa: B036
        error = caught
    if RAISED:
        assert len(RAISED) == 1 and error is RAISED[0], f"{RAISED!r} -> {error!r}"
    else:
        assert error is None or documented(error), f"{type(error).__name__}: {error}"
    return error


# -- the documented conversions, in Python -----------------------------------


class Refused(Exception):
    pass


def ref_float(x):
    if type(x) is float:
        return x
    if isinstance(x, (complex, np.complexfloating)) or (isinstance(x, np.ndarray) and x.dtype.kind == "c"):
        raise Refused
    t = type(x)
    try:
        if hasattr(t, "__float__"):
            r = t.__float__(x)
            if not isinstance(r, float):
                raise Refused
            return float(r)
        if hasattr(t, "__index__"):
            return float(t.__index__(x))
    except BaseException as error:  # noqa: B036 - hostile methods raise anything
        raise Refused from error
    raise Refused


def ref_vector(obj):
    if isinstance(obj, str) or isinstance(obj, dict) or not hasattr(type(obj), "__getitem__"):
        raise Refused
    try:
        items = [x for x in iter(obj)]  # iter() alone: the length is only a hint
    except BaseException as error:  # noqa: B036
        raise Refused from error
    return [ref_float(x) for x in items]


def ref_batch(obj):
    if isinstance(obj, str) or isinstance(obj, dict) or not hasattr(type(obj), "__getitem__"):
        raise Refused
    try:
        rows = [x for x in iter(obj)]
    except BaseException as error:  # noqa: B036
        raise Refused from error
    return [ref_vector(row) for row in rows]


def ref_u64(x):
    try:
        import operator

        value = operator.index(x)
    except BaseException as error:  # noqa: B036
        raise Refused from error
    if not 0 <= value < 2**64:
        raise Refused
    return value


# -- hostile and ordinary objects --------------------------------------------


class Claims:
    """A sequence whose __len__ is whatever it is told (or raises)."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, type):
            hostile_raise(self.length)
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class BadIter(Claims):
    """Iteration fails after `length` items, or __iter__ returns junk."""

    def __iter__(self):
        if self.length == -1:
            return 5
        return self._gen()

    def _gen(self):
        for i, item in enumerate(self.items):
            if i == self.length:
                hostile_raise(KeyError)
            yield item


class Num:
    """A number-like object through __float__ or __index__ (either may lie)."""

    def __init__(self, value, kind):
        self.value, self.kind = value, kind

    def __float__(self):
        if self.kind == "float":
            return self.value
        if self.kind == "float-wrong":
            return "not a float"
        hostile_raise(ArithmeticError)

    def __index__(self):
        if self.kind == "index" and isinstance(self.value, int):
            return self.value
        hostile_raise(ArithmeticError)


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, type):
            hostile_raise(self.value)
        return self.value


class FloatOnly:
    """Only __float__, which raises `error_type`: reached by the float step
    of a metadata value after the integer step found nothing."""

    def __init__(self, error_type):
        self.error_type = error_type

    def __float__(self):
        hostile_raise(self.error_type)


floats = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from([-0.0, 0.0, math.nan, math.inf, -math.inf])
ints = st.integers(-(2**70), 2**70) | st.sampled_from([0, 1, 2**63, 2**64 - 1, 2**64, -1])
scalars = st.one_of(
    floats,
    ints,
    st.booleans(),
    st.none(),
    st.text(st.characters(codec=None), max_size=4),
    st.binary(max_size=4),
    st.complex_numbers(max_magnitude=3),
    st.builds(Num, floats | ints, st.sampled_from(["float", "float-wrong", "raise", "index"])),
    st.builds(IndexOnly, ints | st.sampled_from(HOSTILE)),
    st.builds(FloatOnly, st.sampled_from(HOSTILE)),
)
dtypes = hnp.scalar_dtypes() | hnp.byte_string_dtypes(max_len=2) | hnp.unicode_string_dtypes(max_len=2)
arrays = hnp.arrays(dtypes, hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=3)).flatmap(
    lambda a: st.sampled_from([a, a.T, a[::-1] if a.ndim else a, a.astype(a.dtype.newbyteorder())])
)


lengths = st.sampled_from([0, 3, -1, 2**62, 2**63 - 1, 2**70, OverflowError, ValueError, KeyError] + HOSTILE)


def claiming(items):
    """Sequences of `items` whose __len__ under- or over-reports, or raises."""
    return st.builds(Claims, items, lengths)


def sequences(items, max_size=4):
    lists = st.lists(items, max_size=max_size)
    return st.one_of(
        lists,
        lists.map(tuple),
        claiming(lists),
        st.builds(BadIter, lists, st.sampled_from([-1, 0, 1, 2])),
    )


def vectors(dim):
    """Mostly vectors of the right length, plus anything at all."""
    good = st.lists(floats | ints.filter(lambda v: abs(v) < 2**60), min_size=dim, max_size=dim)
    return st.one_of(good, good.map(tuple), good.map(np.array), sequences(scalars), arrays, scalars)


anything = st.recursive(scalars | arrays, lambda inner: sequences(inner), max_leaves=12)


# -- shadow checks -------------------------------------------------------------


def flat_answers(index, dim, n):
    queries = [[0.0] * dim, [1.0 + i for i in range(dim)]]
    out = []
    for q in queries:
        try:
            out.append(index.search(q, n + 5))
        except ValueError as error:
            out.append(str(error))
    return out


@pytest.mark.parametrize("metric", [None, "cosine", "inner_product"])
@given(data=st.data())
@fuzz_settings
def test_flat_calls_against_a_shadow(metric, data):
    dim = data.draw(st.integers(0, 3), "dim")
    index, shadow = ombrix.PyFlat(dim, metric), ombrix.PyFlat(dim, metric)
    stored = 0
    for _ in range(data.draw(st.integers(1, 6), "calls")):
        method = data.draw(st.sampled_from(["insert", "create", "search"]))
        before = flat_answers(index, dim, stored)
        if method == "insert":
            arg = data.draw(vectors(dim) | anything, "vector")
            try:
                expected = ref_vector(arg)
            except Refused:
                expected = None
            if attempt(index.insert, arg) is None:
                assert expected is not None and len(expected) == dim, arg
                shadow.insert(expected)
                stored += 1
        elif method == "create":
            arg = data.draw(
                st.lists(vectors(dim), max_size=3) | claiming(st.lists(vectors(dim), max_size=3)) | anything, "vectors"
            )
            try:
                expected = ref_batch(arg)
            except Refused:
                expected = None
            error = attempt(index.create, arg)
            if error is None:
                assert expected is not None and all(len(v) == dim for v in expected), arg
                for v in expected:
                    shadow.insert(v)
                stored += len(expected)
            elif type(error).__name__ == "InternalError" and expected is not None:
                # The vectors before the first of another length stay stored.
                for v in expected:
                    if len(v) != dim:
                        break
                    shadow.insert(v)
                    stored += 1
        else:
            query = data.draw(vectors(dim) | anything, "query")
            k = data.draw(st.none() | ints | scalars, "k")
            got = []
            if attempt(lambda: got.append(index.search(query, k))) is None:
                assert_same(got[0], shadow.search(ref_vector(query), ref_u64(k) if k is not None else None))
        assert_same(flat_answers(index, dim, stored), flat_answers(shadow, dim, stored))
        if method == "search":
            assert_same(flat_answers(index, dim, stored), before)


def hnsw_answers(index, dim, filtered):
    queries = [[0.0] * dim, [1.0 + i for i in range(dim)]]
    out = [index.search(q, 50) for q in queries]
    if filtered:
        out += [index.search(queries[0], 50, filter=("c", v)) for v in ("red", 1, 1.5)]
    return out


metadata_values = st.one_of(st.sampled_from(["red", 1, 1.5, math.nan, True]), scalars)
pairs = st.lists(st.tuples(st.sampled_from(["c", "d", "x"]), metadata_values), max_size=3)
pair_lists = st.one_of(pairs, claiming(pairs), anything)
schemas = st.sampled_from([None, ["c"], ["c", "d"]]) | claiming(st.sampled_from([["c"], ["c", "d"]]))


@pytest.mark.parametrize("metric", ["euclidean", "angular", "inner_product"])
@given(data=st.data())
@fuzz_settings
def test_hnsw_calls_against_a_shadow(metric, data):
    dim = data.draw(st.integers(1, 3), "dim")
    schema = data.draw(schemas, "schema")
    made = []
    if (
        attempt(
            lambda: made.append(
                ombrix.PyHNSW(dim, layers=1, ef_construction=64, ef_search=64, metric=metric, schema=schema)
            )
        )
        is not None
    ):
        return
    names = schema.items if isinstance(schema, Claims) else schema
    index, shadow = made[0], ombrix.PyHNSW(dim, layers=1, ef_construction=64, ef_search=64, metric=metric, schema=names)
    for _ in range(data.draw(st.integers(1, 6), "calls")):
        method = data.draw(st.sampled_from(["insert", "create", "search"]))
        before = hnsw_answers(index, dim, names)
        if method == "insert":
            vector = data.draw(vectors(dim) | anything, "vector")
            metadata = data.draw(st.none() | pair_lists, "metadata")
            if attempt(index.insert, vector, metadata) is None:
                shadow.insert(ref_vector(vector), metadata)
        elif method == "create":
            batch = data.draw(st.lists(vectors(dim), max_size=3) | anything, "vectors")
            outer = st.lists(pair_lists, max_size=3)
            metadata = data.draw(st.none() | outer | claiming(outer) | anything, "metadata")
            error = attempt(index.create, batch, metadata)
            if error is None:
                shadow.create(ref_batch(batch), metadata)
            elif (
                isinstance(error, ValueError)
                and str(error).startswith("Create error: ")
                and hnsw_answers(index, dim, names) != before
            ):
                # Only a core error may keep part of a batch; the shadow cannot follow.
                return
        else:
            query = data.draw(vectors(dim) | anything, "query")
            k = data.draw(st.none() | ints | scalars, "k")
            filt = data.draw(st.none() | st.tuples(st.sampled_from(["c", "x"]), metadata_values) | anything, "filter")
            got = []
            if attempt(lambda: got.append(index.search(query, k, filt))) is None:
                assert_same(got[0], shadow.search(ref_vector(query), k, filt))
        assert_same(hnsw_answers(index, dim, names), hnsw_answers(shadow, dim, names))


@given(
    args=st.lists(anything | ints | st.text(max_size=3), max_size=8),
    kwargs=st.dictionaries(
        st.sampled_from(["dim", "layers", "m", "ef_construction", "ef_search", "metric", "schema", "bogus"]),
        anything | ints,
        max_size=3,
    ),
)
@fuzz_settings
def test_constructors_take_anything(args, kwargs):
    for cls in (ombrix.PyFlat, ombrix.PyHNSW):
        made = []
        if attempt(lambda: made.append(cls(*args, **kwargs))) is None:
            assert type(made[0]) is cls


@given(value=st.floats(-10, 10), when=st.integers(0, 2), inner=st.sampled_from(["insert", "search", "create"]))
@fuzz_settings
def test_reentrant_callbacks_into_the_same_or_another_index(value, when, inner):
    index, other = ombrix.PyFlat(2), ombrix.PyFlat(2)
    index.insert([0.0, 0.0])
    other.insert([0.0, 0.0])
    before = index.search([1.0, 1.0], 5)
    seen = []

    def hook():
        for target in (index, other):
            try:
                call = getattr(target, inner)
                call([[1.0, 1.0]] if inner == "create" else [1.0, 1.0])
                seen.append("ok")
            except RuntimeError as error:
                seen.append(str(error))

    items = [value, value]
    items[when % 2] = Num(value, "float")
    items[when % 2].__class__ = type("Hooked", (Num,), {"__float__": lambda self: (hook(), self.value)[1]})
    try:
        index.insert(items)
        inserted = True
    except RuntimeError:
        inserted = False
    assert seen[0] == "Already mutably borrowed" if inner == "search" else seen[0] == "Already borrowed"
    assert seen[1] == "ok"
    assert not inserted or len(index.search([1.0, 1.0], 5)) == len(before) + 1
    if not inserted:
        assert_same(index.search([1.0, 1.0], 5), before)
