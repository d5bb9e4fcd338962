"""The transaction index, observed through rust_compute_pairs."""

import numpy as np
import pytest

import _tallyfold
from child import assert_clean_exit, run_child
from reference import PAIR_KEYS, as_arrays, assert_pairs_equal, baskets, pair_rows

pairs = _tallyfold.rust_compute_pairs
I64 = np.iinfo(np.int64)

# Anchor 0 meets 5 in the first transaction and 2 in the second: partners in first-seen
# order are (5, 2), not ascending; transaction 3 repeats item 4 and lists items descending.
BASKETS = [[0, 5], [0, 2, 7], [5, 2], [7, 4, 4, 0], [2, 5, 0], [6]]
ID_SETS = {
    "dense": [0, 1, 2, 3, 4, 5],
    "unsorted-first-seen": [9, 3, 7, 1, 8, 2],
    "negative": [-1, -6, -2, -5, -3, -4],
    "extremes": [I64.max, I64.min, 0, -1, I64.min + 1, I64.max - 1],
    "sparse-hashed": [k * 10**15 + 17 for k in (3, -8, 5, 1, -2, 7)],
}


def _assert_same(a, b):
    assert a.keys() == b.keys()
    for key in a:
        np.testing.assert_array_equal(a[key], b[key], err_msg=key)


def _interleaved(bsk, ids):
    txn, item = as_arrays(bsk, ids)
    order = np.argsort(np.arange(len(txn)) % 3, kind="stable")
    return txn[order], item[order]


LAYOUTS = {
    "adjacent": as_arrays,
    "interleaved": _interleaved,
    "reversed-within-txn": lambda bsk, ids: as_arrays([b[::-1] for b in bsk], ids),
    "duplicated-rows": lambda bsk, ids: as_arrays(bsk + bsk[::2], ids + ids[::2]),
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("ids", ID_SETS)
def test_caller_ids_and_row_layout_invisible(ids, layout):
    dense = pairs(*as_arrays(BASKETS), 8)
    txn, item = LAYOUTS[layout](BASKETS, ID_SETS[ids])
    if layout == "interleaved":  # transactions still meet in the same first-seen order
        assert list(dict.fromkeys(txn.tolist())) == ID_SETS[ids]
    got = pairs(txn, item, 8)
    _assert_same(got, dense)
    assert_pairs_equal(got, pair_rows(baskets(txn, item)), len(BASKETS))


def test_first_seen_order_decides_partner_order():
    got = pairs(*as_arrays(BASKETS, [9, 3, 7, 1, 8, 2]), 8)
    anchor0 = got["item_B"][got["item_A"] == 0].tolist()
    assert anchor0 == [5, 2, 7, 4]
    # Presenting transaction 3 before transaction 9 changes the order.
    swapped = pairs(*as_arrays(BASKETS[1::-1] + BASKETS[2:], [3, 9, 7, 1, 8, 2]), 8)
    assert swapped["item_B"][swapped["item_A"] == 0].tolist() == [2, 7, 5, 4]


def test_distinct_ids_counted_not_rows():
    got = pairs(np.array([42, 7, 42], np.int64), np.array([1, 2, 3], np.int32), 4)
    assert got["n_transactions"] == 2
    assert list(zip(got["item_A"].tolist(), got["item_B"].tolist())) == [(1, 3), (3, 1)]
    assert got["support"].tolist() == [0.5, 0.5]


def test_dense_table_boundary():
    # Spans just inside and just outside the range where ids use a direct table.
    rows = 40
    base = as_arrays([[i % 5, (i + 1) % 5] for i in range(rows // 2)])
    expected = pairs(*base, 5)
    for span in (2 * rows + 63, 2 * rows + 64, 2 * rows + 65):
        txn = base[0].copy()
        txn[txn == txn.max()] = span
        _assert_same(pairs(txn, base[1], 5), expected)


PANICS = [
    pytest.param([0, 0, 1], [0, 5, 1], 5, "index out of bounds: the len is 5 but the index is 5",
                 id="item-equals-n-items"),
    pytest.param([0, 0, 1], [0, -1, 1], 5,
                 "index out of bounds: the len is 5 but the index is 18446744073709551615",
                 id="item-negative"),
    pytest.param([0, 0, 1], [0, 1], 5, "index out of bounds: the len is 2 but the index is 2",
                 id="item-ids-shorter"),
    pytest.param([3], [0], 0, "index out of bounds: the len is 0 but the index is 0",
                 id="zero-items-one-row"),
    pytest.param([0, 1], [4, 99], 5, "index out of bounds: the len is 5 but the index is 99",
                 id="later-row-checked"),
]


@pytest.mark.parametrize("txn, item, n_items, message", PANICS)
def test_out_of_bounds_panics(txn, item, n_items, message, capfd):
    with pytest.raises(_tallyfold.PanicException) as err:
        pairs(np.array(txn, np.int64), np.array(item, np.int32), n_items)
    assert str(err.value) == message
    report = capfd.readouterr().err.splitlines()
    assert len(report) == 1 and message in report[0]


def test_panic_escapes_except_exception():
    caught = None
    try:
        try:
            pairs(np.array([0], np.int64), np.array([9], np.int32), 1)
        except Exception:  # noqa: BLE001 - must not catch an internal fault
            caught = "Exception"
    except BaseException as e:  # noqa: BLE001
        caught = type(e)
    assert caught is _tallyfold.PanicException


@pytest.mark.parametrize("extra", [[0, 1], [99, -1]], ids=["in-range", "out-of-range"])
def test_extra_item_ids_ignored(extra):
    txn, item = as_arrays([[0, 1], [1, 2]])
    expected = pairs(txn, item, 3)
    _assert_same(pairs(txn, np.concatenate([item, np.array(extra, np.int32)]), 3), expected)


@pytest.mark.parametrize("n_items", [0, 1, 1000])
def test_empty_input(n_items):
    got = pairs(np.zeros(0, np.int64), np.zeros(0, np.int32), n_items)
    assert got["n_transactions"] == 0 and all(len(v) == 0 for k, v in got.items()
                                               if k != "n_transactions")


def _large_rows(seed=5):
    """About 700k rows, a third of them repeats of a row of the same basket: large enough that
    every buffer of the index build is huge-page sized and de-duplication frees capacity."""
    rng = np.random.default_rng(seed)
    n_txn, n_items = 60_000, 400
    sizes = rng.integers(2, 12, n_txn)
    txn = np.repeat(np.arange(n_txn, dtype=np.int64), sizes)
    item = (rng.zipf(1.3, len(txn)) % n_items).astype(np.int32)
    repeat = rng.random(len(txn)) < 0.5
    txn = np.repeat(txn, np.where(repeat, 2, 1))
    item = np.repeat(item, np.where(repeat, 2, 1))
    return txn, item, n_items


def _large_layouts():
    """The rows of _large_rows in layouts that take every path of the index build, each
    meeting the transactions in the same first-seen order: grouped with ascending ids,
    grouped with ids in no order (near together: a table of ids; far apart: hashed; over the
    whole 64-bit range: numbered one by one), one transaction split in two places (grouped
    but for one repeat), one row per transaction in no id order, dealt round-robin
    (scattered) and de-duplicated."""
    txn, item, n_items = _large_rows()
    n_txn = int(txn.max()) + 1
    order = np.argsort(np.arange(len(txn)) - np.searchsorted(txn, txn), kind="stable")
    _, first = np.unique(np.stack([txn, item]), axis=1, return_index=True)
    unique_rows = np.sort(first)
    rng = np.random.default_rng(9)
    far_ids = rng.choice(2**62, n_txn, replace=False)
    near_ids = rng.permutation(n_txn)
    whole_range = far_ids.astype(np.int64) - 2**61
    whole_range[[7, 11]] = [I64.max, I64.min]
    # Transaction 5's last row moves to the end: its id recurs after other transactions.
    last_of_5 = int(np.flatnonzero(txn == 5)[-1])
    split = np.r_[np.delete(np.arange(len(txn)), last_of_5), last_of_5]
    return n_items, {
        "grouped": (txn, item),
        "grouped-near-ids": (near_ids[txn].astype(np.int64), item),
        "hashed-ids": (far_ids[txn].astype(np.int64) - 2**61, item),
        "grouped-whole-range-ids": (whole_range[txn], item),
        "split-transaction": (txn[split], item[split]),
        "dealt": (txn[order], item[order]),
        "deduplicated": (txn[unique_rows], item[unique_rows]),
    }


def _singleton_rows(n=300_000, seed=4):
    """One row per transaction, the ids in no order, and the same rows with ascending ids."""
    rng = np.random.default_rng(seed)
    item = rng.integers(0, 50, n).astype(np.int32)
    return (rng.permutation(n).astype(np.int64), item), (np.arange(n, dtype=np.int64), item)


@pytest.mark.parametrize("min_support", [0.0, 0.001])
def test_large_input_same_rows_in_every_layout(min_support):
    n_items, layouts = _large_layouts()
    results = {name: pairs(t, i, n_items, min_support) for name, (t, i) in layouts.items()}
    grouped = results["grouped"]
    for name, got in results.items():
        for key in PAIR_KEYS[:-1]:
            np.testing.assert_array_equal(got[key], grouped[key], err_msg=f"{name} {key}")
    if min_support == 0.0:
        t, _ = layouts["deduplicated"]
        per_txn = np.bincount(t)
        assert grouped["instances"].sum() == int((per_txn * (per_txn - 1)).sum())
        assert len(grouped["item_A"]) > 20_000


def test_large_input_same_itemsets_in_every_layout():
    n_items, layouts = _large_layouts()
    results = {name: _tallyfold.rust_eclat_pipeline(t, i, 3, n_items, 0.001)
               for name, (t, i) in layouts.items()}
    grouped = results["grouped"]
    assert len(grouped["counts"]) > 100
    for name, got in results.items():
        assert got.keys() == grouped.keys()
        for key, value in got.items():
            np.testing.assert_array_equal(value, grouped[key], err_msg=f"{name} {key}")


def test_one_row_per_transaction_in_any_id_order():
    shuffled, ascending = _singleton_rows()
    got, expected = pairs(*shuffled, 50), pairs(*ascending, 50)
    _assert_same(got, expected)
    assert got["n_transactions"] == len(shuffled[0]) and len(got["item_A"]) == 0


def _runs_then_single_rows(single_share, shuffle_ids, n_rows=400_000, seed=3):
    """Baskets of several rows, then baskets of one row each: the first part's chunks of rows
    keep only their runs, the second part's copy every id, and the chunk at the seam turns
    from the one to the other midway."""
    rng = np.random.default_rng(seed)
    n_single = int(n_rows * single_share)
    sizes = rng.integers(3, 15, n_rows // 8)
    grouped = np.repeat(np.arange(len(sizes), dtype=np.int64), sizes)[: n_rows - n_single]
    first_single = int(grouped[-1]) + 1
    txn = np.r_[grouped, np.arange(first_single, first_single + n_single, dtype=np.int64)]
    if shuffle_ids:
        txn = rng.permutation(int(txn[-1]) + 1)[txn]
    return txn, rng.integers(0, 60, n_rows).astype(np.int32)


@pytest.mark.parametrize("shuffle_ids", [False, True], ids=["ascending-ids", "shuffled-ids"])
@pytest.mark.parametrize("single_share", [0.1, 0.5])
def test_runs_and_single_rows_in_one_input(single_share, shuffle_ids):
    txn, item = _runs_then_single_rows(single_share, shuffle_ids)
    got = pairs(txn, item, 60)
    assert got["n_transactions"] == len(np.unique(txn))
    assert_pairs_equal(got, pair_rows(baskets(txn, item)), len(np.unique(txn)))


def test_large_input_first_bad_row_is_reported():
    """Rows are checked in chunks: of several bad ids, the first in row order is named, and a
    short item array is reported only when no bad id comes before its end."""
    txn, item, n_items = _large_rows()
    bad = item.copy()
    bad[[500_000, 400_000, 250_000]] = [n_items + 3, n_items + 2, n_items + 1]
    with pytest.raises(_tallyfold.PanicException, match=f"the index is {n_items + 1}$"):
        pairs(txn, bad, n_items)
    with pytest.raises(_tallyfold.PanicException, match=f"the index is {n_items + 1}$"):
        pairs(txn, bad[:300_000], n_items)
    with pytest.raises(_tallyfold.PanicException,
                       match="the len is 200000 but the index is 200000$"):
        pairs(txn, item[:200_000], n_items)


ONE_CPU_CHILD = """
import os
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
import numpy as np
import _tallyfold
from test_index import _large_layouts, _singleton_rows
n_items, layouts = _large_layouts()
layouts["singletons"] = _singleton_rows()[0]
out = {}
for name, (t, i) in layouts.items():
    for key, value in _tallyfold.rust_compute_pairs(t, i, n_items, 0.001).items():
        out[f"pairs {name} {key}"] = np.asarray(value)
    for key, value in _tallyfold.rust_eclat_pipeline(t, i, 3, n_items, 0.001).items():
        out[f"eclat {name} {key}"] = np.asarray(value)
np.savez(%r, **out)
"""


def test_one_thread_builds_the_same_index(tmp_path):
    """The chunked passes of the index build give the same result on one CPU as on all."""
    path = tmp_path / "one_cpu.npz"
    assert_clean_exit(run_child(ONE_CPU_CHILD % str(path)))
    n_items, layouts = _large_layouts()
    layouts["singletons"] = _singleton_rows()[0]
    with np.load(path) as one_cpu:
        for name, (t, i) in layouts.items():
            for key, value in pairs(t, i, n_items, 0.001).items():
                np.testing.assert_array_equal(one_cpu[f"pairs {name} {key}"], value,
                                              err_msg=f"pairs {name} {key}")
            for key, value in _tallyfold.rust_eclat_pipeline(t, i, 3, n_items, 0.001).items():
                np.testing.assert_array_equal(one_cpu[f"eclat {name} {key}"], value,
                                              err_msg=f"eclat {name} {key}")
