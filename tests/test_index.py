"""The transaction index, observed through rust_compute_pairs."""

import numpy as np
import pytest

import _tallyfold
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
    meeting the transactions in the same first-seen order: grouped (in place), dealt
    round-robin (scattered), de-duplicated, and with far-apart ids (hashed numbering)."""
    txn, item, n_items = _large_rows()
    order = np.argsort(np.arange(len(txn)) - np.searchsorted(txn, txn), kind="stable")
    _, first = np.unique(np.stack([txn, item]), axis=1, return_index=True)
    unique_rows = np.sort(first)
    far_ids = np.random.default_rng(9).choice(2**62, int(txn.max()) + 1, replace=False)
    return n_items, {
        "grouped": (txn, item),
        "dealt": (txn[order], item[order]),
        "deduplicated": (txn[unique_rows], item[unique_rows]),
        "hashed-ids": (far_ids[txn].astype(np.int64) - 2**61, item),
    }


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
