"""A tour of ombrix: exact search with PyFlat, approximate and filtered search with PyHNSW.

Run it with `make demo` (which sets up .venv and builds the extension first) or,
inside the project's virtual environment, `python examples/quickstart.py`.
Only the standard library is used to generate data, so numpy is not needed.
"""

import math
import random
import time

import ombrix

SEED = 7
DIM = 16
N_FLAT = 3000
N_HNSW = 1500
COLORS = ["red", "green", "blue"]


def gaussian_vectors(rng, n, dim):
    return [[rng.gauss(0.0, 1.0) for _ in range(dim)] for _ in range(n)]


def dot(a, b):
    return sum(x * y for x, y in zip(a, b))


def norm(a):
    return math.sqrt(dot(a, a))


def cos(a, b):
    return dot(a, b) / (norm(a) * norm(b))


def fmt_vec(v, n=3):
    head = ", ".join(f"{x:+.3f}" for x in v[:n])
    return f"[{head}, ...]" if len(v) > n else f"[{head}]"


def heading(text):
    print()
    print(text)
    print("=" * len(text))


def flat_demo(rng):
    heading(f"PyFlat: exact search over {N_FLAT} random vectors of dimension {DIM}")
    data = gaussian_vectors(rng, N_FLAT, DIM)
    query = [rng.gauss(0.0, 1.0) for _ in range(DIM)]
    neg_query = [-x for x in query]

    for metric in ("euclidean", "inner_product", "cosine"):
        index = ombrix.PyFlat(DIM, metric=metric)
        t0 = time.perf_counter()
        index.create(data[:-1])  # many at once ...
        index.insert(data[-1])  # ... or one by one
        build = time.perf_counter() - t0

        t0 = time.perf_counter()
        raw = index.search(query, k=3)  # [(id, value), ...], smallest value first
        took = (time.perf_counter() - t0) * 1e3
        print(f"\nmetric={metric!r}  (built in {build * 1e3:.1f} ms, search {took:.2f} ms)")
        print("  search(q, k=3), smallest raw value first:")
        for vid, value in raw:
            print(f"    id={vid:5d}  value={value:+.4f}")

        if metric != "euclidean":
            # The raw value is a similarity here, so the least similar vectors come
            # first. Searching with -q ranks by -(q.x) (or -cos(q, x)): the most
            # similar vectors to q come first, and negating the value gives the score.
            similar = index.search(neg_query, k=3)
            print("  search(-q, k=3), most similar to q first:")
            for vid, value in similar:
                check = dot(query, data[vid]) if metric == "inner_product" else cos(query, data[vid])
                print(f"    id={vid:5d}  similarity={-value:+.4f}  (recomputed: {check:+.4f})")

    # Errors are ordinary Python exceptions with a fixed message.
    try:
        ombrix.PyFlat(DIM).search(query)
    except ValueError as exc:
        print(f"\nsearching an empty index -> ValueError: {exc}")
    try:
        ombrix.PyFlat(DIM).insert([1.0, 2.0])
    except ValueError as exc:
        print(f"inserting a short vector -> ValueError: {exc}")


def hnsw_demo(rng):
    heading(f"PyHNSW: approximate search over {N_HNSW} vectors with metadata")
    index = ombrix.PyHNSW(DIM, metric="euclidean", schema=["color", "size"])

    data = gaussian_vectors(rng, N_HNSW, DIM)
    meta = [[("color", rng.choice(COLORS)), ("size", rng.randrange(1, 6))] for _ in range(N_HNSW)]

    t0 = time.perf_counter()
    index.create(data[:-10], meta[:-10])  # a batch with one metadata row each
    for vec, row in zip(data[-10:], meta[-10:]):  # single inserts
        index.insert(vec, row)
    print(f"built in {time.perf_counter() - t0:.2f} s (layers=5, ef_construction=200, ef_search=50 by default)")

    # Results hold copies of the stored vectors; map them back to their metadata.
    row_of = {tuple(v): dict(r) for v, r in zip(data, meta)}
    query = [rng.gauss(0.0, 1.0) for _ in range(DIM)]

    def show(title, results):
        print(f"\n{title}: {len(results)} result(s)")
        for distance, vector in results:
            r = row_of[tuple(vector)]
            print(f"    distance={distance:.4f}  color={r['color']:<5}  size={r['size']}  {fmt_vec(vector)}")

    show("search(q, k=5)", index.search(query, k=5))

    blue = index.search(query, k=5, filter=("color", "blue"))
    show("search(q, k=5, filter=('color', 'blue'))", blue)
    print("    every result is blue:", all(row_of[tuple(v)]["color"] == "blue" for _, v in blue))

    size3 = index.search(query, k=5, filter=("size", 3))
    show("search(q, k=5, filter=('size', 3))", size3)
    # Int and Float are different metadata values: 3 matches, 3.0 does not.
    print(
        "    filter=('size', 3.0) finds",
        len(index.search(query, k=5, filter=("size", 3.0))),
        "results: stored ints never equal a float",
    )

    # A tiny exact example: filtered results contain only matching vectors, even
    # though the walk always starts at the first vector stored.
    heading("Filtered results contain only matching vectors")
    tiny = ombrix.PyHNSW(2, layers=1, metric="euclidean", schema=["color"])
    tiny.insert([0.0, 0.0], [("color", "red")])
    tiny.insert([3.0, 4.0], [("color", "blue")])
    print("unfiltered     :", tiny.search([0.0, 0.0], k=2))
    print("color == blue  :", tiny.search([0.0, 0.0], k=2, filter=("color", "blue")))
    print("color == green :", tiny.search([0.0, 0.0], k=2, filter=("color", "green")))
    print(
        "(every search starts at the first vector stored, [0, 0], which is red: a filtered\n"
        " result leaves it out unless it matches)"
    )

    # Under "angular" (and "inner_product") the raw value ranks too: smallest
    # cosine first. Negate the query to get the most similar vectors first.
    heading("PyHNSW with metric='angular'")
    ang = ombrix.PyHNSW(DIM, metric="angular")
    ang.create(data[:500])
    q = data[0]
    print("search(q, k=3): least similar first, cosines", [round(d, 4) for d, _ in ang.search(q, k=3)])
    print(
        "search(-q, k=3): most similar first, cosines",
        [round(-d, 4) for d, _ in ang.search([-x for x in q], k=3)],
        "(q itself is stored, so expect 1.0 first)",
    )


def main():
    rng = random.Random(SEED)
    flat_demo(rng)
    hnsw_demo(rng)


if __name__ == "__main__":
    main()
