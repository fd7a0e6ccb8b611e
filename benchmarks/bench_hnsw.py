"""Approximate search: ombrix.PyHNSW build time, QPS and recall@k, with peers.

For each N (default 2000, 10000, 20000), dim 128, k 10, float64 Gaussian data, it
builds a PyHNSW with the default parameters under each metric ("euclidean",
"angular", "inner_product"), times single-threaded searches, and scores recall@k
against the exact answer, then fits the growth exponent of build time over N.
PyFlat runs on the same data, and hnswlib / faiss IndexHNSWFlat / usearch when
installed (M=16, efConstruction=200, float32, one thread), each at ef=50 and at
the smallest ef of a sweep that reaches recall 0.95 and 0.99.

Last, the C++ program benchmarks/hnsw_counts.cpp (built by `make bench`) gives
the exact work of the core at N = --count-sizes: distance evaluations, list
entries scanned and expansions per insert and per search, and build and search
CPU time against the floor (evaluations x the cost of one distance in a
contiguous scan). With --baseline-counts pointing at the same program built
against another core, both run in turn, pinned to CPU 0, --repeats times, and
the medians are compared side by side; equal checksums show that both cores
returned the same results.

    python benchmarks/bench_hnsw.py                 # full run
    python benchmarks/bench_hnsw.py --quick         # small smoke run
    python benchmarks/bench_hnsw.py --sizes 2000,10000 --metrics euclidean
    python benchmarks/bench_hnsw.py --sizes "" --count-sizes 10000,50000 \
        --baseline-counts /path/to/old/hnsw_counts  # the core and the goals alone
    python benchmarks/bench_hnsw.py --sizes 2000 --count-sizes 10000,20000 \
        --baseline-counts /path/to/old/hnsw_counts

Then the filtered-search table and the goals, at N = --filter-sizes (default
10 000 and 50 000): every node holds two integer attributes, "label" (10
equally common values) and "tag" (100), and a filtered search asks for one
value of one of them (10 % or 1 % of the nodes). PyHNSW filtered and
unfiltered, PyFlat over all vectors and one PyFlat per value (built by the
user), hnswlib with its filter callback and faiss IndexHNSWFlat with an ID
selector (float32, M=16, efConstruction=200, ef=50), each with recall@10
against the exact answer among the matching vectors and the median µs per
query. With --baseline-python naming an interpreter whose `ombrix` is another
build (today's core), both builds run side by side as child processes
(benchmarks/hnsw_worker.py): the same data, their builds and searches in
turn, rounds alternating, medians over all rounds.

    python benchmarks/bench_hnsw.py --sizes 2000 --count-sizes "" \
        --filter-sizes 10000,50000 --baseline-python /path/to/old/venv/bin/python

Build times are CPU time of this process (every library runs on one thread), so
that other programs sharing the core do not count; query latencies and QPS are
wall-clock.

Ranking: ombrix ranks by the raw metric value, smallest first, for every metric.
The exact answer is therefore the k smallest Euclidean distances, the k smallest
cosines ("angular") and the k smallest dot products ("inner_product"). hnswlib and
faiss rank the most similar first, so under "angular" and "inner_product" they are
searched with the negated query -q: the vectors most similar to -q are exactly the
vectors with the smallest cosine / dot product with q, the same set ombrix is asked
for. Under "euclidean" every index is asked the same question directly.

ombrix's graph grows dense (m bounds nothing; each insert links to up to
ef_construction nodes on every layer at or above its level), so builds grow faster
than linearly: 20 000 vectors can take minutes. That is what this measures.
"""

import argparse
import gc
import json
import math
import os
import platform
import shlex
import shutil
import statistics
import subprocess
import sys
import time

import numpy as np

import ombrix
from common import RESULTS_DIR, faiss, hnswlib, time_queries

try:
    import usearch.index as usearch_index
except ImportError:
    usearch_index = None

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
METRICS = ("euclidean", "angular", "inner_product")
FLAT_METRIC = {"euclidean": "euclidean", "angular": "cosine", "inner_product": "inner_product"}
HNSWLIB_SPACE = {"euclidean": "l2", "angular": "cosine", "inner_product": "ip"}
PEER_M, PEER_EF_CONSTRUCTION, PEER_EF = 16, 200, 50
PEER_EF_SWEEP = (10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024)
RECALL_TARGETS = (0.95, 0.99)


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="small smoke run (N = 500, 1000)")
    p.add_argument(
        "--sizes",
        type=str,
        default=None,
        help="comma-separated N values (default 2000,10000,20000; empty: no peer table)",
    )
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("-k", type=int, default=10)
    p.add_argument("--metrics", type=str, default=",".join(METRICS))
    p.add_argument(
        "--peer-metrics",
        type=str,
        default=",".join(METRICS),
        help="metrics under which hnswlib/faiss run (negated query for angular/inner_product)",
    )
    p.add_argument("--queries", type=int, default=200)
    p.add_argument("--budget", type=float, default=5.0, help="seconds of searching per method and case")
    p.add_argument(
        "--count-at", type=int, default=10000, help="N at which distance evaluations per insert/search are reported"
    )
    p.add_argument("--count-sizes", type=str, default="10000,20000", help="N values for hnsw_counts (empty: skip it)")
    p.add_argument("--counts-bin", type=str, default=os.path.join(REPO, "build", "bench", "hnsw_counts"))
    p.add_argument(
        "--baseline-counts",
        type=str,
        default=None,
        help="hnsw_counts built against another core, compared side by side",
    )
    p.add_argument("--repeats", type=int, default=3, help="hnsw_counts runs per program and N (medians)")
    p.add_argument(
        "--count-queries",
        type=int,
        default=1000,
        help="searches timed by hnsw_counts per run (a search is short: fewer are noisy)",
    )
    p.add_argument(
        "--filter-sizes",
        type=str,
        default="10000,50000",
        help="N values for the filtered table and the goals (empty: skip them)",
    )
    p.add_argument("--filter-queries", type=int, default=100, help="queries per round of the filtered table")
    p.add_argument("--filter-rounds", type=int, default=5, help="rounds of the filtered table (sides alternate)")
    p.add_argument("--only-filtered", action="store_true", help="run the filtered table and the goals alone")
    p.add_argument(
        "--baseline-python",
        type=str,
        default=None,
        help="interpreter whose ombrix is another build, run side by side in the filtered table",
    )
    p.add_argument("--seed", type=int, default=2024)
    p.add_argument("--out", type=str, default=RESULTS_DIR)
    p.add_argument("--no-plot", action="store_true")
    a = p.parse_args(argv)
    if a.quick:
        a.sizes = a.sizes or "500,1000"
        a.queries = min(a.queries, 50)
        a.count_queries = min(a.count_queries, 50)
        a.budget = min(a.budget, 1.0)
        a.count_at = 1000 if a.count_at == 10000 else a.count_at
        a.count_sizes = "1000" if a.count_sizes == "10000,20000" else a.count_sizes
        a.repeats = 1
        a.filter_sizes = "2000" if a.filter_sizes == "10000,50000" else a.filter_sizes
        a.filter_queries = min(a.filter_queries, 30)
        a.filter_rounds = min(a.filter_rounds, 2)
    a.filter_sizes = [int(float(s)) for s in a.filter_sizes.split(",") if s]
    a.sizes = [int(float(s)) for s in (a.sizes if a.sizes is not None else "2000,10000,20000").split(",") if s]
    a.count_sizes = [int(float(s)) for s in a.count_sizes.split(",") if s]
    a.metrics = [m for m in a.metrics.split(",") if m]
    a.peer_metrics = [m for m in a.peer_metrics.split(",") if m]
    for m in a.metrics + a.peer_metrics:
        if m not in METRICS:
            p.error(f"unknown metric {m!r}")
    return a


# ---------------------------------------------------------------------------
# Distance-evaluation counts.
#
# The Python classes expose no counter of metric evaluations (the C++ program
# benchmarks/hnsw_counts.cpp counts them on the core). read_distance_counter is
# the one place to plug a Python-visible counter in: return the index's running count (an int), or
# None when there is none. With a counter the report shows exact counts and how
# close build/search time come to count x cost of one distance; without, it
# estimates the counts from timings and the per-distance cost measured by PyFlat.
# ---------------------------------------------------------------------------
def read_distance_counter(index):
    value = getattr(index, "distance_evaluations", None)
    if value is None:
        return None
    return int(value() if callable(value) else value)


def exact_topk(X, Q, metric, k):
    """Ids of the k smallest raw metric values per query (ties by smaller id)."""
    norms = np.linalg.norm(X, axis=1)
    out = []
    for q in Q:
        if metric == "euclidean":
            v = np.linalg.norm(X - q, axis=1)
        elif metric == "angular":
            v = (X @ q) / (norms * np.linalg.norm(q))
        else:
            v = X @ q
        out.append(np.argsort(v, kind="stable")[:k])
    return np.array(out)


def recall(found, truth, k):
    return statistics.fmean(len(set(f) & set(t.tolist())) / k for f, t in zip(found, truth))


def bench_ombrix(X, X_lists, Q_lists, metric, args, key_to_id):
    n, dim = X.shape
    idx = ombrix.PyHNSW(dim, metric=metric)
    c0 = read_distance_counter(idx)
    t0 = time.process_time()
    idx.create(X_lists)
    build = time.process_time() - t0
    c1 = read_distance_counter(idx)
    lat, qps, out, calls = time_queries(lambda q: idx.search(q, args.k), Q_lists, args.budget, 10)
    c2 = read_distance_counter(idx)
    ids = [[key_to_id.get(np.asarray(v, dtype=np.float64).tobytes(), -1) for _, v in r] for r in out]
    row = {"build_s": build, "lat_s": lat, "qps": qps, "ids": ids}
    if None not in (c0, c1, c2):
        row["evals_per_insert"] = (c1 - c0) / n
        row["evals_per_search"] = (c2 - c1) / calls
    idx = None  # let go of the index (the closure above refers to the name)
    gc.collect()
    return row


def bench_flat(X, Q_lists, metric, args):
    flat = ombrix.PyFlat(X.shape[1], metric=FLAT_METRIC[metric])
    t0 = time.process_time()
    flat.create(X)
    build = time.process_time() - t0
    lat, qps, out, _ = time_queries(lambda q: flat.search(q, args.k), Q_lists, args.budget, 10)
    return {"build_s": build, "lat_s": lat, "qps": qps, "ids": [[i for i, _ in r] for r in out]}


def peer_at_targets(search_at, set_ef, Q32, truth, args):
    """QPS of a peer at ef = PEER_EF and at the smallest swept ef reaching each
    recall target (None where no swept ef reaches it)."""

    def measure(ef):
        set_ef(ef)
        lat, qps, out, _ = time_queries(search_at, Q32, args.budget / 5, 10)
        return {"ef": ef, "lat_s": lat, "qps": qps, "recall": recall(out, truth, args.k)}

    row = measure(PEER_EF)
    found = {}
    for ef in PEER_EF_SWEEP:
        set_ef(ef)
        # A quick pass over the queries for recall; time only the chosen ef.
        r = recall([search_at(q) for q in Q32], truth, args.k)
        for target in RECALL_TARGETS:
            if target not in found and r >= target:
                found[target] = measure(ef)
        if len(found) == len(RECALL_TARGETS):
            break
    row["at_recall"] = {str(t): found.get(t) for t in RECALL_TARGETS}
    return row


def bench_hnswlib(X32, Q32, metric, args, truth):
    n, dim = X32.shape
    index = hnswlib.Index(space=HNSWLIB_SPACE[metric], dim=dim)
    index.init_index(max_elements=n, M=PEER_M, ef_construction=PEER_EF_CONSTRUCTION, random_seed=args.seed)
    t0 = time.process_time()
    index.add_items(X32, num_threads=1)
    build = time.process_time() - t0
    row = peer_at_targets(
        lambda q: index.knn_query(q, k=args.k, num_threads=1)[0][0].tolist(), index.set_ef, Q32, truth, args
    )
    row["build_s"] = build
    return row


def bench_faiss(X32, Q32, metric, args, truth):
    n, dim = X32.shape
    faiss.omp_set_num_threads(1)
    if metric == "euclidean":
        index = faiss.IndexHNSWFlat(dim, PEER_M)
    else:
        index = faiss.IndexHNSWFlat(dim, PEER_M, faiss.METRIC_INNER_PRODUCT)
    if metric == "angular":  # cosine = inner product of unit vectors
        X32 = X32 / np.linalg.norm(X32, axis=1, keepdims=True)
        Q32 = [q / np.linalg.norm(q) for q in Q32]
    index.hnsw.efConstruction = PEER_EF_CONSTRUCTION
    t0 = time.process_time()
    index.add(X32)
    build = time.process_time() - t0

    def set_ef(ef):
        index.hnsw.efSearch = ef

    row = peer_at_targets(lambda q: index.search(q, args.k)[1][0].tolist(), set_ef, Q32, truth, args)
    row["build_s"] = build
    return row


def bench_usearch(X32, Q32, metric, args, truth):
    n, dim = X32.shape
    index = usearch_index.Index(
        ndim=dim,
        metric={"euclidean": "l2sq", "angular": "cos", "inner_product": "ip"}[metric],
        dtype="f32",
        connectivity=PEER_M,
        expansion_add=PEER_EF_CONSTRUCTION,
    )
    t0 = time.process_time()
    index.add(np.arange(n), X32, threads=1)
    build = time.process_time() - t0

    def set_ef(ef):
        index.expansion_search = ef

    row = peer_at_targets(
        lambda q: index.search(q.reshape(-1), args.k, threads=1).keys.tolist(), set_ef, Q32, truth, args
    )
    row["build_s"] = build
    return row


def run_size(n, args, rng):
    dim, k = args.dim, args.k
    X = rng.standard_normal((n, dim))
    Q = rng.standard_normal((args.queries, dim))
    X_lists, Q_lists = X.tolist(), Q.tolist()
    key_to_id = {row.tobytes(): i for i, row in enumerate(X)}
    X32 = np.ascontiguousarray(X, dtype=np.float32)
    rows = []
    for metric in args.metrics:
        truth = exact_topk(X, Q, metric, k)
        # Peers rank most-similar first: ask them about -q for the similarity metrics.
        sign = 1.0 if metric == "euclidean" else -1.0
        Q32 = [np.ascontiguousarray(sign * q, dtype=np.float32).reshape(1, dim) for q in Q]
        runs = [
            ("ombrix PyHNSW", lambda: bench_ombrix(X, X_lists, Q_lists, metric, args, key_to_id)),
            ("ombrix PyFlat", lambda: bench_flat(X, Q_lists, metric, args)),
        ]
        if metric in args.peer_metrics:
            if hnswlib is not None:
                runs.append(("hnswlib HNSW", lambda: bench_hnswlib(X32, Q32, metric, args, truth)))
            if faiss is not None:
                runs.append(("faiss IndexHNSWFlat", lambda: bench_faiss(X32, Q32, metric, args, truth)))
            if usearch_index is not None:
                runs.append(("usearch Index", lambda: bench_usearch(X32, Q32, metric, args, truth)))
        for name, fn in runs:
            print(f"  N={n:,} {metric:13s} {name:20s} ...", end="", flush=True)
            r = fn()
            if "ids" in r:
                r["recall"] = recall(r.pop("ids"), truth, k)
            r.update(n=n, metric=metric, method=name)
            print(f" build {r['build_s']:8.2f} s  {r['qps']:9.1f} QPS  recall@{k} {r['recall']:.3f}", end="")
            for target, at in r.get("at_recall", {}).items():
                print(
                    f"  | recall {target}: " + (f"ef {at['ef']} {at['qps']:.0f} QPS" if at else "not reached"), end=""
                )
            print(flush=True)
            rows.append(r)
    return rows


def print_table(rows, dim, k):
    print(
        f"\nResults (dim {dim}, k={k}; build CPU s; QPS and latency single-threaded; ratios relative to ombrix PyHNSW)"
    )
    hdr = (
        f"  {'N':>6s} {'metric':13s} {'method':20s} {'build s':>9s} {'build x':>8s} "
        f"{'median ms':>10s} {'QPS':>9s} {'QPS x':>7s} {'recall@' + str(k):>9s}"
    )
    print(hdr)
    base = {(r["n"], r["metric"]): r for r in rows if r["method"] == "ombrix PyHNSW"}
    for r in rows:
        b = base[(r["n"], r["metric"])]
        print(
            f"  {r['n']:6d} {r['metric']:13s} {r['method']:20s} {r['build_s']:9.2f} "
            f"{r['build_s'] / b['build_s']:7.2f}x {r['lat_s'] * 1e3:10.3f} {r['qps']:9.1f} "
            f"{r['qps'] / b['qps']:6.2f}x {r['recall']:9.3f}"
        )
    print("  Ground truth: the k smallest raw values (Euclidean distance, cosine, dot product).")
    print("  hnswlib/faiss use float32 and, under angular/inner_product, the negated query,")
    print("  which asks them for the same vectors. PyFlat 'build' is create() from numpy.")


def print_distance_counts(rows, n):
    """Distance evaluations per insert and per search at N = n, exact or estimated."""
    sel = [r for r in rows if r["n"] == n]
    if not sel:
        return
    print(f"\nDistance evaluations at N={n:,}")
    for metric in METRICS:
        h = next((r for r in sel if r["metric"] == metric and r["method"] == "ombrix PyHNSW"), None)
        f = next((r for r in sel if r["metric"] == metric and r["method"] == "ombrix PyFlat"), None)
        if h is None or f is None:
            continue
        # PyFlat evaluates the metric once per stored vector: its per-query time / N
        # is the cost of one distance (plus its share of the top-k bookkeeping).
        cost = f["lat_s"] / n
        per_insert_time = h["build_s"] / n
        print(f"  {metric:13s} one distance ~ {cost * 1e9:6.1f} ns (PyFlat search / N)")
        if "evals_per_insert" in h:
            ei, es = h["evals_per_insert"], h["evals_per_search"]
            print(f"    exact: {ei:10.0f} per insert, {es:8.0f} per search")
            print(
                f"    count x cost / measured time: insert {ei * cost / per_insert_time:5.2f}, "
                f"search {es * cost / h['lat_s']:5.2f}"
            )
            h["evals_exact"] = True
        else:
            ei, es = per_insert_time / cost, h["lat_s"] / cost
            print(
                f"    time-equivalent:      {ei:10.0f} per insert ({per_insert_time * 1e3:.2f} ms), "
                f"{es:8.0f} per search ({h['lat_s'] * 1e3:.3f} ms)"
            )
            h["evals_exact"] = False
        h["evals_per_insert"], h["evals_per_search"] = ei, es
    if not all(r.get("evals_exact") for r in sel if r["method"] == "ombrix PyHNSW"):
        print("  Time-equivalent counts = measured time / cost of one PyFlat distance; the Python")
        print("  class exposes no counter. They overstate the real counts: PyFlat streams contiguous")
        print("  vectors in SIMD batches, while the graph reads scattered vectors and also scans")
        print("  neighbour lists, keeps heaps and a visited set. Exact counts come from the C++")
        print("  program benchmarks/hnsw_counts.cpp (built and run by `make bench`).")


def growth_exponents(rows):
    """Least-squares slope of log(build time) over log(N), per metric."""
    out = {}
    for metric in METRICS:
        pts = [
            (math.log(r["n"]), math.log(r["build_s"]))
            for r in rows
            if r["metric"] == metric and r["method"] == "ombrix PyHNSW" and r["build_s"] > 0
        ]
        if len(pts) < 2 or len({x for x, _ in pts}) < 2:
            continue
        mx = statistics.fmean(x for x, _ in pts)
        my = statistics.fmean(y for _, y in pts)
        out[metric] = sum((x - mx) * (y - my) for x, y in pts) / sum((x - mx) ** 2 for x, _ in pts)
    if out:
        print(
            "\nGrowth of PyHNSW build time, fitted as N^e over N = "
            + ", ".join(f"{n:,}" for n in sorted({r["n"] for r in rows}))
        )
        for metric, e in out.items():
            print(f"  {metric:13s} e = {e:.2f}")
    return out


def run_counts_program(path, n, args):
    cmd = [path, "--json", str(n), str(args.dim), str(args.count_queries)]
    if shutil.which("taskset"):
        cmd = ["taskset", "-c", "0"] + cmd
    env = dict(os.environ, OMP_NUM_THREADS="1")
    done = subprocess.run(cmd, check=True, capture_output=True, text=True, env=env)
    return [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]


def bench_counts(args):
    """Median hnsw_counts figures per (program, N, metric); programs alternate."""
    programs = [("after", args.counts_bin)]
    if args.baseline_counts:
        programs.insert(0, ("before", args.baseline_counts))
    if not args.count_sizes or not os.path.exists(args.counts_bin):
        if args.count_sizes:
            print(f"\n{args.counts_bin} not built (make bench builds it): no exact counts")
        return []
    runs = {}
    for rep in range(args.repeats):
        for n in args.count_sizes:
            order = programs if rep % 2 == 0 else programs[::-1]
            for tag, path in order:
                print(f"  hnsw_counts {tag:6s} N={n:,} run {rep + 1}/{args.repeats} ...", end="", flush=True)
                for r in run_counts_program(path, n, args):
                    runs.setdefault((tag, n, r["metric"]), []).append(r)
                    print(f" {r['metric']} {r['build_s']:.2f} s", end="", flush=True)
                print(flush=True)
    rows = []
    for (tag, n, metric), rs in runs.items():
        med = {key: statistics.median(r[key] for r in rs) for key in rs[0] if isinstance(rs[0][key], (int, float))}
        # Every result's checksum: unfiltered, then filtered at 10 % and 1 %.
        med.update(
            program=tag,
            n=n,
            metric=metric,
            runs=len(rs),
            checksums=sorted({",".join(r.get(key, "-") for key in CHECKSUMS) for r in rs}),
        )
        # A core from before the distinction scores every distance it takes.
        med.setdefault("insert_scored", med["insert_evals"])
        med.setdefault("search_scored", med["search_evals"])
        med["build_floor"] = med["build_s"] / (med["insert_evals"] * n * med["seconds_per_distance"])
        med["search_floor"] = med["search_s"] / (med["search_evals"] * med["seconds_per_distance"])
        med["build_scored_floor"] = med["build_s"] / (med["insert_scored"] * n * med["seconds_per_distance"])
        rows.append(med)
    print_counts(rows)
    return rows


CHECKSUMS = ("checksum", "filtered10_checksum", "filtered1_checksum")


def print_counts(rows):
    print(
        "\nhnsw_counts (C++ core, defaults, dim as above, --count-queries searches, CPU time, medians); "
        "floor = time / (evaluations x one contiguous-scan distance); evaluations are the distances the "
        "traversal takes, scored the metric evaluations made for them (floor/sc: time / (scored x cost))"
    )
    print(
        f"  {'N':>6s} {'metric':13s} {'core':6s} {'build s':>8s} {'floor':>6s} {'floor/sc':>8s} "
        f"{'search us':>10s} {'floor':>6s} {'evals/ins':>10s} {'scored/ins':>10s} {'scan/ins':>9s} "
        f"{'exp/ins':>8s} {'evals/q':>8s} {'scored/q':>8s} {'scan/q':>8s} {'exp/q':>7s} {'bytes/node':>10s}  checksum"
    )
    for r in sorted(rows, key=lambda r: (r["n"], METRICS.index(r["metric"]), r["program"] != "before")):

        def count(key):
            return f"{r[key]:.0f}" if r[key] >= 0 else "-"

        print(
            f"  {r['n']:6d} {r['metric']:13s} {r['program']:6s} {r['build_s']:8.2f} {r['build_floor']:6.2f} "
            f"{r['build_scored_floor']:8.2f} {r['search_s'] * 1e6:10.1f} {r['search_floor']:6.2f} "
            f"{count('insert_evals'):>10s} {count('insert_scored'):>10s} {count('insert_scanned'):>9s} "
            f"{count('insert_expansions'):>8s} {count('search_evals'):>8s} {count('search_scored'):>8s} "
            f"{count('search_scanned'):>8s} {count('search_expansions'):>7s} {r['bytes_per_node']:10.0f}  "
            f"{','.join(r['checksums'])}"
        )
    pairs = {}
    for r in rows:
        pairs.setdefault((r["n"], r["metric"]), {})[r["program"]] = r
    print("\n  with a schema (label: 10 values, tag: 100), filtered searches at 10 % and 1 %:")
    print(
        f"  {'N':>6s} {'metric':13s} {'core':6s} {'build s':>8s} {'schema s':>8s} {'search us':>10s} "
        f"{'10 % us':>8s} {'1 % us':>8s} {'bytes/node':>10s} {'with schema':>11s}"
    )
    for r in sorted(rows, key=lambda r: (r["n"], METRICS.index(r["metric"]), r["program"] != "before")):
        print(
            f"  {r['n']:6d} {r['metric']:13s} {r['program']:6s} {r['build_s']:8.2f} {r['build_schema_s']:8.2f} "
            f"{r['search_s'] * 1e6:10.1f} {r['filtered10_s'] * 1e6:8.1f} {r['filtered1_s'] * 1e6:8.1f} "
            f"{r['bytes_per_node']:10.0f} {r['bytes_per_node_schema']:11.0f}"
        )
    for line in counts_ratio_lines(pairs):
        print("    " + line)


def counts_ratio_lines(pairs):
    """after / before per (N, metric): every time, bytes per node, and whether
    every result (unfiltered and filtered) is the same."""
    lines = []
    for (n, metric), p in sorted(pairs.items(), key=lambda kv: (kv[0][0], METRICS.index(kv[0][1]))):
        if "before" not in p or "after" not in p:
            continue
        b, a = p["before"], p["after"]
        same = "same results" if b["checksums"] == a["checksums"] else "RESULTS DIFFER"
        cells = [
            f"{label} {a[key] / b[key]:.2f}x"
            for label, key in (
                ("build", "build_s"),
                ("build with schema", "build_schema_s"),
                ("search", "search_s"),
                ("10 %", "filtered10_s"),
                ("1 %", "filtered1_s"),
                ("bytes/node", "bytes_per_node"),
                ("bytes/node with schema", "bytes_per_node_schema"),
            )
        ]
        lines.append(f"N={n:,} {metric}: after / before: " + ", ".join(cells) + f"; {same}")
    return lines


def markdown(rows, dim, k):
    """The results as Markdown tables, ready to paste into the README."""
    lines = [
        f"HNSW, dim {dim}, k={k}, single thread; ratios relative to ombrix PyHNSW:",
        "",
        f"| N | metric | method | build s | median ms | QPS | QPS ratio | recall@{k} |",
        "|---|---|---|---|---|---|---|---|",
    ]
    base = {(r["n"], r["metric"]): r for r in rows if r["method"] == "ombrix PyHNSW"}
    for r in rows:
        b = base[(r["n"], r["metric"])]
        lines.append(
            f"| {r['n']:,} | {r['metric']} | {r['method']} | {r['build_s']:.2f} | "
            f"{r['lat_s'] * 1e3:.3f} | {r['qps']:.0f} | {r['qps'] / b['qps']:.2f}x | {r['recall']:.3f} |"
        )
    peers = [r for r in rows if r.get("at_recall")]
    if peers:
        lines += [
            "",
            "Peers at the smallest swept ef reaching each recall (QPS, single thread):",
            "",
            "| N | metric | method | " + " | ".join(f"recall {t}" for t in RECALL_TARGETS) + " |",
            "|---|---|---|" + "---|" * len(RECALL_TARGETS),
        ]
        for r in peers:
            cells = []
            for t in RECALL_TARGETS:
                at = r["at_recall"][str(t)]
                cells.append(f"ef {at['ef']}: {at['qps']:.0f} QPS ({at['recall']:.3f})" if at else "not reached")
            lines.append(f"| {r['n']:,} | {r['metric']} | {r['method']} | " + " | ".join(cells) + " |")
    counted = [r for r in rows if r["method"] == "ombrix PyHNSW" and "evals_exact" in r]
    if counted:
        kind = "exact" if all(r["evals_exact"] for r in counted) else "time-equivalent"
        lines += [
            "",
            f"Distance evaluations at N={counted[0]['n']:,} ({kind}):",
            "",
            "| metric | per insert | per search |",
            "|---|---|---|",
        ]
        for r in counted:
            lines.append(f"| {r['metric']} | {r['evals_per_insert']:.0f} | {r['evals_per_search']:.0f} |")
    return "\n".join(lines) + "\n"


def counts_markdown(counts, exponents):
    lines = []
    if exponents:
        lines += ["", "Build time growth, N^e: " + ", ".join(f"{m} {e:.2f}" for m, e in exponents.items())]
    if counts:
        lines += [
            "",
            "Core work per insert and per search (hnsw_counts, CPU time, medians):",
            "",
            "| N | metric | core | build s | floor | floor on scored | search us | floor | evals/insert "
            "| scored/insert | scanned/insert | expansions/insert | evals/search | scored/search "
            "| scanned/search | bytes/node |",
            "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|",
        ]
        for r in sorted(counts, key=lambda r: (r["n"], METRICS.index(r["metric"]), r["program"] != "before")):

            def count(key):
                return f"{r[key]:,.0f}" if r[key] >= 0 else "-"

            lines.append(
                f"| {r['n']:,} | {r['metric']} | {r['program']} | {r['build_s']:.2f} | "
                f"{r['build_floor']:.2f} | {r['build_scored_floor']:.2f} | {r['search_s'] * 1e6:.0f} | "
                f"{r['search_floor']:.2f} | {count('insert_evals')} | {count('insert_scored')} | "
                f"{count('insert_scanned')} | {count('insert_expansions')} | {count('search_evals')} | "
                f"{count('search_scored')} | {count('search_scanned')} | {r['bytes_per_node']:,.0f} |"
            )
        lines += [
            "",
            "Builds with a schema (label: 10 values, tag: 100) and filtered searches at 10 % and 1 % "
            "(hnsw_counts, CPU time, medians; checksums of every result: unfiltered, 10 %, 1 %):",
            "",
            "| N | metric | core | build s | build with schema s | search us | 10 % us | 1 % us | bytes/node "
            "| bytes/node with schema | checksums |",
            "|---|---|---|---|---|---|---|---|---|---|---|",
        ]
        for r in sorted(counts, key=lambda r: (r["n"], METRICS.index(r["metric"]), r["program"] != "before")):
            lines.append(
                f"| {r['n']:,} | {r['metric']} | {r['program']} | {r['build_s']:.2f} | "
                f"{r['build_schema_s']:.2f} | {r['search_s'] * 1e6:.0f} | {r['filtered10_s'] * 1e6:.0f} | "
                f"{r['filtered1_s'] * 1e6:.0f} | {r['bytes_per_node']:,.0f} | "
                f"{r['bytes_per_node_schema']:,.0f} | {' '.join(r['checksums'])} |"
            )
        pairs = {}
        for r in counts:
            pairs.setdefault((r["n"], r["metric"]), {})[r["program"]] = r
        ratios = counts_ratio_lines(pairs)
        if ratios:
            lines += [""] + ["- " + line for line in ratios]
    return "\n".join(lines) + ("\n" if lines else "")


def plot(rows, path, k):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    metrics = [m for m in METRICS if any(r["metric"] == m for r in rows)]
    fig, axes = plt.subplots(1, len(metrics), figsize=(5.5 * len(metrics), 4.8), squeeze=False)
    markers = {"ombrix PyHNSW": "o", "ombrix PyFlat": "s", "hnswlib HNSW": "^", "faiss IndexHNSWFlat": "D"}
    for ax, metric in zip(axes[0], metrics):
        for method, marker in markers.items():
            pts = sorted(
                (r["n"], r["qps"], r["recall"]) for r in rows if r["metric"] == metric and r["method"] == method
            )
            if not pts:
                continue
            ax.plot([p[1] for p in pts], [p[2] for p in pts], marker=marker, linestyle="-", label=method)
            for n_, qps, rec in pts:
                ax.annotate(
                    f"{n_ // 1000}k" if n_ >= 1000 else str(n_),
                    (qps, rec),
                    textcoords="offset points",
                    xytext=(4, 4),
                    fontsize=7,
                )
        ax.set_xscale("log")
        ax.set_xlabel("queries per second (single thread, log)")
        ax.set_ylabel(f"recall@{k}")
        ax.set_ylim(-0.02, 1.05)
        ax.set_title(metric)
        ax.grid(True, alpha=0.3)
        ax.legend(fontsize=7, loc="lower left")
    fig.suptitle("Recall vs QPS, labels give N (peers: negated query for angular/inner_product)", fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# ---------------------------------------------------------------------------
# Filtered search and the goals: two builds of ombrix side by side.
# ---------------------------------------------------------------------------
WORKER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "hnsw_worker.py")
FILTERS = (("label", 10), ("tag", 100))  # attribute, number of equally common values


class Side:
    """One build of ombrix in a child process (benchmarks/hnsw_worker.py)."""

    def __init__(self, name, python):
        self.name = name
        env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1")
        self.proc = subprocess.Popen(
            [python, WORKER], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env
        )

    def ask(self, **command):
        self.proc.stdin.write(json.dumps(command) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError(f"{self.name} worker stopped")
        return json.loads(line)

    def close(self):
        self.proc.stdin.write(json.dumps({"op": "quit"}) + "\n")
        self.proc.stdin.close()
        self.proc.wait()


def filtered_truth(X, Q, metric, k, attribute=None):
    """Exact ids per query: among all vectors, or among those holding the
    query's value of `attribute` (query q asks for value q % count)."""
    if attribute is None:
        return exact_topk(X, Q, metric, k)
    count = dict(FILTERS)[attribute]
    out = []
    for q, query in enumerate(Q):
        ids = np.arange(q % count, len(X), count)
        out.append(ids[exact_topk(X[ids], query[None, :], metric, k)[0]])
    return out


def peer_filtered(X32, metric, args):
    """hnswlib (filter callback) and faiss IndexHNSWFlat (ID selector), float32,
    ef=50, built here: (name, search(q, query, attribute) -> ids) pairs."""
    n, dim = X32.shape
    peers = []
    if hnswlib is not None:
        graph = hnswlib.Index(space=HNSWLIB_SPACE[metric], dim=dim)
        graph.init_index(max_elements=n, M=PEER_M, ef_construction=PEER_EF_CONSTRUCTION, random_seed=args.seed)
        graph.add_items(X32, num_threads=1)
        graph.set_ef(PEER_EF)

        def hnswlib_search(q, query, attribute):
            count = dict(FILTERS)[attribute]
            value = q % count
            return graph.knn_query(query, k=args.k, num_threads=1, filter=lambda i: i % count == value)[0][0].tolist()

        peers.append(("hnswlib filter", hnswlib_search))
    if faiss is not None:
        faiss.omp_set_num_threads(1)
        data = X32 / np.linalg.norm(X32, axis=1, keepdims=True) if metric == "angular" else X32
        index = (
            faiss.IndexHNSWFlat(dim, PEER_M)
            if metric == "euclidean"
            else faiss.IndexHNSWFlat(dim, PEER_M, faiss.METRIC_INNER_PRODUCT)
        )
        index.hnsw.efConstruction = PEER_EF_CONSTRUCTION
        index.add(data)
        selectors = {}
        for attribute, count in FILTERS:
            for value in range(count):
                sel = faiss.IDSelectorBatch(np.arange(value, n, count, dtype=np.int64))
                selectors[attribute, value] = (sel, faiss.SearchParametersHNSW(sel=sel, efSearch=PEER_EF))

        def faiss_search(q, query, attribute):
            if metric == "angular":
                query = query / np.linalg.norm(query)
            params = selectors[attribute, q % dict(FILTERS)[attribute]][1]
            return index.search(query, args.k, params=params)[1][0].tolist()

        peers.append(("faiss IDSelector", faiss_search))
    return peers


def bench_goals(args, rng):
    """The filtered table and the goal ratios, per N in --filter-sizes."""
    if not args.filter_sizes:
        return []
    sides = [Side("new", sys.executable)]
    if args.baseline_python:
        sides.insert(0, Side("today", args.baseline_python))
    rows = []
    tmp = os.path.join(args.out, ".hnsw_filtered_data.npy")
    try:
        for n in args.filter_sizes:
            X = rng.standard_normal((n, args.dim))
            Q = rng.standard_normal((args.filter_queries, args.dim))
            np.save(tmp, np.vstack([X, Q]))
            for metric in args.metrics:
                rows += goals_for(n, metric, X, Q, sides, tmp, args)
    finally:
        for side in sides:
            side.close()
        if os.path.exists(tmp):
            os.remove(tmp)
    print_goals(rows, args)
    return rows


def goals_for(n, metric, X, Q, sides, path, args):
    print(f"  filtered N={n:,} {metric}: ", end="", flush=True)
    nq, rounds = len(Q), args.filter_rounds
    for side in sides:
        side.ask(op="data", path=path, queries=nq, metric=metric)
    truth = {a: filtered_truth(X, Q, metric, args.k, a) for a in (None, "label", "tag")}
    sign = 1.0 if metric == "euclidean" else -1.0
    X32 = np.ascontiguousarray(X, dtype=np.float32)
    Q32 = [np.ascontiguousarray(sign * q, dtype=np.float32).reshape(1, -1) for q in Q]
    peers = peer_filtered(X32, metric, args)
    rows = []

    def record(method, core, attribute, lat, ids, build=None):
        row = {
            "n": n,
            "metric": metric,
            "method": method,
            "core": core,
            "filter": attribute,
            "us": statistics.median(lat) * 1e6,
            "recall": recall(ids, truth[attribute], args.k),
        }
        if build is not None:
            row["build_s"] = build
        rows.append(row)

    def alternate(kinds):
        """kinds: (key, run(first, count) -> {"lat", "ids"}); rounds in turn,
        the order reversed every other round."""
        lat = {key: [] for key, _ in kinds}
        ids = {}
        for r in range(rounds):
            for key, run in kinds if r % 2 == 0 else kinds[::-1]:
                out = run(0, nq)
                lat[key] += out["lat"]
                ids[key] = out["ids"]
        return lat, ids

    # Without a schema: builds one after the other, then unfiltered searches.
    builds = {}
    for side in sides:
        builds[side.name] = side.ask(op="build", schema=False)["build_s"]
    kinds = [(("PyHNSW", s.name), lambda f, c, s=s: s.ask(op="search", filter=None, first=f, count=c)) for s in sides]
    kinds.append((("PyFlat", "new"), lambda f, c: sides[-1].ask(op="flat", per=None, first=f, count=c)))
    lat, ids = alternate(kinds)
    for side in sides:
        record(
            "PyHNSW", side.name, None, lat[("PyHNSW", side.name)], ids[("PyHNSW", side.name)], build=builds[side.name]
        )
    record("PyFlat", "new", None, lat[("PyFlat", "new")], ids[("PyFlat", "new")])

    # With the schema: filtered searches, beside one PyFlat per value and the peers.
    for side in sides:
        builds[side.name] = side.ask(op="build", schema=True)["build_s"]
    for attribute, _ in FILTERS:
        kinds = [
            (("PyHNSW", s.name), lambda f, c, s=s, a=attribute: s.ask(op="search", filter=a, first=f, count=c))
            for s in sides
        ]
        kinds.append(
            (("PyFlat per value", "new"), lambda f, c, a=attribute: sides[-1].ask(op="flat", per=a, first=f, count=c))
        )
        for name, search in peers:

            def run(first, count, search=search, attribute=attribute):
                out = {"lat": [], "ids": []}
                for q in range(first, first + count):
                    t0 = time.perf_counter()
                    found = search(q, Q32[q], attribute)
                    out["lat"].append(time.perf_counter() - t0)
                    out["ids"].append(found)
                return out

            kinds.append(((name, "float32"), run))
        lat, ids = alternate(kinds)
        for (method, core), _ in kinds:
            build = builds[core] if method == "PyHNSW" else None
            record(method, core, attribute, lat[(method, core)], ids[(method, core)], build=build)
    print("done", flush=True)
    return rows


def goal_lines(rows):
    """(N, metric, text) per goal: ratios of the new core's medians."""
    out = []
    by = {(r["n"], r["metric"], r["method"], r["core"], r["filter"]): r for r in rows}
    for n, metric in sorted({(r["n"], r["metric"]) for r in rows}, key=lambda x: (x[0], METRICS.index(x[1]))):

        def get(method, core, attribute):
            return by.get((n, metric, method, core, attribute))

        cells = []
        for attribute, goal in (("label", 2.0), ("tag", 4.0)):
            h, f = get("PyHNSW", "new", attribute), get("PyFlat per value", "new", attribute)
            if h and f:
                share = 100 // dict(FILTERS)[attribute]
                cells.append(f"filtered {share} %: {h['us'] / f['us']:.2f}x PyFlat per value (goal {goal:g}x)")
        h, f = get("PyHNSW", "new", None), get("PyFlat", "new", None)
        if h and f:
            cells.append(f"unfiltered: {h['us'] / f['us']:.2f}x PyFlat (goal 1.2x)")
        for attribute, kind in ((None, "without"), ("label", "with")):
            new, old = get("PyHNSW", "new", attribute), get("PyHNSW", "today", attribute)
            if new and old:
                cells.append(f"build {kind} schema: {new['build_s'] / old['build_s']:.2f}x today's (goal 1.05x)")
        for attribute in (None, "label", "tag"):
            new, old = get("PyHNSW", "new", attribute), get("PyHNSW", "today", attribute)
            if new and old:
                label = "unfiltered" if attribute is None else f"{100 // dict(FILTERS)[attribute]} %"
                cells.append(f"{label}: {new['us'] / old['us']:.2f}x today's time")
        out.append((n, metric, cells))
    return out


def print_goals(rows, args):
    print(
        f"\nFiltered search (dim {args.dim}, k={args.k}; µs per query, median over {args.filter_rounds} rounds of "
        f"{args.filter_queries} queries, sides in turn; recall@{args.k} against the exact answer among the "
        f"matching vectors)"
    )
    print(
        f"  {'N':>6s} {'metric':13s} {'filter':7s} {'method':18s} {'core':8s} {'us/query':>9s} "
        f"{'recall':>7s} {'build s':>8s}"
    )
    for r in rows:
        share = "-" if r["filter"] is None else f"{100 // dict(FILTERS)[r['filter']]} %"
        build = f"{r['build_s']:8.2f}" if "build_s" in r else ""
        print(
            f"  {r['n']:6d} {r['metric']:13s} {share:7s} {r['method']:18s} {r['core']:8s} {r['us']:9.1f} "
            f"{r['recall']:7.3f} {build}"
        )
    print("  Goals (new core):")
    for n, metric, cells in goal_lines(rows):
        print(f"    N={n:,} {metric}: " + "; ".join(cells))


def goals_markdown(rows, args):
    if not rows:
        return ""
    lines = [
        "",
        f"Filtered search, dim {args.dim}, k={args.k}: µs per query (median of {args.filter_rounds} "
        f"rounds of {args.filter_queries} queries, the methods in turn) and recall@{args.k} among the "
        'matching vectors; "today" is the core before this change, in the same run:',
        "",
        "| N | metric | filter | method | core | µs per query | recall@10 | build s |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        share = "none" if r["filter"] is None else f"{100 // dict(FILTERS)[r['filter']]} %"
        build = f"{r['build_s']:.2f}" if "build_s" in r else ""
        lines.append(
            f"| {r['n']:,} | {r['metric']} | {share} | {r['method']} | {r['core']} | {r['us']:.1f} | "
            f"{r['recall']:.3f} | {build} |"
        )
    lines += ["", "Goals:", ""]
    for n, metric, cells in goal_lines(rows):
        lines.append(f"- N={n:,} {metric}: " + "; ".join(cells))
    return "\n".join(lines) + "\n"


def main(argv=None):
    args = parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    print(
        f"ombrix PyHNSW benchmark  python {platform.python_version()}  numpy {np.__version__}  "
        f"faiss {getattr(faiss, '__version__', 'absent')}  hnswlib {'present' if hnswlib else 'absent'}  "
        f"cpus {os.cpu_count()}"
    )
    print(
        f"sizes {args.sizes}  dim {args.dim}  k {args.k}  metrics {args.metrics}  "
        f"ombrix defaults: layers 5, m 16, ef_construction 200, ef_search 50"
    )
    rng = np.random.default_rng(args.seed)
    rows, exponents, counts = [], {}, []
    if not args.only_filtered:
        for n in args.sizes:
            rows += run_size(n, args, rng)
        print_table(rows, args.dim, args.k)
        print_distance_counts(rows, args.count_at)
        exponents = growth_exponents(rows)
        counts = bench_counts(args)
    goals = bench_goals(args, rng)

    # Runs without the peer table (--sizes "") keep the full run's files.
    tag = "quick" if args.quick else "filtered" if args.only_filtered else "full" if args.sizes else "core"
    with open(os.path.join(args.out, f"bench_hnsw_{tag}.json"), "w") as f:
        json.dump({"rows": rows, "growth_exponents": exponents, "counts": counts, "filtered": goals}, f, indent=1)
    command = " ".join(["python", "benchmarks/bench_hnsw.py"] + [shlex.quote(a) for a in sys.argv[1:]])
    with open(os.path.join(args.out, f"bench_hnsw_{tag}.md"), "w") as f:
        f.write(
            f"Generated by `{command}` (one core, see the Makefile's bench target).\n\n"
            + (markdown(rows, args.dim, args.k) if rows else "")
            + counts_markdown(counts, exponents)
            + goals_markdown(goals, args)
        )
    if not args.no_plot and rows:
        try:
            path = os.path.join(args.out, f"bench_hnsw_{tag}.png")
            plot(rows, path, args.k)
            print(f"\nchart written to {path}")
        except ImportError:
            print("\nmatplotlib not installed: no chart", file=sys.stderr)


if __name__ == "__main__":
    main()
