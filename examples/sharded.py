"""More vectors, or more queries a second, than one process serves: shard an
index across the workers of a Dask cluster.

Every ombrix call holds the interpreter lock, so one Python process uses one
core. Here each shard is a Dask actor living on one worker and holding its own
index over a contiguous slice of the rows. Indexes are not picklable, so
nothing ever ships an index: each actor builds its shard on its worker from its
rows, and the shards build in parallel. A query goes to every shard, each
answers its own top k, and the client merges them by (value, NaN last, global
id), where the global id of a row is its position in the whole collection
(its shard's offset plus its row in the shard).

Two modes:

- `ShardedFlat` (exact): a `PyFlat` per shard. The merged results are exactly
  what one PyFlat over all the vectors returns, values bit for bit, because
  every distance is computed the same way whichever index holds the vector.
- `ShardedHNSW` (graph): a `PyHNSW` per shard, with the user's schema and each
  row's metadata, searched with or without a filter. A graph over N/S vectors
  costs about (N/S)^2 to build, so S shards cost about N^2/S in all and build
  side by side; smaller graphs also walk to a higher recall. Results are
  `(id, distance)` pairs, or `(id, distance, vector)` with `vectors=True`,
  where the id is the user's own (`ids=`) or else the global id.

Graph results carry vectors, not ids, so each shard maps them back to its rows
by the vector's bytes, every NaN counted as one and the same NaN (+0.0 and
-0.0 stay apart: the result keeps the sign). Equal vectors cannot be told apart
in a result (they have the same distance to every query), so the rule is: the
j-th copy of a vector in one shard's answer is the j-th smallest of that
shard's rows that hold the vector and, under a filter, pass it (the library's
own filter decides, row by row). Ids within one result are therefore distinct,
each names a row that holds the returned vector and passes the filter, and
the same query always gets the same ids.

`search_stream` spreads a stream of queries over the workers: batches go to
every shard with a few batches in flight, so that all workers stay busy while
the client merges.

Needs `pip install distributed` (and numpy, which it brings). Run:

    python examples/sharded.py                   # a LocalCluster on 127.0.0.1
    python examples/sharded.py tcp://host:8786   # an existing cluster's scheduler

Against a real cluster, give each shard a loader (`load_rows` for the exact
mode, `load_shard` for the graph mode) so that each worker reads its own slice
(from shared storage, say) instead of receiving it through the client.
"""

import array
import collections
import itertools
import math
import sys
import time

import numpy as np

import ombrix


def pack(results, offset=0):
    """Per-query lists of (id, value) pairs as two arrays with one row per
    query, which ship far cheaper than lists of tuples: global ids (offset +
    id; -1 pads a short row) and values."""
    width = max(map(len, results), default=0)
    gids = np.full((len(results), width), -1, dtype=np.int64)
    values = np.full((len(results), width), np.nan)
    for row, result in enumerate(results):
        if result:
            ids, vals = zip(*result)
            gids[row, : len(ids)] = ids
            values[row, : len(vals)] = vals
    gids[gids >= 0] += offset
    return gids, values


def merge(answers, k):
    """Where the k best entries of several shards' answers (gids, values, ...)
    are, one row per query: the shards' columns laid side by side are ranked by
    (value, NaN last, global id), padding after everything (PyFlat's order;
    +0.0 and -0.0 tie). Returns the ranked columns (the first k) and the gids
    and values laid side by side."""
    gids = np.concatenate([a[0] for a in answers], axis=1)
    values = np.concatenate([a[1] for a in answers], axis=1)
    order = np.lexsort((gids, values, gids < 0), axis=-1)[:, :k]
    return order, gids, values


def vector_keys(rows):
    """One key per row of a 2-D float64 array: its bytes, with every NaN made
    the same NaN so that a NaN's sign or payload cannot decide a match."""
    rows = np.where(np.isnan(rows), np.nan, rows)
    return [row.tobytes() for row in rows]


def vector_key(vector):
    """The key of one vector given as a list of floats, as vector_keys makes it."""
    total = sum(vector)
    if total != total:  # a NaN, or infinities of both signs
        vector = [math.nan if x != x else x for x in vector]
    return array.array("d", vector).tobytes()


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
        """Per query, this shard's top k: global ids and values (see pack)."""
        if self.count == 0 or k == 0:
            return pack([[] for _ in queries])
        return pack([self.index.search(q, k) for q in queries], self.offset)


class GraphShard:
    """One shard: a PyHNSW over rows [offset, offset + count) of the whole set,
    with their metadata and (optionally) the user's ids for them, built on the
    worker that hosts this actor."""

    def __init__(self, dim, params, offset, rows=None, metadata=None, ids=None, load_shard=None):
        start = time.thread_time()
        if load_shard is not None:
            rows, metadata, ids = load_shard(offset)
        rows = np.ascontiguousarray(rows, dtype=np.float64).reshape(-1, dim)
        if ids is not None and len(ids) != len(rows):
            raise ValueError(f"{len(ids)} ids for {len(rows)} rows")
        self.offset = offset
        self.count = len(rows)
        self.schema = params.get("schema")
        self.metadata = None if metadata is None else list(metadata)
        self.ids = None if ids is None else list(ids)
        self.index = ombrix.PyHNSW(dim, **params)
        if self.count:
            self.index.create(rows, self.metadata)
        self.rows_of = {}  # vector key -> this shard's rows holding it, ascending
        for row, key in enumerate(vector_keys(rows)):
            self.rows_of.setdefault(key, []).append(row)
        self.build_seconds = time.thread_time() - start

    def info(self):
        """Rows held and the CPU seconds the build took."""
        return {"offset": self.offset, "count": self.count, "build_seconds": self.build_seconds}

    def search(self, queries, k, filter=None, vectors=False):
        """Per query, this shard's results: global ids and distances (see
        pack), and, when the rows have the user's ids or vectors are asked
        for, per query and result the (user id[, vector]) to show."""
        passing = {}  # key -> its rows that pass the filter, for this call
        entries = [self._entries(self.index.search(q, k, filter), filter, passing, vectors) for q in queries]
        gids, distances = pack([[e[:2] for e in found] for found in entries])
        shown = None if self.ids is None and not vectors else [[e[2:] for e in found] for found in entries]
        return gids, distances, shown

    def _entries(self, found, filter, passing, vectors):
        copies = {}  # key -> copies of it met so far, for vectors held more than once
        entries = []
        for distance, vector in found:
            key = vector_key(vector)
            rows = self.rows_of[key]
            if len(rows) == 1:
                row = rows[0]
            else:
                if filter is not None:
                    if key not in passing:
                        passing[key] = [r for r in rows if self._passes(r, filter)]
                    rows = passing[key]
                # The graph returns a node at most once, so there are never
                # more copies of a vector than rows holding it.
                j = copies.get(key, 0)
                copies[key] = j + 1
                row = rows[j]
            gid = self.offset + row
            entry = (gid, distance, gid if self.ids is None else self.ids[row])
            entries.append(entry + (vector,) if vectors else entry)
        return entries

    def _passes(self, row, filter):
        # A one-vector index with this row's metadata decides, so the match
        # (by type and value, NaN matching nothing) is exactly the search's.
        probe = ombrix.PyHNSW(1, metric="euclidean", schema=self.schema)
        probe.insert([0.0], None if self.metadata is None else self.metadata[row])
        return bool(probe.search([0.0], 1, filter))


class _Sharded:
    """What both modes share: parallel builds, fan-out and merge. A mode names
    the add_shard arguments that ship to the worker (`shipped`), its loader's
    argument (`loader`), and `_actor(offset, shipped values, loader)`: the
    actor's class and arguments."""

    def __init__(self, client, dim):
        self.client = client
        self.dim = dim
        self.shards = []
        self.size = 0

    def _ship(self, value, workers):
        # Large arguments go straight to the worker rather than into the task.
        return None if value is None else self.client.scatter([value], workers=workers, hash=False)[0]

    def add_shards(self, shards):
        """Add several shards at once, one dict of add_shard's arguments each:
        their actors all start at once and build side by side, one per worker
        thread. Waits for all; if one fails, lets the others go and raises its
        error, noting which shard and rows it held."""
        from distributed import as_completed

        futures, bounds, offset = [], [], self.size
        for s in shards:
            rows, workers = s.get("rows"), s.get("workers")
            count = len(rows) if rows is not None else s["count"]
            shipped = [self._ship(s.get(name), workers) for name in self.shipped]
            cls, args = self._actor(offset, shipped, s.get(self.loader))
            futures.append(self.client.submit(cls, *args, actor=True, workers=workers, pure=False))
            bounds.append((offset, offset + count))
            offset += count
        which = {f.key: i for i, f in enumerate(futures)}
        for future in as_completed(futures):
            if future.status == "error":
                exc = future.exception()
                self.client.cancel(futures)
                i = which[future.key]
                exc.add_note(f"while building shard {len(self.shards) + i} (rows {bounds[i][0]} to {bounds[i][1]})")
                raise exc
        self.shards.extend(f.result() for f in futures)
        self.size = offset

    def _spread(self, n, n_shards):
        """Contiguous slices of n rows, one per shard, and the worker of each
        (round-robin over the workers)."""
        bounds = np.linspace(0, n, n_shards + 1).astype(int)
        workers = sorted(self.client.scheduler_info()["workers"])
        return [(int(a), int(b), [workers[i % len(workers)]]) for i, (a, b) in enumerate(zip(bounds[:-1], bounds[1:]))]

    def _fan_out(self, queries, k, *options):
        try:  # one buffer ships faster than lists of floats
            queries = np.asarray(queries, dtype=np.float64)
        except ValueError:  # queries of unequal lengths
            queries = [list(map(float, q)) for q in queries]
        return len(queries), [shard.search(queries, k, *options) for shard in self.shards]

    def _gather(self, pending, k):
        n, futures = pending
        answers = [f.result() for f in futures]
        if not answers:
            return [[] for _ in range(n)]
        order, gids, values = merge(answers, k)
        ids = np.take_along_axis(gids, order, axis=1)
        counts = (ids >= 0).sum(axis=1).tolist()
        ids, picked = ids.tolist(), np.take_along_axis(values, order, axis=1).tolist()
        shown = [a[2] if len(a) > 2 else None for a in answers]
        if all(s is None for s in shown):  # (global id, value) pairs
            return [list(zip(ids[q][:c], picked[q][:c])) for q, c in enumerate(counts)]
        # (user id, distance[, vector]), as the shard each entry came from shows it
        starts = np.cumsum([0] + [a[0].shape[1] for a in answers])
        shard = np.searchsorted(starts, order, side="right") - 1
        column, shard = (order - starts[shard]).tolist(), shard.tolist()
        results = []
        for q, c in enumerate(counts):
            result = []
            for gid, s, j, d in zip(ids[q][:c], shard[q][:c], column[q][:c], picked[q][:c]):
                uid, *rest = (gid,) if shown[s] is None else shown[s][q][j]
                result.append((uid, d, *rest))
            results.append(result)
        return results

    def search_stream(self, queries, k=1, *options, batch=256, in_flight=2):
        """Results for a stream of queries, in order: batches of `batch`
        queries go to every shard, with up to `in_flight` batches outstanding
        so that every worker stays busy while the client merges."""
        pending = collections.deque()
        for chunk in itertools.batched(queries, batch, strict=False):
            pending.append(self._fan_out(chunk, k, *options))
            if len(pending) > in_flight:
                yield from self._gather(pending.popleft(), k)
        while pending:
            yield from self._gather(pending.popleft(), k)


class ShardedFlat(_Sharded):
    """A PyFlat spread over the workers of a `distributed.Client`."""

    def __init__(self, client, dim, metric=None):
        super().__init__(client, dim)
        self.metric = metric

    @classmethod
    def from_array(cls, client, data, n_shards, metric=None):
        """Split `data` (n x dim) into `n_shards` contiguous slices, one actor each,
        spread round-robin over the workers."""
        data = np.asarray(data, dtype=np.float64)
        sharded = cls(client, data.shape[1], metric)
        sharded.add_shards([dict(rows=data[a:b], workers=w) for a, b, w in sharded._spread(len(data), n_shards)])
        return sharded

    def add_shard(self, rows=None, count=None, load_rows=None, workers=None):
        """Add the next shard: either its rows, or `count` rows that
        `load_rows(offset)` reads on the worker."""
        self.add_shards([dict(rows=rows, count=count, load_rows=load_rows, workers=workers)])

    shipped, loader = ("rows",), "load_rows"

    def _actor(self, offset, shipped, load):
        return FlatShard, (self.dim, self.metric, offset, *shipped, load)

    def search_batch(self, queries, k=1):
        """One list of (id, value) pairs per query, as one PyFlat would return."""
        return self._gather(self._fan_out(queries, k), k)

    def search(self, query, k=1):
        return self.search_batch([query], k)[0]


class ShardedHNSW(_Sharded):
    """A PyHNSW spread over the workers of a `distributed.Client`: one graph
    per shard, with the same parameters, schema and metric."""

    def __init__(
        self, client, dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, schema=None
    ):
        super().__init__(client, dim)
        self.params = dict(
            layers=layers,
            m=m,
            ef_construction=ef_construction,
            ef_search=ef_search,
            metric=metric,
            schema=None if schema is None else list(schema),
        )
        # Bad parameters fail here, with PyHNSW's own errors, before any shard starts.
        ombrix.PyHNSW(dim, **self.params)

    @classmethod
    def from_array(cls, client, data, n_shards, metadata=None, ids=None, **params):
        """Split `data` (n x dim), its `metadata` (one pair list per row) and
        `ids` (the user's id of each row) into `n_shards` contiguous slices, one
        actor each, spread round-robin over the workers; `params` are PyHNSW's."""
        data = np.asarray(data, dtype=np.float64)
        sharded = cls(client, data.shape[1], **params)
        sharded.add_shards(
            [
                dict(
                    rows=data[a:b],
                    metadata=None if metadata is None else metadata[a:b],
                    ids=None if ids is None else ids[a:b],
                    workers=w,
                )
                for a, b, w in sharded._spread(len(data), n_shards)
            ]
        )
        return sharded

    def add_shard(self, rows=None, metadata=None, ids=None, count=None, load_shard=None, workers=None):
        """Add the next shard: its rows (with their metadata and ids, if any),
        or `count` rows that `load_shard(offset)` reads on the worker as
        (rows, metadata or None, ids or None)."""
        self.add_shards(
            [dict(rows=rows, metadata=metadata, ids=ids, count=count, load_shard=load_shard, workers=workers)]
        )

    shipped, loader = ("rows", "metadata", "ids"), "load_shard"

    def _actor(self, offset, shipped, load):
        return GraphShard, (self.dim, self.params, offset, *shipped, load)

    def search_batch(self, queries, k=1, filter=None, vectors=False):
        """One list of (id, distance) pairs per query, or (id, distance,
        vector) with `vectors=True`, nearest first; `filter` is PyHNSW's."""
        return self._gather(self._fan_out(queries, k, filter, vectors), k)

    def search(self, query, k=1, filter=None, vectors=False):
        return self.search_batch([query], k, filter, vectors)[0]

    def search_stream(self, queries, k=1, filter=None, vectors=False, batch=256, in_flight=2):
        return super().search_stream(queries, k, filter, vectors, batch=batch, in_flight=in_flight)


def recall(found, exact):
    """Share of the exact ids that the approximate results found."""
    hits = sum(len({i for i, *_ in f} & {i for i, _ in e}) for f, e in zip(found, exact))
    return hits / max(1, sum(len(e) for e in exact))


def main(address=None):
    from distributed import Client, LocalCluster

    rng = np.random.default_rng(0)
    dim, k = 64, 10
    queries = rng.standard_normal((200, dim))

    if address:
        client, cluster = Client(address), None
    else:
        cluster = LocalCluster(
            n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address=":0", processes=True
        )
        client = Client(cluster)
    workers = len(client.scheduler_info()["workers"])
    try:
        # Exact mode: 200 000 vectors in 4 shards, checked against one PyFlat.
        n, n_shards = 200_000, 4
        data = rng.standard_normal((n, dim))
        t0 = time.perf_counter()
        flat = ShardedFlat.from_array(client, data, n_shards, metric="euclidean")
        print(
            f"exact: {n} x {dim} vectors in {n_shards} shards on {workers} workers, "
            f"built in {time.perf_counter() - t0:.2f} s"
        )
        t0 = time.perf_counter()
        exact = list(flat.search_stream(queries, k))
        print(f"  {len(queries)} queries, k={k}: {len(queries) / (time.perf_counter() - t0):.0f} queries/s")
        single = ombrix.PyFlat(dim, metric="euclidean")
        single.create(data)
        print(
            "  merged results equal one PyFlat over all vectors:",
            all(r == single.search(q, k) for r, q in zip(exact, queries)),
        )
        del flat, single

        # Graph mode: 40 000 vectors with a "color" attribute in 8 shards.
        n, n_shards = 40_000, 8
        data = data[:n]
        colors = ["red", "green", "blue"]
        metadata = [[("color", colors[i % 3])] for i in range(n)]
        t0 = time.perf_counter()
        graph = ShardedHNSW.from_array(client, data, n_shards, metadata=metadata, metric="euclidean", schema=["color"])
        print(f"graph: {n} x {dim} vectors in {n_shards} shards, built in {time.perf_counter() - t0:.2f} s")
        t0 = time.perf_counter()
        found = list(graph.search_stream(queries, k))
        print(f"  {len(queries)} queries, k={k}: {len(queries) / (time.perf_counter() - t0):.0f} queries/s")
        exact = ombrix.PyFlat(dim, metric="euclidean")
        exact.create(data)
        print(f"  recall@{k} against exact search: {recall(found, [exact.search(q, k) for q in queries]):.3f}")
        red = graph.search(queries[0], 3, filter=("color", "red"))
        print("  nearest red rows to query 0:", [(i, round(d, 4)) for i, d in red])
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else None)
