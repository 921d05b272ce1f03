"""std::function parameters, and buffers as std::span and krenn::Bytes."""

import array
import gc
import sys
import traceback
import weakref

import pytest

import _krenn_testing as t

APPLIERS = [t.apply, t.apply_without_gil, t.apply_in_thread]


@pytest.mark.parametrize("apply", APPLIERS)
def test_callbacks_of_any_kind(apply):
    assert apply(lambda x: x * 2, 21) == 42
    assert apply(abs, -3) == 3
    # A krenn function as the callback, and one as the callback's callback.
    assert apply(t.as_long, 5) == 5
    assert apply(lambda x: t.apply(t.as_long, x + 1), 1) == 2


@pytest.mark.parametrize("apply", APPLIERS)
def test_krenn_functions_are_called_as_cpp(apply):
    assert apply(t.refuse_odd, 4) == 4
    with pytest.raises(ValueError, match="^odd$"):
        apply(t.refuse_odd, 3)
    # Only a body that runs with the GIL and has the exact signature.
    assert t.calls_directly(t.as_long) and t.calls_directly(t.refuse_odd)
    for f in (t.refuse_odd_without_gil, t.as_int, t.apply, lambda x: x, abs):
        assert not t.calls_directly(f)
    assert t.same_function(t.refuse_odd) is t.refuse_odd
    # Through Python the C++ exception would arrive as a python_error.
    assert t.catch_invalid(t.refuse_odd, 3) == -1
    assert t.catch_invalid(t.refuse_odd_without_gil, 2) == 2
    assert t.apply_all([t.as_long, lambda x: x * 3, t.refuse_odd], x=2) == 6
    assert t.apply_all((), lambda x: -x, 5) == -5 and t.apply_all([], None, 7) == 7
    with pytest.raises(TypeError, match="argument 'fs': item 1: 'int' object is not callable"):
        t.apply_all([abs, 1])


def test_arguments_and_results_convert():
    assert t.call_mixed(lambda *a: repr(a)) == repr(("text", 2.5, True, b"\x00\xff"))
    seen = []
    assert t.call_void(lambda: seen.append(1)) is None and seen == [1]
    assert t.callable_name() == "collections.abc.Callable[[int, bytes], str | None]"


@pytest.mark.parametrize("apply", APPLIERS)
def test_exception_arrives_as_raised(apply):
    error = ValueError("inner")

    def fail(x):
        try:
            raise KeyError("first")
        except KeyError:
            raise error  # noqa: B904

    with pytest.raises(ValueError) as info:
        apply(fail, 1)
    assert info.value is error
    assert type(error.__context__) is KeyError and error.__cause__ is None
    assert "fail" in [frame.name for frame in traceback.extract_tb(error.__traceback__)]


@pytest.mark.parametrize(
    "result, cause",
    [("no", "argument 'result': 'str' object cannot be interpreted as an integer"),
     (2**70, "Python int too large to convert to C long")],
)  # fmt: skip
def test_result_that_does_not_convert(result, cause):
    def give(x):
        return result

    with pytest.raises(TypeError) as info:
        t.apply(give, 1)
    kind = type(result).__name__
    assert str(info.value) == (
        f"callback test_result_that_does_not_convert.<locals>.give: its '{kind}' result "
        "does not convert to int"
    )
    assert str(info.value.__cause__) == cause


def test_not_callable_names_the_argument():
    with pytest.raises(TypeError, match=r"^argument 'f': 'int' object is not callable$"):
        t.apply(3, 1)


def test_cpp_code_catches_with_the_exception_text():
    def fail():
        raise KeyError("k")

    assert t.caught_text(fail) == "'k'|'k'"


def test_copies_keep_the_callable_until_the_last_is_dropped():
    class Callable:
        def __call__(self, x):
            return x + 1

    f = Callable()
    alive = weakref.ref(f)
    t.keep(f)
    del f
    gc.collect()
    assert alive() is not None and t.call_kept(1) == 2
    t.drop_kept_without_gil()
    t.nothing()  # the next entry releases what was dropped without the GIL
    assert alive() is None


def test_reference_counts_unchanged_over_many_calls():
    def f(x):
        return x

    def fail(x):
        raise ValueError

    before = sys.getrefcount(f), sys.getrefcount(fail)
    for apply in (t.apply, t.apply_without_gil):
        for _ in range(100_000):
            apply(f, 1000)
    for _ in range(10_000):
        with pytest.raises(ValueError):
            t.apply(fail, 1)
    assert (sys.getrefcount(f), sys.getrefcount(fail)) == before


def doubles(*xs):
    return array.array("d", xs)


@pytest.mark.parametrize(
    "function, value, expected",
    [
        (t.sum_doubles, doubles(1, 2.5), 3.5),
        (t.sum_doubles, memoryview(doubles(1, 2)), 3.0),
        (t.sum_doubles, memoryview(bytes(16)).cast("d"), 0.0),
        (t.sum_doubles, doubles(), 0.0),
        (t.sum_doubles_without_gil, doubles(4), 4.0),
        (t.sum_ints, array.array("i", [1, -3]), -2),
        (t.sum_bytes, b"\x01\xff", 256),
        (t.sum_bytes, bytearray(b"\x02"), 2),
        (t.sum_bytes, memoryview(b"\x03\x04")[1:], 4),
        (t.sum_bytes, array.array("b", [-1]), 255),
    ],
)
def test_buffers_of_the_items_type(function, value, expected):
    assert function(value) == expected


@pytest.mark.parametrize(
    "function, value, error, text",
    [
        (t.sum_doubles, memoryview(doubles(1, 2, 3))[::2], ValueError,
         "the buffer is not C-contiguous"),
        (t.sum_doubles, memoryview(doubles(1, 2))[::-1], ValueError,
         "the buffer is not C-contiguous"),
        (t.sum_bytes, memoryview(bytes(6)).cast("B", (2, 3)), ValueError,
         "the buffer has 2 dimensions, not 1"),
        (t.sum_doubles, array.array("f", [1]), TypeError,
         "a buffer of double is required, not of format 'f' (item size 4)"),
        (t.sum_doubles, b"12345678", TypeError,
         "a buffer of double is required, not of format 'B' (item size 1)"),
        (t.sum_ints, array.array("q", [1]), TypeError,
         "a buffer of signed integers is required, not of format 'q' (item size 8)"),
        (t.sum_ints, array.array("I", [1]), TypeError,
         "a buffer of signed integers is required, not of format 'I' (item size 4)"),
        (t.sum_doubles, [1.0], TypeError, "a bytes-like object is required, not 'list'"),
        (t.as_bytes, memoryview(b"abcd")[::2], ValueError, "the buffer is not C-contiguous"),
    ],
)  # fmt: skip
def test_buffers_refused_name_the_argument(function, value, error, text):
    name = "x" if function is t.as_bytes else ("data" if function is t.sum_bytes else "xs")
    with pytest.raises(error) as info:
        function(value)
    assert str(info.value) == f"argument '{name}': {text}"


@pytest.mark.parametrize("function", [t.size_around, t.bytes_size_around])
def test_a_buffer_held_for_the_call_cannot_be_resized(function):
    data = bytearray(b"abc")

    def grow():
        data.extend(b"more")

    with pytest.raises(BufferError):
        function(data, grow)
    data.extend(b"!")  # released after the call that raised
    assert function(memoryview(data), lambda: None) == 4


def test_buffer_stub_name():
    expected = "collections.abc.Buffer" if sys.version_info >= (3, 12) else None
    assert t.buffer_name() == (expected or "bytes | bytearray | memoryview")


def test_buffer_counts_unchanged_over_many_calls():
    data, values = bytearray(b"xy"), doubles(1, 2)
    before = sys.getrefcount(data), sys.getrefcount(values)
    for _ in range(100_000):
        t.sum_bytes(data)
        t.sum_doubles_without_gil(values)
    for _ in range(10_000):
        with pytest.raises(TypeError):
            t.sum_ints(values)
    assert (sys.getrefcount(data), sys.getrefcount(values)) == before
    data.extend(b"z")
    values.append(3)


def test_a_cpp_function_result_is_a_python_callable():
    add = t.adder(10)
    assert add(1, "abc") == 14 and t.apply(lambda x: add(x, ""), 1) == 11
    assert t.byte_summer()(bytearray(b"\x01\x02")) == 3
    assert t.result_callable_name() == (
        "collections.abc.Callable[[int, bytes | bytearray | memoryview], str | None]"
    )
    cases = [
        ((1,), "callback() takes 2 positional arguments but 1 was given"),
        ((1, 2), "argument '2': 'int' object cannot be converted to 'PyString'"),
        (("x", "y"), "argument '1': 'str' object cannot be interpreted as an integer"),
    ]
    for args, text in cases:
        with pytest.raises(TypeError) as info:
            add(*args)
        assert str(info.value) == text


def test_a_python_callable_comes_back_as_itself():
    def f():
        pass

    assert t.same_callable(f) is f and t.no_callable() is None
