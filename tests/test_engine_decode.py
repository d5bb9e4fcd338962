"""tallyfold._engine.itemsets_to_frozensets: rows of ids to frozensets of labels."""

import gc

import numpy as np
import pytest

from tallyfold import _engine
from engine_reference import table


class Label:
    """A label with its own hash and equality, to exercise arbitrary objects."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        return isinstance(other, Label) and other.name == self.name


LABELS = {
    "str": ["milk", "bread", "eggs", "tea"],
    "int": [10, 20, 30, 40],
    "mixed": ["milk", 2, (3, "x"), None],
    "objects": [Label("a"), Label("b"), Label("c"), Label("d")],
}

# Rows in lexicographic order (a prefix before its extensions) and in an order where no row
# follows its prefix: both must decode the same way.
ROWS = [(0,), (0, 1), (0, 1, 3), (0, 2), (1,), (1, 2, 3), (3,), (), (2, 3)]


@pytest.mark.parametrize("kind", list(LABELS))
@pytest.mark.parametrize("rows", [ROWS, ROWS[::-1]], ids=["lexicographic", "reversed"])
@pytest.mark.parametrize("as_tuple", [False, True], ids=["list", "tuple"])
def test_rows_decode_to_frozensets_of_labels(kind, rows, as_tuple):
    labels = LABELS[kind]
    items, offsets, _ = table([(r, 0.0) for r in rows])
    got = _engine.itemsets_to_frozensets(items, offsets, tuple(labels) if as_tuple else labels)
    assert got.dtype == object and got.shape == (len(rows),)
    assert got.tolist() == [frozenset(labels[i] for i in r) for r in rows]
    assert all(type(s) is frozenset for s in got)


@pytest.mark.parametrize("kind, tracked", [("str", False), ("int", False), ("mixed", True),
                                           ("objects", True)])
def test_only_sets_that_may_hold_a_cycle_stay_with_the_collector(kind, tracked):
    """Sets of strings and numbers cannot be in a reference cycle and are left out of the
    collector's walks; a set holding a tuple or an arbitrary object may be, and must stay."""
    items, offsets, _ = table([(r, 0.0) for r in ROWS])
    got = _engine.itemsets_to_frozensets(items, offsets, LABELS[kind])
    assert {gc.is_tracked(s) for s in got} == {tracked}


def test_prefix_match_needs_equal_ids_not_only_equal_length():
    """A row after a same-length row that is not its prefix gets its own labels."""
    rows = [(0, 1), (0, 1, 2), (0, 3), (1, 2, 3)]
    items, offsets, _ = table([(r, 0.0) for r in rows])
    got = _engine.itemsets_to_frozensets(items, offsets, ["a", "b", "c", "d"])
    assert got.tolist() == [frozenset("ab"), frozenset("abc"), frozenset("ad"), frozenset("bcd")]


def test_empty_table():
    got = _engine.itemsets_to_frozensets(np.zeros(0, np.int32), np.zeros(1, np.int64), [])
    assert got.shape == (0,) and got.dtype == object


def test_collector_state_is_restored():
    items, offsets, _ = table([((0,), 0.0)])
    gc.disable()
    try:
        _engine.itemsets_to_frozensets(items, offsets, ["a"])
        assert not gc.isenabled()
    finally:
        gc.enable()
    _engine.itemsets_to_frozensets(items, offsets, ["a"])
    assert gc.isenabled()


@pytest.mark.parametrize("bad_id", [4, -1])
def test_id_outside_labels_is_an_index_error(bad_id):
    items, offsets, _ = table([((0,), 0.0), ((0, bad_id), 0.0)])
    with pytest.raises(IndexError, match=r"items\[2\] = -?\d+ is not an index of labels"):
        _engine.itemsets_to_frozensets(items, offsets, ["a", "b", "c", "d"])


BAD = [
    ({"offsets": np.zeros(0, np.int64)}, ValueError, "at least one entry"),
    ({"offsets": np.array([0, 2, 1], np.int64)}, ValueError, r"offsets\[2\] = 1"),
    ({"offsets": np.array([0, 9], np.int64)}, ValueError, r"offsets\[1\] = 9"),
    ({"offsets": np.array([-1, 1], np.int64)}, ValueError, r"offsets\[0\] = -1"),
    ({"items": np.zeros(2, np.int64)}, TypeError, "argument 'items'"),
    ({"labels": {"a": 1}}, TypeError, "argument 'labels': expected a list or tuple"),
    ({"labels": "ab"}, TypeError, "argument 'labels'"),
]


@pytest.mark.parametrize("overrides,error,fragment", BAD)
def test_bad_arguments(overrides, error, fragment):
    args = dict(items=np.array([0, 1], np.int32), offsets=np.array([0, 1, 2], np.int64),
                labels=["a", "b"])
    args.update(overrides)
    with pytest.raises(error, match=fragment):
        _engine.itemsets_to_frozensets(**args)
