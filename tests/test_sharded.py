"""examples/sharded.py: exact search sharded over Dask workers gives what one
PyFlat over all the vectors gives, ids and value bits, for every metric; graph
search merges what the shards answer and maps their vectors back to the right
rows and the user's ids, duplicates and NaN included; a shard that fails to
build reports why."""

import importlib.util
import itertools
import math
import os
import pathlib

import pytest

pytest.importorskip("distributed")
np = pytest.importorskip("numpy")
if "asan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip("worker processes under the sanitizer preload take minutes to start", allow_module_level=True)

import ombrix  # noqa: E402
from conftest import assert_same, cosine, dot, euclidean, rank_key  # noqa: E402

EXAMPLE = pathlib.Path(__file__).parent.parent / "examples" / "sharded.py"
spec = importlib.util.spec_from_file_location("sharded_example", EXAMPLE)
sharded = importlib.util.module_from_spec(spec)
spec.loader.exec_module(sharded)

DIM = 6
SHARD_SIZES = [7, 1, 40, 0, 23]  # uneven, one smaller than k, one empty
METRICS = [None, "inner_product", "cosine"]


@pytest.fixture(scope="module")
def client():
    from distributed import Client, LocalCluster

    # Loopback only; worker processes, so shards really live elsewhere.
    with (
        LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=":0"
        ) as cluster,
        Client(cluster) as c,
    ):
        yield c


def dataset():
    """Small integer coordinates (many exact ties), duplicates placed in
    different shards, a NaN coordinate and a zero vector (NaN under cosine)."""
    rng = np.random.default_rng(3)
    data = rng.integers(-2, 3, size=(sum(SHARD_SIZES), DIM)).astype(np.float64)
    data[50] = data[2]  # shard 2 repeats a vector of shard 0
    data[70] = data[2]  # and shard 4 again
    data[60] = data[7]  # shard 2 repeats shard 1's only vector
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


def test_merge_orders_nan_last_ties_by_global_id_padding_after_all():
    nan = float("nan")
    answers = [
        sharded.pack([[(0, 1.0), (3, nan)], [(9, nan)]]),
        sharded.pack([[(4, -0.0), (1, 1.0), (5, nan)], []]),
        sharded.pack([[(2, 0.0)], [(8, 2.0)]]),
    ]
    for k, expected in ((10, [[2, 4, 0, 1, 3, 5], [8, 9]]), (3, [[2, 4, 0], [8, 9]])):
        order, gids, _ = sharded.merge(answers, k)
        for row, want in enumerate(expected):
            assert gids[row, order[row]].tolist()[: len(want)] == want
            assert (gids[row, order[row]][len(want) :] == -1).all()


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


# -- graph mode ---------------------------------------------------------------

GRAPH_DIM = 3
GRAPH_METRICS = {"euclidean": euclidean, "angular": cosine, "inner_product": dot}
FILTERS = [None, ("color", "red"), ("size", 1)]


def graph_dataset():
    """Coordinates in {-1, 0, 1}: equal vectors within shards and across them,
    with different metadata. Copies of one NaN vector whose NaNs differ in
    sign and payload, a NaN elsewhere, +0.0 beside -0.0; sizes 1 and 1.0."""
    rng = np.random.default_rng(5)
    n = sum(SHARD_SIZES)
    data = rng.integers(-1, 2, size=(n, GRAPH_DIM)).astype(np.float64)
    payload_nan = np.frombuffer(bytes.fromhex("0100000000f8ff7f"), dtype=np.float64)[0]
    data[8:12] = [np.nan, 1.0, 0.0]
    data[9, 0], data[10, 0] = -np.nan, payload_nan
    data[50] = [np.nan, 1.0, 0.0]
    data[12] = [0.0, np.nan, 0.0]
    data[13], data[14] = [-0.0, 1.0, 0.0], [0.0, 1.0, 0.0]
    metadata = [[("color", ("red", "blue")[i % 2]), ("size", (1, 2, 1.0)[i % 3])] for i in range(n)]
    return data, metadata


def build_graph(client, data, metadata, metric):
    index = sharded.ShardedHNSW(client, GRAPH_DIM, ef_search=64, metric=metric, schema=["color", "size"])
    offsets = np.cumsum([0, *SHARD_SIZES])
    workers = sorted(client.scheduler_info()["workers"])
    index.add_shards(
        [
            dict(
                rows=data[a:b],
                metadata=metadata[a:b],
                ids=[f"row{i}" for i in range(a, b)],
                workers=[workers[i % len(workers)]],
            )
            for i, (a, b) in enumerate(zip(offsets[:-1], offsets[1:]))
        ]
    )
    return index


def passes(row_metadata, flt):
    return flt is None or any(n == flt[0] and type(v) is type(flt[1]) and v == flt[1] for n, v in row_metadata)


def canonical(vector):
    return tuple("nan" if math.isnan(x) else np.float64(x).tobytes() for x in vector)


@pytest.mark.parametrize("metric", GRAPH_METRICS)
def test_graph_merges_shards_and_maps_vectors_to_their_rows(client, metric):
    data, metadata = graph_dataset()
    index = build_graph(client, data, metadata, metric)
    offsets = np.cumsum([0, *SHARD_SIZES])
    qs = [
        list(map(float, q))
        for q in (
            data[8],
            data[13],
            data[20],
            np.zeros(GRAPH_DIM),
            *np.random.default_rng(6).standard_normal((4, GRAPH_DIM)),
        )
    ]
    seen_copies = seen_nan = 0
    for flt, k in itertools.product(FILTERS, (1, 7, 40)):
        merged = index.search_batch(qs, k, flt, vectors=True)
        answers = [shard.search(qs, k, flt, True).result() for shard in index.shards]
        for qi, (q, result) in enumerate(zip(qs, merged)):
            entries = sorted(
                (
                    (g, d, *shown[qi][j])
                    for gids, distances, shown in answers
                    for j, (g, d) in enumerate(zip(gids[qi].tolist(), distances[qi].tolist()))
                    if g >= 0
                ),
                key=lambda e: rank_key(e[1], e[0]),
            )
            assert_same(result, [(uid, d, v) for _, d, uid, v in entries[:k]])
            # Every id names a row that holds the vector, passes the filter and
            # is that far from the query; the j-th copy of a vector in a shard
            # is that shard's j-th such row.
            copies = {}
            for uid, d, v in result:
                row = int(uid[3:])
                assert_same(v, data[row].tolist())
                assert_same(d, GRAPH_METRICS[metric](q, data[row].tolist()))
                assert passes(metadata[row], flt)
                shard = np.searchsorted(offsets, row, side="right") - 1
                copies.setdefault((shard, canonical(v)), []).append(row)
                seen_nan += math.isnan(v[0])
            for (shard, key), rows in copies.items():
                holders = [
                    r
                    for r in range(offsets[shard], offsets[shard + 1])
                    if canonical(data[r]) == key and passes(metadata[r], flt)
                ]
                assert sorted(rows) == holders[: len(rows)]
                seen_copies += len(rows) > 1
    assert seen_copies and seen_nan, "the data should have put equal and NaN vectors in results"


@pytest.mark.parametrize("fault", ["metadata", "loader"])
def test_a_shard_that_fails_to_build_reports_its_error(client, fault):
    data, metadata = graph_dataset()
    index = sharded.ShardedHNSW(client, GRAPH_DIM, metric="euclidean", schema=["color", "size"])
    shards = [dict(rows=data[:8], metadata=metadata[:8]), dict(rows=data[8:48], metadata=metadata[8:48])]
    if fault == "metadata":
        shards[1]["metadata"] = metadata[8:20] + [[("size", 1)]] + metadata[21:48]
        expected = (ValueError, "Missing metadata for attribute 'color'")
    else:

        def load_shard(offset):
            raise OSError(f"cannot read rows from {offset}")

        shards[1] = dict(count=40, load_shard=load_shard)
        expected = (OSError, "cannot read rows from 8")
    with pytest.raises(expected[0]) as info:
        index.add_shards(shards)
    assert str(info.value) == expected[1]
    assert info.value.__notes__ == ["while building shard 1 (rows 8 to 48)"]
    assert index.shards == [] and index.size == 0
