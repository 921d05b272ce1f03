"""geo against Python classes of the same signatures (below), and what a type
checker sees of its stub."""

import gc
import inspect
import math
import os
import random
import struct
import subprocess
import sys
import textwrap
import weakref

import geo
import pytest


class Vec2:
    def __init__(self, x=0.0, y=0.0):
        self.x, self._y = float(x), float(y)

    def length(self):
        return math.hypot(self.x, self._y)

    def scaled(self, k):
        return Vec2(self.x * k, self._y * k)

    def scale_by(self, k):
        self.x, self._y = self.x * k, self._y * k

    def __repr__(self):
        return f"Vec2({self.x!r}, {self._y!r})"

    def __eq__(self, other, /):
        if not isinstance(other, Vec2):
            return NotImplemented
        return (self.x, self._y) == (other.x, other._y)

    def __add__(self, other, /):
        if not isinstance(other, Vec2):
            return NotImplemented
        return Vec2(self.x + other.x, self._y + other._y)

    def __neg__(self):
        return Vec2(-self.x, -self._y)

    @staticmethod
    def unit_x():
        return Vec2(1.0, 0.0)

    @property
    def y(self):
        return self._y


class Polygon:
    def __init__(self):
        self._points = []

    def add(self, point):
        self._points.append(Vec2(point.x, point.y))

    def __len__(self):
        return len(self._points)

    def __getitem__(self, index, /):
        if not -len(self) <= index < len(self):
            raise IndexError("Polygon index out of range")
        p = self._points[index]
        return Vec2(p.x, p.y)

    @property
    def area(self):
        n = len(self._points)
        twice = sum(
            a.x * b.y - b.x * a.y
            for a, b in ((self._points[i], self._points[(i + 1) % n]) for i in range(n))
        )
        return abs(twice) / 2


def dot(a, b):
    return a.x * b.x + a.y * b.y


REF = sys.modules[__name__]


def square(m):
    p = m.Polygon()
    for x, y in [(0, 0), (2, 0), (2, 1), (0, 1)]:
        p.add(m.Vec2(x, y))
    return p


def test_module():
    assert geo.__doc__ == "2-D geometry."
    assert geo.__all__ == ["Vec2", "Polygon", "dot"]


@pytest.mark.parametrize(
    "call",
    [
        lambda m: repr(m.Vec2()),
        lambda m: repr(m.Vec2(y=-0.5)),
        lambda m: m.Vec2(3, 4).length(),
        lambda m: repr(m.Vec2(1, 2).scaled(0.5)),
        lambda m: repr(m.Vec2(1, 2) + m.Vec2(0.25, 3)),
        lambda m: repr(-m.Vec2(1, 0.0)),
        lambda m: repr(m.Vec2.unit_x()),
        lambda m: m.dot(m.Vec2(1, 2), m.Vec2(3, 4)),
        lambda m: (m.Vec2(1, 2) == m.Vec2(1, 2), m.Vec2(1, 2) != m.Vec2(1, 3)),
        lambda m: (m.Vec2() == 0, m.Vec2() != "a", m.Vec2() == None),  # noqa: E711
        lambda m: (len(square(m)), repr(square(m)[1]), repr(square(m)[-1]), square(m).area),
        lambda m: (m.Polygon().area, len(m.Polygon()), bool(m.Polygon()), bool(square(m))),
    ],
)
def test_results_as_python(call):
    assert call(geo) == call(REF)


def outcome(call, m):
    with pytest.raises(Exception) as info:
        call(m)
    return type(info.value), str(info.value)


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.Vec2(1, 2, 3),
        lambda m: m.Vec2(1, x=2),
        lambda m: m.Vec2(z=1),
        lambda m: m.Vec2().scaled(),
        lambda m: m.Vec2().scaled(1, k=2),
        lambda m: m.Vec2.unit_x(1),
        lambda m: m.dot(m.Vec2()),
        lambda m: hash(m.Vec2()),
        lambda m: m.Vec2() + 1,
        lambda m: "a" + m.Vec2(),
        lambda m: m.Vec2() < m.Vec2(),
        lambda m: square(m)[4],
        lambda m: square(m)[-5],
        lambda m: m.Polygon().add(),
    ],
)
def test_errors_as_python(call):
    assert outcome(call, geo) == outcome(call, REF)


@pytest.mark.parametrize(
    "call, error, text",
    [
        (
            lambda: geo.dot(1, geo.Vec2()),
            TypeError,
            "argument 'a': 'int' object cannot be converted to 'Vec2'",
        ),
        (
            lambda: geo.Polygon().add(None),
            TypeError,
            "argument 'point': 'NoneType' object cannot be converted to 'Vec2'",
        ),
        (lambda: geo.Vec2("1"), TypeError, "argument 'x': must be real number, not str"),
        (
            lambda: square(geo)["0"],
            TypeError,
            "argument 'index': 'str' object cannot be interpreted as an integer",
        ),
        (
            lambda: setattr(geo.Vec2(), "x", None),
            TypeError,
            "argument 'x': must be real number, not NoneType",
        ),
        (lambda: delattr(geo.Vec2(), "x"), AttributeError, "cannot delete attribute 'x'"),
        (
            lambda: setattr(geo.Vec2(), "y", 1.0),
            AttributeError,
            "attribute 'y' of 'Vec2' objects is not writable",
        ),
        (
            lambda: setattr(square(geo), "area", 1.0),
            AttributeError,
            "attribute 'area' of 'Polygon' objects is not writable",
        ),
    ],
)
def test_conversion_errors(call, error, text):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == text


def test_signatures_as_python():
    for name in ["Vec2", "dot"]:
        assert inspect.signature(getattr(geo, name)) == inspect.signature(getattr(REF, name))
    for name in ["length", "scaled", "scale_by"]:
        bound = inspect.signature(getattr(geo.Vec2(), name))
        assert bound == inspect.signature(getattr(REF.Vec2(), name))
    assert geo.Vec2.scaled.__doc__ == "Scaled by k."
    assert geo.Vec2.y.__doc__ == "The y coordinate."


def floats():
    tricky = [0.0, -0.0, 1.0, 0.1, 1 / 3, 1e15, 1e16, 123456789012345678.0, 1e-4, 1e-5, 5e-324]
    tricky += [1.7976931348623157e308, 2.0**-1022, 1e22, 1e100, -2.5e-7, math.inf, -math.inf]
    rng = random.Random(25)
    bits = (struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(500))
    scaled = (rng.random() * 10.0 ** rng.randint(-20, 20) for _ in range(500))
    return tricky + [x for x in bits if not math.isnan(x)] + list(scaled)


def test_repr_is_pythons_float_repr():
    wrong = [x for x in floats() if repr(geo.Vec2(x, -x)) != f"Vec2({x!r}, {-x!r})"]
    assert not wrong
    assert repr(geo.Vec2(math.nan)) == "Vec2(nan, 0.0)"


def test_instances_cross_as_copies_or_in_place():
    v = geo.Vec2(1, 2)
    p = geo.Polygon()
    p.add(v)  # by value: the polygon keeps a copy
    v.x = 5.0
    assert p[0] == geo.Vec2(1, 2)
    p[0].x = 7.0  # a copy too
    assert p[0].x == 1.0
    same = v
    v.scale_by(2.0)  # in place, on the instance's own object
    assert same is v and v == geo.Vec2(10, 4) and v.y == 4.0
    assert v.scaled(0.5) is not v


def test_python_subclass():
    class V3(geo.Vec2):
        def __init__(self, x, y, z):
            super().__init__(x, y)
            self.z = z

    v = V3(1, 2, 3)
    assert isinstance(v, geo.Vec2) and v.z == 3
    assert geo.dot(v, v) == 5.0 and v == geo.Vec2(1, 2)
    assert type(v + v) is geo.Vec2

    class Skipped(geo.Vec2):
        def __init__(self):
            pass

    with pytest.raises(TypeError) as info:
        geo.dot(Skipped(), v)
    assert str(info.value) == (
        "'Skipped' object is not initialized: its class's __init__ was not called"
    )


def test_instances_die_with_their_last_reference():
    v = geo.Vec2(1, 2)
    dead = weakref.ref(v)
    p = square(geo)
    corner = weakref.ref(p[0])  # a copy that nothing holds
    del v, p
    gc.collect()
    assert dead() is None and corner() is None


# --- What a type checker sees --------------------------------------------------

mypy = pytest.importorskip("mypy", reason="mypy is not installed")


def run_mypy(tmp_path, *args):
    # Our own config, so none above the temp dir or in the home dir applies;
    # MYPYPATH would shadow the installed stub.
    (tmp_path / "mypy.ini").write_text("[mypy]\n")
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    config = ["--config-file" if args[0] == "mypy" else "--mypy-config-file", "mypy.ini"]
    proc = subprocess.run(
        [sys.executable, "-m", *args, *config],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    return proc.returncode, proc.stdout + proc.stderr


def test_stubtest_agrees_with_the_module(tmp_path):
    status, output = run_mypy(tmp_path, "mypy.stubtest", "geo")
    assert status == 0, output


# Each error is expected by its code; --strict warns about an unused ignore.
USER_SCRIPT = """\
import geo

v: geo.Vec2 = geo.Vec2(1.0, 2.0) + -geo.Vec2.unit_x()
v.x = 3.0
w = v.scaled(2.0)
w.scale_by(0.5)
n: float = geo.dot(v, w) + v.length() + v.y + w.x
equal: bool = v == 1
p = geo.Polygon()
p.add(v)
first: geo.Vec2 = p[-1]
size: int = len(p) + len(repr(first))
area: float = p.area
v.y = 1.0  # type: ignore[misc]
p.area = 1.0  # type: ignore[misc]
geo.dot(v, 1.0)  # type: ignore[arg-type]
v.scaled()  # type: ignore[call-arg]
bad: str = p[0]  # type: ignore[assignment]
geo.Polygon(v)  # type: ignore[call-arg]
"""


def test_mypy_strict_on_a_user_script(tmp_path):
    (tmp_path / "user.py").write_text(USER_SCRIPT)
    status, output = run_mypy(tmp_path, "mypy", "--strict", "user.py")
    assert status == 0, textwrap.indent(output, "  ")
