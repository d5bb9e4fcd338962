"""Exact mining of (transaction, item) rows held in a Dask DataFrame, on a cluster.

For data too large for one machine (partitioned Parquet of billions of rows): the functions
here take a ``dask.dataframe.DataFrame`` of long rows and return exactly what
`tallyfold.frequent_itemsets` and `tallyfold.pairs` return for the same rows on one machine:
the same columns, dtypes, row order, supports over the global number of transactions and the
same frozensets of labels. `tallyfold.association_rules` takes the itemsets frame unchanged.

How it stays exact whatever the partitioning:

1. The distinct items are gathered once and numbered with one dictionary for every
   partition (sorted labels when they sort among themselves, as the single-machine encoder
   numbers them), so item ids, and with them the order of equal supports, agree.
2. The rows of each transaction are brought into one partition by a shuffle on the
   transaction column. The shuffle is skipped when the transaction is the index and its
   divisions are known (``set_index`` or ``read_parquet(..., calculate_divisions=True)``):
   then no transaction spans two partitions.
3. Pairs: each partition counts its pairs and items natively; counts over disjoint
   transactions add up, and the metrics are computed once from the summed counts in the
   engine's own formulas (the floats equal the single-machine ones bit for bit).
4. Itemsets, in two passes over the partitions. Each partition mines its locally frequent
   itemsets at the same relative support; an itemset frequent overall is frequent in at
   least one partition, so the union of the local results holds every frequent itemset.
   The second pass counts every candidate in every partition, and those whose summed count
   reaches the global minimum are kept. Closed and maximal itemsets are then picked from
   that exact global result.

The tasks carry ``tallyfold-…`` names on the Dask dashboard; ``progress=True`` also shows a
bar per stage. A ``distributed.Client`` in scope runs the work on its cluster; without one,
Dask's local scheduler runs it.
"""

from __future__ import annotations

import os
from collections.abc import Hashable, Sequence
from contextlib import nullcontext
from typing import Any

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc

try:
    import dask
    import dask.dataframe as dd
    from dask.base import tokenize
    from dask.callbacks import Callback
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError("tallyfold.dask needs Dask: pip install 'tallyfold[dask]'") from exc

import _tallyfold
from tqdm.auto import tqdm

from . import _decoded, _encoding, _engine
from . import _validation as check
from ._bulk import gc_paused
from .baskets import _distinct_item_counts
from .itemsets import TARGETS
from .itemsets import _frame as _itemsets_frame
from .pairs import PAIR_METRICS
from .pairs import _frame as _pairs_frame
from .pairs import _with_transactions

__all__ = ["frequent_itemsets", "pairs", "read_baskets"]


# -- public functions -----------------------------------------------------------------------

def frequent_itemsets(ddf: dd.DataFrame, transaction: Hashable, item: Hashable,
                      min_support: float | int, max_len: int | None = None,
                      target: str = "all", *, threads: int | None = None,
                      progress: bool = False) -> pd.DataFrame:
    """Every itemset in at least ``min_support`` of the transactions of a Dask DataFrame.

    The result equals ``tallyfold.frequent_itemsets(Baskets.from_long(ddf.compute(),
    transaction, item), min_support, max_len, target)`` row for row.

    Parameters
    ----------
    ddf : dask.dataframe.DataFrame
        Long rows, one (transaction, item) pair each; other columns are ignored.
    transaction : hashable
        Column (or index name) identifying the transaction.
    item : hashable
        Column holding the item labels.
    min_support : float or int
        A fraction in (0, 1] of all transactions (minimum count ``ceil(min_support * N)``)
        or a count >= 1.
    max_len : int, optional
        Largest itemset size; None means no limit.
    target : {"all", "closed", "maximal"}
        As in `tallyfold.frequent_itemsets`, applied to the exact global result.
    threads : int, optional
        Bound on the native threads of each task; None uses every core of the worker.
    progress : bool
        Show a bar for each stage.

    Returns
    -------
    pandas.DataFrame
        Columns ``support``, ``count``, ``itemsets``, ``length``, sorted by support
        descending, then by itemset; ``attrs["n_transactions"]`` holds N.

    Raises
    ------
    TypeError, ValueError
        For a bad argument, a missing column or nulls, naming the argument.

    Examples
    --------
    >>> import pandas as pd
    >>> import dask.dataframe as dd
    >>> import tallyfold.dask as tfd
    >>> orders = pd.DataFrame({"order": [1, 1, 2, 2, 3, 3, 3],
    ...                        "product": ["milk", "bread", "milk", "eggs", "milk", "bread",
    ...                                    "eggs"]})
    >>> ddf = dd.from_pandas(orders, npartitions=2)
    >>> frequent = tfd.frequent_itemsets(ddf, transaction="order", item="product",
    ...                                  min_support=0.5)
    >>> frequent[["support", "count", "length"]]
        support  count  length
    0  1.000000      3       1
    1  0.666667      2       1
    2  0.666667      2       2
    3  0.666667      2       1
    4  0.666667      2       2
    >>> [sorted(itemset) for itemset in frequent["itemsets"]][:3]
    [['milk'], ['bread'], ['bread', 'milk']]
    """
    check.choice(target, "target", TARGETS)
    length_limit = check.optional_positive_int(max_len, "max_len", "no limit")
    pool = check.threads(threads)
    show = check.flag(progress, "progress")
    check.min_count(min_support, 1)  # type and range, before any work on the cluster
    data = _prepare(ddf, transaction, item, show)
    n = data.n_transactions
    min_count = check.min_count(min_support, n)
    if data.n_rows == 0 or min_count > n:
        return _itemsets_frame(np.zeros(0), np.zeros(0, np.int64), np.empty(0, dtype=object),
                               np.zeros(0, np.int64), n)

    # A frequent itemset reaches min_count / N in at least one partition: with integers,
    # count_p >= ceil(min_count * n_p / N) there, which is each partition's local threshold.
    local = [_mine_part(part, data.n_items, -(-min_count * n_p // n), length_limit, pool,
                        dask_key_name=(f"tallyfold-mine-partition-{data.token}", i))
             for i, (part, n_p) in enumerate(zip(data.parts, data.part_sizes)) if n_p > 0]
    candidates = _union(_run(local, "mining partitions", show))
    shared = dask.delayed(candidates, name=f"tallyfold-candidates-{data.token}")
    counting = [_count_part(part, data.n_items, shared, pool,
                            dask_key_name=(f"tallyfold-count-candidates-{data.token}", i))
                for i, (part, n_p) in enumerate(zip(data.parts, data.part_sizes)) if n_p > 0]
    counts = np.zeros(candidates[1].shape[0] - 1, dtype=np.int64)
    for part_counts in _run(counting, "counting candidates", show):
        counts += part_counts

    keep = np.flatnonzero(counts >= min_count)
    items, offsets = _take_rows(*candidates, keep)
    counts = counts[keep]
    if target != "all" and counts.shape[0]:
        kept = _engine.keep_target(items, offsets, counts, target, pool)
        items, offsets = _take_rows(items, offsets, kept)
        counts = counts[kept]
    order = np.argsort(-counts, kind="stable")
    with gc_paused():
        sets = _engine.itemsets_to_frozensets(items, offsets, data.labels)[order]
        frame = _itemsets_frame(counts[order] / float(n), counts[order], sets,
                                np.diff(offsets)[order], n)
    _decoded.remember(sets, _decoded.DecodedRows(items, offsets, order, data.labels,
                                                 sets.copy()))
    return frame


def pairs(ddf: dd.DataFrame, transaction: Hashable, item: Hashable,
          min_support: float | int = 0.0, *, progress: bool = False) -> pd.DataFrame:
    """Count and seven metrics of every co-occurring ordered pair in a Dask DataFrame.

    The result equals ``tallyfold.pairs(Baskets.from_long(ddf.compute(), transaction,
    item), min_support)``, floats included bit for bit.

    Parameters
    ----------
    ddf : dask.dataframe.DataFrame
        Long rows, one (transaction, item) pair each.
    transaction, item : hashable
        Column names, as in `frequent_itemsets`.
    min_support : float or int
        0 keeps every pair; a fraction in (0, 1] of all transactions or a count >= 1.
    progress : bool
        Show a bar for each stage.

    Returns
    -------
    pandas.DataFrame
        Columns ``antecedent``, ``consequent``, ``count`` and the seven metrics, as
        `tallyfold.pairs` returns them.

    Examples
    --------
    >>> import pandas as pd
    >>> import dask.dataframe as dd
    >>> import tallyfold.dask as tfd
    >>> rows = pd.DataFrame({"basket": [1, 1, 2, 2, 3], "item": ["tea", "milk", "tea", "cake",
    ...                                                         "tea"]})
    >>> tfd.pairs(dd.from_pandas(rows, npartitions=2), "basket", "item", min_support=0.3)[
    ...     ["antecedent", "consequent", "count", "confidence"]]
      antecedent consequent  count  confidence
    0       cake        tea      1    1.000000
    1       milk        tea      1    1.000000
    2        tea       cake      1    0.333333
    3        tea       milk      1    0.333333
    """
    show = check.flag(progress, "progress")
    check.min_count(min_support, 1, allow_zero=True)
    data = _prepare(ddf, transaction, item, show)
    n = data.n_transactions
    min_count = check.min_count(min_support, n, allow_zero=True)
    counting = [_count_pairs(part, data.n_items,
                             dask_key_name=(f"tallyfold-count-pairs-{data.token}", i))
                for i, (part, n_p) in enumerate(zip(data.parts, data.part_sizes)) if n_p > 0]
    results = _run(counting, "counting pairs", show)
    if data.n_rows == 0 or min_count > n or not results:
        return _pairs_frame(np.empty(0, dtype=object), np.empty(0, dtype=object),
                            {key: np.zeros(0) for key in PAIR_METRICS}, np.zeros(0, np.int64))
    item_counts = np.sum([r[2] for r in results], axis=0).astype(np.int64)
    keys = np.concatenate([r[0] for r in results])
    instances = np.concatenate([r[1] for r in results])
    # Summing by key (antecedent * n_items + consequent) also sorts the pairs by antecedent,
    # then consequent: the engine's own row order.
    order = np.argsort(keys, kind="stable")
    keys = keys[order]
    starts = np.flatnonzero(np.r_[True, keys[1:] != keys[:-1]]) if keys.shape[0] else keys
    summed = np.add.reduceat(instances[order], starts) if keys.shape[0] else instances
    keys = keys[starts]
    wanted = summed >= max(min_count, 1)
    keys, summed = keys[wanted], summed[wanted]
    found = {"item_A": keys // data.n_items, "item_B": keys % data.n_items,
             "instances": summed}
    found = _with_transactions(found, item_counts, n)
    labels = _encoding.object_array(data.labels)
    return _pairs_frame(labels[found["item_A"]], labels[found["item_B"]], found, summed)


def read_baskets(path: str | os.PathLike[str] | Sequence[str], transaction: Hashable,
                 item: Hashable, **options: Any) -> dd.DataFrame:
    """Long (transaction, item) tables from Parquet, CSV or TSV files, as a Dask DataFrame.

    Parameters
    ----------
    path : str, os.PathLike or list of str
        A file, a glob (``"data/part-*.parquet"``), a directory of Parquet files or a list
        of files; the format follows the extension of the (first) name: ``.parquet``
        (or a directory), ``.csv``, ``.tsv``.
    transaction, item : hashable
        The two columns; only these are read from Parquet.
    **options
        Passed to ``dask.dataframe.read_parquet`` or ``read_csv`` (for example
        ``blocksize``, ``index`` or ``calculate_divisions``).

    Returns
    -------
    dask.dataframe.DataFrame
        Ready for `frequent_itemsets` and `pairs` with the same column names. As on one
        machine, no cell of a CSV is read as null: an empty cell is an empty label.
    """
    names = list(path) if isinstance(path, (list, tuple)) else [path]
    if not names:
        check.fail_text(ValueError, "path", "a file, a glob or a list of files", "an empty list")
    first = check.path(names[0], "path")
    paths = [check.path(name, "path") for name in names]
    paths_arg = paths if isinstance(path, (list, tuple)) else paths[0]
    extension = os.path.splitext(first.rstrip("/"))[1].lower()
    if transaction is None or item is None:
        missing = "transaction" if transaction is None else "item"
        check.fail_text(ValueError, missing, "a column name", "None")
    if extension == ".parquet" or (extension == "" and os.path.isdir(first)):
        options.setdefault("columns", [transaction, item])
        return dd.read_parquet(paths_arg, **options)
    if extension in (".csv", ".tsv"):
        options.setdefault("sep", "," if extension == ".csv" else "\t")
        options.setdefault("keep_default_na", False)
        options.setdefault("na_values", [])
        return dd.read_csv(paths_arg, **options)
    check.fail_text(ValueError, "path", "a .parquet, .csv or .tsv file, glob or directory",
                    repr(first))


# -- preparation: one dictionary, transactions brought together, rows encoded ---------------

class _Prepared:
    """The encoded partitions, held by the cluster, and what the driver knows of them."""

    def __init__(self, parts: list, part_sizes: list[int], n_rows: int, labels: tuple,
                 token: str) -> None:
        self.parts = parts
        self.part_sizes = part_sizes
        self.n_transactions = int(sum(part_sizes))
        self.n_rows = n_rows
        self.labels = labels
        self.n_items = len(labels)
        self.token = token


def _prepare(ddf: Any, transaction: Hashable, item: Hashable, show: bool) -> _Prepared:
    if not isinstance(ddf, dd.DataFrame):
        check.fail(TypeError, "ddf", "a dask.dataframe.DataFrame", ddf)
    if transaction == item:
        check.fail_text(ValueError, "item", "a column other than the transaction column",
                        repr(item))
    in_index = transaction not in ddf.columns and ddf.index.name == transaction
    for name, argument in ((transaction, "transaction"), (item, "item")):
        if name not in ddf.columns and not (argument == "transaction" and in_index):
            shown = ", ".join(repr(c) for c in list(ddf.columns)[:10])
            check.fail_text(ValueError, argument, f"a column of ddf ({shown})", repr(name))
    token = tokenize(ddf, transaction, item)

    if isinstance(ddf[item].dtype, pd.CategoricalDtype) and not ddf[item].cat.known:
        ddf = ddf.assign(**{item: ddf[item].cat.as_known()})
    dictionary = _dictionary(ddf, transaction, item, in_index, token, show)
    # Items become int32 ids before the shuffle: the dictionary is known by then, and ids
    # move faster than labels (and always convert to Arrow, which mixed labels do not).
    columns = ddf[[item]] if in_index else ddf[[transaction, item]]
    meta = columns._meta.copy()
    meta[item] = np.zeros(0, dtype=np.int32)
    with_ids = columns.map_partitions(_with_item_ids, item, dictionary, meta=meta)
    if in_index and ddf.known_divisions:
        grouped = with_ids
    else:
        if in_index:
            with_ids = with_ids.reset_index()
        # The point-to-point shuffle needs a cluster and Arrow-typed columns; otherwise the
        # task-based one.
        plain = _client() is not None and with_ids[transaction].dtype != object
        grouped = with_ids.shuffle(on=transaction, shuffle_method=None if plain else "tasks")
    parts = [_encode_part(part, transaction, item,
                          dask_key_name=(f"tallyfold-encode-{token}", i))
             for i, part in enumerate(grouped.to_delayed())]
    parts = _persist(parts, "encoding partitions", show)
    sizes = [_part_size(part, dask_key_name=(f"tallyfold-partition-size-{token}", i))
             for i, part in enumerate(parts)]
    measured = _run(sizes, "sizing partitions", False)
    return _Prepared(parts, [m[0] for m in measured], sum(m[1] for m in measured),
                     dictionary.labels, token)


class _Dictionary:
    """Item labels to ids, the same for every partition.

    ``arrow`` is the sorted Arrow array of distinct labels (looked up with ``index_in``),
    ``objects`` a pandas Index for labels Arrow cannot hold (mixed types), ``categorical``
    true when a categorical column's own codes are the ids.
    """

    def __init__(self, labels: tuple, arrow: pa.Array | None = None,
                 objects: pd.Index | None = None, categorical: bool = False) -> None:
        self.labels = labels
        self.arrow = arrow
        self.objects = objects
        self.categorical = categorical


def _dictionary(ddf: dd.DataFrame, transaction: Hashable, item: Hashable, in_index: bool,
                token: str, show: bool) -> _Dictionary:
    dtype = ddf[item].dtype
    known = isinstance(dtype, pd.CategoricalDtype) and ddf[item].cat.known
    tasks = [_distinct_part(part, transaction, item, in_index, known,
                            dask_key_name=(f"tallyfold-distinct-items-{token}", i))
             for i, part in enumerate(ddf.to_delayed())]
    found = _run(tasks, "gathering items", show)
    for argument, name, position in (("transaction", transaction, 0), ("item", item, 1)):
        nulls = sum(f[position] for f in found)
        if nulls:
            check.fail_text(ValueError, argument, f"no nulls in column {name!r}",
                            f"{nulls} null{'s' if nulls > 1 else ''}")
    if known:
        # The categories, unused ones included, as `Baskets.from_long` takes them.
        _, labels = _encoding.encode_dictionary(
            pa.array(pd.Categorical([], categories=dtype.categories)))
        return _Dictionary(labels, categorical=True)
    values = [f[2] for f in found if len(f[2])]
    if values and all(isinstance(v, pa.Array) for v in values):
        try:
            distinct = pc.unique(pa.chunked_array(values).combine_chunks())
        except (pa.ArrowException, TypeError):
            distinct = None
        if distinct is not None:
            order = pc.array_sort_indices(distinct)
            ordered = distinct.take(order)
            return _Dictionary(tuple(ordered.to_pylist()), arrow=ordered)
    # Labels Arrow cannot hold as one type: in order of first appearance over the
    # partitions, then sorted when they sort among themselves.
    objects = [np.asarray(v.to_pylist() if isinstance(v, pa.Array) else v, dtype=object)
               for v in values]
    flat = np.concatenate(objects) if objects else np.empty(0, dtype=object)
    _, labels = _encoding.encode_objects(flat)
    return _Dictionary(labels, objects=pd.Index(_encoding.object_array(labels), dtype=object))


def _arrow_or_objects(series: pd.Series) -> pa.Array | np.ndarray:
    try:
        return pa.Array.from_pandas(series)
    except (pa.ArrowException, TypeError, ValueError):
        return series.to_numpy(dtype=object)


@dask.delayed(pure=True)
def _distinct_part(df: pd.DataFrame, transaction: Hashable, item: Hashable, in_index: bool,
                   categorical: bool) -> tuple[int, int, Any]:
    txn = df.index if in_index else df[transaction]
    items = df[item]
    txn_nulls = int(pd.isna(txn).sum())
    item_nulls = int(items.isna().sum())
    if categorical:
        return txn_nulls, item_nulls, np.empty(0, dtype=object)
    return txn_nulls, item_nulls, _arrow_or_objects(pd.Series(items.unique()))


def _with_item_ids(df: pd.DataFrame, item: Hashable, dictionary: _Dictionary) -> pd.DataFrame:
    items = df[item]
    if dictionary.categorical:
        ids = items.cat.codes.to_numpy()
    elif dictionary.arrow is not None:
        values = pa.Array.from_pandas(items)
        if values.type != dictionary.arrow.type:
            values = values.cast(dictionary.arrow.type)
        ids = pc.index_in(values, value_set=dictionary.arrow).to_numpy(zero_copy_only=False)
    else:
        ids = dictionary.objects.get_indexer(items.to_numpy(dtype=object))
    out = df.copy(deep=False)
    out[item] = np.asarray(ids, dtype=np.int32)
    return out


@dask.delayed(pure=True)
def _encode_part(df: pd.DataFrame, transaction: Hashable,
                 item: Hashable) -> tuple[np.ndarray, np.ndarray, int]:
    txn = df.index if transaction not in df.columns else df[transaction]
    txn_values = _arrow_or_objects(pd.Series(np.asarray(txn) if isinstance(txn, pd.Index)
                                             else txn))
    txn_codes, n_part = _encoding.first_seen_codes(txn_values)
    return (np.ascontiguousarray(txn_codes, dtype=np.int64),
            np.ascontiguousarray(df[item].to_numpy(), dtype=np.int32), int(n_part))


@dask.delayed(pure=True)
def _part_size(part: tuple) -> tuple[int, int]:
    return part[2], int(part[0].shape[0])


# -- the per-partition native work ----------------------------------------------------------

@dask.delayed(pure=True)
def _mine_part(part: tuple, n_items: int, min_count: int, max_len: int,
               threads: int) -> tuple[np.ndarray, np.ndarray]:
    txn, items, _ = part
    found = _engine.mine_itemsets(txn, items, n_items, min_count, max_len, "auto", "all",
                                  threads)
    return found["items"], found["offsets"]


@dask.delayed(pure=True)
def _count_part(part: tuple, n_items: int, candidates: tuple, threads: int) -> np.ndarray:
    txn, items, _ = part
    return _engine.count_itemsets(txn, items, n_items, candidates[0], candidates[1], threads)


@dask.delayed(pure=True)
def _count_pairs(part: tuple, n_items: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    txn, items, _ = part
    found = _tallyfold.rust_compute_pairs(txn, items, n_items, 0.0)
    keys = found["item_A"].astype(np.int64) * n_items + found["item_B"]
    return keys, found["instances"].astype(np.int64), _distinct_item_counts(txn, items, n_items)


# -- candidate tables -----------------------------------------------------------------------

def _union(tables: list[tuple[np.ndarray, np.ndarray]]) -> tuple[np.ndarray, np.ndarray]:
    """The distinct rows of several itemset tables, in ascending lexicographic order.

    Rows are padded with -1 to a matrix so that sorting by columns puts a prefix before its
    extensions, the order the miners emit and the counting reuses prefixes in.
    """
    width = max((int(np.diff(o).max()) for _, o in tables if o.shape[0] > 1), default=0)
    blocks = []
    for items, offsets in tables:
        lengths = np.diff(offsets)
        block = np.full((lengths.shape[0], width), -1, dtype=np.int32)
        block[np.arange(width) < lengths[:, None]] = items
        blocks.append(block)
    matrix = np.concatenate(blocks) if blocks else np.zeros((0, width), dtype=np.int32)
    if matrix.shape[0]:
        matrix = matrix[np.lexsort(matrix.T[::-1])]
        fresh = np.r_[True, (matrix[1:] != matrix[:-1]).any(axis=1)]
        matrix = matrix[fresh]
    present = matrix >= 0
    offsets = np.zeros(matrix.shape[0] + 1, dtype=np.int64)
    np.cumsum(present.sum(axis=1), out=offsets[1:])
    return np.ascontiguousarray(matrix[present], dtype=np.int32), offsets


def _take_rows(items: np.ndarray, offsets: np.ndarray,
               rows: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Rows ``rows`` (ascending) of an itemset table, as a table of their own."""
    lengths = np.diff(offsets)[rows]
    new_offsets = np.zeros(rows.shape[0] + 1, dtype=np.int64)
    np.cumsum(lengths, out=new_offsets[1:])
    starts = np.repeat(offsets[:-1][rows] - new_offsets[:-1], lengths)
    picked = items[starts + np.arange(new_offsets[-1], dtype=np.int64)]
    return np.ascontiguousarray(picked, dtype=np.int32), new_offsets


# -- running tasks with a bar ---------------------------------------------------------------

def _client() -> Any:
    try:
        from distributed import default_client
        return default_client()
    except (ImportError, ValueError):
        return None


class _TaskBar(Callback):
    """A bar over the tasks of a graph run by Dask's local scheduler."""

    def __init__(self, description: str) -> None:
        super().__init__()
        self._description = description
        self._bar: Any = None

    def _start_state(self, dsk: Any, state: dict) -> None:
        total = sum(len(state[k]) for k in ("ready", "waiting", "running", "finished"))
        self._bar = tqdm(total=total, desc=self._description)

    def _posttask(self, key: Any, result: Any, dsk: Any, state: dict, worker_id: Any) -> None:
        self._bar.update()

    def _finish(self, dsk: Any, state: dict, errored: bool) -> None:
        if self._bar is not None:
            self._bar.close()


def _futures_bar(futures: list, description: str) -> None:
    from distributed import as_completed
    with tqdm(total=len(futures), desc=description) as bar:
        for _ in as_completed(futures):
            bar.update()


def _run(tasks: list, description: str, show: bool) -> list:
    """The results of delayed tasks, on the cluster when a client is in scope."""
    if not tasks:
        return []
    client = _client()
    if client is None:
        with _TaskBar(description) if show else nullcontext():
            return list(dask.compute(*tasks))
    futures = client.compute(tasks)
    if show:
        _futures_bar(futures, description)
    return client.gather(futures)


def _persist(tasks: list, description: str, show: bool) -> list:
    """Delayed tasks computed and held in the workers' memory for the passes that follow."""
    if not tasks:
        return []
    client = _client()
    if client is None:
        with _TaskBar(description) if show else nullcontext():
            return list(dask.persist(*tasks))
    held = client.persist(tasks)
    if show:
        from distributed import futures_of
        _futures_bar(futures_of(held), description)
    return held
