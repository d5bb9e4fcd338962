"""Every level-wise pipeline variant against the same brute-force reference: they differ in
how a level is counted, never in what it holds."""

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
from reference import as_arrays, baskets, itemset_rows, pipeline_levels

PIPELINES = ["rust_compute_pipeline", "rust_compute_pipeline_v1_roaring",
             "rust_compute_pipeline_v2_memo", "rust_compute_pipeline_v3_adaptive",
             "rust_compute_pipeline_v5_prefilter", "rust_compute_pipeline_v6_gating"]
NO_WEIGHTS = np.zeros(0)


def levels(name, rows, k_max, min_support, weights=NO_WEIGHTS, cap=None, n_items=10):
    txn, item = as_arrays(rows)
    result = getattr(_tallyfold, name)(txn, item, k_max, n_items, min_support, weights, cap)
    assert list(result) == ["itemsets", "counts", "lower_itemsets", "lower_counts",
                            "item_counts", "n_transactions"]
    return itemset_rows(result), itemset_rows(result, "lower_")


@pytest.mark.parametrize("name", PIPELINES)
@settings(max_examples=60, deadline=None)
@given(rows=st.lists(st.sets(st.integers(0, 9), min_size=1, max_size=8), max_size=50),
       k_max=st.integers(0, 6), min_support=st.sampled_from([0.0, 0.05, 0.2, 1.5]),
       cap=st.sampled_from([None, 0, 2, 3, 5]),
       weights=st.lists(st.sampled_from([0.0, 1.0, 3.0, math.nan]), max_size=10))
def test_variant_matches_reference(name, rows, k_max, min_support, cap, weights):
    """With and without a cap: a capped transaction that lost an anchor item never counts
    toward that anchor, so every variant reports the baseline's rows and counts."""
    w = np.array(weights, dtype=np.float64)
    expected = pipeline_levels(baskets(*as_arrays(rows)), k_max, min_support, weights, cap)
    assert levels(name, rows, k_max, min_support, w, cap) == expected


@pytest.fixture(scope="module")
def wide_rows():
    """Well above 500 anchors per level and 10,000 cut transactions: every parallel path
    runs, and itemsets met from anchors of different chunks must merge to one row."""
    rng = random.Random(23)
    groups = [rng.sample(range(80), 6) for _ in range(40)]
    rows = []
    for _ in range(12_000):
        basket = set(rng.sample(range(80), rng.randint(2, 6)))
        basket |= set(rng.choice(groups)[:rng.randint(2, 6)])
        rows.append(basket)
    return rows


@pytest.mark.parametrize("cap", [None, 4])
def test_variants_agree_on_parallel_paths(wide_rows, cap):
    weights = np.linspace(0.0, 1.0, 80)
    bsk = baskets(*as_arrays(wide_rows))
    assert len(pipeline_levels(bsk, 2, 0.003)[1]) > 500  # the anchors of level 3
    expected = pipeline_levels(bsk, 4, 0.003, list(weights), cap)
    for name in PIPELINES:
        assert levels(name, wide_rows, 4, 0.003, weights, cap, n_items=80) == expected, name


def test_repeated_runs_give_the_same_rows(wide_rows):
    """Hash seeds and thread timing may reorder rows, never change them (the capped memo
    counters once depended on which anchor came first)."""
    weights = np.linspace(1.0, 0.0, 80)
    for name in PIPELINES[2:]:
        runs = [levels(name, wide_rows, 3, 0.003, weights, 3, n_items=80) for _ in range(3)]
        assert runs[0] == runs[1] == runs[2], name


@pytest.mark.parametrize("name", PIPELINES)
def test_empty_levels_and_small_k_max(name):
    rows = [{0, 1, 2}, {0, 1, 2}, {0, 1}, {3}]
    assert levels(name, rows, 2, 0.5) == ({}, {(0, 1): 3, (0, 2): 2, (1, 2): 2})
    assert levels(name, rows, 7, 0.5) == ({}, {})
    assert levels(name, rows, 2**64 - 1, 0.0) == ({}, {})
    assert levels(name, rows, 3, 2.0) == ({}, {})


def test_dense_variants_give_the_same_arrays_on_one_cpu_and_two(tmp_path):
    """Dense baskets with well over 500 anchors per level: each variant's bitset levels run
    on the pool in ranges cut by the number of threads, and give the baseline's arrays, row
    for row, on one CPU as on two."""
    if len(os.sched_getaffinity(0)) < 2:
        pytest.skip("needs two CPUs")
    rng = random.Random(4)
    rows = []
    for _ in range(3000):
        row = {i for i in range(30) if rng.random() < 0.45}
        rows.append(row | {1, 2} if 0 in row else row or {29})
    txn, item = as_arrays(rows)
    np.save(tmp_path / "txn.npy", txn)
    np.save(tmp_path / "item.npy", item)
    args = (5, 30, 0.05, NO_WEIGHTS)
    code = textwrap.dedent(f"""
        import os
        os.sched_setaffinity(0, {{0}})
        import numpy as np, _tallyfold
        d = {str(tmp_path)!r}
        txn, item = np.load(d + "/txn.npy"), np.load(d + "/item.npy")
        for name in {PIPELINES!r}:
            r = getattr(_tallyfold, name)(txn, item, 5, 30, 0.05, np.zeros(0))
            np.savez(d + "/" + name + ".npz", **{{k: v for k, v in r.items() if k != "n_transactions"}})
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, proc.stderr[-2000:]
    baseline = _tallyfold.rust_compute_pipeline(txn, item, *args)
    assert len(baseline["lower_counts"]) > 500 and len(baseline["counts"]) > 500
    for name in PIPELINES:
        two = getattr(_tallyfold, name)(txn, item, *args)
        one = np.load(tmp_path / f"{name}.npz")
        for key in one.files:
            np.testing.assert_array_equal(one[key], two[key], err_msg=f"{name} {key}")
            np.testing.assert_array_equal(two[key], baseline[key], err_msg=f"{name} {key}")
