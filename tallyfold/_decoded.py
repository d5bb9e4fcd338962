"""Itemset columns this process decoded, so that rules need not encode them again.

`frequent_itemsets` remembers, for the object array behind its ``itemsets`` column, the item
rows it decoded that column from. `association_rules` looks the column up and, when every cell
still holds the very frozenset that was decoded, takes those rows instead of hashing every label
of every itemset again.

An entry lives as long as the column's array: a weak reference removes it when the frame goes.
It keeps its own references to the decoded frozensets, so none of them can be freed and its
address reused by another object while the entry exists; equal addresses therefore mean the
same, unchanged (immutable) frozensets. A column that was filtered, sorted or edited fails the
check and is encoded as any other frame is.
"""

from __future__ import annotations

import operator
import weakref
from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class DecodedRows:
    """The engine rows behind an itemset column.

    Row ``order[p]`` of ``items``/``offsets`` (ids ascending within each row) is the itemset
    at position ``p`` of the column; ``labels[i]`` is the label of item id ``i``.
    """

    items: np.ndarray
    offsets: np.ndarray
    order: np.ndarray
    labels: tuple
    originals: np.ndarray


_ENTRIES: dict[int, tuple[weakref.ref, DecodedRows]] = {}


def _forget(key: int) -> None:
    _ENTRIES.pop(key, None)


def remember(column: np.ndarray, rows: DecodedRows) -> None:
    """Note that ``column`` (an object array of frozensets) was decoded from ``rows``."""
    key = id(column)
    _ENTRIES[key] = (weakref.ref(column, lambda _ref: _forget(key)), rows)


def _same_objects(a: np.ndarray, b: np.ndarray) -> bool:
    """Whether every cell of ``a`` holds the very object of the same cell of ``b``."""
    # Identity cell by cell, stopping at the first difference: about 30 ns a cell, a quarter
    # of collecting and comparing the two columns' ids.
    return a.shape == b.shape and all(map(operator.is_, a, b))


def lookup(column: np.ndarray) -> DecodedRows | None:
    """The rows ``column`` was decoded from, if it still holds exactly those frozensets."""
    array = column
    while array is not None:
        entry = _ENTRIES.get(id(array))
        if entry is not None and entry[0]() is array:
            rows = entry[1]
            if _same_objects(rows.originals, column):
                return rows
            return None
        array = array.base if isinstance(array, np.ndarray) else None
    return None
