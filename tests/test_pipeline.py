"""The level-wise pipeline and the one-level counter, against brute force."""

import itertools
import math
import os
import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import _tallyfold
from reference import (anchor_extend_level, as_arrays, baskets, itemset_counts, itemset_rows,
                       pipeline_levels)

NO_WEIGHTS = np.zeros(0)
PIPELINE_KEYS = ["itemsets", "counts", "lower_itemsets", "lower_counts", "item_counts",
                 "n_transactions"]

# Few items, many baskets: deep levels exist and many itemsets are reached from several anchors.
basket_lists = st.lists(st.sets(st.integers(0, 9), min_size=1, max_size=7), max_size=60)


def pipeline(rows, k_max, min_support, weights=NO_WEIGHTS, cap=None, n_items=10, txn_ids=None):
    txn, item = as_arrays(rows, txn_ids)
    return _tallyfold.rust_compute_pipeline(txn, item, k_max, n_items, min_support, weights, cap)


def itemsets(rows, freq_lower, k, weights=NO_WEIGHTS, cap=None, n_items=10):
    txn, item = as_arrays(rows)
    return itemset_rows(_tallyfold.rust_compute_itemsets(
        txn, item, np.asarray(freq_lower, dtype=np.int32), k, n_items, weights, cap))


WORKED = [{1, 2, 3}, {1, 2, 4}, {1, 2, 3, 4}, {2, 3}]


def test_worked_example_counts_the_extension_once():
    assert itemsets(WORKED, [[1, 2], [1, 3], [2, 3]], 3, n_items=5) == {(1, 2, 3): 2}


@settings(max_examples=150, deadline=None)
@given(rows=basket_lists, k_max=st.integers(0, 5),
       min_support=st.sampled_from([0.0, -1.0, math.nan, 0.05, 0.1, 0.25, 0.5, 1.5]))
def test_pipeline_matches_brute_force(rows, k_max, min_support):
    """Every level and count, empty levels and the early stop included."""
    result = pipeline(rows, k_max, min_support, txn_ids=[7 - 3 * j for j in range(len(rows))])
    final, lower = pipeline_levels(baskets(*as_arrays(rows)), k_max, min_support)
    assert itemset_rows(result) == final
    assert itemset_rows(result, "lower_") == lower
    assert list(result) == PIPELINE_KEYS
    assert result["n_transactions"] == len(rows)


@settings(max_examples=100, deadline=None)
@given(rows=basket_lists, k_max=st.integers(3, 5), min_support=st.sampled_from([0.0, 0.1, 0.3]),
       cap=st.integers(0, 5), weights=st.lists(st.sampled_from([0.0, 1.0, 2.5, math.nan]),
                                               max_size=12))
def test_pipeline_with_cap_matches_level_definition(rows, k_max, min_support, cap, weights):
    """Levels 3 and up see capped transactions; pairs and item counts see full ones."""
    w = np.array(weights, dtype=np.float64)
    result = pipeline(rows, k_max, min_support, w, cap)
    bsk = baskets(*as_arrays(rows))
    final, lower = pipeline_levels(bsk, k_max, min_support, weights, cap)
    assert itemset_rows(result) == final
    assert itemset_rows(result, "lower_") == lower
    full_counts = itemset_counts(bsk, 1)
    assert result["item_counts"].tolist() == [full_counts.get((i,), 0) for i in range(10)]


def test_min_count_uses_the_unrounded_ceiling():
    """N = 100 and 0.07 give 8, not 7: a triple in 7 transactions is dropped."""
    rows = [{0, 1, 2}] * 7 + [{3}] * 93
    assert itemset_rows(pipeline(rows, 3, 0.07)) == {}
    assert itemset_rows(pipeline(rows + [{0, 1, 2}], 3, 0.07)) == {(0, 1, 2): 8}


@pytest.mark.parametrize("k_max", [0, 1, 2])
def test_small_k_max_returns_pairs_as_lower_level(k_max):
    result = pipeline(WORKED, k_max, 0.5, n_items=6)
    assert result["itemsets"].shape == (0, 0) and result["counts"].shape == (0,)
    assert itemset_rows(result, "lower_") == {(1, 2): 3, (1, 3): 2, (1, 4): 2, (2, 3): 3,
                                              (2, 4): 2}
    assert result["item_counts"].tolist() == [0, 3, 4, 3, 2, 0]


@pytest.mark.parametrize("k_max", [10**12, 2**64 - 1])
def test_huge_k_max_stops_at_the_first_empty_level(k_max):
    result = pipeline(WORKED, k_max, 0.0, n_items=6)
    assert result["itemsets"].shape == (0, 0) and result["lower_itemsets"].shape == (0, 0)
    assert result["n_transactions"] == 4


def test_empty_input_and_unreachable_support():
    empty = _tallyfold.rust_compute_pipeline(np.zeros(0, np.int64), np.zeros(0, np.int32), 4, 3,
                                             0.5, NO_WEIGHTS)
    assert empty["item_counts"].tolist() == [0, 0, 0] and empty["n_transactions"] == 0
    high = pipeline(WORKED, 3, 1.5, n_items=6)
    assert high["lower_itemsets"].shape == (0, 0)
    assert high["item_counts"].tolist() == [0, 3, 4, 3, 2, 0]


def test_row_order_may_vary_but_rows_pair_with_counts():
    rows = [set(random.Random(s).sample(range(10), 5)) for s in range(200)]
    first, second = pipeline(rows, 3, 0.02), pipeline(rows, 3, 0.02)
    assert itemset_rows(first) == itemset_rows(second) != {}


# --- the one-level counter ---------------------------------------------------------------

def test_pair_check_drops_high_count_itemsets_with_a_missing_pair():
    rows = [{1, 2, 3}] * 5
    assert itemsets(rows, [[1, 2], [1, 3], [2, 3]], 3) == {(1, 2, 3): 5}
    # (2, 3) is no 2-subset of any row: {1, 2, 3} fails the check from anchor {1, 2}.
    assert itemsets(rows, [[1, 2], [1, 3]], 3) == {}


def test_no_pair_set_counts_every_extension():
    """k = 2: one-item rows have no 2-subsets, so there is no pair check."""
    rows = [{1, 2, 3}, {1, 3}, {2, 3, 4}]
    assert itemsets(rows, [[1], [2], [3]], 2) == {(1, 2): 1, (1, 3): 2, (2, 3): 2}


def test_rows_are_never_reordered():
    """A descending row matches no transaction, but its pair still enters the pair set."""
    rows = [{1, 2, 3}] * 3
    assert itemsets(rows, [[2, 1], [1, 3], [2, 3]], 3) == {(1, 2, 3): 3}
    assert itemsets(rows, [[2, 1], [3, 1]], 3) == {}


@pytest.mark.parametrize("k", [0, 1, 3])
def test_degenerate_levels_are_empty(k):
    assert itemsets(WORKED, np.zeros((0, max(k - 1, 0))), k) == {}
    if k == 1:
        assert itemsets(WORKED, [[]], 1) == {}


@pytest.mark.parametrize("k, message", [
    (0, "attempt to subtract with overflow"),
    (4, "range end index 6 out of range for slice of length 4"),
    (2**64 - 1, "range end index 18446744073709551614 out of range for slice of length 4"),
])
def test_rows_past_the_data_are_internal_faults(k, message):
    with pytest.raises(_tallyfold.PanicException, match=message):
        itemsets(WORKED, [[1, 2], [1, 3]], k)


def test_column_major_freq_lower_is_read_by_rows():
    freq = np.array([[1, 2], [1, 3], [2, 3]], dtype=np.int32)
    assert itemsets(WORKED, np.asfortranarray(freq), 3) == itemsets(WORKED, freq, 3)


@pytest.mark.parametrize("cap, weights, expected", [
    (0, [], {}),
    (2, [], {}),  # a cap of k - 1 feeds the anchors but leaves no item to extend with
    (3, [0, 1, 1, 1, 5], {(1, 2, 3): 1, (1, 2, 4): 2}),  # ties keep ascending ids
    (3, [0, 1, 1], {(1, 2, 3): 2, (1, 2, 4): 1}),  # ids past the weights weigh 0.0
    (3, [0, 1, math.nan, 1, 5], {(1, 2, 3): 1, (1, 2, 4): 2}),  # NaN stays in place
    (3, [0, 3, math.nan, 1, 5], {(1, 2, 3): 1, (1, 2, 4): 2}),
])
def test_cap_keeps_the_heaviest_items(cap, weights, expected):
    freq = [[1, 2], [1, 3], [1, 4], [2, 3], [2, 4], [3, 4]]
    got = itemsets(WORKED, freq, 3, np.array(weights, dtype=np.float64), cap, n_items=5)
    assert got == expected
    bsk = baskets(*as_arrays(WORKED))
    pairs = {tuple(p) for p in freq}
    assert got == anchor_extend_level(bsk, pairs, pairs, 3, weights, cap)


def test_nan_weights_give_one_answer():
    rng = random.Random(5)
    rows = [set(rng.sample(range(12), 8)) for _ in range(300)]
    weights = np.array([rng.choice([math.nan, 1.0, 2.0, 3.0]) for _ in range(12)])
    freq = sorted(itemset_counts(baskets(*as_arrays(rows)), 2))
    results = [itemsets(rows, freq, 3, weights, 4, n_items=12) for _ in range(3)]
    assert results[0] == results[1] == results[2]
    bsk = baskets(*as_arrays(rows))
    assert results[0] == anchor_extend_level(bsk, set(freq), set(freq), 3, list(weights), 4)


def test_parallel_paths_match_brute_force():
    """Above 10,000 cut transactions and 500 anchors both steps run on the pool; itemsets
    met from anchors in different chunks appear once, with their true count."""
    rng = random.Random(11)
    rows = [set(rng.sample(range(60), rng.randint(3, 7))) for _ in range(12_000)]
    bsk = baskets(*as_arrays(rows))
    freq = sorted(itemset_counts(bsk, 2))
    assert len(freq) > 500
    assert itemsets(rows, freq, 3, n_items=60) == itemset_counts(bsk, 3)
    result = pipeline(rows, 4, 0.002, n_items=60)
    final, lower = pipeline_levels(bsk, 4, 0.002)
    assert itemset_rows(result) == final and itemset_rows(result, "lower_") == lower


def _dense_rows(seed, n_rows, n_items, keep):
    """Each item in about `keep` of the baskets, a few correlated: deep levels, many anchors."""
    rng = random.Random(seed)
    rows = []
    for _ in range(n_rows):
        row = {i for i in range(n_items) if rng.random() < keep}
        if 0 in row:
            row |= {1, 2}
        rows.append(row or {n_items - 1})
    return rows


@pytest.mark.parametrize("name", ["rust_compute_pipeline", "rust_compute_pipeline_v1_roaring",
                                  "rust_compute_pipeline_v2_memo",
                                  "rust_compute_pipeline_v3_adaptive",
                                  "rust_compute_pipeline_v5_prefilter",
                                  "rust_compute_pipeline_v6_gating"])
@pytest.mark.parametrize("seed, n_rows, n_items, k_max, min_support", [
    (1, 300, 14, 5, 0.05),     # several words per bitset, over 500 anchors (pool ranges)
    (2, 130, 12, 6, 0.02),     # transactions not a multiple of 64, deep levels
    (3, 64, 10, 4, 1 / 64),    # exactly one word; min count 1
    # 11 words per bitset and a min count of 6: the deep levels' sets of 6 to 21 transactions
    # are short lists in the adaptive memo, the pairs' sets bitsets.
    (5, 700, 14, 6, 6 / 700),
])
def test_dense_levels_match_brute_force(name, seed, n_rows, n_items, k_max, min_support):
    """Dense baskets, where levels are counted by intersecting transaction sets: the rows,
    counts and row order of the baseline, which match brute force."""
    rows = _dense_rows(seed, n_rows, n_items, 0.5)
    txn, item = as_arrays(rows)
    result = getattr(_tallyfold, name)(txn, item, k_max, n_items, min_support, NO_WEIGHTS)
    final, lower = pipeline_levels(baskets(*as_arrays(rows)), k_max, min_support)
    assert len(final) > 0
    assert itemset_rows(result) == final
    assert itemset_rows(result, "lower_") == lower
    baseline = _tallyfold.rust_compute_pipeline(txn, item, k_max, n_items, min_support,
                                                NO_WEIGHTS)
    for key in PIPELINE_KEYS:
        np.testing.assert_array_equal(result[key], baseline[key], err_msg=key)


def test_dense_and_sparse_parts_agree_with_eclat_on_one_cpu_and_two(tmp_path):
    """A dense block of baskets (bitset levels) and a larger sparse set (the walk): the same
    rows in the same order on one CPU as on two, and the same itemsets as Eclat mines."""
    if len(os.sched_getaffinity(0)) < 2:
        pytest.skip("needs two CPUs")
    dense = _dense_rows(4, 3000, 30, 0.45)
    sparse = [set(random.Random(5 + j).sample(range(30, 2030), 6)) for j in range(70_000)]
    cases = [(dense, 4, 0.05, 30), (dense + sparse, 3, 0.004, 2030)]
    for c, (rows, k_max, min_support, n_items) in enumerate(cases):
        txn, item = as_arrays(rows)
        np.save(tmp_path / f"txn{c}.npy", txn)
        np.save(tmp_path / f"item{c}.npy", item)
    code = textwrap.dedent(f"""
        import os
        os.sched_setaffinity(0, {{0}})
        import numpy as np, _tallyfold
        d = {str(tmp_path)!r}
        for c, (k_max, s, n) in enumerate({[(k, s, n) for _, k, s, n in cases]!r}):
            r = _tallyfold.rust_compute_pipeline(np.load(f"{{d}}/txn{{c}}.npy"),
                                                 np.load(f"{{d}}/item{{c}}.npy"), k_max, n, s,
                                                 np.zeros(0))
            np.savez(f"{{d}}/one{{c}}.npz", **{{k: v for k, v in r.items() if k != "n_transactions"}})
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, proc.stderr[-2000:]
    for c, (rows, k_max, min_support, n_items) in enumerate(cases):
        txn, item = as_arrays(rows)
        two = pipeline(rows, k_max, min_support, n_items=n_items)
        one = np.load(tmp_path / f"one{c}.npz")
        assert len(two["counts"]) > 100
        for key in PIPELINE_KEYS[:-1]:
            np.testing.assert_array_equal(one[key], two[key], err_msg=key)
        mined = _tallyfold.rust_eclat_pipeline(txn, item, k_max, n_items, min_support)
        assert itemset_rows(mined) == itemset_rows(two)
        assert itemset_rows(mined, "lower_") == itemset_rows(two, "lower_")


def test_sparse_levels_with_one_ubiquitous_item_match_brute_force():
    """More transactions than bitset levels take, so anchors' transactions come from
    intersections along the sorted anchors: a rare prefix gallops through the ubiquitous last
    item's long list, a long prefix is marked once and filters the next item's list, and
    consecutive anchors reuse both."""
    rng = random.Random(31)
    groups = [rng.sample(range(40), 5) for _ in range(12)]
    rows = []
    for _ in range(70_000):
        row = set(rng.sample(range(40), rng.randint(1, 3)))
        if rng.random() < 0.3:
            row |= set(rng.choice(groups)[:rng.randint(2, 5)])
        if rng.random() < 0.9:
            row.add(99)
        rows.append(row)
    _assert_pipeline_matches_brute_force(rows, (3, 4), 0.002, 100, 50)


def _assert_pipeline_matches_brute_force(rows, k_maxes, min_support, n_items, min_final):
    bsk = baskets(*as_arrays(rows))
    for k_max in k_maxes:
        result = pipeline(rows, k_max, min_support, n_items=n_items)
        final, lower = pipeline_levels(bsk, k_max, min_support)
        assert len(final) > min_final
        assert itemset_rows(result) == final and itemset_rows(result, "lower_") == lower


def _pairs_within(rows):
    return {(min(a, b), max(a, b)) for r in rows for a in r for b in r if a != b}


@pytest.mark.parametrize("seed, n_rows, n_items, k, floor", [
    (1, 300, 14, 4, 30),   # over 500 anchors: pool ranges, extensions met across ranges
    (2, 130, 12, 5, 4),    # transactions not a multiple of 64
    (6, 700, 16, 3, 0),    # every occurring pair an anchor, 11 words per bitset
    (7, 200, 12, 2, 0),    # single-item anchors: no pair check
])
def test_dense_lone_level_matches_brute_force(seed, n_rows, n_items, k, floor):
    """Dense baskets, where a lone level is counted on transaction bitsets: every extension
    of every given row (shuffled, plus one holding an id that never occurs), each once, with
    its true count, in ascending order."""
    rows = _dense_rows(seed, n_rows, n_items, 0.5)
    bsk = baskets(*as_arrays(rows))
    freq = [s for s, c in itemset_counts(bsk, k - 1).items() if c >= floor]
    random.Random(seed).shuffle(freq)
    freq.append(tuple(range(k - 2)) + (n_items + 3,))
    txn, item = as_arrays(rows)
    result = _tallyfold.rust_compute_itemsets(txn, item, np.asarray(freq, dtype=np.int32), k,
                                              n_items + 4, NO_WEIGHTS)
    expected = anchor_extend_level(bsk, set(freq), _pairs_within(freq) if k > 2 else set(), k)
    assert len(expected) > 50
    assert itemset_rows(result) == expected
    rows_out = result["itemsets"].tolist()
    assert rows_out == sorted(rows_out)


@pytest.mark.parametrize("odd_rows", [[], [(5, 3)], [(4, 4)]])
def test_dense_lone_level_with_odd_rows_matches_brute_force(odd_rows):
    """Rows out of order within themselves or repeating an item are anchors that never occur
    (as in the walk), though their pairs still pass the pair check."""
    rows = _dense_rows(8, 200, 10, 0.5)
    freq = [(a, b) for a in range(10) for b in range(a + 1, 10) if (a, b) != (3, 5)] + odd_rows
    txn, item = as_arrays(rows)
    got = itemset_rows(_tallyfold.rust_compute_itemsets(
        txn, item, np.asarray(freq, dtype=np.int32), 3, 10, NO_WEIGHTS))
    bsk = baskets(txn, item)
    assert got == anchor_extend_level(bsk, set(freq), _pairs_within(freq), 3)
    assert len(got) > 50


def _sparse_rows(seed, n_rows, n_items):
    """Baskets of 3-8 items from a long tail over many items, with a few planted runs: too
    sparse for transaction bitsets, so anchors find their transactions in the item lists."""
    rng = random.Random(seed)
    weights = [1 / (i + 1) for i in range(n_items)]
    rows = []
    for _ in range(n_rows):
        row = set(rng.choices(range(n_items), weights, k=rng.randint(3, 8)))
        if rng.random() < 0.2:
            start = rng.randrange(n_items - 6)
            row |= set(range(start, start + rng.randint(3, 6)))
        rows.append(row)
    return rows


@pytest.mark.parametrize("seed, k, floor, odd_rows", [
    (11, 2, 2, [(900,)]),                  # single-item anchors, one id that never occurs
    (12, 3, 3, [(5, 3), (4, 4)]),          # over 500 anchors; rows out of order or repeating
    (13, 4, 2, [(0, 1, 1000), (2, 1, 0)]),  # an id past every basket's; a reversed row
])
def test_sparse_lone_level_matches_brute_force(seed, k, floor, odd_rows):
    """Sparse baskets: every extension of every given row, each once, with its true count,
    in ascending order, whichever pool range its anchors fall in."""
    rows = _sparse_rows(seed, 3000, 800)
    bsk = baskets(*as_arrays(rows))
    freq = [s for s, c in itemset_counts(bsk, k - 1).items() if c >= floor]
    random.Random(seed).shuffle(freq)
    freq += odd_rows
    txn, item = as_arrays(rows)
    result = _tallyfold.rust_compute_itemsets(txn, item, np.asarray(freq, dtype=np.int32), k,
                                              1001, NO_WEIGHTS)
    expected = anchor_extend_level(bsk, set(freq), _pairs_within(freq) if k > 2 else set(), k)
    assert len(freq) > 500 and len(expected) > 500
    assert itemset_rows(result) == expected
    rows_out = result["itemsets"].tolist()
    assert rows_out == sorted(rows_out)


def test_dense_lone_level_on_one_cpu_and_two(tmp_path):
    """The bitset form of a lone level, over 500 anchors: the same arrays on one CPU as on two."""
    if len(os.sched_getaffinity(0)) < 2:
        pytest.skip("needs two CPUs")
    rows = _dense_rows(9, 2000, 24, 0.5)
    bsk = baskets(*as_arrays(rows))
    freq = np.asarray(sorted(s for s, c in itemset_counts(bsk, 3).items() if c >= 100),
                      dtype=np.int32)
    assert len(freq) > 500
    txn, item = as_arrays(rows)
    for name, array in (("txn", txn), ("item", item), ("freq", freq)):
        np.save(tmp_path / f"{name}.npy", array)
    code = textwrap.dedent(f"""
        import os
        os.sched_setaffinity(0, {{0}})
        import numpy as np, _tallyfold
        d = {str(tmp_path)!r}
        r = _tallyfold.rust_compute_itemsets(np.load(d + "/txn.npy"), np.load(d + "/item.npy"),
                                             np.load(d + "/freq.npy"), 4, 24, np.zeros(0))
        np.savez(d + "/one.npz", **r)
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, proc.stderr[-2000:]
    two = _tallyfold.rust_compute_itemsets(txn, item, freq, 4, 24, NO_WEIGHTS)
    one = np.load(tmp_path / "one.npz")
    assert len(two["counts"]) > 500
    for key in ("itemsets", "counts"):
        np.testing.assert_array_equal(one[key], two[key], err_msg=key)


PAIR_COUNTERS = ["rust_compute_pipeline", "rust_compute_pipeline_v1_roaring",
                 "rust_compute_pipeline_v3_adaptive", "rust_compute_pipeline_v6_gating"]


@pytest.mark.parametrize("name", PAIR_COUNTERS)
@pytest.mark.parametrize("n_common, n_baskets", [
    (256, 16_000),  # one table of counters per worker
    (60, 200),      # few items, but a table larger than the index: anchor by anchor
    (2, 500),       # a single pair
])
def test_frequent_pairs_on_both_sides_of_the_counter_table(name, n_common, n_baskets):
    """Sparse baskets of 2-6 items drawn from `n_common` frequent items plus one rare item
    each: every frequent pair with its true count, in ascending order."""
    rng = random.Random(n_common)
    rows = [set(rng.sample(range(n_common), rng.randint(2, min(6, n_common)))) | {1000 + b}
            for b in range(n_baskets)]
    txn, item = as_arrays(rows)
    support = 3 / n_baskets
    result = getattr(_tallyfold, name)(txn, item, 2, 1000 + n_baskets, support, NO_WEIGHTS)
    counts: dict[tuple, int] = {}
    for row in rows:
        common = sorted(i for i in row if i < n_common)
        for p in itertools.combinations(common, 2):
            counts[p] = counts.get(p, 0) + 1
    expected = {p: c for p, c in counts.items() if c >= 3}
    assert len(expected) > 0
    assert itemset_rows(result, "lower_") == expected
    pairs = result["lower_itemsets"].tolist()
    assert pairs == sorted(pairs)


def test_few_baskets_with_long_item_lists_match_brute_force():
    """Few transactions and common items (as in grocery data): anchors' transactions come
    from transaction bitsets rather than lists, for the pipeline's groups of siblings and for
    a lone level's anchors alike, with the level too sparse for counting on bitsets."""
    rng = random.Random(41)
    weights = [1 / (i + 1) ** 0.8 for i in range(150)]
    bundles = [rng.sample(range(150), 6) for _ in range(30)]
    rows = []
    for _ in range(6000):
        row = set(rng.choices(range(150), weights, k=rng.randint(2, 9)))
        if rng.random() < 0.2:
            row |= {i for i in rng.choice(bundles) if rng.random() < 0.8}
        rows.append(row)
    _assert_pipeline_matches_brute_force(rows, (3, 5), 0.002, 150, 20)
    bsk = baskets(*as_arrays(rows))
    freq = [s for s, c in itemset_counts(bsk, 2).items() if c >= 8]
    expected = anchor_extend_level(bsk, set(freq), _pairs_within(freq), 3)
    assert len(freq) > 500 and len(expected) > 1000
    assert itemsets(rows, freq, 3, n_items=150) == expected
