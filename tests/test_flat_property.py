"""PyFlat.search against a brute-force oracle over awkward random data."""

import math

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import ombrix
from conftest import assert_same, brute_force, flat_metric

# A small pool makes duplicates, ties, zero norms and overflow likely.
SPECIAL = [0.0, -0.0, 1.0, -1.0, 2.0, 0.5, -3.0, 1e300, -1e300, 5e-324,
           math.inf, -math.inf, math.nan]
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


@settings(max_examples=200, deadline=None, derandomize=True, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
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
