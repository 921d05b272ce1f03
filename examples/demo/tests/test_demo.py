import inspect

import demo
import pytest


def test_module():
    assert demo.__doc__ == "A demo module."
    assert demo.__all__ == ["add"]
    assert str(inspect.signature(demo.add)) == "(a, b)"


@pytest.mark.parametrize("a, b, total", [(1, 2, "3"), (2**64 - 1, 1, "0")])
def test_add(a, b, total):
    assert demo.add(a, b) == total
    assert demo.add(b=b, a=a) == total


@pytest.mark.parametrize(
    "args, error, text",
    [
        ((1,), TypeError, "add() missing 1 required positional argument: 'b'"),
        ((1.5, 2), TypeError, "argument 'a': 'float' object cannot be interpreted as an integer"),
        ((-1, 2), OverflowError, "can't convert negative int to unsigned"),
    ],
)
def test_errors(args, error, text):
    with pytest.raises(error) as info:
        demo.add(*args)
    assert str(info.value) == text
