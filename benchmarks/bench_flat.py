"""Exact k-NN search: ombrix.PyFlat against numpy, faiss and hnswlib brute force.

For every (N, dim) it measures, single-threaded, the median per-query latency and
the QPS of a k-nearest search, and the time to ingest the data with PyFlat.create.

    python benchmarks/bench_flat.py                 # N in {10k, 100k}, dim in {128, 768}
    python benchmarks/bench_flat.py --quick         # small smoke run
    python benchmarks/bench_flat.py --sizes 50000 --dims 256

PyFlat and numpy work on float64. faiss IndexFlatL2 and hnswlib BFIndex only take
float32, so they get a float32 copy of the same data (half the bytes to scan).
faiss and hnswlib are limited to one thread, like PyFlat, which never releases the GIL.
"""

import argparse
import gc
import json
import os
import platform
import sys
import time

import numpy as np

import ombrix

from common import RESULTS_DIR, faiss, hnswlib, time_queries


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="small smoke run (N=2000, dims 32,128)")
    p.add_argument("--sizes", type=str, default=None, help="comma-separated N values (default 10000,100000)")
    p.add_argument("--dims", type=str, default=None, help="comma-separated dims (default 128,768)")
    p.add_argument("-k", type=int, default=10)
    p.add_argument("--queries", type=int, default=200, help="maximum queries timed per method")
    p.add_argument("--budget", type=float, default=3.0, help="seconds of searching per method and case")
    p.add_argument("--list-ingest-max", type=float, default=13e6,
                   help="measure create() from a list of lists only when N*dim is at most this "
                        "(a list of lists of Python floats takes about 32 bytes per value)")
    p.add_argument("--seed", type=int, default=12345)
    p.add_argument("--out", type=str, default=RESULTS_DIR)
    p.add_argument("--no-plot", action="store_true")
    a = p.parse_args(argv)
    if a.quick:
        a.sizes = a.sizes or "2000"
        a.dims = a.dims or "32,128"
        a.queries = min(a.queries, 30)
        a.budget = min(a.budget, 0.5)
    a.sizes = [int(float(s)) for s in (a.sizes or "10000,100000").split(",")]
    a.dims = [int(s) for s in (a.dims or "128,768").split(",")]
    return a


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def run_case(n, dim, args, rng):
    k = args.k
    print(f"\n--- N={n:,} dim={dim} k={k} ---", flush=True)
    X = rng.standard_normal((n, dim))            # float64, C-contiguous
    Q = rng.standard_normal((args.queries, dim))
    Q_lists = Q.tolist()
    res = {"n": n, "dim": dim, "k": k, "search": {}, "ingest": {}, "notes": []}

    # -- ingestion ------------------------------------------------------------
    flat = ombrix.PyFlat(dim)
    res["ingest"]["PyFlat.create(numpy)"] = timed(lambda: flat.create(X))
    # Reference: one plain copy of the same bytes into fresh memory (page faults included).
    res["ingest"]["numpy X.copy() (reference)"] = timed(lambda: X.copy())

    if n * dim <= args.list_ingest_max:
        X_lists = X.tolist()
        other = ombrix.PyFlat(dim)
        res["ingest"]["PyFlat.create(list of lists)"] = timed(lambda: other.create(X_lists))
        del other, X_lists
        gc.collect()
    else:
        res["notes"].append(f"create(list of lists) skipped: N*dim = {n * dim:,} > {args.list_ingest_max:,.0f}")

    # -- search ---------------------------------------------------------------
    s = res["search"]
    lat, qps, flat_out, _ = time_queries(lambda q: flat.search(q, k), list(Q), args.budget, 5)
    s["PyFlat (numpy query)"] = (lat, qps)
    lat, qps, _, _ = time_queries(lambda q: flat.search(q, k), Q_lists, args.budget, 5)
    s["PyFlat (list query)"] = (lat, qps)

    def numpy_search(q):
        d = np.linalg.norm(X - q, axis=1)
        idx = np.argpartition(d, k - 1)[:k] if k < n else np.arange(n)
        return idx[np.argsort(d[idx], kind="stable")]

    lat, qps, np_out, _ = time_queries(numpy_search, list(Q), args.budget, 5)
    s["numpy float64"] = (lat, qps)

    # Sanity check: PyFlat's ids against numpy's exact top k (same float64 data).
    agree = [len({i for i, _ in f} & set(o.tolist())) / k for f, o in zip(flat_out, np_out)]
    res["agreement_with_numpy"] = sum(agree) / len(agree)

    X32 = None
    if faiss is not None or hnswlib is not None:
        X32 = np.ascontiguousarray(X, dtype=np.float32)
        Q32 = [np.ascontiguousarray(q, dtype=np.float32).reshape(1, dim) for q in Q]

    if faiss is not None:
        faiss.omp_set_num_threads(1)
        index = faiss.IndexFlatL2(dim)
        res["ingest"]["faiss IndexFlatL2.add (float32)"] = timed(lambda: index.add(X32))
        lat, qps, _, _ = time_queries(lambda q: index.search(q, k), Q32, args.budget, 5)
        s["faiss IndexFlatL2 (float32)"] = (lat, qps)
        del index
    else:
        res["notes"].append("faiss-cpu not installed")

    if hnswlib is not None:
        bf = hnswlib.BFIndex(space="l2", dim=dim)
        bf.init_index(max_elements=n)
        res["ingest"]["hnswlib BFIndex.add_items (float32)"] = timed(lambda: bf.add_items(X32))
        lat, qps, _, _ = time_queries(lambda q: bf.knn_query(q, k=k, num_threads=1), Q32, args.budget, 5)
        s["hnswlib BFIndex (float32)"] = (lat, qps)
        del bf
    else:
        res["notes"].append("hnswlib not installed")

    del flat, X, X32
    gc.collect()
    return res


def print_case(res):
    base = res["search"]["PyFlat (numpy query)"][0]
    print(f"\nN={res['n']:,} dim={res['dim']} k={res['k']}: search, single thread")
    print(f"  {'method':36s} {'median ms':>10s} {'QPS':>10s} {'latency / PyFlat':>17s}")
    for name, (lat, qps) in res["search"].items():
        print(f"  {name:36s} {lat * 1e3:10.3f} {qps:10.1f} {lat / base:16.2f}x")
    print(f"  PyFlat ids agree with numpy's exact top {res['k']}: {res['agreement_with_numpy']:.1%}")
    base_i = res["ingest"]["PyFlat.create(numpy)"]
    print("  ingestion:")
    for name, t in res["ingest"].items():
        print(f"  {name:36s} {t:9.3f} s  {t / base_i:8.2f}x  ({res['n'] / t:,.0f} vectors/s)")
    for note in res["notes"]:
        print(f"  note: {note}")


def print_summary(results):
    print("\nSummary: median latency per query in ms (ratio to PyFlat with a numpy query)")
    names = []
    for r in results:
        for name in r["search"]:
            if name not in names:
                names.append(name)
    short = {n: n.replace(" (float32)", "*").replace(" query)", ")") for n in names}
    header = f"  {'N':>8s} {'dim':>5s} " + " ".join(f"{short[n][:22]:>22s}" for n in names)
    print(header)
    for r in results:
        base = r["search"]["PyFlat (numpy query)"][0]
        cells = []
        for n in names:
            if n in r["search"]:
                lat = r["search"][n][0]
                cells.append(f"{lat * 1e3:9.3f} ({lat / base:5.2f}x)".rjust(22))
            else:
                cells.append("-".rjust(22))
        print(f"  {r['n']:8,d} {r['dim']:5d} " + " ".join(cells))
    print("  * float32 copies of the data (faiss and hnswlib take no float64); PyFlat and numpy scan float64.")


def markdown(results):
    """The summary as a Markdown table, ready to paste into the README."""
    k = results[0]["k"]
    lines = [f"Exact search, k={k}, median latency per query in ms, single thread "
             "(ratio to PyFlat; * = float32 data):", "",
             "| N | dim | PyFlat | numpy float64 | faiss IndexFlatL2* | hnswlib BFIndex* |",
             "|---|---|---|---|---|---|"]
    cols = ["PyFlat (numpy query)", "numpy float64", "faiss IndexFlatL2 (float32)", "hnswlib BFIndex (float32)"]
    for r in results:
        base = r["search"]["PyFlat (numpy query)"][0]
        cells = []
        for c in cols:
            if c in r["search"]:
                lat = r["search"][c][0]
                cells.append(f"{lat * 1e3:.3f}" if c.startswith("PyFlat") else f"{lat * 1e3:.3f} ({lat / base:.2f}x)")
            else:
                cells.append("-")
        lines.append(f"| {r['n']:,} | {r['dim']} | " + " | ".join(cells) + " |")
    lines += ["", "Ingestion with `PyFlat.create`, seconds:", "",
              "| N | dim | from numpy | from list of lists | plain numpy copy |", "|---|---|---|---|---|"]
    for r in results:
        ing = r["ingest"]
        cell = lambda key: f"{ing[key]:.3f}" if key in ing else "not measured"
        lines.append(f"| {r['n']:,} | {r['dim']} | {cell('PyFlat.create(numpy)')} | "
                     f"{cell('PyFlat.create(list of lists)')} | {cell('numpy X.copy() (reference)')} |")
    return "\n".join(lines) + "\n"


def plot(results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    cases = [f"N={r['n']:,}\ndim={r['dim']}" for r in results]
    names = []
    for r in results:
        for name in r["search"]:
            if name not in names:
                names.append(name)
    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(14, 5.5))
    width = 0.8 / len(names)
    x = np.arange(len(results))
    for i, name in enumerate(names):
        vals = [r["search"].get(name, (np.nan, np.nan))[1] for r in results]
        ax1.bar(x + i * width - 0.4 + width / 2, vals, width, label=name)
    ax1.set_xticks(x, cases)
    ax1.set_yscale("log")
    ax1.set_ylabel("queries per second (single thread, log)")
    ax1.set_title(f"Exact search, k={results[0]['k']}")
    ax1.legend(fontsize=8)

    inames = []
    for r in results:
        for name in r["ingest"]:
            if name not in inames:
                inames.append(name)
    width = 0.8 / len(inames)
    for i, name in enumerate(inames):
        vals = [r["ingest"].get(name, np.nan) for r in results]
        ax2.bar(x + i * width - 0.4 + width / 2, vals, width, label=name)
    ax2.set_xticks(x, cases)
    ax2.set_yscale("log")
    ax2.set_ylabel("seconds (log)")
    ax2.set_title("Ingestion time")
    ax2.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv=None):
    args = parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    print(f"ombrix PyFlat benchmark  python {platform.python_version()}  numpy {np.__version__}  "
          f"faiss {getattr(faiss, '__version__', 'absent')}  "
          f"hnswlib {'present' if hnswlib else 'absent'}  cpus {os.cpu_count()}  {platform.machine()}")
    print(f"sizes {args.sizes}  dims {args.dims}  k {args.k}  float64 Gaussian data, seed {args.seed}")
    rng = np.random.default_rng(args.seed)
    results = []
    for n in args.sizes:
        for dim in args.dims:
            r = run_case(n, dim, args, rng)
            print_case(r)
            results.append(r)
    print_summary(results)

    tag = "quick" if args.quick else "full"
    with open(os.path.join(args.out, f"bench_flat_{tag}.json"), "w") as f:
        json.dump(results, f, indent=1)
    with open(os.path.join(args.out, f"bench_flat_{tag}.md"), "w") as f:
        f.write(markdown(results))
    if not args.no_plot:
        try:
            path = os.path.join(args.out, f"bench_flat_{tag}.png")
            plot(results, path)
            print(f"\nchart written to {path}")
        except ImportError:
            print("\nmatplotlib not installed: no chart", file=sys.stderr)


if __name__ == "__main__":
    main()
