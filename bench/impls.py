"""Implementations and call cases shared by run.py, cg_probe.py and
check_limit.py: the sum_as_string group, the everyday-types group, the class
group and the standard-library group."""

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
    """Implementations and the cases they are measured on.

    A case's statement runs with local names bound: f, the case's function,
    unless the group gives an env(module, case key) that makes them.
    """

    def __init__(self, key, title, impls, cases, profiled, env=None):
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
        self.env = env

    def funcs(self, name):
        """{case: {local name: value}} for an implementation, fresh objects
        for every case; raises ImportError or AttributeError if it is
        absent."""
        impl = next(i for i in self.impls if i[0] == name)
        mod = _import(impl[1])
        if self.env:
            return {c[0]: self.env(mod, c[0]) for c in self.cases}
        return {c[0]: {"f": getattr(mod, c[2] or impl[2])} for c in self.cases}


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


class Shown(str):
    """An expected result given by its repr."""

    def __repr__(self):
        return str(self)


# The class group: geo::Vec2 (vec2.hpp) bound as a class, and dot.
CLASSES_IMPLS = [
    ("limit", "bench_limit_classes"),
    ("krenn", "bench_krenn_classes"),
    ("nanobind", "bench_nanobind_classes"),
    ("pybind11", "bench_pybind11_classes"),
]

# (key, label, None, statement timed, expected result or exception type);
# the statement is its label, run with the names classes_env binds.
CLASSES_CASES = [
    (key, stmt, None, _guarded(stmt) if key.startswith("err") else stmt, expected)
    for key, stmt, expected in [
        ("length", "v.length()", 5.0),
        ("scaled", "v.scaled(2.0)", Shown("Vec2(6.0, 8.0)")),
        ("get_x", "v.x", 3.0),
        ("set_x", "v.x = 1.0", None),
        ("init", "Vec2(1.0, 2.0)", Shown("Vec2(1.0, 2.0)")),
        ("dot", "dot(a, b)", 11.0),
        ("eq", "a == b", False),
        ("repr", "repr(v)", "Vec2(3.0, 4.0)"),
        ("err_scaled", 'v.scaled("a")', TypeError),
        ("err_init", "Vec2(1, 2, 3)", TypeError),
        ("err_dot", "dot(1, v)", TypeError),
    ]
]


def classes_env(mod, key):
    vec2 = mod.Vec2
    return {
        "Vec2": vec2,
        "dot": mod.dot,
        "v": vec2(3.0, 4.0),
        "a": vec2(1.0, 2.0),
        "b": vec2(3.0, 4.0),
    }


# The standard-library group: containers and a callback crossing.
STDLIB_IMPLS = [
    ("limit", "bench_limit_stdlib"),
    ("krenn", "bench_krenn_stdlib"),
    ("nanobind", "bench_nanobind_stdlib"),
    ("pybind11", "bench_pybind11_stdlib"),
]
FLOATS = [i + 0.25 for i in range(1000)]
WORDS = {f"word{i}": i for i in range(100)}

STDLIB_CASES = [
    (key, label, None, _guarded(stmt) if key.startswith("err") else stmt, expected)
    for key, label, stmt, expected in [
        ("total", "total(1000 floats)", "total(xs)", sum(FLOATS)),
        ("count_words", "count_words(100 keys)", "count_words(d)", sum(WORDS.values())),
        # krenn's over the std containers; the others' total and count_words already are.
        ("total_vector", "total(1000 floats), std::vector", "total_vector(xs)", sum(FLOATS)),
        (
            "count_words_map",
            "count_words(100 keys), std::unordered_map",
            "count_words_map(d)",
            sum(WORDS.values()),
        ),
        ("apply_py", "apply(lambda x: x + 1, 3)", "apply(py_inc, 3)", 4),
        ("apply_own", "apply(inc, 3)", "apply(inc, 3)", 4),
        ("err_total", 'total([1.0, "a"])', 'total([1.0, "a"])', TypeError),
        ("err_apply", "apply(1, 3)", "apply(1, 3)", TypeError),
    ]
]


def stdlib_env(mod, key):
    # krenn's total and count_words over std containers live in a module of their own.
    std = _import(mod.__name__ + "_std") if mod.__name__ == "bench_krenn_stdlib" else None
    return {
        "total": mod.total,
        "count_words": mod.count_words,
        "total_vector": std.total_vector if std else mod.total,
        "count_words_map": std.count_words_map if std else mod.count_words,
        "apply": mod.apply,
        "inc": mod.inc,
        "py_inc": lambda x: x + 1,
        "xs": list(FLOATS),
        "d": dict(WORDS),
    }


CLASSES = Group(
    "classes",
    "a class",
    CLASSES_IMPLS,
    CLASSES_CASES,
    ["length", "scaled", "get_x", "init"],
    classes_env,
)
STDLIB = Group(
    "stdlib",
    "containers and callbacks",
    STDLIB_IMPLS,
    STDLIB_CASES,
    ["total", "count_words", "apply_py", "apply_own"],
    stdlib_env,
)
GROUPS = {g.key: g for g in (SUM, EVERYDAY, CLASSES, STDLIB)}


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


def call_once(env, key, group=SUM):
    """One case outside any loop, run plainly and again inside an except
    block: {"plain": ..., "handled": ...}, each {"result": repr} or the
    exception as describe_error gives it. A statement that is no
    expression (an assignment) gives None."""
    stmt = group.stmts[key]
    call = stmt.split("\n")[1].strip() if stmt.startswith("try") else stmt
    try:
        code, value_of = compile(call, "<case>", "eval"), eval
    except SyntaxError:
        code, value_of = compile(call, "<case>", "exec"), exec
    out = {}
    for where in ("plain", "handled"):
        handled = KeyError("handled") if where == "handled" else None
        try:
            if handled is None:
                value = value_of(code, dict(env))
            else:
                try:
                    raise handled
                except KeyError:
                    value = value_of(code, dict(env))
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


def make_loop(stmt, names=("f",)):
    """A function loop(n, **env) running stmt n times with env's names
    local, like timeit's inner loop."""
    body = "\n".join("        " + line for line in stmt.split("\n"))
    src = f"def loop(_n, {', '.join(names)}):\n    for _ in _repeat(None, _n):\n{body}\n"
    ns = {"_repeat": itertools.repeat}
    exec(compile(src, "<loop>", "exec"), ns)
    return ns["loop"]
