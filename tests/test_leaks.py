"""10 000 successful and failing calls of each path leave neither references
nor memory behind: the arguments' reference counts come back and the
process's resident size stays put."""

import gc
import os
import sys

import pytest

import ombrix

CALLS = 10_000
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def flat():
    index = ombrix.PyFlat(3)
    index.create([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])
    return index


def hnsw():
    index = ombrix.PyHNSW(3, layers=2, metric="euclidean", schema=["c"])
    index.create([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]], [[("c", "red")], [("c", 1)]])
    return index


VECTOR = [1.0, 2.0, 3.0]
BAD = [1.0, "x", 3.0]
PATHS = {
    "flat search": (flat, lambda i: i.search(VECTOR, 2)),
    "flat search, wrong length": (flat, lambda i: i.search([1.0], 2)),
    "flat search, bad k": (flat, lambda i: i.search(VECTOR, -1)),
    "flat insert, bad item": (flat, lambda i: i.insert(BAD)),
    "flat insert, wrong length": (flat, lambda i: i.insert([1.0])),
    "flat create, empty": (flat, lambda i: i.create([])),
    "flat create, bad row": (flat, lambda i: i.create([VECTOR, BAD])),
    "flat constructor": (flat, lambda i: ombrix.PyFlat(4, "cosine")),
    "flat constructor, bad metric": (flat, lambda i: ombrix.PyFlat(4, 5)),
    "hnsw search, filter": (hnsw, lambda i: i.search(VECTOR, 2, ("c", "red"))),
    "hnsw search, bad filter": (hnsw, lambda i: i.search(VECTOR, 2, ("c", object()))),
    "hnsw insert, bad metadata": (hnsw, lambda i: i.insert(VECTOR, [("c", "red", 1)])),
    "hnsw insert, missing attribute": (hnsw, lambda i: i.insert(VECTOR, [("d", "red")])),
    "hnsw create, count mismatch": (hnsw, lambda i: i.create([VECTOR], [[], []])),
    "hnsw constructor": (hnsw, lambda i: ombrix.PyHNSW(4, metric="angular", schema=["a", "b"])),
    "hnsw constructor, bad metric": (hnsw, lambda i: ombrix.PyHNSW(4, metric="bogus", schema=["a"])),
}


@pytest.mark.parametrize("name", PATHS)
def test_ten_thousand_calls_leak_nothing(name):
    make, call = PATHS[name]
    index = make()
    watched = [VECTOR, BAD, index, *VECTOR]

    def run(n):
        for _ in range(n):
            try:
                call(index)
            except (TypeError, ValueError, OverflowError):
                pass

    run(200)  # warm caches, freelists and arenas
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    start = rss()
    run(CALLS)
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == counts
    # ASan keeps freed memory in quarantine, so only reference counts tell there.
    if "ASAN_OPTIONS" not in os.environ:
        assert rss() - start < 4 << 20, f"resident size grew by {(rss() - start) >> 10} KiB"
