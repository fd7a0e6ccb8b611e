"""Exact search over more vectors than one machine holds: shard them across
the workers of a Dask cluster.

Each shard is a Dask actor living on one worker and holding its own
`ombrix.PyFlat` over a contiguous slice of the rows. Indexes are not
picklable, so nothing ever ships an index: each actor builds its shard on its
worker from its rows. A query goes to every shard, each answers its own top
k, and the client merges them by (value, NaN last, global id), where a
shard's global id is its offset plus the local id. That is exactly the order
one PyFlat over all the vectors returns, values bit for bit, because every
distance is computed the same way whichever index holds the vector.

Needs `pip install distributed` (and numpy, which it brings). Run:

    python examples/sharded.py                   # a LocalCluster on 127.0.0.1
    python examples/sharded.py tcp://host:8786   # an existing cluster's scheduler

Against a real cluster, pass `load_rows` so that each worker reads its own
slice (from shared storage, say) instead of receiving it through the client.
"""

import heapq
import math
import sys
import time

import numpy as np

import ombrix


class FlatShard:
    """One shard: a PyFlat over rows [offset, offset + count) of the whole set,
    built on the worker that hosts this actor."""

    def __init__(self, dim, metric, offset, rows=None, load_rows=None):
        if load_rows is not None:
            rows = load_rows(offset)
        rows = np.ascontiguousarray(rows, dtype=np.float64).reshape(-1, dim)
        self.offset = offset
        self.count = len(rows)
        self.index = ombrix.PyFlat(dim, metric=metric)
        if self.count:
            self.index.create(rows)

    def search(self, queries, k):
        """Per query, this shard's top k as (global id, value) pairs."""
        if self.count == 0 or k == 0:
            return [[] for _ in queries]
        return [[(self.offset + i, v) for i, v in self.index.search(q, k)] for q in queries]


def rank_key(pair):
    # PyFlat's order: smaller value first, NaN after every number, ties by id.
    gid, value = pair
    return (math.isnan(value), 0.0 if math.isnan(value) else value, gid)


def merge(per_shard, k):
    """The k best of several shards' (already ordered) top-k lists."""
    return list(heapq.merge(*per_shard, key=rank_key))[:k]


class ShardedFlat:
    """A PyFlat spread over the workers of a `distributed.Client`."""

    def __init__(self, client, dim, metric=None):
        self.client = client
        self.dim = dim
        self.metric = metric
        self.shards = []
        self.size = 0

    @classmethod
    def from_array(cls, client, data, n_shards, metric=None):
        """Split `data` (n x dim) into `n_shards` contiguous slices, one actor each,
        spread round-robin over the workers."""
        data = np.asarray(data, dtype=np.float64)
        sharded = cls(client, data.shape[1], metric)
        bounds = np.linspace(0, len(data), n_shards + 1).astype(int)
        workers = sorted(client.scheduler_info()["workers"])
        for i, (start, stop) in enumerate(zip(bounds[:-1], bounds[1:])):
            sharded.add_shard(data[start:stop], workers=[workers[i % len(workers)]])
        return sharded

    def add_shard(self, rows=None, count=None, load_rows=None, workers=None):
        """Add the next shard: either its rows, or `count` rows that
        `load_rows(offset)` reads on the worker."""
        if rows is not None:
            count = len(rows)
            rows = self.client.scatter(rows, workers=workers)   # straight to the worker
        future = self.client.submit(FlatShard, self.dim, self.metric, self.size, rows, load_rows,
                                    actor=True, workers=workers, pure=False)
        self.shards.append(future.result())
        self.size += count

    def search_batch(self, queries, k=1):
        """One list of (id, value) pairs per query, as one PyFlat would return."""
        queries = [list(map(float, q)) for q in queries]
        pending = [shard.search(queries, k) for shard in self.shards]   # fan out, then wait
        answers = [p.result() for p in pending]
        return [merge([a[qi] for a in answers], k) for qi in range(len(queries))]

    def search(self, query, k=1):
        return self.search_batch([query], k)[0]


def main(address=None):
    from distributed import Client, LocalCluster

    rng = np.random.default_rng(0)
    n, dim, n_shards, k = 200_000, 64, 4, 10
    data = rng.standard_normal((n, dim))
    queries = rng.standard_normal((20, dim))

    if address:
        client, cluster = Client(address), None
    else:
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                               dashboard_address=None, processes=True)
        client = Client(cluster)
    try:
        t0 = time.perf_counter()
        sharded = ShardedFlat.from_array(client, data, n_shards, metric="euclidean")
        print(f"{n} x {dim} vectors in {n_shards} shards on {len(client.scheduler_info()['workers'])} "
              f"workers, built in {time.perf_counter() - t0:.2f} s")
        t0 = time.perf_counter()
        results = sharded.search_batch(queries, k)
        took = time.perf_counter() - t0
        print(f"{len(queries)} queries, k={k}: {took * 1e3:.1f} ms for the batch")

        single = ombrix.PyFlat(dim, metric="euclidean")
        single.create(data)
        same = all(r == single.search(q, k) for r, q in zip(results, queries))
        print("merged results equal one PyFlat over all vectors:", same)
        print("nearest to query 0:", [(i, round(v, 4)) for i, v in results[0][:3]])
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else None)
