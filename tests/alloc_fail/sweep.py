"""Allocation-failure sweep, run with liballoc_fail.so preloaded (`make sweep`).

For every case (insert, create and search of both indexes, and their
constructors) and every n up to the number of allocations the call makes:
fail the n-th allocation alone, then every allocation from the n-th on. Each
outcome must be the call's normal result or MemoryError, with the index
answering as before the call (a batch may keep the vectors stored before
the failing one), and never an abort. Prints what it ran.
"""

import sys
import threading
import time

import numpy as np

import ombrix
from inject import arm, disarm, failed

DIM = 4
rng = np.random.default_rng(8)
BASE = rng.standard_normal((6, DIM)).tolist()
NEW = rng.standard_normal((3, DIM)).tolist()
QUERIES = [[0.0] * DIM, [1.0, -1.0, 0.5, 2.0]]


def flat(metric=None):
    def make():
        index = ombrix.PyFlat(DIM, metric)
        index.create(BASE)
        return index
    return make


def hnsw(metric="euclidean"):
    def make():
        index = ombrix.PyHNSW(DIM, layers=1, ef_construction=32, ef_search=64, metric=metric, schema=["c"])
        index.create(BASE, [[("c", "red" if i % 2 else i)] for i in range(len(BASE))])
        return index
    return make


def answers(index):
    if isinstance(index, ombrix.PyFlat):
        return [index.search(q, 100) for q in QUERIES]
    return [index.search(q, 100) for q in QUERIES] + [index.search(QUERIES[0], 100, ("c", "red"))]


ROWS = [[("c", "blue")], [("c", 7)], [("c", 2.5)]]
CASES = {
    "flat insert": (flat(), lambda i: i.insert(NEW[0]), None),
    "flat insert cosine": (flat("cosine"), lambda i: i.insert(tuple(NEW[0])), None),
    "flat insert numpy": (flat(), lambda i: i.insert(np.array(NEW[0])), None),
    "flat insert refused": (flat(), lambda i: i.insert([1.0, "x", 2.0, 3.0]), None),
    "flat create": (flat(), lambda i: i.create(NEW), NEW),
    "flat create numpy": (flat("inner_product"), lambda i: i.create(np.array(NEW)), NEW),
    "flat create mismatch": (flat(), lambda i: i.create(NEW[:2] + [[1.0]]), NEW[:2]),
    "flat search": (flat(), lambda i: i.search(QUERIES[1], 4), None),
    "flat constructor": (flat(), lambda i: ombrix.PyFlat(3, "cosine").insert([1.0, 2.0, 3.0]), None),
    "hnsw insert": (hnsw(), lambda i: i.insert(NEW[0]), None),
    "hnsw insert metadata": (hnsw("angular"), lambda i: i.insert(NEW[0], [("c", "blue")]), None),
    "hnsw create": (hnsw(), lambda i: i.create(NEW), NEW),
    "hnsw create metadata": (hnsw("inner_product"), lambda i: i.create(NEW, ROWS), NEW),
    "hnsw search": (hnsw(), lambda i: i.search(QUERIES[1], 5), None),
    "hnsw search filter": (hnsw(), lambda i: i.search(QUERIES[1], 5, ("c", "red")), None),
    "hnsw constructor": (hnsw(), lambda i: ombrix.PyHNSW(3, metric="angular", schema=["a", "b"]).insert([1, 2, 3]),
                         None),
}


def outcome(call, index):
    try:
        return call(index)
    except BaseException as error:  # noqa: B036
        return type(error)


def allowed_states(name, make, call, batch):
    """What the index may answer after a MemoryError: as before, or for a
    batch, with any prefix of it stored."""
    states = [answers(make())]
    if batch is not None:
        rows = ROWS if "metadata" in name else None
        for j in range(1, len(batch) + 1):
            index = make()
            if isinstance(index, ombrix.PyFlat):
                index.create(batch[:j])
            else:
                index.create(batch[:j], rows[:j] if rows else None)
            states.append(answers(index))
    return states


def main():
    started = time.monotonic()
    calls = memory_errors = 0
    problems = []
    for name, (make, call, batch) in CASES.items():
        index = make()
        arm()
        expected = outcome(call, index)
        total = disarm()
        after = answers(index)
        states = allowed_states(name, make, call, batch)
        for persistent in (False, True):
            for nth in range(1, total + 2):
                index = make()
                arm(nth=nth, persistent=persistent)
                got = outcome(call, index)
                disarm()
                calls += 1
                state = answers(index)
                if got is MemoryError:
                    memory_errors += 1
                    if state not in states:
                        problems.append(f"{name} n={nth} persistent={persistent}: index changed by a MemoryError")
                elif got != expected and not (isinstance(expected, type) and got is expected):
                    problems.append(f"{name} n={nth} persistent={persistent}: {got!r}, expected {expected!r}")
                elif state != after:
                    problems.append(f"{name} n={nth} persistent={persistent}: index differs after success")
        # The first call of a fresh thread, with no memory at all.
        index = make()
        results = []

        def first():
            arm(nth=1, persistent=True)
            results.append(outcome(call, index))
            disarm()
            results.append(failed())

        thread = threading.Thread(target=first)
        thread.start()
        thread.join()
        calls += 1
        if results[0] is not MemoryError and results[0] != expected:
            problems.append(f"{name} in a fresh thread: {results[0]!r}")
        print(f"{name}: {total} allocations, {2 * (total + 1) + 1} injected runs")
    seconds = time.monotonic() - started
    print(f"sweep: {len(CASES)} cases, {calls} calls, {memory_errors} MemoryError, {seconds:.1f} s")
    for problem in problems:
        print("PROBLEM:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
