"""Functions declared once: binding, conversion and signature follow from the declaration."""

import inspect
import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

import _krenn_testing as t

ROOT = Path(__file__).resolve().parent.parent


def reference(a, /, b=None, *, c):
    """The same parameters as a Python function, whose binding errors the frame's match."""


CALLS = [
    ((), {}),
    ((1,), {}),
    ((1, 2, 3), {}),
    ((), {"a": 1, "c": 2}),
    ((1,), {"c": 2, "d": 3}),
    ((1, 2), {"b": 3, "c": 1}),
]


@pytest.mark.parametrize("args, kwargs", CALLS)
def test_binding_errors_in_the_interpreters_wording(args, kwargs):
    with pytest.raises(TypeError) as ours:
        t.mix_as_string(*args, **kwargs)
    with pytest.raises(TypeError) as python:
        reference(*args, **kwargs)
    # The frame says "keyword argument" where Python functions say "keyword-only".
    expected = str(python.value).replace("reference()", "mix_as_string()")
    assert str(ours.value) == expected.replace("keyword-only argument", "keyword argument")


@pytest.mark.parametrize(
    "args, kwargs, result",
    [((1,), {"c": 2}, "3"), ((1, None), {"c": 2}, "3"), ((1,), {"b": 5, "c": 2}, "8")],
)
def test_optional_parameter_left_out_or_none(args, kwargs, result):
    assert t.mix_as_string(*args, **kwargs) == result


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"c": 1.5}, TypeError, "argument 'c': 'float' object cannot be interpreted as an integer"),
        (
            {"b": "x", "c": -1},
            TypeError,
            "argument 'b': 'str' object cannot be interpreted as an integer",
        ),
        ({"c": -1}, OverflowError, "can't convert negative int to unsigned"),
    ],
)
def test_conversion_errors_name_the_parameter(kwargs, error, message):
    with pytest.raises(error) as info:
        t.mix_as_string(1, **kwargs)
    assert type(info.value) is error and str(info.value) == message


def test_signature_and_doc():
    assert str(inspect.signature(t.mix_as_string)) == "(a, /, b=None, *, c)"
    assert t.mix_as_string.__doc__ == "Sums a, b (0 when left out) and c as string."
    assert str(inspect.signature(t.echo)) == "(obj, /)"
    assert t.mix_as_string.__name__ == "mix_as_string" and t.mix_as_string.__module__ == t.__name__


def test_parameter_type_added_outside_the_frame():
    obj = object()
    assert t.echo(obj) is obj
    with pytest.raises(TypeError, match=r"^echo\(\) got some positional-only arguments"):
        t.echo(obj=obj)


SOURCE = """
#include <krenn/krenn.hpp>
using namespace krenn::literals;
krenn::Result<PyObject*> f(std::uint64_t a, std::optional<std::uint64_t> b) {
  return krenn::new_decimal_str(a);
}
KRENN_FUNCTION(f, "", %s);
"""


@pytest.mark.parametrize(
    "params, error",
    [
        ('"a"_a, "b"_a', None),
        ('"a"_a', "one declared name per body parameter"),
        ('"a"_a, "b"_a, "c"_a', "one declared name per body parameter"),
        ('"a"_a.keyword_only(), "b"_a', "parameters go positional-only, plain, keyword-only"),
        ('"a"_a, "b"_a.positional_only()', "parameters go positional-only, plain, keyword-only"),
        ('"a"_a, "b"_a = -1', "a default must fit its parameter's type"),
        ('"a"_a, "b"_a = 2', None),
    ],
)
def test_mismatched_declarations_do_not_compile(tmp_path, params, error):
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    source = tmp_path / "f.cpp"
    source.write_text(SOURCE % params)
    run = subprocess.run(
        [
            compiler,
            "-std=c++23",
            "-fsyntax-only",
            f"-I{ROOT / 'frame' / 'include'}",
            f"-I{sysconfig.get_paths()['include']}",
            str(source),
        ],
        capture_output=True,
        text=True,
    )
    if error is None:
        assert run.returncode == 0, run.stderr
    else:
        assert run.returncode != 0 and error in run.stderr
