"""Allocation-failure sweep (`make sweep`).

Runs insert, create and search of both indexes (and their constructors) on
indexes of several sizes and metrics, with liballoc_fail.so preloaded. For
every case it counts the allocations of the call, then for every n up to
that count fails the n-th allocation alone, then every allocation from the
n-th on, then, for every size the call allocates, every allocation of that
size; last, the case's first call in a fresh thread with no memory at all.
Each outcome must be the call's normal result, or MemoryError with the index
answering as before the call (a PyHNSW batch may keep the vectors stored
before the failing one) and then taking the same call again; never an abort.

Without arguments it runs each index kind in its own child process, so that
an abort or a hang is reported with the case that caused it.
"""

import os
import pathlib
import subprocess
import sys
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent

DIM = 4
BASE_SIZES = (0, 1, 6, 17)
SCHEMA = ["c"]
# Every metadata value stored below, so that a filtered search per value
# shows each node's row.
VALUES = ["red", "blue", 7, 2.5, "probe"] + list(range(0, 17, 2))


def base_row(i):
    return [("c", "red" if i % 2 else i)]


NEW_ROWS = [[("c", "blue")], [("c", 7)], [("c", 2.5)]]


def canonical(value):
    """Compares NaN equal to NaN (and -0.0 unequal to 0.0): answers under
    cosine or angular include NaN distances for the zero query."""
    return repr(value)


def kinds():
    import ombrix

    # One layer makes the graph deterministic. A search wider than the index
    # sees every node; in a sparse graph a narrow one sees how they are linked.
    def hnsw(metric, schema, ef=(32, 64)):
        return lambda: ombrix.PyHNSW(DIM, layers=1, ef_construction=ef[0], ef_search=ef[1], metric=metric,
                                     schema=schema)

    return {
        "flat euclidean": lambda: ombrix.PyFlat(DIM),
        "flat cosine": lambda: ombrix.PyFlat(DIM, "cosine"),
        "flat inner_product": lambda: ombrix.PyFlat(DIM, "inner_product"),
        "hnsw euclidean": hnsw("euclidean", None),
        "hnsw euclidean narrow": hnsw("euclidean", None, ef=(3, 2)),
        "hnsw angular schema": hnsw("angular", SCHEMA),
        "hnsw inner_product schema": hnsw("inner_product", SCHEMA),
    }


def run_kind(kind):
    import numpy as np

    import ombrix
    from inject import arm, disarm, failed, sizes

    rng = np.random.default_rng(8)
    pool = rng.standard_normal((max(BASE_SIZES), DIM)).tolist()
    new = rng.standard_normal((3, DIM)).tolist()
    queries = [[0.0] * DIM, [1.0, -1.0, 0.5, 2.0], new[0]]
    if "narrow" in kind:
        queries += rng.standard_normal((12, DIM)).tolist()
    make_empty = kinds()[kind]
    is_flat = kind.startswith("flat")
    has_schema = "schema" in kind

    def maker(size):
        def make():
            index = make_empty()
            if size and is_flat:
                index.create(pool[:size])
            elif size:
                index.create(pool[:size], [base_row(i) for i in range(size)] if has_schema else None)
            return index
        return make

    def answers(index):
        def search(*args):
            try:
                return index.search(*args)
            except ValueError as error:  # an empty flat index
                return str(error)
        found = [search(q, 100) for q in queries]
        if has_schema:
            found += [search(queries[1], 100, ("c", value)) for value in VALUES]
        return canonical(found)

    # name -> (call, prefix): prefix(index, j) applies the first j items of a
    # batch, which a MemoryError may leave stored (j from `kept`). A flat
    # create stores nothing when it raises MemoryError.
    calls = {}
    if is_flat:
        calls["insert list"] = (lambda i: i.insert(new[0]), None)
        calls["insert tuple"] = (lambda i: i.insert(tuple(new[1])), None)
        calls["insert numpy"] = (lambda i: i.insert(np.array(new[2])), None)
        calls["insert refused item"] = (lambda i: i.insert([1.0, "x", 2.0, 3.0]), None)
        calls["insert wrong length"] = (lambda i: i.insert([1.0]), None)
        calls["create list"] = (lambda i: i.create(new), None)
        calls["create numpy"] = (lambda i: i.create(np.array(new)), None)
        calls["create float32"] = (lambda i: i.create(np.array(new, dtype=np.float32)), None)
        calls["create mismatch"] = (lambda i: i.create(new[:2] + [[1.0]]), None)
        calls["search"] = (lambda i: i.search(queries[1], 4), None)
        calls["search numpy all"] = (lambda i: i.search(np.array(queries[2]), 1000), None)
        calls["search wrong length"] = (lambda i: i.search([1.0, 2.0]), None)
        calls["constructor"] = (lambda i: ombrix.PyFlat(3, "cosine").insert([1.0, 2.0, 3.0]), None)
    else:
        rows = NEW_ROWS if has_schema else None
        calls["insert"] = (lambda i: i.insert(new[0]), None)
        calls["insert numpy"] = (lambda i: i.insert(np.array(new[1])), None)
        calls["insert wrong length"] = (lambda i: i.insert([1.0, 2.0]), None)
        calls["create"] = (lambda i: i.create(new), (lambda i, j: i.create(new[:j]), range(1, 3)))
        calls["create numpy"] = (lambda i: i.create(np.array(new)), (lambda i, j: i.create(new[:j]), range(1, 3)))
        calls["search"] = (lambda i: i.search(queries[1], 5), None)
        calls["search numpy"] = (lambda i: i.search(np.array(queries[0]), 100), None)
        calls["constructor"] = (lambda i: ombrix.PyHNSW(3, metric="angular", schema=["a", "b"]).insert([1, 2, 3]),
                                None)
        if has_schema:
            calls["insert metadata"] = (lambda i: i.insert(new[0], [("c", "blue")]), None)
            calls["insert refused metadata"] = (lambda i: i.insert(new[0], [("c", [1])]), None)
            calls["create metadata"] = (lambda i: i.create(new, rows),
                                        (lambda i, j: i.create(new[:j], rows[:j]), range(1, 3)))
            calls["search filter text"] = (lambda i: i.search(queries[1], 5, ("c", "red")), None)
            calls["search filter int"] = (lambda i: i.search(queries[2], 5, ("c", 4)), None)
            calls["search filter float"] = (lambda i: i.search(queries[0], 5, ("c", 2.5)), None)
            calls["search filter unknown"] = (lambda i: i.search(queries[0], 5, ("d", 2.5)), None)
        else:
            calls["search filter without schema"] = (lambda i: i.search(queries[0], 5, ("c", "red")), None)

    probe_vector = [0.25, 0.5, -0.75, 1.0]

    def probe(index):
        if has_schema:
            index.insert(probe_vector, [("c", "probe")])
        else:
            index.insert(probe_vector)

    def outcome(call, index):
        try:
            return canonical(call(index))
        except BaseException as error:  # noqa: B036 - the internal-failure class is a BaseException
            return type(error)

    totals = {"calls": 0, "memory_errors": 0, "cases": 0}
    problems = []
    for size in BASE_SIZES:
        make = maker(size)
        before = answers(make())
        for name, (call, prefix) in calls.items():
            case = f"{kind}, {size} stored, {name}"
            totals["cases"] += 1
            index = make()
            arm()
            expected = outcome(call, index)
            total = disarm()
            seen_sizes = sorted(set(sizes()))
            after = answers(index)
            # The states a call may leave, each with a way to rebuild it.
            states = {before: make}
            if prefix is not None:
                apply, kept = prefix
                for j in kept:
                    def rebuild(j=j):
                        index = make()
                        apply(index, j)
                        return index
                    states.setdefault(answers(rebuild()), rebuild)

            def check(label, got, index):
                totals["calls"] += 1
                state = answers(index)
                if got is MemoryError:
                    totals["memory_errors"] += 1
                    if state not in states:
                        problems.append(f"{case} {label}: index changed by a MemoryError")
                        return
                    reference = states[state]()
                    if state == before and (outcome(call, index), answers(index)) != (expected, after):
                        problems.append(f"{case} {label}: the call fails again with memory back")
                        return
                    if state == before:
                        outcome(call, reference)
                elif got != expected:
                    problems.append(f"{case} {label}: {got!r}, expected {expected!r}")
                    return
                elif state != after:
                    problems.append(f"{case} {label}: index differs after success")
                    return
                else:
                    reference = make()
                    outcome(call, reference)
                # What a failure left behind inside shows in the next insert.
                probe(index)
                probe(reference)
                if answers(index) != answers(reference):
                    problems.append(f"{case} {label}: the next insert sees a changed index")

            for persistent in (False, True):
                for nth in range(1, total + 2):
                    index = make()
                    arm(nth=nth, persistent=persistent)
                    got = outcome(call, index)
                    disarm()
                    check(f"n={nth}{' on' if persistent else ''}", got, index)
            for one_size in seen_sizes:
                if one_size == 0:
                    continue
                index = make()
                arm(size=one_size)
                got = outcome(call, index)
                disarm()
                check(f"size={one_size}", got, index)

            # The first call of a fresh thread, with no memory at all.
            index = make()
            result = []

            def first():
                arm(nth=1, persistent=True)
                result.append(outcome(call, index))
                disarm()
                result.append(failed())

            thread = threading.Thread(target=first)
            thread.start()
            thread.join()
            check("in a fresh thread", result[0], index)
            print(f"{case}: {total} allocations of {len(seen_sizes)} sizes", flush=True)
    print(f"TOTALS {totals['cases']} {totals['calls']} {totals['memory_errors']}", flush=True)
    for problem in problems:
        print("PROBLEM:", problem, flush=True)
    return 1 if problems else 0


def main():
    library = os.environ.get("OMBRIX_ALLOC_FAIL") or str(HERE.parents[1] / "build/alloc_fail/liballoc_fail.so")
    env = dict(os.environ)
    env["LD_PRELOAD"] = ":".join(p for p in [library, env.get("LD_PRELOAD", "")] if p)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [str(HERE), env.get("PYTHONPATH", "")] if p)
    # Python's small objects stay in its arenas, so that the allocations
    # counted are mostly the extension's.
    env.pop("PYTHONMALLOC", None)
    started = time.monotonic()
    cases = calls = memory_errors = 0
    failures = []
    for kind in kinds():
        try:
            child = subprocess.run([sys.executable, __file__, kind], env=env, capture_output=True, text=True,
                                   timeout=600)
        except subprocess.TimeoutExpired as timeout:
            last = (timeout.stdout or b"").decode(errors="replace").strip().splitlines()[-1:]
            failures.append(f"{kind}: hung after {last}")
            continue
        lines = child.stdout.splitlines()
        for line in lines:
            if line.startswith("TOTALS "):
                c, n, m = map(int, line.split()[1:])
                cases, calls, memory_errors = cases + c, calls + n, memory_errors + m
            elif line.startswith("PROBLEM:"):
                failures.append(line[len("PROBLEM: "):])
        if child.returncode != 0 and not any(line.startswith("PROBLEM:") for line in lines):
            last = [line for line in lines if not line.startswith("TOTALS")][-1:]
            failures.append(f"{kind}: exit {child.returncode} after {last}\n{child.stderr[-2000:]}")
        print(f"{kind}: {len(lines)} lines, exit {child.returncode}", flush=True)
    seconds = time.monotonic() - started
    print(f"sweep: {cases} cases, {calls} calls, {memory_errors} MemoryError, {seconds:.1f} s")
    for failure in failures:
        print("PROBLEM:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(run_kind(sys.argv[1]) if len(sys.argv) > 1 else main())
