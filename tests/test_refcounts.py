"""Every path through a call, failing ones above all, returns the references
it took: repeated calls leave the arguments' reference counts unchanged."""

import sys

import numpy as np
import pytest

import ombrix
from conftest import FloatHook

CALLS = 10_000
PyFlat = ombrix.PyFlat


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


def seeded():
    index = PyFlat(2)
    index.insert([1.0, 1.0])
    return index


def arguments():
    """Fresh, mortal objects (small ints and None are immortal in 3.13)."""
    x, y = float("1.5"), float("2.5")
    return dict(
        x=x,
        y=y,
        pair=[x, y],
        big=int("1000"),
        negative=int("-1000"),
        text="".join(["a", "b"]),
        opaque=Opaque(),
        raiser=RaisesTypeError(),
        array=np.ones(3),
        matrix=np.ones((2, 3)),
    )


# Each case: (name, index factory, call(index, a) that must fail, names of a's tracked objects)
CASES = [
    ("new-bad-dim", None, lambda ix, a: PyFlat(a["x"]), ["x"]),
    ("new-negative-dim", None, lambda ix, a: PyFlat(a["negative"]), ["negative"]),
    ("new-bad-metric", None, lambda ix, a: PyFlat(a["big"], a["opaque"]), ["big", "opaque"]),
    ("new-unexpected-keyword", None, lambda ix, a: PyFlat(a["big"], bogus=a["opaque"]), ["big", "opaque"]),
    ("new-too-many", None, lambda ix, a: PyFlat(a["big"], a["text"], a["x"]), ["big", "text", "x"]),
    ("insert-str", seeded, lambda ix, a: ix.insert(a["text"]), ["text"]),
    ("insert-not-a-sequence", seeded, lambda ix, a: ix.insert(a["opaque"]), ["opaque"]),
    ("insert-bad-item", seeded, lambda ix, a: ix.insert([a["x"], a["opaque"]]), ["x", "opaque"]),
    ("insert-rewritten-error", seeded, lambda ix, a: ix.insert((a["x"], a["raiser"])), ["x", "raiser"]),
    ("insert-wrong-length", seeded, lambda ix, a: ix.insert(a["pair"] + [a["y"]]), ["pair", "x", "y"]),
    ("insert-multiple-values", seeded, lambda ix, a: ix.insert(a["pair"], vector=a["pair"]), ["pair", "x"]),
    (
        "insert-reentrant",
        seeded,
        lambda ix, a: ix.insert([a["x"], FloatHook(a["y"], lambda: ix.search(a["pair"]))]),
        ["pair", "x", "y"],
    ),
    ("insert-numpy-wrong-length", seeded, lambda ix, a: ix.insert(a["array"]), ["array"]),
    ("insert-numpy-2d", seeded, lambda ix, a: ix.insert(a["matrix"]), ["matrix"]),
    ("search-empty", PyFlat, lambda ix, a: ix.search(a["pair"], a["big"]), ["pair", "x", "big"]),
    ("search-wrong-length", seeded, lambda ix, a: ix.search([a["x"]]), ["x"]),
    ("search-bad-k", seeded, lambda ix, a: ix.search(a["pair"], a["raiser"]), ["pair", "raiser"]),
    ("search-negative-k", seeded, lambda ix, a: ix.search(a["pair"], a["negative"]), ["pair", "negative"]),
    ("search-unexpected-keyword", seeded, lambda ix, a: ix.search(a["pair"], kk=a["opaque"]), ["pair", "opaque"]),
    (
        "search-reentrant",
        seeded,
        lambda ix, a: ix.search([a["x"], FloatHook(a["y"], lambda: ix.insert(a["pair"]))]),
        ["pair", "x", "y"],
    ),
    ("create-empty", seeded, lambda ix, a: ix.create(a["pair"][:0]), ["pair"]),
    ("create-bad-inner", seeded, lambda ix, a: ix.create([a["pair"], a["opaque"]]), ["pair", "x", "opaque"]),
    ("create-bad-item", seeded, lambda ix, a: ix.create([[a["x"], a["text"]]]), ["x", "text"]),
    ("create-internal-failure", PyFlat, lambda ix, a: ix.create([a["pair"], [a["y"]]]), ["pair", "x", "y"]),
    ("create-numpy-internal-failure", PyFlat, lambda ix, a: ix.create(a["matrix"]), ["matrix"]),
]


def fail_repeatedly(call, times):
    for _ in range(times):
        try:
            call()
        except BaseException:
            pass
        else:
            raise AssertionError("the call did not fail")


@pytest.mark.parametrize(("make", "call", "tracked"), [c[1:] for c in CASES], ids=[c[0] for c in CASES])
@pytest.mark.timeout(120)
def test_failing_calls_keep_reference_counts(make, call, tracked):
    index = make(2) if make is PyFlat else make() if make else None
    a = arguments()
    objects = [a[name] for name in tracked]
    fail_repeatedly(lambda: call(index, a), 100)  # warm-up: interned names, lazily made types
    before = [sys.getrefcount(o) for o in objects]
    fail_repeatedly(lambda: call(index, a), CALLS)
    assert [sys.getrefcount(o) for o in objects] == before


@pytest.mark.timeout(120)
def test_successful_calls_keep_reference_counts():
    index, a = PyFlat(2, "cosine"), arguments()
    matrix = np.ones((2, 2))
    index.create([a["pair"]] * 4)
    calls = [
        lambda: index.search(a["pair"], a["big"]),
        lambda: index.search(query=matrix[0], k=a["big"]),
        lambda: index.insert(a["pair"]),
        lambda: index.create(matrix),
    ]
    objects = [a["pair"], a["x"], a["big"], matrix]
    for call in calls:
        call()
    before = [sys.getrefcount(o) for o in objects]
    for call in calls:
        for _ in range(CALLS // 4):
            call()
    assert [sys.getrefcount(o) for o in objects] == before
