"""Each converted type, both ways, against the interpreter's own conversions."""

import array
import collections
import inspect
import math
import operator
import struct
import sys
import threading

import pytest

import _krenn_testing as t

try:
    import _testcapi
except ImportError:
    _testcapi = None


def error_of(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except BaseException as e:
        return type(e), str(e)
    return None


# (function, bits, signed, getargs code raising the same errors, texts just past the C
# type's range, texts past 64 bits)
LONG = ("Python int too large to convert to C long",) * 2
LLONG = ("int too big to convert",) * 2
U64 = ("can't convert negative int to unsigned", "int too big to convert")
INTEGERS = [
    (t.as_schar, 8, True, None, ("signed char is less than minimum", "signed char is greater than maximum"), LONG),  # noqa: E501
    (t.as_uchar, 8, False, "b", ("unsigned byte integer is less than minimum", "unsigned byte integer is greater than maximum"), LONG),  # noqa: E501
    (t.as_short, 16, True, "h", ("signed short integer is less than minimum", "signed short integer is greater than maximum"), LONG),  # noqa: E501
    (t.as_ushort, 16, False, None, (U64[0], "Python int too large for C unsigned short"), U64),
    (t.as_int, 32, True, "i", ("signed integer is less than minimum", "signed integer is greater than maximum"), LONG),  # noqa: E501
    (t.as_uint, 32, False, None, (U64[0], "Python int too large for C unsigned int"), U64),
    (t.as_long, 64, True, "l", LONG, LONG),
    (t.as_ulong, 64, False, None, U64, U64),
    (t.as_longlong, 64, True, "L", LLONG, LLONG),
    (t.as_ulonglong, 64, False, None, U64, U64),
]  # fmt: skip


@pytest.mark.parametrize("function, bits, signed, code, past, past_64", INTEGERS)
def test_integers_at_and_past_their_range(function, bits, signed, code, past, past_64):
    low, high = (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1) if signed else (0, 2**bits - 1)
    for value in (low, low + 1, 0, 1, high - 1, high, True):
        result = function(value)
        assert result == operator.index(value) and type(result) is int
    cases = [(low - 1, past[0]), (high + 1, past[1]), (-(2**64), past_64[0]), (2**70, past_64[1])]
    for value, text in cases:
        assert error_of(function, value) == (OverflowError, text), value
        if code and _testcapi is not None:
            assert error_of(getattr(_testcapi, f"getargs_{code}"), value) == (OverflowError, text)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("function", [row[0] for row in INTEGERS])
def test_integers_take_index_and_name_the_argument(function):
    assert function(Index(7)) == 7 and function(x=Index(2**6)) == 64
    for value in (1.5, "1", None):
        _, text = error_of(operator.index, value)
        assert error_of(function, value) == (TypeError, f"argument 'x': {text}")
    assert error_of(function, Index(1.5)) == (
        TypeError,
        "argument 'x': __index__ returned non-int (type float)",
    )


def test_integer_results():
    assert t.checked(2**62) == 2**62 and t.as_ulonglong(2**64 - 1) == 2**64 - 1


@pytest.mark.parametrize("value", [True, False])
def test_bool(value):
    assert t.as_bool(value) is value


@pytest.mark.parametrize("value, name", [(1, "int"), (None, "NoneType"), ("", "str")])
def test_bool_takes_only_true_and_false(value, name):
    message = f"argument 'x': '{name}' object cannot be converted to 'PyBool'"
    assert error_of(t.as_bool, value) == (TypeError, message)


class Real:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize(
    "value", [0.0, -0.0, 1.5, -1e308, float("inf"), 5, True, 2**63, Real(), Index(3)]
)
def test_floats_as_the_interpreter_reads_them(value):
    expected = float(value) if not isinstance(value, Index) else float(operator.index(value))
    assert struct.pack("d", t.as_double(value)) == struct.pack("d", expected)
    assert t.as_float(value) == struct.unpack("f", struct.pack("f", expected))[0]


@pytest.mark.parametrize(
    "value, error",
    [
        ("s", (TypeError, "argument 'x': must be real number, not str")),
        (None, (TypeError, "argument 'x': must be real number, not NoneType")),
        (2**1024, (OverflowError, "int too large to convert to float")),
    ],
)
def test_float_errors(value, error):
    assert error_of(t.as_double, value) == error


class Str(str):
    pass


@pytest.mark.parametrize("function", [t.as_str_view, t.as_string])
@pytest.mark.parametrize(
    "value",
    ["", "abc", "h\xe9llo", "\u65e5\u672c", "\U0001f600", "a\0b", Str("sub")]
    # Every width of the word-by-word ASCII copy, and a non-ASCII byte at each end.
    + ["x" * n for n in (1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 64, 65)]
    + ["\xe9" + "a" * 9, "a" * 9 + "\xe9", "ab\xe9"],
)
def test_str_round_trips_as_utf8(function, value):
    result = function(value)
    assert type(result) is str and result == value


@pytest.mark.parametrize("function", [t.as_str_view, t.as_string])
def test_str_errors(function):
    message = "argument 'x': 'int' object cannot be converted to 'PyString'"
    assert error_of(function, 1) == (TypeError, message)
    assert error_of(function, "\udc80") == error_of(str.encode, "\udc80")


class Outer:
    class Inner:
        pass


# Types the interpreter defines in C get their texts composed at once; other
# types, and dotted C names, go through the interpreter. Both read the same.
@pytest.mark.parametrize(
    "value",
    [1.5, b"x", collections.OrderedDict(), Outer.Inner(), Str("s"), type("\xe9", (), {})()],
)
def test_conversion_error_texts_by_type(value):
    name = type(value).__qualname__
    message = f"argument 'x': '{name}' object cannot be converted to 'PyString'"
    if not isinstance(value, str):
        assert error_of(t.as_str_view, value) == (TypeError, message)
    if floats := error_of(math.sqrt, value):
        assert error_of(t.as_double, value) == (floats[0], "argument 'x': " + floats[1])


def test_str_results():
    assert t.c_text(False) == "caf\xe9" and t.c_text(True) is None
    assert error_of(t.not_utf8) == error_of(bytes.decode, b"ab\xff")
    assert t.maybe_text(True) == "given" and t.maybe_text(False) is None


class Bytes(bytes):
    pass


@pytest.mark.parametrize(
    "value",
    [b"", b"\0\xff", bytes(range(256)), Bytes(b"sub"), bytearray(b"ba"), memoryview(b"view")],
)
def test_bytes(value):
    result = t.as_bytes(value)
    assert type(result) is bytes and result == value


@pytest.mark.parametrize("value, name", [("x", "str"), (array.array("B", b"x"), "array")])
def test_bytes_take_only_bytes(value, name):
    message = f"argument 'x': '{name}' object cannot be converted to 'PyBytes'"
    assert error_of(t.as_bytes, value) == (TypeError, message)


@pytest.mark.parametrize("function", [t.as_handle, t.as_object])
def test_objects_keep_their_counts(function):
    obj = object()
    before = sys.getrefcount(obj)
    for _ in range(3):
        assert function(obj) is obj
    assert sys.getrefcount(obj) == before


def test_optional():
    assert t.as_optional(None) is None and t.as_optional(5) == 5
    assert str(inspect.signature(t.as_optional)) == "(x=None)" and t.as_optional() is None


def reference(a, b=-10, s="it's", f=0.1, flag=True, *, n=None):
    pass


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((1, 2, "", 0.5, False, 6), {}), ((1,), {"m": 1}), ((1, 2), {"b": 3})],
)
def test_defaults_bind_as_a_python_def(args, kwargs):
    assert str(inspect.signature(t.defaults)) == str(inspect.signature(reference))
    ours, python = error_of(t.defaults, *args, **kwargs), error_of(reference, *args, **kwargs)
    assert ours == (python[0], python[1].replace("reference()", "defaults()"))


def test_defaults_fill_what_is_left_out():
    assert t.defaults(1) == (1, -10, "it's", 0.1, True, False)
    assert t.defaults(1, s="x", n=None, flag=False) == (1, -10, "x", 0.1, False, False)
    assert t.defaults(1, 2, "y", 2.0, False, n=3) == (1, 2, "y", 2.0, False, True)

    # 1/3 as a float holds it: what the body gets.
    def named_default(s='a"b\\\n', small=255, third=0.3333333432674408):
        pass

    assert inspect.signature(t.named_default) == inspect.signature(named_default)
    assert t.named_default() == 'a"b\\\n'


def test_void_and_results_with_errors():
    assert t.nothing() is None
    assert error_of(t.checked, -1) == (ValueError, "negative") and t.checked(3) == 3
    assert t.checked_void(True) is None and error_of(t.checked_void, False) == (
        ValueError,
        "not ok",
    )


FOREIGN = "a C++ exception that is not a std::exception reached the entry boundary"


@pytest.mark.parametrize(
    "kind, error",
    [
        ("invalid_argument", (ValueError, "bad value")),
        ("domain_error", (ValueError, "bad domain")),
        ("length_error", (ValueError, "too long")),
        ("range_error", (ValueError, "bad range")),
        ("out_of_range", (IndexError, "no such index")),
        ("overflow_error", (OverflowError, "too big")),
        ("runtime_error", (RuntimeError, "gone wrong")),
        ("logic_error", (RuntimeError, "wrong logic")),
        ("bad_utf8", (RuntimeError, "ab\ufffd")),
        ("foreign", ("PanicException", FOREIGN)),
        ("int", ("PanicException", FOREIGN)),
        ("null_what", (ValueError, "")),
    ],
)  # fmt: skip
def test_cpp_exceptions_become_python_exceptions(kind, error):
    raised, message = error_of(t.raise_cpp, kind)
    assert (raised if raised.__module__ == "builtins" else raised.__name__, message) == error
    assert t.raise_cpp("none") == 0


def test_without_gil_lets_other_threads_run():
    setter = threading.Thread(target=lambda: [sum(range(1000)), t.set_flag()])
    results = []
    waiter = threading.Thread(target=lambda: results.append(t.wait_for_flag()))
    waiter.start()
    setter.start()
    for thread in (waiter, setter):
        thread.join()
    assert results == [True]


def test_without_gil_defers_releases_and_takes_the_gil_back():
    obj = object()
    before = sys.getrefcount(obj)
    assert t.drop_without_gil(obj, add=1) == 1  # the count said "not held"
    t.nothing()  # the next entry applies the deferred release
    assert sys.getrefcount(obj) == before
    assert error_of(t.throw_without_gil, "x") == (ValueError, "x")
    assert error_of(t.throw_without_gil, "null_what") == (ValueError, "")
    assert t.drop_without_gil(obj) == 0


@pytest.mark.parametrize(
    "function", [t.empty_handle, t.empty_object, t.empty_result_object, t.empty_in_optional]
)
def test_empty_object_result_is_a_type_error_naming_the_function(function):
    name = function.__name__
    assert error_of(function) == (TypeError, f"{name}() returned an empty object")


@pytest.mark.parametrize("x", [1, True, Index(1)])  # the exact path, then the general one
def test_optional_objects_read_none_and_omitted_as_empty(x):
    assert t.given_objects(x, None, None) == (False, False)
    assert t.given_objects(x) == (False, False)
    assert t.given_objects(x, o=None) == (False, False)
    assert t.given_objects(x, 0, None) == (True, False)
    assert t.given_objects(x, None, 0) == (False, True)
