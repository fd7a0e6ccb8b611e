"""A typical user script: must type-check cleanly under mypy --strict."""

import random

import numpy as np
import numpy.typing as npt

import ombrix

rng = np.random.default_rng(0)
data: npt.NDArray[np.float64] = rng.standard_normal((100, 8))

flat = ombrix.PyFlat(8, metric="cosine")
flat.create(data)
flat.insert(data[0])
flat.insert([0.5] * 8)
flat.insert((1, 2, 3, 4, 5, 6, 7, 8))
flat.create([[0.0] * 8, list(range(8))])
hits: list[tuple[int, float]] = flat.search(data[1], k=5)
ids = np.array([i for i, _ in hits], dtype=np.int64)
values = np.array([v for _, v in hits])
best = [(i, -v) for i, v in flat.search(-data[1], k=3)]
nearest_rows = data[ids[ids < len(data)]]

hnsw = ombrix.PyHNSW(8, metric="euclidean", schema=["label", "weight"])
hnsw2 = ombrix.PyHNSW(8, 3, None, 100, 40, "angular")
hnsw3 = ombrix.PyHNSW(dim=np.int64(8), ef_search=100, metric="inner_product")
labels = [random.choice(["a", "b"]) for _ in range(len(data))]
hnsw.create(data, [[("label", label), ("weight", 1.5)] for label in labels])
hnsw.insert(data[0], [("label", "a"), ("weight", np.float64(2.0))])
hnsw.insert(data[1], [("label", "b"), ("weight", 3)])
hnsw2.create([row for row in data])
hnsw3.insert(list(data[2]))
results = hnsw.search(data[3], k=10, filter=("label", "a"))
distances = np.array([d for d, _ in results])
vectors = np.array([v for _, v in results])
first_distance, first_vector = results[0]
total: float = first_distance + sum(first_vector)
by_vector = {tuple(row): i for i, row in enumerate(data.tolist())}
found_ids = [by_vector[tuple(v)] for _, v in hnsw.search(data[3], k=5)]
