"""The module object and the shape of its two classes."""

import gc
import importlib
import inspect
import pickle
import sys
import weakref

import pytest

import ombrix

CLASSES = [ombrix.PyFlat, ombrix.PyHNSW]

# Type flag bits from CPython's object.h.
IMMUTABLETYPE = 1 << 8
HEAPTYPE = 1 << 9
BASETYPE = 1 << 10
HAVE_GC = 1 << 14


def test_module_attributes():
    assert ombrix.__name__ == "ombrix"
    assert ombrix.__doc__ == ""
    assert ombrix.__all__ == ["PyFlat", "PyHNSW"]
    assert type(ombrix.__all__) is list
    public = sorted(name for name in vars(ombrix) if not name.startswith("_"))
    assert public == ["PyFlat", "PyHNSW"]


def test_reimport_gives_the_same_module():
    first = sys.modules["ombrix"]
    classes = (first.PyFlat, first.PyHNSW)
    del sys.modules["ombrix"]
    try:
        again = importlib.import_module("ombrix")
    finally:
        sys.modules["ombrix"] = first
    assert again is first
    assert (again.PyFlat, again.PyHNSW) == classes
    assert again.__all__ == ["PyFlat", "PyHNSW"]
    assert ombrix.PyFlat(2) is not None


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_identity(cls):
    name = cls.__name__
    assert name in ("PyFlat", "PyHNSW")
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert repr(cls) == f"<class '{name}'>"
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_type_flags(cls):
    flags = cls.__flags__
    assert flags & HEAPTYPE
    assert not flags & BASETYPE
    assert not flags & IMMUTABLETYPE
    assert not flags & HAVE_GC
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_not_subclassable(cls):
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_attributes_can_be_set_on_the_class(cls):
    cls.added_by_test = 42
    try:
        assert cls.added_by_test == 42
    finally:
        del cls.added_by_test
    assert not hasattr(cls, "added_by_test")


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_own_namespace_holds_only_the_methods(cls):
    # No properties, attributes, __repr__, __len__, comparison, hashing or
    # pickling of their own: everything else is inherited from object.
    own = {name for name in vars(cls) if not (name.startswith("__") and name.endswith("__"))}
    assert own == {"insert", "search", "create"}
    for dunder in ("__repr__", "__hash__", "__eq__", "__lt__", "__reduce_ex__", "__getstate__"):
        assert getattr(cls, dunder) is getattr(object, dunder), dunder
    assert not hasattr(cls, "__len__")


def test_instance_restrictions():
    index = ombrix.PyFlat(2)
    with pytest.raises(AttributeError):
        index.anything = 1
    with pytest.raises(AttributeError):
        index.insert = None
    with pytest.raises(TypeError):
        weakref.ref(index)
    with pytest.raises(TypeError):
        pickle.dumps(index)
    assert not gc.is_tracked(index)


def test_class_docstrings():
    assert ombrix.PyFlat.__doc__ == "Our Python-facing Flat index."
    assert ombrix.PyFlat.__text_signature__ == "(dim, metric=None)"
    assert ombrix.PyHNSW.__doc__ == ""
    assert ombrix.PyHNSW.__text_signature__ == (
        "(dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, schema=None)"
    )
    assert str(inspect.signature(ombrix.PyFlat)) == "(dim, metric=None)"


METHOD_DOCS = [
    (
        ombrix.PyFlat,
        "insert",
        "($self, vector)",
        "Insert a vector into the index.\n\n"
        "The vector is expected as a list of floats whose length equals the index dimension.",
    ),
    (
        ombrix.PyFlat,
        "search",
        "($self, query, k=None)",
        "Search for the k nearest neighbors.\n\nReturns a list of tuples `(id, distance)`.",
    ),
    (ombrix.PyFlat, "create", "($self, vectors)", "Create an index from a list of vectors."),
    (
        ombrix.PyHNSW,
        "insert",
        "($self, vector, metadata=None)",
        "Insert a vector into the index.\n\n"
        "The vector is expected as a list of floats.\n"
        "Optionally, metadata can be provided as a list of tuples, e.g.:\n"
        '`[("color", "blue"), ("size", 42)]`',
    ),
    (
        ombrix.PyHNSW,
        "search",
        "($self, query, k=None, filter=None)",
        "Search for the k nearest neighbors.\n\nReturns a list of tuples `(distance, vector)`.",
    ),
    # An empty body: the interpreter reports no docstring at all.
    (ombrix.PyHNSW, "create", "($self, vectors, metadata=None)", None),
]


@pytest.mark.parametrize(
    ("cls", "name", "signature", "doc"), METHOD_DOCS, ids=[f"{c.__name__}.{n}" for c, n, _, _ in METHOD_DOCS]
)
def test_method_docstrings(cls, name, signature, doc):
    method = vars(cls)[name]
    assert method.__name__ == name
    assert method.__qualname__ == f"{cls.__name__}.{name}"
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_bound_method_signature():
    index = ombrix.PyFlat(2)
    assert str(inspect.signature(index.search)) == "(query, k=None)"
    assert str(inspect.signature(ombrix.PyFlat.insert)) == "(self, /, vector)"
