"""Every exported function called on the same data, and a result form that two calls can be
compared by (rows sorted, ids optionally translated), for the suites that check all eleven
functions alike."""

from __future__ import annotations

import numpy as np

import _tallyfold

PIPELINES = (
    "rust_compute_pipeline",
    "rust_compute_pipeline_v1_roaring",
    "rust_compute_pipeline_v2_memo",
    "rust_compute_pipeline_v3_adaptive",
    "rust_compute_pipeline_v5_prefilter",
    "rust_compute_pipeline_v6_gating",
)
FUNCTIONS = ("rust_compute_pairs", "rust_compute_itemsets", *PIPELINES, "rust_eclat_pipeline",
             "rust_classic_compute_pairs", "rust_classic_compute_pipeline")


def call(name, txn, item, n_items, *, weights=None, freq=None, k_max=3, min_support=0.0,
         cap=None):
    """One call of `name` with the arguments it takes. `freq` (2-D int32, one (k-1)-itemset
    per row) feeds rust_compute_itemsets, which counts level k from it."""
    fn = getattr(_tallyfold, name)
    w = np.zeros(0) if weights is None else weights
    if name == "rust_compute_pairs":
        return fn(txn, item, n_items, min_support)
    if name == "rust_compute_itemsets":
        return fn(txn, item, freq, freq.shape[1] + 1, n_items, w, cap)
    if name == "rust_eclat_pipeline":
        return fn(txn, item, k_max, n_items, min_support)
    if name == "rust_classic_compute_pairs":
        return fn(txn, item, n_items, len(set(np.asarray(txn).tolist())), min_support)
    if name == "rust_classic_compute_pipeline":
        return fn(txn, item, k_max, n_items, 0, min_support, w, cap)
    return fn(txn, item, k_max, n_items, min_support, w, cap)


def _ids(values, id_map):
    return [id_map[v] for v in values] if id_map is not None else list(values)


def canonical(result: dict, id_map=None) -> dict:
    """The result with rows sorted and, with `id_map` (a sequence indexed by item id), item ids
    translated through it. item_counts become {id: count} of the non-zero entries."""
    out = {}
    if "item_A" in result:
        columns = [result[k].tolist() for k in result if k != "n_transactions"]
        columns[0] = _ids(columns[0], id_map)
        columns[1] = _ids(columns[1], id_map)
        out["pairs"] = sorted(tuple(repr(v) for v in row) for row in zip(*columns))
    for prefix in ("", "lower_"):
        if prefix + "itemsets" in result:
            rows = result[prefix + "itemsets"].tolist()
            counts = result[prefix + "counts"].tolist()
            out[prefix + "itemsets"] = sorted(
                (tuple(_ids(r, id_map)), c) for r, c in zip(rows, counts))
    if "item_counts" in result:
        counts = result["item_counts"]
        nonzero = np.flatnonzero(counts)
        out["item_counts"] = {(id_map[i] if id_map is not None else i): int(counts[i])
                              for i in nonzero.tolist()}
        out["n_items"] = len(counts)
    if "n_transactions" in result:
        out["n_transactions"] = result["n_transactions"]
    return out
