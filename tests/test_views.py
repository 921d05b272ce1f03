"""Views of Python containers: the elements the body reads, and the errors it meets, are the ones
the std container converters give."""

import collections
import sys
import types

import pytest

import _krenn_testing as t


def outcome(call, *args):
    try:
        return call(*args)
    except BaseException as e:
        return type(e), str(e)


class Index:
    """An int whose conversion runs change(target) first."""

    def __init__(self, target, change):
        self.target, self.change = target, change

    def __index__(self):
        self.change(self.target)
        return 1


def with_index(items, at, change):
    items = list(items)
    items[at] = Index(items, change)
    return items


def shrink(xs):
    del xs[1:]


# Each view with the std converter of the same element type.
SEQUENCES = [(t.view_ints, t.as_vector), (t.view_strs, t.as_list), (t.view_total, t.as_deque)]
# Made anew for each call: an element's conversion may change its list.
SEQ_VALUES = [
    lambda: [1, 2, 3], lambda: (4, 5), lambda: [], lambda: range(3),
    lambda: collections.UserList([6, 7]), lambda: (x for x in [1]), lambda: "ab", lambda: 5,
    lambda: ["s", 1, 2], lambda: [1, "s", 2], lambda: [1, 2, "s"], lambda: [1, 2**70],
    lambda: ["é", "\ud800"], lambda: [1.5, "s"], lambda: [True, 2.0],
    lambda: with_index([0, 0, 5, 6], 1, shrink), lambda: with_index([0, 5], 0, list.clear),
    lambda: with_index([0, 5], 0, lambda xs: xs.extend(range(100))),
]  # fmt: skip


@pytest.mark.parametrize("view, std", SEQUENCES)
@pytest.mark.parametrize("make", SEQ_VALUES)
def test_a_sequence_reads_as_its_std_converter(view, std, make):
    expected = outcome(std, make())
    if view is t.view_total and isinstance(expected, list):
        expected = sum(expected, 0.0)
    assert outcome(view, make()) == expected


def with_key(change):
    d = {}
    d[Index(d, change)] = "a"
    d[5] = "b"
    return d


MAP_VALUES = [
    lambda: {1: "a", -2: "é"}, lambda: {}, lambda: collections.UserDict({3: "z"}),
    lambda: types.MappingProxyType({4: "y"}), lambda: collections.OrderedDict({5: "x"}),
    lambda: {"k": "v"}, lambda: {1: "v", 2: 3}, lambda: {1: "v", 2: "w", 3: None},
    lambda: [(1, "a")], lambda: 5,
    lambda: with_key(lambda m: m.update(dict.fromkeys(range(10, 20), "x"))),
    lambda: with_key(lambda m: m.__setitem__(5, "c")),
]  # fmt: skip


@pytest.mark.parametrize("make", MAP_VALUES)
def test_a_mapping_reads_as_its_std_converter(make):
    expected, got = outcome(t.as_umap, make()), outcome(t.view_umap, make())
    assert (dict(got) if isinstance(got, list) else got) == expected


class S(str):
    pass


NOT_INT = "'str' object cannot be interpreted as an integer"


@pytest.mark.parametrize(
    "function, args, result",
    [
        # The body catches an element's error: what it read before, and the text.
        (t.view_caught, ([1, 2, "s", 4],), (2, f"argument 'x': item 2: {NOT_INT}")),
        (t.view_caught, ([1, 2],), (2, "")),
        (t.view_indexed, ((1, 2), 0), [1, 2]),
        (t.view_indexed, ([1, 2], 1), (IndexError, "argument 'x': index 2 out of range")),
        (t.view_indexed, ([1, "s"], 0), (TypeError, f"argument 'x': item 1: {NOT_INT}")),
        (t.view_total, (None,), 0.0),
        # str keys as views of their own UTF-8, in the mapping's order.
        (t.view_items, ({"b": 1, "é" * 40: 2, S("s"): 3, "t": True},),
         [("b", 1), ("é" * 40, 2), ("s", 3), ("t", 1)]),
        (t.view_items, (collections.UserDict({"m": 4}),), [("m", 4)]),
    ],
)  # fmt: skip
def test_what_bodies_read(function, args, result):
    assert outcome(function, *args) == result


@pytest.mark.parametrize(
    "function, args",
    [
        (t.view_ints, ([1, 2**40],)),
        (t.view_ints, ([1, "s"],)),
        (t.view_strs, (("a", "é"),)),
        (t.view_total, (collections.UserList([1.0, 2]),)),
        (t.view_items, ({"a": 1, S("b"): 2},)),
        (t.view_umap, ({1: "a", 2: 3},)),
        (t.view_umap, (collections.UserDict({1: "a"}),)),
        (t.view_caught, ([1, "s"],)),
        (t.view_indexed, ([1, 2], 1)),
    ],
)
def test_reference_counts_hold_over_many_calls(function, args):
    objects = [*args, *(x for a in args if isinstance(a, (list, tuple, dict)) for x in a)]
    objects += [v for a in args if isinstance(a, dict) for v in a.values()]
    before = [sys.getrefcount(x) for x in objects]
    for _ in range(10**5):
        outcome(function, *args)
    assert [sys.getrefcount(x) for x in objects] == before


def test_stubs_name_them_as_the_std_containers():
    records = {r.split("\x1f")[1]: r.split("\x1f")[2] for r in t.stdlib_stub_records()}
    assert records["view_ints"] == records["as_vector"] == "x: collections.abc.Sequence[int]"
    assert records["view_items"] == "x: collections.abc.Mapping[str, int]"
    assert records["view_total"] == "x: collections.abc.Sequence[float] | None = None"
