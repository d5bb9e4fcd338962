"""Item ids spread over a huge id space: memory follows the items that occur, results are those
of the same data with dense ids, and freq_lower ids are checked like item ids."""

import random

import numpy as np
import pytest

import _tallyfold
from all_functions import FUNCTIONS, PIPELINES, call, canonical
from child import assert_clean_exit, run_child
from reference import as_arrays

TOP = 2**31 - 1


def _dense_data(seed=3, n_items=12, n_baskets=300):
    rng = random.Random(seed)
    return as_arrays([set(rng.sample(range(n_items), rng.randint(1, 6)))
                      for _ in range(n_baskets)])


def _spread(n_items, top, seed=5):
    """Ascending ids in 0..top for dense ids 0..n_items-1, with 0 and top among them."""
    middle = random.Random(seed).sample(range(1, top), n_items - 2)
    return [0, *sorted(middle), top]


def _freq_from(result, id_map=None):
    rows = result["lower_itemsets"]
    if id_map is not None:
        rows = np.array([[id_map[i] for i in r] for r in rows.tolist()], dtype=np.int32)
    return np.ascontiguousarray(rows, dtype=np.int32)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_sparse_ids_give_the_results_of_dense_ones(name):
    """Renumbering must keep every count, metric, row and item count, translated back."""
    txn, item = _dense_data()
    # The pipeline schema's item_counts has n_items entries by contract, so those functions
    # get a space that fits the test machine; the others get the whole int32 range.
    top = 2**27 - 1 if "pipeline" in name else TOP
    id_map = _spread(12, top)
    sparse_item = np.array([id_map[i] for i in item.tolist()], dtype=np.int32)
    base = _tallyfold.rust_compute_pipeline(txn, item, 2, 12, 0.05, np.zeros(0))
    weights = np.linspace(1.0, 0.1, 12)
    sparse_weights = np.zeros(top + 1 if top < 2**28 else 0)
    if len(sparse_weights):
        sparse_weights[id_map] = weights
    kwargs = dict(k_max=3, min_support=0.05)
    dense = call(name, txn, item, 12, freq=_freq_from(base), weights=weights, **kwargs)
    sparse = call(name, txn, sparse_item, top + 1, freq=_freq_from(base, id_map),
                  weights=sparse_weights if len(sparse_weights) else None, **kwargs)
    expected, got = canonical(dense, id_map), canonical(sparse)
    if "n_items" in got:
        assert got.pop("n_items") == top + 1
        expected.pop("n_items")
    assert got == expected


@pytest.mark.parametrize("name", PIPELINES)
def test_cap_weights_follow_sparse_ids(name):
    """Under a cap the heaviest items are kept by the caller's weights at the caller's ids."""
    txn, item = _dense_data(seed=8)
    top = 2**20
    id_map = _spread(12, top, seed=9)
    weights = np.array(random.Random(4).sample(range(1, 13), 12), dtype=np.float64)
    sparse_weights = np.zeros(top + 1)
    sparse_weights[id_map] = weights
    sparse_item = np.array([id_map[i] for i in item.tolist()], dtype=np.int32)
    dense = call(name, txn, item, 12, weights=weights, k_max=3, min_support=0.02, cap=3)
    sparse = call(name, txn, sparse_item, top + 1, weights=sparse_weights, k_max=3,
                  min_support=0.02, cap=3)
    expected, got = canonical(dense, id_map), canonical(sparse)
    expected.pop("n_items"), got.pop("n_items")
    assert got == expected


@pytest.mark.parametrize("bad", [12, 13, 2**31 - 1, -1], ids=["n_items", "above", "max", "negative"])
def test_freq_lower_ids_outside_the_item_space_are_faults(bad):
    """Such an id used to be accepted, and a large one sized tables by itself."""
    txn, item = _dense_data()
    freq = np.array([[0, 1], [1, bad]], dtype=np.int32)
    widened = bad if bad >= 0 else 2**64 + bad
    message = f"index out of bounds: the len is 12 but the index is {widened}"
    with pytest.raises(_tallyfold.PanicException, match=message):
        _tallyfold.rust_compute_itemsets(txn, item, freq, 3, 12, np.zeros(0))


def test_freq_lower_ids_absent_from_the_data_keep_the_pair_check():
    """A valid id that occurs in no row has no dense number: its rows still match nothing and
    its pairs still make the pair set non-empty, which turns the pair check on."""
    txn, item = as_arrays([{0, 1, 2}, {0, 1, 2}, {0, 1, 3}])
    far = 2**30
    id_map = [0, 1, 2, far]
    sparse_item = np.array([id_map[i] for i in item.tolist()], dtype=np.int32)
    freq = np.array([[0, 1], [5, 7]], dtype=np.int32)  # (0, 2) and (1, 2) are no pairs
    dense = _tallyfold.rust_compute_itemsets(txn, item, freq, 3, far + 1, np.zeros(0))
    sparse = _tallyfold.rust_compute_itemsets(txn, sparse_item, freq, 3, far + 1, np.zeros(0))
    assert canonical(dense)["itemsets"] == canonical(sparse)["itemsets"] == []


@pytest.mark.address_space_limit
def test_huge_id_calls_finish_in_a_few_gigabytes():
    """Two rows with ids 0 and 2^31-1 used to allocate per-item tables for 2^31 items (16 GB
    and more, the kernel killed the process). A result that cannot fit by contract raises
    MemoryError, and the module keeps working."""
    proc = run_child("""
        import numpy as np, _tallyfold
        txn = np.array([1, 1, 2, 2], dtype=np.int64)
        item = np.array([0, 2**31 - 1, 0, 2**31 - 1], dtype=np.int32)
        pairs = _tallyfold.rust_compute_pairs(txn, item, 2**31)
        assert pairs["item_A"].tolist() == [0, 2**31 - 1] and pairs["instances"].tolist() == [2, 2]
        pairs = _tallyfold.rust_classic_compute_pairs(txn, item, 2**31, 2, 0.5)
        assert sorted(pairs["item_A"].tolist()) == [0, 2**31 - 1]

        top = 2**26 - 1
        item = np.array([0, top, 0, top], dtype=np.int32)
        for name in ["rust_compute_pipeline", "rust_compute_pipeline_v2_memo",
                     "rust_compute_pipeline_v6_gating"]:
            r = getattr(_tallyfold, name)(txn, item, 2, top + 1, 0.5, np.zeros(0))
            assert r["lower_itemsets"].tolist() == [[0, top]], name
            assert r["item_counts"][top] == 2 and len(r["item_counts"]) == top + 1
        r = _tallyfold.rust_eclat_pipeline(txn, item, 2, top + 1, 0.5)
        assert r["itemsets"].tolist() == [[0, top]] and r["item_counts"][top] == 2
        freq = np.array([[0], [top]], dtype=np.int32)
        r = _tallyfold.rust_compute_itemsets(txn, item, freq, 2, 2**31, np.zeros(0))
        assert r["itemsets"].tolist() == [[0, top]] and r["counts"].tolist() == [2]

        item = np.array([0, 2**31 - 1, 0, 2**31 - 1], dtype=np.int32)
        try:
            _tallyfold.rust_compute_pipeline(txn, item, 2, 2**31, 0.5, np.zeros(0))
        except MemoryError:
            pass
        else:
            raise AssertionError("16 GB of item_counts fitted under the limit")
        assert _tallyfold.rust_compute_pairs(txn, item, 2**31)["instances"].tolist() == [2, 2]
        print("ok")
    """, address_space=3 * 2**30)
    assert_clean_exit(proc)
    assert proc.stdout.strip() == "ok"
