"""Helpers shared by the Python test modules.

Import them with ``from conftest import ...``; pytest puts this directory on
``sys.path`` because the tests are not a package.
"""

import contextlib
import math
import os
import pathlib
import struct
import subprocess
import sys

import pytest

import ombrix

# `make test-asan` points PYTHONPATH at the sanitizer build; make sure that is
# the extension under test and not an installed copy that happens to shadow it.
_EXPECTED_BUILD = os.environ.get("OMBRIX_EXPECT_BUILD")
if _EXPECTED_BUILD:
    _where = os.path.realpath(ombrix.__file__)
    if not _where.startswith(os.path.realpath(_EXPECTED_BUILD) + os.sep):
        raise pytest.UsageError(f"expected ombrix from {_EXPECTED_BUILD}, imported {_where}")


def pytest_report_header(config):
    return f"ombrix: {ombrix.__file__}"


@contextlib.contextmanager
def raises_exact(exc_type, message):
    """Like pytest.raises, but the type must match exactly (no subclasses)
    and str(exception) must equal `message`."""
    with pytest.raises(BaseException) as info:
        yield info
    assert type(info.value) is exc_type, f"{type(info.value).__name__}: {info.value}"
    assert str(info.value) == message


# -- bit-exact comparison -----------------------------------------------------


def float_bits(x):
    return struct.pack("<d", x)


def same(a, b):
    """Structural equality where floats must match bit for bit (any NaN
    matches any NaN) and containers must have the same type."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or float_bits(a) == float_bits(b)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def assert_same(actual, expected):
    assert same(actual, expected), f"\nactual:   {actual!r}\nexpected: {expected!r}"


# -- reference metrics: plain left-to-right Python float arithmetic ----------


def ieee_div(x, y):
    """x / y with IEEE semantics where Python would raise ZeroDivisionError."""
    if y == 0.0:
        if math.isnan(x) or x == 0.0:
            return math.nan
        return math.copysign(math.inf, x) * math.copysign(1.0, y)
    return x / y


def euclidean(a, b):
    s = 0.0
    for x, y in zip(a, b):
        s = s + (x - y) * (x - y)
    return math.sqrt(s)


def dot(a, b):
    s = 0.0
    for x, y in zip(a, b):
        s = s + x * y
    return s


def cosine(a, b):
    d = dot(a, b)
    na = 0.0
    for x in a:
        na = na + x * x
    nb = 0.0
    for y in b:
        nb = nb + y * y
    return ieee_div(d, math.sqrt(na) * math.sqrt(nb))


def flat_metric(name):
    """The reference function that PyFlat selects for a metric name."""
    return {"inner_product": dot, "cosine": cosine}.get(name, euclidean)


def rank_key(value, ident):
    """Ascending value, NaN after every number, -0.0 == 0.0, ties by id."""
    if math.isnan(value):
        return (1, 0.0, ident)
    return (0, value, ident)


def brute_force(vectors, query, k, metric):
    """The (id, value) list that an exact search must return."""
    scored = [(i, metric(query, [float(x) for x in v])) for i, v in enumerate(vectors)]
    scored.sort(key=lambda p: rank_key(p[1], p[0]))
    return scored[:k]


# -- user objects whose conversion runs Python code --------------------------


class FloatHook:
    """A number whose __float__ first runs `hook` (e.g. a re-entrant call)."""

    def __init__(self, value, hook):
        self.value = value
        self.hook = hook

    def __float__(self):
        self.hook()
        return self.value


class IndexHook:
    """An integer-like object whose __index__ first runs `hook`."""

    def __init__(self, value, hook):
        self.value = value
        self.hook = hook

    def __index__(self):
        self.hook()
        return self.value


# -- child processes with injected allocation failures -----------------------

TESTS = pathlib.Path(__file__).resolve().parent
ALLOC_FAIL_TARGET = "build/alloc_fail/liballoc_fail.so"


def alloc_fail_library():
    """The LD_PRELOAD library of tests/alloc_fail, built by `make` if the
    Makefile did not name it already."""
    path = os.environ.get("OMBRIX_ALLOC_FAIL")
    if path:
        return path
    root = TESTS.parent
    subprocess.run(["make", "-s", ALLOC_FAIL_TARGET], cwd=root, check=True)
    return str(root / ALLOC_FAIL_TARGET)


def child_env(preload=True):
    """The environment of a child interpreter that finds this ombrix and
    tests/alloc_fail/inject.py. Under AddressSanitizer the library goes ahead
    of the sanitizer, so that its allocator is the one that fails."""
    env = dict(os.environ)
    paths = [str(TESTS / "alloc_fail")]
    if env.get("PYTHONPATH"):
        paths.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(paths)
    if preload:
        env["LD_PRELOAD"] = ":".join(p for p in [alloc_fail_library(), env.get("LD_PRELOAD", "")] if p)
        if "ASAN_OPTIONS" in env:
            env["ASAN_OPTIONS"] += ":verify_asan_link_order=0"
        # Python's own small objects stay in its arenas, so that a failing
        # allocation is the extension's rather than the interpreter's.
        env.pop("PYTHONMALLOC", None)
    return env


def run_child(code, preload=True, timeout=120, env=None):
    """Runs `code` in a fresh interpreter (with `env` added to its
    environment); returns the CompletedProcess."""
    return subprocess.run(
        [sys.executable, "-c", code],
        env={**child_env(preload), **(env or {})},
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def assert_child_ok(result):
    assert result.returncode == 0, f"exit {result.returncode}\nstdout:\n{result.stdout}\nstderr:\n{result.stderr}"
