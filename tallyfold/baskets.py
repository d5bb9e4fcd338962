"""Baskets: transactions of labelled items, encoded once for the engines.

A `Baskets` holds the two parallel arrays the engines read (transaction codes as int64, item
ids as int32 in 0 .. n_items-1), the item labels (position = item id) and the number of
transactions. It is built from a long table of (transaction, item) rows in pandas, polars or
pyarrow, from lists of labels, or from a one-hot table, and it never changes afterwards.
"""

from __future__ import annotations

from collections.abc import Hashable, Iterable, Sequence
from itertools import chain
from typing import Any

import narwhals as nw
import numpy as np
import pandas as pd
import pyarrow as pa

from . import _encoding
from . import _validation as check

_INT32_LIMIT = 2**31


class Baskets:
    """Transactions of labelled items, encoded as the mining functions read them.

    Build one with `from_long`, `from_lists`, `from_onehot` or `read_baskets`; the
    constructor itself takes arrays that are already encoded.

    Parameters
    ----------
    txn_ids : array_like of int
        Transaction of each row (any int64 values; rows of one transaction need not be
        adjacent).
    item_ids : array_like of int
        Item id of each row, in ``0 .. len(item_labels) - 1``. A repeated (transaction, item)
        row counts once.
    item_labels : sequence of hashable
        The label of each item id; labels must be distinct.
    n_transactions : int, optional
        Number of transactions, at least the number of distinct ``txn_ids``; larger values
        stand for empty baskets, which count in supports. Default: the distinct ``txn_ids``.

    Attributes
    ----------
    txn_ids : numpy.ndarray of int64
        Read-only view of the transaction codes.
    item_ids : numpy.ndarray of int32
        Read-only view of the item ids.
    item_labels : tuple
        Label of each item id.
    n_items : int
        Number of item labels.
    n_transactions : int
        Number of transactions (also ``len(baskets)``), empty baskets included.

    Examples
    --------
    >>> import tallyfold as tf
    >>> b = tf.Baskets.from_lists([["milk", "bread"], ["milk", "eggs"], ["bread"]])
    >>> b
    Baskets(3 transactions, 3 items, 5 rows)
    >>> b.item_labels
    ('bread', 'eggs', 'milk')
    >>> b.item_counts.tolist()
    [2, 1, 2]
    """

    __slots__ = ("_txn_ids", "_item_ids", "_item_labels", "_n_transactions", "_n_occupied",
                 "_item_counts")

    def __init__(self, txn_ids: Any, item_ids: Any, item_labels: Sequence[Hashable],
                 n_transactions: int | None = None) -> None:
        txn = _int_array(txn_ids, "txn_ids", np.int64)
        items = _int_array(item_ids, "item_ids", np.int32)
        if txn.shape != items.shape:
            check.fail_text(ValueError, "item_ids", f"{txn.shape[0]} entries like txn_ids",
                            f"{items.shape[0]}")
        if isinstance(item_labels, (str, bytes)) or not isinstance(item_labels, Iterable):
            check.fail(TypeError, "item_labels", "a sequence of labels", item_labels)
        labels = tuple(item_labels)
        if len(labels) >= _INT32_LIMIT:
            check.fail_text(ValueError, "item_labels", "fewer than 2**31 labels",
                            f"{len(labels)}")
        if len(set(labels)) != len(labels):
            check.fail_text(ValueError, "item_labels", "distinct labels", "a repeated label")
        if items.shape[0] and (items.min() < 0 or items.max() >= len(labels)):
            bad = items[(items < 0) | (items >= len(labels))][0]
            check.fail_text(ValueError, "item_ids", f"ids in 0..{len(labels) - 1}",
                            f"{int(bad)}")
        distinct = int(np.unique(txn).shape[0])
        if n_transactions is None:
            n_transactions = distinct
        elif not check.is_integer(n_transactions):
            check.fail(TypeError, "n_transactions", "an int", n_transactions)
        elif n_transactions < distinct:
            check.fail_text(ValueError, "n_transactions",
                            f"at least the {distinct} distinct txn_ids", f"{n_transactions}")
        self._set(txn, items, labels, int(n_transactions), distinct)

    def _set(self, txn: np.ndarray, items: np.ndarray, labels: tuple, n: int,
             n_occupied: int) -> None:
        txn = txn.view()
        txn.flags.writeable = False
        items = items.view()
        items.flags.writeable = False
        self._txn_ids = txn
        self._item_ids = items
        self._item_labels = labels
        self._n_transactions = n
        # Transactions with at least one row: the engines see only these.
        self._n_occupied = n_occupied
        self._item_counts: np.ndarray | None = None

    @classmethod
    def _trusted(cls, txn: np.ndarray, items: np.ndarray, labels: tuple, n: int,
                 n_occupied: int | None = None) -> Baskets:
        """Wrap arrays the factories encoded themselves, skipping the constructor's checks."""
        self = cls.__new__(cls)
        self._set(np.ascontiguousarray(txn, dtype=np.int64),
                  np.ascontiguousarray(items, dtype=np.int32), labels, n,
                  n if n_occupied is None else n_occupied)
        return self

    # -- factories ------------------------------------------------------------------------

    @classmethod
    def from_long(cls, data: Any, transaction: Hashable, item: Hashable) -> Baskets:
        """Baskets from a long table with one (transaction, item) pair per row.

        Parameters
        ----------
        data : pandas.DataFrame, polars.DataFrame or LazyFrame, pyarrow.Table
            The table; other columns are ignored.
        transaction : hashable
            Name of the column identifying the transaction (any type; values are compared
            for equality only).
        item : hashable
            Name of the column holding the item labels. A categorical or dictionary column is
            used as it is: its categories become the item labels in their order, unused
            ones included. Otherwise ids follow the sorted labels when the labels sort among
            themselves, first appearance when they do not.

        Returns
        -------
        Baskets

        Raises
        ------
        TypeError
            If ``data`` is not a table of a supported library.
        ValueError
            If a column is missing or holds nulls.

        Examples
        --------
        >>> import pandas as pd
        >>> import tallyfold as tf
        >>> df = pd.DataFrame({"order": [1, 1, 2], "product": ["tea", "milk", "tea"]})
        >>> b = tf.Baskets.from_long(df, transaction="order", item="product")
        >>> len(b), b.item_labels
        (2, ('milk', 'tea'))
        """
        frame = _frame(data, "data")
        if transaction == item:
            check.fail_text(ValueError, "item", "a column other than the transaction column",
                            repr(item))
        txn_col = _column(frame, transaction, "transaction")
        item_col = _column(frame, item, "item")
        txn_codes, n_transactions = _encoding.first_seen_codes(_values(txn_col))
        item_codes, labels = _encode_items(item_col)
        return cls._trusted(txn_codes, item_codes, labels, n_transactions)

    @classmethod
    def from_lists(cls, baskets: Iterable[Iterable[Hashable]]) -> Baskets:
        """Baskets from an iterable of baskets, each an iterable of hashable labels.

        Every basket is a transaction, an empty one included (it counts in supports, as a
        row of False in a one-hot table does). A label repeated within a basket counts once.

        Parameters
        ----------
        baskets : iterable of iterables of hashable
            For example a list of lists of str. A str is not taken as a basket of
            characters: it raises TypeError.

        Returns
        -------
        Baskets

        Examples
        --------
        >>> import tallyfold as tf
        >>> b = tf.Baskets.from_lists([[3, 1], [1], []])
        >>> len(b), b.item_labels, b.txn_ids.tolist(), b.item_ids.tolist()
        (3, (1, 3), [0, 0, 1], [1, 0, 0])
        """
        if isinstance(baskets, (str, bytes)) or not isinstance(baskets, Iterable):
            check.fail(TypeError, "baskets", "an iterable of baskets", baskets)
        materialised = [b if isinstance(b, (list, tuple, set, frozenset)) else _basket(b)
                        for b in baskets]
        if any(issubclass(kind, (str, bytes)) for kind in set(map(type, materialised))):
            position = next(i for i, b in enumerate(materialised) if isinstance(b, (str, bytes)))
            check.fail(TypeError, f"baskets[{position}]", "an iterable of labels, not a string",
                       materialised[position])
        lengths = np.fromiter(map(len, materialised), dtype=np.int64, count=len(materialised))
        flat = _encoding.object_array(list(chain.from_iterable(materialised)))
        _reject_null_labels(flat, lengths)
        try:
            item_codes, labels = _encoding.encode_objects(flat)
        except TypeError as exc:  # an unhashable label
            raise TypeError(f"baskets: expected hashable labels, got {exc}") from exc
        txn = np.repeat(np.arange(lengths.shape[0], dtype=np.int64), lengths)
        return cls._trusted(txn, item_codes, labels, int(lengths.shape[0]),
                            int(np.count_nonzero(lengths)))

    @classmethod
    def from_onehot(cls, data: Any) -> Baskets:
        """Baskets from a one-hot table: one row per transaction, one column per item.

        This is the input of mlxtend's ``apriori`` and ``fpgrowth``. Column names are the item
        labels; cells are bool, or integers 0 and 1. A row without any True counts as an
        empty transaction.

        Parameters
        ----------
        data : pandas.DataFrame, polars.DataFrame or LazyFrame, pyarrow.Table

        Returns
        -------
        Baskets

        Raises
        ------
        TypeError
            If a column is neither bool nor integer.
        ValueError
            If a cell is null or an integer other than 0 and 1, or column names repeat.

        Examples
        --------
        >>> import pandas as pd
        >>> import tallyfold as tf
        >>> onehot = pd.DataFrame({"tea": [True, True, False], "milk": [True, False, False]})
        >>> b = tf.Baskets.from_onehot(onehot)
        >>> len(b), b.item_labels, b.item_counts.tolist()
        (3, ('milk', 'tea'), [1, 2])
        """
        frame = _frame(data, "data")
        labels = list(frame.columns)
        if len(set(labels)) != len(labels):
            check.fail_text(ValueError, "data", "distinct column names", "a repeated name")
        if len(labels) >= _INT32_LIMIT:
            check.fail_text(ValueError, "data", "fewer than 2**31 columns", f"{len(labels)}")
        n_rows = frame.shape[0]
        schema = frame.schema
        rows, cols = [], []
        for position, name in enumerate(labels):
            dtype = schema[name]
            if not (dtype == nw.Boolean or dtype.is_integer()):
                check.fail_text(TypeError, f"data[{name!r}]", "bool or 0/1 integer cells",
                                f"dtype {dtype}")
            column = frame[name]
            if column.null_count():
                check.fail_text(ValueError, f"data[{name!r}]", "no null cells",
                                f"{column.null_count()} nulls")
            values = column.to_numpy()
            if dtype.is_integer() and not np.isin(values, (0, 1)).all():
                check.fail_text(ValueError, f"data[{name!r}]", "bool or 0/1 integer cells",
                                "other integers")
            hits = np.flatnonzero(values)
            rows.append(hits)
            cols.append(np.full(hits.shape[0], position, dtype=np.int64))
        txn = np.concatenate(rows) if rows else np.zeros(0, dtype=np.int64)
        item = np.concatenate(cols) if cols else np.zeros(0, dtype=np.int64)
        order = _encoding.sortable_order(labels)
        if order is not None:
            item = _encoding.ranks(order)[item]
            labels = [labels[i] for i in order]
        # Row-major order keeps each basket's rows together, as the other factories do.
        by_row = np.argsort(txn, kind="stable")
        occupied = int(np.count_nonzero(np.bincount(txn, minlength=n_rows)))
        return cls._trusted(txn[by_row], item[by_row], tuple(labels), int(n_rows), occupied)

    # -- views ----------------------------------------------------------------------------

    @property
    def txn_ids(self) -> np.ndarray:
        """Transaction code of each row (int64, read-only)."""
        return self._txn_ids

    @property
    def item_ids(self) -> np.ndarray:
        """Item id of each row (int32, read-only)."""
        return self._item_ids

    @property
    def item_labels(self) -> tuple:
        """Label of each item id."""
        return self._item_labels

    @property
    def n_items(self) -> int:
        """Number of item labels (ids run from 0 to n_items - 1)."""
        return len(self._item_labels)

    @property
    def n_transactions(self) -> int:
        """Number of transactions, empty ones included."""
        return self._n_transactions

    @property
    def n_rows(self) -> int:
        """Number of (transaction, item) rows, repeats included."""
        return int(self._item_ids.shape[0])

    @property
    def item_counts(self) -> np.ndarray:
        """Number of transactions holding each item id (int64; a repeated row counts once)."""
        if self._item_counts is None:
            self._item_counts = _distinct_item_counts(self._txn_ids, self._item_ids,
                                                      self.n_items)
        return self._item_counts

    def _learn_item_counts(self, counts: np.ndarray) -> None:
        """Keep per-item counts an engine has just computed, to spare a second pass."""
        if self._item_counts is None and counts.shape == (self.n_items,):
            counts = counts.astype(np.int64, copy=True)
            counts.flags.writeable = False
            self._item_counts = counts

    def __len__(self) -> int:
        return self._n_transactions

    def __repr__(self) -> str:
        return (f"Baskets({self._n_transactions:,} transactions, {self.n_items:,} items, "
                f"{self.n_rows:,} rows)")


# -- helpers ------------------------------------------------------------------------------

def _int_array(values: Any, name: str, dtype: type) -> np.ndarray:
    try:
        arr = np.asarray(values)
    except Exception as exc:  # a ragged or otherwise unconvertible input
        raise TypeError(f"{name}: expected a 1-D integer array, got {check.describe(values)}"
                        ) from exc
    if arr.ndim != 1 or not (arr.dtype.kind in "iu" or arr.shape[0] == 0):
        check.fail(TypeError, name, "a 1-D integer array", values)
    if arr.shape[0] and arr.dtype.kind == "u" and arr.max() > np.iinfo(dtype).max:
        check.fail_text(ValueError, name, f"values that fit {np.dtype(dtype).name}",
                        "a larger value")
    if arr.shape[0] and arr.dtype.kind == "i" and (arr.min() < np.iinfo(dtype).min
                                                   or arr.max() > np.iinfo(dtype).max):
        check.fail_text(ValueError, name, f"values that fit {np.dtype(dtype).name}",
                        "a value out of range")
    return np.ascontiguousarray(arr, dtype=dtype)


def _basket(basket: Any) -> Any:
    if isinstance(basket, (str, bytes)):
        return basket  # reported by the caller with its position
    try:
        return list(basket)
    except TypeError:
        check.fail(TypeError, "baskets", "an iterable of baskets (iterables of labels)", basket)


def _reject_null_labels(flat: np.ndarray, lengths: np.ndarray) -> None:
    missing = pd.isna(flat)
    if missing.any():
        row = int(np.searchsorted(np.cumsum(lengths), np.flatnonzero(missing)[0], side="right"))
        check.fail_text(ValueError, f"baskets[{row}]", "labels that are not None or NaN",
                        "a missing label")


def _frame(data: Any, name: str) -> nw.DataFrame:
    try:
        frame = nw.from_native(data)
    except TypeError:
        check.fail(TypeError, name, "a pandas, polars or pyarrow table", data)
    if isinstance(frame, nw.LazyFrame):
        frame = frame.collect()
    if not isinstance(frame, nw.DataFrame):
        check.fail(TypeError, name, "a pandas, polars or pyarrow table", data)
    return frame


def _column(frame: nw.DataFrame, name: Hashable, argument: str) -> nw.Series:
    if name not in frame.columns:
        shown = ", ".join(repr(c) for c in frame.columns[:10])
        more = ", ..." if len(frame.columns) > 10 else ""
        check.fail_text(ValueError, argument, f"a column of data ({shown}{more})", repr(name))
    column = frame[name]
    nulls = column.null_count()
    if nulls:
        check.fail_text(ValueError, argument, f"no nulls in column {name!r}",
                        f"{nulls} null{'s' if nulls > 1 else ''}")
    return column


def _values(column: nw.Series) -> pa.Array | pa.ChunkedArray | np.ndarray:
    """The column as Arrow data; as NumPy objects when Arrow cannot hold it (mixed types)."""
    try:
        return column.to_arrow()
    except (pa.ArrowException, TypeError, ValueError):
        return column.to_numpy()


def _encode_items(column: nw.Series) -> tuple[np.ndarray, tuple]:
    values = _values(column)
    if isinstance(values, np.ndarray):
        codes, labels = _encoding.encode_objects(values)
    elif pa.types.is_nested(values.type):
        check.fail_text(TypeError, "item", "a column of hashable labels",
                        f"Arrow type {values.type}")
    else:
        codes, labels = _encoding.encode_arrow(values)
    if len(labels) >= _INT32_LIMIT:
        check.fail_text(ValueError, "item", "fewer than 2**31 distinct labels", f"{len(labels)}")
    return codes, labels


def _distinct_item_counts(txn: np.ndarray, items: np.ndarray, n_items: int) -> np.ndarray:
    if n_items == 0 or txn.shape[0] == 0:
        counts = np.zeros(n_items, dtype=np.int64)
    else:
        _, txn_codes = np.unique(txn, return_inverse=True)
        pairs = np.unique(txn_codes.astype(np.int64) * n_items + items)
        counts = np.bincount(pairs % n_items, minlength=n_items).astype(np.int64)
    counts.flags.writeable = False
    return counts
