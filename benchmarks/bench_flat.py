"""Exact k-NN search: ombrix.PyFlat against numpy, usearch, faiss, hnswlib and
the streaming-read floor.

For each data set and metric it measures, on one thread, the median latency of
one k-nearest query per call, and compares it with the time it takes just to
read the same float64 bytes once from a huge-page buffer (the floor no scan of
the data can beat). It also times PyFlat.create from a C-contiguous float64
array, per metric, against numpy's copy of the same array, and checks that
PyFlat's ids equal numpy float64's (an exact stable sort of numpy's
distances).

    python benchmarks/bench_flat.py            # the full run (README table)
    python benchmarks/bench_flat.py --quick    # small smoke run

Data: Gaussian 10 000 x 128 (fits in cache), 200 000 x 128 and 20 000 x 768
(out of cache), and Fashion-MNIST's 60 000 x 784 training images when Debian's
dataset-fashion-mnist is installed. PyFlat, numpy and usearch work on float64;
faiss IndexFlatL2/IndexFlatIP and hnswlib BFIndex only take float32 (half the
bytes). faiss's exact pruned scans (IndexFlatL2Panorama, and IndexFlatL2/IP
Panorama after an uncentred PCA rotation) are peers where the installed faiss
has them. The bytes a PyFlat query read (as a share of a plain scan's, from
build/bench/libflat_reads.so) and the index's memory over the raw float64
bytes come from the core index built over the same data. Run it pinned to one
core: taskset -c 0 python benchmarks/bench_flat.py
"""

import argparse
import ctypes
import gzip
import json
import os
import platform
import statistics
import sys
import time

import numpy as np

import ombrix
from common import RESULTS_DIR, faiss, hnswlib, median_time

try:
    from usearch.index import MetricKind
    from usearch.index import search as usearch_search
except ImportError:
    usearch_search = None

FASHION = "/usr/share/datasets/fashion-mnist/train-images-idx3-ubyte.gz"
METRICS = ["euclidean", "inner_product", "cosine"]
FLOOR = "read floor (float64 bytes)"


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="small smoke run")
    p.add_argument("-k", type=int, default=10)
    p.add_argument("--queries", type=int, default=30, help="queries timed per method (median)")
    p.add_argument("--reps", type=int, default=5, help="rounds of the methods in turn (median)")
    p.add_argument("--seed", type=int, default=12345)
    p.add_argument("--floor-lib", default=None, help="path of the read-floor library (built by make bench)")
    p.add_argument("--out", default=RESULTS_DIR)
    p.add_argument("--no-plot", action="store_true")
    return p.parse_args(argv)


def load_floor(path):
    candidates = [path] if path else []
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    candidates.append(os.path.join(root, "build", "bench", "libread_floor.so"))
    for c in candidates:
        if c and os.path.exists(c):
            lib = ctypes.CDLL(c)
            lib.read_floor_open.restype = ctypes.c_void_p
            lib.read_floor_open.argtypes = [ctypes.c_size_t, ctypes.c_int]
            lib.read_floor_once.restype = ctypes.c_double
            lib.read_floor_once.argtypes = [ctypes.c_void_p]
            lib.read_floor_close.restype = None
            lib.read_floor_close.argtypes = [ctypes.c_void_p]
            return lib
    sys.exit("read-floor library not found: run `make bench` (it builds build/bench/libread_floor.so)")


def load_reads(floor_lib_path):
    """The bytes-read probe (build/bench/libflat_reads.so), or None."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    path = os.path.join(
        os.path.dirname(floor_lib_path) if floor_lib_path else os.path.join(root, "build", "bench"), "libflat_reads.so"
    )
    if not os.path.exists(path):
        return None
    lib = ctypes.CDLL(path)
    p = ctypes.POINTER(ctypes.c_double)
    lib.flat_reads.restype = ctypes.c_double
    lib.flat_reads.argtypes = [
        p,
        ctypes.c_size_t,
        ctypes.c_size_t,
        ctypes.c_int,
        p,
        ctypes.c_size_t,
        ctypes.c_size_t,
        p,
    ]
    return lib


def bytes_read(lib, X, Q, metric, k):
    """(median fraction of a plain scan's bytes a query read, index bytes / raw float64 bytes)."""
    if lib is None:
        return float("nan"), float("nan")
    p = ctypes.POINTER(ctypes.c_double)
    Qa = np.ascontiguousarray(np.array(Q))
    out = np.zeros(len(Qa))
    copy = lib.flat_reads(
        X.ctypes.data_as(p),
        len(X),
        X.shape[1],
        METRICS.index(metric),
        Qa.ctypes.data_as(p),
        len(Qa),
        k,
        out.ctypes.data_as(p),
    )
    return float(np.median(out)), 1.0 + copy


def fashion_mnist():
    if not os.path.exists(FASHION):
        return None
    with gzip.open(FASHION, "rb") as f:
        raw = f.read()
    n, rows, cols = (int.from_bytes(raw[i : i + 4], "big") for i in (4, 8, 12))
    return np.frombuffer(raw, dtype=np.uint8, offset=16).reshape(n, rows * cols).astype(np.float64)


def datasets(args, rng):
    shapes = [(2000, 32), (3000, 128)] if args.quick else [(10_000, 128), (200_000, 128), (20_000, 768)]
    for n, d in shapes:
        yield f"gaussian {n:,} x {d}", rng.standard_normal((n, d)), None
    if not args.quick:
        X = fashion_mnist()
        if X is None:
            print("Fashion-MNIST not installed (apt-get install dataset-fashion-mnist): skipped", file=sys.stderr)
        else:
            # Queries from the test split would do as well; held-out training rows keep it to one file.
            held_out = rng.choice(len(X), size=args.queries + 1, replace=False)
            keep = np.setdiff1d(np.arange(len(X)), held_out)
            yield f"Fashion-MNIST {len(keep):,} x {X.shape[1]}", np.ascontiguousarray(X[keep]), X[held_out]


def top_k(values, k, largest=False):
    if largest:
        values = -values
    part = np.argpartition(values, k - 1)[:k] if k < len(values) else np.arange(len(values))
    return part[np.argsort(values[part], kind="stable")]


def numpy_methods(X, metric, k):
    """numpy float64 in the forms a user would write."""
    sq = np.einsum("ij,ij->i", X, X)
    norms = np.sqrt(sq)
    if metric == "euclidean":
        return {
            "numpy norm(X - q)": lambda q: top_k(np.linalg.norm(X - q, axis=1), k),
            "numpy X @ q": lambda q: top_k(sq - 2.0 * (X @ q), k),
        }
    if metric == "inner_product":
        return {"numpy X @ q": lambda q: top_k(X @ q, k)}
    return {"numpy X @ q": lambda q: top_k((X @ q) / (norms * np.linalg.norm(q)), k)}


def exact_numpy_ids(X, q, metric, k):
    """numpy float64 values, ranked exactly as PyFlat ranks (value, then id)."""
    if metric == "euclidean":
        v = np.sqrt(((X - q) ** 2).sum(axis=1))
    elif metric == "inner_product":
        v = X @ q
    else:
        v = (X @ q) / (np.linalg.norm(X, axis=1) * np.linalg.norm(q))
    return np.argsort(v, kind="stable")[:k].tolist()


def uncentred_pca(X32):
    """The principal axes of X's second moment, strongest first: a rotation that
    keeps inner products (PCAMatrix centres, which does not)."""
    values, vectors = np.linalg.eigh(X32.astype(np.float64).T @ X32.astype(np.float64))
    return np.ascontiguousarray(vectors[:, ::-1], dtype=np.float32)


def panorama_methods(X32, metric, k, levels=16):
    """faiss's exact pruned scans, on the raw data and after a PCA rotation."""
    L2 = getattr(faiss, "IndexFlatL2Panorama", None)
    IP = getattr(faiss, "IndexFlatIPPanorama", None)
    cls = L2 if metric == "euclidean" else IP
    if cls is None or X32.shape[1] < levels:
        return {}
    tag = "L2" if metric == "euclidean" else "IP"
    out = {}
    if metric == "euclidean":
        raw = cls(X32.shape[1], levels)
        raw.add(X32)
        out[f"faiss {tag}Panorama f32"] = lambda q, raw=raw: raw.search(q.astype(np.float32)[None, :], k)
    R = uncentred_pca(X32)
    rotated = cls(X32.shape[1], levels)
    rotated.add(np.ascontiguousarray(X32 @ R))
    out[f"faiss PCA+{tag}Panorama f32"] = lambda q: rotated.search((q.astype(np.float32) @ R)[None, :], k)
    return out


def peer_methods(X, metric, k):
    out = {}
    if usearch_search is not None:
        kind = {"euclidean": MetricKind.L2sq, "inner_product": MetricKind.IP, "cosine": MetricKind.Cos}[metric]
        out["usearch exact f64"] = lambda q: usearch_search(X, q, k, kind, exact=True, threads=1)
    X32 = np.ascontiguousarray(X, dtype=np.float32)
    if faiss is not None:
        faiss.omp_set_num_threads(1)
        if metric == "cosine":
            X32n = X32 / np.maximum(np.linalg.norm(X32, axis=1, keepdims=True), 1e-30)
            index = faiss.IndexFlatIP(X.shape[1])
            index.add(X32n)
        else:
            index = (faiss.IndexFlatL2 if metric == "euclidean" else faiss.IndexFlatIP)(X.shape[1])
            index.add(X32)
        name = "faiss IndexFlatL2 f32" if metric == "euclidean" else "faiss IndexFlatIP f32"
        out[name] = lambda q, index=index: index.search(q.astype(np.float32)[None, :], k)
        out.update(panorama_methods(X32n if metric == "cosine" else X32, metric, k))
    if hnswlib is not None:
        space = {"euclidean": "l2", "inner_product": "ip", "cosine": "cosine"}[metric]
        bf = hnswlib.BFIndex(space=space, dim=X.shape[1])
        bf.init_index(max_elements=len(X))
        bf.add_items(X32)
        if hasattr(bf, "set_num_threads"):
            bf.set_num_threads(1)
        out["hnswlib BFIndex f32"] = lambda q, bf=bf: bf.knn_query(q.astype(np.float32), k=k)
    return out


def ingest(X, metric, repeats=7):
    """Median seconds of PyFlat.create(X) and of X.copy(), alternated (the
    metric decides whether a pruning copy is built)."""
    create, copy = [], []
    for _ in range(repeats):
        index = ombrix.PyFlat(X.shape[1], metric)
        t = time.perf_counter()
        index.create(X)
        create.append(time.perf_counter() - t)
        del index
        t = time.perf_counter()
        c = X.copy()
        copy.append(time.perf_counter() - t)
        del c
    return statistics.median(create), statistics.median(copy)


def run(args):
    floor_lib = load_floor(args.floor_lib)
    reads_lib = load_reads(args.floor_lib)
    rng = np.random.default_rng(args.seed)
    results = []
    for name, X, queries in datasets(args, rng):
        n, d = X.shape
        Q = queries if queries is not None else rng.standard_normal((args.queries + 1, d))
        Q = [np.ascontiguousarray(q) for q in Q]
        case = {"data": name, "n": n, "dim": d, "k": args.k, "metrics": {}}
        print(f"\n--- {name}", flush=True)
        floor_buffer = floor_lib.read_floor_open(X.nbytes, 1)
        if not floor_buffer:
            sys.exit("read floor: out of memory")
        for metric in METRICS:
            create, copy = ingest(X, metric)
            print(f"  {metric}: create {create * 1e3:.1f} ms, numpy copy {copy * 1e3:.1f} ms ({create / copy:.2f}x)")
            flat = ombrix.PyFlat(d, metric)
            flat.create(X)
            methods = {"PyFlat f64": lambda q, flat=flat: flat.search(q, args.k)}
            methods.update(numpy_methods(X, metric, args.k))
            methods.update(peer_methods(X, metric, args.k))
            # Rounds of every method in turn, so that a noisy neighbour hits them alike.
            times = {m: [] for m in methods}
            floors, floor_ratios = [], []
            for _rep in range(args.reps):
                for m, f in methods.items():
                    times[m].append(median_time(f, Q))
                # PyFlat against the floor read just before each query: both
                # sides of a ratio then see the same spell of the shared host.
                for q in Q:
                    floor = floor_lib.read_floor_once(floor_buffer)
                    t = time.perf_counter()
                    flat.search(q, args.k)
                    floor_ratios.append((time.perf_counter() - t) / floor)
                    floors.append(floor)
            row = {m: statistics.median(t) for m, t in times.items()}
            row[FLOOR] = statistics.median(floors)
            floor_ratio = statistics.median(floor_ratios)
            mismatched = sum([i for i, _ in flat.search(q, args.k)] != exact_numpy_ids(X, q, metric, args.k) for q in Q)
            read, memory = bytes_read(reads_lib, X, Q, metric, args.k)
            case["metrics"][metric] = {
                "ms": {m: s * 1e3 for m, s in row.items()},
                "floor_ratio": floor_ratio,
                "id_mismatches": mismatched,
                "read": read,
                "memory": memory,
                "create_s": create,
                "copy_s": copy,
            }
            print(f"  {metric}: a query read {read:.3f} of the stored bytes; index memory {memory:.3f}x raw")
            print_metric(metric, row, mismatched, len(Q), floor_ratio)
        floor_lib.read_floor_close(floor_buffer)
        results.append(case)
    return results


def print_metric(metric, row, mismatched, queries, floor_ratio):
    floor, ours = row[FLOOR], row["PyFlat f64"]
    print(
        f"  {metric}: ids equal numpy float64's on {queries - mismatched}/{queries} queries; "
        f"PyFlat / floor, median over queries each read after a floor read: {floor_ratio:.2f}x"
    )
    for m, s in sorted(row.items(), key=lambda p: p[1]):
        print(f"    {m:28s} {s * 1e3:9.3f} ms  {s / floor:6.2f}x floor  PyFlat {s / ours:6.2f}x faster")


def markdown(results):
    lines = [
        "| data | metric | PyFlat ms | read floor ms | PyFlat / floor | numpy `X @ q` ms | "
        "numpy / PyFlat | best other peer | faiss PCA+Panorama ms | bytes read | memory / raw | "
        "create / numpy copy |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for case in results:
        for metric, r in case["metrics"].items():
            ms = r["ms"]
            ours, floor = ms["PyFlat f64"], ms[FLOOR]
            others = {m: v for m, v in ms.items() if m not in ("PyFlat f64", FLOOR) and not m.startswith("numpy")}
            best = min(others.items(), key=lambda p: p[1]) if others else ("-", float("nan"))
            lines.append(
                f"| {case['data']} | {metric} | {ours:.3f} | {floor:.3f} | {r['floor_ratio']:.2f}x | "
                f"{ms['numpy X @ q']:.3f} | {ms['numpy X @ q'] / ours:.2f}x | "
                f"{best[0]} {best[1]:.3f} | {pca_panorama(ms)} | {r.get('read', float('nan')):.3f} | "
                f"{r.get('memory', float('nan')):.3f}x | {r['create_s'] / r['copy_s']:.2f}x |"
            )
    return "\n".join(lines) + "\n"


def pca_panorama(ms):
    found = [v for m, v in ms.items() if m.startswith("faiss PCA+")]
    return f"{found[0]:.3f}" if found else "-"


def plot(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    cases = [(c["data"], m, r["ms"]) for c in results for m, r in c["metrics"].items()]
    methods = sorted({m for _, _, ms in cases for m in ms}, key=lambda m: (m != "PyFlat f64", m != FLOOR, m))
    fig, ax = plt.subplots(figsize=(15, 6))
    width = 0.8 / len(methods)
    for i, m in enumerate(methods):
        values = [ms.get(m, np.nan) / ms[FLOOR] for _, _, ms in cases]
        ax.bar(np.arange(len(cases)) + i * width, values, width, label=m)
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.set_xticks(np.arange(len(cases)) + 0.4)

    def short(d):
        return d.replace("gaussian ", "Gaussian\n").replace("Fashion-MNIST ", "F-MNIST\n").replace(",000", "k")

    ax.set_xticklabels([f"{short(d)}\n{m}" for d, m, _ in cases], fontsize=7)
    ax.set_ylabel("query time / time to read the float64 data once")
    ax.set_yscale("log")
    ax.set_title("Exact search, one thread, k = 10 (lower is better; float32 peers read half the bytes)")
    ax.legend(fontsize=8, ncol=3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main(argv=None):
    args = parse_args(argv)
    results = run(args)
    os.makedirs(args.out, exist_ok=True)
    tag = "quick" if args.quick else "full"
    meta = {
        "python": sys.version.split()[0],
        "numpy": np.__version__,
        "machine": platform.machine(),
        "k": args.k,
        "queries": args.queries,
    }
    with open(os.path.join(args.out, f"bench_flat_{tag}.json"), "w") as f:
        json.dump({"meta": meta, "results": results}, f, indent=1)
    table = markdown(results)
    with open(os.path.join(args.out, f"bench_flat_{tag}.md"), "w") as f:
        f.write(table)
    print("\n" + table)
    if not args.no_plot:
        try:
            plot(results, os.path.join(args.out, f"bench_flat_{tag}.png"))
        except ImportError:
            print("matplotlib not installed: no chart", file=sys.stderr)


if __name__ == "__main__":
    main()
