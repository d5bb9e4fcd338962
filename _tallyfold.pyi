"""Type stubs for the _tallyfold extension module.

Arrays are never coerced: dtypes, dimensions and contiguity must match exactly.
Integer parameters accept any object with __index__; min_support anything float() accepts.
"""

from typing import Final

import numpy as np
import numpy.typing as npt

__all__: Final[list[str]]

class PanicException(BaseException):
    """An internal fault (e.g. an item id outside 0..n_items-1). Not an Exception subclass."""

def rust_compute_pairs(
    txn_ids: npt.NDArray[np.int64],
    item_ids: npt.NDArray[np.int32],
    n_items: int,
    min_support: float = 0.0,
) -> dict[str, npt.NDArray[np.int32] | npt.NDArray[np.int64] | npt.NDArray[np.float64] | int]:
    """All co-occurring ordered pairs with counts and seven metrics.

    Keys: item_A, item_B (int32), instances (int64), support, confidence, lift,
    conviction, leverage, cosine, jaccard (float64), n_transactions (int). Rows by
    item_A ascending, each anchor's partners in order of first occurrence.
    """

def rust_compute_itemsets(
    txn_ids: npt.NDArray[np.int64],
    item_ids: npt.NDArray[np.int32],
    freq_lower: npt.NDArray[np.int32],
    k: int,
    n_items: int,
    item_weights: npt.NDArray[np.float64],
    max_items_per_txn: int | None = None,
) -> dict[str, npt.NDArray[np.int32] | npt.NDArray[np.int64]]:
    """Counts of the k-itemsets extending the rows of freq_lower (no support filter).

    Keys: itemsets (2-D int32), counts (int64). Rows are in ascending lexicographic order,
    the same for every run and any number of threads.
    """

def rust_compute_pipeline(
    txn_ids: npt.NDArray[np.int64],
    item_ids: npt.NDArray[np.int32],
    k_max: int,
    n_items: int,
    min_support: float,
    item_weights: npt.NDArray[np.float64],
    max_items_per_txn: int | None = None,
) -> dict[str, npt.NDArray[np.int32] | npt.NDArray[np.int64] | int]:
    """Frequent itemsets level by level up to k_max; the last two levels.

    Keys: itemsets, counts, lower_itemsets, lower_counts, item_counts (one per item id),
    n_transactions. An empty level has shape (0, 0). Rows are in ascending lexicographic
    order, the same for every run and any number of threads.
    """

def rust_compute_pipeline_v1_roaring(
    txn_ids: npt.NDArray[np.int64],
    item_ids: npt.NDArray[np.int32],
    k_max: int,
    n_items: int,
    min_support: float,
    item_weights: npt.NDArray[np.float64],
    max_items_per_txn: int | None = None,
) -> dict[str, npt.NDArray[np.int32] | npt.NDArray[np.int64] | int]:
    """rust_compute_pipeline with each anchor's transactions held as a Roaring bitmap; same arguments and results."""

def rust_compute_pipeline_v2_memo(
    txn_ids: npt.NDArray[np.int64],
    item_ids: npt.NDArray[np.int32],
    k_max: int,
    n_items: int,
    min_support: float,
    item_weights: npt.NDArray[np.float64],
    max_items_per_txn: int | None = None,
) -> dict[str, npt.NDArray[np.int32] | npt.NDArray[np.int64] | int]:
    """rust_compute_pipeline with transaction bitmaps carried from level to level; same arguments and results."""

def rust_compute_pipeline_v3_adaptive(
    txn_ids: npt.NDArray[np.int64],
    item_ids: npt.NDArray[np.int32],
    k_max: int,
    n_items: int,
    min_support: float,
    item_weights: npt.NDArray[np.float64],
    max_items_per_txn: int | None = None,
) -> dict[str, npt.NDArray[np.int32] | npt.NDArray[np.int64] | int]:
    """rust_compute_pipeline with adaptive transaction lists (a sequence up to 32, a bitmap beyond) carried across levels; same arguments and results."""

def rust_compute_pipeline_v5_prefilter(
    txn_ids: npt.NDArray[np.int64],
    item_ids: npt.NDArray[np.int32],
    k_max: int,
    n_items: int,
    min_support: float,
    item_weights: npt.NDArray[np.float64],
    max_items_per_txn: int | None = None,
) -> dict[str, npt.NDArray[np.int32] | npt.NDArray[np.int64] | int]:
    """rust_compute_pipeline with the adaptive lists of v3_adaptive and the pair check made before counting; same arguments and results."""

def rust_compute_pipeline_v6_gating(
    txn_ids: npt.NDArray[np.int64],
    item_ids: npt.NDArray[np.int32],
    k_max: int,
    n_items: int,
    min_support: float,
    item_weights: npt.NDArray[np.float64],
    max_items_per_txn: int | None = None,
) -> dict[str, npt.NDArray[np.int32] | npt.NDArray[np.int64] | int]:
    """rust_compute_pipeline with the adaptive lists of v3_adaptive and per-anchor candidate sets from pair neighbours; same arguments and results."""

def rust_eclat_pipeline(
    txn_ids: npt.NDArray[np.int64],
    item_ids: npt.NDArray[np.int32],
    k_max: int,
    n_items: int,
    min_support: float,
) -> dict[str, npt.NDArray[np.int32] | npt.NDArray[np.int64] | int]:
    """Frequent itemsets of sizes k_max and k_max - 1 by Eclat (k_max >= 2, else ValueError).

    Same keys as rust_compute_pipeline; lower_itemsets is empty when k_max = 2. Rows are in
    ascending lexicographic order, the same for any number of threads.
    """

def rust_classic_compute_pairs(
    txn_ids: npt.NDArray[np.int64],
    item_ids: npt.NDArray[np.int32],
    n_items: int,
    n_transactions: int,
    min_support: float,
) -> dict[str, npt.NDArray[np.int32] | npt.NDArray[np.int64] | npt.NDArray[np.float64]]:
    """Frequent pairs by classic Apriori with the seven metrics; holds the GIL throughout.

    Keys: item_A, item_B (int32), instances (int64), support, confidence, lift,
    conviction, leverage, cosine, jaccard (float64); no n_transactions. Two adjacent rows
    per pair, smaller item first; pairs in ascending order. Supports divide by
    n_transactions as given; the min count uses the distinct transactions of the data.
    """

def rust_classic_compute_pipeline(
    txn_ids: npt.NDArray[np.int64],
    item_ids: npt.NDArray[np.int32],
    k_max: int,
    n_items: int,
    _n_transactions: int,
    min_support: float,
    item_weights: npt.NDArray[np.float64],
    max_items_per_txn: int | None = None,
) -> dict[str, npt.NDArray[np.int32] | npt.NDArray[np.int64]]:
    """Frequent itemsets by classic Apriori up to k_max; holds the GIL throughout.

    Keys: itemsets, counts, lower_itemsets, lower_counts, item_counts (frequent items
    only, or every item when none is frequent); no n_transactions. _n_transactions is
    range-checked and unused. Item ids are not checked: negative ones come back as given.
    Rows are in ascending lexicographic order of the ids read as unsigned 32-bit values
    (so negative ids sort last).
    """
