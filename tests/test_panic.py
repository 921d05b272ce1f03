"""Panics becoming PanicException, the type itself, and panics resumed from Python."""

import re
import sys

import pytest

import _krenn_testing as t

PanicException = type(t.err_value(t.err_new("panic", "x")))

DOC = (
    "\nThe exception raised when C++ code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)
# python_run's own path entry is read too late under pytest; name the module's.
PRELUDE = (
    "import os, sys\nsys.path.insert(0, os.environ['KRENN_TESTMOD_PATH'])\n"
    "import _krenn_testing as t\n"
)
RESUME = (
    "--- Krenn is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n"
)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: t.panic_with_owned("msg"), "msg"),
        (t.panic_with_constant, "a constant panic message"),
        (t.panic_with_any, "panic from C++ code"),
    ],
)
def test_panic_becomes_panic_exception(call, message, capfd):
    with pytest.raises(PanicException) as info:
        try:
            call()
        except Exception:  # must not catch it
            pytest.fail("PanicException caught as Exception")
    assert info.value.args == (message,)
    assert t.gil_count() == 0
    assert t.noop() is None
    err = capfd.readouterr().err
    assert re.search(r"thread 'main' panicked at tests/testmod/panic\.cpp:\d+:\d+:\n", err)


def test_panic_exception_type():
    assert PanicException.__module__ == "krenn_runtime"
    assert PanicException.__name__ == PanicException.__qualname__ == "PanicException"
    assert PanicException.__mro__ == (PanicException, BaseException, object)
    assert PanicException.__doc__ == DOC


def test_nested_entries_release_only_their_own_refs():
    obj = object()
    base = sys.getrefcount(obj)
    seen = {}

    def inner():
        seen["inner"] = sys.getrefcount(obj)
        seen["inner_count"] = t.gil_count()

    def outer():
        seen["outer"] = sys.getrefcount(obj)
        t.hold_and_call(obj, inner)
        seen["outer_after"] = sys.getrefcount(obj)

    t.hold_and_call(obj, outer)
    step = seen["outer"] - base
    assert step > 0 and seen["inner"] - seen["outer"] == step
    assert seen["outer_after"] == seen["outer"]  # inner's ref gone, outer's kept
    assert seen["inner_count"] == 2
    assert sys.getrefcount(obj) == base


def test_panic_through_nested_entries_keeps_message_and_releases(capfd):
    # The panic crosses two Python frames and is fetched and resumed twice.
    obj = object()
    base = sys.getrefcount(obj)
    with pytest.raises(PanicException) as info:
        t.hold_and_call(obj, lambda: t.hold_and_call(obj, lambda: t.panic_with_owned("deep")))
    assert info.value.args == ("deep",)
    assert sys.getrefcount(obj) == base and t.gil_count() == 0
    err = capfd.readouterr().err
    assert err.count(RESUME) == 2
    assert "PanicException: deep\n" in err and "('deep',)" not in err


class BadStr:
    def __str__(self):
        raise RuntimeError("no str")


@pytest.mark.parametrize(
    "value, message",
    [
        (PanicException("m"), "m"),
        (PanicException(), ""),
        (PanicException(BadStr()), "Unwrapped panic from Python code"),
        (("m",), "m"),  # pending as a lazy one is restored: (type, args)
        ("m", "m"),
    ],
)
def test_resumed_panic(value, message, capfd):
    with pytest.raises(PanicException) as info:
        t.err_fetch_given(PanicException, value)
    assert info.value.args == (message,)
    assert info.value is not value
    err = capfd.readouterr().err
    assert err.startswith(RESUME)
    assert "PanicException" in err[len(RESUME) :]
    assert t.gil_count() == 0


def test_resumed_panic_prints_python_traceback(capfd):
    def raiser():
        raise PanicException("from python")

    try:
        raiser()
    except PanicException as e:
        exc = e
    with pytest.raises(PanicException, match="^from python$"):
        t.err_fetch_given(PanicException, exc, exc.__traceback__)
    err = capfd.readouterr().err
    assert err.startswith(RESUME + "Traceback (most recent call last):\n")
    assert "in raiser" in err and err.rstrip().endswith("PanicException: from python")


def test_shipped_module_resumes_its_own_panic_exception(capfd):
    import krenn_python

    with pytest.raises(TypeError):
        krenn_python.sum_as_string(1.5, 2)  # a fetch: makes its PanicException

    class Obj:
        def __init__(self, exc):
            self.exc = exc

        def __index__(self):
            raise self.exc

    def resumed_by_shipped(cls):
        capfd.readouterr()
        with pytest.raises(cls):
            krenn_python.sum_as_string(Obj(cls("probe")), 1)
        return RESUME in capfd.readouterr().err

    # Every krenn module in the process has a PanicException of its own.
    own = [
        c
        for c in BaseException.__subclasses__()
        if c.__qualname__ == "PanicException"
        and c.__module__ == "krenn_runtime"
        and c is not PanicException
    ]
    (shipped,) = [c for c in own if resumed_by_shipped(c)]

    capfd.readouterr()
    with pytest.raises(shipped) as info:
        krenn_python.sum_as_string(Obj(shipped("from index")), 1)
    assert info.value.args == ("from index",)
    err = capfd.readouterr().err
    assert err.startswith(RESUME) and "in __index__" in err

    # Another frame copy's PanicException is an ordinary error to it.
    foreign = PanicException("foreign")
    with pytest.raises(PanicException) as info:
        krenn_python.sum_as_string(Obj(foreign), 1)
    assert info.value is foreign
    assert RESUME not in capfd.readouterr().err
    assert krenn_python.sum_as_string(1, 2) == "3"


@pytest.mark.parametrize(
    "call, texts",
    [
        (
            "t.return_normalizing()",
            [
                "PyErr state should never be invalid outside of normalization",
                "uncaught panic at ffi boundary",
            ],
        ),
    ],
)
def test_boundary_ends_process(python_run, call, texts):
    proc = python_run(f"{PRELUDE}{call}\nprint('survived')")
    assert proc.returncode != 0
    assert "survived" not in proc.stdout
    for text in texts:
        assert text in proc.stderr


def test_failed_type_creation_reports_instead_of_recursing(python_run):
    # With a base that is no class, making PanicException fails; fetching that
    # failure must not try to make the type again from inside the attempt.
    code = (
        f"{PRELUDE}import ctypes\n"
        "ctypes.c_void_p.in_dll(ctypes.pythonapi, 'PyExc_BaseException').value = id(5)\n"
        "t.err_fetch_given(ValueError, ValueError('x'))\n"
    )
    proc = python_run(code)
    assert proc.returncode == -6  # SIGABRT from the boundary, not a stack overflow
    assert (
        "Failed to initialize new exception type.: PyErr { type: <class 'TypeError'>" in proc.stderr
    )
    assert "uncaught panic at ffi boundary" in proc.stderr
