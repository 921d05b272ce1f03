"""Implementations and call cases shared by run.py, cg_probe.py and
check_limit.py: the sum_as_string group and the everyday-types group."""

import importlib
import importlib.util
import itertools
import statistics
import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parent
BUILD = BENCH / "_build"
LIB = BUILD / "lib"

# (name, module, attribute); the limit first: every ratio is against it.
IMPLS = [
    ("limit", "bench_limit", "sum_as_string"),
    ("krenn", "krenn_python", "sum_as_string"),
    ("floor", "bench_floor", "sum_as_string"),
    ("nanobind", "bench_nanobind", "sum_as_string"),
    ("pybind11", "bench_pybind11", "sum_as_string"),
    ("cython", "bench_cython", "sum_as_string"),
    ("cython-fstr", "bench_cython", "sum_as_string_fstr"),
    ("purepy", "purepy", "sum_as_string"),
]
IMPL_NAMES = [i[0] for i in IMPLS]
MODULES = {i[0]: i[1] for i in IMPLS}

D17_A = 12345678901234567
D17_B = 76543210987654321


def _guarded(call):
    return f"try:\n    {call}\nexcept Exception:\n    pass"


# (key, label, statement timed, expected result or exception type)
CASES = [
    ("pos", "f(1, 2)", "f(1, 2)", "3"),
    ("pos2", "f(7, 5)", "f(7, 5)", "12"),
    ("kw", "f(a=1, b=2)", "f(a=1, b=2)", "3"),
    ("mixed", "f(1, b=2)", "f(1, b=2)", "3"),
    ("max", "f(2**64 - 1, 0)", "f(18446744073709551615, 0)", str(2**64 - 1)),
    ("d17", "f(17 digits, 17 digits)", f"f({D17_A}, {D17_B})", str(D17_A + D17_B)),
    ("err_float", "f(1.5, 2)", _guarded("f(1.5, 2)"), TypeError),
    ("err_missing", "f(1)", _guarded("f(1)"), TypeError),
    ("err_extra", "f(1, 2, 3)", _guarded("f(1, 2, 3)"), TypeError),
]
CASE_KEYS = [c[0] for c in CASES]
BASELINE_STMT = "pass"


# The everyday-types group: functions over float, int, str, bool and None.
# (name, module); each case names the function it calls. krenn's module is
# built apart from this folder's CMake and found in LIB or on sys.path.
EVERYDAY_IMPLS = [
    ("limit", "bench_limit_everyday"),
    ("krenn", "bench_krenn_everyday"),
    ("nanobind", "bench_nanobind_everyday"),
    ("pybind11", "bench_pybind11_everyday"),
]

# (key, label, function, statement timed, expected result or exception type)
EVERYDAY_CASES = [
    ("scale", "scale(1.5, 3)", "scale", "f(1.5, 3)", 4.5),
    ("scale_kw", "scale(x=1.5, k=3)", "scale", "f(x=1.5, k=3)", 4.5),
    ("shout", 'shout("hello")', "shout", 'f("hello")', "HELLO"),
    ("is_even", "is_even(7)", "is_even", "f(7)", False),
    ("nothing", "nothing()", "nothing", "f()", None),
    ("err_scale", 'scale("a", 1)', "scale", _guarded('f("a", 1)'), TypeError),
    ("err_shout", "shout(1)", "shout", _guarded("f(1)"), TypeError),
    ("err_is_even", "is_even(2**70)", "is_even", _guarded(f"f({2**70})"), OverflowError),
    ("err_nothing", "nothing(1)", "nothing", _guarded("f(1)"), TypeError),
]


def is_error_case(key):
    return key.startswith("err")


def _import(module):
    if module == "purepy":
        # By path, so bench/'s subfolders never shadow installed packages.
        spec = importlib.util.spec_from_file_location("purepy", BENCH / "purepy.py")
        mod = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(mod)
        return mod
    if str(LIB) not in sys.path:
        sys.path.insert(0, str(LIB))
    return importlib.import_module(module)


def load(name):
    """The sum_as_string callable for an implementation; raises ImportError
    if absent."""
    _, module, attr = next(i for i in IMPLS if i[0] == name)
    return getattr(_import(module), attr)


class Group:
    """Implementations and the cases they are measured on."""

    def __init__(self, key, title, impls, cases, profiled):
        self.key = key
        self.title = title
        self.impls = impls  # (name, module[, function for every case])
        self.cases = cases  # (key, label, function or None, statement, expected)
        self.names = [i[0] for i in impls]
        self.modules = {i[0]: i[1] for i in impls}
        self.case_keys = [c[0] for c in cases]
        self.labels = {c[0]: c[1] for c in cases}
        self.stmts = {c[0]: c[3] for c in cases}
        self.expected = {c[0]: c[4] for c in cases}
        self.profiled = profiled  # cases whose instructions the report breaks down

    def funcs(self, name):
        """{case: callable} for an implementation; raises ImportError or
        AttributeError if it is absent."""
        impl = next(i for i in self.impls if i[0] == name)
        mod = _import(impl[1])
        return {c[0]: getattr(mod, c[2] or impl[2]) for c in self.cases}


SUM = Group(
    "sum",
    "sum_as_string",
    IMPLS,
    [(k, lb, None, s, e) for k, lb, s, e in CASES],
    ["pos", "d17"],
)
EVERYDAY = Group(
    "everyday",
    "everyday types",
    EVERYDAY_IMPLS,
    EVERYDAY_CASES,
    ["scale", "shout", "is_even", "nothing"],
)
GROUPS = {g.key: g for g in (SUM, EVERYDAY)}


# --- outcomes ----------------------------------------------------------------


def describe_error(e, handled=None):
    """The observable parts of a raised exception, as JSON-able values."""

    def ref(x):
        if x is None:
            return None
        if x is handled:
            return "the exception being handled"
        return f"{type(x).__qualname__}: {x}"

    return {
        "type": type(e).__qualname__,
        "text": str(e),
        "cause": ref(e.__cause__),
        "context": ref(e.__context__),
        "suppress_context": e.__suppress_context__,
    }


def call_once(f, key, group=SUM):
    """One case outside any loop, run plainly and again inside an except
    block: {"plain": ..., "handled": ...}, each {"result": repr} or the
    exception as describe_error gives it."""
    stmt = group.stmts[key]
    call = stmt.split("\n")[1].strip() if stmt.startswith("try") else stmt
    code = compile(call, "<case>", "eval")
    out = {}
    for where in ("plain", "handled"):
        handled = KeyError("handled") if where == "handled" else None
        try:
            if handled is None:
                value = eval(code, {"f": f})
            else:
                try:
                    raise handled
                except KeyError:
                    value = eval(code, {"f": f})
            out[where] = {"result": repr(value)}
        except Exception as e:
            out[where] = describe_error(e, handled)
    return out


def strict_note(key, outcome, group=SUM):
    """None if the outcome is what a strict binding gives, else a note."""
    expected = group.expected[key]
    got = outcome["plain"]
    if not (isinstance(expected, type) and issubclass(expected, BaseException)):
        if got.get("result") == repr(expected):
            return None
        return f"expected {expected!r}, got {got}"
    if got.get("type") == expected.__name__:
        return None
    return f"expected {expected.__name__}, got {got}"


def _short(text, limit=160):
    text = " ".join(str(text).split())
    return text if len(text) <= limit else text[: limit - 3] + "..."


# Markdown code, so the underscores are not taken for emphasis.
FIELDS = [
    ("cause", "`__cause__`"),
    ("context", "`__context__`"),
    ("suppress_context", "`__suppress_context__`"),
]


def _diff(got, ref):
    if "result" in got and "result" in ref:
        return f"returned {got['result']}, the limit {ref['result']}"
    if "result" in got:
        return f"no error, returned {got['result']}; the limit raises {ref['type']}"
    raised = f"raised {got['type']}: {_short(got['text'])!r}"
    if "result" in ref:
        return f"{raised}; the limit returns {ref['result']}"
    if (got["type"], got["text"]) != (ref["type"], ref["text"]):
        return f"{raised}; the limit {ref['type']}: {_short(ref['text'])!r}"
    parts = [f"{attr} {got[k]!r}, the limit's {ref[k]!r}" for k, attr in FIELDS if got[k] != ref[k]]
    return f"{got['type']} with " + "; ".join(parts)


def outcome_note(got, ref):
    """None if got matches the limit's outcome ref, else what differs."""
    for where, suffix in (("plain", ""), ("handled", " (inside an except block)")):
        if got[where] != ref[where]:
            return _diff(got[where], ref[where]) + suffix
    return None


# --- probes ------------------------------------------------------------------


def stack_per_level(f, depth=32, warm_up=5):
    """C stack bytes per level of f -> __index__ -> f, or None if f never
    calls __index__ (nor __int__) on its argument."""
    if str(LIB) not in sys.path:
        sys.path.insert(0, str(LIB))
    from bench_stackmark import here

    marks = []

    class Nest:
        def __index__(self):
            marks.append(here())
            if len(marks) < depth:
                f(self, 0)
            return 0

        __int__ = __index__

    # Warm-up lets the call sites specialise, so every level takes one path.
    for _ in range(warm_up + 1):
        marks.clear()
        f(Nest(), 0)
    if len(marks) < 2:
        return None
    steps = [a - b for a, b in itertools.pairwise(marks)]
    return {"bytes": statistics.median(steps), "min": min(steps), "max": max(steps)}


def make_loop(stmt):
    """A function running stmt n times with f local, like timeit's inner loop."""
    body = "\n".join("        " + line for line in stmt.split("\n"))
    src = f"def loop(f, n):\n    for _ in _repeat(None, n):\n{body}\n"
    ns = {"_repeat": itertools.repeat}
    exec(compile(src, "<loop>", "exec"), ns)
    return ns["loop"]
