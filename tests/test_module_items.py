"""Enums, exception types, constants and submodules that a module lists beside its functions."""

import enum
import os
import pickle
import subprocess
import sys
from pathlib import Path

import pytest

m = pytest.importorskip("_krenn_items")

COLORS = list(m.Color)


@pytest.mark.parametrize(
    "cls, base, members",
    [
        (m.Color, enum.Enum, {"RED": 0, "GREEN": 1, "BLUE": 2}),
        (m.Level, enum.IntEnum, {"LOW": -5, "MID": 0, "HIGH": 100}),
        (m.Plain, enum.Enum, {"FIRST": 1, "SECOND": 2, "ALSO_FIRST": 1}),
    ],
)
def test_enum_classes_hold_the_cpp_values(cls, base, members):
    assert issubclass(cls, base) and cls.__module__ == "_krenn_items"
    assert {name: member.value for name, member in cls.__members__.items()} == members
    assert all(pickle.loads(pickle.dumps(member)) is member for member in cls)


@pytest.mark.parametrize(
    "call, expected",
    [
        *[(lambda c=c: m.next_color(c), COLORS[(i + 1) % 3]) for i, c in enumerate(COLORS)],
        *[(lambda v=v: m.level_of(v), m.Level(v)) for v in (-5, 0, 100)],
        *[(lambda lv=lv: m.level_value(lv), lv.value) for lv in m.Level],
        (lambda: m.all_next((m.Color.RED, m.Color.BLUE)), [m.Color.GREEN, m.Color.RED]),
        (lambda: m.all_next(COLORS, m.Color.GREEN), [m.Color.GREEN, m.Color.RED]),
        (lambda: m.plain_of(1), m.Plain.FIRST),
        (lambda: m.plain_value(m.Plain.ALSO_FIRST), 1),
        (lambda: m.DEFAULT_COLOR, m.Color.GREEN),
    ],
)
def test_enums_convert_by_value(call, expected):
    result = call()
    assert result == expected and type(result) is type(expected)


NOT_COLOR = "argument 'c': '{}' object cannot be converted to 'Color'"


@pytest.mark.parametrize(
    "call, error, message",
    [
        # Only members: an IntEnum parameter refuses the int it equals.
        (lambda: m.next_color(0), TypeError, NOT_COLOR.format("int")),
        (lambda: m.next_color("RED"), TypeError, NOT_COLOR.format("str")),
        (lambda: m.next_color(m.Level.MID), TypeError, NOT_COLOR.format("Level")),
        (
            lambda: m.level_value(0),
            TypeError,
            "argument 'level': 'int' object cannot be converted to 'Level'",
        ),
        (
            lambda: m.all_next([m.Color.RED, 1]),
            TypeError,
            "argument 'cs': item 1: 'int' object cannot be converted to 'Color'",
        ),
        (lambda: m.color_of(3), ValueError, "3 is not a valid Color"),
        (lambda: m.level_of(-1), ValueError, "-1 is not a valid Level"),
        (lambda: m.plain_of(0), ValueError, "0 is not a valid Plain"),
    ],
)
def test_enum_conversion_errors(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "kind, raised, caught_as, message",
    [
        (0, m.ParseError, ValueError, "bad token"),
        (1, m.SyntaxProblem, m.ParseError, "unclosed bracket"),
        # A subclass bound nowhere: the nearest bound class that catches it.
        (2, m.SyntaxProblem, m.ParseError, "too deep"),
        (3, IndexError, LookupError, "out of range"),
        (4, RuntimeError, RuntimeError, "plain"),
    ],
)
def test_thrown_exceptions_raise_their_bound_classes(kind, raised, caught_as, message):
    with pytest.raises(caught_as) as info:
        m.fail(kind)
    assert type(info.value) is raised and str(info.value) == message


def test_exception_classes():
    assert m.ParseError.__mro__[1:3] == (ValueError, Exception)
    assert m.SyntaxProblem.__bases__ == (m.ParseError,)
    assert (m.ParseError.__module__, m.ParseError.__qualname__) == ("_krenn_items", "ParseError")
    assert m.ParseError.__doc__ == "Input that does not parse."
    with pytest.raises(m.ParseError, match="no color 'x'"):
        m.io.parse_color("x")


def test_constants():
    assert (m.VERSION, m.LIMITS, m.io.SEPARATOR) == ("1.0", [1, 2, 3], ",")
    assert m.DEFAULT_COLOR is m.Color.GREEN


def test_submodules_import_by_their_dotted_names(python_run):
    proc = python_run(
        "import sys, _krenn_items.io.deep as deep\n"
        "from _krenn_items.io import Counter, parse_color\n"
        "import _krenn_items as m\n"
        "assert sys.modules['_krenn_items.io'] is m.io and m.io.deep is deep\n"
        "assert deep.answer() == 42 and Counter().add(3) == 3\n"
        "assert parse_color('blue') is m.Color.BLUE\n"
        "assert Counter.__module__ == '_krenn_items.io' and m.empty.__all__ == []\n"
        "print(m.io.__all__, m.io.__doc__)"
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "['parse_color', 'Counter', 'SEPARATOR', 'deep'] Reading colors.\n"


def test_reference_counts_settle():
    red, level = m.Color.RED, m.Level.HIGH
    before = sys.getrefcount(red), sys.getrefcount(level), sys.getrefcount(m.ParseError)
    for _ in range(100_000):
        m.next_color(red)
        m.level_value(level)
        m.level_of(100)
        try:
            m.fail(0)
        except ValueError:
            pass
    assert (sys.getrefcount(red), sys.getrefcount(level), sys.getrefcount(m.ParseError)) == before


def test_stubtest_agrees_with_the_runtime(tmp_path: Path):
    pytest.importorskip(
        "mypy", reason="mypy is not installed: pip install -r tests/requirements.txt"
    )
    built = Path(os.environ["KRENN_TESTMOD_PATH"])
    # The stub-only package, as a package of stubs on the search path.
    stubs = tmp_path / "stubs" / "_krenn_items"
    stubs.parent.mkdir()
    os.symlink(built / "_krenn_items-stubs", stubs)
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\n")
    env = dict(os.environ, MYPYPATH=str(stubs.parent), PYTHONPATH=str(built))
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(config), "_krenn_items"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300, check=False,
    )  # fmt: skip
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "in 4 modules" in proc.stdout


def test_another_module_takes_the_enum(python_run):
    proc = python_run(
        "import _krenn_classes_user as user\n"
        "try:\n"
        "    user.inverted(0)\n"
        "except TypeError as e:\n"
        "    print(e)\n"
        "import _krenn_items as m\n"
        "assert user.inverted(m.Color.RED) is m.Color.BLUE\n"
        "print(user.inverted(m.Color.GREEN))"
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == (
        "argument 'c': 'int' object cannot be converted to 'app::Color'\nColor.GREEN\n"
    )
