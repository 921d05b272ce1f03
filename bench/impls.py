"""Implementations and call cases shared by run.py and cg_probe.py."""

import importlib
import importlib.util
import itertools
import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parent
BUILD = BENCH / "_build"
LIB = BUILD / "lib"

# (name, module, attribute); floor first: every ratio is against it.
IMPLS = [
    ("floor", "bench_floor", "sum_as_string"),
    ("krenn", "krenn_python", "sum_as_string"),
    ("nanobind", "bench_nanobind", "sum_as_string"),
    ("pybind11", "bench_pybind11", "sum_as_string"),
    ("cython", "bench_cython", "sum_as_string"),
    ("cython-fstr", "bench_cython", "sum_as_string_fstr"),
    ("purepy", "purepy", "sum_as_string"),
]
IMPL_NAMES = [i[0] for i in IMPLS]

D17_A = 12345678901234567
D17_B = 76543210987654321


def _guarded(call):
    return f"try:\n    {call}\nexcept Exception:\n    pass"


# (key, label, statement timed, expected result or exception type)
CASES = [
    ("pos", "f(1, 2)", "f(1, 2)", "3"),
    ("kw", "f(a=1, b=2)", "f(a=1, b=2)", "3"),
    ("mixed", "f(1, b=2)", "f(1, b=2)", "3"),
    ("max", "f(2**64 - 1, 0)", "f(18446744073709551615, 0)", str(2**64 - 1)),
    ("d17", "f(17 digits, 17 digits)", f"f({D17_A}, {D17_B})", str(D17_A + D17_B)),
    ("err_float", "f(1.5, 2)", _guarded("f(1.5, 2)"), TypeError),
    ("err_missing", "f(1)", _guarded("f(1)"), TypeError),
]
CASE_KEYS = [c[0] for c in CASES]
BASELINE_STMT = "pass"


def load(name):
    """The callable for an implementation; raises ImportError if absent."""
    _, module, attr = next(i for i in IMPLS if i[0] == name)
    if module == "purepy":
        # By path, so bench/'s subfolders never shadow installed packages.
        spec = importlib.util.spec_from_file_location("purepy", BENCH / "purepy.py")
        mod = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(mod)
    else:
        if str(LIB) not in sys.path:
            sys.path.insert(0, str(LIB))
        mod = importlib.import_module(module)
    return getattr(mod, attr)


def call_once(f, key):
    """Run one case outside any loop: ("ok", value) or ("raised", type)."""
    stmt = {c[0]: c[2] for c in CASES}[key]
    call = stmt.split("\n")[1].strip() if stmt.startswith("try") else stmt
    try:
        return "ok", eval(call, {"f": f})
    except Exception as e:
        return "raised", type(e)


def outcome_note(key, outcome):
    """None if the outcome is what a strict uint64 binding gives, else a note."""
    expected = {c[0]: c[3] for c in CASES}[key]
    kind, value = outcome
    if isinstance(expected, str):
        if kind == "ok" and value == expected:
            return None
        if kind == "ok":
            return f"returned {value!r}, expected {expected!r}"
        return f"raised {value.__name__}"
    if kind == "raised" and issubclass(value, expected):
        return None
    if kind == "raised":
        return f"raised {value.__name__}, expected {expected.__name__}"
    return f"no error, returned {value!r}"


def make_loop(stmt):
    """A function running stmt n times with f local, like timeit's inner loop."""
    body = "\n".join("        " + line for line in stmt.split("\n"))
    src = f"def loop(f, n):\n    for _ in _repeat(None, n):\n{body}\n"
    ns = {"_repeat": itertools.repeat}
    exec(compile(src, "<loop>", "exec"), ns)
    return ns["loop"]
