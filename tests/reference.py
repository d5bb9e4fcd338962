"""Brute-force reference computations in plain Python, shared by the test suites.

Baskets are dicts {txn_id: frozenset(items)} in order of first appearance of the txn id,
which is also the order in which the engines number transactions.
"""

from __future__ import annotations

import math
from itertools import combinations

import numpy as np

PAIR_METRICS = ("support", "confidence", "lift", "conviction", "leverage", "cosine", "jaccard")
PAIR_KEYS = ("item_A", "item_B", "instances") + PAIR_METRICS + ("n_transactions",)


def baskets(txn_ids, item_ids) -> dict[int, frozenset]:
    """Rows -> baskets, duplicates collapsed; extra item_ids beyond txn_ids are ignored."""
    grouped: dict[int, set] = {}
    for t, i in zip(np.asarray(txn_ids).tolist(), np.asarray(item_ids).tolist()):
        grouped.setdefault(t, set()).add(i)
    return {t: frozenset(items) for t, items in grouped.items()}


def as_arrays(list_of_baskets, txn_ids=None) -> tuple[np.ndarray, np.ndarray]:
    """Rows of each basket adjacent, in the given order; txn ids default to 0..len-1."""
    ids = range(len(list_of_baskets)) if txn_ids is None else txn_ids
    txn = [t for t, items in zip(ids, list_of_baskets) for _ in items]
    item = [i for items in list_of_baskets for i in items]
    return np.array(txn, dtype=np.int64), np.array(item, dtype=np.int32)


def min_count(min_support: float, n: int) -> float:
    """ceil(min_support * N) in float64; 0 when min_support is not positive (NaN included)."""
    if not min_support > 0:
        return 0
    x = min_support * float(n)
    if math.isnan(x):
        return 0
    return math.inf if math.isinf(x) else math.ceil(x)


def pair_rows(bsk: dict, min_support: float = 0.0) -> dict[tuple[int, int], tuple]:
    """Expected rows of rust_compute_pairs, inserted in the engine's row order: anchors
    ascending; within an anchor, partners in order of first occurrence scanning the anchor's
    transactions in first-seen order and each transaction's items ascending."""
    n = len(bsk)
    holders: dict[int, list] = {}  # item -> its baskets (items sorted), in first-seen order
    for items in bsk.values():
        ordered = sorted(items)
        for i in ordered:
            holders.setdefault(i, []).append(ordered)
    count = {i: len(h) for i, h in holders.items()}
    cut = min_count(min_support, n)
    rows = {}
    for a in sorted(count):
        co: dict[int, int] = {}
        for items in holders[a]:
            for b in items:
                if b != a:
                    co[b] = co.get(b, 0) + 1
        for b, c in co.items():
            if c >= cut:
                rows[(a, b)] = (c,) + _metrics(c, n, count[a], count[a] / n, count[b] / n)
    return rows


def _metrics(co, n, count_a, s_a, s_b):
    support = co / n
    confidence = co / count_a
    lift = confidence / s_b if s_b > 0 else math.inf
    if s_b >= 1:
        conviction = math.nan
    elif confidence >= 1:
        conviction = math.inf
    else:
        conviction = (1 - s_b) / (1 - confidence)
    leverage = support - s_a * s_b
    cosine = support / math.sqrt(s_a * s_b)
    jaccard = support / (s_a + s_b - support)
    return support, confidence, lift, conviction, leverage, cosine, jaccard


def itemset_counts(bsk: dict, k: int) -> dict[tuple, int]:
    """Number of baskets containing each k-itemset (sorted tuple) that occurs at all."""
    counts: dict[tuple, int] = {}
    for items in bsk.values():
        for combo in combinations(sorted(items), k):
            counts[combo] = counts.get(combo, 0) + 1
    return counts


def engine_rows(result: dict) -> dict[tuple[int, int], tuple]:
    """A rust_compute_pairs result in the shape of pair_rows (row order kept)."""
    cols = [result["instances"].tolist()] + [result[m].tolist() for m in PAIR_METRICS]
    keys = zip(result["item_A"].tolist(), result["item_B"].tolist())
    return {k: v for k, v in zip(keys, zip(*cols))}


def assert_pairs_equal(result: dict, expected: dict, n_transactions: int) -> None:
    """Bit-for-bit comparison with pair_rows output, row order included (NaN equals NaN)."""
    assert result["n_transactions"] == n_transactions
    got = engine_rows(result)
    assert list(got) == list(expected)
    for key, want in expected.items():
        have = got[key]
        assert have[0] == want[0], key
        a, b = np.array(have[1:]), np.array(want[1:])
        same = np.array_equal(a, b, equal_nan=True) and np.array_equal(np.signbit(a),
                                                                          np.signbit(b))
        assert same, (key, have, want)
