"""Complex input is refused, never truncated to its real part: numpy's own
conversion would drop the imaginary part (with only a warning), so every
complex form gets the TypeError that Python gives for a complex float()."""

import warnings

import numpy as np
import pytest

import ombrix
from conftest import raises_exact

MESSAGE = "must be real number, not complex"

VECTORS = {
    "complex128-array": lambda: np.array([1 + 2j, 3j]),
    "complex64-array": lambda: np.array([1, 2], dtype=np.complex64),  # zero imaginary parts too
    "clongdouble-array": lambda: np.array([1, 2], dtype=np.clongdouble),
    "strided-complex": lambda: np.arange(4, dtype=np.complex128)[::2],
    "python-complex-items": lambda: [1 + 2j, 0.0],
    "complex128-scalars": lambda: [np.complex128(1), 1.0],
    "complex64-scalars": lambda: [1.0, np.complex64(1)],
}
BATCHES = {
    "2-d complex array": lambda: np.ones((3, 2), dtype=np.complex128),
    "list of complex rows": lambda: [np.zeros(2), np.ones(2, dtype=np.complex64)],
    "list with complex items": lambda: [[0.0, 0.0], [1.0, 1j]],
}


def indexes():
    flat = ombrix.PyFlat(2)
    flat.insert([0.0, 0.0])
    hnsw = ombrix.PyHNSW(2, metric="euclidean")
    hnsw.insert([0.0, 0.0])
    return {"PyFlat": flat, "PyHNSW": hnsw}


def contents(index):
    return index.search([0.0, 0.0], 10)


@pytest.fixture(autouse=True)
def no_warnings():
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a ComplexWarning would mean it was converted
        yield


@pytest.mark.parametrize("kind", ["PyFlat", "PyHNSW"])
@pytest.mark.parametrize("method", ["insert", "search"])
@pytest.mark.parametrize("make", VECTORS.values(), ids=VECTORS.keys())
def test_complex_vectors_are_refused(kind, method, make):
    index = indexes()[kind]
    before = contents(index)
    name = "vector" if method == "insert" else "query"
    with raises_exact(TypeError, f"argument '{name}': {MESSAGE}"):
        getattr(index, method)(make())
    assert contents(index) == before


@pytest.mark.parametrize("kind", ["PyFlat", "PyHNSW"])
@pytest.mark.parametrize("make", BATCHES.values(), ids=BATCHES.keys())
def test_complex_batches_store_nothing(kind, make):
    index = indexes()[kind]
    before = contents(index)
    with raises_exact(TypeError, f"argument 'vectors': {MESSAGE}"):
        index.create(make())
    assert contents(index) == before


def test_the_real_part_is_accepted():
    flat = ombrix.PyFlat(2)
    flat.create(np.array([[3 + 1j, 4 - 1j]]).real)
    assert flat.search([0, 0]) == [(0, 5.0)]


COMPLEX_VALUES = {
    "python": lambda: 3 + 4j,
    "complex128": lambda: np.complex128(3 + 4j),
    "complex64": lambda: np.complex64(3),
    "clongdouble": lambda: np.clongdouble(3 + 4j),
    "0-d array": lambda: np.array(3 + 4j),
}


# numpy's complex scalars converted through their __float__, so that a filter
# for 3+9j matched a stored 3+4j (both stored and sought as 3.0). Warnings are
# recorded rather than raised here: raised, they too made the value refused.
@pytest.mark.parametrize("make", COMPLEX_VALUES.values(), ids=COMPLEX_VALUES.keys())
def test_complex_metadata_and_filter_values_are_refused(make):
    index = ombrix.PyHNSW(2, metric="euclidean", schema=["c"])
    index.insert([0.0, 0.0], [("c", 3.0)])
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        with raises_exact(ValueError, "Unsupported metadata type for attribute 'c'"):
            index.insert([1.0, 1.0], [("c", make())])
        with raises_exact(ValueError, "Unsupported metadata type for attribute 'c'"):
            index.create([[1.0, 1.0]], [[("c", make())]])
        with raises_exact(ValueError, "Unsupported type for metadata filter"):
            index.search([0.0, 0.0], 1, ("c", make()))
    assert seen == []
    assert contents(index) == [(0.0, [0.0, 0.0])]
