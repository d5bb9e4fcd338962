"""The Eclat miner: exact rows in lexicographic order, against brute force and the pipeline."""

import math
import os
import random
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import _tallyfold
from reference import (as_arrays, baskets, itemset_counts, itemset_rows,
                       pipeline_arrays_on_one_cpu)

PIPELINE_KEYS = ["itemsets", "counts", "lower_itemsets", "lower_counts", "item_counts",
                 "n_transactions"]


def eclat(rows, k_max, min_support, n_items=10, txn_ids=None):
    txn, item = as_arrays(rows, txn_ids)
    return _tallyfold.rust_eclat_pipeline(txn, item, k_max, n_items, min_support)


def frequent(bsk, k, min_support):
    """{itemset: count} of the frequent k-itemsets, by definition (no singles are reported)."""
    if k < 2:
        return {}
    cut = max(1, math.ceil(min_support * float(len(bsk)))) if min_support > 0 else 1
    return {s: c for s, c in itemset_counts(bsk, k).items() if c >= cut}


def assert_levels(result, bsk, k_max, min_support):
    """Both levels exactly: rows ascending lexicographically, each paired with its count."""
    for prefix, k in (("", k_max), ("lower_", k_max - 1)):
        want = frequent(bsk, k, min_support)
        rows = result[prefix + "itemsets"]
        assert rows.dtype == np.int32 and result[prefix + "counts"].dtype == np.int64
        assert rows.shape == ((len(want), k) if want else (0, 0)), prefix
        assert [tuple(r) for r in rows.tolist()] == sorted(want), prefix
        assert result[prefix + "counts"].tolist() == [want[s] for s in sorted(want)], prefix


WORKED = [{1, 2, 3}, {1, 2}, {2, 3}]


@pytest.mark.parametrize("rows, k_max, min_support, final, lower", [
    pytest.param(WORKED, 2, 0.5, {(1, 2): 2, (2, 3): 2}, {}, id="pairs-no-singles"),
    pytest.param(WORKED, 3, 0.5, {}, {(1, 2): 2, (2, 3): 2}, id="triple-below-cut"),
    pytest.param(WORKED, 3, 0.0, {(1, 2, 3): 1}, {(1, 2): 2, (1, 3): 1, (2, 3): 2},
                 id="zero-support-means-count-1"),
    pytest.param(WORKED, 3, -2.0, {(1, 2, 3): 1}, {(1, 2): 2, (1, 3): 1, (2, 3): 2},
                 id="negative-support-means-count-1"),
    pytest.param(WORKED, 3, math.nan, {(1, 2, 3): 1}, {(1, 2): 2, (1, 3): 1, (2, 3): 2},
                 id="nan-support-means-count-1"),
    pytest.param(WORKED, 9, 0.0, {}, {}, id="k-max-beyond-longest-itemset"),
    pytest.param([{0, 1, 2}] * 7 + [{3}] * 93, 3, 0.07, {}, {}, id="ceiling-unrounded-7-of-8"),
    pytest.param([{0, 1, 2}] * 8 + [{3}] * 92, 3, 0.07, {(0, 1, 2): 8},
                 {(0, 1): 8, (0, 2): 8, (1, 2): 8}, id="ceiling-unrounded-8-of-8"),
])
def test_worked_examples(rows, k_max, min_support, final, lower):
    result = eclat(rows, k_max, min_support)
    assert list(result) == PIPELINE_KEYS
    assert itemset_rows(result) == final
    assert itemset_rows(result, "lower_") == lower
    assert result["n_transactions"] == len(rows)


@pytest.mark.parametrize("k_max", [0, 1])
def test_small_k_max_is_rejected_before_the_arrays_are_looked_at(k_max):
    strided = np.arange(8, dtype=np.int64)[::2]
    with pytest.raises(ValueError, match=r"^rust_eclat_pipeline requires k_max >= 2$"):
        _tallyfold.rust_eclat_pipeline(strided, np.zeros(4, np.int32), k_max, 3, 0.5)
    with pytest.raises(TypeError, match="not contiguous"):
        _tallyfold.rust_eclat_pipeline(strided, np.zeros(4, np.int32), 2, 3, 0.5)


@pytest.mark.parametrize("min_support", [0.5, 1e-300, 0.0])
def test_empty_input_reports_nothing(min_support):
    """With no transactions a positive support gives a min count of 0; no itemset of count 0
    may come back (every combination of the 60 ids would)."""
    result = _tallyfold.rust_eclat_pipeline(np.zeros(0, np.int64), np.zeros(0, np.int32), 5, 60,
                                            min_support)
    assert result["itemsets"].shape == (0, 0) and result["lower_itemsets"].shape == (0, 0)
    assert result["item_counts"].tolist() == [0] * 60 and result["n_transactions"] == 0


@pytest.mark.parametrize("k_max, expected_final, expected_lower", [
    (2**64 - 1, 0, 0), (10**12, 0, 0), (25, 0, 1), (24, 1, 24), (23, 24, 276)])
def test_deep_k_max_on_dense_data_stays_bounded(k_max, expected_final, expected_lower):
    """24 items in every basket: 2^24 frequent itemsets, of which only the sizes asked for may
    be searched, however large k_max is."""
    result = eclat([set(range(24))] * 30, k_max, 0.0, n_items=24)
    assert len(result["counts"]) == expected_final
    assert len(result["lower_counts"]) == expected_lower
    assert set(result["counts"].tolist()) | set(result["lower_counts"].tolist()) <= {30}


def test_duplicate_rows_and_unused_ids():
    txn = np.array([5, 5, 5, 9, 9, 9, 5, -4, -4], np.int64)
    item = np.array([1, 3, 1, 3, 1, 3, 3, 3, 1], np.int32)
    result = _tallyfold.rust_eclat_pipeline(txn, item, 2, 6, 0.0)
    assert itemset_rows(result) == {(1, 3): 3}
    assert result["item_counts"].tolist() == [0, 3, 0, 3, 0, 0]


@pytest.mark.parametrize("txn, item, n_items, message", [
    pytest.param([1, 1, 2], [0, 5, 1], 5, "the len is 5 but the index is 5", id="id-equal-n-items"),
    pytest.param([1, 1, 2], [0, -1, 1], 5, "the len is 5 but the index is 18446744073709551615",
                 id="negative-id"),
    pytest.param([1, 1, 2], [0, 1], 5, "the len is 2 but the index is 2", id="short-item-ids"),
])
def test_bad_rows_are_internal_faults(txn, item, n_items, message):
    with pytest.raises(_tallyfold.PanicException, match=message):
        _tallyfold.rust_eclat_pipeline(np.array(txn, np.int64), np.array(item, np.int32), 2,
                                       n_items, 0.0)


def test_result_arrays_are_fresh_and_independent():
    result = eclat([{0, 1, 2}, {0, 1, 2}, {1, 2}], 3, 0.0, n_items=10**6)
    for key in PIPELINE_KEYS[:-1]:
        assert result[key].flags.c_contiguous and result[key].flags.writeable, key
    result["itemsets"][0, 0] = 77
    result["counts"][0] = 77
    assert result["lower_itemsets"].tolist() == [[0, 1], [0, 2], [1, 2]]
    assert result["lower_counts"].tolist() == [2, 2, 3]
    assert result["item_counts"][:3].tolist() == [2, 3, 3] and len(result["item_counts"]) == 10**6


def test_concurrent_calls_from_python_threads():
    """Calls share nothing but the pool: every thread gets its own exact answer."""
    inputs = [(_random_rows(seed, 3000, 60, (2, 10)), 3 + seed % 3, 0.01) for seed in range(6)]
    expected = [eclat(*args, n_items=60) for args in inputs]
    got = [None] * len(inputs)

    def run(k):
        for _ in range(3):
            got[k] = eclat(*inputs[k], n_items=60)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(len(inputs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for want, have in zip(expected, got):
        for key in PIPELINE_KEYS[:-1]:
            np.testing.assert_array_equal(have[key], want[key], err_msg=key)


# Few items, many baskets: deep levels exist, groups are dense and sparse.
basket_lists = st.lists(st.sets(st.integers(0, 11), min_size=1, max_size=9), max_size=70)


@settings(max_examples=200, deadline=None)
@given(rows=basket_lists, k_max=st.integers(2, 7),
       min_support=st.sampled_from([0.0, -1.0, 0.03, 0.1, 0.25, 0.5, 1.0, 1.5]))
def test_matches_brute_force(rows, k_max, min_support):
    txn_ids = [7 - 3 * j for j in range(len(rows))]  # descending and negative ids
    result = eclat(rows, k_max, min_support, n_items=12, txn_ids=txn_ids)
    bsk = baskets(*as_arrays(rows, txn_ids))
    assert_levels(result, bsk, k_max, min_support)
    assert result["item_counts"].tolist() == [
        itemset_counts(bsk, 1).get((i,), 0) for i in range(12)]


def _random_rows(seed, n_rows, n_items, sizes, hot=()):
    rng = random.Random(seed)
    return [set(rng.sample(range(n_items), rng.randint(*sizes))) | set(hot)
            for _ in range(n_rows)]


def _bundled_rows(seed, n_rows, n_items, hot):
    """Sparse baskets built from 150 bundles of 4 items, plus noise and a hot item in all."""
    rng = random.Random(seed)
    bundles = [rng.sample(range(n_items), 4) for _ in range(150)]
    rows = []
    for _ in range(n_rows):
        picked = {i for b in rng.sample(bundles, rng.randint(1, 2)) for i in b
                  if rng.random() < 0.9}
        rows.append(picked | set(rng.sample(range(n_items), rng.randint(0, 2))) | {hot})
    return rows


def _skewed_rows(seed, n_rows, probabilities):
    rng = random.Random(seed)
    return [{i for i, p in enumerate(probabilities) if rng.random() < p} | {0}
            for _ in range(n_rows)]


# Data shapes that steer the miner down each of its paths: pairs counted by AND over the
# whole data or by reading each item's rows; extensions counted by AND or by reading rows,
# and kept as bitsets or as position lists; positions of 16 or 32 bits (an item in more
# than 65,536 transactions).
SHAPES = [
    pytest.param(_random_rows(1, 400, 14, (6, 12)), 6, 0.1, id="dense-and-into-bitsets"),
    pytest.param(_skewed_rows(2, 5000, [1, .95, .9] + [.05, .04, .03, .03, .02] * 2), 5, 0.0005,
                 id="dense-with-rare-items-into-lists"),
    pytest.param(_bundled_rows(3, 8000, 1000, hot=0), 4, 0.002, id="sparse-read-rows"),
    pytest.param(_random_rows(4, 70_000, 9, (1, 3), hot=(0,)), 4, 0.01, id="dense-wide-universe"),
    pytest.param(_random_rows(5, 70_000, 250, (1, 3), hot=(3,)), 3, 0.0003,
                 id="sparse-wide-universe"),
    # Rows read from both layouts and written into lists, projections narrower than the one
    # before them on the same worker, projected rows outgrowing their first storage, and
    # groups whose bitsets would dwarf their lists kept as lists (the wide-universe shapes
    # above keep large but dense groups as bitsets).
    pytest.param(_random_rows(5, 70_000, 120, (2, 4), hot=(3,)), 4, 0.0003,
                 id="sparse-wide-universe-deeper"),
    # Rare items before many dense ones: a rare member of a bitset group reads its few rows
    # rather than ANDing every later member, and its extensions go into lists.
    pytest.param(_skewed_rows(9, 6000, [1] + [.006] * 40 + [.3] * 25), 4, 8 / 6000,
                 id="rare-members-among-dense"),
]


@pytest.mark.parametrize("rows, k_max, min_support", SHAPES)
def test_paths_match_brute_force(rows, k_max, min_support):
    result = eclat(rows, k_max, min_support, n_items=1000)
    assert_levels(result, baskets(*as_arrays(rows)), k_max, min_support)


@settings(max_examples=60, deadline=None)
@given(seed=st.integers(0, 10**6), k_max=st.integers(2, 6),
       min_support=st.sampled_from([0.0, 0.02, 0.05, 0.15]))
def test_agrees_with_level_wise_pipeline(seed, k_max, min_support):
    """Same row sets as rust_compute_pipeline, which returns the pairs as its lower level
    when k_max is 2."""
    rows = _random_rows(seed, 150, 12, (1, 8))
    txn, item = as_arrays(rows)
    mined = _tallyfold.rust_eclat_pipeline(txn, item, k_max, 12, min_support)
    level_wise = _tallyfold.rust_compute_pipeline(txn, item, k_max, 12, min_support, np.zeros(0))
    if k_max == 2:
        assert itemset_rows(mined) == itemset_rows(level_wise, "lower_")
        return
    assert itemset_rows(mined) == itemset_rows(level_wise)
    assert itemset_rows(mined, "lower_") == itemset_rows(level_wise, "lower_")
    np.testing.assert_array_equal(mined["item_counts"], level_wise["item_counts"])


def test_same_output_on_one_cpu_and_two(tmp_path):
    """Each top-level item fills its own output: no dependence on which thread ran it."""
    if len(os.sched_getaffinity(0)) < 2:
        pytest.skip("needs two CPUs")
    rows = _random_rows(6, 20_000, 400, (2, 12), hot=(11,)) + _random_rows(7, 2000, 20, (8, 15))
    txn, item = as_arrays(rows)
    np.save(tmp_path / "txn.npy", txn)
    np.save(tmp_path / "item.npy", item)
    code = textwrap.dedent(f"""
        import os
        os.sched_setaffinity(0, {{0}})
        import numpy as np, _tallyfold
        d = {str(tmp_path)!r}
        r = _tallyfold.rust_eclat_pipeline(np.load(d + "/txn.npy"), np.load(d + "/item.npy"),
                                           4, 400, 0.0005)
        np.savez(d + "/one.npz", **{{k: v for k, v in r.items() if k != "n_transactions"}})
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, proc.stderr[-2000:]
    two = _tallyfold.rust_eclat_pipeline(txn, item, 4, 400, 0.0005)
    one = np.load(tmp_path / "one.npz")
    assert len(two["counts"]) > 1000 and len(two["lower_counts"]) > 1000
    for key in PIPELINE_KEYS[:-1]:
        np.testing.assert_array_equal(one[key], two[key], err_msg=key)


def test_heavy_item_split_between_workers_keeps_its_rows_and_order(tmp_path):
    """An item in a third of many baskets holds much of the search: its subtree is split
    between workers by its pairs. The rows and their order are those of one worker, and the
    rows those of the level-wise pipeline."""
    if len(os.sched_getaffinity(0)) < 2:
        pytest.skip("needs two CPUs")
    rng = random.Random(12)
    rows = [row - {0} if rng.random() < 0.65 else row
            for row in _bundled_rows(12, 30_000, 1000, hot=0)]
    txn, item = as_arrays(rows)
    support = 0.0004
    runs = [("rust_compute_pipeline", k_max, support) for k_max in (3, 4)]
    level_wise = pipeline_arrays_on_one_cpu(tmp_path, txn, item, runs, 1000, PIPELINE_KEYS[:4])
    np.save(tmp_path / "txn.npy", txn)
    np.save(tmp_path / "item.npy", item)
    code = textwrap.dedent(f"""
        import os
        os.sched_setaffinity(0, {{0}})
        import numpy as np, _tallyfold
        d = {str(tmp_path)!r}
        for k_max in (3, 4):
            r = _tallyfold.rust_eclat_pipeline(np.load(d + "/txn.npy"), np.load(d + "/item.npy"),
                                               k_max, 1000, {support})
            np.savez(d + f"/eclat{{k_max}}.npz", **{{k: r[k] for k in {PIPELINE_KEYS[:4]!r}}})
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, proc.stderr[-2000:]
    for k_max, reference in zip((3, 4), level_wise):
        two = _tallyfold.rust_eclat_pipeline(txn, item, k_max, 1000, support)
        one = np.load(tmp_path / f"eclat{k_max}.npz")
        assert len(two["counts"]) > 100
        for key in PIPELINE_KEYS[:4]:
            np.testing.assert_array_equal(one[key], two[key], err_msg=f"{k_max} {key}")
        assert itemset_rows(two) == itemset_rows(reference)
        assert itemset_rows(two, "lower_") == itemset_rows(reference, "lower_")
