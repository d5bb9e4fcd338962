"""The transaction index, observed through rust_compute_pairs."""

import numpy as np
import pytest

import _tallyfold
from reference import as_arrays, assert_pairs_equal, baskets, pair_rows

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
