"""Python threads call sum_as_string and the test module's entries, with every
kind of outcome, while native threads without the GIL give up references
through release_ref. Each object is freed exactly once, by a thread inside an
open pool, and never before one opens after its last release.

Every extension links its own copy of the frame, so only the test module's
entries drain the queue its native threads fill: the calls include them."""

import gc
import sys
import threading
import time
import weakref

import pytest

import _krenn_testing as t
from krenn_python import sum_as_string

U64 = 2**64
S = "sum_as_string()"


def _panic_type():
    try:
        t.panic_with_constant()
    except BaseException as e:  # PanicException is not exported
        return type(e)


PanicException = _panic_type()


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Boom(Exception):
    pass


class Raising:
    def __index__(self):
        raise Boom("boom")


CASES = [
    (lambda: sum_as_string(1, 2), "3"),
    (lambda: sum_as_string(a=U64 - 1, b=1), "0"),
    (lambda: sum_as_string(2**40, b=Index(5)), str(2**40 + 5)),
    (lambda: t.vectorcall(sum_as_string, (), ("b", "a"), (2, 1)), "3"),
    (
        lambda: sum_as_string(1, 2, 3),
        TypeError(f"{S} takes 2 positional arguments but 3 were given"),
    ),
    (lambda: sum_as_string(1), TypeError(f"{S} missing 1 required positional argument: 'b'")),
    (lambda: sum_as_string(1, a=1), TypeError(f"{S} got multiple values for argument 'a'")),
    (lambda: sum_as_string(1, 2, c=3), TypeError(f"{S} got an unexpected keyword argument 'c'")),
    (
        lambda: t.vectorcall(sum_as_string, (), (1, "b"), (1, 2)),
        TypeError("'int' object cannot be converted to 'PyString'"),
    ),
    (
        lambda: t.vectorcall(sum_as_string, (), ("a\ud800", "b"), (1, 2)),
        TypeError(f"{S} got an unexpected keyword argument 'a\ufffd\ufffd\ufffd'"),
    ),
    (
        lambda: sum_as_string(1.5, 2),
        TypeError("argument 'a': 'float' object cannot be interpreted as an integer"),
    ),
    (lambda: sum_as_string(-1, 2), OverflowError("can't convert negative int to unsigned")),
    (lambda: sum_as_string(0, U64), OverflowError("int too big to convert")),
    (lambda: sum_as_string(Raising(), 1), Boom("boom")),
    (t.noop, None),
    (lambda: t.f_xyz(1, 2, z=3), (1, 2, 3)),
    (lambda: t.f_xyz(1, x=2), TypeError("f() got multiple values for argument 'x'")),
    (lambda: t.f_kwonly(), TypeError("f() missing 1 required keyword argument: 'k'")),
    (t.panic_with_constant, PanicException("a constant panic message")),
]


def outcome(call):
    try:
        return call()
    except BaseException as e:  # the outcome is what is compared
        return e


def same(got, expected):
    if isinstance(expected, BaseException):
        return type(got) is type(expected) and str(got) == str(expected)
    return got == expected


def call_until(stop, calls, failures, slot):
    n = 0
    while not stop.is_set():
        for call, expected in CASES:
            got = outcome(call)
            if not same(got, expected):
                failures.append((expected, got))
            n += 1
    calls[slot] = n


class Counted:
    __slots__ = ("__weakref__",)


class Frees:
    """Weak references that record each object's end: how often, and in which
    state of the frame."""

    def __init__(self, count):
        self.times = [0] * count
        self.counts_seen = set()
        self.objects = [Counted() for _ in range(count)]
        self.refs = [weakref.ref(o, self._callback(i)) for i, o in enumerate(self.objects)]

    def _callback(self, i):
        def freed(_ref):
            self.times[i] += 1
            self.counts_seen.add(t.gil_count())

        return freed

    def hand_over(self, threads, rounds, pause_us):
        # Empties the list: from here on only the native references hold them.
        t.release_from_threads(self.objects, threads, rounds, pause_us)

    def alive(self):
        return [r() for r in self.refs if r() is not None]


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        yield
    finally:
        sys.setswitchinterval(old)
        t.noop()  # leaves no queued release to the tests after this one


PY_THREADS, NATIVE_THREADS, OBJECTS, ROUNDS = 4, 4, 3000, 3


def test_releases_without_gil_under_concurrent_calls(fast_switching):
    frees = Frees(OBJECTS)
    stop = threading.Event()
    calls, failures = [0] * PY_THREADS, []
    workers = [
        threading.Thread(target=call_until, args=(stop, calls, failures, k))
        for k in range(PY_THREADS)
    ]
    for w in workers:
        w.start()
    try:
        time.sleep(0.05)
        frees.hand_over(NATIVE_THREADS, ROUNDS, pause_us=500)
        assert t.join_releasers() == NATIVE_THREADS
    finally:
        stop.set()
        for w in workers:
            w.join()
        t.join_releasers()
    assert failures == []
    assert min(calls) > 0
    # Everything not freed yet is waiting in the queue, one entry per reference.
    alive = frees.alive()
    assert sum(sys.getrefcount(o) - 3 for o in alive) == t.pending_len()
    del alive
    t.noop()
    assert frees.times == [1] * OBJECTS
    assert frees.counts_seen == {1}  # freed only inside a pool, never nested
    assert t.pending_len() == 0


@pytest.mark.parametrize("rounds", [1, 4])
def test_nothing_is_freed_before_the_next_pool(rounds):
    frees = Frees(200)
    frees.hand_over(NATIVE_THREADS, rounds, pause_us=0)
    assert t.join_releasers() == NATIVE_THREADS
    assert t.pending_len() == 200 * rounds
    gc.collect()
    t.gil_count()  # a raw call opens no pool
    alive = frees.alive()
    assert len(alive) == 200 and frees.times == [0] * 200
    assert sum(sys.getrefcount(o) - 3 for o in alive) == 200 * rounds
    del alive
    t.noop()
    assert frees.times == [1] * 200 and t.pending_len() == 0
