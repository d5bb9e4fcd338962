#!/usr/bin/env python3
"""The `make run` job: mine a synthetic shop's orders with the tallyfold package.

The shop's order lines become a pandas DataFrame of (order_id, product) rows, as they would come
out of a sales database; the demo then finds what sells together, the way a user of the package
would. Each report section is one function taking the shared baskets; add a section by writing
another function and listing it in SECTIONS.
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

import pandas as pd

# Lets the generator import work however this file is launched (path, runpy, another cwd).
sys.path.insert(0, str(Path(__file__).resolve().parent))

import tallyfold as tf  # noqa: E402
from synthetic_baskets import generate  # noqa: E402

N_ROWS = 300_000
SEED = 7
MIN_SUPPORT = 0.002
TOP = 15
# Lift rewards rare coincidences; ranking only rules seen in at least this share of baskets keeps
# the table to associations a store could act on.
RANK_MIN_SUPPORT = 0.005
MIN_CONFIDENCE = 0.2
NAME_WIDTH = 40

pd.set_option("display.width", 160)


def _timed(fn, *args, **kwargs):
    t0 = time.perf_counter()
    out = fn(*args, **kwargs)
    return out, time.perf_counter() - t0


def _names(itemset) -> str:
    text = " + ".join(sorted(itemset))
    return text if len(text) <= NAME_WIDTH else text[: NAME_WIDTH - 1] + "~"


def order_lines() -> pd.DataFrame:
    """The synthetic shop as the long table a user would have: one row per order line."""
    shop = generate(N_ROWS, SEED)
    names = pd.Categorical.from_codes(shop.item_ids, categories=shop.item_names)
    return pd.DataFrame({"order_id": shop.txn_ids, "product": names.astype(str)})


def section_itemsets(baskets: tf.Baskets, state: dict) -> None:
    itemsets, secs = _timed(tf.frequent_itemsets, baskets, min_support=MIN_SUPPORT)
    state["itemsets"] = itemsets
    sizes = itemsets["length"].value_counts().sort_index()
    print(f"frequent_itemsets(min_support={MIN_SUPPORT}) took {secs:.3f} s: "
          f"{len(itemsets):,} itemsets ("
          + ", ".join(f"{n:,} of size {k}" for k, n in sizes.items()) + ")")
    largest = itemsets[itemsets["length"] >= 2].head(TOP)
    print(f"\nTop {TOP} itemsets of two or more products by support")
    table = pd.DataFrame({"count": largest["count"], "support": largest["support"].round(4),
                          "products": largest["itemsets"].map(_names)})
    print(table.to_string(index=False) if len(table) else "(no itemset reaches min_support)")


def section_rules(baskets: tf.Baskets, state: dict) -> None:
    rules, secs = _timed(tf.association_rules, state["itemsets"], metric="confidence",
                         min_threshold=MIN_CONFIDENCE)
    print(f"\nassociation_rules(confidence >= {MIN_CONFIDENCE}) took {secs:.3f} s: "
          f"{len(rules):,} rules")
    shown = (rules[rules["support"] >= RANK_MIN_SUPPORT]
             .sort_values(["lift", "confidence"], ascending=False).head(TOP))
    print(f"\nTop {TOP} rules by lift (in >= {RANK_MIN_SUPPORT:.1%} of baskets; ties by "
          f"confidence)")
    table = pd.DataFrame({"if bought": shown["antecedents"].map(_names),
                          "then also": shown["consequents"].map(_names),
                          "count": shown["count"], "support": shown["support"].round(4),
                          "confidence": shown["confidence"].round(3),
                          "lift": shown["lift"].round(2)})
    print(table.to_string(index=False) if len(table) else "(no rule reaches the thresholds)")


def section_pairs(baskets: tf.Baskets, state: dict) -> None:
    pairs, secs = _timed(tf.pairs, baskets, min_support=RANK_MIN_SUPPORT)
    print(f"\npairs(min_support={RANK_MIN_SUPPORT}) took {secs:.3f} s: {len(pairs):,} ordered "
          f"pairs; strongest by cosine (each pair once)")
    once = pairs[pairs["antecedent"] < pairs["consequent"]]
    top = once.sort_values("cosine", ascending=False).head(5)
    print(top[["antecedent", "consequent", "count", "cosine", "jaccard"]]
          .round(3).to_string(index=False))


SECTIONS = (section_itemsets, section_rules, section_pairs)


def main() -> None:
    lines, secs = _timed(order_lines)
    print(f"tallyfold demo: {len(lines):,} order lines of a synthetic shop (seed {SEED}, "
          f"generated in {secs:.2f} s)")
    baskets, secs = _timed(tf.Baskets.from_long, lines, transaction="order_id", item="product")
    print(f"Baskets.from_long took {secs:.3f} s: {baskets}\n")
    state: dict = {}
    for section in SECTIONS:
        section(baskets, state)


if __name__ == "__main__":
    main()
