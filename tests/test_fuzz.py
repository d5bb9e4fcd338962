"""Random arrays and arguments for all eleven functions: each call returns exactly what the
brute-force reference computes, in the fixed row order, or raises the documented exception.

The rows are raw arrays, not baskets: transaction ids negative, repeated, scattered or out of
order, item ids outside 0 .. n_items - 1, duplicate rows, an item_ids array shorter or
longer than txn_ids, NaN and out-of-range supports."""

import math
import re
from itertools import combinations

import numpy as np
from hypothesis import HealthCheck, given, settings, strategies as st

import _tallyfold
from reference import (anchor_extend_level, assert_pairs_equal, baskets, classic_levels,
                       engine_rows, itemset_counts, itemset_rows, min_count, pair_rows,
                       pipeline_levels)

BAD_ROW = re.compile(r"index out of bounds: the len is \d+ but the index is \d+")
PIPELINES = ["rust_compute_pipeline", "rust_compute_pipeline_v1_roaring",
             "rust_compute_pipeline_v2_memo", "rust_compute_pipeline_v3_adaptive",
             "rust_compute_pipeline_v5_prefilter", "rust_compute_pipeline_v6_gating"]
SUPPORTS = [0.0, -0.5, math.nan, math.inf, 1e-12, 0.05, 0.2, 0.5, 1.0, 1.5]
WEIGHTS = st.lists(st.sampled_from([0.0, 1.0, 2.5, -1.0, math.inf, math.nan]), max_size=10)
FUZZ = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@st.composite
def raw_rows(draw, n_items):
    """(txn_ids, item_ids, n_items): mostly valid rows, now and then a bad id or length."""
    n = draw(st.integers(0, 40))
    txn_pool = draw(st.lists(st.integers(-2**63, 2**63 - 1), min_size=1, max_size=8))
    txn = np.array([draw(st.sampled_from(txn_pool)) for _ in range(n)], dtype=np.int64)
    valid = st.integers(0, max(n_items - 1, 0))  # none is valid when n_items is 0
    bad = st.sampled_from([-1, -2**31, n_items, 2**31 - 1])
    ids = st.one_of(valid, bad) if draw(st.integers(0, 4)) == 0 else valid
    extra = draw(st.sampled_from([0, 0, 0, 0, 1, 3, -1]))
    item = np.array([draw(ids) for _ in range(max(n + extra, 0))], dtype=np.int32)
    return txn, item, n_items


def rows_fault(txn, item, n_items, check_ids=True):
    """Whether the rows are invalid for the functions that check item ids (or, without
    `check_ids`, only for short item arrays)."""
    if len(item) < len(txn):
        return True
    return check_ids and any(not 0 <= i < n_items for i in item[:len(txn)].tolist())


def call(function, *args, fault):
    """The result, or None after the documented fault; fails on anything else."""
    try:
        result = function(*args)
    except _tallyfold.PanicException as error:
        assert fault, f"unexpected fault: {error}"
        assert BAD_ROW.fullmatch(str(error)), str(error)
        return None
    assert not fault, "invalid rows accepted"
    return result


def bsk(txn, item):
    return baskets(txn, item[:len(txn)])


def assert_ascending(result, prefix=""):
    rows = [tuple(r) for r in result[prefix + "itemsets"].tolist()]
    assert rows == sorted(rows, key=lambda r: tuple(x & 0xFFFFFFFF for x in r))


def assert_item_counts(result, data, n_items):
    counts = [0] * n_items
    for items in data.values():
        for i in items:
            counts[i] += 1
    assert result["item_counts"].tolist() == counts
    assert result["n_transactions"] == len(data)


@FUZZ
@given(st.integers(0, 8).flatmap(raw_rows), st.sampled_from(SUPPORTS))
def test_pairs(rows, min_support):
    txn, item, n_items = rows
    result = call(_tallyfold.rust_compute_pairs, txn, item, n_items, min_support,
                  fault=rows_fault(txn, item, n_items))
    if result is not None:
        data = bsk(txn, item)
        assert_pairs_equal(result, pair_rows(data, min_support), len(data))


@FUZZ
@given(st.integers(0, 8).flatmap(raw_rows), st.sampled_from(SUPPORTS), st.integers(0, 5),
       st.sampled_from(PIPELINES), st.one_of(st.none(), st.integers(0, 5)), WEIGHTS)
def test_pipelines(rows, min_support, k_max, name, cap, weights):
    txn, item, n_items = rows
    w = np.array(weights, dtype=np.float64)
    result = call(getattr(_tallyfold, name), txn, item, k_max, n_items, min_support, w, cap,
                  fault=rows_fault(txn, item, n_items))
    if result is None:
        return
    data = bsk(txn, item)
    final, lower = pipeline_levels(data, k_max, min_support, weights, cap)
    assert itemset_rows(result) == final
    assert itemset_rows(result, "lower_") == lower
    assert_ascending(result)
    assert_ascending(result, "lower_")
    assert_item_counts(result, data, n_items)


@FUZZ
@given(st.integers(1, 8).flatmap(raw_rows), st.integers(2, 4), st.data(),
       st.one_of(st.none(), st.integers(0, 5)), WEIGHTS)
def test_itemsets(rows, k, data, cap, weights):
    txn, item, n_items = rows
    subsets = list(combinations(range(n_items), k - 1))
    lower = data.draw(st.lists(st.sampled_from(subsets), unique=True, max_size=12)) if subsets \
        else []
    freq = np.array(lower, dtype=np.int32).reshape(len(lower), k - 1)
    w = np.array(weights, dtype=np.float64)
    result = call(_tallyfold.rust_compute_itemsets, txn, item, freq, k, n_items, w, cap,
                  fault=rows_fault(txn, item, n_items))
    if result is None:
        return
    pairs = {p for row in lower for p in combinations(row, 2)}
    expected = anchor_extend_level(bsk(txn, item), set(lower), pairs, k, weights, cap)
    assert itemset_rows(result) == expected
    assert_ascending(result)


@FUZZ
@given(st.integers(0, 8).flatmap(raw_rows), st.sampled_from(SUPPORTS), st.integers(0, 5))
def test_eclat(rows, min_support, k_max):
    txn, item, n_items = rows
    if k_max < 2:
        try:
            _tallyfold.rust_eclat_pipeline(txn, item, k_max, n_items, min_support)
        except ValueError as error:
            assert str(error) == "rust_eclat_pipeline requires k_max >= 2"
            return
        raise AssertionError("k_max below 2 accepted")
    result = call(_tallyfold.rust_eclat_pipeline, txn, item, k_max, n_items, min_support,
                  fault=rows_fault(txn, item, n_items))
    if result is None:
        return
    data = bsk(txn, item)
    cut = max(min_count(min_support, len(data)), 1)
    level = lambda k: {s: c for s, c in itemset_counts(data, k).items() if c >= cut}
    assert itemset_rows(result) == level(k_max)
    assert itemset_rows(result, "lower_") == (level(k_max - 1) if k_max > 2 else {})
    assert_ascending(result)
    assert_ascending(result, "lower_")
    assert_item_counts(result, data, n_items)


@FUZZ
@given(st.integers(0, 8).flatmap(raw_rows), st.sampled_from(SUPPORTS), st.integers(0, 3))
def test_classic_pairs(rows, min_support, extra):
    txn, item, n_items = rows
    data_n = len(set(txn.tolist()))
    n = data_n + extra
    result = call(_tallyfold.rust_classic_compute_pairs, txn, item, n_items, n, min_support,
                  fault=rows_fault(txn, item, n_items))
    if result is None or n == 0:
        return
    expected = pair_rows(bsk(txn, item), min_support, n)
    got = engine_rows(result)
    assert got.keys() == expected.keys()
    a, b = result["item_A"].tolist(), result["item_B"].tolist()
    assert a[0::2] == b[1::2] and b[0::2] == a[1::2]
    assert list(zip(a[0::2], b[0::2])) == sorted(k for k in expected if k[0] < k[1])
    for key, want in expected.items():
        have = np.array(got[key][1:]), np.array(want[1:])
        assert got[key][0] == want[0] and np.array_equal(*have, equal_nan=True), key


@FUZZ
@given(st.integers(0, 8).flatmap(raw_rows), st.sampled_from(SUPPORTS), st.integers(0, 5),
       st.one_of(st.none(), st.integers(0, 5)), WEIGHTS)
def test_classic_pipeline(rows, min_support, k_max, cap, weights):
    """Item ids are not checked here: out-of-range ids are mined like any other."""
    txn, item, n_items = rows
    w = np.array(weights, dtype=np.float64)
    result = call(_tallyfold.rust_classic_compute_pipeline, txn, item, k_max, n_items, 0,
                  min_support, w, cap, fault=rows_fault(txn, item, n_items, check_ids=False))
    if result is None:
        return
    final, lower, item_counts = classic_levels(bsk(txn, item), k_max, min_support, n_items,
                                               weights, cap)
    assert itemset_rows(result) == final
    assert itemset_rows(result, "lower_") == lower
    assert result["item_counts"].tolist() == item_counts
    assert_ascending(result)
    assert_ascending(result, "lower_")
