import inspect
import threading
import time

import demo
import pytest


def test_module():
    assert demo.__doc__ == "A demo module."
    assert demo.__all__ == [
        "add", "greet", "divide", "find", "nap", "word_counts", "mean", "apply_n", "twice",
        "Color", "ParseError", "parse_color", "VERSION",
    ]  # fmt: skip
    assert str(inspect.signature(demo.greet)) == "(name, times=1, *, shout=False)"


@pytest.mark.parametrize(
    "call, result",
    [
        (lambda: demo.add(2**64 - 1, 2), 1),
        (lambda: demo.greet("Ada"), "Hello, Ada!"),
        (lambda: demo.greet("Ada", 2, shout=True), "HELLO, Ada! HELLO, Ada!"),
        (lambda: demo.divide(1, 4), 0.25),
        (lambda: demo.find("naïve", "ve"), 4),
        (lambda: demo.find("abc", "x"), None),
        (lambda: demo.word_counts(("a", "b", "a")), {"a": 2, "b": 1}),
        (lambda: demo.mean(range(1, 5)), 2.5),
        (lambda: demo.apply_n(lambda x: x + 1, 1, 3), 4),
        (lambda: demo.apply_n(demo.twice, 1, 10), 1024),
        (lambda: demo.parse_color("green"), demo.Color.GREEN),
        (lambda: demo.VERSION, "1.0"),
    ],
)
def test_results(call, result):
    assert call() == result


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: demo.add(1), TypeError, "add() missing 1 required positional argument: 'b'"),
        (lambda: demo.add(-1, 2), OverflowError, "can't convert negative int to unsigned"),
        (
            lambda: demo.greet(1),
            TypeError,
            "argument 'name': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda: demo.greet("a", 1, True),
            TypeError,
            "greet() takes from 1 to 2 positional arguments but 3 were given",
        ),
        (lambda: demo.divide(1, "x"), TypeError, "argument 'b': must be real number, not str"),
        (lambda: demo.divide(1, 0), ValueError, "division by zero"),
        (
            lambda: demo.word_counts(["a", 1]),
            TypeError,
            "argument 'words': item 1: 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda: demo.mean([1.0, "x"]),
            TypeError,
            "argument 'xs': item 1: must be real number, not str",
        ),
        (lambda: demo.parse_color("pink"), demo.ParseError, "no color: pink"),
    ],
)
def test_errors(call, error, text):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == text


def test_items():
    assert [c.name for c in demo.Color] == ["RED", "GREEN", "BLUE"]
    assert issubclass(demo.ParseError, ValueError)


def test_nap_lets_other_threads_run():
    ticks = []
    worker = threading.Thread(target=lambda: demo.nap(0.3))
    worker.start()
    deadline = time.monotonic() + 0.2
    while time.monotonic() < deadline:
        ticks.append(1)
    worker.join()
    assert len(ticks) > 1000
