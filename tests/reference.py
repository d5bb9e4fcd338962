"""Brute-force reference computations in plain Python, shared by the test suites.

Baskets are dicts {txn_id: frozenset(items)} in order of first appearance of the txn id,
which is also the order in which the engines number transactions.
"""

from __future__ import annotations

import math
import subprocess
import sys
import textwrap
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


def pair_rows(bsk: dict, min_support: float = 0.0,
              n_transactions: int | None = None) -> dict[tuple[int, int], tuple]:
    """Expected rows of rust_compute_pairs, inserted in the engine's row order: anchors
    ascending; within an anchor, partners in order of first occurrence scanning the anchor's
    transactions in first-seen order and each transaction's items ascending. Supports divide
    by `n_transactions` when given; the cut always counts the baskets."""
    n = len(bsk)
    n_div = n if n_transactions is None else n_transactions
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
                rows[(a, b)] = (c,) + _metrics(c, n_div, count[a], count[a] / n_div,
                                               count[b] / n_div)
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


def frequent_of_rows(rows, k: int, cut: int) -> dict[tuple, int]:
    """The k-itemsets of a list of baskets (sets) found in at least `cut` of them, with counts."""
    return {s: c for s, c in itemset_counts(dict(enumerate(rows)), k).items() if c >= cut}


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


def capped(items, weights, cap):
    """A transaction cut to its `cap` heaviest items: stable by weight, heaviest first, a NaN
    weight neither moves nor lets anything past it; the kept items come back ascending."""
    items = sorted(items)
    if cap is None or len(items) <= cap:
        return items
    weight = lambda i: weights[i] if i < len(weights) else 0.0
    ordered, run = [], []
    for i in items:
        if math.isnan(weight(i)):
            ordered += sorted(run, key=lambda x: -weight(x)) + [i]
            run = []
        else:
            run.append(i)
    ordered += sorted(run, key=lambda x: -weight(x))
    return sorted(ordered[:cap])


def anchor_extend_level(bsk: dict, lower: set, pairs: set, k: int, weights=(), cap=None):
    """One level counted by anchor and extend, by definition: transactions cut to the items
    of `lower` (kept with at least k of them) and capped; a k-set counts where it is inside a
    cut transaction and is reported when some (k-1)-subset is an anchor in `lower`, occurring
    in the cut data, whose items all pair with the added item (no check if `pairs` is empty)."""
    frequent_items = {i for s in lower for i in s}
    cut = []
    for items in bsk.values():
        reduced = sorted(i for i in items if i in frequent_items)
        if len(reduced) >= k:
            cut.append(capped(reduced, weights, cap))
    occurring = {s for items in cut for s in combinations(items, k - 1)} & set(lower)
    counts: dict[tuple, int] = {}
    for items in cut:
        for s in combinations(items, k):
            counts[s] = counts.get(s, 0) + 1
    found = {}
    for s, c in counts.items():
        for x in s:
            anchor = tuple(i for i in s if i != x)
            if anchor in occurring and (not pairs or all(
                    (min(a, x), max(a, x)) in pairs for a in anchor)):
                found[s] = c
                break
    return found


def pipeline_levels(bsk: dict, k_max: int, min_support: float, weights=(), cap=None):
    """(final level, lower level) of the level-wise pipeline as {itemset: count} dicts."""
    n = len(bsk)
    cut = min_count(min_support, n) if min_support > 0 else 1
    level = {s: c for s, c in itemset_counts(bsk, 2).items() if c >= cut}
    pairs = set(level)
    final, lower = {}, level
    for k in range(3, k_max + 1):
        level = {s: c for s, c in anchor_extend_level(bsk, set(lower), pairs, k, weights,
                                                      cap).items() if c >= cut}
        if k == k_max:
            final = level
        else:
            lower = level
            if not level:
                break
    return final, lower


def itemset_rows(result: dict, prefix: str = "") -> dict[tuple, int]:
    """An itemset block of a result as {itemset: count}; fails on repeated rows."""
    rows = result[prefix + "itemsets"]
    counts = result[prefix + "counts"]
    assert rows.dtype == np.int32 and counts.dtype == np.int64 and rows.ndim == 2
    assert len(rows) == len(counts)
    if len(rows) == 0:
        assert rows.shape == (0, 0)
    out = {tuple(r): c for r, c in zip(rows.tolist(), counts.tolist())}
    assert len(out) == len(rows), "an itemset is reported twice"
    return out


def _u32(i: int) -> int:
    return i & 0xFFFFFFFF


def _i32(u: int) -> int:
    return u - (1 << 32) if u >= 1 << 31 else u


def classic_levels(bsk: dict, k_max: int, min_support: float, n_items: int, weights=(),
                   cap=None):
    """(final level, lower level, item_counts) of classic Apriori, by definition: every
    transaction is capped first (ids ordered and weighted as unsigned 32-bit values), a level
    holds every itemset reaching the min count, and item_counts keep the frequent items (all
    items when none is frequent) with ids below n_items. Itemsets come back as int32 values."""
    n = len(bsk)
    cut = 1
    if min_support > 0:
        x = min_support * float(n)
        cut = 0 if math.isnan(x) else 2**32 - 1 if x >= 2**32 - 1 else math.ceil(x)
    txns = {t: capped([_u32(i) for i in items], weights, cap) for t, items in bsk.items()}

    def level(k):
        if k < 1:
            return {}
        return {tuple(_i32(i) for i in s): c for s, c in itemset_counts(txns, k).items()
                if c >= cut}

    singles = {s[0]: c for s, c in itemset_counts(txns, 1).items()}
    frequent = {i: c for i, c in singles.items() if c >= cut}
    kept = frequent or singles
    item_counts = [kept.get(i, 0) for i in range(n_items)]
    return level(k_max), level(k_max - 1) if k_max >= 2 else {}, item_counts


def pipeline_arrays_on_one_cpu(tmp_path, txn, item, runs, n_items, keys) -> list:
    """The result arrays (`keys`) of each pipeline call in `runs`, (name, k_max, min_support)
    tuples, made in a child process pinned to one CPU: its pool has one thread."""
    np.save(tmp_path / "txn.npy", txn)
    np.save(tmp_path / "item.npy", item)
    code = textwrap.dedent(f"""
        import os
        os.sched_setaffinity(0, {{0}})
        import numpy as np, _tallyfold
        d = {str(tmp_path)!r}
        txn, item = np.load(d + "/txn.npy"), np.load(d + "/item.npy")
        for i, (name, k_max, support) in enumerate({list(runs)!r}):
            r = getattr(_tallyfold, name)(txn, item, k_max, {n_items}, support, np.zeros(0))
            np.savez(f"{{d}}/run{{i}}.npz", **{{k: r[k] for k in {list(keys)!r}}})
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, proc.stderr[-2000:]
    return [np.load(tmp_path / f"run{i}.npz") for i in range(len(runs))]
