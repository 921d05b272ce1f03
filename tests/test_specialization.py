"""Call sites of sum_as_string get the interpreter's builtin fast-call path.

CPython only specialises a call site to its cheapest builtin form when the
callee is a plain builtin function with METH_FASTCALL | METH_KEYWORDS; a
custom callable type, METH_VARARGS or a Python-level wrapper all fall back
to the generic call. The opname for that form differs between versions, so
each was checked by experiment against `sorted`, which has those flags.
"""

import dis
import platform
import sys

import pytest

krenn_python = pytest.importorskip("krenn_python")

FAST_WITH_KEYWORDS = {
    (3, 11): "PRECALL_BUILTIN_FAST_WITH_KEYWORDS",
    (3, 12): "CALL_BUILTIN_FAST_WITH_KEYWORDS",
    (3, 13): "CALL_BUILTIN_FAST_WITH_KEYWORDS",
}
EXPECTED = FAST_WITH_KEYWORDS.get(sys.version_info[:2])

pytestmark = pytest.mark.skipif(
    EXPECTED is None,
    reason=f"specialised call opnames not checked for CPython {platform.python_version()}",
)

# 3.13 leaves every call with keywords as the generic CALL_KW, builtin or not.
keywords = pytest.mark.skipif(
    sys.version_info >= (3, 13), reason="3.13 does not specialise calls with keywords"
)

WARM_UP = 100  # comfortably past the adaptive counters


def call_opnames(func):
    return [i.opname for i in dis.get_instructions(func, adaptive=True) if "CALL" in i.opname]


def warm(func, *args):
    for _ in range(WARM_UP):
        result = func(*args)
    return result


# Each lambda is its own code object, so every case starts unspecialised.
@pytest.mark.parametrize(
    "caller",
    [
        pytest.param(lambda: krenn_python.sum_as_string(1, 2), id="positional"),
        pytest.param(lambda: krenn_python.sum_as_string(1, b=2), id="keyword-b", marks=keywords),
        pytest.param(lambda: krenn_python.sum_as_string(a=1, b=2), id="keywords", marks=keywords),
    ],
)
def test_call_site_specialises_to_builtin_fast_call(caller):
    assert warm(caller) == "3"
    assert EXPECTED in call_opnames(caller)
    # The specialised path calls the C entry directly; it must agree.
    assert caller() == "3"


@pytest.mark.parametrize(
    "caller",
    [
        pytest.param(lambda: sorted((2, 1)), id="positional"),
        pytest.param(lambda: sorted((2, 1), key=None), id="keyword", marks=keywords),
    ],
)
def test_interpreter_check_is_meaningful(caller):
    # Guards against a silently renamed opname making the tests here vacuous.
    warm(caller)
    assert EXPECTED in call_opnames(caller)


def positional_caller(a, b):
    return krenn_python.sum_as_string(a, b)


def keyword_caller(a, b):
    return krenn_python.sum_as_string(a, b=b)


@pytest.mark.parametrize(
    "caller",
    [
        pytest.param(positional_caller, id="positional"),
        pytest.param(keyword_caller, id="keyword", marks=keywords),
    ],
)
def test_errors_through_specialised_site_leave_it_working(caller):
    warm(caller, 1, 2)
    assert EXPECTED in call_opnames(caller)
    with pytest.raises(TypeError):
        caller(1.5, 2)
    with pytest.raises(OverflowError):
        caller(-1, 2)
    # A stale error indicator would surface here as SystemError.
    assert caller(2**64 - 1, 1) == "0"
    assert caller(12345678901234567, 76543210987654321) == "88888889888888888"
    assert EXPECTED in call_opnames(caller)
