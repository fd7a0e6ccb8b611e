"""The graph index against exact search: recall@10 on random data for each
metric, and bit-exact distances for whatever it returns."""

import numpy as np
import pytest

import ombrix
from conftest import cosine, dot, euclidean

N, DIM, QUERIES, K = 2000, 16, 100, 10

# Level draws are not seedable, so thresholds leave room below the recall
# that default parameters reach on this data (about 1.0, 0.98 and 0.99).
CASES = [
    ("euclidean", euclidean, 0.95),
    ("angular", cosine, 0.9),
    ("inner_product", dot, 0.9),
]


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(20240611)
    return rng.standard_normal((N, DIM)), rng.standard_normal((QUERIES, DIM))


def exact_neighbours(metric, vectors, queries):
    if metric == "euclidean":
        scores = ((queries[:, None, :] - vectors[None, :, :]) ** 2).sum(axis=-1)
    elif metric == "inner_product":
        scores = queries @ vectors.T
    else:
        norms = np.linalg.norm(queries, axis=1)[:, None] * np.linalg.norm(vectors, axis=1)[None, :]
        scores = (queries @ vectors.T) / norms
    return np.argsort(scores, axis=1, kind="stable")[:, :K]


@pytest.mark.parametrize("metric, reference, threshold", CASES, ids=[c[0] for c in CASES])
def test_recall_against_brute_force(data, metric, reference, threshold):
    vectors, queries = data
    index = ombrix.PyHNSW(DIM, metric=metric)
    index.create(vectors)
    ids = {tuple(v): i for i, v in enumerate(vectors.tolist())}
    truth = exact_neighbours(metric, vectors, queries)

    hits = 0
    for query, expected in zip(queries.tolist(), truth):
        result = index.search(query, k=K)
        assert len(result) == K
        found = [ids[tuple(vector)] for _, vector in result]
        assert len(set(found)) == K
        # Distances are the metric's own values, bit for bit, in ranking order.
        distances = [d for d, _ in result]
        assert distances == [reference(query, vectors[i].tolist()) for i in found]
        assert distances == sorted(distances)
        hits += len(set(found) & set(expected.tolist()))
    recall = hits / (K * len(queries))
    assert recall >= threshold, f"recall@{K} {recall:.3f} below {threshold}"


def test_insert_and_create_build_equivalent_indexes(data):
    # One by one or in a batch, a one-layer graph links every node to all
    # earlier ones when ef_construction covers them, so search is exact.
    vectors, queries = data
    vectors, queries = vectors[:150], queries[:10]
    one, batch = (
        ombrix.PyHNSW(DIM, layers=1, ef_construction=200, ef_search=200, metric="euclidean") for _ in range(2)
    )
    for v in vectors.tolist():
        one.insert(v)
    batch.create(vectors.tolist())
    truth = exact_neighbours("euclidean", vectors, queries)
    for query, expected in zip(queries.tolist(), truth):
        result = one.search(query, k=K)
        assert result == batch.search(query, k=K)
        assert [v for _, v in result] == vectors[expected].tolist()
