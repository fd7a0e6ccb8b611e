"""examples/fashion_mnist.py end to end on a tiny data set in the same file
format, written here: its loader, both indexes, filtered search and the PNG."""

import gzip
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import numpy as np

EXAMPLE = Path(__file__).parent.parent / "examples" / "fashion_mnist.py"


def write_idx(path, array):
    with gzip.open(path, "wb") as f:
        f.write(struct.pack(">HBB", 0, 0x08, array.ndim) + struct.pack(f">{array.ndim}I", *array.shape))
        f.write(array.astype(np.uint8).tobytes())


def test_runs_on_a_small_data_set(tmp_path):
    rng = np.random.default_rng(5)
    for prefix, n in (("train", 300), ("t10k", 12)):
        labels = rng.integers(0, 10, n)
        # Images that depend on their label, so neighbours share it.
        images = (labels[:, None, None] * 20 + rng.integers(0, 40, (n, 28, 28))).clip(0, 255)
        write_idx(tmp_path / f"{prefix}-images-idx3-ubyte.gz", images)
        write_idx(tmp_path / f"{prefix}-labels-idx1-ubyte.gz", labels)
    png = tmp_path / "out.png"
    done = subprocess.run(
        [
            sys.executable,
            str(EXAMPLE),
            "--data",
            str(tmp_path),
            "--train",
            "300",
            "--queries",
            "12",
            "--dims",
            "8",
            "--png",
            str(png),
        ],
        capture_output=True,
        text=True,
        timeout=240,
    )
    assert done.returncode == 0, done.stderr
    assert "recall@10 against exact search" in done.stdout
    data = png.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = struct.unpack(">II", data[16:24])
    # 8 query rows of 9 images, 28 px each with padding, drawn at twice the size.
    assert (width, height) == (2 * (9 * 30 + 6), 2 * (8 * 30 + 2))
    idat = data.index(b"IDAT")
    (length,) = struct.unpack(">I", data[idat - 4 : idat])
    assert len(zlib.decompress(data[idat + 4 : idat + 4 + length])) == height * (width + 1)


def test_missing_data_says_how_to_get_it(tmp_path):
    done = subprocess.run(
        [sys.executable, str(EXAMPLE), "--data", str(tmp_path)], capture_output=True, text=True, timeout=60
    )
    assert done.returncode != 0
    assert "dataset-fashion-mnist" in done.stderr
