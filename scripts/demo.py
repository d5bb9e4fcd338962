#!/usr/bin/env python3
"""The `make run` job: mine a synthetic shop's baskets and print what sells together.

Each report section is one function taking the shared baskets; add a section by writing another
function and listing it in SECTIONS.
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

import numpy as np

# Lets the generator import work however this file is launched (path, runpy, another cwd).
sys.path.insert(0, str(Path(__file__).resolve().parent))

import _tallyfold  # noqa: E402
from synthetic_baskets import Baskets, generate  # noqa: E402

N_ROWS = 300_000
SEED = 7
MIN_SUPPORT = 0.002
TOP = 15
# Lift rewards rare coincidences; ranking only pairs seen in at least this share of baskets keeps
# the table to associations a store could act on.
RANK_MIN_SUPPORT = 0.005
ITEMSET_K_MAX = 3
NAME_WIDTH = 34


def _name(b: Baskets, item: int) -> str:
    name = b.item_names[item]
    return name if len(name) <= NAME_WIDTH else name[: NAME_WIDTH - 1] + "~"


def _timed(fn, *args):
    t0 = time.perf_counter()
    out = fn(*args)
    return out, time.perf_counter() - t0


def section_pairs(b: Baskets) -> None:
    res, secs = _timed(_tallyfold.rust_compute_pairs, b.txn_ids, b.item_ids, b.n_items, MIN_SUPPORT)
    print(f"Pairs: {b.n_rows:,} rows, {res['n_transactions']:,} transactions, {b.n_items:,} items; "
          f"rust_compute_pairs(min_support={MIN_SUPPORT}) took {secs:.3f} s wall, "
          f"{res['item_A'].shape[0]:,} ordered pairs returned")

    a, c = res["item_A"], res["item_B"]
    support, conf, lift = res["support"], res["confidence"], res["lift"]
    # Lift is symmetric, so each unordered pair appears twice with the same lift; show only the
    # direction with the higher confidence (ties: lower antecedent id) to avoid mirrored rows.
    mirror_wins = (conf < _mirror(res, "confidence")) | (
        (conf == _mirror(res, "confidence")) & (a > c))
    eligible = np.flatnonzero((support >= RANK_MIN_SUPPORT) & ~mirror_wins)
    order = eligible[np.lexsort((-conf[eligible], -lift[eligible]))][:TOP]

    print(f"\nTop {TOP} associations by lift (pairs in >= {RANK_MIN_SUPPORT:.1%} of baskets, "
          f"each pair once, in its more confident direction; ties by confidence)")
    header = (f"{'antecedent':<{NAME_WIDTH}}    {'consequent':<{NAME_WIDTH}} "
              f"{'count':>7} {'support':>8} {'confidence':>10} {'lift':>7}")
    print(header)
    print("-" * len(header))
    for i in order:
        print(f"{_name(b, int(a[i])):<{NAME_WIDTH}} -> {_name(b, int(c[i])):<{NAME_WIDTH}} "
              f"{int(res['instances'][i]):>7,} {support[i]:>8.4f} {conf[i]:>10.3f} {lift[i]:>7.2f}")
    if order.shape[0] == 0:
        print("(no pair reaches the ranking threshold)")


def _mirror(res: dict, key: str) -> np.ndarray:
    """`res[key]` of the reversed pair (B, A) for every row (A, B); NaN where it is absent."""
    a = res["item_A"].astype(np.int64)
    c = res["item_B"].astype(np.int64)
    n = int(max(a.max(initial=-1), c.max(initial=-1))) + 1
    fwd = a * n + c
    order = np.argsort(fwd)
    pos = np.searchsorted(fwd[order], c * n + a)
    pos = np.minimum(pos, max(fwd.shape[0] - 1, 0))
    out = np.full(a.shape[0], np.nan)
    if fwd.shape[0]:
        hit = fwd[order][pos] == c * n + a
        out[hit] = res[key][order[pos[hit]]]
    return out


def section_itemsets(b: Baskets) -> None:
    if not hasattr(_tallyfold, "rust_compute_pipeline"):
        print("\nItemsets: skipped (this build has no rust_compute_pipeline)")
        return
    weights = np.zeros(0, dtype=np.float64)  # empty: every item weighs the same
    res, secs = _timed(_tallyfold.rust_compute_pipeline, b.txn_ids, b.item_ids, ITEMSET_K_MAX,
                       b.n_items, MIN_SUPPORT, weights)
    sets = np.asarray(res["itemsets"])
    counts = np.asarray(res["counts"])
    n_txn = int(res["n_transactions"])
    n_lower = int(np.asarray(res["lower_counts"]).shape[0])
    print(f"\nItemsets: rust_compute_pipeline(k_max={ITEMSET_K_MAX}, min_support={MIN_SUPPORT}) took "
          f"{secs:.3f} s wall; {counts.shape[0]:,} itemsets of the largest size, "
          f"{n_lower:,} smaller ones")
    print(f"\nTop {TOP} itemsets by count")
    header = f"{'count':>7} {'support':>8}  items"
    print(header)
    print("-" * 72)
    for i in np.argsort(-counts, kind="stable")[:TOP]:
        row = sets[i] if sets.ndim == 2 else np.atleast_1d(sets[i])
        # Negative ids would be padding, never items.
        names = " + ".join(b.item_names[int(x)] for x in row if x >= 0)
        print(f"{int(counts[i]):>7,} {counts[i] / max(n_txn, 1):>8.4f}  {names}")
    if counts.shape[0] == 0:
        print("(no itemset reaches min_support)")


SECTIONS = (section_pairs, section_itemsets)


def main() -> None:
    baskets, secs = _timed(generate, N_ROWS, SEED)
    print(f"tallyfold demo: {baskets.summary()} (synthetic, seed {SEED}, generated in {secs:.2f} s)\n")
    for section in SECTIONS:
        section(baskets)


if __name__ == "__main__":
    main()
