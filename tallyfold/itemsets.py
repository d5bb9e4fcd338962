"""Frequent itemsets of every size, labelled, as a pandas DataFrame."""

from __future__ import annotations

import numpy as np
import pandas as pd

from . import _decoded, _engine, _limits, _progress
from . import _validation as check
from ._bulk import gc_paused
from .baskets import Baskets

ALGORITHMS = ("auto", "eclat", "pipeline", "classic", "v1_roaring", "v2_memo", "v3_adaptive",
              "v5_prefilter", "v6_gating")
TARGETS = ("all", "closed", "maximal")
ITEMSET_COLUMNS = ("support", "count", "itemsets", "length")


def frequent_itemsets(baskets: Baskets, min_support: float | int, max_len: int | None = None,
                      target: str = "all", algorithm: str = "auto",
                      threads: int | None = None, *, max_itemsets: int | None = None,
                      max_memory: int | str | None = None,
                      progress: bool = False) -> pd.DataFrame:
    """Every itemset that occurs in at least ``min_support`` of the baskets.

    All sizes from 1 to ``max_len`` are mined in one native pass.

    Parameters
    ----------
    baskets : Baskets
        The transactions (see `Baskets.from_long`, `Baskets.from_lists`, `read_baskets`).
    min_support : float or int
        A float in (0, 1] is a fraction of the transactions: the minimum count is
        ``ceil(min_support * N)`` in double precision (N = 100 and 0.07 give 8). An int >= 1
        is the minimum count itself.
    max_len : int, optional
        Largest itemset size; None means no limit.
    target : {"all", "closed", "maximal"}
        ``"closed"`` keeps the itemsets no superset of which has the same count;
        ``"maximal"`` keeps those without any frequent superset (within ``max_len``).
    algorithm : str
        ``"auto"`` lets the engine choose from the data's shape. ``"eclat"``, ``"pipeline"``,
        ``"classic"`` and the pipeline variants ``"v1_roaring"``, ``"v2_memo"``,
        ``"v3_adaptive"``, ``"v5_prefilter"``, ``"v6_gating"`` force one engine; all return
        the same itemsets and counts.
    threads : int, optional
        Upper bound on the worker threads of this call; None uses every core.
    max_itemsets : int, optional
        Stop with `ResultLimitError` as soon as more itemsets than this are found; None
        means no limit. A result is never cut short.
    max_memory : int or str, optional
        Stop with `MemoryLimitError` (a `MemoryError`) when the run's estimated memory,
        its working data plus the result as this function returns it, would exceed this
        many bytes; a str such as ``"8GB"`` or ``"512MiB"`` is accepted. None (the
        default) allows 80% of the memory available when the call starts.
    progress : bool
        Show a progress bar on standard error (top-level items of the search, or levels,
        done, and the itemsets found so far).

    Returns
    -------
    pandas.DataFrame
        Columns ``support`` (float64), ``count`` (int64), ``itemsets`` (frozensets of labels)
        and ``length`` (int64); sorted by support descending, then by itemset (by item id,
        shorter prefix first); index 0..n-1. ``attrs["n_transactions"]`` holds N, which
        `association_rules` uses to give rule counts.

    Raises
    ------
    TypeError
        If ``baskets`` is not a `Baskets`, or an argument has the wrong type.
    ValueError
        If ``min_support``, ``max_len``, ``target``, ``algorithm``, ``threads``,
        ``max_itemsets`` or ``max_memory`` is out of range.
    ResultLimitError
        If the run would find more than ``max_itemsets`` itemsets.
    MemoryLimitError
        If the run would need more than ``max_memory``; other shortages of memory raise
        `MemoryError` too.
    KeyboardInterrupt
        On Ctrl-C, within a fraction of a second.

    Examples
    --------
    >>> import tallyfold as tf
    >>> b = tf.Baskets.from_lists([["milk", "bread"], ["milk", "eggs"], ["milk", "bread"]])
    >>> frequent = tf.frequent_itemsets(b, min_support=0.5)
    >>> frequent[["support", "count", "length"]]
        support  count  length
    0  1.000000      3       1
    1  0.666667      2       1
    2  0.666667      2       2
    >>> [sorted(itemset) for itemset in frequent["itemsets"]]
    [['milk'], ['bread'], ['bread', 'milk']]
    """
    if not isinstance(baskets, Baskets):
        check.fail(TypeError, "baskets",
                   "a Baskets (see Baskets.from_long, Baskets.from_lists, read_baskets)",
                   baskets)
    n = baskets.n_transactions
    min_count = check.min_count(min_support, n)
    length_limit = check.optional_positive_int(max_len, "max_len", "no limit")
    check.choice(target, "target", TARGETS)
    check.choice(algorithm, "algorithm", ALGORITHMS)
    pool = check.threads(threads)
    itemset_limit = _limits.max_itemsets(max_itemsets)
    memory_limit = _limits.max_memory(max_memory)
    show = _progress.wanted(progress)
    if baskets.n_rows == 0 or min_count > n:
        return _frame(np.zeros(0), np.zeros(0, np.int64), np.empty(0, dtype=object),
                      np.zeros(0, np.int64), n)

    bar = _progress.MiningBar("itemsets") if show else None
    try:
        found = _engine.mine_itemsets(baskets.txn_ids, baskets.item_ids, baskets.n_items,
                                      min_count, length_limit, algorithm, target, pool,
                                      itemset_limit, memory_limit,
                                      bar.callback() if bar else None)
        if bar:
            bar.finish(len(found["counts"]))
    except _engine.LimitReached as stop:
        raise _limits.stopped(stop.args, max_itemsets=itemset_limit, max_memory=memory_limit,
                              min_support=min_support, max_len=max_len) from None
    finally:
        if bar:
            bar.close()
    baskets._learn_item_counts(found["item_counts"])
    counts = found["counts"]
    offsets = found["offsets"]
    # Engine rows come in ascending order of their id sequences; a stable sort on the count
    # keeps that order among equal supports.
    order = np.argsort(-counts, kind="stable")
    with gc_paused():
        sets = _engine.itemsets_to_frozensets(found["items"], offsets, baskets.item_labels)[order]
        counts = counts[order]
        frame = _frame(counts / float(n), counts, sets, np.diff(offsets)[order], n)
    _decoded.remember(sets, _decoded.DecodedRows(found["items"], offsets, order,
                                                 baskets.item_labels, sets.copy()))
    return frame


def _frame(support: np.ndarray, counts: np.ndarray, sets: np.ndarray, lengths: np.ndarray,
           n_transactions: int) -> pd.DataFrame:
    frame = pd.DataFrame({
        "support": support.astype(np.float64, copy=False),
        "count": counts.astype(np.int64, copy=False),
        "itemsets": sets,
        "length": lengths.astype(np.int64, copy=False),
    }, copy=False)
    frame.attrs["n_transactions"] = int(n_transactions)
    return frame

