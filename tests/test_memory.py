"""Memory exhaustion and impossible sizes: every call ends in a result or a
MemoryError that leaves the index as it was, never in an abort; conversions
grow their buffers geometrically whatever a sequence's length claims.

Injected failures run in child interpreters with tests/alloc_fail preloaded,
so that an abort fails one test instead of ending the run.
"""

import os
import textwrap

import numpy as np
import pytest

import ombrix
from conftest import assert_child_ok, assert_same, run_child

PRELUDE = textwrap.dedent("""
    import threading
    import numpy as np
    import ombrix
    from inject import arm, disarm, failed, outcome, sizes
""")


def child(body):
    assert_child_ok(run_child(PRELUDE + textwrap.dedent(body)))


# A flat search that stages short vectors through a buffer once the index
# outgrows L2 allocated that buffer inside a function that cannot throw.
@pytest.mark.parametrize("dim", [1, 8, 128])
def test_flat_search_of_a_large_index_survives_exhaustion(dim):
    child(f"""
        dim = {dim}
        index = ombrix.PyFlat(dim)
        index.create(np.random.default_rng(dim).random(((1 << 19) // dim + 64, dim)))
        query = [0.5] * dim
        expected = index.search(query, 3)
        arm(size=16 * dim * 8)      # the staging buffer's size
        got = outcome(index.search, query, 3)
        disarm()
        assert got == expected, got
        for nth in range(1, 8):     # memory gone from the n-th allocation on
            arm(nth=nth, persistent=True)
            got = outcome(index.search, query, 3)
            disarm()
            assert got in (expected, MemoryError), (nth, got)
        assert index.search(query, 3) == expected
    """)


FIRST_CALLS = {
    "flat insert": ("ombrix.PyFlat(2)", "index.insert([3.0, 4.0])"),
    "flat create": ("ombrix.PyFlat(2)", "index.create([[3.0, 4.0], [5.0, 6.0]])"),
    "flat search": ("ombrix.PyFlat(2)", "index.search([0.0, 0.0], 2)"),
    "flat constructor": ("ombrix.PyFlat(2)", "ombrix.PyFlat(5, 'cosine')"),
    "hnsw insert": (
        "ombrix.PyHNSW(2, layers=1, metric='euclidean', schema=['c'])",
        "index.insert([3.0, 4.0], [('c', 'red')])",
    ),
    "hnsw create": ("ombrix.PyHNSW(2, layers=1, metric='euclidean')", "index.create([[3.0, 4.0], [5.0, 6.0]])"),
    "hnsw search": (
        "ombrix.PyHNSW(2, layers=3, metric='euclidean', schema=['c'])",
        "index.search([0.0, 0.0], 2, filter=('c', 'red'))",
    ),
    "hnsw constructor": ("ombrix.PyHNSW(2, metric='euclidean')", "ombrix.PyHNSW(3, metric='angular', schema=['a'])"),
}


# The first C++ exception of a thread needed the runtime's per-thread state,
# and allocating that under exhaustion ended the process.
@pytest.mark.parametrize("name", FIRST_CALLS)
def test_first_call_of_a_thread_with_memory_exhausted(name):
    make, call = FIRST_CALLS[name]
    child(f"""
        index = {make}
        schema = isinstance(index, ombrix.PyHNSW) and 'schema' in {make!r}
        index.insert([1.0, 2.0], *([[('c', 'red')]] if schema else []))
        before = index.search([0.0, 0.0], 10)
        results = []

        def first_call():
            arm(nth=1, persistent=True)
            try:
                {call}
                results.append("ok")
            except MemoryError:
                results.append("MemoryError")
            disarm()
            results.append(index.search([0.0, 0.0], 10))
            {call}                  # with memory back, the same call succeeds here
            results.append("done")

        thread = threading.Thread(target=first_call)
        thread.start()
        thread.join()
        assert results[0] in ("ok", "MemoryError"), results
        if results[0] == "MemoryError":
            assert results[1] == before, results
        assert results[-1] == "done", results
    """)


# AddressSanitizer's throwing operator new ends the process when it cannot
# allocate; only sizes refused before any allocation can run under it.
UNDER_ASAN = "ASAN_OPTIONS" in os.environ
HUGE_EMPTY_BATCHES = [(1 << 60) - 1] + ([] if UNDER_ASAN else [1 << 59, 1 << 40])


# The offset table of a batch of 2**60 - 1 empty vectors could not even be
# sized, and its std::length_error reached Python as SystemError. Read in
# place, such a batch is a correct no-op for a flat index of dimension 0.
# A float32 batch was converted row by row: 2**60 Python objects, a stall.
@pytest.mark.parametrize("dtype", ["float64", "float32"])
@pytest.mark.parametrize("rows", HUGE_EMPTY_BATCHES)
@pytest.mark.parametrize(
    "make", [lambda: ombrix.PyFlat(0), lambda: ombrix.PyHNSW(0, metric="euclidean")], ids=["flat", "hnsw"]
)
def test_impossible_batch_sizes_raise_memory_error(make, rows, dtype):
    index = make()
    batch = np.empty((rows, 0), dtype=dtype)
    if isinstance(index, ombrix.PyFlat) and dtype == "float64":
        index.create(batch)
    else:
        with pytest.raises(MemoryError):
            index.create(batch)
    if isinstance(index, ombrix.PyFlat):
        with pytest.raises(ValueError, match="EmptyIndex"):
            index.search([])
        index.insert([])
        index.create([[], []])
    else:
        assert index.search([]) == []


# Reservations added a sequence's claimed length to its size instead of
# growing geometrically: a length that under-reports made every few items
# reallocate (and copy) the whole buffer.
def test_under_reported_lengths_grow_geometrically():
    child("""
        class Claims:
            # A sequence whose __len__ says 3, whatever it holds.
            def __init__(self, items):
                self.items = items
            def __len__(self):
                return 3
            def __getitem__(self, i):
                return self.items[i]

        n = 200_000
        flat = ombrix.PyFlat(n)
        vector = Claims([float(i) for i in range(n)])
        arm(counted_from=4096)
        flat.insert(vector)
        counts = {"vector": disarm()}

        rows = Claims([[float(i)] for i in range(n)])
        arm(counted_from=4096)
        ombrix.PyFlat(1).create(rows)
        counts["rows"] = disarm()

        hnsw = ombrix.PyHNSW(n, metric="euclidean")
        arm(counted_from=4096)
        hnsw.insert(vector)
        counts["hnsw vector"] = disarm()

        # A float32 array larger than the reservation made from a first row.
        rows32 = np.ones(((1 << 20) + 1024, 2), dtype=np.float32)
        arm(counted_from=1 << 20)
        ombrix.PyFlat(2).create(rows32)
        counts["float32 rows"] = disarm()
        assert all(count < 64 for count in counts.values()), counts
    """)


# Each of a create's metadata lists reserved room for what its __len__
# claimed (up to 32 MiB apiece), and held it until the call ended: a thousand
# one-pair lists that claim a million pairs took 32 GiB of address space.
@pytest.mark.parametrize("lying", ["pair lists", "vectors", "both outer lists"])
def test_over_reported_lengths_share_one_allowance(lying):
    child(f"""
        class Claims:
            # A sequence whose __len__ claims a million items.
            def __init__(self, items):
                self.items = items
            def __len__(self):
                return 1 << 20
            def __getitem__(self, i):
                return self.items[i]

        lying = {lying!r}
        n = 1000
        vectors = [[float(i), 0.0] for i in range(n)]
        rows = [[("c", i)] for i in range(n)]
        if lying == "pair lists":
            rows = [Claims(row) for row in rows]
        elif lying == "vectors":
            vectors = [Claims(vector) for vector in vectors]
        else:
            vectors, rows = Claims(vectors), Claims(rows)
        index = ombrix.PyHNSW(2, layers=1, ef_construction=16, ef_search=2 * n, metric="euclidean", schema=["c"])
        arm(counted_from=1 << 16)
        index.create(vectors, rows)
        disarm()
        reserved = sum(sizes())
        assert reserved < 8 << 20, reserved
        assert len(index.search([0.0, 0.0], 2 * n)) == n
    """)


# A wrong-length vector in a flat create keeps the vectors before it, and the
# exception's text was built after storing them: failing that allocation gave
# MemoryError for a call that had kept part of its work, which a retry then
# stored twice.
@pytest.mark.parametrize(
    "batch",
    ["[[1.0, 2.0], [3.0, 4.0], [5.0]]", "[np.array([1.0, 2.0]), (3.0, 4.0), np.ones(3)]"],
    ids=["lists", "mixed"],
)
def test_flat_create_with_a_wrong_length_keeps_work_only_with_its_error(batch):
    child(f"""
        for nth in range(1, 1000):
            index, batch = ombrix.PyFlat(2), {batch}
            arm(nth=nth)
            got = outcome(index.create, batch)
            disarm()
            stored = outcome(index.search, [0.0, 0.0], 10)
            if got is MemoryError:
                assert stored is ValueError, (nth, stored)   # Search error: EmptyIndex
            else:
                assert got.__name__ == "InternalError" and len(stored) == 2, (nth, got, stored)
                if not failed():
                    break
        else:
            raise AssertionError("the call never ran without a failure")
    """)


def test_float32_batches_convert_like_their_items():
    rows = np.random.default_rng(4).standard_normal((300, 3)).astype(np.float32)
    index = ombrix.PyFlat(3)
    index.create(rows)
    reference = ombrix.PyFlat(3)
    reference.create([[float(x) for x in row] for row in rows])
    query = [0.25, -0.5, 1.0]
    assert_same(index.search(query, 300), reference.search(query, 300))
