"""std::function parameters, and buffers as std::span and krenn::Bytes."""

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
