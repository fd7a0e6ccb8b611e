"""examples/sharded.py: exact search sharded over Dask workers gives what one
PyFlat over all the vectors gives, ids and value bits, for every metric."""

import importlib.util
import os
import pathlib

import pytest

pytest.importorskip("distributed")
np = pytest.importorskip("numpy")
if "asan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip("worker processes under the sanitizer preload take minutes to start", allow_module_level=True)

from conftest import assert_same  # noqa: E402

import ombrix  # noqa: E402

EXAMPLE = pathlib.Path(__file__).parent.parent / "examples" / "sharded.py"
spec = importlib.util.spec_from_file_location("sharded_example", EXAMPLE)
sharded = importlib.util.module_from_spec(spec)
spec.loader.exec_module(sharded)

DIM = 6
SHARD_SIZES = [7, 1, 40, 0, 23]   # uneven, one smaller than k, one empty
METRICS = [None, "inner_product", "cosine"]


@pytest.fixture(scope="module")
def client():
    from distributed import Client, LocalCluster

    # Loopback only; worker processes, so shards really live elsewhere.
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as c:
        yield c


def dataset():
    """Small integer coordinates (many exact ties), duplicates placed in
    different shards, a NaN coordinate and a zero vector (NaN under cosine)."""
    rng = np.random.default_rng(3)
    data = rng.integers(-2, 3, size=(sum(SHARD_SIZES), DIM)).astype(np.float64)
    data[50] = data[2]       # shard 2 repeats a vector of shard 0
    data[70] = data[2]       # and shard 4 again
    data[60] = data[7]       # shard 2 repeats shard 1's only vector
    data[10, 3] = np.nan
    data[30] = 0.0
    data[65] = -0.0
    return data


def queries(data):
    rng = np.random.default_rng(4)
    return [data[2], data[7], data[30], np.zeros(DIM), data[10], *rng.standard_normal((6, DIM))]


def build(client, data, metric):
    index = sharded.ShardedFlat(client, DIM, metric)
    offsets = np.cumsum([0, *SHARD_SIZES])
    workers = sorted(client.scheduler_info()["workers"])
    for i, (start, stop) in enumerate(zip(offsets[:-1], offsets[1:])):
        index.add_shard(data[start:stop], workers=[workers[i % len(workers)]])
    return index


@pytest.mark.parametrize("metric", METRICS, ids=lambda m: m or "euclidean")
def test_merged_results_equal_one_flat_index(client, metric):
    data = dataset()
    index = build(client, data, metric)
    single = ombrix.PyFlat(DIM, metric=metric)
    single.create(data)
    qs = queries(data)
    for k in (0, 1, 3, 10, 41, len(data) + 5):
        got = index.search_batch(qs, k)
        for q, result in zip(qs, got):
            assert_same(result, single.search(q, k))


def test_merge_orders_nan_last_and_ties_by_global_id():
    shard_a = [(0, 1.0), (3, float("nan"))]
    shard_b = [(4, -0.0), (1, 1.0), (5, float("nan"))]
    shard_c = [(2, 0.0)]
    merged = sharded.merge([shard_a, shard_b, shard_c], 10)
    assert [gid for gid, _ in merged] == [2, 4, 0, 1, 3, 5]
    assert [gid for gid, _ in sharded.merge([shard_a, shard_b, shard_c], 3)] == [2, 4, 0]


def test_from_array_and_shards_built_from_a_loader(client):
    data = dataset()
    single = ombrix.PyFlat(DIM)
    single.create(data)
    spread = sharded.ShardedFlat.from_array(client, data, 3)
    # A loader runs on the worker: here it slices a copy shipped with it.
    loaded = sharded.ShardedFlat(client, DIM)
    for start, stop in ((0, 30), (30, len(data))):
        loaded.add_shard(count=stop - start, load_rows=lambda offset, rows=data[start:stop]: rows)
    for q in queries(data):
        assert_same(spread.search(q, 12), single.search(q, 12))
        assert_same(loaded.search(q, 12), single.search(q, 12))
