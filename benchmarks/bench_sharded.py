"""Sharded on Dask (examples/sharded.py): graph build time and recall@10
against one PyHNSW, and query throughput of both modes against one process.

For each N (default 20 000 and 50 000), dim 128, Gaussian float64 data, k 10,
Euclidean distance, PyHNSW's default parameters:

- one PyHNSW built in this process (wall and CPU time, memory), its recall@10
  against the exact answer (PyFlat), and one process's queries per second for
  PyHNSW and PyFlat;
- on a LocalCluster of 1 and then 2 worker processes (one thread each, on
  127.0.0.1), for 1, 2, 4 and 8 shards: the graph's build time (wall, from the
  first submit until every shard is built, data shipping included), the CPU
  seconds of each shard's build, recall@10 of the merged results, and the
  queries per second of a query stream (`search_stream`, batches of 256, two in
  flight) in both modes, each paired with one process's rate measured just
  before it (rounds alternate, the ratio is the median of the rounds' ratios).

Then the client's own costs (merging S shards' answers, driving actor calls),
the growth exponent of a shard's build time over its size, and from those an
on-paper estimate for 8, 64 and 512 workers and 1, 10 and 100 million vectors.

    python benchmarks/bench_sharded.py              # full run (about 15 minutes)
    python benchmarks/bench_sharded.py --quick      # small smoke run

Run it alone on the machine: the two-worker runs need both cores, and it
reports the load average at every step so that a busy machine shows.
"""

import argparse
import gc
import importlib.util
import json
import math
import os
import pathlib
import platform
import statistics
import time

import numpy as np

import ombrix
from common import RESULTS_DIR

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "sharded.py"
_spec = importlib.util.spec_from_file_location("sharded_example", EXAMPLE)
sharded = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(sharded)

EXTRAPOLATE_WORKERS = (8, 64, 512)
EXTRAPOLATE_SIZES = (1_000_000, 10_000_000, 100_000_000)


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="small smoke run (N = 2000, 5000)")
    p.add_argument("--sizes", type=str, default=None, help="comma-separated N values (default 20000,50000)")
    p.add_argument("--workers", type=str, default="1,2")
    p.add_argument("--shards", type=str, default="1,2,4,8")
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("-k", type=int, default=10)
    p.add_argument("--queries", type=int, default=1000, help="queries in the stream")
    p.add_argument("--rounds", type=int, default=3, help="paired throughput rounds per case")
    p.add_argument("--batch", type=int, default=256)
    p.add_argument("--seed", type=int, default=2024)
    p.add_argument("--out", type=str, default=RESULTS_DIR)
    a = p.parse_args(argv)
    if a.quick:
        a.sizes = a.sizes or "2000,5000"
        a.queries = min(a.queries, 200)
        a.rounds = 1
    a.sizes = [int(float(s)) for s in (a.sizes or "20000,50000").split(",")]
    a.workers = [int(s) for s in a.workers.split(",")]
    a.shards = [int(s) for s in a.shards.split(",")]
    return a


def load():
    return round(os.getloadavg()[0], 2)


def rss():
    import psutil

    return psutil.Process().memory_info().rss


def recall(found, truth):
    return statistics.fmean(len({i for i, *_ in f} & set(t)) / max(1, len(t)) for f, t in zip(found, truth))


def timed(run):
    """Wall and CPU seconds (of this process) that run() takes."""
    w0, c0 = time.perf_counter(), time.process_time()
    run()
    return time.perf_counter() - w0, time.process_time() - c0


def worker_cpu(client):
    """CPU seconds each worker process has used so far, all its threads."""

    def used():
        import psutil

        times = psutil.Process().cpu_times()
        return times.user + times.system

    return client.run(used)


def paired_qps(one_process, sharded_stream, client, n_queries, rounds):
    """One process's rate and the sharded stream's, in alternating rounds.
    Besides wall-clock rates, the rates the CPU seconds spent allow on this
    machine's cores (every process on a core of its own, the workers and the
    client sharing the cores): they hold when other programs take CPU time."""
    keys = ("one_qps", "qps", "ratio", "one_cpu_s", "client_ms", "cpu_ratio")
    rounds_out = {k: [] for k in keys}
    cores = os.cpu_count()
    for _ in range(rounds):
        one_wall, one_cpu = timed(one_process)
        before = worker_cpu(client)
        wall, cpu = timed(sharded_stream)
        after = worker_cpu(client)
        workers = [after[w] - before[w] for w in before]
        model_s = max(max(workers), (sum(workers) + cpu) / cores)
        for k, v in zip(
            keys,
            (
                n_queries / one_wall,
                n_queries / wall,
                one_wall / wall,
                one_cpu / n_queries,
                cpu / n_queries * 1e3,
                one_cpu / model_s,
            ),
        ):
            rounds_out[k].append(v)
    return {k: statistics.median(v) for k, v in rounds_out.items()}


def side_by_side(shards, n_workers, Q, k):
    """How much parallel work the machine gives at this moment: each worker's
    shards search the queries alone, then all workers at once; the sum of the
    times alone over the time together (n_workers x when every worker has a
    free core, less when other programs take CPU time or memory bandwidth)."""
    if n_workers < 2 or len(shards) < n_workers:
        return None
    mine = [shards[w::n_workers] for w in range(n_workers)]  # round-robin, as from_array places them
    alone = sum(timed(lambda: [f.result() for f in [s.search(Q, k) for s in group]])[0] for group in mine)
    together = timed(lambda: [f.result() for f in [s.search(Q, k) for s in shards]])[0]
    return alone / together


def fit_power(points):
    """(a, e) of t = a n^e, least squares in log-log."""
    x = np.log([n for n, _ in points])
    y = np.log([t for _, t in points])
    e, log_a = np.polyfit(x, y, 1)
    return math.exp(log_a), e


def run_size(n, args, rng):
    from distributed import Client, LocalCluster

    dim, k = args.dim, args.k
    X = rng.standard_normal((n, dim))
    Q = rng.standard_normal((args.queries, dim))

    flat = ombrix.PyFlat(dim, metric="euclidean")
    flat.create(X)
    exact = [flat.search(q, k) for q in Q]
    truth = [[i for i, _ in r] for r in exact]

    gc.collect()
    load0 = load()
    single = ombrix.PyHNSW(dim, metric="euclidean")
    w0, c0 = time.perf_counter(), time.process_time()
    single.create(X)
    single_wall, single_cpu = time.perf_counter() - w0, time.process_time() - c0
    row_of = {x.tobytes(): i for i, x in enumerate(X)}
    single_found = [[(row_of[np.asarray(v).tobytes()],) for _, v in single.search(q, k)] for q in Q]
    base = {
        "n": n,
        "build_wall_s": single_wall,
        "build_cpu_s": single_cpu,
        "load": load0,
        "recall": recall(single_found, truth),
    }
    print(
        f"N={n}: one PyHNSW built in {single_wall:.1f} s wall / {single_cpu:.1f} s CPU (load {load0}), "
        f"recall@{k} {base['recall']:.3f}",
        flush=True,
    )

    def one_graph():
        for q in Q:
            single.search(q, k)

    def one_flat():
        for q in Q:
            flat.search(q, k)

    rows = []
    for n_workers in args.workers:
        with (
            LocalCluster(
                n_workers=n_workers, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=":0"
            ) as cluster,
            Client(cluster) as client,
        ):
            fresh = client.run(rss)
            for n_shards in args.shards:
                gc.collect()
                load1 = load()
                t0 = time.perf_counter()
                graph = sharded.ShardedHNSW.from_array(client, X, n_shards, metric="euclidean")
                build_wall = time.perf_counter() - t0
                infos = [s.info().result() for s in graph.shards]
                found = list(graph.search_stream(Q, k, batch=args.batch))
                row = {
                    "n": n,
                    "workers": n_workers,
                    "shards": n_shards,
                    "load": load1,
                    "build_wall_s": build_wall,
                    "build_vs_one": build_wall / single_wall,
                    "shard_build_cpu_s": [i["build_seconds"] for i in infos],
                    "shard_rows": [i["count"] for i in infos],
                    "recall": recall(found, truth),
                }
                # Shards went round-robin to the workers: each worker's CPU
                # seconds, against one PyHNSW's, is the build ratio with free cores.
                per_worker = [sum(row["shard_build_cpu_s"][w::n_workers]) for w in range(n_workers)]
                row["build_cpu_vs_one"] = max(per_worker) / single_cpu
                if fresh:  # the first index these worker processes hold: their growth is its size
                    grown = client.run(rss)
                    row["bytes_per_row"] = sum(grown[w] - fresh[w] for w in fresh) / n
                    base.setdefault("bytes_per_row", row["bytes_per_row"])
                    fresh = None
                row["graph"] = paired_qps(
                    one_graph, lambda: list(graph.search_stream(Q, k, batch=args.batch)), client, len(Q), args.rounds
                )
                row["graph"]["side_by_side"] = side_by_side(graph.shards, n_workers, Q, k)
                graph = found = None  # lets the actors go
                gc.collect()

                exact_sharded = sharded.ShardedFlat.from_array(client, X, n_shards, metric="euclidean")
                got = list(exact_sharded.search_stream(Q, k, batch=args.batch))
                row["exact_equal"] = got == exact
                row["exact"] = paired_qps(
                    one_flat,
                    lambda: list(exact_sharded.search_stream(Q, k, batch=args.batch)),
                    client,
                    len(Q),
                    args.rounds,
                )
                row["exact"]["side_by_side"] = side_by_side(exact_sharded.shards, n_workers, Q, k)
                exact_sharded = got = None
                g, x = row["graph"], row["exact"]
                print(
                    f"  {n_workers} workers, {n_shards} shards: build {build_wall:.2f} s "
                    f"(1/{1 / row['build_vs_one']:.1f} of one, by CPU 1/{1 / row['build_cpu_vs_one']:.1f}), "
                    f"recall {row['recall']:.3f}; graph {g['qps']:.0f} qps ({g['ratio']:.2f}x one, by CPU "
                    f"{g['cpu_ratio']:.2f}x), exact {x['qps']:.0f} qps ({x['ratio']:.2f}x, by CPU "
                    f"{x['cpu_ratio']:.2f}x, equal {row['exact_equal']}); side by side graph "
                    f"{g['side_by_side'] or 0:.2f}x, exact {x['side_by_side'] or 0:.2f}x; load {load1}",
                    flush=True,
                )
                rows.append(row)
    single = flat = None
    gc.collect()
    return base, rows


def client_costs(args):
    """What the client itself spends per query: merging S shards' top k, and
    driving one actor call (measured on 2 workers with tiny shards)."""
    from distributed import Client, LocalCluster

    class Done:
        def __init__(self, value):
            self.value = value

        def result(self):
            return self.value

    rng = np.random.default_rng(args.seed)
    merge_us = {}
    for n_shards in (8, 64, 512):
        answers = [
            (
                np.arange(s, s + args.batch * args.k, dtype=np.int64).reshape(args.batch, args.k),
                rng.random((args.batch, args.k)),
            )
            for s in range(0, n_shards * args.batch * args.k, args.batch * args.k)
        ]
        reps = max(3, 400 // n_shards)
        t0 = time.perf_counter()
        for _ in range(reps):
            sharded._Sharded._gather(None, (args.batch, [Done(a) for a in answers]), args.k)
        merge_us[n_shards] = (time.perf_counter() - t0) / reps / args.batch * 1e6

    with (
        LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=":0"
        ) as cluster,
        Client(cluster) as client,
    ):
        tiny = sharded.ShardedHNSW.from_array(client, rng.standard_normal((800, args.dim)), 8, metric="euclidean")
        queries = rng.standard_normal((args.batch, args.dim))
        for s in tiny.shards:
            s.search(queries[:1], args.k).result()
        calls = 800
        t0, c0 = time.perf_counter(), time.process_time()
        pending = [tiny.shards[i % 8].search(queries, args.k) for i in range(calls)]
        for p in pending:
            p.result()
        call_wall, call_cpu = time.perf_counter() - t0, time.process_time() - c0
    return {"merge_us": merge_us, "call_ms": call_cpu / calls * 1e3, "call_wall_ms": call_wall / calls * 1e3}


def extrapolate(build_law, search_law, flat_row_s, bytes_per_node, costs, args):
    """Per workers W and vectors N, one shard per worker: build hours, memory
    per worker, and the queries per second that the workers allow (every query
    visits every shard) against what one client can drive (its actor calls and
    merges)."""
    a, e = build_law
    b, f = search_law
    merge_s = {s: us * 1e-6 for s, us in costs["merge_us"].items()}
    out = []
    for w in EXTRAPOLATE_WORKERS:
        for n in EXTRAPOLATE_SIZES:
            shard = n / w
            client_s = merge_s[min(merge_s, key=lambda x: abs(x - w))] + w * costs["call_ms"] * 1e-3 / args.batch
            row = {
                "workers": w,
                "n": n,
                "shard_rows": shard,
                "build_h": a * shard**e / 3600,
                "build4_h": 4 * a * (shard / 4) ** e / 3600,
                "gib_per_worker": shard * bytes_per_node / 2**30,
                "graph_qps": w / (w * b * shard**f),
                "exact_qps": w / (flat_row_s * n),
                "client_qps": 1 / client_s,
            }
            row["limit"] = (
                "client"
                if row["client_qps"] < min(row["graph_qps"], row["exact_qps"])
                else "workers"
                if row["client_qps"] > max(row["graph_qps"], row["exact_qps"])
                else "client for the faster mode"
            )
            out.append(row)
    return out


def markdown(args, bases, rows, build_law, search_law, flat_row_s, costs, paper):
    k = args.k
    lines = [
        f"Sharded on Dask, N x {args.dim} Gaussian, k={k}, euclidean, PyHNSW defaults; "
        f"LocalCluster on 127.0.0.1, one thread per worker process; {args.queries} queries, "
        f"batches of {args.batch}; throughput ratios are medians of {args.rounds} paired rounds. "
        "\"by CPU\": the same ratios from the CPU seconds spent (each worker's, the client's), as if "
        f'every process had a core of its own among this machine\'s {os.cpu_count()}. "side by side": '
        "the workers' shards searching all the queries alone, one worker after another, against all at "
        "once (the parallel work the machine gave at that moment; 2.00x with two free cores).",
        "",
        "| N | one PyHNSW build s (CPU s) | recall@10 | worker memory per row | load |",
        "|---|---|---|---|---|",
    ]
    for b in bases:
        lines.append(
            f"| {b['n']:,} | {b['build_wall_s']:.1f} ({b['build_cpu_s']:.1f}) | {b['recall']:.3f} | "
            f"{b.get('bytes_per_row', math.nan):,.0f} bytes | {b['load']} |"
        )
    lines += [
        "",
        "| N | workers | shards | build s | / one PyHNSW | by CPU | recall@10 | "
        "graph qps (one PyHNSW) | ratio | by CPU | side by side | exact qps (one PyFlat) | ratio | by CPU | "
        "side by side | client CPU ms per query, graph / exact | load |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]

    def sbs(mode):
        return "-" if mode["side_by_side"] is None else f"{mode['side_by_side']:.2f}x"

    for r in rows:
        g, x = r["graph"], r["exact"]
        lines.append(
            f"| {r['n']:,} | {r['workers']} | {r['shards']} | {r['build_wall_s']:.2f} | "
            f"1/{1 / r['build_vs_one']:.1f} | 1/{1 / r['build_cpu_vs_one']:.1f} | {r['recall']:.3f} | "
            f"{g['qps']:.0f} ({g['one_qps']:.0f}) | {g['ratio']:.2f}x | {g['cpu_ratio']:.2f}x | {sbs(g)} | "
            f"{x['qps']:.0f} ({x['one_qps']:.0f}) | {x['ratio']:.2f}x | {x['cpu_ratio']:.2f}x | {sbs(x)} | "
            f"{g['client_ms']:.3f} / {x['client_ms']:.3f} | {r['load']} |"
        )
    a, e = build_law
    b, f = search_law
    lines += [
        "",
        f"Build CPU of one graph of n vectors: {a:.3g} s x n^{e:.2f} (fitted over every shard and "
        f"one-process build); graph search: {b:.3g} s x n^{f:.2f} CPU per query; exact search "
        f"{flat_row_s * 1e9:.2f} ns CPU per stored row and query (one process).",
        "Client costs: merging S shards' top 10 per query "
        + ", ".join(f"S={s}: {us:.0f} us" for s, us in costs["merge_us"].items())
        + f"; one actor call carrying a batch of {args.batch} queries: {costs['call_ms']:.3f} ms of client CPU "
        f"({costs['call_wall_ms']:.3f} ms wall, calls in flight).",
        "",
        "| workers | N | rows per shard | graph build h (one shard per worker) | (four per worker) | "
        "graph GiB per worker | graph qps the workers allow | exact qps the workers allow | "
        f"qps one client drives (batches of {args.batch}) | limit |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    for p in paper:
        lines.append(
            f"| {p['workers']} | {p['n']:,} | {p['shard_rows']:,.0f} | {p['build_h']:.2f} | "
            f"{p['build4_h']:.2f} | {p['gib_per_worker']:.1f} | {p['graph_qps']:,.1f} | "
            f"{p['exact_qps']:,.1f} | {p['client_qps']:,.0f} | {p['limit']} |"
        )
    return "\n".join(lines) + "\n"


def main(argv=None):
    args = parse_args(argv)
    rng = np.random.default_rng(args.seed)
    bases, rows = [], []
    for n in args.sizes:
        base, size_rows = run_size(n, args, rng)
        bases.append(base)
        rows.extend(size_rows)

    points = [(b["n"], b["build_cpu_s"]) for b in bases]
    points += [(c, t) for r in rows for c, t in zip(r["shard_rows"], r["shard_build_cpu_s"]) if c >= 500]
    build_law = fit_power(points)

    def one_process_cpu(mode, n):
        return statistics.median(r[mode]["one_cpu_s"] for r in rows if r["n"] == n)

    search_law = fit_power([(b["n"], one_process_cpu("graph", b["n"])) for b in bases])
    flat_row_s = statistics.median(one_process_cpu("exact", b["n"]) / b["n"] for b in bases)
    costs = client_costs(args)
    paper = extrapolate(build_law, search_law, flat_row_s, bases[-1].get("bytes_per_row", math.nan), costs, args)

    text = markdown(args, bases, rows, build_law, search_law, flat_row_s, costs, paper)
    print(text)
    tag = "quick" if args.quick else "full"
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, f"bench_sharded_{tag}.md"), "w") as fh:
        fh.write(text)
    with open(os.path.join(args.out, f"bench_sharded_{tag}.json"), "w") as fh:
        settings = {k: v for k, v in vars(args).items() if k != "out"}
        json.dump(
            {
                "python": platform.python_version(),
                "args": settings,
                "one_process": bases,
                "sharded": rows,
                "build_law": build_law,
                "search_law": search_law,
                "flat_row_s": flat_row_s,
                "client_costs": costs,
                "extrapolation": paper,
            },
            fh,
            indent=1,
        )


if __name__ == "__main__":
    main()
