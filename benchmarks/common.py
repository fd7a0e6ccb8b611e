"""What the benchmark scripts share: the optional peers, the results folder and
the query timers."""

import os
import statistics
import time

try:
    import faiss
except ImportError:
    faiss = None

try:
    import hnswlib
except ImportError:
    hnswlib = None

RESULTS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")


def median_time(search, queries):
    """Median seconds of search(q) over the queries, after one warm-up call."""
    search(queries[0])
    times = []
    for q in queries:
        t = time.perf_counter()
        search(q)
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def time_queries(search, queries, budget, min_queries):
    """Run search(q) for each query until the budget is spent (at least
    `min_queries` queries), after one warm-up call.

    Returns (median latency in seconds, QPS over the timed loop, results, calls
    made including the warm-up)."""
    search(queries[0])
    lat, out = [], []
    start = time.perf_counter()
    for i, q in enumerate(queries):
        t0 = time.perf_counter()
        r = search(q)
        lat.append(time.perf_counter() - t0)
        out.append(r)
        if i + 1 >= min_queries and time.perf_counter() - start > budget:
            break
    total = time.perf_counter() - start
    return statistics.median(lat), len(lat) / total, out, len(lat) + 1
