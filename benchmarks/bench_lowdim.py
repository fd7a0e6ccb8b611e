"""Exact k-NN search in few dimensions: ombrix.PyFlat against scipy's cKDTree
and scikit-learn's NearestNeighbors (kd_tree, ball_tree, brute).

For uniform points in [0, 1)^d and a Gaussian mixture, N points, dims 2 to 32,
k = 10, it measures the median latency of one query per call, the time of
PyFlat.create against cKDTree's construction, PyFlat's memory against the raw
float64 bytes, and 100 000 single inserts (median of a few rounds). Every
PyFlat result is checked against a left-to-right float64 reference (ids and
value bits).

With --baseline-python, PyFlat is timed again in a child process of that
interpreter (another build of ombrix), side by side in the same run.

    taskset -c 0 python benchmarks/bench_lowdim.py [--quick]
"""

import argparse
import ctypes
import json
import os
import platform
import statistics
import subprocess
import sys
import time

import numpy as np

import ombrix
from common import RESULTS_DIR, median_time

try:
    from scipy.spatial import cKDTree
except ImportError:
    cKDTree = None
try:
    from sklearn.neighbors import NearestNeighbors
except ImportError:
    NearestNeighbors = None

METRICS = ["euclidean", "inner_product", "cosine"]
K = 10
# 100 000 single inserts are timed this many times, on a new index each (median).
INSERT_ROUNDS = 5


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--n", type=int, default=1_000_000)
    p.add_argument("--dims", default="2,3,8,16,32")
    p.add_argument("--queries", type=int, default=50)
    p.add_argument("--checked", type=int, default=10, help="queries checked against the reference")
    p.add_argument("--seed", type=int, default=23)
    p.add_argument("--baseline-python", help="an interpreter with another build of ombrix")
    p.add_argument("--pyflat-only", help=argparse.SUPPRESS)  # child mode: write PyFlat timings here
    p.add_argument("--quick", action="store_true", help="N = 100 000, dims 2 and 8")
    p.add_argument("--out", default=RESULTS_DIR)
    args = p.parse_args(argv)
    if args.quick:
        args.n, args.dims = 100_000, "2,8"
    args.dims = [int(d) for d in args.dims.split(",")]
    return args


def dataset(kind, n, dim, queries, seed):
    rng = np.random.default_rng([seed, dim, kind == "mixture"])
    if kind == "uniform":
        return rng.random((n, dim)), rng.random((queries, dim))
    centres = rng.random((64, dim))
    pick = rng.integers(0, 64, n + queries)
    points = centres[pick] + 0.02 * rng.standard_normal((n + queries, dim))
    return points[:n], points[n:]


def median_ms(search, queries):
    return 1e3 * median_time(search, queries)


def reference(X, q, metric, k):
    """Left-to-right float64 values (one coordinate at a time over all rows),
    ranked by value with NaN last, ties by id."""
    s = np.zeros(len(X))
    for j in range(X.shape[1]):
        s = s + ((X[:, j] - q[j]) * (X[:, j] - q[j]) if metric == "euclidean" else X[:, j] * q[j])
    if metric == "euclidean":
        s = np.sqrt(s)
    elif metric == "cosine":
        nx = np.zeros(len(X))
        for j in range(X.shape[1]):
            nx = nx + X[:, j] * X[:, j]
        nq = 0.0
        for v in q:
            nq = nq + v * v
        s = s / (np.sqrt(nq) * np.sqrt(nx))
    order = np.argsort(s, kind="stable")[:k]
    return [(int(i), float(s[i])) for i in order]


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def trim():
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except OSError:
        pass


def pyflat_cases(args, check):
    """PyFlat's create, memory and query times (and mismatches) per case."""
    out = {}
    for kind in ("uniform", "mixture"):
        for dim in args.dims:
            X, Q = dataset(kind, args.n, dim, args.queries, args.seed)
            for metric in METRICS:
                trim()
                before = rss_bytes()
                index = ombrix.PyFlat(dim, metric)
                t = time.perf_counter()
                index.create(X)
                create = time.perf_counter() - t
                trim()
                memory = (rss_bytes() - before) / X.nbytes
                ms = median_ms(lambda q, index=index: index.search(q, K), Q)
                bad = 0
                if check:
                    for q in Q[: args.checked]:
                        got = index.search(q, K)
                        want = reference(X, q, metric, K)
                        bad += [(i, v.hex()) for i, v in got] != [(i, v.hex()) for i, v in want]
                out[f"{kind} {dim} {metric}"] = {"ms": ms, "create_s": create, "memory": memory, "mismatched": bad}
                del index
    rng = np.random.default_rng(args.seed)
    rows = rng.random((100_000, 3)).tolist()
    times = []
    for _ in range(INSERT_ROUNDS):
        index = ombrix.PyFlat(3)
        t = time.perf_counter()
        for r in rows:
            index.insert(r)
        times.append(time.perf_counter() - t)
        del index
    out["insert 100000 x 3 s"] = statistics.median(times)
    return out


def peers(X, Q):
    """Euclidean peers: name -> (build seconds, query ms, ids of the first query)."""
    out = {}
    if cKDTree is not None:
        t = time.perf_counter()
        tree = cKDTree(X)
        build = time.perf_counter() - t
        out["scipy cKDTree"] = (build, median_ms(lambda q: tree.query(q, K), Q), tree.query(Q[0], K)[1].tolist())
        del tree
    if NearestNeighbors is not None:
        for algorithm in ("kd_tree", "ball_tree", "brute"):
            t = time.perf_counter()
            nn = NearestNeighbors(n_neighbors=K, algorithm=algorithm, n_jobs=1).fit(X)
            build = time.perf_counter() - t
            one = lambda q, nn=nn: nn.kneighbors(q[None, :], K)  # noqa: E731
            out[f"sklearn {algorithm}"] = (build, median_ms(one, Q), one(Q[0])[1][0].tolist())
            del nn
    return out


def run_baseline(args):
    if not args.baseline_python:
        return None
    os.makedirs(args.out, exist_ok=True)
    path = os.path.join(args.out, ".bench_lowdim_baseline.json")
    cmd = [
        args.baseline_python,
        os.path.abspath(__file__),
        "--n",
        str(args.n),
        "--queries",
        str(args.queries),
        "--seed",
        str(args.seed),
        "--dims",
        ",".join(map(str, args.dims)),
        "--pyflat-only",
        path,
    ]
    subprocess.run(cmd, check=True)
    with open(path) as f:
        result = json.load(f)
    os.remove(path)
    return result


def markdown(args, ours, base, peer_rows):
    lines = [f"N = {args.n}, k = {K}, one query per call, median of {args.queries}; ms per query.", ""]
    names = sorted({name for rows in peer_rows.values() for name in rows})
    head = ["data", "dim", "PyFlat"] + (["PyFlat before"] if base else []) + names + ["PyFlat / cKDTree"]
    lines += ["Euclidean:", "", "| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for (kind, dim), rows in peer_rows.items():
        case = ours[f"{kind} {dim} euclidean"]
        cells = [kind, str(dim), f"{case['ms']:.4f}"]
        if base:
            cells.append(f"{base[f'{kind} {dim} euclidean']['ms']:.4f}")
        cells += [f"{rows[n][1]:.4f}" if n in rows else "-" for n in names]
        kd = rows.get("scipy cKDTree")
        cells.append(f"{case['ms'] / kd[1]:.2f}x" if kd else "-")
        lines.append("| " + " | ".join(cells) + " |")
    lines += ["", "Inner product and cosine (no tree peer offers them):", ""]
    head = ["data", "dim", "metric", "PyFlat"] + (["PyFlat before", "speed-up"] if base else [])
    lines += ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for kind, dim in peer_rows:
        for metric in METRICS[1:]:
            key = f"{kind} {dim} {metric}"
            cells = [kind, str(dim), metric, f"{ours[key]['ms']:.4f}"]
            if base:
                cells += [f"{base[key]['ms']:.4f}", f"{base[key]['ms'] / ours[key]['ms']:.1f}x"]
            lines.append("| " + " | ".join(cells) + " |")
    lines += ["", "Create (s) and memory (RSS growth / raw float64 bytes), Euclidean:", ""]
    head = ["data", "dim", "PyFlat create", "cKDTree build", "ratio", "PyFlat memory"]
    lines += ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for (kind, dim), rows in peer_rows.items():
        case = ours[f"{kind} {dim} euclidean"]
        kd = rows.get("scipy cKDTree")
        build = f"{kd[0]:.3f}" if kd else "-"
        ratio = f"{case['create_s'] / kd[0]:.2f}x" if kd else "-"
        lines.append(f"| {kind} | {dim} | {case['create_s']:.3f} | {build} | {ratio} | {case['memory']:.2f}x |")
    now = ours["insert 100000 x 3 s"]
    ins = f"{now:.3f} s"
    if base:
        before = base["insert 100000 x 3 s"]
        ins += f" (before: {before:.3f} s, {now / before:.2f}x)"
    bad = sum(c["mismatched"] for key, c in ours.items() if isinstance(c, dict))
    lines += [
        "",
        f"100 000 single inserts of 3 coordinates (median of {INSERT_ROUNDS} rounds): {ins}.",
        f"Queries whose ids or value bits differ from the left-to-right reference: {bad}.",
    ]
    return "\n".join(lines) + "\n"


def main(argv=None):
    args = parse_args(argv)
    if args.pyflat_only:
        with open(args.pyflat_only, "w") as f:
            json.dump(pyflat_cases(args, check=False), f)
        return
    base = run_baseline(args)
    ours = pyflat_cases(args, check=True)
    peer_rows = {}
    for kind in ("uniform", "mixture"):
        for dim in args.dims:
            X, Q = dataset(kind, args.n, dim, args.queries, args.seed)
            peer_rows[(kind, dim)] = rows = peers(X, Q)
            print(
                kind,
                dim,
                {n: f"{r[1]:.4f} ms" for n, r in rows.items()},
                f"PyFlat {ours[f'{kind} {dim} euclidean']['ms']:.4f} ms",
                flush=True,
            )
    table = markdown(args, ours, base, peer_rows)
    print(table)
    tag = "quick" if args.quick else "full"
    os.makedirs(args.out, exist_ok=True)
    meta = {"machine": platform.processor() or platform.machine(), "python": sys.version.split()[0], "n": args.n}
    with open(os.path.join(args.out, f"bench_lowdim_{tag}.json"), "w") as f:
        json.dump(
            {
                "meta": meta,
                "pyflat": ours,
                "baseline": base,
                "peers": {f"{k} {d}": r for (k, d), r in peer_rows.items()},
            },
            f,
            indent=1,
        )
    with open(os.path.join(args.out, f"bench_lowdim_{tag}.md"), "w") as f:
        f.write(table)


if __name__ == "__main__":
    main()
