"""Bound C++ classes, held to what a Python class of the same signatures does."""

import gc
import inspect
import math
import os
import pickle
import subprocess
import sys
import weakref

import pytest

m = pytest.importorskip("_krenn_classes")


class Vec2:
    """The Python class that m.Vec2 stands for."""

    def __init__(self, x=0.0, y=0.0):
        self.x, self.y = float(x), float(y)

    def length(self):
        return math.hypot(self.x, self.y)

    def scaled(self, k):
        return Vec2(self.x * k, self.y * k)

    def scale_by(self, k):
        self.x, self.y = self.x * k, self.y * k

    @staticmethod
    def unit_x():
        return Vec2(1.0, 0.0)

    def __eq__(self, other):
        if not isinstance(other, Vec2):
            return NotImplemented
        return (self.x, self.y) == (other.x, other.y)


def outcome(call):
    try:
        return call()
    except Exception as e:  # noqa: BLE001: the outcome is what is compared
        return type(e), str(e).replace("positional argument but", "positional arguments but")


@pytest.mark.parametrize(
    "call",
    [
        lambda V: V(1.0, 2.0, 3.0),
        lambda V: V(z=1.0),
        lambda V: V(1.0, x=2.0),
        lambda V: V(3.0, 4.0).scaled(),
        lambda V: V(3.0, 4.0).scaled(1.0, 2.0),
        lambda V: V(3.0, 4.0).scaled(q=1.0),
        lambda V: V(3.0, 4.0).length(1.0),
        lambda V: V.unit_x(1),
        lambda V: V(3.0, 4.0).length(),
        lambda V: V(3.0, 4.0).scaled(k=2.0).x,
        lambda V: V(3.0, 4.0) == V(3.0, 4.0),
        lambda V: V(3.0, 4.0) != V(3.0, 4.5),
        lambda V: V(3.0, 4.0) == 3,
        lambda V: V(3.0, 4.0) < V(1.0, 1.0),
        lambda V: hash(V()),
    ],
)
def test_calls_and_errors_match_a_python_class(call):
    assert outcome(lambda: call(m.Vec2)) == outcome(lambda: call(Vec2))


def test_signatures_and_members():
    assert str(inspect.signature(m.Vec2)) == "(x=0.0, y=0.0)"
    v = m.Vec2(3.0, 4.0)
    assert str(inspect.signature(v.scaled)) == "(k)"
    assert m.Vec2.__doc__ == "A 2-D vector." and m.Vec2.length.__doc__ == "Its length."
    assert (v.x, v.y, m.Vec2.unit_x().x) == (3.0, 4.0, 1.0)
    v.x = 6.0
    v.scale_by(0.5)
    assert (v.x, v.y) == (3.0, 2.0)
    with pytest.raises(AttributeError):
        v.y = 1.0
    with pytest.raises(AttributeError, match="cannot delete attribute 'x'"):
        del v.x
    with pytest.raises(TypeError, match="argument 'x': must be real number, not str"):
        v.x = "a"
    assert m.__all__ == ["Vec2", "dot", "Shape", "Square", "area_of", "name_of", "Path"] + [
        "Grumpy",
        "Tracked",
        "live_count",
        "Num",
    ]


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: m.dot(1, m.Vec2()), "argument 'a': 'int' object cannot be converted to 'Vec2'"),
        (lambda: m.dot(m.Vec2(), None), "argument 'b': 'NoneType' object cannot be converted"),
        (lambda: m.area_of(m.Vec2()), "argument 'shape': 'Vec2' object cannot be converted"),
        (lambda: m.Path("x"), "Path.__init__() arguments match no constructor: (), (n), (a, b)"),
    ],
)
def test_wrong_objects_are_conversion_errors(call, error):
    with pytest.raises(TypeError) as caught:
        call()
    assert error in str(caught.value)


def test_instances_cross_both_ways():
    a, b = m.Vec2(1.0, 2.0), m.Vec2(3.0, 4.0)
    assert m.dot(a, b) == 11.0
    s = m.Square(3.0)
    assert (m.area_of(s), m.name_of(s), isinstance(s, m.Shape), s.name) == (
        9.0,
        "square",
        1,
        "square",
    )
    p = m.Path(a, b)
    copy = p.clone()  # a unique_ptr result: the instance owns it
    p[0] = b
    assert (copy[0], p[0]) == (a, b)
    assert (len(m.Path(3)), bool(m.Path()), str(p), hash(p), p(5)) == (3, False, "path of 2", 2, 10)
    assert a in copy and m.Vec2(9.0, 9.0) not in copy and p.sum_x() == 6.0 and p.count == 2
    with pytest.raises(IndexError, match="index"):
        p[5]
    with pytest.raises(TypeError, match="doesn't support item deletion"):
        del p[0]


def test_reference_internal_keeps_its_parent_alive():
    p = m.Path(m.Vec2(1.0, 2.0), m.Vec2(3.0, 4.0))
    first, alive = p.first(), weakref.ref(p)
    first.x = 10.0
    assert p[0].x == 10.0
    del p
    gc.collect()
    assert alive() is not None and first.x == 10.0
    del first
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize(
    "expr, want",
    [
        ("(a + b).v", 3.0),
        ("(a - b).v", -1.0),
        ("(a * 3).v", 3.0),
        ("(a / 2).v", 0.5),
        ("(-a).v", -1.0),
        ("a < b", True),
        ("a == Num(1.0)", True),
        ("a != b", True),
    ],
)
def test_operators(expr, want):
    assert eval(expr, {"a": m.Num(1.0), "b": m.Num(2.0), "Num": m.Num}) == want


def test_operands_that_do_not_convert_are_not_implemented():
    a = m.Num(1.0)
    for op in ("a + 1", "1 + a", "a * 'x'", "a < 1"):
        with pytest.raises(TypeError):
            eval(op)
    assert a.__add__(1) is NotImplemented and (a == 1) is False
    same = a
    a += m.Num(2.0)  # __iadd__ returns *this: the same object
    assert a is same and a.v == 3.0


def test_lifetimes_subclasses_and_unconstructed_instances():
    before = m.live_count()
    tracked = [m.Tracked() for _ in range(10)]
    refs = [weakref.ref(t) for t in tracked]
    assert m.live_count() == before + 10
    del tracked
    gc.collect()
    assert m.live_count() == before and all(r() is None for r in refs)

    class V3(m.Vec2):
        def norm(self):
            return self.length()

    assert V3(3.0, 4.0).norm() == 5.0 and m.dot(V3(1.0, 0.0), m.Vec2(2.0, 0.0)) == 2.0

    class Skipped(m.Vec2):
        def __init__(self):
            pass

    with pytest.raises(TypeError, match="'Skipped' object is not initialized"):
        Skipped().length()
    with pytest.raises(TypeError, match="cannot pickle"):
        pickle.dumps(m.Vec2())


def test_a_throwing_destructor_is_unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    m.Grumpy()
    assert [str(u.exc_value) for u in seen] == ["grumpy to the end"]


def test_classes_cross_modules():
    user = pytest.importorskip("_krenn_classes_user")
    assert user.norm1(m.Vec2(1.0, -2.0)) == 3.0 and type(user.diagonal(1.0)) is m.Vec2
    with pytest.raises(ImportError, match="already bound as '_krenn_classes.Vec2'"):
        import _krenn_classes_dup  # noqa: F401


def test_reference_counts_settle():
    v, p = m.Vec2(1.0, 2.0), m.Path(m.Vec2(), m.Vec2())
    before = sys.getrefcount(v), sys.getrefcount(p), sys.getrefcount(m.Vec2)
    for _ in range(100_000):
        v.scaled(2.0)
        m.dot(v, v)
        p.first()
        v == v  # noqa: B015
    assert (sys.getrefcount(v), sys.getrefcount(p), sys.getrefcount(m.Vec2)) == before


def test_the_stub_agrees_with_the_classes(tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "mypy.ini").write_text("[mypy]\n")
    where = os.path.dirname(m.__file__)
    env = {**os.environ, "MYPYPATH": where, "PYTHONPATH": where}
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", "mypy.ini", m.__name__],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300, check=False,
    )  # fmt: skip
    assert proc.returncode == 0, proc.stdout + proc.stderr
