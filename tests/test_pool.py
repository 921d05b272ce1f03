"""GilCount, pools of owned references, and releases deferred until a pool opens."""

import re
import sys
import textwrap
import threading
import weakref
from pathlib import Path

import pytest

import _krenn_testing as t

# python_run's own path entry is read too late under pytest; name the module's.
PRELUDE = (
    "import os, sys\nsys.path.insert(0, os.environ['KRENN_TESTMOD_PATH'])\n"
    "import _krenn_testing as t\n"
)


@pytest.fixture(autouse=True)
def clean_thread_state():
    t.noop()  # applies releases other tests left queued
    assert t.gil_count() == 0 and t.pending_len() == 0
    yield
    if t.gil_count() < 0:
        t.set_gil_count(0)
    while t.gil_count() > 0:
        t.close_pool()


class Logged:
    def __init__(self, log, name):
        self.log, self.name = log, name

    def __del__(self):
        self.log.append(self.name)


def test_gil_count_outside_and_inside_entries():
    assert t.gil_count() == 0
    assert t.gil_count_in_entry() == 1
    counts = []
    th = threading.Thread(target=lambda: counts.append(t.gil_count()))
    th.start()
    th.join()
    assert counts == [0]


def test_nested_pools():
    log = []
    counts = [t.gil_count()]
    outer_mark = t.open_pool()
    counts.append(t.gil_count())
    assert outer_mark == t.owned_len()
    t.register(Logged(log, "outer"))
    inner_mark = t.open_pool()
    counts.append(t.gil_count())
    assert inner_mark == outer_mark + 1
    t.register(Logged(log, "inner"))
    t.close_pool()
    counts.append(t.gil_count())
    assert log == ["inner"] and t.owned_len() == inner_mark
    t.close_pool()
    counts.append(t.gil_count())
    assert log == ["inner", "outer"] and t.owned_len() == outer_mark
    assert counts == [0, 1, 2, 1, 0]


def test_empty_pool_changes_only_gil_count():
    obj = object()
    before = (t.owned_len(), t.pending_len(), sys.getrefcount(obj))
    t.open_pool()
    assert t.gil_count() == 1
    t.close_pool()
    assert (t.owned_len(), t.pending_len(), sys.getrefcount(obj)) == before
    assert t.gil_count() == 0


def test_each_registration_is_one_release():
    obj = object()
    base = sys.getrefcount(obj)
    t.open_pool()
    for _ in range(3):
        t.register(obj)
    assert sys.getrefcount(obj) == base + 3
    t.close_pool()
    assert sys.getrefcount(obj) == base


@pytest.mark.parametrize("n", [3, 40])  # few on the stack, many in a heap copy
def test_release_order_oldest_first(n):
    log = []
    t.open_pool()
    for i in range(n):
        t.register(Logged(log, i))
    assert log == []
    t.close_pool()
    assert log == list(range(n))


def test_registration_during_close_belongs_to_outer_pool():
    sentinel = object()
    base = sys.getrefcount(sentinel)

    class RegistersOnDel:
        def __del__(self):
            t.register(sentinel)

    t.open_pool()
    mark = t.open_pool()
    t.register(RegistersOnDel())
    t.close_pool()
    assert t.owned_len() == mark + 1 and sys.getrefcount(sentinel) == base + 1
    t.close_pool()
    assert sys.getrefcount(sentinel) == base


def test_acquire_gil_here():
    assert t.acquire_gil_here() == (True, 1, 0)
    t.open_pool()
    assert t.acquire_gil_here() == (False, 1, 1)
    t.close_pool()


def test_release_with_gil_count_is_immediate():
    obj = object()
    base = sys.getrefcount(obj)
    t.open_pool()
    t.release(obj)
    assert sys.getrefcount(obj) == base and t.pending_len() == 0
    t.close_pool()


def _noop_on_python_thread():
    th = threading.Thread(target=t.noop)
    th.start()
    th.join()


@pytest.mark.parametrize("count", [0, -1])
@pytest.mark.parametrize("apply", [t.noop, _noop_on_python_thread], ids=["here", "thread"])
def test_release_without_gil_count_is_queued(count, apply):
    obj = object()
    base = sys.getrefcount(obj)
    t.set_gil_count(count)
    try:
        t.release(obj)
        t.release(obj)
    finally:
        t.set_gil_count(0)
    assert sys.getrefcount(obj) == base + 2 and t.pending_len() == 2
    apply()
    assert sys.getrefcount(obj) == base and t.pending_len() == 0


def test_release_on_native_thread_waits_for_a_pool():
    obj = object()
    base = sys.getrefcount(obj)
    t.release_on_native_thread(obj, 3)
    assert sys.getrefcount(obj) == base + 3 and t.pending_len() == 3
    t.open_pool()
    assert sys.getrefcount(obj) == base and t.pending_len() == 0
    t.close_pool()


def test_queued_last_reference_deallocates_at_next_pool():
    class Target:
        pass

    obj = Target()
    ref = weakref.ref(obj)
    t.release_on_native_thread(obj, 1)
    del obj
    assert ref() is not None
    t.noop()
    assert ref() is None


def test_registration_after_list_destroyed_is_never_released():
    obj = object()
    base = sys.getrefcount(obj)
    t.after_destruction(obj)
    assert t.probe_outcome() == (False, 0)
    assert sys.getrefcount(obj) == base + 1


@pytest.mark.parametrize(
    "code, texts",
    [
        (
            "t.set_gil_count(-1); t.noop()",
            [
                r"thread 'main' panicked at src/pool\.cpp:\d+:\d+:\n"
                r"Access to the GIL is prohibited "
                r"while a __traverse__ implmentation is running\.\n",
                "uncaught panic at ffi boundary",
            ],
        ),
        (
            "t.set_gil_count(-2); t.noop()",
            [
                r"thread 'main' panicked at src/pool\.cpp:\d+:\d+:\n"
                r"Access to the GIL is currently prohibited\.\n",
                "uncaught panic at ffi boundary",
            ],
        ),
        (
            "t.after_destruction(object(), True)",
            ["cannot access a Thread Local Storage value during or after destruction"],
        ),
    ],
)
def test_prohibited_access_ends_process(python_run, code, texts):
    proc = python_run(f"{PRELUDE}{code}\nprint('survived')")
    assert proc.returncode != 0 and "survived" not in proc.stdout
    for text in texts:
        assert re.search(text, proc.stderr), proc.stderr


@pytest.mark.slow
@pytest.mark.skipif(
    "libasan" in Path("/proc/self/maps").read_text(), reason="a fork under ASan takes ~80 ms"
)
def test_forked_children_never_inherit_a_held_queue_lock(python_run):
    # Threads keep the deferred-release queue's lock busy; a child forked while
    # it was held would spin for ever on its first call. The first hung child
    # ends the run.
    code = """
        import signal, threading, time
        sys.setswitchinterval(1e-4)
        stop = False
        def drop():
            while not stop:
                o = object()
                t.drop_eight_without_gil(o, o, o, o, o, o, o, o)
        threads = [threading.Thread(target=drop) for _ in range(3)]
        for th in threads:
            th.start()
        started = time.monotonic()
        forks = hung = 0
        while forks < 2000 and not hung:
            pid = os.fork()
            if pid == 0:
                t.noop()
                os._exit(0)
            forks += 1
            deadline = time.monotonic() + 2
            while not os.waitpid(pid, os.WNOHANG)[0]:
                if time.monotonic() > deadline:
                    hung = 1
                    os.kill(pid, signal.SIGKILL)
                    os.waitpid(pid, 0)
                    break
                time.sleep(1e-4)
        stop = True
        for th in threads:
            th.join()
        print(forks, hung, round(time.monotonic() - started))
    """
    proc = python_run(PRELUDE + textwrap.dedent(code), timeout=300)
    assert proc.returncode == 0, proc.stderr
    forks, hung, seconds = proc.stdout.split()
    assert (forks, hung) == ("2000", "0"), f"a child hung after {forks} forks"
    assert int(seconds) < 120
