"""Four threads mixing insert, create and search on one PyFlat and one
PyHNSW, switching as often as the interpreter allows: the only refusals are
the access counter's, every successful insert is kept, results stay exact."""

import os
import random
import sys
import threading
import time

import ombrix
from conftest import brute_force, euclidean

SECONDS = float(os.environ.get("OMBRIX_STRESS_SECONDS", "2"))
REFUSALS = {"Already borrowed", "Already mutably borrowed"}


def test_four_threads_share_two_indexes():
    flat = ombrix.PyFlat(3)
    hnsw = ombrix.PyHNSW(3, layers=1, ef_construction=16, ef_search=4096, metric="euclidean")
    stored = {"flat": [], "hnsw": []}
    calls = {"ok": 0, "refused": 0}
    errors = []
    lock = threading.Lock()
    deadline = time.monotonic() + SECONDS

    def worker(seed):
        rng = random.Random(seed)
        serial = 0
        while time.monotonic() < deadline and len(stored["hnsw"]) < 1500:
            name, index = rng.choice([("flat", flat), ("hnsw", hnsw)])
            op = rng.choice(["insert", "create", "search", "search"])
            serial += 1
            vectors = [[seed, serial, float(i)] for i in range(1 if op == "insert" else rng.randint(1, 3))]
            try:
                if op == "insert":
                    index.insert(vectors[0])
                elif op == "create":
                    index.create(vectors)
                else:
                    index.search([0.5, 0.5, 0.5], 3)
            except RuntimeError as error:
                with lock:
                    calls["refused"] += 1
                if str(error) not in REFUSALS:
                    errors.append(repr(error))
                continue
            except ValueError as error:  # searching an index that is still empty
                if not (op == "search" and "EmptyIndex" in str(error)):
                    errors.append(repr(error))
                continue
            except BaseException as error:  # noqa: B036
                errors.append(repr(error))
                continue
            with lock:
                calls["ok"] += 1
                if op != "search":
                    stored[name].extend(vectors)

    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(switch)

    assert not errors, errors[:5]
    assert calls["ok"] > 0
    query = [0.25, 7.0, 1.0]
    got = flat.search(query, 10**6)
    assert len(got) == len(stored["flat"])
    # Ids follow the order of the successful calls, which threads interleave:
    # compare the values, which must be exact.
    assert sorted(v for _, v in got) == sorted(v for _, v in brute_force(stored["flat"], query, 10**6, euclidean))
    found = hnsw.search(query, 10**6)
    assert sorted(tuple(v) for _, v in found) == sorted(tuple(map(float, v)) for v in stored["hnsw"])
