"""Exact and graph search on Fashion-MNIST, with the class label as typed
metadata and filtered search.

The data set is not downloaded here. On Debian or Ubuntu:

    sudo apt-get install dataset-fashion-mnist      # files in /usr/share/datasets/fashion-mnist

or point --data at any directory holding the four original files
(train-images-idx3-ubyte.gz, train-labels-idx1-ubyte.gz, t10k-images-idx3-ubyte.gz,
t10k-labels-idx1-ubyte.gz) of the Fashion-MNIST project. Needs numpy.

    python examples/fashion_mnist.py [--data DIR] [--train 10000] [--queries 200] [--png neighbours.png]

It projects the 784 pixels onto their first principal components (the usual
first step for image vectors, and it keeps builds short), then:
1. PyFlat: exact 10 nearest neighbours of each test image, and how often the
   majority label among them is the right one;
2. PyHNSW: the same queries on the graph, recall@10 against the exact answer
   (results carry vectors, so they are mapped back to ids by their bytes);
3. filtered PyHNSW search: neighbours of the query's own class only, recall
   against exact search within that class;
4. a PNG: each row a query image followed by its graph neighbours.
"""

import argparse
import gzip
import pathlib
import struct
import sys
import time
import zlib

import numpy as np

import ombrix

DEBIAN_DIR = pathlib.Path("/usr/share/datasets/fashion-mnist")
CLASSES = ["T-shirt/top", "Trouser", "Pullover", "Dress", "Coat", "Sandal", "Shirt", "Sneaker", "Bag", "Ankle boot"]
K = 10


def read_idx(path):
    """An idx file (the format of MNIST-like data sets) as a numpy array."""
    with gzip.open(path, "rb") as f:
        zero, dtype, ndim = struct.unpack(">HBB", f.read(4))
        if zero != 0 or dtype != 0x08:
            raise ValueError(f"{path}: not an idx file of unsigned bytes")
        shape = struct.unpack(f">{ndim}I", f.read(4 * ndim))
        return np.frombuffer(f.read(), dtype=np.uint8).reshape(shape)


def load(directory):
    files = {
        name: directory / f"{name}-ubyte.gz"
        for name in ("train-images-idx3", "train-labels-idx1", "t10k-images-idx3", "t10k-labels-idx1")
    }
    missing = [str(p) for p in files.values() if not p.exists()]
    if missing:
        sys.exit(
            "Fashion-MNIST not found: "
            + ", ".join(missing)
            + "\nInstall Debian's dataset-fashion-mnist package or pass --data DIR."
        )
    return [read_idx(p) for p in files.values()]


def principal_components(train, n):
    """Centre and project onto the top n principal axes of `train`."""
    mean = train.mean(axis=0)
    _, _, axes = np.linalg.svd(train - mean, full_matrices=False)
    basis = axes[:n].T
    return lambda x: np.ascontiguousarray((x - mean) @ basis)


def write_png(path, pixels):
    """A grayscale 8-bit PNG, with nothing but zlib."""
    height, width = pixels.shape
    raw = b"".join(b"\x00" + pixels[row].tobytes() for row in range(height))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    path.write_bytes(
        b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
    )


def mosaic(rows, pad=2):
    """Rows of 28x28 images on a white background; the first column (the
    query) set off by a wider gap."""
    cols = max(len(r) for r in rows)
    height = len(rows) * (28 + pad) + pad
    width = cols * (28 + pad) + pad + 4
    canvas = np.full((height, width), 255, dtype=np.uint8)
    for i, images in enumerate(rows):
        for j, image in enumerate(images):
            y, x = pad + i * (28 + pad), pad + j * (28 + pad) + (4 if j else 0)
            canvas[y : y + 28, x : x + 28] = 255 - image  # dark garments on white
    return canvas


def recall(found, truth):
    return np.mean([len(set(f) & set(t)) / len(t) for f, t in zip(found, truth) if t])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", type=pathlib.Path, default=DEBIAN_DIR)
    parser.add_argument("--train", type=int, default=10_000, help="training images to index")
    parser.add_argument("--queries", type=int, default=200, help="test images to search for")
    parser.add_argument("--dims", type=int, default=48, help="principal components kept")
    parser.add_argument("--png", type=pathlib.Path, default=pathlib.Path("fashion_mnist_neighbours.png"))
    args = parser.parse_args()

    train_images, train_labels, test_images, test_labels = load(args.data)
    train_images, train_labels = train_images[: args.train], train_labels[: args.train]
    test_images, test_labels = test_images[: args.queries], test_labels[: args.queries]
    project = principal_components(train_images.reshape(len(train_images), -1) / 255.0, args.dims)
    data = project(train_images.reshape(len(train_images), -1) / 255.0)  # C-contiguous float64: one copy
    queries = project(test_images.reshape(len(test_images), -1) / 255.0)
    print(f"{len(data)} training images, {len(queries)} queries, {args.dims} principal components")

    # 1. Exact search.
    flat = ombrix.PyFlat(args.dims)  # Euclidean distance
    t0 = time.perf_counter()
    flat.create(data)
    build_flat = time.perf_counter() - t0
    t0 = time.perf_counter()
    exact = [[i for i, _ in flat.search(q, K)] for q in queries]
    search_flat = (time.perf_counter() - t0) / len(queries)
    votes = [np.bincount(train_labels[ids], minlength=10).argmax() for ids in exact]
    accuracy = np.mean(np.array(votes) == test_labels)
    print(
        f"PyFlat:  built in {build_flat:.2f} s, {search_flat * 1e3:.2f} ms per query; "
        f"10-NN label vote right for {accuracy:.1%} of queries"
    )

    # 2. Graph search, with each image's label as typed metadata.
    hnsw = ombrix.PyHNSW(args.dims, metric="euclidean", schema=["label", "name"])
    metadata = [[("label", int(label)), ("name", CLASSES[label])] for label in train_labels]
    t0 = time.perf_counter()
    hnsw.create(data, metadata)
    build_hnsw = time.perf_counter() - t0
    # Results carry vectors, not ids: map them back by their bytes.
    id_of = {row.tobytes(): i for i, row in enumerate(data)}

    def ids(results):
        return [id_of[np.asarray(vector).tobytes()] for _, vector in results]

    t0 = time.perf_counter()
    graph = [ids(hnsw.search(q, K)) for q in queries]
    search_hnsw = (time.perf_counter() - t0) / len(queries)
    print(
        f"PyHNSW:  built in {build_hnsw:.2f} s, {search_hnsw * 1e3:.2f} ms per query; "
        f"recall@{K} against exact search {recall(graph, exact):.3f}"
    )

    # 3. Filtered search: the query's own class only. The exact answer for
    # comparison comes from one PyFlat per class (its ids mapped to global ones).
    per_class = {}
    for label in range(10):
        members = np.flatnonzero(train_labels == label)
        if len(members):
            index = ombrix.PyFlat(args.dims)
            index.create(data[members])
            per_class[label] = (index, members)
    filtered, exact_in_class = [], []
    for q, label in zip(queries, test_labels):
        filtered.append(ids(hnsw.search(q, K, filter=("label", int(label)))))
        index, members = per_class[int(label)]
        exact_in_class.append([int(members[i]) for i, _ in index.search(q, K)])
    assert all(train_labels[i] == label for found, label in zip(filtered, test_labels) for i in found)
    print(
        f"filtered PyHNSW (own class): recall@{K} {recall(filtered, exact_in_class):.3f}, "
        f"{np.mean([len(f) for f in filtered]):.1f} results per query on average"
    )
    by_name = hnsw.search(queries[0], 3, filter=("name", "Sneaker"))
    print(f"three sneakers nearest to query 0 (a {CLASSES[test_labels[0]]}):", ids(by_name))

    # 4. A picture: query, then its graph neighbours.
    rows = [[test_images[i]] + [train_images[j] for j in graph[i][:8]] for i in range(min(8, len(queries)))]
    write_png(args.png, mosaic(rows).repeat(2, axis=0).repeat(2, axis=1))
    print(f"wrote {args.png}: each row a query, then its {min(8, K)} nearest training images")


if __name__ == "__main__":
    main()
