"""Drives the allocation-failure library preloaded into this process.

Between arm() and disarm() as little Python runs as possible, so that the
allocations counted are those of the call under test.
"""

import ctypes

_lib = ctypes.CDLL(None)
_arm = _lib.alloc_fail_arm
_arm.argtypes = [ctypes.c_long, ctypes.c_int, ctypes.c_ulong, ctypes.c_ulong]
_arm.restype = None
disarm = _lib.alloc_fail_disarm
disarm.argtypes = []
disarm.restype = ctypes.c_long
failed = _lib.alloc_fail_failed
failed.argtypes = []
failed.restype = ctypes.c_long
_sizes = _lib.alloc_fail_sizes
_sizes.argtypes = [ctypes.POINTER(ctypes.c_ulong), ctypes.c_long]
_sizes.restype = ctypes.c_long


def arm(nth=0, persistent=False, size=0, counted_from=0):
    """Counts allocations of at least `counted_from` bytes from now on: the
    `nth` fails (every later one too when `persistent`); so does every
    allocation of exactly `size` bytes. Zero disables either rule."""
    _arm(nth, int(persistent), size, counted_from)


def outcome(call, *args):
    """The call's result, or the type of the exception it raised."""
    try:
        return call(*args)
    except BaseException as error:  # noqa: B036 - the internal-failure class is a BaseException
        return type(error)


def sizes(limit=4096):
    """The sizes of the allocations counted since the last arm(), in order
    (the first `limit` of them)."""
    out = (ctypes.c_ulong * limit)()
    return list(out[: _sizes(out, limit)])
