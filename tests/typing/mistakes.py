"""Typical mistakes: mypy --strict and pyright must report exactly the lines
marked `# E`."""

import numpy as np

import ombrix

data = np.zeros((10, 4))
flat = ombrix.PyFlat(4)
hnsw = ombrix.PyHNSW(4, metric="euclidean", schema=["color"])

flat.search("1.0, 2.0, 3.0, 4.0")  # E: a str query
flat.serach([1.0, 2.0, 3.0, 4.0])  # E: a misspelt method
ombrix.PyFlat("4")  # E: a str dim
ombrix.PyHNSW(4, metric="cosine")  # E: a metric literal of the other index
ombrix.PyFlat(4, metric="cosin")  # E: a misspelt metric, which would rank by Euclidean distance
ombrix.PyFlat(4, "angular")  # E: the other index's name for cosine
ombrix.PyHNSW(4)  # E: no metric
hnsw.search([0.0] * 4, k=2.5)  # E: a float k
hnsw.insert(data[0], {"color": "red"})  # E: metadata as a dict
hnsw.insert(data[0], [("color", None)])  # E: an unsupported metadata value
hnsw.search(data[0], filter=["color", "red"])  # E: a filter list instead of a tuple
hnsw.create(data, [("color", "red")] * 10)  # E: pairs instead of one pair list per vector
vector_id: int = hnsw.search(data[0])[0][1]  # E: results carry vectors, not ids
distance: str = flat.search(data[0])[0][1]  # E: values are floats


class Mine(ombrix.PyFlat):  # E: the classes are final
    pass
