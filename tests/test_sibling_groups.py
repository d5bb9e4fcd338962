"""Sparse levels counted by groups of sibling anchors (anchors that differ only in their last
item): every pipeline against brute force on shapes that reach each way of counting a group,
the same rows in the same order on one CPU as on two, and capped runs (which count anchor by
anchor) on the same shapes."""

import os
import random

import numpy as np
import pytest

import _tallyfold
from reference import (as_arrays, baskets, frequent_of_rows, itemset_rows, min_count,
                       pipeline_arrays_on_one_cpu, pipeline_levels)

PIPELINES = ["rust_compute_pipeline", "rust_compute_pipeline_v1_roaring",
             "rust_compute_pipeline_v2_memo", "rust_compute_pipeline_v3_adaptive",
             "rust_compute_pipeline_v5_prefilter", "rust_compute_pipeline_v6_gating"]
KEYS = ["itemsets", "counts", "lower_itemsets", "lower_counts", "item_counts"]
N_ITEMS = 360
PLANTED = [list(range(301 + 6 * g, 307 + 6 * g)) for g in range(8)]


def _sparse_rows(seed, n_rows):
    """Item 0 in every basket and item 1 in half: the groups under prefixes (0) and (0, 1)
    hold about 300 siblings, more than one table of cells takes, so they are counted one
    sibling at a time. Planted runs of up to six items give deep levels of small groups,
    with anchors that have one extension (whose sets the memo counters drop) and several.
    Over 65,536 baskets keep every level off transaction bitsets."""
    rng = random.Random(seed)
    rows = []
    for _ in range(n_rows):
        row = {0} | set(rng.sample(range(2, 301), 4))
        if rng.random() < 0.5:
            row.add(1)
        if rng.random() < 0.04:
            row |= set(rng.choice(PLANTED)[:rng.randint(2, 6)])
        rows.append(row)
    return rows


@pytest.fixture(scope="module")
def sparse():
    rows = _sparse_rows(7, 70_000)
    txn, item = as_arrays(rows)
    return rows, txn, item


@pytest.mark.parametrize("k_max, min_support", [(3, 9 / 70_000), (4, 6 / 70_000),
                                                 (6, 40 / 70_000)])
def test_sibling_groups_match_brute_force(sparse, k_max, min_support):
    """Wide groups (one sibling at a time), narrow ones (one table for the group) and deep
    levels: every pipeline finds every frequent itemset of the two levels with its count, in
    ascending lexicographic order, and all agree array for array."""
    rows, txn, item = sparse
    cut = min_count(min_support, len(rows))
    want = frequent_of_rows(rows, k_max, cut)
    want_lower = frequent_of_rows(rows, k_max - 1, cut)
    assert len(want) > 0
    first = None
    for name in PIPELINES:
        result = getattr(_tallyfold, name)(txn, item, k_max, N_ITEMS, min_support, np.zeros(0))
        assert itemset_rows(result) == want, name
        assert itemset_rows(result, "lower_") == want_lower, name
        ordered = [tuple(r) for r in result["itemsets"].tolist()]
        assert ordered == sorted(ordered), name
        if first is None:
            first = result
        for key in KEYS:
            np.testing.assert_array_equal(result[key], first[key], err_msg=f"{name} {key}")


def test_wide_group_sizes_cross_the_table_limit(sparse):
    """The shape really holds groups on both sides of the 256-sibling table: the level-3
    group under item 0 and the level-4 group under (0, 1) are wider, the planted ones narrower."""
    rows, _, _ = sparse
    pairs = frequent_of_rows(rows, 2, 6)
    under_0 = [b for (a, b) in pairs if a == 0]
    under_01 = [c for (a, b, c) in frequent_of_rows(rows, 3, 6) if (a, b) == (0, 1)]
    assert len(under_0) > 256 and len(under_01) > 256


def test_one_cpu_and_two_give_the_same_arrays(sparse, tmp_path):
    """Groups are cut into ranges for the pool; rows, counts and order do not depend on how
    many threads ran them."""
    if len(os.sched_getaffinity(0)) < 2:
        pytest.skip("needs two CPUs")
    rows, txn, item = sparse
    k_max, min_support = 4, 6 / 70_000
    runs = [(name, k_max, min_support) for name in PIPELINES]
    on_one = pipeline_arrays_on_one_cpu(tmp_path, txn, item, runs, N_ITEMS, KEYS)
    for name, one in zip(PIPELINES, on_one):
        two = getattr(_tallyfold, name)(txn, item, k_max, N_ITEMS, min_support, np.zeros(0))
        assert len(two["counts"]) > 10
        for key in KEYS:
            np.testing.assert_array_equal(one[key], two[key], err_msg=f"{name} {key}")


@pytest.mark.parametrize("name", PIPELINES)
def test_capped_runs_on_the_same_shape_match_the_level_definition(name):
    """Under a cap every anchor is extended on its own (a capped level is not complete):
    the same shape, cut to three items by weight, matches the definition."""
    rows = _sparse_rows(8, 6_000)
    weights = np.array([float((7 * i) % 11) for i in range(N_ITEMS)])
    txn, item = as_arrays(rows)
    for k_max, cap in [(3, 3), (4, 4)]:
        result = getattr(_tallyfold, name)(txn, item, k_max, N_ITEMS, 3 / 6_000, weights, cap)
        final, lower = pipeline_levels(baskets(txn, item), k_max, 3 / 6_000, list(weights), cap)
        assert len(final) > 0
        assert itemset_rows(result) == final and itemset_rows(result, "lower_") == lower


def _short_and_long_rows(seed, n_rows):
    """Few baskets (bitset-sized), half of them one or two items and half four to eight, all
    from thirty common items: the anchors' transactions come from bitsets over only the
    baskets that can hold a row of the level (the short ones never can), the rare prefixes'
    from lists kept in those bitsets' numbering, and every group is small enough to be
    counted whole under a one-item prefix at level 3."""
    rng = random.Random(seed)
    weights = [1.0 / (1 + i) ** 0.7 for i in range(30)]
    rows = []
    for _ in range(n_rows):
        size = rng.randint(1, 2) if rng.random() < 0.5 else rng.randint(4, 8)
        row = set()
        while len(row) < size:
            row.add(rng.choices(range(30), weights)[0])
        rows.append(row)
    return rows


@pytest.mark.parametrize("k_max, count", [(3, 4), (4, 6), (5, 5), (6, 3)])
def test_short_baskets_beside_long_ones_match_brute_force(k_max, count):
    """Every pipeline counts a level on bitsets narrowed to the baskets that can hold one of
    its rows exactly as over all of them: same rows, counts and order as brute force."""
    rows = _short_and_long_rows(11, 12_000)
    txn, item = as_arrays(rows)
    want = frequent_of_rows(rows, k_max, count)
    want_lower = frequent_of_rows(rows, k_max - 1, count)
    assert len(want) > 50
    for name in PIPELINES:
        result = getattr(_tallyfold, name)(txn, item, k_max, 30, count / 12_000, np.zeros(0))
        assert itemset_rows(result) == want, name
        assert itemset_rows(result, "lower_") == want_lower, name
        ordered = [tuple(r) for r in result["itemsets"].tolist()]
        assert ordered == sorted(ordered), name
