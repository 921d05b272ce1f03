"""The shipped module's surface and its one-time initialization."""

import ctypes
import gc
import inspect
import shutil
import subprocess
import types

import pytest

import _krenn_testing as t
import krenn_python


def test_module_surface():
    assert krenn_python.__name__ == "krenn_python"
    assert krenn_python.__doc__ == "A Python module implemented in C++."
    assert krenn_python.__all__ == ["sum_as_string"]
    assert type(krenn_python.__all__) is list
    public = {n for n in dir(krenn_python) if not n.startswith("__")}
    assert public == {"sum_as_string"}


def test_function_object():
    f = krenn_python.sum_as_string
    assert type(f) is types.BuiltinFunctionType
    assert f.__name__ == "sum_as_string"
    assert f.__qualname__ == "sum_as_string"
    assert f.__module__ == "krenn_python"
    assert f.__self__ is krenn_python
    assert f.__doc__ == "Formats the sum of two numbers as string."
    assert f.__text_signature__ == "(a, b)"
    assert str(inspect.signature(f)) == "(a, b)"


def test_exports_exactly_one_symbol():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run(
        [nm, "-D", "--defined-only", krenn_python.__file__],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_krenn_python"]


def test_second_init_raises_import_error():
    init = ctypes.PyDLL(krenn_python.__file__).PyInit_krenn_python
    init.restype = ctypes.py_object
    before = sum(
        isinstance(o, types.ModuleType) and o.__name__ == "krenn_python" for o in gc.get_objects()
    )
    with pytest.raises(ImportError) as info:
        init()
    assert str(info.value) == "Krenn modules may only be initialized once per interpreter process"
    gc.collect()
    after = sum(
        isinstance(o, types.ModuleType) and o.__name__ == "krenn_python" for o in gc.get_objects()
    )
    assert after == before  # the module made by the refused call is gone


def _modules_named(name):
    return sum(isinstance(o, types.ModuleType) and o.__name__ == name for o in gc.get_objects())


def test_make_module_once():
    first = t.make_module("ok")
    assert first.__name__ == "krenn_test_ok" and first.marker is True
    assert first.__all__ == []  # as the stub of a module without functions says
    assert t.spec_initialized("ok")
    with pytest.raises(ImportError, match="only be initialized once"):
        t.make_module("ok")
    gc.collect()
    assert _modules_named("krenn_test_ok") == 1


def _failing_create():
    t.set_bad_create(True)
    try:
        with pytest.raises(ValueError, match="cannot set METH_CLASS"):
            t.make_module("bad_create")
    finally:
        t.set_bad_create(False)


def test_failed_create_leaves_flag_unset():
    for _ in range(2):
        _failing_create()
        assert not t.spec_initialized("bad_create")
    assert t.make_module("bad_create").__name__ == "krenn_test_bad_create"
    # Creation comes before the flag: its failure wins over the ImportError.
    _failing_create()
    with pytest.raises(ImportError):
        t.make_module("bad_create")


def test_failed_body_sets_flag():
    with pytest.raises(ValueError, match="body failed"):
        t.make_module("bad_body")
    assert t.spec_initialized("bad_body")
    with pytest.raises(ImportError):
        t.make_module("bad_body")
    gc.collect()
    assert _modules_named("krenn_test_bad_body") == 0
