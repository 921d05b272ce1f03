"""Binding positional and keyword arguments against parameter descriptions."""

import pytest

import _krenn_testing as t
from krenn_python import sum_as_string

S = "sum_as_string()"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1, 2, 3), {}, f"{S} takes 2 positional arguments but 3 were given"),
        ((), {}, f"{S} missing 2 required positional arguments: 'a' and 'b'"),
        ((1,), {}, f"{S} missing 1 required positional argument: 'b'"),
        ((), {"b": 1}, f"{S} missing 1 required positional argument: 'a'"),
        ((1,), {"a": 1}, f"{S} got multiple values for argument 'a'"),
        ((1, 2), {"c": 1}, f"{S} got an unexpected keyword argument 'c'"),
        ((1, 2), {"A": 1}, f"{S} got an unexpected keyword argument 'A'"),
        ((1, 2, 3), {"c": 1}, f"{S} takes 2 positional arguments but 3 were given"),
        ((1, 2), {"c": 1, "a": 1}, f"{S} got an unexpected keyword argument 'c'"),
    ],
)
def test_sum_as_string_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        sum_as_string(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize(
    "f, args, kwargs, message",
    [
        (
            t.f_range,
            (1, 2, 3, 4, 5),
            {},
            "f() takes from 1 to 3 positional arguments but 5 were given",
        ),
        (t.f_range, (), {}, "f() missing 1 required positional argument: 'x'"),
        (t.f_empty, (1,), {}, "f() takes 0 positional arguments but 1 was given"),
        (t.k_f, (1, 2), {}, "K.f() takes 1 positional arguments but 2 were given"),
        (t.k_f, (), {"b": 1}, "K.f() got an unexpected keyword argument 'b'"),
        (t.f_xyz, (), {}, "f() missing 3 required positional arguments: 'x', 'y', and 'z'"),
        (t.f_wxyz, (), {"x": 1}, "f() missing 3 required positional arguments: 'w', 'y', and 'z'"),
        (t.f_wxyz, (), {}, "f() missing 4 required positional arguments: 'w', 'x', 'y', and 'z'"),
        (
            t.f_posonly,
            (),
            {"p": 1, "q": 2, "r": 3},
            "f() got some positional-only arguments passed as keyword arguments: 'p' and 'q'",
        ),
        (
            t.f_posonly,
            (1,),
            {"q": 2},
            "f() got some positional-only arguments passed as keyword arguments: 'q'",
        ),
        (t.f_kwonly, (), {}, "f() missing 1 required keyword argument: 'k'"),
        (
            t.f_kwonly,
            (1, 2),
            {"k": 1},
            "f() takes from 0 to 1 positional arguments but 2 were given",
        ),
        (t.f_kwonly, (), {"k": 1, "k2": 2}, "f() got an unexpected keyword argument 'k2'"),
    ],
)
def test_other_descriptions(f, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        f(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "f, args, kwargs, slots",
    [
        (t.f_range, (1,), {}, (1, None, None)),
        (t.f_range, (1,), {"z": 3}, (1, None, 3)),
        (t.f_posonly, (1, 2), {"r": 3}, (1, 2, 3)),
        (t.f_kwonly, (), {"k": 1}, (None, 1, None)),
        (t.f_kwonly, (0,), {"j": 2, "k": 1}, (0, 1, 2)),
        (t.f_empty, (), {}, ()),
    ],
)
def test_slots(f, args, kwargs, slots):
    assert f(*args, **kwargs) == slots


@pytest.mark.parametrize(
    "names, text",
    [
        ((), ""),
        (("x",), "'x'"),
        (("x", "y"), "'x' and 'y'"),
        (("x", "y", "z"), "'x', 'y', and 'z'"),
        (("w", "x", "y", "z"), "'w', 'x', 'y', and 'z'"),
        (("it's",), "'it's'"),
    ],
)
def test_name_list(names, text):
    assert t.append_name_list(names) == text


class Str(str):
    pass


@pytest.mark.parametrize(
    "kwnames, kwvalues, outcome",
    [
        (("a", "b"), (1, 2), "3"),
        (("b", "a"), (2, 1), "3"),
        ((Str("a"), Str("b")), (1, 2), "3"),  # subclasses match by their UTF-8 bytes
        (
            None,
            (),
            TypeError("sum_as_string() missing 2 required positional arguments: 'a' and 'b'"),
        ),
        ((), (), TypeError("sum_as_string() missing 2 required positional arguments: 'a' and 'b'")),
        ((1, "b"), (1, 2), TypeError("'int' object cannot be converted to 'PyString'")),
        (("a", "a"), (1, 2), TypeError("sum_as_string() got multiple values for argument 'a'")),
        (
            ("a\ud800", "b"),
            (1, 2),
            TypeError("sum_as_string() got an unexpected keyword argument 'a\ufffd\ufffd\ufffd'"),
        ),
        (
            ("c", "a", "a"),
            (0, 1, 2),
            TypeError("sum_as_string() got an unexpected keyword argument 'c'"),
        ),
    ],
)
def test_native_caller_keywords(kwnames, kwvalues, outcome):
    if isinstance(outcome, Exception):
        with pytest.raises(type(outcome)) as info:
            t.vectorcall(sum_as_string, (), kwnames, kwvalues)
        assert str(info.value) == str(outcome)
    else:
        assert t.vectorcall(sum_as_string, (), kwnames, kwvalues) == outcome


def test_positional_then_keyword_via_vectorcall():
    assert t.vectorcall(sum_as_string, (1,), ("b",), (2,)) == "3"


@pytest.mark.parametrize("args", [(1,), ()])
def test_slot_array_too_short_panics(args):
    # With no argument the required-slot check would read the missing slot.
    with pytest.raises(BaseException) as info:
        t.f_short_slots(*args)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "index out of bounds: the len is 0 but the index is 0"
