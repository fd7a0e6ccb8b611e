"""One side of bench_hnsw.py's side-by-side runs of two builds of ombrix.

bench_hnsw.py starts this script under each interpreter whose `ombrix` it
compares (the current build, and another one given by --baseline-python) and
sends it commands, one JSON object per line on stdin; each answer is one JSON
line on stdout. Both sides load the same vectors from a .npy file. Their level
draws come from the system's entropy, so their graphs differ: the two cores'
results are compared bit for bit by hnsw_counts (seeded draws), here by recall.

    {"op": "data", "path": ..., "queries": ..., "metric": ...}
    {"op": "build", "schema": true}        -> {"build_s": CPU seconds}
    {"op": "search", "filter": "label", "first": 0, "count": 20}
                                           -> {"lat": [seconds...], "ids": [[id...]...]}
    {"op": "flat", "per": "label", "first": 0, "count": 20}   (PyFlat, one per value)
    {"op": "quit"}

A filter on "label" asks query q for label q % 10 (10 % of the nodes), on
"tag" for tag q % 100 (1 %); node i holds label i % 10 and tag i % 100.
"""

import gc
import json
import sys
import time

import numpy as np

import ombrix

FLAT_METRIC = {"euclidean": "euclidean", "angular": "cosine", "inner_product": "inner_product"}
VALUES = {"label": 10, "tag": 100}


class Worker:
    def __init__(self):
        self.index = None
        self.flats = {}

    def data(self, path, queries, metric):
        both = np.load(path)
        self.X = np.ascontiguousarray(both[:-queries])
        self.Q = both[-queries:].tolist()
        self.metric = metric
        n = len(self.X)
        self.rows = [[("label", i % 10), ("tag", i % 100)] for i in range(n)]
        self.key_to_id = {row.tobytes(): i for i, row in enumerate(self.X)}
        self.index = None
        self.flats = {}
        return {"n": n}

    def build(self, schema):
        self.index = None
        gc.collect()
        dim = self.X.shape[1]
        index = ombrix.PyHNSW(dim, metric=self.metric, schema=["label", "tag"] if schema else None)
        start = time.process_time()
        index.create(self.X, self.rows if schema else None)
        seconds = time.process_time() - start
        self.index = index
        return {"build_s": seconds}

    def _timed(self, call, first, count, to_ids):
        lat, ids, kept = [], [], []
        for q in range(first, first + count):
            query = self.Q[q % len(self.Q)]
            start = time.perf_counter()
            result = call(q, query)
            lat.append(time.perf_counter() - start)
            kept.append(result)  # freed after the timed calls
            ids.append(to_ids(q, result))
        return {"lat": lat, "ids": ids}

    def search(self, filter, first, count):
        index = self.index

        def call(q, query):
            if filter is None:
                return index.search(query, 10)
            return index.search(query, 10, (filter, q % VALUES[filter]))

        def ids(q, result):
            return [self.key_to_id[np.asarray(v, dtype=np.float64).tobytes()] for _, v in result]

        return self._timed(call, first, count, ids)

    def flat(self, per, first, count):
        if per not in self.flats:
            dim = self.X.shape[1]
            if per is None:
                flat = ombrix.PyFlat(dim, metric=FLAT_METRIC[self.metric])
                flat.create(self.X)
                self.flats[per] = [(flat, None)]
            else:
                self.flats[per] = []
                for v in range(VALUES[per]):
                    ids = np.arange(v, len(self.X), VALUES[per])
                    flat = ombrix.PyFlat(dim, metric=FLAT_METRIC[self.metric])
                    flat.create(np.ascontiguousarray(self.X[ids]))
                    self.flats[per].append((flat, ids))
        flats = self.flats[per]

        def call(q, query):
            return flats[0 if per is None else q % VALUES[per]][0].search(query, 10)

        def ids(q, result):
            stored = flats[0 if per is None else q % VALUES[per]][1]
            return [i if stored is None else int(stored[i]) for i, _ in result]

        return self._timed(call, first, count, ids)


def main():
    worker = Worker()
    for line in sys.stdin:
        command = json.loads(line)
        op = command.pop("op")
        if op == "quit":
            break
        answer = getattr(worker, op)(**command)
        sys.stdout.write(json.dumps(answer) + "\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
