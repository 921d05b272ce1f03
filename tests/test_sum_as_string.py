"""sum_as_string: results, conversion errors and reference counts."""

import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

from krenn_python import sum_as_string

U64 = 2**64
u64 = st.integers(min_value=0, max_value=U64 - 1)


@given(u64, u64)
def test_matches_python_arithmetic(a, b):
    expected = str((a + b) % U64)
    assert sum_as_string(a, b) == expected
    assert sum_as_string(a=a, b=b) == expected
    assert sum_as_string(b=b, a=a) == expected
    assert sum_as_string(a, b=b) == expected


@pytest.mark.parametrize(
    "a, b, expected",
    [
        (1, 2, "3"),
        (0, 0, "0"),
        (U64 - 1, 0, "18446744073709551615"),  # equals the C API's error return
        (U64 - 1, 1, "0"),
        (U64 - 1, U64 - 1, str(U64 - 2)),
        (2**30, 2**30 - 1, str(2**31 - 1)),  # digit boundaries of the fast path
        (2**60 - 1, 2**60, str(2**61 - 1)),
        (2**63, 2**63, "0"),
        (True, 2, "3"),
        (False, False, "0"),
    ],
)
def test_values(a, b, expected):
    result = sum_as_string(a, b)
    assert type(result) is str
    assert result == expected


@pytest.mark.parametrize("total", [v for k in range(1, 20) for v in (10**k - 1, 10**k)])
def test_digit_counts_at_powers_of_ten(total):
    # The digit count comes from the bit length with one correction.
    assert sum_as_string(total - total // 2, total // 2) == str(total)


def test_results_are_exact_ascii_strs_and_one_digit_ones_the_interpreters_own():
    assert sum_as_string(1, 2) is chr(51)
    result = sum_as_string(10**18, 10**18)
    assert type(result) is str and result.isascii() and result == str(2 * 10**18)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class MyInt(int):
    pass


@pytest.mark.filterwarnings("ignore:__index__ returned non-int:DeprecationWarning")
@pytest.mark.parametrize(
    "a, expected",
    [
        (MyInt(5), "6"),
        (Index(5), "6"),
        (Index(True), "2"),
        (Index(MyInt(5)), "6"),
    ],
)
def test_integer_protocol(a, expected):
    assert sum_as_string(a, 1) == expected


@pytest.mark.parametrize(
    "a, b, name, tail",
    [
        (1.5, 2, "a", "'float' object cannot be interpreted as an integer"),
        (1, "x", "b", "'str' object cannot be interpreted as an integer"),
        (None, 1, "a", "'NoneType' object cannot be interpreted as an integer"),
        (1.5, "x", "a", "'float' object cannot be interpreted as an integer"),
        (Index(1.5), 1, "a", "__index__ returned non-int (type float)"),
    ],
)
def test_non_integers_name_the_argument(a, b, name, tail):
    with pytest.raises(TypeError) as info:
        sum_as_string(a, b)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{name}': {tail}"
    assert info.value.__cause__ is None
    assert info.value.__context__ is None


@pytest.mark.parametrize("a, b", [(-1, 2), (U64, 0), (0, -(2**70)), (MyInt(-1), 0)])
def test_out_of_range_is_the_interpreters_overflow_error(a, b):
    with pytest.raises(OverflowError) as info:
        sum_as_string(a, b)
    assert "argument" not in str(info.value)


def test_first_failure_wins_and_b_is_not_converted():
    calls = []

    class Spy:
        def __index__(self):
            calls.append("b")
            return 1

    with pytest.raises(OverflowError):
        sum_as_string(-1, Spy())
    assert calls == []


class Raising:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize("exc", [MyTypeError("custom"), ValueError("v"), KeyError("k")])
def test_other_error_types_pass_unchanged(exc):
    with pytest.raises(type(exc)) as info:
        sum_as_string(Raising(exc), 1)
    assert info.value is exc


def test_wrapped_type_error_keeps_the_cause_only():
    root = KeyError("root")

    def fail():
        try:
            raise root
        except KeyError as e:
            raise TypeError("inner") from e

    class FromCause:
        def __index__(self):
            fail()

    with pytest.raises(TypeError) as info:
        sum_as_string(1, FromCause())
    err = info.value
    assert str(err) == "argument 'b': inner"
    assert err.__cause__ is root
    assert err.__suppress_context__
    assert err.__context__ is None
    assert err.__cause__.__traceback__ is not None


def test_unprintable_error_value_uses_placeholder(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)

    class Bad(TypeError):
        def __str__(self):
            raise RuntimeError("no text")

    class BadIndex:
        def __index__(self):
            raise Bad()

    # A subclass passes unchanged, so wrap an exact TypeError whose args print badly.
    class NoStr:
        def __str__(self):
            raise RuntimeError("no text")

    class ExactIndex:
        def __index__(self):
            raise TypeError(NoStr())

    with pytest.raises(Bad):
        sum_as_string(BadIndex(), 1)
    with pytest.raises(TypeError) as info:
        sum_as_string(ExactIndex(), 1)
    assert str(info.value) == "argument 'a': <unprintable TypeError object>"
    assert [type(s.exc_value) for s in seen] == [RuntimeError]


def test_reference_counts_are_kept():
    a, b, bad = 12345678901234567890, 98765, 1.5
    big, neg = 2**80, -7
    before = [sys.getrefcount(o) for o in (a, b, bad, big, neg)]
    for _ in range(1000):
        sum_as_string(a, b)
        sum_as_string(b=b, a=a)
        for args in ((bad, b), (a, bad), (big, b), (neg, b), (a,)):
            try:
                sum_as_string(*args)
            except (TypeError, OverflowError):
                pass
    del args
    assert [sys.getrefcount(o) for o in (a, b, bad, big, neg)] == before
