"""The memo pipelines on dense data, where every set is a transaction bitset (or a short
list): the frequent pairs are counted on item bitsets, and the levels above them depth
first, group by group, so that no level's sets are all held at once.
Every memo pipeline against brute force on shapes that reach each of these steps (and the
sparse side of each choice), with the baseline's arrays row for row, on one CPU as on two."""

import os
import random

import numpy as np
import pytest

import _tallyfold
from reference import (as_arrays, frequent_of_rows, itemset_rows, min_count,
                       pipeline_arrays_on_one_cpu)

MEMO = ["rust_compute_pipeline_v2_memo", "rust_compute_pipeline_v3_adaptive",
        "rust_compute_pipeline_v5_prefilter", "rust_compute_pipeline_v6_gating"]
KEYS = ["itemsets", "counts", "lower_itemsets", "lower_counts", "item_counts",
        "n_transactions"]
N_ITEMS = 24


def _dense_rows(seed, n_rows=3000):
    """Three blocks of eight items, each basket most of one block plus a few strays: pairs
    are frequent enough for transaction bitsets, levels 3 to 7 are non-empty at count 30,
    level 3 has over 500 anchors (the pool's ranges, cut at group starts), sets run to many
    blocks, and counts fall on both sides of the adaptive memo's list limit (twice the 47
    words of a set: 94 transactions)."""
    rng = random.Random(seed)
    blocks = [range(0, 8), range(8, 16), range(16, 24)]
    rows = []
    for _ in range(n_rows):
        row = {i for i in rng.choice(blocks) if rng.random() < 0.6}
        row |= {i for i in range(N_ITEMS) if rng.random() < 0.08}
        rows.append(row or {0})
    return rows


@pytest.fixture(scope="module")
def dense():
    rows = _dense_rows(1)
    return rows, *as_arrays(rows)


def _call(name, txn, item, k_max, min_support):
    return getattr(_tallyfold, name)(txn, item, k_max, N_ITEMS, min_support, np.zeros(0))


# (k_max, min_support): k_max 4 counts both top levels from the pairs, freeing their sets
# group by group; 5 to 7 go one to three levels deeper below the top two; at 0.02, k_max 7
# finds an empty top under a non-empty level 6, 8 an empty level 7, which empties both, and
# 9 and 2**64 - 1 the same empty level 7 below the top two.
SETTINGS = [(4, 0.01), (5, 0.01), (6, 0.01), (7, 0.01), (7, 0.02), (8, 0.02), (9, 0.02),
            (2**64 - 1, 0.02)]


@pytest.mark.parametrize("k_max, min_support", SETTINGS)
def test_memo_levels_match_brute_force(dense, k_max, min_support):
    """Rows, counts and their lexicographic order as brute force gives them, and the
    baseline's arrays exactly, for every memo pipeline."""
    rows, txn, item = dense
    cut = min_count(min_support, len(rows))
    want_lower = frequent_of_rows(rows, min(k_max - 1, 8), cut)
    want = frequent_of_rows(rows, min(k_max, 9), cut) if want_lower else {}
    baseline = _call("rust_compute_pipeline", txn, item, k_max, min_support)
    for name in MEMO:
        result = _call(name, txn, item, k_max, min_support)
        assert itemset_rows(result) == want, name
        assert itemset_rows(result, "lower_") == want_lower, name
        for prefix in ("", "lower_"):
            ordered = [tuple(r) for r in result[prefix + "itemsets"].tolist()]
            assert ordered == sorted(ordered), f"{name} {prefix}itemsets"
        for key in KEYS:
            np.testing.assert_array_equal(result[key], baseline[key], err_msg=f"{name} {key}")


def test_shape_reaches_each_step(dense):
    """The settings above really cross what they claim: non-empty levels up to 6 at count
    30 and up to 6 at count 60 with an empty 7, level 3 past 500 anchors, and level-5 sets on
    both sides of the list limit."""
    rows, _, _ = dense
    assert len(frequent_of_rows(rows, 3, 30)) > 500
    assert frequent_of_rows(rows, 7, 30) and not frequent_of_rows(rows, 7, 60) and frequent_of_rows(rows, 6, 60)
    counts = frequent_of_rows(rows, 5, 30).values()
    assert min(counts) < 94 <= max(counts)


def _sparse_rows(seed, n_rows=2000):
    """Three items of 300 per basket: the pairs are too many and too rare for bitsets, so
    they are counted by the transaction scan."""
    rng = random.Random(seed)
    return [set(rng.sample(range(300), 3)) for _ in range(n_rows)]


@pytest.mark.parametrize("shape, cut", [("dense", 0), ("dense", 1), ("dense", "median"),
                                        ("sparse", 0), ("sparse", 2)])
def test_pairs_match_brute_force(dense, shape, cut):
    """The pairs on item bitsets (dense) and by the scan (sparse): every pair reaching the
    min count, pairs exactly at it included (every co-occurring pair at min_support 0), in
    lexicographic order, and the level above them, from every memo pipeline as from the
    baseline."""
    rows = dense[0][:2000] if shape == "dense" else _sparse_rows(3)
    txn, item = as_arrays(rows)
    n_items = 300
    if cut == "median":
        counts = sorted(frequent_of_rows(rows, 2, 1).values())
        cut = counts[len(counts) // 2]
    # A count as a fraction: ceil((cut - 0.5) / N * N) is cut; min_support 0 counts from 1.
    min_support = (cut - 0.5) / len(rows) if cut else 0.0
    cut = max(cut, 1)
    want = frequent_of_rows(rows, 2, cut)
    assert cut in want.values() or cut == 1
    assert len(want) > 50
    for k_max in (2, 3):
        baseline = _tallyfold.rust_compute_pipeline(txn, item, k_max, n_items, min_support,
                                                    np.zeros(0))
        for name in MEMO:
            result = getattr(_tallyfold, name)(txn, item, k_max, n_items, min_support,
                                               np.zeros(0))
            got = itemset_rows(result, "lower_" if k_max == 2 else "")
            if k_max == 2:
                assert itemset_rows(result) == {} and got == want, name
                ordered = [tuple(r) for r in result["lower_itemsets"].tolist()]
                assert ordered == sorted(ordered), name
            else:
                assert got == frequent_of_rows(rows, 3, cut), name
            for key in KEYS:
                np.testing.assert_array_equal(result[key], baseline[key], err_msg=f"{name} {key}")


@pytest.mark.parametrize("rows, k_max, want, want_lower", [
    # Level 3 is the last non-empty one: the top is empty, level 3 is returned.
    ([{0, 1, 2}] * 4 + [{0, 1}, {2, 3}], 4, {}, {(0, 1, 2): 4}),
    # Level 3 is already empty at k_max 4: both returned levels are.
    ([{0, 1}] * 4 + [{1, 2}] * 4 + [{0, 2}] * 4, 4, {}, {}),
    # One group whose last member is the only extension (a set nothing reads).
    ([{0, 1, 2, 3}] * 5 + [{0, 1, 2}] * 2, 4, {(0, 1, 2, 3): 5},
     {(0, 1, 2): 7, (0, 1, 3): 5, (0, 2, 3): 5, (1, 2, 3): 5}),
], ids=["empty-top", "empty-lower", "one-extension"])
def test_small_top_levels(rows, k_max, want, want_lower):
    txn, item = as_arrays(rows)
    for name in MEMO:
        result = _call(name, txn, item, k_max, 0.3)
        assert itemset_rows(result) == want, name
        assert itemset_rows(result, "lower_") == want_lower, name


def test_one_cpu_and_two_give_the_same_arrays(dense, tmp_path):
    """The pairs are cut into ranges by the number of threads and each range is walked depth
    first; rows, counts and order are the same on one CPU as on two."""
    if len(os.sched_getaffinity(0)) < 2:
        pytest.skip("needs two CPUs")
    _, txn, item = dense
    runs = [(name, k_max, 0.01) for name in MEMO for k_max in (5, 7)]
    on_one = pipeline_arrays_on_one_cpu(tmp_path, txn, item, runs, N_ITEMS, KEYS)
    for (name, k_max, _), one in zip(runs, on_one):
        two = _call(name, txn, item, k_max, 0.01)
        assert len(two["counts"]) > 10
        for key in KEYS:
            np.testing.assert_array_equal(one[key], two[key], err_msg=f"{name} {k_max} {key}")
