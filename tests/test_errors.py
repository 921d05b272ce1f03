"""The error value: its states, normalization, restore, cause, and text form."""

import re
import sys

import pytest

import _krenn_testing as t

PanicException = type(t.err_value(t.err_new("panic", "x")))
NONE_PENDING = "attempted to fetch exception but none was set"
# python_run's own path entry is read too late under pytest; name the module's.
PRELUDE = (
    "import os, sys\nsys.path.insert(0, os.environ['KRENN_TESTMOD_PATH'])\n"
    "import _krenn_testing as t\n"
)


def caught():
    try:
        raise KeyError("k")
    except KeyError as e:
        return e


@pytest.mark.parametrize(
    "args, exc_type, exc_args",
    [
        (("system", "s"), SystemError, ("s",)),
        (("value", "v"), ValueError, ("v",)),
        (("import", "i"), ImportError, ("i",)),
        (("panic_constant", "pc"), PanicException, ("pc",)),
        (("type", "ty"), TypeError, ("ty",)),
        (("panic", "p"), PanicException, ("p",)),
        (("with_type", KeyError, "k"), KeyError, ("k",)),
        (("from_value", 5), TypeError, ("exceptions must derive from BaseException",)),
        (("from_value", ValueError), ValueError, ()),
        (("conversion", int, "Foo"), TypeError, ("'int' object cannot be converted to 'Foo'",)),
    ],
)
@pytest.mark.parametrize("access", [t.err_type, t.err_value, t.err_traceback])
def test_lazy_errors_normalize_on_access(args, exc_type, exc_args, access):
    h = t.err_new(*args)
    assert t.err_state(h) == "Lazy"
    access(h)
    assert t.err_state(h) == "Normalized"
    assert t.err_type(h) is exc_type
    value = t.err_value(h)
    assert type(value) is exc_type and value.args == exc_args
    assert t.err_traceback(h) is None


def test_fetch_with_nothing_pending():
    h = t.err_fetch()
    assert t.err_state(h) == "Lazy"
    assert t.err_type(h) is SystemError and t.err_value(h).args == (NONE_PENDING,)
    before = sys.getrefcount(None)
    for _ in range(100):
        assert t.err_try_fetch() is None
    assert sys.getrefcount(None) == before


def test_fetch_given_is_raw():
    exc = caught()
    h = t.err_fetch_given(KeyError, exc, exc.__traceback__)
    assert t.err_state(h) == "Raw"
    assert t.err_value(h) is exc and t.err_traceback(h) is exc.__traceback__
    h = t.err_fetch_given(KeyError, "zz")
    assert t.err_state(h) == "Raw"
    assert repr(t.err_value(h)) == "KeyError('zz')" and t.err_state(h) == "Normalized"


def test_lazy_builder_runs_once():
    lookups = []

    class Counting(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                lookups.append(name)
            return type.__getattribute__(cls, name)

    class Source(metaclass=Counting):
        pass

    lookups.clear()
    h = t.err_new("conversion", Source, "Target")
    assert lookups == []
    t.err_type(h)
    t.err_type(h)
    t.err_value(h)
    assert len(lookups) == 1
    assert str(t.err_value(h)).endswith(".Source' object cannot be converted to 'Target'")


def test_from_instance_is_normalized_at_once():
    exc = caught()
    h = t.err_new("from_value", exc)
    assert t.err_state(h) == "Normalized"
    assert t.err_value(h) is exc and t.err_traceback(h) is exc.__traceback__


@pytest.mark.parametrize(
    "args, exc_type, message",
    [
        (("value", "lazy text"), ValueError, "lazy text"),
        (("type", "owned text"), TypeError, "owned text"),
        (("panic", "owned panic"), PanicException, "owned panic"),
        (("from_value", 5), TypeError, "exceptions must derive from BaseException"),
    ],
)
def test_raise_through_trampoline(args, exc_type, message):
    with pytest.raises(exc_type) as info:
        t.err_raise(t.err_new(*args))
    assert info.value.args == (message,)
    refs = sys.getrefcount(info.value.args[0])  # outside assert: no rewrite temporaries
    assert refs == 2  # the args tuple's, and the call's
    assert t.gil_count() == 0


def test_into_triple():
    assert t.err_into_triple(t.err_new("value", "msg")) == (ValueError, "msg", None)
    exc = caught()
    triple = t.err_into_triple(t.err_new("from_value", exc))
    assert triple == (KeyError, exc, exc.__traceback__)


def test_normalizing_state(capfd):
    h = t.err_new("value", "v")
    t.err_set_normalizing(h)
    assert t.err_state(h) == "Normalizing"
    t.err_drop(h)
    for call, message in [
        (t.err_restore_in_body, "PyErr state should never be invalid outside of normalization"),
        (t.err_normalize, "Cannot normalize a PyErr while already normalizing it."),
        (t.err_value, "Cannot normalize a PyErr while already normalizing it."),
    ]:
        h = t.err_new("value", "v")
        t.err_set_normalizing(h)
        with pytest.raises(BaseException) as info:
            call(h)
        assert type(info.value) is PanicException and info.value.args == (message,)
        assert t.gil_count() == 0
    assert "panicked at src/error.cpp:" in capfd.readouterr().err


def test_normalizing_again_from_within_normalization():
    handle = []
    inner = []

    class Reentrant(Exception):
        def __init__(self, *args):
            try:
                t.err_normalize(handle[0])
            except BaseException as e:
                inner.append(e)
                raise

    handle.append(t.err_new("from_value", Reentrant))
    t.err_normalize(handle[0])
    message = "Cannot normalize a PyErr while already normalizing it."
    assert [e.args for e in inner] == [(message,)]
    # The failed instantiation's error takes the place of the value.
    assert t.err_state(handle[0]) == "Normalized"
    assert t.err_value(handle[0]) is inner[0]
    assert t.gil_count() == 0 and t.noop() is None


def test_cause():
    h = t.err_new("value", "outer")
    assert t.err_cause(h) is None
    t.err_set_cause(h, t.err_new("system", "inner"))
    c = t.err_cause(h)
    assert t.err_state(c) == "Normalized" and t.err_value(c).args == ("inner",)
    assert t.err_value(h).__cause__ is t.err_value(c)
    t.err_set_cause(h, None)
    value = t.err_value(h)
    assert value.__cause__ is None and value.__suppress_context__ is True
    assert t.err_cause(h) is None


def test_debug_text():
    text = (
        "PyErr { type: <class 'SystemError'>, value: SystemError('"
        + NONE_PENDING
        + "'), traceback: None }"
    )
    assert t.err_debug(t.err_fetch()) == text
    assert t.err_debug_native_thread() == (text, 0, 0, 0, 0)
    exc = caught()
    assert re.fullmatch(
        r"PyErr \{ type: <class 'KeyError'>, value: KeyError\('k'\), "
        r"traceback: Some\(<traceback object at 0x[0-9a-f]+>\) \}",
        t.err_debug(t.err_new("from_value", exc)),
    )


def test_report_unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    obj = object()
    t.err_report_unraisable(t.err_new("value", "unraisable"), obj)
    assert len(seen) == 1
    assert seen[0].exc_type is ValueError and seen[0].exc_value.args == ("unraisable",)
    assert seen[0].object is obj


def test_api_call_failed(capfd):
    with pytest.raises(BaseException) as info:
        t.call_api_call_failed(ValueError("boom"))
    assert type(info.value) is PanicException and info.value.args == ("Python API call failed",)
    err = capfd.readouterr().err
    assert "ValueError: boom" in err
    assert re.search(r"panicked at src/runtime\.cpp:\d+:\d+:\nPython API call failed\n", err)


def test_first_fetch_makes_panic_exception(python_run):
    proc = python_run(
        PRELUDE
        + (
            "print(t.panic_exception_ready())\n"
            "t.err_fetch_given(ValueError)\n"
            "print(t.panic_exception_ready())\n"
        )
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["False", "True"]


def test_panic_exception_subclass_is_ordinary():
    class Sub(PanicException):
        pass

    h = t.err_fetch_given(Sub, Sub("s"))
    assert t.err_state(h) == "Raw" and t.err_type(h) is Sub
