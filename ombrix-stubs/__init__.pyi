"""In-memory vector similarity search over float64 vectors.

`PyFlat` is exact (every stored vector is scored); `PyHNSW` is an
approximate graph index with typed metadata and filtered search.

Both rank by the metric's raw value, smallest first, for every metric: under
"inner_product", "cosine" and "angular" that value is a similarity, so the
least similar vectors come first. Search with the negated query to get the
most similar first; the negated value is then the similarity.
"""

from collections.abc import Buffer, Sequence
from typing import Literal, SupportsFloat, SupportsIndex, TypeAlias, final, overload

__all__ = ["PyFlat", "PyHNSW"]

# A coordinate: float, int, or anything with __float__ or __index__.
_Number: TypeAlias = SupportsFloat | SupportsIndex
# A vector: any sequence of numbers except str, or a buffer such as a 1-D
# numpy array. C-contiguous float64 buffers are read in one copy.
_Vector: TypeAlias = Sequence[_Number] | Buffer
# Many vectors: a sequence of vectors, or a 2-D buffer such as a numpy array.
_Vectors: TypeAlias = Sequence[_Vector] | Buffer
# A metadata value is stored as text, a signed 64-bit int or a float;
# anything else (None, bytes, containers) is refused with ValueError.
_Value: TypeAlias = str | SupportsIndex | SupportsFloat
_Pair: TypeAlias = tuple[str, _Value]
_HNSWMetric: TypeAlias = Literal["euclidean", "angular", "inner_product"]
# The names PyFlat knows. At run time any other string means Euclidean, so a
# misspelt or foreign name ("angular" is PyHNSW's) would rank silently by
# Euclidean distance: the checkers refuse it instead.
_FlatMetric: TypeAlias = Literal["euclidean", "inner_product", "cosine"]

@final
class PyFlat:
    """Exact k-nearest search: the query is scored against every stored vector.

    `metric` is "inner_product" (dot product), "cosine" (cosine similarity), or
    "euclidean" or None (the default) for Euclidean distance. Any other string
    also selects Euclidean distance at run time; type checkers report it.

    Errors:
    - TypeError: an argument of the wrong type ("argument 'query': ...").
    - ValueError: a vector or query whose length is not `dim`, a search of an
      empty index ("Search error: EmptyIndex"), `create([])`.
    - RuntimeError "Already borrowed" / "Already mutably borrowed": the index
      is in use by another call (another thread, or a callback of this one).
    - OverflowError: a negative `dim` or `k`.
    """

    def __new__(cls, dim: SupportsIndex, metric: _FlatMetric | None = None) -> PyFlat: ...
    def insert(self, vector: _Vector) -> None:
        """Append one vector; its id is the number of vectors stored before it.

        Raises ValueError "Expected vector of length {dim}, got {n}" and stores
        nothing when the length is not `dim`.
        """

    def search(self, query: _Vector, k: SupportsIndex | None = None) -> list[tuple[int, float]]:
        """Return up to `k` (default 1) pairs `(id, value)`, smallest value first.

        Ties go to the smaller id and NaN values come last, so the order is
        that of sorting all stored vectors by (value, id). Under
        "inner_product" and "cosine" the least similar come first: pass the
        negated query for most-similar-first, and negate the values back.

        Raises ValueError "Expected query of length {dim}, got {n}", then
        "Search error: EmptyIndex" when nothing is stored.
        """

    def create(self, vectors: _Vectors) -> None:
        """Append many vectors, taking the next ids in order.

        Every vector is converted before any is stored. An empty batch raises
        ValueError "Create error: EmptyVectors". A vector whose length is not
        `dim` raises the internal-failure exception (derived from
        BaseException, not Exception, and not a module attribute): the vectors
        before it stay stored. The vectors are stored in one step: signal
        handlers (Ctrl-C) run once the call has returned.
        """

@final
class PyHNSW:
    """Approximate k-nearest search over a layered proximity graph (HNSW).

    `metric` must be "euclidean", "angular" (cosine similarity) or
    "inner_product"; anything else, omitting it included, raises ValueError
    "Unsupported metric". `schema` names the metadata attributes that each
    vector may carry and that a search can filter on. Defaults: layers 5,
    m 16, ef_construction 200, ef_search 50. `schema` must not be a str.

    Errors:
    - TypeError: an argument of the wrong type ("argument 'vector': ...").
    - ValueError: a vector whose length is not `dim`, a metadata or filter
      problem (no schema, a missing attribute, an unsupported value), a core
      error ("Insert error: InvalidEF", "Search error: AttributeNotFound").
    - RuntimeError "Already borrowed" / "Already mutably borrowed": the index
      is in use by another call (another thread, or a callback of this one).
    - OverflowError: a negative or too large integer argument.
    - MemoryError: a `layers` value too large to allocate.
    """

    @overload
    def __new__(
        cls,
        dim: SupportsIndex,
        layers: SupportsIndex | None,
        m: SupportsIndex | None,
        ef_construction: SupportsIndex | None,
        ef_search: SupportsIndex | None,
        metric: _HNSWMetric,
        schema: Sequence[str] | None = None,
    ) -> PyHNSW: ...
    @overload
    def __new__(
        cls,
        dim: SupportsIndex,
        layers: SupportsIndex | None = None,
        m: SupportsIndex | None = None,
        ef_construction: SupportsIndex | None = None,
        ef_search: SupportsIndex | None = None,
        *,
        metric: _HNSWMetric,
        schema: Sequence[str] | None = None,
    ) -> PyHNSW: ...
    def insert(self, vector: _Vector, metadata: Sequence[_Pair] | None = None) -> None:
        """Store one vector, with one `(name, value)` pair per schema attribute.

        Values are str, int (signed 64-bit) or float, stored as given; names
        not in the schema are ignored. Raises ValueError for metadata on an
        index without schema, a missing or unsupported value, or a vector
        whose length is not `dim` (nothing is stored). "Insert error:
        InvalidEF" (ef_construction 0) keeps the vector, unlinked.
        """

    def search(
        self, query: _Vector, k: SupportsIndex | None = None, filter: _Pair | None = None
    ) -> list[tuple[float, list[float]]]:
        """Return up to `k` (default 1) pairs `(distance, vector)`, smallest first.

        The vector is a new list of the stored coordinates, not an id. At
        most `ef_search` results come back. Under "angular" and
        "inner_product" the least similar come first: pass the negated query
        for most-similar-first. `filter=(name, value)` keeps only vectors
        whose stored value equals `value` in type and value (3 does not match
        3.0); it can return fewer than `k` results.

        Raises ValueError "Search error: AttributeNotFound" for a filter name
        not in the schema, and "No schema provided in HNSW instance; cannot
        use metadata filtering" on an index without schema.
        """

    def create(self, vectors: _Vectors, metadata: Sequence[Sequence[_Pair]] | None = None) -> None:
        """Store many vectors in order, with one pair list per vector or none.

        Everything is converted and checked before anything is stored, so a
        refused batch stores nothing, except that a core error ("Create
        error: InvalidEF") and a pending signal (Ctrl-C, raising the
        handler's exception, e.g. KeyboardInterrupt) stop the batch between
        two vectors and keep those stored before.
        """
