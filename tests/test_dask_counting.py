"""The native calls behind mining by partitions: count_itemsets and keep_target.

count_itemsets is checked against counting with Python sets, on tables in and out of
lexicographic order (prefix sharing must not change a count), with ids absent from the
rows and an empty row; keep_target against the single-machine closed/maximal result.
"""

import random
import sys
from itertools import combinations

import numpy as np
import pytest

from child import interrupt_child
from tallyfold import _engine


def random_rows(seed: int, n_txn: int = 200, n_items: int = 12):
    rng = random.Random(seed)
    txn, items = [], []
    for t in range(n_txn):
        for i in rng.sample(range(n_items - 2), rng.randint(1, 6)):  # the last two never occur
            txn.append(t * 5)
            items.append(i)
    txn.append(0)
    items.append(items[0])  # a repeated row counts once
    return np.array(txn, dtype=np.int64), np.array(items, dtype=np.int32)


def table(rows):
    items = np.array([i for row in rows for i in row], dtype=np.int32)
    offsets = np.zeros(len(rows) + 1, dtype=np.int64)
    np.cumsum([len(r) for r in rows], out=offsets[1:])
    return items, offsets


def brute_counts(txn, items, rows):
    baskets = {}
    for t, i in zip(txn.tolist(), items.tolist()):
        baskets.setdefault(t, set()).add(i)
    return [sum(set(row) <= b for b in baskets.values()) for row in rows]


@pytest.mark.parametrize("order", ["lexicographic", "shuffled"])
def test_counts_match_sets(order):
    txn, items = random_rows(3)
    rows = [()] + [c for k in (1, 2, 3) for c in combinations(range(12), k)]
    if order == "shuffled":
        random.Random(1).shuffle(rows)
    got = _engine.count_itemsets(txn, items, 12, *table(rows), 0)
    assert got.dtype == np.int64
    assert got.tolist() == brute_counts(txn, items, rows)
    assert _engine.count_itemsets(txn, items, 12, *table(rows), 1).tolist() == got.tolist()


def test_counts_add_over_disjoint_transactions():
    txn, items = random_rows(4)
    rows = [c for k in (1, 2) for c in combinations(range(10), k)]
    half = txn < txn[len(txn) // 2]
    whole = _engine.count_itemsets(txn, items, 12, *table(rows), 0)
    parts = sum(_engine.count_itemsets(np.ascontiguousarray(txn[m]),
                                       np.ascontiguousarray(items[m]), 12, *table(rows), 0)
                for m in (half, ~half))
    assert parts.tolist() == whole.tolist()


@pytest.mark.parametrize("rows, n_items, message", [
    ([(1, 1)], 12, "strictly ascending"),
    ([(3, 2)], 12, "strictly ascending"),
    ([(12,)], 12, r"items\[0\] = 12 is outside"),
    ([(-1,)], 12, "outside"),
])
def test_bad_candidate_rows_are_named(rows, n_items, message):
    txn, items = random_rows(5)
    with pytest.raises(ValueError, match=message):
        _engine.count_itemsets(txn, items, n_items, *table(rows), 0)


def test_bad_offsets_and_rows_are_named():
    txn, items = random_rows(6)
    cand_items, _ = table([(1, 2)])
    with pytest.raises(ValueError, match="offsets"):
        _engine.count_itemsets(txn, items, 12, cand_items, np.array([0, 5], np.int64), 0)
    with pytest.raises(ValueError, match="item_ids"):
        _engine.count_itemsets(txn, items, 5, *table([(1,)]), 0)
    with pytest.raises(TypeError, match="offsets"):
        _engine.count_itemsets(txn, items, 12, cand_items, np.array([0, 2], np.int32), 0)


@pytest.mark.parametrize("target", ["all", "closed", "maximal"])
def test_keep_target_matches_the_miner(target):
    txn, items = random_rows(7)
    every = _engine.mine_itemsets(txn, items, 12, 6, 0, "auto", "all", 0)
    want = _engine.mine_itemsets(txn, items, 12, 6, 0, "auto", target, 0)
    kept = _engine.keep_target(every["items"], every["offsets"], every["counts"], target, 0)
    assert every["counts"][kept].tolist() == want["counts"].tolist()
    rows = [tuple(every["items"][every["offsets"][r]:every["offsets"][r + 1]]) for r in kept]
    assert rows == [tuple(want["items"][want["offsets"][r]:want["offsets"][r + 1]])
                    for r in range(len(want["counts"]))]


def test_keep_target_refuses_a_wrong_count_column():
    items, offsets = table([(1,), (2,)])
    with pytest.raises(ValueError, match="counts must have one entry per row"):
        _engine.keep_target(items, offsets, np.array([3], np.int64), "closed", 0)
    with pytest.raises(ValueError, match="target"):
        _engine.keep_target(items, offsets, np.array([3, 2], np.int64), "open", 0)


_LONG_COUNT = """
import time
from itertools import combinations
import numpy as np
from tallyfold import _engine
rng = np.random.default_rng(7)
txn, item = np.nonzero(rng.random((20_000, 40)) < 0.5)
txn, item = txn.astype(np.int64), item.astype(np.int32)
rows = list(combinations(range(40), 5))
items = np.array(rows, dtype=np.int32).ravel()
offsets = np.arange(0, 5 * len(rows) + 1, 5, dtype=np.int64)
print("ready", flush=True)
try:
    while True:  # each call takes seconds; repeating keeps a fast machine busy past the signal
        _engine.count_itemsets(txn, item, 40, items, offsets, 0)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
small = _engine.count_itemsets(txn[:10], item[:10], 40, items[:5], offsets[:2], 0)
print("second call ok", int(small[0]), flush=True)
"""


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
def test_ctrl_c_stops_counting_and_leaves_the_module_usable():
    from conftest import UNDER_ASAN
    returncode, out, err, sent = interrupt_child([sys.executable, "-c", _LONG_COUNT])
    assert returncode == 0, err
    lines = out.split("\n")
    word, stamp = lines[0].split()
    assert word == "interrupted"
    assert float(stamp) - sent < (30.0 if UNDER_ASAN else 1.0)
    assert lines[1].startswith("second call ok")
