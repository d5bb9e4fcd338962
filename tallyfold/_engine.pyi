# The package's native module: every array argument must be a 1-D NumPy array of exactly the
# dtype named (no casting, no copy), else TypeError naming the argument.
from typing import Callable, Literal, Sequence, TypedDict

import numpy as np
import numpy.typing as npt

__all__ = ["mine_itemsets", "itemsets_to_frozensets", "generate_rules", "count_itemsets",
           "keep_target"]

Algorithm = Literal[
    "auto", "eclat", "pipeline", "v1_roaring", "v2_memo", "v3_adaptive", "v5_prefilter",
    "v6_gating", "classic",
]
Target = Literal["all", "closed", "maximal"]
Metric = Literal[
    "support", "confidence", "lift", "leverage", "conviction", "zhangs_metric", "jaccard",
    "certainty", "kulczynski", "cosine", "representativity",
]

class PanicException(BaseException): ...

class LimitReached(Exception):
    """args: (kind "itemsets" or "memory", levels_done, itemsets_found, bytes_estimate,
    done, total)."""

class ItemsetArrays(TypedDict):
    items: npt.NDArray[np.int32]
    offsets: npt.NDArray[np.int64]
    counts: npt.NDArray[np.int64]
    item_counts: npt.NDArray[np.int64]
    n_transactions: int

# Keys with spaces cannot be TypedDict attributes: the functional form names them.
RuleArrays = TypedDict(
    "RuleArrays",
    {
        "antecedent": npt.NDArray[np.int64],
        "consequent": npt.NDArray[np.int64],
        "rule": npt.NDArray[np.int64],
        "antecedent support": npt.NDArray[np.float64],
        "consequent support": npt.NDArray[np.float64],
        "support": npt.NDArray[np.float64],
        "confidence": npt.NDArray[np.float64],
        "lift": npt.NDArray[np.float64],
        "representativity": npt.NDArray[np.float64],
        "leverage": npt.NDArray[np.float64],
        "conviction": npt.NDArray[np.float64],
        "zhangs_metric": npt.NDArray[np.float64],
        "jaccard": npt.NDArray[np.float64],
        "certainty": npt.NDArray[np.float64],
        "kulczynski": npt.NDArray[np.float64],
        "cosine": npt.NDArray[np.float64],
        "missing_row": int,
    },
)

def mine_itemsets(
    txn_ids: npt.NDArray[np.int64],
    item_ids: npt.NDArray[np.int32],
    n_items: int,
    min_count: int,
    max_len: int,
    algorithm: Algorithm,
    target: Target,
    threads: int,
    max_itemsets: int = 0,
    max_bytes: int = 0,
    progress: Callable[[int, int, int, int], object] | None = None,
) -> ItemsetArrays:
    """Every frequent itemset of sizes 1..max_len (0: no limit), lexicographic order.

    Raises LimitReached past max_itemsets or max_bytes (0: none); progress(done, total,
    levels_done, itemsets_found) is called while the counters change."""

def itemsets_to_frozensets(
    items: npt.NDArray[np.int32],
    offsets: npt.NDArray[np.int64],
    labels: Sequence[object],
) -> npt.NDArray[np.object_]:
    """One frozenset of labels per row (labels: a list or tuple indexed by id)."""

def generate_rules(
    items: npt.NDArray[np.int32],
    offsets: npt.NDArray[np.int64],
    supports: npt.NDArray[np.float64],
    metric: Metric,
    min_threshold: float,
    support_only: bool,
    threads: int,
    n_transactions: int = 0,
) -> RuleArrays:
    """Association rules of an itemset table, with mlxtend's measures plus cosine."""

def count_itemsets(
    txn_ids: npt.NDArray[np.int64],
    item_ids: npt.NDArray[np.int32],
    n_items: int,
    items: npt.NDArray[np.int32],
    offsets: npt.NDArray[np.int64],
    threads: int,
) -> npt.NDArray[np.int64]:
    """Transactions holding every item of each row (items[offsets[r]:offsets[r+1]])."""

def keep_target(
    items: npt.NDArray[np.int32],
    offsets: npt.NDArray[np.int64],
    counts: npt.NDArray[np.int64],
    target: Target,
    threads: int,
) -> npt.NDArray[np.int64]:
    """Row numbers of the closed or maximal rows of a complete itemset table."""
