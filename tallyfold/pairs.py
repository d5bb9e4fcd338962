"""Statistics of every co-occurring pair of items, labelled, as a pandas DataFrame."""

from __future__ import annotations

import numpy as np
import pandas as pd

import _tallyfold

from . import _progress
from . import _validation as check
from ._encoding import object_array
from .baskets import Baskets

PAIR_METRICS = ("support", "confidence", "lift", "conviction", "leverage", "cosine", "jaccard")
PAIR_COLUMNS = ("antecedent", "consequent", "count") + PAIR_METRICS


def pairs(baskets: Baskets, min_support: float | int = 0.0, *,
          progress: bool = False) -> pd.DataFrame:
    """Count and seven metrics for every ordered pair of items that occur together.

    Both directions of a pair are rows: (A, B) and (B, A) share count, support, leverage,
    cosine and jaccard, and differ in confidence, lift and conviction. The pool of the pair
    engine is process-wide, so unlike the other mining functions this one has no
    ``threads`` bound.

    Parameters
    ----------
    baskets : Baskets
        The transactions.
    min_support : float or int
        0 (the default) keeps every co-occurring pair; a float in (0, 1] keeps pairs in at
        least ``ceil(min_support * N)`` transactions; an int >= 1 is that count itself.
    progress : bool
        Show a progress bar of the steps (counting, labelling) on standard error.

    Returns
    -------
    pandas.DataFrame
        Columns ``antecedent``, ``consequent`` (labels), ``count`` (int64), ``support``,
        ``confidence``, ``lift``, ``conviction``, ``leverage``, ``cosine``, ``jaccard``
        (float64). Supports divide by N, empty baskets included. Rows are grouped by
        antecedent in item-id order. Conviction is NaN when the consequent is in every
        basket and +inf when the confidence is 1 otherwise.

    Examples
    --------
    >>> import tallyfold as tf
    >>> b = tf.Baskets.from_lists([["tea", "milk"], ["tea", "cake"], ["tea", "milk"], []])
    >>> tf.pairs(b, min_support=0.5)[["antecedent", "consequent", "count", "support",
    ...                               "confidence", "lift"]]
      antecedent consequent  count  support  confidence      lift
    0       milk        tea      2      0.5    1.000000  1.333333
    1        tea       milk      2      0.5    0.666667  1.333333
    """
    if not isinstance(baskets, Baskets):
        check.fail(TypeError, "baskets",
                   "a Baskets (see Baskets.from_long, Baskets.from_lists, read_baskets)",
                   baskets)
    n = baskets.n_transactions
    min_count = check.min_count(min_support, n, allow_zero=True)
    n_occupied = baskets._n_occupied
    if baskets.n_rows == 0 or min_count > n_occupied:
        return _frame(np.empty(0, dtype=object), np.empty(0, dtype=object),
                      {key: np.zeros(0) for key in PAIR_METRICS}, np.zeros(0, np.int64))
    # The engine takes a fraction of the transactions it sees, which leave out empty baskets.
    # Half a count below the wanted one, its ceil(fraction * N) lands on that count exactly
    # whatever the rounding of the product.
    fraction = 0.0 if min_count == 0 else (min_count - 0.5) / float(n_occupied)
    bar = _progress.StepBar("pairs", 2, _progress.wanted(progress))
    try:
        found = _tallyfold.rust_compute_pairs(baskets.txn_ids, baskets.item_ids,
                                              baskets.n_items, fraction)
        bar.step("pairs counted")
        if n != n_occupied:
            found = _with_transactions(found, baskets.item_counts, n)
        labels = object_array(baskets.item_labels)
        frame = _frame(labels[found["item_A"]], labels[found["item_B"]], found,
                       found["instances"])
        bar.step("pairs labelled")
        return frame
    finally:
        bar.close()


def _with_transactions(found: dict, item_counts: np.ndarray, n: int) -> dict:
    """The metrics again with N transactions, in the engine's own formulas."""
    nf = float(n)
    co = found["instances"].astype(np.float64)
    count_a = item_counts[found["item_A"]].astype(np.float64)
    s_a = count_a / nf
    s_b = item_counts[found["item_B"]].astype(np.float64) / nf
    support = co / nf
    confidence = co / count_a
    with np.errstate(divide="ignore", invalid="ignore"):
        lift = np.where(s_b > 0, confidence / s_b, np.inf)
        conviction = np.where(s_b >= 1, np.nan,
                              np.where(confidence >= 1, np.inf,
                                       (1 - s_b) / (1 - confidence)))
    return {**found, "support": support, "confidence": confidence, "lift": lift,
            "conviction": conviction, "leverage": support - s_a * s_b,
            "cosine": support / np.sqrt(s_a * s_b), "jaccard": support / (s_a + s_b - support)}


def _frame(antecedents: np.ndarray, consequents: np.ndarray, metrics: dict,
           counts: np.ndarray) -> pd.DataFrame:
    columns = {"antecedent": antecedents, "consequent": consequents,
               "count": np.asarray(counts, dtype=np.int64)}
    for name in PAIR_METRICS:
        columns[name] = np.asarray(metrics[name], dtype=np.float64)
    return pd.DataFrame(columns, copy=False)
