"""PyFlat.search against a brute-force oracle over awkward random data."""

import math
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import ombrix
from conftest import assert_same, brute_force, flat_metric

# A small pool makes duplicates, ties, zero norms and overflow likely.
SPECIAL = [0.0, -0.0, 1.0, -1.0, 2.0, 0.5, -3.0, 1e300, -1e300, 5e-324, math.inf, -math.inf, math.nan]
coordinate = st.one_of(
    st.sampled_from(SPECIAL),
    st.integers(-4, 4).map(float),
    st.floats(allow_nan=True, allow_infinity=True, width=64),
)
METRICS = [None, "euclidean", "inner_product", "cosine", "angular", "other"]


@st.composite
def scenarios(draw):
    dim = draw(st.integers(1, 9))
    vector = st.lists(coordinate, min_size=dim, max_size=dim)
    base = draw(st.lists(vector, min_size=1, max_size=6))
    # Draw stored vectors mostly from a few base vectors: many exact ties.
    vectors = draw(st.lists(st.one_of(st.sampled_from(base), vector), min_size=1, max_size=40))
    query = draw(st.one_of(st.sampled_from(vectors), vector))
    metric = draw(st.sampled_from(METRICS))
    k = draw(st.one_of(st.none(), st.integers(0, len(vectors) + 3)))
    split = draw(st.integers(0, len(vectors)))
    return dim, vectors, query, metric, k, split


@settings(
    max_examples=200,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
@given(scenarios())
def test_search_matches_brute_force(scenario):
    dim, vectors, query, metric, k, split = scenario
    index = ombrix.PyFlat(dim, metric)
    # Store some vectors one by one and the rest in one batch.
    for v in vectors[:split]:
        index.insert(v)
    if split < len(vectors):
        index.create(vectors[split:])
    expected = brute_force(vectors, query, 1 if k is None else k, flat_metric(metric))
    assert_same(index.search(query, k), expected)


def _left_to_right(X, q, metric):
    """Every row's value as plain left-to-right float64 sums (np.cumsum adds in order)."""
    import numpy as np

    with np.errstate(all="ignore"):
        if metric == "inner_product":
            return np.cumsum(X * q, axis=1)[:, -1]
        if metric == "cosine":
            dot = np.cumsum(X * q, axis=1)[:, -1]
            norms = np.sqrt(np.cumsum(X * X, axis=1)[:, -1])
            return dot / (math.sqrt(float(np.cumsum(q * q)[-1])) * norms)
        return np.sqrt(np.cumsum((q - X) ** 2, axis=1)[:, -1])


def test_low_rank_data_with_hostile_rows_match_numpy():
    # Thousands of low-rank rows (where searches prune through a copy of the
    # data) with huge, tiny, subnormal, NaN and duplicate rows among them,
    # stored in batches and one by one: ids and values bit for bit.
    import numpy as np

    rng = np.random.default_rng(7)
    dim, n = 160, 6000
    X = rng.standard_normal((n, 5)) @ rng.standard_normal((5, dim)) + 1e-3 * rng.standard_normal((n, dim))
    X[::401] *= 1e250
    X[7::409] *= 1e-300
    X[11::419, 3] = math.nan
    X[13::421] = X[0]
    X[17::431] = np.nextafter(X[16::431], math.inf)
    for metric in ["euclidean", "inner_product", "cosine"]:
        index = ombrix.PyFlat(dim, metric)
        index.create(X[:4000])
        for row in X[4000:4100]:
            index.insert(row.tolist())
        index.create(X[4100:])
        for q in [X[0], X[16], X[2500] + 1e-9, rng.standard_normal(dim), X[401]]:
            values = _left_to_right(X, q, metric)
            keys = np.where(np.isnan(values), np.inf, values)
            order = np.lexsort((np.arange(n), np.isnan(values), keys))
            for k in [1, 10, 200]:
                got = index.search(q.tolist(), k)
                assert [i for i, _ in got] == order[:k].tolist()
                want = values[order[:k]]
                assert all(a == b or (math.isnan(a) and math.isnan(b)) for (_, a), b in zip(got, want))


@pytest.mark.parametrize("dim", [2, 3, 9])
@pytest.mark.parametrize("metric", ["euclidean", "inner_product", "cosine"])
def test_search_of_many_low_dimensional_vectors_matches_brute_force(dim, metric):
    # Enough vectors, created and inserted, to be kept in spatial order: a
    # grid (ties at the k-th value across regions), duplicates, NaN and
    # infinite vectors, and queries with NaN or infinities too.
    rng = random.Random(dim)
    vectors = [[float(rng.randint(-4, 4)) for _ in range(dim)] for _ in range(6000)]
    for i in range(0, 6000, 997):
        vectors[i][i % dim] = [math.nan, math.inf, -math.inf][i % 3]
    index = ombrix.PyFlat(dim, metric)
    index.create(vectors[:4500])
    for v in vectors[4500:]:
        index.insert(v)
    queries = [[rng.uniform(-5, 5) for _ in range(dim)] for _ in range(3)] + [vectors[5], [0.0] * dim]
    queries.append([math.nan] + [1.0] * (dim - 1))
    for q in queries:
        expected = brute_force(vectors, q, 100, flat_metric(metric))
        for k in (1, 10, 100):
            assert_same(index.search(q, k), expected[:k])
