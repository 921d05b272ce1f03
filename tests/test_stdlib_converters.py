"""The standard library's containers and values, both ways, against the interpreter's own
conversions."""

import array
import collections
import datetime
import importlib.util
import operator
import os
import pathlib
import sys
import types

import pytest

import _krenn_testing as t


def error_of(call, *args):
    try:
        call(*args)
    except BaseException as e:
        return type(e), str(e)
    return None


class Seq(collections.abc.Sequence):
    def __init__(self, items, length=None):
        self.items, self.length = list(items), length

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return len(self.items) if self.length is None else self.length


class Map(collections.abc.Mapping):
    def __init__(self, d):
        self.d = d

    def __getitem__(self, k):
        return self.d[k]

    def __iter__(self):
        return iter(self.d)

    def __len__(self):
        return len(self.d)


MANY = list(range(-50, 50))
ROUND_TRIPS = [
    (t.as_vector, [[], [1], MANY, (1, 2), range(3), array.array("q", [4, 5]), Seq([7]),
                   collections.deque([8, 9]), [True, 2**40]], list),
    (t.as_vector_bool, [[], [True, False, True]], list),
    (t.as_nested, [[], [[]], [[1], (2, 3)], [range(2), Seq([4])]], lambda v: [list(x) for x in v]),
    (t.as_array, [[1, 2, 3], (4, 5, 6), Seq([7, 8, 9])], list),
    (t.as_list, [[], ["a"], ("é", "b" * 100)], list),
    (t.as_deque, [[1.5, 2], (3,)], lambda v: [float(x) for x in v]),
    (t.as_map, [{}, {"a": [1.0, 2]}, collections.OrderedDict(b=(3,)),
                types.MappingProxyType({"c": []}), Map({"d": [4.5]})],
     lambda v: {k: [float(x) for x in xs] for k, xs in v.items()}),
    (t.as_umap, [{}, {1: "x", -2: "y"}, Map({3: "z"})], dict),
    (t.as_set, [set(), {1, 2}, frozenset({3}), [4, 4, 5], {8: 0}], set),
    (t.as_uset, [{"a"}, "ab", ["c", "c"]], set),
    (t.as_pair, [(1, "a"), [2, "b"], Seq([3, "c"])], tuple),
    (t.as_tuple, [(1, 2, "x"), [3, 4.5, "y"]], lambda v: (v[0], float(v[1]), v[2])),
    (t.as_labels, [["a", "b"], ("c",)], list),
]  # fmt: skip


@pytest.mark.parametrize(
    "function, value, expected",
    [(f, v, convert) for f, values, convert in ROUND_TRIPS for v in values],
)
def test_round_trip_as_the_interpreter_converts(function, value, expected):
    result = function(value)
    assert result == expected(value) and type(result) is type(expected(value))


NOT_INT = error_of(operator.index, "s")[1]
NOT_STR = "'int' object cannot be converted to 'PyString'"
NOT_FLOAT = "must be real number, not str"


@pytest.mark.parametrize(
    "function, value, path, text",
    [
        (t.as_vector, ["s", 1, 2], "item 0", NOT_INT),
        (t.as_vector, [0, "s", 2], "item 1", NOT_INT),
        (t.as_vector, (0, 1, "s"), "item 2", NOT_INT),
        (t.as_vector, Seq([0, "s"]), "item 1", NOT_INT),
        (t.as_nested, [[1], [2, "s"]], "item 1: item 1", NOT_INT),
        (t.as_nested, [[1], 2], "item 1", "'int' object cannot be converted to 'Sequence'"),
        (t.as_list, ["a", 1], "item 1", NOT_STR),
        (t.as_array, [1, 2, "s"], "item 2", NOT_INT),
        (t.as_map, {"a": [1.0], "b": [2.0, "s"]}, "value for key 'b': item 1", NOT_FLOAT),
        (t.as_map, {1: []}, "key 1", NOT_STR),
        (t.as_umap, Map({"k": "v"}), "key 'k'", NOT_INT),
        (t.as_umap, {1: 2}, "value for key 1", NOT_STR),
        (t.as_set, "generator", "item 1", NOT_INT),
        (t.as_pair, (1, 2), "item 1", NOT_STR),
        (t.as_tuple, [1, "s", "x"], "item 1", NOT_FLOAT),
        (t.as_labels, ["a", 1], "item 1", "'int' object cannot be converted to 'Label'"),
    ],
)
def test_an_elements_error_names_its_place(function, value, path, text):
    if value == "generator":  # a fresh one each run: a run consumes it
        value = (x for x in [1, "s"])
    assert error_of(function, value) == (TypeError, f"argument 'x': {path}: {text}")


@pytest.mark.parametrize(
    "function, value, text",
    [
        (t.as_vector, "abc", "'str' object cannot be converted to 'Sequence'"),
        (t.as_vector, b"ab", "'bytes' object cannot be converted to 'Sequence'"),
        (t.as_vector, bytearray(b"a"), "'bytearray' object cannot be converted to 'Sequence'"),
        (t.as_vector, {1, 2}, "'set' object cannot be converted to 'Sequence'"),
        (t.as_vector, (x for x in ()), "'generator' object cannot be converted to 'Sequence'"),
        (t.as_array, [1, 2], "expected 3 items, got 2"),
        (t.as_pair, (1, "a", 2), "expected 2 items, got 3"),
        (t.as_map, [("a", [])], "'list' object cannot be converted to 'Mapping'"),
        (t.as_set, 5, "'int' object is not iterable"),
        (t.as_variant, {}, "'dict' object cannot be converted to "
         "'None | int | float | str | collections.abc.Sequence[int]'"),
    ],
)  # fmt: skip
def test_what_is_refused(function, value, text):
    assert error_of(function, value) == (TypeError, f"argument 'x': {text}")


class Index:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


def test_only_type_errors_get_the_path():
    # The interpreter's own range error, and errors of Python code, pass as they were.
    assert error_of(t.as_vector, [1, 2**70]) == error_of(t.as_vector, [2**70])
    assert error_of(t.as_vector, [1, 2**70])[0] is OverflowError
    error = ValueError("mine")
    with pytest.raises(ValueError) as caught:
        t.as_vector([0, Index(error)])
    assert caught.value is error
    with pytest.raises(KeyboardInterrupt):
        t.as_map({"a": [KeyboardInterruptFloat()]})
    # A TypeError of Python code is named, as an argument's is, and caused as it was.
    cause = KeyError("cause")
    error = TypeError("bad index")
    error.__cause__ = cause
    with pytest.raises(TypeError) as caught:
        t.as_nested([[], [Index(error)]])
    assert str(caught.value) == "argument 'x': item 1: item 0: bad index"
    assert caught.value.__cause__ is cause


class KeyboardInterruptFloat:
    def __float__(self):
        raise KeyboardInterrupt


class Lying(Seq):
    def __len__(self):
        return self.length


class Growing:
    """An int whose conversion changes the list it is in."""

    def __init__(self, target, change):
        self.target, self.change = target, change

    def __index__(self):
        self.change(self.target)
        return 1


def test_sequences_that_lie_or_change():
    # __len__ is only a guess for the interpreter too: the items are what iteration gives.
    assert t.as_vector(Lying([1, 2, 3], length=1)) == [1, 2, 3]
    assert t.as_vector(Lying([1, 2], length=10**6)) == [1, 2]
    assert t.as_set(x for x in (6, 7)) == {6, 7}
    assert error_of(t.as_vector, Lying([1], length=-1)) == error_of(list, Lying([1], length=-1))
    # A list cleared or grown while its items convert: what is there when each item is read.
    items = [0, None, 5, 6]
    items[1] = Growing(items, lambda xs: xs.__delitem__(slice(2, None)))
    assert t.as_vector(items) == [0, 1]
    items = [None, 2]
    items[0] = Growing(items, lambda xs: xs.append(3))
    assert t.as_vector(items) == [1, 2, 3]
    items = [1, 2, None]
    items[2] = Growing(items, lambda xs: xs.clear())
    assert t.as_array(items) == [1, 2, 1]
    items = [None, "a"]
    items[0] = Growing(items, lambda xs: xs.pop())
    assert error_of(t.as_pair, items) == (TypeError, "argument 'x': expected 2 items, got 1")


def test_a_dict_changed_while_converting():
    def made(change):
        d = {}
        d[Growing(d, change)] = "a"
        d[5] = "b"
        return d

    def grow(m):
        m.update(dict.fromkeys(range(10, 20), "x"))

    def walk(m):
        return [operator.index(k) for k in m]

    # A key's conversion adds keys: the interpreter's own error for such a walk.
    assert error_of(t.as_umap, made(grow)) == error_of(walk, made(grow))
    # One that only replaces a value: the values read are the ones there when read.
    assert t.as_umap(made(lambda m: m.__setitem__(5, "c"))) == {1: "a", 5: "c"}


@pytest.mark.parametrize(
    "value, expected",
    [(None, None), (3, 3), (2.5, 2.5), ("s", "s"), ([1, 2], [1, 2]), ((1,), [1]), (True, 1),
     (10**30, 1e30), (Index(TypeError()), None)],
)  # fmt: skip
def test_variant_takes_the_first_that_fits(value, expected):
    if isinstance(value, Index):
        assert error_of(t.as_variant, value)[0] is TypeError
        return
    result = t.as_variant(value)
    assert result == expected and type(result) is type(expected)


def test_paths():
    for value in ["/tmp/a b", "é/ü", pathlib.PurePosixPath("x/y"), b"raw", "."]:
        result = t.as_path(value)
        assert type(result) is type(pathlib.Path()) and os.fspath(result) == os.fsdecode(value)
    surrogate = os.fsdecode(b"\xff")
    assert os.fsencode(t.as_path(surrogate)) == b"\xff"
    for value in [3, None]:
        assert error_of(t.as_path, value) == (
            TypeError,
            f"argument 'x': {error_of(os.fspath, value)[1]}",
        )
    # As the interpreter's path conversion refuses it (os.stat words it its own way on 3.13).
    kind, text = error_of(t.as_path, "a\0b")
    assert kind is ValueError and "embedded null" in text


TD = datetime.timedelta


@pytest.mark.parametrize(
    "function, value, expected",
    [
        (t.as_seconds, 1.5, TD(seconds=1.5)),
        (t.as_seconds, 2, TD(seconds=2)),
        (t.as_seconds, TD(days=-1, microseconds=3), TD(days=-1, microseconds=3)),
        (t.as_ns, TD(microseconds=-1), TD(microseconds=-1)),
        (t.as_ns, TD(days=100_000, microseconds=7), TD(days=100_000, microseconds=7)),
        (t.as_ns, 1.0000000015, TD(seconds=1)),
        (t.as_ns, 0.0000015, TD(microseconds=2)),  # 1500 ns, half to even as timedelta rounds
        (t.as_ns, 0.0000025, TD(microseconds=2)),
        (t.as_minutes, TD(seconds=150), TD(minutes=2)),  # toward zero, as duration_cast
        (t.as_minutes, TD(seconds=-150), TD(minutes=-2)),
    ],
)
def test_durations(function, value, expected):
    assert function(value) == expected


@pytest.mark.parametrize(
    "function, value, error",
    [
        (t.as_ns, TD.max, (OverflowError, "duration out of range")),
        (t.as_ns, float("nan"), (ValueError, "cannot convert float NaN to integer")),
        (t.as_ns, 1e300, (OverflowError, "duration out of range")),
        (t.as_seconds, 1e300, (OverflowError, "duration out of range")),
        (t.as_minutes, 2**70, error_of(t.as_longlong, 2**70)),
        (t.as_seconds, "s", (TypeError, "argument 'x': must be real number, not str")),
    ],
)
def test_durations_out_of_range(function, value, error):
    assert error_of(function, value) == error


@pytest.mark.parametrize(
    "function, args",
    [
        (t.as_vector, ([1, 2**40],)),
        (t.as_nested, ([[1], (2, 3)],)),
        (t.as_map, ({"a": [1.0, 2]},)),
        (t.as_set, ([1, 2, 2**40],)),
        (t.as_tuple, ([1, 2, "x"],)),
        (t.as_variant, ("s",)),
        (t.as_labels, (["a", "b" * 50],)),
        (t.as_vector, ([1, "s"],)),
        (t.as_map, ({"a": ["s"]},)),
        (t.as_umap, (Map({1: 1}),)),
        (t.as_path, (pathlib.Path("p"),)),
        (t.as_seconds, (TD(1),)),
    ],
)
def test_reference_counts_hold_over_many_calls(function, args):
    def leaves(obj):
        if isinstance(obj, (list, tuple)):
            return [obj, *[x for item in obj for x in leaves(item)]]
        if isinstance(obj, dict):
            return [obj, *[x for kv in obj.items() for item in kv for x in leaves(item)]]
        return [obj]

    objects = [x for arg in args for x in leaves(arg)]
    before = [sys.getrefcount(x) for x in objects]
    for _ in range(10**5):
        try:
            function(*args)
        except TypeError:
            pass
    assert [sys.getrefcount(x) for x in objects] == before


def test_stubs():
    records = {r.split("\x1f")[1]: r.split("\x1f")[2:4] for r in t.stdlib_stub_records()}
    seq, mapping = "collections.abc.Sequence", "collections.abc.Mapping"
    assert records["as_nested"] == [f"x: {seq}[{seq}[int]]", "list[list[int]]"]
    assert records["as_map"] == [f"x: {mapping}[str, {seq}[float]]", "dict[str, list[float]]"]
    assert records["as_uset"] == ["x: collections.abc.Iterable[str]", "set[str]"]
    assert records["as_tuple"] == ["x: tuple[int, float, str]", "tuple[int, float, str]"]
    assert records["as_variant"] == [
        f"x: None | int | float | str | {seq}[int]",
        "None | int | float | str | list[int]",
    ]
    assert records["as_path"] == ["x: str | os.PathLike[str]", "pathlib.Path"]
    assert records["as_ns"] == ["x: datetime.timedelta | float", "datetime.timedelta"]


def test_stub_imports_the_modules_its_type_names_come_from():
    spec = importlib.util.spec_from_file_location(
        "krenn_stub", pathlib.Path(__file__).parents[1] / "frame/cmake/krenn_stub.py"
    )
    stub = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(stub)
    params = "xs: collections.abc.Sequence[int], s: str = 'a.b', f: float = 0.5"
    text = stub.render([["module", "m", "", "f"], ["function", "f", params, "pathlib.Path", ""]])
    assert "import collections.abc\nimport pathlib\n\n__all__" in text and "import a\n" not in text
