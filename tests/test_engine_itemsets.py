"""tallyfold._engine.mine_itemsets: every size in one pass, every algorithm and target."""

import random
import threading
import time

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from tallyfold import _engine
from engine_reference import ALGORITHMS, TARGETS, engine_itemsets, expected_rows
from reference import as_arrays, baskets

# Few items, many baskets: itemsets land on both sides of the sparse/dense set switch.
BASKETS = st.lists(st.sets(st.integers(0, 11), max_size=8), min_size=0, max_size=60)


def mine(txn, item, n_items, min_count=1, max_len=0, algorithm="auto", target="all", threads=0):
    return _engine.mine_itemsets(txn, item, n_items, min_count, max_len, algorithm, target,
                                 threads)


@pytest.mark.parametrize("target", TARGETS)
@pytest.mark.parametrize("algorithm", ALGORITHMS)
@settings(max_examples=25, deadline=None)
@given(rows=BASKETS, min_count=st.integers(1, 4), max_len=st.integers(0, 4))
def test_matches_brute_force_in_lexicographic_order(algorithm, target, rows, min_count, max_len):
    """Every algorithm, target and thread count gives the reference rows in the same order."""
    txn, item = as_arrays(rows)
    expected = expected_rows(baskets(txn, item), min_count, max_len, target)
    one = mine(txn, item, 12, min_count, max_len, algorithm, target, threads=1)
    two = mine(txn, item, 12, min_count, max_len, algorithm, target, threads=2)
    assert engine_itemsets(one) == expected
    for key in ("items", "offsets", "counts", "item_counts"):
        np.testing.assert_array_equal(one[key], two[key])


def test_duplicate_rows_and_any_transaction_ids():
    """A repeated row counts once; negative and unsorted txn ids are just labels."""
    txn = np.array([-5, -5, 9, -5, 9, 3, 3, 3], dtype=np.int64)
    item = np.array([1, 1, 1, 2, 2, 0, 1, 1], dtype=np.int32)
    result = mine(txn, item, 4)
    assert engine_itemsets(result) == [((0,), 1), ((0, 1), 1), ((1,), 3), ((1, 2), 2), ((2,), 2)]
    np.testing.assert_array_equal(result["item_counts"], [1, 3, 2, 0])
    assert result["n_transactions"] == 3


@pytest.mark.parametrize("algorithm", ALGORITHMS)
def test_sparse_item_ids_come_back_as_given(algorithm):
    """Ids spread over a huge range (a categorical with few used codes) are counted on dense
    numbers inside; rows and item counts must still carry the caller's ids."""
    top = 2_000_000_000
    txn = np.array([1, 1, 2, 2, 3, 3], dtype=np.int64)
    item = np.array([0, top, 0, top, 5, top], dtype=np.int32)
    result = mine(txn, item, top + 1, min_count=2, algorithm=algorithm)
    assert engine_itemsets(result) == [((0,), 2), ((0, top), 2), ((top,), 3)]
    assert result["item_counts"][[0, 5, top]].tolist() == [2, 1, 3]
    assert np.count_nonzero(result["item_counts"]) == 3


@pytest.mark.parametrize("algorithm", ALGORITHMS)
def test_parallel_sizes_agree(algorithm):
    """An input large enough for every parallel stage gives the same rows at 1 and 2 threads."""
    rng = np.random.default_rng(3)
    n_txn = 12_000
    lengths = rng.integers(1, 9, n_txn)
    txn = np.repeat(np.arange(n_txn, dtype=np.int64), lengths)
    # Skewed popularity: some items in most baskets, a long tail in few.
    item = np.minimum(rng.zipf(1.3, txn.shape[0]) - 1, 599).astype(np.int32)
    one = mine(txn, item, 600, 30, 0, algorithm, "all", 1)
    two = mine(txn, item, 600, 30, 0, algorithm, "all", 2)
    reference = mine(txn, item, 600, 30, 3, "classic", "all", 1)
    for key in ("items", "offsets", "counts"):
        np.testing.assert_array_equal(one[key], two[key])
    short = [(s, c) for s, c in engine_itemsets(one) if len(s) <= 3]
    assert short == engine_itemsets(reference)
    assert len(short) > 600


def test_many_deep_itemsets():
    """Dense baskets: long itemsets, the closed and maximal ones among them, all algorithms."""
    rng = np.random.default_rng(8)
    rows = [set(np.flatnonzero(rng.random(14) < 0.7).tolist()) for _ in range(300)]
    txn, item = as_arrays(rows)
    results = {a: mine(txn, item, 14, 60, 0, a, "closed") for a in ALGORITHMS}
    expected = expected_rows(baskets(txn, item), 60, 0, "closed")
    for algorithm, result in results.items():
        assert engine_itemsets(result) == expected, algorithm


def test_empty_input_shapes_and_dtypes():
    empty64, empty32 = np.zeros(0, np.int64), np.zeros(0, np.int32)
    for algorithm in ALGORITHMS:
        result = mine(empty64, empty32, 3, algorithm=algorithm)
        assert result["items"].dtype == np.int32 and result["items"].shape == (0,)
        assert result["offsets"].dtype == np.int64 and result["offsets"].tolist() == [0]
        assert result["counts"].dtype == np.int64 and result["counts"].shape == (0,)
        assert result["item_counts"].tolist() == [0, 0, 0]
        assert result["n_transactions"] == 0


def test_min_count_above_every_count():
    txn, item = as_arrays([{0, 1}, {1}])
    result = mine(txn, item, 2, min_count=3)
    assert result["counts"].shape == (0,) and result["offsets"].tolist() == [0]
    np.testing.assert_array_equal(result["item_counts"], [1, 2])


@pytest.mark.parametrize("bad", [-1, 3, 2**31 - 1, -(2**31)])
def test_out_of_range_item_id_is_a_value_error(bad):
    txn = np.array([0, 0, 1], dtype=np.int64)
    item = np.array([0, bad, 1], dtype=np.int32)
    with pytest.raises(ValueError, match=r"item_ids\[1\] = .* outside 0..n_items-1"):
        mine(txn, item, 3)


BAD_CALLS = [
    # (keyword overrides, exception, message fragment)
    ({"txn_ids": np.zeros(2, np.int32)}, TypeError, "argument 'txn_ids'"),
    ({"item_ids": np.zeros(2, np.int64)}, TypeError, "argument 'item_ids'"),
    ({"item_ids": np.zeros(3, np.int32)}, ValueError, "same length"),
    ({"n_items": -1}, OverflowError, "argument 'n_items'"),
    ({"min_count": 0}, ValueError, "min_count must be at least 1"),
    ({"max_len": -2}, OverflowError, "argument 'max_len'"),
    ({"algorithm": "fpgrowth"}, ValueError, "algorithm must be one of 'auto', 'eclat'"),
    ({"algorithm": 3}, TypeError, "argument 'algorithm': expected str"),
    ({"target": "frequent"}, ValueError, "target must be one of 'all', 'closed', 'maximal'"),
    ({"threads": -1}, OverflowError, "argument 'threads'"),
    ({"txn_ids": np.zeros(4, np.int64)[::2]}, TypeError, "not contiguous"),
]


@pytest.mark.parametrize("overrides,error,fragment", BAD_CALLS,
                         ids=[next(iter(o)) + "-" + e.__name__ for o, e, _ in BAD_CALLS])
def test_bad_arguments_name_the_argument(overrides, error, fragment):
    args = dict(txn_ids=np.zeros(2, np.int64), item_ids=np.zeros(2, np.int32), n_items=1,
                min_count=1, max_len=0, algorithm="auto", target="all", threads=0)
    args.update(overrides)
    with pytest.raises(error, match=fragment):
        _engine.mine_itemsets(**args)


def _sparse(seed, n):
    rng = random.Random(seed)
    return as_arrays([set(rng.sample(range(300), rng.randint(2, 12))) for _ in range(n)])


def test_other_threads_run_while_mining():
    """The search runs with the interpreter lock released: another Python thread keeps
    running in the middle of the call, not only before and after it."""
    txn, item = _sparse(7, 300_000)
    stamps = []
    running = True

    def tick():
        while running:
            stamps.append(time.perf_counter())
            time.sleep(0.0005)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        time.sleep(0.01)
        start = time.perf_counter()
        mine(txn, item, 300, 2, 0, "eclat", "all", 1)
        end = time.perf_counter()
    finally:
        running = False
        ticker.join()
    margin = (end - start) / 5
    assert end - start > 0.02, "the call is too short to tell"
    assert any(start + margin < s < end - margin for s in stamps)


def test_concurrent_calls_match_sequential_ones():
    """Calls with their own thread bounds share nothing: simultaneous results must not mix."""
    inputs = [_sparse(seed, 4_000) for seed in range(3)]
    expected = [engine_itemsets(mine(t, i, 300, 3)) for t, i in inputs]
    results = [None] * 6

    def work(slot):
        t, i = inputs[slot % 3]
        results[slot] = engine_itemsets(mine(t, i, 300, 3, threads=slot % 2))

    workers = [threading.Thread(target=work, args=(s,)) for s in range(6)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    for slot, rows in enumerate(results):
        assert rows == expected[slot % 3]
