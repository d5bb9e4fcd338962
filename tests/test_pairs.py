"""rust_compute_pairs: metric values, filtering, result arrays, order and determinism."""

import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import _tallyfold
from reference import PAIR_KEYS, as_arrays, assert_pairs_equal, baskets, pair_rows

pairs = _tallyfold.rust_compute_pairs
NAN, INF = math.nan, math.inf
# instances, support, confidence, lift, conviction, leverage, cosine, jaccard
COS = 0.5 / math.sqrt(0.5)
WORKED = [
    pytest.param([[1, 2], [1, 3]], {
        (1, 2): (1, 0.5, 0.5, 1.0, 1.0, 0.0, COS, 0.5),
        (1, 3): (1, 0.5, 0.5, 1.0, 1.0, 0.0, COS, 0.5),
        (2, 1): (1, 0.5, 1.0, 1.0, NAN, 0.0, COS, 0.5),
        (3, 1): (1, 0.5, 1.0, 1.0, NAN, 0.0, COS, 0.5),
    }, id="consequent-in-every-basket-gives-nan-conviction"),
    pytest.param([[1, 2], [1, 2], [3]], {
        (1, 2): (2, 2 / 3, 1.0, 1.5, INF, 2 / 3 - 4 / 9, 1.0, 1.0),
        (2, 1): (2, 2 / 3, 1.0, 1.5, INF, 2 / 3 - 4 / 9, 1.0, 1.0),
    }, id="certain-rule-gives-infinite-conviction"),
]


@pytest.mark.parametrize("bsk, expected", WORKED)
def test_worked_examples(bsk, expected):
    got = pairs(*as_arrays(bsk), 4)
    assert_pairs_equal(got, expected, len(bsk))
    assert_pairs_equal(got, pair_rows(baskets(*as_arrays(bsk))), len(bsk))


THREE = [[0, 1], [0, 1], [0, 2]]
HUNDRED = [[0, 1]] * 7 + [[2]] * 93  # N=100, pair count 7


@pytest.mark.parametrize("bsk, min_support, n_rows", [
    pytest.param(THREE, 0.0, 4, id="zero-no-filter"),
    pytest.param(THREE, -0.5, 4, id="negative-no-filter"),
    pytest.param(THREE, NAN, 4, id="nan-no-filter"),
    pytest.param(THREE, 0.5, 2, id="half-of-three-needs-count-two"),
    pytest.param(THREE, 2 / 3, 2, id="exact-fraction-kept"),
    pytest.param(THREE, 1.0, 0, id="one-needs-every-basket"),
    pytest.param(THREE, 1.5, 0, id="above-one-no-rows"),
    pytest.param(THREE, INF, 0, id="infinite-no-rows"),
    pytest.param(HUNDRED, 0.07, 0, id="no-rounding-correction-7.000000000000001"),
    pytest.param(HUNDRED, 0.069, 2, id="just-below-kept"),
])
def test_min_support_cut(bsk, min_support, n_rows):
    got = pairs(*as_arrays(bsk), 3, min_support)
    assert len(got["item_A"]) == n_rows
    assert_pairs_equal(got, pair_rows(baskets(*as_arrays(bsk)), min_support), len(bsk))


DTYPES = [np.int32, np.int32, np.int64] + [np.float64] * 7


@pytest.mark.parametrize("bsk", [[], [[0, 1], [1, 2], [0, 2]]], ids=["empty", "filled"])
def test_result_layout(bsk):
    got = pairs(*as_arrays(bsk, [-4, 10, 3][:len(bsk)]), 3)
    assert tuple(got) == PAIR_KEYS
    assert type(got["n_transactions"]) is int and got["n_transactions"] == len(bsk)
    arrays = [got[k] for k in PAIR_KEYS[:-1]]
    for a, dtype in zip(arrays, DTYPES):
        assert a.dtype == np.dtype(dtype) and a.shape == (2 * len(bsk),)
        assert a.flags.c_contiguous and a.flags.writeable and a.flags.aligned
    if not bsk:
        return
    snapshot = [a.copy() for a in arrays]
    for k, a in enumerate(arrays):
        a[...] = 0  # zeroing one column leaves every later column intact
        assert all(np.array_equal(b, c, equal_nan=True)
                   for b, c in zip(arrays[k + 1:], snapshot[k + 1:]))


rows_strategy = st.lists(
    st.tuples(st.sampled_from([-(2**40), -3, 0, 1, 2, 5, 77, 2**62]), st.integers(0, 6)),
    max_size=40)


@settings(max_examples=300, deadline=None)
@given(rows=rows_strategy, extra_items=st.integers(0, 3),
       min_support=st.one_of(st.sampled_from([0.0, -1.0, NAN, 1.0, 0.25]),
                             st.floats(0, 1.2)))
def test_matches_reference(rows, extra_items, min_support):
    txn = np.array([r[0] for r in rows], np.int64)
    item = np.array([r[1] for r in rows], np.int32)
    got = pairs(txn, item, 7 + extra_items, min_support)
    bsk = baskets(txn, item)
    assert_pairs_equal(got, pair_rows(bsk, min_support), len(bsk))


def _medium():
    rng = np.random.default_rng(20240607)
    n_txn, n_items = 25_000, 3000
    sizes = rng.poisson(7, n_txn) + 1
    txn = np.repeat(rng.choice(10**12, n_txn, replace=False).astype(np.int64), sizes)[:200_000]
    weights = 1.0 / np.arange(1, n_items + 1)
    item = rng.choice(n_items, size=len(txn), p=weights / weights.sum()).astype(np.int32)
    return txn, item, n_items


def test_same_rows_for_one_and_two_threads(tmp_path):
    if len(os.sched_getaffinity(0)) < 2:
        pytest.skip("needs two CPUs")
    txn, item, n_items = _medium()
    np.save(tmp_path / "txn.npy", txn)
    np.save(tmp_path / "item.npy", item)
    code = textwrap.dedent(f"""
        import os
        os.sched_setaffinity(0, {{0}})
        import numpy as np, _tallyfold
        d = {str(tmp_path)!r}
        r = _tallyfold.rust_compute_pairs(np.load(d + "/txn.npy"), np.load(d + "/item.npy"),
                                          {n_items}, 0.0001)
        np.savez(d + "/one.npz", **{{k: v for k, v in r.items() if k != "n_transactions"}},
                 n_transactions=r["n_transactions"])
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, proc.stderr[-2000:]
    two = pairs(txn, item, n_items, 0.0001)
    one = np.load(tmp_path / "one.npz")
    assert len(two["item_A"]) > 10_000
    assert int(one["n_transactions"]) == two["n_transactions"]
    for key in PAIR_KEYS[:-1]:
        assert one[key].dtype == two[key].dtype
        np.testing.assert_array_equal(one[key], two[key], err_msg=key)
        assert np.array_equal(np.signbit(one[key]), np.signbit(two[key]))


def test_medium_sample_against_reference():
    txn, item, n_items = _medium()
    txn, item = txn[:20_000], item[:20_000]
    got = pairs(txn, item, n_items, 0.001)
    bsk = baskets(txn, item)
    assert_pairs_equal(got, pair_rows(bsk, 0.001), len(bsk))


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_no_memory_growth_over_many_calls():
    txn, item, n_items = _medium()
    txn, item = txn[:20_000], item[:20_000]
    for _ in range(20):
        pairs(txn, item, n_items)
    before = _rss_bytes()
    for k in range(1000):
        r = pairs(txn, item, n_items, 0.0 if k % 2 else 0.0005)
    assert len(r["item_A"]) > 10_000
    assert _rss_bytes() - before < 20 << 20


def _runs_of_every_length(longest):
    """Anchor 0 with 1..longest partners across the transactions it shares with them, an item
    in every basket (NaN conviction) and partners that always come with their anchor (infinite
    conviction), so vector steps and the rows after them mix every branch of the metrics."""
    rng = np.random.default_rng(longest)
    out = []
    for t in range(3 * longest):
        width = 1 + t % longest
        items = {0, 1} | {int(x) for x in rng.choice(np.arange(2, 2 + longest), width - 1,
                                                         replace=False)}
        if t % 3:
            items |= {40, 41}  # 40 always with 41, which misses every sixth basket
        elif t % 2:
            items.add(41)
        out.append(sorted(items))
    return out


@pytest.mark.parametrize("longest", [1, 2, 3, 4, 5, 7, 8, 9, 17])
@pytest.mark.parametrize("min_support", [0.0, 0.3])
def test_metric_runs_of_every_length_bit_for_bit(longest, min_support):
    bsk = _runs_of_every_length(longest)
    got = pairs(*as_arrays(bsk), 42, min_support)
    assert_pairs_equal(got, pair_rows(baskets(*as_arrays(bsk)), min_support), len(bsk))
    conviction = got["conviction"]
    assert np.isnan(conviction).any() and np.isinf(conviction).any()


@pytest.mark.parametrize("n_rows", [20_000, 90_000], ids=["calling-thread", "pool"])
@pytest.mark.parametrize("min_support", [0.0, 0.0005, 0.02, 0.2])
def test_anchors_below_the_min_count_leave_the_same_rows(min_support, n_rows):
    txn, item, n_items = _medium()
    txn, item = txn[:n_rows], item[:n_rows]
    got = pairs(txn, item, n_items, min_support)
    bsk = baskets(txn, item)
    assert_pairs_equal(got, pair_rows(bsk, min_support), len(bsk))
