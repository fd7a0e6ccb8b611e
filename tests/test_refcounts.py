"""Every path through a call, failing ones above all, returns the references
it took: repeated calls leave the arguments' reference counts unchanged."""

import sys

import numpy as np
import pytest

import ombrix
from conftest import FloatHook

CALLS = 10_000
PyFlat = ombrix.PyFlat


def runtime_float(x):
    return float(str(x))  # a new, mortal float object


def runtime_int(x):
    return int(str(x))  # outside the small-int cache: a new, mortal int


class Opaque:
    """Neither a sequence nor a number."""


class RaisesTypeError:
    def __float__(self):
        try:
            raise KeyError("cause")
        except KeyError as cause:
            raise TypeError("no float") from cause

    def __index__(self):
        raise TypeError("no index")


def seeded(dim=2):
    index = PyFlat(dim)
    index.insert([1.0] * dim)
    return index


def case_new_bad_dim():
    dim = runtime_float(2.5)
    return lambda: PyFlat(dim), [dim]


def case_new_negative_dim():
    dim = runtime_int(-1000)
    return lambda: PyFlat(dim), [dim]


def case_new_bad_metric():
    dim, metric = runtime_int(1000), Opaque()
    return lambda: PyFlat(dim, metric), [dim, metric]


def case_new_unexpected_keyword():
    dim, value = runtime_int(1000), Opaque()
    return lambda: PyFlat(dim, bogus=value), [dim, value]


def case_new_too_many():
    dim, metric, extra = runtime_int(1000), "co" + str(len("sine")), Opaque()
    return lambda: PyFlat(dim, metric, extra), [dim, metric, extra]


def case_insert_str():
    index, vector = seeded(), "".join(["a", "b"])
    return lambda: index.insert(vector), [index, vector]


def case_insert_not_a_sequence():
    index, vector = seeded(), Opaque()
    return lambda: index.insert(vector), [vector]


def case_insert_bad_item():
    index, x, item = seeded(), runtime_float(1.5), Opaque()
    vector = [x, item]
    return lambda: index.insert(vector), [vector, x, item]


def case_insert_rewritten_item_error():
    index, x, item = seeded(), runtime_float(1.5), RaisesTypeError()
    vector = (x, item)
    return lambda: index.insert(vector), [vector, x, item]


def case_insert_wrong_length():
    index = seeded()
    x, y, z = (runtime_float(v) for v in (1.5, 2.5, 3.5))
    vector = [x, y, z]
    return lambda: index.insert(vector), [vector, x, y, z]


def case_insert_multiple_values():
    index, x = seeded(), runtime_float(1.5)
    vector = [x, x]
    return lambda: index.insert(vector, vector=vector), [vector, x]


def case_insert_reentrant():
    index, x = seeded(), runtime_float(1.5)
    item = FloatHook(x, lambda: index.search(vector))
    vector = [x, item]
    return lambda: index.insert(vector), [vector, x, item]


def case_insert_numpy_wrong_length():
    index, vector = seeded(), np.ones(3)
    return lambda: index.insert(vector), [vector]


def case_insert_numpy_2d():
    index, vector = seeded(), np.ones((1, 2))
    return lambda: index.insert(vector), [vector]


def case_search_empty():
    index, x = PyFlat(2), runtime_float(1.5)
    query, k = [x, x], runtime_int(1000)
    return lambda: index.search(query, k), [query, x, k]


def case_search_wrong_length():
    index, x = seeded(), runtime_float(1.5)
    query = [x]
    return lambda: index.search(query), [query, x]


def case_search_bad_k():
    index, x, k = seeded(), runtime_float(1.5), RaisesTypeError()
    query = [x, x]
    return lambda: index.search(query, k), [query, x, k]


def case_search_negative_k():
    index, x, k = seeded(), runtime_float(1.5), runtime_int(-1000)
    query = [x, x]
    return lambda: index.search(query, k), [query, x, k]


def case_search_unexpected_keyword():
    index, x, value = seeded(), runtime_float(1.5), Opaque()
    query = [x, x]
    return lambda: index.search(query, kk=value), [query, x, value]


def case_search_reentrant():
    index, x = seeded(), runtime_float(1.5)
    item = FloatHook(x, lambda: index.insert(query))
    query = [x, item]
    return lambda: index.search(query), [query, x, item]


def case_create_empty():
    index, vectors = seeded(), []
    return lambda: index.create(vectors), [vectors]


def case_create_bad_inner():
    index, x, opaque = seeded(), runtime_float(1.5), Opaque()
    inner = [x, x]
    vectors = [inner, opaque]
    return lambda: index.create(vectors), [vectors, inner, x, opaque]


def case_create_bad_item():
    index, x, name = seeded(), runtime_float(1.5), "".join(["a", "b"])
    inner = [x, name]
    vectors = [inner]
    return lambda: index.create(vectors), [vectors, inner, x, name]


def case_create_internal_failure():
    index, x, y = PyFlat(2), runtime_float(1.5), runtime_float(2.5)
    first, second = [x, y], [y]
    vectors = [first, second]
    return lambda: index.create(vectors), [vectors, first, second, x, y]


def case_create_numpy_internal_failure():
    index, vectors = PyFlat(2), np.ones((2, 3))
    return lambda: index.create(vectors), [vectors]


CASES = [(name[len("case_"):], f) for name, f in sorted(globals().items())
         if name.startswith("case_")]


def repeat(call):
    for _ in range(CALLS):
        try:
            call()
        except BaseException:
            pass


@pytest.mark.parametrize("case", [f for _, f in CASES], ids=[n for n, _ in CASES])
@pytest.mark.timeout(120)
def test_failing_calls_keep_reference_counts(case):
    call, tracked = case()
    with pytest.raises(BaseException):
        call()
    for _ in range(100):  # warm-up: caches, interned names, lazily created types
        try:
            call()
        except BaseException:
            pass
    before = [sys.getrefcount(o) for o in tracked]
    repeat(call)
    after = [sys.getrefcount(o) for o in tracked]
    assert after == before


@pytest.mark.timeout(120)
def test_successful_calls_keep_reference_counts():
    index, x, k = PyFlat(2, "cosine"), runtime_float(1.5), runtime_int(1000)
    vector, matrix = [x, x], np.ones((2, 2))
    index.create([vector] * 4)
    tracked = [vector, x, k, matrix]
    calls = [lambda: index.search(vector, k), lambda: index.search(query=matrix[0], k=k),
             lambda: index.insert(vector), lambda: index.create(matrix)]
    for call in calls:
        call()
    before = [sys.getrefcount(o) for o in tracked]
    for call in calls:
        for _ in range(CALLS // 4):
            call()
    assert [sys.getrefcount(o) for o in tracked] == before
