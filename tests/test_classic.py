"""Classic Apriori: both functions against brute force and against the other engines."""

import math
import random

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import _tallyfold
from reference import (PAIR_KEYS, PAIR_METRICS, as_arrays, baskets, classic_levels, engine_rows,
                       itemset_rows, pair_rows)

NO_WEIGHTS = np.zeros(0)
PIPELINE_KEYS = ["itemsets", "counts", "lower_itemsets", "lower_counts", "item_counts"]
PAIR_DTYPES = [np.int32, np.int32, np.int64] + [np.float64] * 7


def pipeline(rows, k_max, min_support, weights=NO_WEIGHTS, cap=None, n_items=10, txn_ids=None):
    txn, item = as_arrays(rows, txn_ids)
    weights = np.asarray(weights, dtype=np.float64)
    return _tallyfold.rust_classic_compute_pipeline(txn, item, k_max, n_items, 0, min_support,
                                                    weights, cap)


def pairs(rows, n_transactions, min_support, n_items=10):
    return _tallyfold.rust_classic_compute_pairs(*as_arrays(rows), n_items, n_transactions,
                                                 min_support)


def same_floats(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return np.array_equal(a, b, equal_nan=True) and np.array_equal(np.signbit(a), np.signbit(b))


def check_pair_result(result, expected):
    """Rows bit for bit as a set; each pair's two rows adjacent, the smaller item first."""
    assert list(result) == list(PAIR_KEYS[:-1])
    for key, dtype in zip(PAIR_KEYS, PAIR_DTYPES):
        assert result[key].dtype == dtype and result[key].shape == (len(result["item_A"]),)
    a, b = result["item_A"].tolist(), result["item_B"].tolist()
    assert a[0::2] == b[1::2] and b[0::2] == a[1::2]
    assert all(x < y for x, y in zip(a[0::2], b[0::2]))
    got = engine_rows(result)
    assert len(got) == len(a) and got.keys() == expected.keys()
    for key, want in expected.items():
        assert got[key][0] == want[0] and same_floats(got[key][1:], want[1:]), (key, got[key])


# --- worked examples ---------------------------------------------------------------------

FOUR = [{1, 2, 3}, {1, 2, 3}, {1, 2}, {3, 4}]
FIVE = [{0, 1}] + [{0}] * 4
PIPELINE_CASES = [
    pytest.param(FOUR, dict(k_max=3, min_support=0.5, n_items=5),
                 {(1, 2, 3): 2}, {(1, 2): 3, (1, 3): 2, (2, 3): 2}, [0, 3, 3, 3, 0],
                 id="level-3-after-prune-item-4-narrowed-away"),
    pytest.param([{3, 1}, {1}], dict(k_max=1, min_support=0.0, n_items=4, txn_ids=[10, -5]),
                 {(1,): 2, (3,): 1}, {}, [0, 2, 0, 1], id="caller-transaction-ids"),
    pytest.param(FOUR, dict(k_max=3, min_support=0.6, n_items=5),
                 {}, {(1, 2): 3}, [0, 3, 3, 3, 0], id="group-of-one-gives-no-level-3"),
    pytest.param(FOUR, dict(k_max=1, min_support=0.5, n_items=5),
                 {(1,): 3, (2,): 3, (3,): 3}, {}, [0, 3, 3, 3, 0], id="k-max-1-single-items"),
    pytest.param(FOUR, dict(k_max=0, min_support=0.5, n_items=5),
                 {}, {}, [0, 3, 3, 3, 0], id="k-max-0-still-narrows"),
    pytest.param(FOUR, dict(k_max=2**64 - 1, min_support=0.0, n_items=5),
                 {}, {}, [0, 3, 3, 3, 1], id="huge-k-max-stops-at-first-empty-level"),
    pytest.param(FOUR, dict(k_max=3, min_support=1.5, n_items=5),
                 {}, {}, [0, 3, 3, 3, 1], id="nothing-frequent-keeps-every-count"),
    pytest.param(FIVE, dict(k_max=2, min_support=0.4, n_items=2),
                 {}, {(0,): 5}, [5, 0], id="infrequent-item-counts-zero"),
    pytest.param(FIVE, dict(k_max=2, min_support=1.2, n_items=2),
                 {}, {}, [5, 1], id="min-count-above-all-counts"),
    pytest.param([{1, 5}] * 2, dict(k_max=2, min_support=0.0, n_items=5),
                 {(1, 5): 2}, {(1,): 2, (5,): 2}, [0, 2, 0, 0, 0], id="id-n-items-mined-not-counted"),
    pytest.param([{3, -1}, {3, -1, -7}], dict(k_max=2, min_support=0.0, n_items=4),
                 {(3, -7): 1, (3, -1): 2, (-7, -1): 1}, {(3,): 2, (-1,): 2, (-7,): 1},
                 [0, 0, 0, 2], id="negative-ids-sort-as-unsigned"),
    pytest.param([{0, 1, 2}] * 7 + [{3}] * 93, dict(k_max=3, min_support=0.07, n_items=4),
                 {}, {}, [0, 0, 0, 93], id="0.07-of-100-needs-8"),
    pytest.param([{0, 1, 2, 3}], dict(k_max=2, min_support=0.0, n_items=4,
                                     weights=[0.1, 0.9, 0.5, 0.9], cap=2),
                 {(1, 3): 1}, {(1,): 1, (3,): 1}, [0, 1, 0, 1], id="cap-ties-keep-ascending-ids"),
    pytest.param([{5, 6, 7}], dict(k_max=2, min_support=0.0, n_items=8, weights=[9.0], cap=2),
                 {(5, 6): 1}, {(5,): 1, (6,): 1}, [0, 0, 0, 0, 0, 1, 1, 0],
                 id="ids-past-the-weights-weigh-zero"),
    pytest.param([{0, 1, 2}], dict(k_max=3, min_support=0.0, n_items=3, weights=[0, 1, 2],
                                   cap=3),
                 {(0, 1, 2): 1}, {(0, 1): 1, (0, 2): 1, (1, 2): 1}, [1, 1, 1],
                 id="transaction-at-cap-untouched"),
    pytest.param(FOUR, dict(k_max=2, min_support=0.0, n_items=5, weights=[0, 1, 2, 3, 4],
                            cap=1),
                 {}, {(2,): 1, (3,): 2, (4,): 1}, [0, 0, 1, 2, 1], id="cap-1-leaves-no-pair"),
    pytest.param(FOUR, dict(k_max=1, min_support=0.0, n_items=5, weights=[1.0], cap=0),
                 {}, {}, [0, 0, 0, 0, 0], id="cap-0-empties-every-transaction"),
]


@pytest.mark.parametrize("rows, kwargs, final, lower, item_counts", PIPELINE_CASES)
def test_pipeline_worked_examples(rows, kwargs, final, lower, item_counts):
    result = pipeline(rows, **kwargs)
    assert list(result) == PIPELINE_KEYS
    assert itemset_rows(result) == final and itemset_rows(result, "lower_") == lower
    assert result["item_counts"].tolist() == item_counts


THIRD = 2 / 3
COSINE = THIRD / math.sqrt(THIRD)
JACCARD = THIRD / (1 + THIRD - THIRD)  # 0.6666666666666667: the metric's exact form counts
PAIR_CASES = [
    pytest.param([{1, 2}, {1, 2}, {1, 3}], 3, 0.5, {
        (1, 2): (2, THIRD, THIRD, 1.0, 1.0, 0.0, COSINE, JACCARD),
        (2, 1): (2, THIRD, 1.0, 1.0, math.nan, 0.0, COSINE, JACCARD),
    }, id="worked-pair"),
    pytest.param([{1, 2}, {1, 2}, {1, 3}], 6, 0.5, None, id="caller-n-halves-supports-only"),
    pytest.param([{1, 2}, {1, 2}, {1, 3}], 3, 0.0, None, id="zero-support-every-pair"),
    pytest.param([{1, 2}, {1, 2}, {3, 4}] * 3, 9, -1.0, None, id="negative-support-no-cut"),
    pytest.param([{1, 2}, {1, 2}, {3, 4}] * 3, 9, math.nan, None, id="nan-support-no-cut"),
    pytest.param([{1, 2}, {3}], 2, 0.6, {}, id="no-frequent-pair"),
    pytest.param([{1}, {2}], 2, 0.0, {}, id="no-pair-at-all"),
    pytest.param([], 0, 0.0, {}, id="empty-input"),
]


@pytest.mark.parametrize("rows, n_transactions, min_support, expected", PAIR_CASES)
def test_pairs_worked_examples(rows, n_transactions, min_support, expected):
    got = pairs(rows, n_transactions, min_support)
    reference = pair_rows(baskets(*as_arrays(rows)), min_support, n_transactions or None)
    check_pair_result(got, reference)
    if expected is not None:
        check_pair_result(got, expected)


def test_pairs_with_zero_transactions_give_infinite_or_nan_supports():
    """The caller's count is never compared with the data: 0 divides every support."""
    inf = math.inf  # every support is 2 / 0; NaNs come from the same operations as the engine's
    row = (2, inf, 1.0, 1.0 / inf, math.nan, inf - inf * inf, inf / math.sqrt(inf * inf),
           inf / (inf + inf - inf))
    check_pair_result(pairs([{1, 2}, {1, 2}], 0, 0.0), {(1, 2): row, (2, 1): row})


# --- against brute force -----------------------------------------------------------------

# Ids past n_items and negative ids included: the pipeline mines them and leaves them out of
# item_counts; negative ids sort after all others.
id_pool = st.sampled_from([0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, -1, -5, 2**31 - 1])
basket_lists = st.lists(st.sets(id_pool, min_size=0, max_size=7), max_size=50)
SUPPORTS = [0.0, -1.0, math.nan, 1e-12, 0.05, 0.1, 0.25, 0.5, 1.0, 1.5]


@settings(max_examples=200, deadline=None)
@given(rows=basket_lists, k_max=st.integers(0, 6), min_support=st.sampled_from(SUPPORTS),
       cap=st.one_of(st.none(), st.integers(0, 6)),
       weights=st.lists(st.sampled_from([0.0, 1.0, 2.5, -1.0, math.inf, math.nan]),
                        max_size=12))
def test_pipeline_matches_brute_force(rows, k_max, min_support, cap, weights):
    result = pipeline(rows, k_max, min_support, weights, cap,
                      txn_ids=[7 - 3 * j for j in range(len(rows))])
    final, lower, item_counts = classic_levels(baskets(*as_arrays(rows)), k_max, min_support,
                                               10, weights, cap)
    assert itemset_rows(result) == final
    assert itemset_rows(result, "lower_") == lower
    assert result["item_counts"].tolist() == item_counts


@settings(max_examples=150, deadline=None)
@given(rows=st.lists(st.sets(st.integers(0, 7), max_size=6), max_size=40),
       extra=st.integers(0, 3), min_support=st.sampled_from(SUPPORTS))
def test_pairs_match_brute_force(rows, extra, min_support):
    n = len(rows) + extra  # the caller's count need not match the data
    got = pairs(rows, n, min_support, n_items=8)
    if n == 0:
        assert len(got["item_A"]) == 0
        return
    check_pair_result(got, pair_rows(baskets(*as_arrays(rows)), min_support, n))


# --- against the other engines -----------------------------------------------------------

def mixed_baskets(seed, n_baskets, n_items, long_share):
    """Short baskets skewed to popular items, and a share of long ones (past 32 items)."""
    rng = random.Random(seed)
    weights = [1.0 / (i + 1) for i in range(n_items)]
    out = []
    for _ in range(n_baskets):
        size = rng.randint(33, 45) if rng.random() < long_share else rng.randint(1, 8)
        out.append(set(rng.choices(range(n_items), weights=weights, k=size)))
    return out


AGREEMENT = [
    pytest.param(3000, 60, 0.0, 0.01, id="sparse-pool-counting"),
    pytest.param(800, 300, 0.05, 0.004, id="long-rows"),
    pytest.param(400, 12, 0.0, 0.05, id="dense-bitsets"),
    # On bitsets, at a min count of 2 in 5000 baskets: runs of a handful of transactions have
    # their bits tested one by one, and segments that share very few have them listed first.
    pytest.param(5000, 60, 0.02, 0.0003, id="dense-bit-tests"),
    pytest.param(120, 40, 0.0, 0.0, id="every-itemset"),
]


@pytest.mark.parametrize("n_baskets, n_items, long_share, min_support", AGREEMENT)
@pytest.mark.parametrize("k_max", [3, 4])
def test_pipeline_agrees_with_anchor_and_extend(n_baskets, n_items, long_share, min_support,
                                                k_max):
    rows = mixed_baskets(n_baskets + n_items, n_baskets, n_items, long_share)
    txn, item = as_arrays(rows)
    classic = _tallyfold.rust_classic_compute_pipeline(txn, item, k_max, n_items, 0,
                                                       min_support, NO_WEIGHTS)
    other = _tallyfold.rust_compute_pipeline(txn, item, k_max, n_items, min_support, NO_WEIGHTS)
    assert itemset_rows(classic) == itemset_rows(other)
    assert itemset_rows(classic, "lower_") == itemset_rows(other, "lower_")
    assert len(classic["lower_counts"]) > 0


@pytest.mark.parametrize("n_baskets, n_items, long_share, min_support", AGREEMENT)
def test_pairs_agree_with_all_pairs_above_the_min_count(n_baskets, n_items, long_share,
                                                       min_support):
    rows = mixed_baskets(n_baskets, n_baskets, n_items, long_share)
    txn, item = as_arrays(rows)
    classic = _tallyfold.rust_classic_compute_pairs(txn, item, n_items, len(rows), min_support)
    full = _tallyfold.rust_compute_pairs(txn, item, n_items, min_support)
    expected = engine_rows(full)
    assert len(expected) > 0
    check_pair_result(classic, expected)


def test_a_clique_too_wide_for_one_counter_table():
    """Sparse baskets with 260 items that all occur together: the first items' segments of
    level 3 (about 259 runs by 258 extensions) count by runs, the later ones in one table."""
    clique, others = 260, 5000
    rng = np.random.default_rng(5)
    subsets = [np.flatnonzero(rng.random(clique) < 0.5) for _ in range(20)]
    rows = [range(clique)] * 3 + [s.tolist() for s in subsets]
    rows += [[clique + i] for i in range(others)]
    txn, item = as_arrays(rows)
    n_items = clique + others
    got = _tallyfold.rust_classic_compute_pipeline(txn, item, 3, n_items, 0, 2.5 / len(rows),
                                                   NO_WEIGHTS)
    sets = got["itemsets"].astype(np.int64)
    assert sets.shape == (math.comb(clique, 3), 3)
    assert np.all(sets[:, 0] < sets[:, 1]) and np.all(sets[:, 1] < sets[:, 2])
    assert sets.max() < clique
    codes = np.sort((sets[:, 0] * clique + sets[:, 1]) * clique + sets[:, 2])
    assert np.all(codes[1:] > codes[:-1])  # no itemset twice
    expected = np.full(len(sets), 3, dtype=np.int64)
    for s in subsets:
        member = np.zeros(clique, dtype=bool)
        member[s] = True
        expected += member[sets[:, 0]] & member[sets[:, 1]] & member[sets[:, 2]]
    assert np.array_equal(got["counts"], expected)


# --- faults ------------------------------------------------------------------------------

T3 = np.array([1, 1, 2], np.int64)
FAULTS = [
    pytest.param(lambda: _tallyfold.rust_classic_compute_pairs(
        T3, np.array([0, 1], np.int32), 4, 2, 0.0),
        "index out of bounds: the len is 2 but the index is 2", id="pairs-short-item-ids"),
    pytest.param(lambda: _tallyfold.rust_classic_compute_pipeline(
        T3, np.array([0, 1], np.int32), 2, 4, 2, 0.0, NO_WEIGHTS),
        "index out of bounds: the len is 2 but the index is 2", id="pipeline-short-item-ids"),
    pytest.param(lambda: _tallyfold.rust_classic_compute_pairs(
        T3, np.array([0, 4, -1], np.int32), 4, 2, 0.0),
        "index out of bounds: the len is 4 but the index is 4", id="pairs-id-n-items"),
    pytest.param(lambda: _tallyfold.rust_classic_compute_pairs(
        T3, np.array([0, -1, 9], np.int32), 4, 2, 0.0),
        "index out of bounds: the len is 4 but the index is 18446744073709551615",
        id="pairs-negative-id-widened"),
]


@pytest.mark.parametrize("call, message", FAULTS)
def test_internal_faults(call, message):
    with pytest.raises(_tallyfold.PanicException) as err:
        call()
    assert str(err.value) == message


def test_unused_arguments_and_extra_item_ids():
    """_n_transactions is range-checked, then unused; item ids past txn_ids are never read."""
    t, i = np.array([1, 1], np.int64), np.array([0, 1, 99], np.int32)
    with pytest.raises(OverflowError):
        _tallyfold.rust_classic_compute_pipeline(t, i, 2, 2, -1, 0.0, NO_WEIGHTS)
    for unused in (0, 2**32 - 1):
        result = _tallyfold.rust_classic_compute_pipeline(t, i, 2, 2, unused, 0.0, NO_WEIGHTS)
        assert itemset_rows(result) == {(0, 1): 1}
    assert len(_tallyfold.rust_classic_compute_pairs(t, i, 2, 1, 0.0)["item_A"]) == 2


# --- the interpreter lock ----------------------------------------------------------------

@pytest.mark.parametrize("name", ["rust_classic_compute_pairs", "rust_classic_compute_pipeline"])
def test_lock_is_held_for_the_whole_call(name):
    """No other Python thread runs during a classic call, pool work included. A thread stamps
    the clock and sleeps a moment between stamps, so it never has to ask for the lock, and the
    switch interval is long, so the caller is never asked to give it up: a stamp inside the
    call proves that the call let the lock go, however long the call takes on a busy machine.
    (Asking for the lock after a short interval would make the result depend on the call's
    length: the caller gives the lock up at the first bytecode after the call, before it can
    read the clock.) NumPy releases the lock around large zeroed allocations, so a result
    array made that way lets the thread in. The collector is off between the clock readings:
    3.12 and later run a pending collection at the first bytecode after a call, whose
    finalizers may release the lock outside the call."""
    import gc
    import sys
    import threading
    import time

    rows = mixed_baskets(5, 20_000, 200, 0.02)
    txn, item = as_arrays(rows)
    args = ((txn, item, 200, len(rows), 0.0005) if name.endswith("pairs") else
            (txn, item, 4, 200, 0, 0.0005, NO_WEIGHTS))
    function = getattr(_tallyfold, name)
    stamps, stop = [], threading.Event()

    def stamp():
        while not stop.is_set():
            stamps.append(time.perf_counter_ns())
            time.sleep(0.0002)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(60)
    worker = threading.Thread(target=stamp)
    worker.start()
    try:
        while len(stamps) < 3:
            time.sleep(0.001)
        gc.disable()
        start = time.perf_counter_ns()
        for _ in range(5):  # a short release is a race the thread may lose: give it chances
            function(*args)
        end = time.perf_counter_ns()
    finally:
        gc.enable()
        stop.set()
        worker.join()
        sys.setswitchinterval(interval)
    assert not [s for s in stamps if start < s < end]
