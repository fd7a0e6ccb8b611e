"""A conversion passes over a failed attempt (a sequence's length, which is
only a hint; the integer or float step of a metadata or filter value) only
when it failed in the ordinary way: TypeError, OverflowError or ValueError.
Anything else, Ctrl-C's KeyboardInterrupt and MemoryError among them,
propagates unchanged and the call stores nothing."""

import textwrap

import pytest

import ombrix
from conftest import assert_child_ok, run_child

ORDINARY = [TypeError, OverflowError, ValueError]
PROPAGATED = [KeyboardInterrupt, SystemExit, GeneratorExit, MemoryError, RuntimeError, KeyError]


class Claims:
    """A sequence whose __len__ raises `error`."""

    def __init__(self, items, error):
        self.items, self.error = items, error

    def __len__(self):
        raise self.error

    def __getitem__(self, i):
        return self.items[i]


class IndexRaises:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class FloatRaises:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


def flat():
    index = ombrix.PyFlat(2)
    index.insert([0.0, 0.0])
    return index


def hnsw():
    index = ombrix.PyHNSW(2, layers=1, metric="euclidean", schema=["c"])
    index.insert([0.0, 0.0], [("c", 0)])
    return index


def contents(index):
    return None if index is None else index.search([1.0, 1.0], 100)


UNSUPPORTED_ROW = (ValueError, "Unsupported metadata type for attribute 'c'")
UNSUPPORTED_FILTER = (ValueError, "Unsupported type for metadata filter")
V, ROW = [1.0, 2.0], [("c", 1)]

# name: (make index, call(index, error), outcome when the failure is ordinary:
# None when the call goes on and succeeds, else the (type, message) raised)
SITES = {
    "vector length": (flat, lambda ix, e: ix.insert(Claims(V, e)), None),
    "query length": (flat, lambda ix, e: ix.search(Claims(V, e)), None),
    "batch length": (flat, lambda ix, e: ix.create(Claims([V], e)), None),
    "batch vector length": (flat, lambda ix, e: ix.create([V, Claims(V, e)]), None),
    "hnsw vector length": (hnsw, lambda ix, e: ix.insert(Claims(V, e), ROW), None),
    "schema length": (lambda: None, lambda ix, e: ombrix.PyHNSW(2, metric="angular", schema=Claims(["c"], e)), None),
    "metadata length": (hnsw, lambda ix, e: ix.insert(V, Claims(ROW, e)), None),
    "create metadata length": (hnsw, lambda ix, e: ix.create([V], Claims([ROW], e)), None),
    "create pair list length": (hnsw, lambda ix, e: ix.create([V, V], [ROW, Claims(ROW, e)]), None),
    "metadata __index__": (hnsw, lambda ix, e: ix.insert(V, [("c", IndexRaises(e))]), UNSUPPORTED_ROW),
    "metadata __float__": (hnsw, lambda ix, e: ix.insert(V, [("c", FloatRaises(e))]), UNSUPPORTED_ROW),
    "create metadata __index__": (
        hnsw,
        lambda ix, e: ix.create([V, V], [ROW, [("c", IndexRaises(e))]]),
        UNSUPPORTED_ROW,
    ),
    "filter __index__": (hnsw, lambda ix, e: ix.search(V, 1, ("c", IndexRaises(e))), UNSUPPORTED_FILTER),
    "filter __float__": (hnsw, lambda ix, e: ix.search(V, 1, ("c", FloatRaises(e))), UNSUPPORTED_FILTER),
}


@pytest.mark.parametrize("error_type", ORDINARY + PROPAGATED, ids=lambda t: t.__name__)
@pytest.mark.parametrize("site", SITES)
def test_only_ordinary_failures_are_passed_over(site, error_type):
    make, call, ordinary = SITES[site]
    index = make()
    before = contents(index)
    error = error_type("hostile")
    try:
        call(index, error)
        raised = None
    except BaseException as caught:  # noqa: B036 - KeyboardInterrupt and friends are the point
        raised = caught
    if error_type in ORDINARY:
        if ordinary is None:
            assert raised is None, repr(raised)
        else:
            assert (type(raised), str(raised)) == ordinary
    else:
        assert raised is error
        assert contents(index) == before


class IndexOnly:
    def __init__(self, value):
        self.value, self.calls = value, 0

    def __index__(self):
        self.calls += 1
        return self.value


@pytest.mark.parametrize("value", [5, 2**70])
def test_index_is_called_once_for_both_attempts(value):
    # 2**70 fails the integer attempt; the float attempt takes the same result.
    index = hnsw()
    stored = IndexOnly(value)
    index.insert([1.0, 1.0], [("c", stored)])
    wanted = IndexOnly(value)
    assert index.search([1.0, 1.0], 5, ("c", wanted)) == [(0.0, [1.0, 1.0])]
    assert (stored.calls, wanted.calls) == (1, 1)
    assert index.search([1.0, 1.0], 5, ("c", float(value) if value > 2**63 else value)) == [(0.0, [1.0, 1.0])]


# Encoding a text value to UTF-8 allocates its cached form: running out of
# memory there is MemoryError, not an unsupported value.
@pytest.mark.parametrize(
    "call",
    [
        "index.insert([1.0, 1.0], [('c', text)])",
        "index.search([1.0, 1.0], 1, ('c', text))",
    ],
    ids=["metadata", "filter"],
)
def test_memory_error_while_encoding_text_propagates(call):
    assert_child_ok(
        run_child(
            textwrap.dedent(f"""
        import ombrix
        from inject import arm, disarm, outcome
        index = ombrix.PyHNSW(2, layers=1, metric="euclidean", schema=["c"])
        index.insert([0.0, 0.0], [("c", 0)])
        text = "\\u00e9" * 100_000            # 200 000 bytes in UTF-8
        arm(size=200_001)
        got = outcome(lambda: {call})
        disarm()
        assert got is MemoryError, got
        assert index.search([1.0, 1.0], 100) == [(2 ** 0.5, [0.0, 0.0])]
        {call}                                # with memory back it succeeds
    """)
        )
    )


# The buffer probe looks up a name interned once per process. Interned on
# first use, a MemoryError there was cleared and the probe stayed off for
# good: numpy arrays went item by item, and complex arrays lost their
# imaginary parts instead of being refused.
@pytest.mark.parametrize("first", ["import", "probe"])
def test_failed_interning_is_retried(first):
    assert_child_ok(
        run_child(
            textwrap.dedent(f"""
        import _imp, importlib.util, sys
        import numpy as np
        from inject import arm, disarm, outcome
        spec = importlib.util.find_spec("ombrix")
        complex_vector = np.ones(2, dtype=np.complex64)
        if {first!r} == "probe":
            import ombrix
            call = lambda: ombrix.PyFlat(2).insert(complex_vector)
        else:
            call = lambda: _imp.create_dynamic(spec)
        try:
            arm(size=sys.getsizeof("__buffer__"))   # a 10-character str object
            got = call()
        except BaseException as error:
            got = type(error)
        disarm()
        assert got in (MemoryError, TypeError) or isinstance(got, type(sys)), got
        import ombrix
        assert outcome(ombrix.PyFlat(2).insert, complex_vector) is TypeError
    """),
            env={"PYTHONMALLOC": "malloc"},
        )
    )  # small str objects fail too
