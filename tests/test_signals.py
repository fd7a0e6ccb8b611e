"""A pending signal stops a long `PyHNSW.create` between two vectors: the
handler's exception is raised, the vectors stored before it stay, and the
index is free for the next call. Each index kind is one entry of KINDS. A
`PyFlat.create`, a copy at memory speed, is one step: its handlers run as it
returns."""

import os
import random
import signal
import subprocess
from collections.abc import Callable
from dataclasses import dataclass

import pytest

import ombrix

DIM = 8


class Interrupted(Exception):
    pass


def hnsw_stored(index, given):
    # layers=1 and ef_search >= the count: the search reaches every node of
    # the (connected) graph, so it lists exactly what is stored.
    return [vector for _, vector in index.search([0.0] * DIM, k=len(given))]


@dataclass
class Kind:
    name: str
    make: Callable[[int], object]  # an empty index able to hold n vectors
    # The stored vectors (any order), given every vector offered to the index
    # so far in order (an index whose results are ids maps them through it).
    stored: Callable[[object, list], list]
    long_n: int  # a create of this many takes seconds
    short_n: int  # ... and of this many a fraction of a second


KINDS = [
    Kind("PyHNSW", lambda n: ombrix.PyHNSW(DIM, layers=1, ef_search=n, metric="euclidean"), hnsw_stored, 40_000, 2_000),
]


def vectors(n, seed=0):
    rng = random.Random(seed)
    return [[rng.random() for _ in range(DIM)] for _ in range(n)]


class Sender:
    """Delivers a signal every 20 ms while active. The call under test holds
    the interpreter lock throughout, so the sender must not need it: another
    process (as a terminal's Ctrl-C is), or an interval timer on the process's
    CPU time."""

    def __init__(self, how, signum=None):
        self.how = how
        self.signum = signum or (signal.SIGUSR1 if how == "process" else signal.SIGVTALRM)
        self.child = None

    def __enter__(self):
        if self.how == "process":
            loop = f"while kill -{self.signum.name[3:]} {os.getpid()}; do sleep 0.02; done"
            self.child = subprocess.Popen(["sh", "-c", f"sleep 0.02; {loop}"])
        else:
            signal.setitimer(signal.ITIMER_VIRTUAL, 0.02, 0.02)
        return self

    def __exit__(self, *exc):
        if self.how == "process":
            self.child.terminate()
            self.child.wait()
        else:
            signal.setitimer(signal.ITIMER_VIRTUAL, 0)
        return False


class OneShot:
    """A signal handler that runs `action` for the first signal after `arm()`
    and ignores every other: the sender goes on firing while the test checks
    the index, and before the call under test starts."""

    def __init__(self, action):
        self.action = action
        self.armed = False

    def arm(self):
        self.armed = True

    def __call__(self, signum, frame):
        if self.armed:
            self.armed = False
            self.action(signum, frame)


@pytest.fixture(params=["process", "itimer"])
def sender(request):
    s = Sender(request.param)
    previous = signal.getsignal(s.signum)
    yield s
    signal.signal(s.signum, previous)


@pytest.fixture(params=KINDS, ids=lambda kind: kind.name)
def kind(request):
    return request.param


def assert_prefix(kind, index, data, count):
    stored = sorted(map(tuple, kind.stored(index, data)))
    assert stored == sorted(map(tuple, data[:count]))


def test_handler_exception_stops_create(kind, sender):
    data = vectors(kind.long_n)
    index = kind.make(kind.long_n + 1)

    def interrupted(signum, frame):
        raise Interrupted

    handler = OneShot(interrupted)
    signal.signal(sender.signum, handler)

    with sender, pytest.raises(Interrupted):
        handler.arm()
        index.create(data)

    count = len(kind.stored(index, data))
    assert 0 < count < len(data)
    assert_prefix(kind, index, data, count)
    # Free again: the borrow was released on the way out.
    index.insert([0.5] * DIM)
    assert_prefix(kind, index, data[:count] + [[0.5] * DIM], count + 1)


def test_keyboard_interrupt_stops_create(kind):
    data = vectors(kind.long_n, seed=1)
    index = kind.make(kind.long_n)
    # Ctrl-C's exception, raised once: a SIGINT the sender fires before it
    # stops must not escape the test and interrupt the whole run.
    handler = OneShot(signal.default_int_handler)
    previous = signal.signal(signal.SIGINT, handler)
    try:
        with Sender("process", signal.SIGINT), pytest.raises(KeyboardInterrupt):
            handler.arm()
            index.create(data)
    finally:
        signal.signal(signal.SIGINT, previous)
    count = len(kind.stored(index, data))
    assert 0 < count < len(data)
    assert_prefix(kind, index, data, count)


def test_quiet_handler_lets_create_finish(kind, sender):
    # Handlers run inside the call; one that returns lets it go on. A handler
    # that calls back into the index is refused by the borrow, not let in.
    data = vectors(kind.short_n, seed=2)
    index = kind.make(len(data) * 2)
    outcomes = []

    def handler(signum, frame):
        try:
            index.insert([0.0] * DIM)
            outcomes.append("stored")
        except RuntimeError as error:
            outcomes.append(str(error))

    signal.signal(sender.signum, handler)

    with sender:
        index.create(data)
    signal.signal(sender.signum, signal.SIG_IGN)
    assert "Already borrowed" in outcomes
    assert set(outcomes) <= {"Already borrowed", "stored"}
    extra = outcomes.count("stored")
    assert_prefix(kind, index, data + [[0.0] * DIM] * extra, len(data) + extra)


# A flat create stores at memory speed and runs no Python code once it has
# read its input, so a handler that writes to the array being stored (or
# another thread that a handler lets run) cannot make it store rows of two
# states of that array: the handler runs as the call returns.
def test_flat_create_stores_one_state_of_its_array():
    np = pytest.importorskip("numpy")
    original = np.random.default_rng(3).standard_normal((1 << 19, 32))
    data = original.copy()
    fired = []

    def overwrite(signum, frame):
        if not fired:
            fired.append(True)
            data[:] = 7.0

    previous = signal.signal(signal.SIGVTALRM, overwrite)
    try:
        for _ in range(20):
            index = ombrix.PyFlat(32)
            signal.setitimer(signal.ITIMER_VIRTUAL, 0.002, 0.002)
            try:
                index.create(data)
            finally:
                signal.setitimer(signal.ITIMER_VIRTUAL, 0)
            if fired:
                break
        else:
            pytest.skip("the timer never fired")
    finally:
        signal.signal(signal.SIGVTALRM, previous)
    assert len(index.search(original[0], k=len(original))) == len(original)
    for i in np.linspace(0, len(original) - 1, 33).astype(int):
        assert index.search(original[i], k=1) == [(i, 0.0)]
