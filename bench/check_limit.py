#!/usr/bin/env python3
"""Checks that the limit behaves exactly as krenn_python does.

    python3 bench/check_limit.py        # after run.py has built bench/_build

Calls both with many argument values and call shapes, each plainly and
inside an except block, and compares field by field: the result (and, for
one-character results, its identity), or the exception's type, text, args,
__cause__, __context__ and __suppress_context__, plus what reaches
sys.unraisablehook and the warnings raised. Also checks that repeated calls
leave the reference counts of everything involved as they were. Then holds
the class group's limit to a Python class of the same signatures: binding
errors in every call shape, signatures, hashing and comparison. Exits 1 on
any difference.
"""

import ctypes
import gc
import inspect
import itertools
import random
import sys
import warnings
from collections import Counter

import impls

BIG = 2**64


class IntSub(int):
    pass


class StrSub(str):
    pass


class StrSubShown(str):
    def __str__(self):
        return "shown"


class StrSubFailing(str):
    def __str__(self):
        raise RuntimeError("no str for this keyword")


class StrSubInterrupting(str):
    def __str__(self):
        raise KeyboardInterrupt("from __str__")


class Index:
    """Hands __index__ a value to return or an exception to raise."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        if isinstance(self.v, BaseException):
            # A fresh traceback each time, so frames (and self) are not kept.
            raise self.v.with_traceback(None)
        return self.v

    def __repr__(self):
        return f"Index({self.v!r})"


class Unprintable:
    def __str__(self):
        raise RuntimeError("no str")


class Interrupting:
    def __str__(self):
        raise KeyboardInterrupt("no str, loudly")


class TypeErrorSub(TypeError):
    pass


def type_error(*args, cause=None, context=None):
    e = TypeError(*args)
    e.__cause__ = cause
    e.__context__ = context
    return e


def exact_str(text):
    """An exact str with this text that is not the interned (or cached) one."""
    new = ctypes.pythonapi.PyUnicode_New
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_ssize_t, ctypes.c_uint32]
    s = new(len(text), 127)
    # A compact ASCII str keeps its characters right after its header.
    ctypes.memmove(id(s) + sys.getsizeof("") - 1, text.encode(), len(text))
    assert s == text and s is not text
    return s


def vectorcall(f, args, kwnames):
    """f called with keyword names Python syntax cannot pass (non-str)."""
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    arr = (ctypes.py_object * len(args))(*args)
    return call(f, ctypes.cast(arr, ctypes.c_void_p), len(args) - len(kwnames), kwnames)


INPUT_ERRORS = {}  # id -> label of the exceptions that __index__ raises
SHARED_CAUSE = ValueError("the cause")
SHARED_CONTEXT = LookupError("an old context")
SHARED = {
    "shared cause": SHARED_CAUSE,
    "shared context": SHARED_CONTEXT,
}


def values():
    """(label, value) for the argument values tried in every position."""
    ints = [
        0, 1, 2, 5, 9, 10, 11, 99, 100, 101, 2**30 - 1, 2**30, 2**30 + 1, 2**32,
        2**60 - 1, 2**60, 2**62, 2**63 - 1, 2**63, BIG - 2, BIG - 1, BIG, BIG + 1,
        2**90, 10**19 - 1, 10**19, 12345678901234567, -1, -2, -(2**30), -(2**64),
        -(2**90),
    ]  # fmt: skip
    out = [(f"int {v}", v) for v in ints]
    out += [(f"computed {v}", v + 0 * 3) for v in (0, 7, BIG - 1)]
    out += [("True", True), ("False", False)]
    out += [(f"IntSub({v})", IntSub(v)) for v in (0, 3, BIG - 1, BIG, -1)]
    out += [(f"Index({v})", Index(v)) for v in (0, 4, BIG - 1, BIG, -5, True, IntSub(6))]
    for name, exc in [
        ("TypeError", TypeError("no index for you")),
        ("TypeError()", TypeError()),
        ("TypeError(2 args)", TypeError("x", 2)),
        ("TypeError from cause", type_error("caused", cause=SHARED_CAUSE)),
        ("TypeError with context", type_error("old context", context=SHARED_CONTEXT)),
        ("TypeError surrogate text", TypeError("bad \udc80 text")),
        ("TypeError unprintable", TypeError(Unprintable())),
        ("TypeError interrupting str", TypeError(Interrupting())),
        ("TypeError subclass", TypeErrorSub("sub")),
        ("ValueError", ValueError("v")),
        ("OverflowError", OverflowError("o")),
        ("KeyboardInterrupt", KeyboardInterrupt("k")),
    ]:
        out.append((f"Index raising {name}", Index(exc)))
    out += [
        ("Index returning str", Index("7")),
        ("Index returning float", Index(1.0)),
        ("Index returning None", Index(None)),
    ]
    out += [
        ("1.5", 1.5),
        ("2.0", 2.0),
        ("nan", float("nan")),
        ("'1'", "1"),
        ("b'1'", b"1"),
        ("None", None),
        ("[]", []),
        ("object()", object()),
        ("1j", 1j),
        ("type", int),
    ]
    return out


def call_shapes(f, a, b):
    """(label, thunk) for the ways to pass a and b, right and wrong."""
    a_text, b_text = exact_str("a"), exact_str("b")
    return [
        ("f(a, b)", lambda: f(a, b)),
        ("f(a=a, b=b)", lambda: f(a=a, b=b)),
        ("f(b=b, a=a)", lambda: f(b=b, a=a)),
        ("f(a, b=b)", lambda: f(a, b=b)),
        ("f(*[a, b])", lambda: f(*[a, b])),
        ("f(**{a, b})", lambda: f(**{"a": a, "b": b})),
        ("str-subclass names", lambda: f(**{StrSub("a"): a, StrSub("b"): b})),
        ("built names", lambda: f(**{a_text: a, b_text: b})),
        ("vectorcall names", lambda: vectorcall(f, [a, b], ("a", "b"))),
        ("f(a)", lambda: f(a)),
        ("f(b=b)", lambda: f(b=b)),
        ("f(a=a)", lambda: f(a=a)),
        ("f(a, b, a)", lambda: f(a, b, a)),
        ("f(a, b, a, b)", lambda: f(a, b, a, b)),
        ("f(a, b, a, c=b)", lambda: f(a, b, a, c=b)),
        ("f(a, a=b)", lambda: f(a, a=b)),
        ("f(a, b, b=b)", lambda: f(a, b, b=b)),
        ("f(a, b, c=b)", lambda: f(a, b, c=b)),
        ("f(c=a, a=a, b=b)", lambda: f(c=a, a=a, b=b)),
        ("f(c=a, b=b)", lambda: f(c=a, b=b)),
        ("f(**{StrSub(a), b})", lambda: f(**{StrSub("a"): a, "b": b})),
        ("f(a, a=a, c=b)", lambda: f(a, a=a, c=b)),
        ("f(a, **{StrSub(a)})", lambda: f(a, **{StrSub("a"): b})),
        ("unknown str-subclass name", lambda: f(a, b, **{StrSubShown("c"): 1})),
        ("unknown unprintable name", lambda: f(a, b, **{StrSubFailing("c"): 1})),
        ("unknown interrupting name", lambda: f(a, b, **{StrSubInterrupting("c"): 1})),
        ("surrogate name", lambda: f(a, **{"\udc80": b})),
        ("non-ASCII name", lambda: f(a, **{"é": b})),
        ("long name", lambda: f(a, **{"b" * 300: b})),
        ("int name", lambda: vectorcall(f, [a, b], (1,))),
        ("int name after a", lambda: vectorcall(f, [a, b], ("a", 2))),
        ("f()", lambda: f()),
    ]


def describe(thunk, handled):
    """Everything observable about one call; ("ok", value) keeps the object."""
    unraisable = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda u: unraisable.append(
        (
            u.exc_type.__name__,
            str(u.exc_value),
            INPUT_ERRORS.get(id(u.object), type(u.object).__qualname__),
            u.err_msg,
        )
    )
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                if handled is None:
                    result = ("ok", thunk())
                else:
                    try:
                        # Without its last traceback, which would keep frames.
                        raise handled.with_traceback(None)
                    except type(handled):
                        result = ("ok", thunk())
            except BaseException as e:
                result = ("raised", e)
    finally:
        sys.unraisablehook = old_hook
    if result[0] == "raised":
        e = result[1]
        fields = impls.describe_error(e, handled)

        def ref(x):
            for name, obj in SHARED.items():
                if x is obj:
                    return name
            return fields_of(x)

        def fields_of(x):
            if x is None:
                return None
            if x is handled:
                return "handled"
            return (type(x).__qualname__, str(x), x.args)

        fields.update(
            args=e.args,
            cause=ref(e.__cause__),
            context=ref(e.__context__),
            # An exception from __index__ that passes must be that very object.
            identity=INPUT_ERRORS.get(id(e)),
        )
        result = ("raised", fields)
    else:
        result = ("ok", result[1])
    return result, unraisable, [(w.category.__name__, str(w.message)) for w in caught]


def compare(got, want):
    """Names of the fields that differ, [] when none do."""
    (gk, gv), gu, gw = got
    (wk, wv), wu, ww = want
    if gk != wk:
        return ["outcome"]
    diffs = []
    if gk == "ok":
        if type(gv) is not type(wv) or gv != wv:
            diffs.append("result")
        elif len(wv) == 1 and gv is not wv:
            diffs.append("one-character identity")
        elif not gv.isascii():
            diffs.append("result kind")
    else:
        diffs += [k for k in gv if gv[k] != wv[k]]
    if gu != wu:
        diffs.append("unraisable")
    if gw != ww:
        diffs.append("warnings")
    return diffs


class Vec2:
    """What the class limit binds as: its errors name Vec2, as this does."""

    def __init__(self, x=0.0, y=0.0):
        pass

    def length(self):
        pass

    def scaled(self, k):
        pass

    def scale_by(self, k):
        pass

    def __eq__(self, other):
        return NotImplemented

    @staticmethod
    def unit_x():
        pass


def dot(a, b):
    pass


def binding_outcome(f, args, kwargs):
    try:
        f(*args, **kwargs)
        return "ok"
    except TypeError as e:
        return f"TypeError: {e}"


def check_class_limit(mod):
    """Differences between the class limit and the Python class above."""
    v, pv = mod.Vec2(1.0, 2.0), Vec2()
    pairs = [
        (mod.Vec2, Vec2, ("x", "y"), 1.5),
        (v.length, pv.length, (), 1.5),
        (v.scaled, pv.scaled, ("k",), 1.5),
        (v.scale_by, pv.scale_by, ("k",), 1.5),
        (mod.Vec2.unit_x, Vec2.unit_x, (), 1.5),
        (mod.dot, dot, ("a", "b"), v),
    ]
    diffs = []
    for got, want, params, value in pairs:
        names = [*params, "z"]
        for n in range(5):
            for k in range(3):
                for kw in itertools.combinations(names, k):
                    args, kwargs = (value,) * n, dict.fromkeys(kw, value)
                    g, w = binding_outcome(got, args, kwargs), binding_outcome(want, args, kwargs)
                    if g != w:
                        diffs.append(f"{want.__qualname__}(*{args}, **{kwargs}): {g!r}, not {w!r}")
    for what, got, want in [
        ("Vec2 signature", inspect.signature(mod.Vec2), inspect.signature(Vec2)),
        ("v.scaled signature", inspect.signature(v.scaled), inspect.signature(pv.scaled)),
        ("__hash__", mod.Vec2.__hash__, Vec2.__hash__),
        ("v == 1", v == 1, pv == 1),
        ("v.__eq__(1)", v.__eq__(1), pv.__eq__(1)),
        ("v != v", v != v, False),
    ]:
        if str(got) != str(want):
            diffs.append(f"{what}: {got}, not {want}")
    return diffs


def refcounts(objs):
    return [sys.getrefcount(o) for o in objs]


def main():
    sys.path.insert(0, str(impls.LIB))
    krenn = impls.load("krenn")
    limit = impls.load("limit")
    vals = values()
    for label, v in vals:
        if isinstance(v, Index) and isinstance(v.v, BaseException):
            INPUT_ERRORS[id(v.v)] = label
    # Every value against a small and a large partner, both ways round.
    pairs = [(la, a, lb, b) for la, a in vals for lb, b in [("1", 1), ("BIG - 1", BIG - 1)]]
    pairs += [(lb, b, la, a) for la, a, lb, b in pairs]
    pairs += [
        ("2**64 - 1", BIG - 1, "1", 1),
        ("2**64 - 1", BIG - 1, "2**64 - 1", BIG - 1),
        ("9", 9, "0", 0),
        ("4", 4, "6", 6),
    ]
    shapes = len(call_shapes(krenn, 0, 0))
    checked, failures = 0, []
    by_field = Counter()
    for la, a, lb, b in pairs:
        for handled_kind in (None, "KeyError"):
            got_shapes = call_shapes(limit, a, b)
            want_shapes = call_shapes(krenn, a, b)
            for (label, g), (_, w) in zip(got_shapes, want_shapes, strict=True):
                handled = KeyError("handled") if handled_kind else None
                got = describe(g, handled)
                want = describe(w, handled)
                checked += 1
                diffs = compare(got, want)
                if diffs:
                    by_field.update(diffs)
                    where = " inside except" if handled_kind else ""
                    failures.append(
                        f"{label} a={la} b={lb}{where}: {diffs}\n  limit {got}\n  krenn {want}"
                    )
    # The handled exception is the TypeError that __index__ raises again.
    same = TypeError("handled and raised")
    results = []
    for f in (limit, krenn):
        try:
            raise same
        except TypeError:
            results.append(describe(lambda f=f: f(Index(same), 1), None))
    checked += 1
    if compare(*results):
        by_field.update(compare(*results))
        failures.append(f"TypeError raised while handled: limit {results[0]}, krenn {results[1]}")

    # Formatting: every digit count and its edges, and random values.
    rng = random.Random(1)
    sums = [v + d for k in range(20) for v in (10**k, 2 * 10**k, 5 * 10**k) for d in (-1, 0, 1)]
    sums += [BIG - 1, BIG - 2, 2**63, 2**63 - 1] + [
        rng.getrandbits(rng.randint(1, 64)) for _ in range(20000)
    ]
    for v in sums:
        v %= BIG
        checked += 1
        got, want = limit(v, 0), krenn(v, 0)
        if got != want or got != str(v) or (len(want) == 1 and got is not want):
            by_field["formatting"] += 1
            failures.append(f"f({v}, 0): limit {got!r}, krenn {want!r}")

    # Reference counts: nothing kept, nothing freed twice.
    leaks = []
    for la, a, lb, b in pairs[::7]:
        for name, f in (("limit", limit), ("krenn", krenn)):
            for label, thunk in call_shapes(f, a, b):
                handled = KeyError("handled")
                tracked = [SHARED_CAUSE, SHARED_CONTEXT, handled]
                for x in (a, b):
                    # Small ints are shared with everything else running.
                    if not (type(x) is int and -5 <= x <= 256):
                        tracked.append(x)
                    if isinstance(x, Index):
                        tracked.append(x.v)
                for _ in range(3):
                    describe(thunk, handled)
                gc.collect()
                before = refcounts(tracked)
                for _ in range(50):
                    describe(thunk, handled)
                gc.collect()
                if refcounts(tracked) != before:
                    leaks.append(f"{name} {label} a={la} b={lb}: {before} -> {refcounts(tracked)}")

    print(
        f"{checked} calls compared: {len(pairs)} argument pairs x {shapes} call shapes "
        f"x plain and inside except, and {len(sums)} sums for the formatting"
    )
    print(f"{len(failures)} differ" + (f"; by field: {dict(by_field)}" if failures else ""))
    for line in failures[:15]:
        print(line)
    if len(failures) > 15:
        print(f"... and {len(failures) - 15} more")
    print(f"reference-count changes: {len(leaks)}")
    for line in leaks[:10]:
        print(" ", line)

    import bench_limit_classes

    class_diffs = check_class_limit(bench_limit_classes)
    print(f"class limit against a Python class: {len(class_diffs)} differ")
    for line in class_diffs[:15]:
        print(" ", line)
    return 1 if failures or leaks or class_diffs else 0


if __name__ == "__main__":
    sys.exit(main())
