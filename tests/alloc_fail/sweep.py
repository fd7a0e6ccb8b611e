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

The "probe" kinds run with every Python allocation going through malloc,
so that small objects fail too: first the module's import with the interning
of a name failing, and the process's first buffer probe with each allocation
failed in turn (a one-time step must never be left half done), then calls
whose arguments are probed for buffers and complex items, or whose text is
encoded to UTF-8.

Without arguments it runs each index kind in its own child process, so that
an abort or a hang is reported with the case that caused it.
"""

import itertools
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
VALUES = ["red", "blue", 7, 2.5, "probe", "\u00e9" * 300] + list(range(0, 17, 2))


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
        return lambda: ombrix.PyHNSW(
            DIM, layers=1, ef_construction=ef[0], ef_search=ef[1], metric=metric, schema=schema
        )

    return {
        "flat euclidean": lambda: ombrix.PyFlat(DIM),
        "flat cosine": lambda: ombrix.PyFlat(DIM, "cosine"),
        "flat inner_product": lambda: ombrix.PyFlat(DIM, "inner_product"),
        "hnsw euclidean": hnsw("euclidean", None),
        "hnsw euclidean narrow": hnsw("euclidean", None, ef=(3, 2)),
        "hnsw angular schema": hnsw("angular", SCHEMA),
        "hnsw inner_product schema": hnsw("inner_product", SCHEMA),
        "flat probe": lambda: ombrix.PyFlat(DIM),
        "hnsw probe schema": hnsw("euclidean", SCHEMA),
    }


def sweep_first_steps(problems):
    """The module's one-time steps with memory short: its import with the
    interning of a name failing (every allocation of a 10-character str
    object), then the process's first buffer probe with its n-th allocation
    failing, for n = 1, 2, ... until one runs without a failure. Each attempt
    must succeed or raise MemoryError, and nothing may stay half done: later
    calls must still refuse complex arrays (only the buffer probe tells them
    from real ones) and store float64 arrays. (Failing any allocation of the
    import in turn would also fail glibc's allocation of the thread's
    storage, which ends the process by design.)"""
    import _imp
    import importlib.util

    import numpy as np
    from inject import arm, disarm, failed

    spec = importlib.util.find_spec("ombrix")
    complex_vector = np.ones(DIM, dtype=np.complex64)
    module = None

    def attempt(function, *args, **rule):
        # Called with no Python frame in between, from a frame whose object
        # exists (see outcome() in run_kind).
        sys._getframe()
        try:
            arm(**rule)
            return function(*args)
        except BaseException as error:  # noqa: B036 - the internal-failure class is a BaseException
            return type(error)
        finally:
            disarm()

    got = attempt(_imp.create_dynamic, spec, size=sys.getsizeof("__buffer__"))
    if got is not MemoryError and not isinstance(got, type(sys)):
        problems.append(f"import with its interning failing: {got!r}")
    module = _imp.create_dynamic(spec)
    sys.modules["ombrix"] = module
    for nth in itertools.count(1):
        got = attempt(module.PyFlat(DIM).insert, complex_vector, nth=nth)
        if got not in (TypeError, MemoryError):
            problems.append(f"first probe, n={nth}: {got!r}")
        if not failed():
            break
    if attempt(module.PyFlat(DIM).insert, complex_vector) is not TypeError:
        problems.append("first steps: a complex array is no longer refused")
    flat = module.PyFlat(DIM, "inner_product")
    flat.create(np.arange(2 * DIM, dtype=np.float64).reshape(2, DIM))
    if flat.search([0.0] * (DIM - 1) + [1.0], 2) != [(0, DIM - 1.0), (1, 2 * DIM - 1.0)]:
        problems.append("first steps: a float64 array is stored wrong")


def probe_calls(kind, np, new, queries):
    """Calls whose arguments are probed for buffers, checked for complex
    items or encoded to UTF-8, as (method name, argument maker): the
    arguments are made before memory runs short, and texts afresh for each
    call, since a str keeps its UTF-8 form once made."""
    accent = "\u00e9"
    vector, rows = np.array(new[0]), np.array(new)
    complex_vector, complex_rows = vector.astype(np.complex64), rows.astype(np.complex128)
    scalars = [np.float64(x) for x in new[1]]
    row_list = [np.array(v) for v in new]
    query = np.array(queries[1])
    calls = {
        "insert numpy": ("insert", lambda: (vector,)),
        "insert complex array": ("insert", lambda: (complex_vector,)),
        "insert numpy scalars": ("insert", lambda: (scalars,)),
        "search numpy": ("search", lambda: (query, 5)),
    }
    if kind.startswith("flat"):
        calls["create numpy"] = ("create", lambda: (rows,))
        calls["create numpy rows"] = ("create", lambda: (row_list,))
        calls["create complex"] = ("create", lambda: (complex_rows,))
        return {name: (call, None) for name, call in calls.items()}
    number, complex_number = np.float64(2.5), np.complex64(7)
    calls["insert metadata numpy"] = ("insert", lambda: (new[0], [("c", number)]))
    calls["insert metadata complex"] = ("insert", lambda: (new[0], [("c", complex_number)]))
    calls["insert metadata text"] = ("insert", lambda: (new[0], [("c", accent * 300)]))
    calls["search filter numpy"] = ("search", lambda: (query, 5, ("c", number)))
    calls["search filter complex"] = ("search", lambda: (query, 5, ("c", complex_number)))
    calls["search filter text"] = ("search", lambda: (query, 5, ("c", accent * 300)))
    calls = {name: (call, None) for name, call in calls.items()}
    calls["create numpy metadata"] = (
        ("create", lambda: (rows, [[("c", number)]] * 3)),
        (lambda i, j: i.create(new[:j], [[("c", 2.5)]] * j), range(1, 3)),
    )
    return calls


def run_kind(kind):
    problems = []
    if "probe" in kind:
        sweep_first_steps(problems)

    import numpy as np
    from inject import arm, disarm, failed, sizes

    import ombrix

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
    if "probe" in kind:
        calls = probe_calls(kind, np, new, queries)
    elif is_flat:
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
        calls["constructor"] = (lambda i: ombrix.PyHNSW(3, metric="angular", schema=["a", "b"]).insert([1, 2, 3]), None)
        if has_schema:
            calls["insert metadata"] = (lambda i: i.insert(new[0], [("c", "blue")]), None)
            calls["insert refused metadata"] = (lambda i: i.insert(new[0], [("c", [1])]), None)
            calls["create metadata"] = (
                lambda i: i.create(new, rows),
                (lambda i, j: i.create(new[:j], rows[:j]), range(1, 3)),
            )
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

    def outcome(call, index, **rule):
        """The call's result made comparable, or the type of the exception it
        raised, with allocations failing by `rule` (see inject.arm) during
        the call. A call given as (method name, argument
        maker) runs without a Python frame of its own, and this frame's
        object exists beforehand: where CPython cannot make the frame object
        that a traceback entry needs, it loses the exception and raises
        SystemError instead."""
        if isinstance(call, tuple):
            name, make_args = call
            method, args = getattr(index, name), make_args()
        else:
            method, args = call, (index,)
        sys._getframe()
        try:
            if rule:
                arm(**rule)
            result = method(*args)
        except BaseException as error:  # noqa: B036 - the internal-failure class is a BaseException
            return type(error)
        finally:
            disarm()
        return canonical(result)

    totals = {"calls": 0, "memory_errors": 0, "cases": 0}
    for size in BASE_SIZES:
        make = maker(size)
        before = answers(make())
        for name, (call, prefix) in calls.items():
            case = f"{kind}, {size} stored, {name}"
            totals["cases"] += 1
            index = make()
            expected = outcome(call, index, nth=0)
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
                    got = outcome(call, index, nth=nth, persistent=persistent)
                    check(f"n={nth}{' on' if persistent else ''}", got, index)
            for one_size in seen_sizes:
                if one_size == 0:
                    continue
                index = make()
                got = outcome(call, index, size=one_size)
                check(f"size={one_size}", got, index)

            # The first call of a fresh thread, with no memory at all (where
            # every Python object comes from malloc, the interpreter itself
            # cannot start a thread's first call then).
            if "probe" not in kind:
                index = make()
                result = []

                def first():
                    result.append(outcome(call, index, nth=1, persistent=True))
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
        kind_env = dict(env, PYTHONMALLOC="malloc") if "probe" in kind else env
        try:
            child = subprocess.run(
                [sys.executable, __file__, kind], env=kind_env, capture_output=True, text=True, timeout=600
            )
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
                failures.append(line[len("PROBLEM: ") :])
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
