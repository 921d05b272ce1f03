"""The binding of fast-call arguments, against a small reference model of its
rules, over random positional counts and keyword-name tuples."""

import sys
from contextlib import contextmanager
from dataclasses import dataclass

from hypothesis import given, settings
from hypothesis import strategies as st

import _krenn_testing as t
from krenn_python import sum_as_string


@dataclass(frozen=True)
class Params:
    func: object
    display: str
    positional: tuple
    posonly: int
    required: int
    kwonly: tuple = ()  # (name, required)
    sums: bool = False  # sum_as_string returns the sum's text, the others their slots


SPECS = [
    Params(t.f_range, "f()", ("x", "y", "z"), 0, 1),
    Params(t.f_xyz, "f()", ("x", "y", "z"), 0, 3),
    Params(t.f_posonly, "f()", ("p", "q", "r"), 2, 3),
    Params(t.f_kwonly, "f()", ("a",), 0, 0, (("k", True), ("j", False))),
    Params(t.k_f, "K.f()", ("a",), 0, 1),
    Params(sum_as_string, "sum_as_string()", ("a", "b"), 0, 2, sums=True),
]


class Str(str):
    pass


class Loud(str):
    """Matched by its characters, shown by its __str__."""

    def __str__(self):
        return str.upper(self)


class Unprintable(str):
    def __str__(self):
        raise RuntimeError("no text")


def names(items):
    items = [f"'{n}'" for n in items]
    if len(items) <= 2:
        return " and ".join(items)
    return ", ".join(items[:-1]) + ", and " + items[-1]


def lossy(text):
    # Each lone surrogate is three ill-formed bytes, each replaced on its own.
    return "".join("\ufffd" * 3 if 0xD800 <= ord(c) <= 0xDFFF else c for c in text)


def shown(name):
    try:
        return lossy(str(name))
    except Exception:  # any failure of __str__ gives the placeholder
        return f"<unprintable {type(name).__qualname__} object>"


def model(spec, args, kwnames, kwvalues):
    """The outcome the rules give: a result, or a TypeError, the first one met."""
    f, n = spec.display, len(spec.positional)
    empty = object()
    slots = [empty] * (n + len(spec.kwonly))
    slots[: min(len(args), n)] = args[:n]
    if len(args) > n:
        takes = str(n) if spec.required == n else f"from {spec.required} to {n}"
        verb = "was" if len(args) == 1 else "were"
        return TypeError(f"{f} takes {takes} positional arguments but {len(args)} {verb} given")
    by_keyword = []
    for name, value in zip(kwnames or (), kwvalues, strict=True):
        if not isinstance(name, str):
            kind = type(name).__qualname__
            return TypeError(f"'{kind}' object cannot be converted to 'PyString'")
        text = str.__str__(name)
        if text != lossy(text):
            return TypeError(f"{f} got an unexpected keyword argument '{shown(name)}'")
        kwonly = [k for k, (kn, _) in enumerate(spec.kwonly) if kn == text]
        if kwonly or text in spec.positional:
            j = n + kwonly[0] if kwonly else spec.positional.index(text)
            if j < spec.posonly:
                by_keyword.append(text)
            elif slots[j] is not empty:
                return TypeError(f"{f} got multiple values for argument '{text}'")
            else:
                slots[j] = value
            continue
        return TypeError(f"{f} got an unexpected keyword argument '{shown(name)}'")
    if by_keyword:
        return TypeError(
            f"{f} got some positional-only arguments passed as keyword "
            f"arguments: {names(by_keyword)}"
        )
    for kind, missing in [
        ("positional", [spec.positional[i] for i in range(spec.required) if slots[i] is empty]),
        (
            "keyword",
            [kn for k, (kn, req) in enumerate(spec.kwonly) if req and slots[n + k] is empty],
        ),
    ]:
        if missing:
            plural = "argument" if len(missing) == 1 else "arguments"
            return TypeError(
                f"{f} missing {len(missing)} required {kind} {plural}: {names(missing)}"
            )
    if spec.sums:
        return str((slots[0] + slots[1]) % 2**64)
    return tuple(None if s is empty else s for s in slots)


@contextmanager
def unraisable_types():
    # Keeps only the types: the hook's argument object would keep frames alive.
    seen, old = [], sys.unraisablehook
    sys.unraisablehook = lambda u: seen.append(u.exc_type)
    try:
        yield seen
    finally:
        sys.unraisablehook = old


TEXTS = [
    "a",
    "b",
    "x",
    "y",
    "z",
    "p",
    "q",
    "r",
    "k",
    "j",
    "w",
    "c",
    "A",
    "k2",
    "",
    "é",
    "a\x00",
    "a\ud800",
    "\udfff",
    "\ud83d\ude00",
]
text = st.sampled_from(TEXTS)
keyword_name = st.one_of(
    text,
    text.map(Str),
    text.map(Loud),
    text.map(Unprintable),
    st.sampled_from([1, b"a", None, 2.5]),
)


# One test over all descriptions rather than a parametrized one: Hypothesis
# wraps a parametrized test's settings anew on every call, which the
# reference-leak job would count.
@settings(max_examples=1500, deadline=None)
@given(
    spec=st.sampled_from(SPECS),
    nargs=st.integers(0, 4),
    kwnames=st.lists(keyword_name, max_size=5),
    none=st.booleans(),
)
def test_binding_follows_the_rules(spec, nargs, kwnames, none):
    # Distinct ints: valid for sum_as_string, and they show which value went where.
    args = tuple(range(100, 100 + nargs))
    kwvalues = tuple(range(200, 200 + len(kwnames)))
    kwtuple = None if none and not kwnames else tuple(kwnames)
    expected = model(spec, args, kwtuple, kwvalues)
    with unraisable_types() as seen:
        try:
            got = t.vectorcall(spec.func, args, kwtuple, kwvalues)
        except TypeError as e:
            got = e
    if isinstance(expected, TypeError):
        assert type(got) is TypeError and str(got) == str(expected)
        assert got.__cause__ is None and got.__context__ is None
    else:
        assert got == expected
    # A failed __str__ is reported as unraisable, once, when it was shown.
    assert seen == ([RuntimeError] if "<unprintable" in str(expected) else [])
