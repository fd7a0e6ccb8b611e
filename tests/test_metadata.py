"""Metadata: conversion of Python values and pair lists into rows, and the
equality that filters apply to stored values."""

import collections
import math

import pytest

import ombrix
from conftest import raises_exact

Pair = collections.namedtuple("Pair", "name value")


class TuplePair(tuple):
    pass


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatOnly:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class BrokenIndex:
    """__index__ raises; __float__ still gives a value."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    def __float__(self):
        return 1.5


def index_with(schema, rows):
    """Node i at [i] with metadata rows[i] (None: no metadata). One layer and
    wide lists, so node 0 links to every later node and a filtered walk
    reaches every node that matches."""
    index = ombrix.PyHNSW(1, layers=1, ef_construction=256, ef_search=256, metric="euclidean", schema=schema)
    for i, row in enumerate(rows):
        index.insert([float(i)], row)
    return index


def matches(index, name, value):
    """Ids of the nodes that a filtered search returns, ascending."""
    return sorted(int(v[0]) for _, v in index.search([0.0], k=1000, filter=(name, value)))


def stored_matches(stored, wanted):
    """Whether a node that stored `stored` passes a filter for `wanted`. A
    node 0 storing "anchor" seeds the walk and never matches."""
    index = index_with(["v"], [[("v", "anchor")], [("v", stored)]])
    return matches(index, "v", wanted) == [1]


EQUALITY = [
    # (stored value, filter value, equal?)
    (True, 1, True),
    (False, 0, True),
    (10, 10.0, False),
    (10.0, 10, False),
    (1, "1", False),
    ("42", "42", True),
    ("42", 42, False),
    (-(2**63), -(2**63), True),
    (2**63 - 1, 2**63 - 1, True),
    (2**63, 9.223372036854776e18, True),
    (2**63, 2**63 - 1, False),  # Float against Int
    (2**70, 1.1805916207174113e21, True),
    (0.0, -0.0, True),
    (math.nan, math.nan, False),
    ("blue", "Blue", False),
    ("é", "é", True),
    ("e\u0301", "é", False),  # no Unicode normalisation
    ("a\0b", "a\0b", True),
    ("a\0b", "a", False),
    (IndexOnly(5), 5, True),
    (IndexOnly(5), 5.0, False),
    (FloatOnly(2.5), 2.5, True),
    (BrokenIndex(ValueError("no")), 1.5, True),
    (BrokenIndex(OverflowError("no")), 1.5, True),
    (BrokenIndex(TypeError("no")), 1.5, True),
    (type("IntSub", (int,), {})(3), 3, True),
    (type("StrSub", (str,), {})("x"), "x", True),
]


@pytest.mark.timeout(10)
@pytest.mark.parametrize("stored, wanted, equal", EQUALITY)
def test_filter_equality(stored, wanted, equal):
    assert stored_matches(stored, wanted) is equal


UNSUPPORTED = [None, b"x", [1], {}, (1,), 10**400, -(10**400), "\ud800", object(), 1j]


@pytest.mark.parametrize("value", UNSUPPORTED, ids=repr)
def test_unsupported_stored_value(value):
    index = index_with(["a", "v"], [[("a", 1), ("v", 1)]])
    with raises_exact(ValueError, "Unsupported metadata type for attribute 'v'"):
        index.insert([1.0], [("v", value), ("a", 1)])
    assert matches(index, "a", 1) == [0]


@pytest.mark.parametrize("value", UNSUPPORTED, ids=repr)
def test_unsupported_filter_value(value):
    index = index_with(["v"], [[("v", 1)]])
    with raises_exact(ValueError, "Unsupported type for metadata filter"):
        index.search([0.0], filter=("v", value))


def test_rows_follow_schema_order():
    pairs = [("color", "blue"), ("size", 42)]
    for schema in (["color", "size"], ["size", "color"]):
        index = index_with(schema, [[("color", "red"), ("size", 1)], pairs])
        assert matches(index, "color", "blue") == [1]
        assert matches(index, "size", 42) == [1]
        assert matches(index, "size", 1) == [0]


def test_last_pair_of_a_name_wins_and_extra_names_are_ignored():
    index = index_with(["a"], [[("a", 0)], [("a", 1), ("b", 9), ("a", 2)]])
    assert matches(index, "a", 2) == [1]
    assert matches(index, "a", 1) == []
    with raises_exact(ValueError, "Search error: AttributeNotFound"):
        matches(index, "b", 9)


def test_duplicate_schema_names_share_the_value():
    index = index_with(["a", "a", "b"], [[("b", 0), ("a", 0)], [("a", 7), ("b", 8)]])
    assert matches(index, "a", 7) == [1]
    assert matches(index, "b", 8) == [1]


def test_empty_schema_accepts_any_pairs():
    index = index_with([], [[], [("x", None), ("y", object())]])
    with raises_exact(ValueError, "Search error: EmptySchema"):
        matches(index, "x", 1)
    with raises_exact(ValueError, "expected tuple of length 2, but got tuple of length 1"):
        index.insert([2.0], [("x",)])


@pytest.mark.parametrize(
    "pairs, message",
    [
        ([], "Missing metadata for attribute 'color'"),
        ([("size", 1)], "Missing metadata for attribute 'color'"),
        ([("color", "red")], "Missing metadata for attribute 'size'"),
        ([("Color", "red"), ("size", 1)], "Missing metadata for attribute 'color'"),
        ([("size", None)], "Missing metadata for attribute 'color'"),
        ([("size", None), ("color", "red")], "Unsupported metadata type for attribute 'size'"),
    ],
)
def test_row_errors_name_the_first_schema_attribute(pairs, message):
    index = index_with(["color", "size"], [])
    with raises_exact(ValueError, message):
        index.insert([0.0], pairs)


@pytest.mark.parametrize(
    "metadata",
    [
        [Pair("v", 3)],
        (("v", 3),),
        [TuplePair(("v", 3))],
        [(type("Name", (str,), {})("v"), 3)],
    ],
)
def test_accepted_pair_list_forms(metadata):
    index = index_with(["v"], [[("v", 0)]])
    index.insert([1.0], metadata)
    index.create([[2.0]], [metadata])
    assert matches(index, "v", 3) == [1, 2]


def test_pair_name_without_utf8():
    with pytest.raises(UnicodeEncodeError):
        index_with(["v"], []).insert([1.0], [("\ud800", 1)])


@pytest.mark.timeout(10)
def test_schema_from_any_sequence():
    class Names:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            if i >= 2:
                raise IndexError(i)
            return ["b", "a"][i]

    index = ombrix.PyHNSW(1, layers=1, metric="euclidean", schema=Names())
    index.insert([0.0], [("a", 0), ("b", 0)])
    index.insert([1.0], [("a", 1), ("b", 2)])
    assert matches(index, "b", 2) == [1]


def test_node_without_metadata_never_matches():
    rows = [[("c", "red")], None, [("c", "blue")], None, [("c", "green")]]
    index = index_with(["c"], rows)
    # Rows are found per node, not by position in the stored values.
    assert matches(index, "c", "red") == [0]
    assert matches(index, "c", "blue") == [2]
    assert matches(index, "c", "green") == [4]
    # Node 0 without a row is left out of filtered results as well.
    index = index_with(["c"], [None, [("c", "red")]])
    assert matches(index, "c", "red") == [1]
    assert index.search([0.0], k=5, filter=("c", "red")) == [(1.0, [1.0])]


@pytest.mark.timeout(10)
def test_pairs_survive_their_list_being_emptied():
    # A value's __index__ empties the list that held the pairs; the pairs
    # already taken must stay alive.
    metadata = []

    class Clearing:
        def __index__(self):
            metadata.clear()
            return 4

    metadata.extend([("v" + "", Clearing()), ("w" + "", "x" * 3)])
    index = index_with(["v", "w"], [])
    index.insert([0.0], metadata)
    assert metadata == []
    assert matches(index, "w", "xxx") == [0]
    assert matches(index, "v", 4) == [0]
