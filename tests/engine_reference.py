"""Brute-force references for tallyfold._engine: itemsets of every size and rules."""

from __future__ import annotations

from itertools import combinations

import numpy as np

ALGORITHMS = ("auto", "eclat", "pipeline", "v1_roaring", "v2_memo", "v3_adaptive",
              "v5_prefilter", "v6_gating", "classic")
TARGETS = ("all", "closed", "maximal")


def all_frequent(bsk: dict, min_count: int, max_len: int = 0) -> dict[tuple, int]:
    """{itemset: count} of every itemset of length 1..max_len (0: any) in >= min_count baskets."""
    counts: dict[tuple, int] = {}
    for items in bsk.values():
        ordered = sorted(items)
        top = len(ordered) if max_len == 0 else min(max_len, len(ordered))
        for k in range(1, top + 1):
            for c in combinations(ordered, k):
                counts[c] = counts.get(c, 0) + 1
    return {c: n for c, n in counts.items() if n >= min_count}


def keep_target(frequent: dict[tuple, int], target: str) -> dict[tuple, int]:
    """Closed: no proper superset with the same count; maximal: no frequent proper superset."""
    if target == "all":
        return dict(frequent)
    kept = {}
    for z, n in frequent.items():
        supersets = [m for s, m in frequent.items() if len(s) > len(z) and set(z) <= set(s)]
        if target == "maximal" and not supersets:
            kept[z] = n
        if target == "closed" and all(m != n for m in supersets):
            kept[z] = n
    return kept


def engine_itemsets(result: dict) -> list[tuple[tuple, int]]:
    """The rows of mine_itemsets in their order, as (itemset tuple, count)."""
    items, offsets, counts = result["items"], result["offsets"], result["counts"]
    return [(tuple(items[offsets[r]:offsets[r + 1]].tolist()), int(counts[r]))
            for r in range(len(counts))]


def expected_rows(bsk: dict, min_count: int, max_len: int, target: str):
    """The reference in the engine's order: ascending lexicographic order of id sequences."""
    return sorted(keep_target(all_frequent(bsk, min_count, max_len), target).items())


def table(rows: list[tuple[tuple, float]]):
    """(items int32, offsets int64, supports float64) of rows given as (itemset, support)."""
    items = np.array([i for s, _ in rows for i in s], dtype=np.int32)
    offsets = np.zeros(len(rows) + 1, dtype=np.int64)
    offsets[1:] = np.cumsum([len(s) for s, _ in rows])
    supports = np.array([v for _, v in rows], dtype=np.float64)
    return items, offsets, supports
