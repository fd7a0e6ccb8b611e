"""Real memory exhaustion (`make sweep`): a child interpreter lowers its own
address-space limit (`ulimit -v`) to a little above what it uses, then makes
calls that allocate until they fail: inserts and creates that grow an index,
and searches and constructors with less and less room left, in the main
thread and as the first call of a fresh thread. Every call must give its
result or MemoryError, never an abort or a hang; after a MemoryError, with
the limit raised again, the index must answer exactly like one built by the
calls that succeeded, and take the next insert.

Not under AddressSanitizer, which reserves far more address space than any
limit that would exhaust memory.
"""

import os
import subprocess
import sys
import time


def run():
    import resource
    import threading

    import numpy as np

    import ombrix

    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    counts = {"calls": 0, "memory_errors": 0}
    problems = []

    def used():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024
        raise RuntimeError("no VmSize")

    def limit(headroom):
        resource.setrlimit(resource.RLIMIT_AS, (used() + headroom, hard))

    def unlimit():
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

    def outcome(call):
        counts["calls"] += 1
        try:
            return call()
        except MemoryError:
            counts["memory_errors"] += 1
            return MemoryError

    rng = np.random.default_rng(8)

    def fill_until_memory_error(name, index, step, headroom=48 << 20, most=1 << 20):
        """Repeats `step(index, i)` under the limit until it raises
        MemoryError; returns how many calls succeeded."""
        done = 0
        limit(headroom)
        try:
            while done < most:
                if outcome(lambda: step(index, done)) is MemoryError:
                    break
                done += 1
        finally:
            unlimit()
        if done == most:
            problems.append(f"{name}: memory never ran out")
        return done

    def same(name, index, reference, searches):
        for search in searches:
            got, want = repr(search(index)), repr(search(reference))
            if got != want:
                problems.append(f"{name}: the index differs after a MemoryError ({search.__doc__})")
                return

    # -- growing an index until memory runs out --------------------------------
    dim = 64
    rows = rng.standard_normal((64, dim))
    queries = [rng.standard_normal(dim) for _ in range(3)]

    def flat_searches(n):
        def everything(i):
            """all stored vectors"""
            return i.search(queries[0], n + 10)

        def nearest(i):
            """nearest five"""
            return [i.search(q, 5) for q in queries]

        return [everything, nearest]

    def grow_flat(name, metric, step, stored_by):
        index = ombrix.PyFlat(dim, metric)
        done = fill_until_memory_error(name, index, step)
        reference = ombrix.PyFlat(dim, metric)
        reference.create(stored_by(done))
        same(name, index, reference, flat_searches(len(stored_by(done))))
        index.insert(rows[0])
        print(f"{name}: {done} calls before MemoryError", flush=True)

    def tiled(n):
        return np.tile(rows, (n // len(rows) + 1, 1))[:n] if n else np.empty((0, dim))

    grow_flat("flat insert", None, lambda i, k: i.insert(rows[k % 64]), lambda n: tiled(n))
    grow_flat("flat insert cosine list", "cosine", lambda i, k: i.insert(rows[k % 64].tolist()), lambda n: tiled(n))
    batch = np.tile(rows, (64, 1))
    grow_flat("flat create numpy", "inner_product", lambda i, k: i.create(batch), lambda n: tiled(n * len(batch)))
    listed = rows.tolist() * 4
    grow_flat("flat create list", None, lambda i, k: i.create(listed), lambda n: tiled(n * len(listed)))

    # A one-layer graph is deterministic, so a rebuild is the reference. Long
    # text values make the metadata a good part of what fills memory.
    hdim = 512
    hrows = rng.standard_normal((50, hdim))
    hqueries = [rng.standard_normal(hdim) for _ in range(3)]

    def value(k):
        return f"{k % 5}" + "x" * 1500

    def make_hnsw():
        return ombrix.PyHNSW(hdim, layers=1, ef_construction=8, ef_search=1 << 20, metric="angular", schema=["c", "n"])

    def hnsw_searches():
        def everything(i):
            """all nodes"""
            return [i.search(q, 1 << 30) for q in hqueries[:1]]

        def by_value(i):
            """each value's nodes"""
            return [len(i.search(hqueries[1], 1 << 30, ("c", value(k)))) for k in range(5)]

        def by_number(i):
            """rows' second values"""
            return [len(i.search(hqueries[2], 1 << 30, ("n", k))) for k in range(7)]

        return [everything, by_value, by_number]

    def row(k):
        return [("c", value(k)), ("n", k % 7)]

    def insert_step(index, k):
        index.insert(hrows[k % 50], row(k))

    index = make_hnsw()
    done = fill_until_memory_error("hnsw insert metadata", index, insert_step, headroom=32 << 20)
    reference = make_hnsw()
    for k in range(done):
        insert_step(reference, k)
    same("hnsw insert metadata", index, reference, hnsw_searches())
    for graph in (index, reference):
        graph.insert(hrows[0], [("c", "probe"), ("n", -1)])
    same("hnsw insert metadata, then an insert", index, reference, hnsw_searches())
    print(f"hnsw insert metadata: {done} calls before MemoryError", flush=True)

    hbatch = [hrows[k % 50] for k in range(200)]
    hmeta = [row(k) for k in range(200)]
    index = make_hnsw()
    done = fill_until_memory_error(
        "hnsw create metadata", index, lambda i, k: i.create(hbatch, hmeta), headroom=32 << 20
    )
    # A batch keeps the nodes stored before the failing one.
    stored = len(index.search(hqueries[0], 1 << 30))
    reference = make_hnsw()
    for _ in range(done):
        reference.create(hbatch, hmeta)
    if not done * 200 <= stored < (done + 1) * 200:
        problems.append(f"hnsw create metadata: {stored} nodes after {done} batches")
    elif stored > done * 200:
        reference.create(hbatch[: stored - done * 200], hmeta[: stored - done * 200])
    same("hnsw create metadata", index, reference, hnsw_searches())
    print(f"hnsw create metadata: {done} calls before MemoryError, {stored} nodes", flush=True)

    # -- calls with less and less room ------------------------------------------
    def big_flat():
        index = ombrix.PyFlat(1)
        index.create(np.random.default_rng(1).standard_normal((1 << 21, 1)))  # search stages its reads
        return index

    def wide_flat():
        index = ombrix.PyFlat(dim)
        index.create(tiled(1 << 14))
        return index

    def graph():
        index = make_hnsw()
        for k in range(1000):
            insert_step(index, k)
        return index

    calls = {
        "flat search few": (big_flat, lambda i: i.search([0.5], 3)),
        "flat search all": (big_flat, lambda i: i.search([0.5], 1 << 21)),
        "flat insert": (wide_flat, lambda i: i.insert(rows[1])),
        "flat create": (wide_flat, lambda i: i.create(batch)),
        "flat constructor": (None, lambda i: ombrix.PyFlat(3, "cosine").insert([1, 2, 3])),
        "hnsw search": (graph, lambda i: i.search(hqueries[0], 1 << 30)),
        "hnsw search filter": (graph, lambda i: i.search(hqueries[0], 100, ("c", value(3)))),
        "hnsw insert metadata": (graph, lambda i: i.insert(hrows[2], row(2))),
        "hnsw create metadata": (graph, lambda i: i.create(hbatch[:20], hmeta[:20])),
        "hnsw constructor": (None, lambda i: ombrix.PyHNSW(3, layers=1 << 20, metric="angular", schema=["a"])),
    }

    def state(index):
        if index is None:
            return None
        if isinstance(index, ombrix.PyFlat):
            try:
                return repr(index.search([0.5], 3))
            except ValueError:  # the wide one
                return repr(index.search(queries[0], 10**6))
        return repr(
            [index.search(hqueries[1], 1 << 30)]
            + [len(index.search(hqueries[1], 1 << 30, ("c", value(k)))) for k in range(5)]
        )

    # Under the limit, ballast takes every byte that can still be had, down
    # to small blocks; after each MemoryError the call is retried with more
    # blocks given back, smallest first, in doubling numbers, so that it meets
    # exhaustion at every depth.
    def exhaust():
        ballast = []
        for block in (1 << 20, 64 << 10, 4 << 10, 256):
            try:
                while True:
                    ballast.append(bytearray(block))
            except MemoryError:
                pass
        return ballast

    for name, (make, call) in calls.items():
        tries = 0
        for fresh_thread in (False, True):
            index, twin = (make(), make()) if make else (None, None)
            result = []
            go, answered = threading.Event(), threading.Event()
            stop = []

            def worker():
                while True:
                    go.wait()
                    go.clear()
                    if stop:
                        return
                    result.append(outcome(lambda: call(index)))
                    answered.set()

            thread = threading.Thread(target=worker) if fresh_thread else None
            if thread:
                thread.start()
            limit(16 << 20)
            ballast = exhaust()
            give_back = 1
            while True:
                tries += 1
                if thread:
                    go.set()
                    answered.wait()
                    answered.clear()
                else:
                    result.append(outcome(lambda: call(index)))
                if result[-1] is not MemoryError or not ballast:
                    break
                del ballast[-give_back:]
                give_back *= 2
            del ballast
            unlimit()
            if thread:
                stop.append(True)
                go.set()
                thread.join()
            if index is not None:
                # A success is the only change; MemoryErrors leave none.
                if result[-1] is not MemoryError:
                    call(twin)
                if state(index) != state(twin):
                    problems.append(
                        f"{name}{' in a fresh thread' if thread else ''}: "
                        f"the index differs after {result.count(MemoryError)} MemoryErrors"
                    )
        print(f"{name}: {tries} calls, memory given back block by block", flush=True)

    print(f"TOTALS {counts['calls']} {counts['memory_errors']}", flush=True)
    for problem in problems:
        print("PROBLEM:", problem, flush=True)
    return 1 if problems else 0


def main():
    if "ASAN_OPTIONS" in os.environ:
        print("exhaust: skipped under AddressSanitizer")
        return 0
    started = time.monotonic()
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    try:
        child = subprocess.run([sys.executable, __file__, "run"], env=env, capture_output=True, text=True, timeout=900)
    except subprocess.TimeoutExpired as timeout:
        print((timeout.stdout or b"").decode(errors="replace"))
        print("PROBLEM: the exhaustion run hung")
        return 1
    print(child.stdout, end="")
    seconds = time.monotonic() - started
    totals = [line.split()[1:] for line in child.stdout.splitlines() if line.startswith("TOTALS ")]
    if totals:
        print(f"exhaust: {totals[0][0]} calls, {totals[0][1]} MemoryError, {seconds:.1f} s")
    if child.returncode != 0:
        print(child.stderr[-3000:])
        if not any(line.startswith("PROBLEM:") for line in child.stdout.splitlines()):
            print(f"PROBLEM: the exhaustion run ended with exit {child.returncode}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(run() if sys.argv[1:] == ["run"] else main())
