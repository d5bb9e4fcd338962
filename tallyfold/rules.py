"""Association rules X -> Y from a frame of frequent itemsets, generated in native code."""

from __future__ import annotations

import math
from itertools import chain, combinations
from typing import Any

import numpy as np
import pandas as pd

from . import _decoded, _engine, _progress
from . import _validation as check
from ._bulk import gc_paused
from ._encoding import encode_objects, ranks

# The float columns of a rule, in mlxtend's order; cosine is ours and comes last.
RULE_METRICS = ("antecedent support", "consequent support", "support", "confidence", "lift",
                "representativity", "leverage", "conviction", "zhangs_metric", "jaccard",
                "certainty", "kulczynski", "cosine")
RULE_COLUMNS = ("antecedents", "consequents") + RULE_METRICS[:-1] + ("count", "cosine")
_SET_TYPES = (frozenset, set, tuple, list)
_SIDE_SUPPORTS = ("antecedent support", "consequent support")


def association_rules(itemsets: pd.DataFrame, metric: str = "confidence",
                      min_threshold: float = 0.8, support_only: bool = False, *,
                      threads: int | None = None,
                      progress: bool = False) -> pd.DataFrame:
    """Every rule X -> Y between frequent itemsets whose ``metric`` reaches ``min_threshold``.

    For each itemset Z of the input with at least two items, every split of Z into a
    non-empty antecedent X and a non-empty consequent Y = Z - X is a candidate rule; its
    metrics come from the supports of Z, X and Y, which must all be in the input. Columns,
    names and formulas are those of mlxtend's ``association_rules``, so a notebook switches
    by changing the import.

    Parameters
    ----------
    itemsets : pandas.DataFrame
        The result of `frequent_itemsets`, or any frame with a ``support`` column (float)
        and an ``itemsets`` column (frozensets), such as mlxtend's ``fpgrowth`` output. It
        must hold every frequent itemset: a rule needs the supports of its antecedent and
        consequent.
    metric : str
        The column the threshold applies to: ``"confidence"``, ``"lift"``, ``"support"``,
        ``"leverage"``, ``"conviction"``, ``"zhangs_metric"``, ``"jaccard"``,
        ``"certainty"``, ``"kulczynski"``, ``"cosine"``, ``"representativity"``,
        ``"antecedent support"`` or ``"consequent support"``.
    min_threshold : float
        Rules whose metric is at least this are kept.
    support_only : bool
        Compute only ``support`` (the other metrics are NaN) and apply the threshold to it,
        as mlxtend does; then the subsets of an itemset need not be in the input.
    threads : int, optional
        Upper bound on the worker threads of this call; None uses every core.
    progress : bool
        Show a progress bar of the steps (encoding, generation, labelling) on standard
        error.

    Returns
    -------
    pandas.DataFrame
        Columns ``antecedents``, ``consequents`` (frozensets), ``antecedent support``,
        ``consequent support``, ``support``, ``confidence``, ``lift``, ``representativity``,
        ``leverage``, ``conviction``, ``zhangs_metric``, ``jaccard``, ``certainty``,
        ``kulczynski`` (float64), ``count`` and ``cosine``. ``count`` is the number of
        transactions holding X and Y: int64 taken from the input's ``count`` column, or
        ``round(support * N)`` when only ``attrs["n_transactions"]`` is known; when neither
        is (a bare mlxtend frame) it is a nullable ``Int64`` column of ``<NA>``. Rules come in
        the order of their itemsets in the input.

    Raises
    ------
    TypeError
        If ``itemsets`` is not a pandas DataFrame or an argument has the wrong type.
    ValueError
        If a column is missing or malformed, an itemset repeats, ``metric`` is unknown, or the
        antecedent or consequent of a rule is missing from the input (it was filtered).

    Examples
    --------
    >>> import tallyfold as tf
    >>> b = tf.Baskets.from_lists([["milk", "bread"], ["milk", "eggs"], ["milk", "bread"]])
    >>> frequent = tf.frequent_itemsets(b, min_support=0.5)
    >>> rules = tf.association_rules(frequent, metric="confidence", min_threshold=0.9)
    >>> len(rules)
    1
    >>> rule = rules.iloc[0]
    >>> sorted(rule["antecedents"]), sorted(rule["consequents"])
    (['bread'], ['milk'])
    >>> float(rule["confidence"]), float(rule["lift"]), int(rule["count"])
    (1.0, 1.0, 2)
    """
    if not isinstance(itemsets, pd.DataFrame):
        check.fail(TypeError, "itemsets",
                   "a pandas DataFrame with 'support' and 'itemsets' columns", itemsets)
    for column in ("support", "itemsets"):
        if column not in itemsets.columns:
            check.fail_text(ValueError, "itemsets",
                            "a frame with 'support' and 'itemsets' columns",
                            f"columns {list(itemsets.columns)}")
    if support_only is not False:
        check.flag(support_only, "support_only")
    if support_only:
        metric = "support"  # as mlxtend: the threshold then applies to support
    check.choice(metric, "metric", RULE_METRICS)
    threshold = check.real(min_threshold, "min_threshold")
    pool = check.threads(threads)
    bar = _progress.StepBar("rules", 3, _progress.wanted(progress))
    try:
        return _association_rules(itemsets, metric, threshold, support_only, pool, bar)
    finally:
        bar.close()


def _association_rules(itemsets: pd.DataFrame, metric: str, threshold: float,
                       support_only: bool, pool: int, bar: _progress.StepBar) -> pd.DataFrame:
    supports = _supports(itemsets["support"])
    sets = itemsets["itemsets"].to_numpy(dtype=object)
    counts = _counts(itemsets, supports)
    if sets.shape[0] == 0:
        return _rules_frame(_empty_objects(), _empty_objects(), {}, counts[:0])

    # Rules are made in "row space": the input's own row order, or, for a column this process
    # decoded and nobody has changed since, the engine's rows it came from (no re-encoding).
    decoded = _decoded.lookup(sets)
    if decoded is None:
        items, offsets, labels, all_frozensets = _encode_itemsets(sets)
        _reject_repeats(items, offsets, sets)
        position = None
    else:
        items, offsets, labels, all_frozensets = (decoded.items, decoded.offsets,
                                                  decoded.labels, True)
        position = ranks(decoded.order)  # row -> position in the input
        supports, counts, sets = supports[position], counts[position], sets[position]

    bar.step("itemsets read")
    if support_only:
        antecedents, consequents, rules = _support_only_rules(items, offsets, supports,
                                                              threshold, labels)
    else:
        rules = _rules_of(items, offsets, supports, metric, threshold, pool, sets, position,
                          _n_transactions(itemsets))
        bar.step("rules generated")
        if not all_frozensets:
            with gc_paused():
                sets = _engine.itemsets_to_frozensets(items, offsets, labels)
        antecedents, consequents = sets[rules["antecedent"]], sets[rules["consequent"]]
    bar.step("rules labelled")
    rule_rows = rules["rule"]
    if position is not None:
        # Back to the input's order: rules of one itemset together, in the engine's order.
        back = np.argsort(position[rule_rows], kind="stable")
        antecedents, consequents, rule_rows = antecedents[back], consequents[back], rule_rows[back]
        rules = {name: rules[name][back] for name in RULE_METRICS}
    return _rules_frame(antecedents, consequents, rules, counts[rule_rows])


def _rules_of(items: np.ndarray, offsets: np.ndarray, supports: np.ndarray, metric: str,
              threshold: float, pool: int, sets: np.ndarray,
              position: np.ndarray | None, n_transactions: int) -> dict[str, Any]:
    """The engine's rule columns, with every subset's support known.

    With the number of transactions known, the engine forms ratios from counts as mlxtend
    does, so a rule exactly on the threshold falls on the same side.
    """
    # The engine thresholds the measures of the rule itself; a threshold on the support of
    # one side alone is applied here, to every rule.
    side = metric if metric in _SIDE_SUPPORTS else None
    rules = _engine.generate_rules(items, offsets, supports, "support" if side else metric,
                                   -math.inf if side else threshold, False, pool,
                                   n_transactions)
    if rules["missing_row"] >= 0:
        row = int(rules["missing_row"])
        shown_row = row if position is None else int(position[row])
        check.fail_text(
            ValueError, "itemsets",
            "every subset of each itemset to be present (rules need the supports of their "
            "antecedent and consequent; pass the unfiltered result of frequent_itemsets, or "
            "support_only=True)",
            f"a frame lacking a subset of {_show(sets[row])} (row {shown_row}); "
            "it looks filtered")
    if side is not None:
        keep = np.flatnonzero(rules[side] >= threshold)
        rules = {key: value if key == "missing_row" else value[keep]
                 for key, value in rules.items()}
    return rules


def _support_only_rules(items: np.ndarray, offsets: np.ndarray, supports: np.ndarray,
                        threshold: float, labels: tuple
                        ) -> tuple[np.ndarray, np.ndarray, dict[str, np.ndarray]]:
    """Every split of every itemset whose support reaches the threshold; other metrics NaN.

    The antecedent and consequent of such a rule need not be in the input, so their label
    sets are built from the itemset's own items: one vectorised step per (length, split)
    across all itemsets of that length.
    """
    lengths = np.diff(offsets)
    eligible = np.flatnonzero((lengths >= 2) & (supports >= threshold))
    antecedents, consequents = [_empty_objects()], [_empty_objects()]
    rule_rows, split_ranks = [np.zeros(0, np.int64)], [np.zeros(0, np.int64)]
    for length in np.unique(lengths[eligible]).tolist():
        rows = eligible[lengths[eligible] == length]
        block = items[offsets[rows][:, None] + np.arange(length)]
        rank = 0
        for size in range(length - 1, 0, -1):
            for combo in combinations(range(length), size):
                rest = [j for j in range(length) if j not in combo]
                antecedents.append(_frozensets(block[:, list(combo)], labels))
                consequents.append(_frozensets(block[:, rest], labels))
                rule_rows.append(rows)
                split_ranks.append(np.full(rows.shape[0], rank))
                rank += 1
    rule = np.concatenate(rule_rows)
    # Rules of one itemset together, in row order; within it larger antecedents first.
    order = np.lexsort((np.concatenate(split_ranks), rule))
    rule = rule[order]
    nan = np.full(rule.shape[0], np.nan)
    metrics = {name: nan for name in RULE_METRICS}
    metrics["support"] = supports[rule]
    metrics["rule"] = rule
    return np.concatenate(antecedents)[order], np.concatenate(consequents)[order], metrics


def _frozensets(block: np.ndarray, labels: tuple) -> np.ndarray:
    """One frozenset of labels per row of a 2-D block of item ids."""
    rows, width = block.shape
    offsets = np.arange(rows + 1, dtype=np.int64) * width
    return _engine.itemsets_to_frozensets(np.ascontiguousarray(block, dtype=np.int32).ravel(),
                                          offsets, labels)


def _supports(column: pd.Series) -> np.ndarray:
    if not (pd.api.types.is_numeric_dtype(column) and not pd.api.types.is_bool_dtype(column)):
        check.fail_text(TypeError, "itemsets['support']", "float supports",
                        f"dtype {column.dtype}")
    if isinstance(column.dtype, np.dtype):
        supports = np.asarray(column, dtype=np.float64)
    else:  # a nullable extension dtype: its NA becomes NaN and is refused below
        supports = column.to_numpy(dtype=np.float64, na_value=np.nan)
    bad = ~((supports >= 0.0) & (supports <= 1.0))  # NaN included
    if bad.any():
        check.fail_text(ValueError, "itemsets['support']", "supports in [0, 1]",
                        repr(float(supports[np.flatnonzero(bad)[0]])))
    return np.ascontiguousarray(supports)


def _n_transactions(itemsets: pd.DataFrame) -> int:
    """The number of transactions behind the frame, or 0 when unknown."""
    n = itemsets.attrs.get("n_transactions")
    return int(n) if check.is_integer(n) and 0 <= n < 2**32 else 0


def _counts(itemsets: pd.DataFrame, supports: np.ndarray) -> np.ndarray | pd.arrays.IntegerArray:
    if "count" in itemsets.columns:
        column = itemsets["count"]
        if not pd.api.types.is_integer_dtype(column) or column.isna().any():
            check.fail_text(TypeError, "itemsets['count']", "integer counts without nulls",
                            f"dtype {column.dtype}")
        return column.to_numpy(dtype=np.int64)
    n = itemsets.attrs.get("n_transactions")
    if check.is_integer(n) and n >= 0:
        return np.rint(supports * float(n)).astype(np.int64)
    # Without N a support cannot be turned into a count; <NA> says so rather than guessing.
    n_rows = supports.shape[0]
    return pd.arrays.IntegerArray(np.zeros(n_rows, dtype=np.int64), np.ones(n_rows, dtype=bool))


def _encode_itemsets(sets: np.ndarray) -> tuple[np.ndarray, np.ndarray, tuple, bool]:
    """Rows of item ids (ascending within each row) for a column of label sets, the labels,
    and whether every set already is a frozenset."""
    kinds = set(map(type, sets))
    if not kinds <= set(_SET_TYPES):
        position = next(i for i, s in enumerate(sets) if type(s) not in _SET_TYPES)
        check.fail(TypeError, f"itemsets['itemsets'][{position}]", "a frozenset of labels",
                   sets[position])
    lengths = np.fromiter(map(len, sets), dtype=np.int64, count=sets.shape[0])
    if (lengths == 0).any():
        position = int(np.flatnonzero(lengths == 0)[0])
        check.fail(ValueError, f"itemsets['itemsets'][{position}]", "a non-empty itemset",
                   sets[position])
    flat = np.fromiter(chain.from_iterable(sets), dtype=object, count=int(lengths.sum()))
    try:
        codes, uniques = encode_objects(flat)
    except TypeError as exc:
        raise TypeError(f"itemsets['itemsets']: expected hashable labels, got {exc}") from exc
    row_of = np.repeat(np.arange(sets.shape[0], dtype=np.int64), lengths)
    order = np.lexsort((codes, row_of))
    items = np.ascontiguousarray(codes[order], dtype=np.int32)
    offsets = np.zeros(sets.shape[0] + 1, dtype=np.int64)
    np.cumsum(lengths, out=offsets[1:])
    return items, offsets, tuple(uniques), kinds <= {frozenset}


def _reject_repeats(items: np.ndarray, offsets: np.ndarray, sets: np.ndarray) -> None:
    """Two rows with the same itemset would make a subset's support ambiguous.

    Rows are compared by a 64-bit hash of their id sequences first; only rows whose hashes
    collide are compared item by item.
    """
    lengths = np.diff(offsets)
    width = int(lengths.max())
    weights = np.random.default_rng(0x7A11F01D).integers(1, 2**63, size=width, dtype=np.int64)
    row_of = np.repeat(np.arange(lengths.shape[0]), lengths)
    position = np.arange(items.shape[0]) - offsets[row_of]
    with np.errstate(over="ignore"):
        mixed = (items.astype(np.int64) + 1) * (weights[position] | 1)
        hashes = np.add.reduceat(mixed, offsets[:-1]) ^ (lengths * 0x1E3779B97F4A7C15)
    order = np.argsort(hashes, kind="stable")
    suspects = np.flatnonzero(hashes[order][1:] == hashes[order][:-1])
    for k in suspects.tolist():
        a, b = int(order[k]), int(order[k + 1])
        if np.array_equal(items[offsets[a]:offsets[a + 1]], items[offsets[b]:offsets[b + 1]]):
            check.fail_text(ValueError, "itemsets", "each itemset once",
                            f"{_show(sets[a])} more than once")


def _show(labels: Any) -> str:
    try:
        shown = sorted(labels)
    except TypeError:
        shown = list(labels)
    return "{" + ", ".join(repr(x) for x in shown) + "}"


def _empty_objects() -> np.ndarray:
    return np.empty(0, dtype=object)


def _rules_frame(antecedents: np.ndarray, consequents: np.ndarray,
                 metrics: dict[str, Any], counts: Any) -> pd.DataFrame:
    columns: dict[str, Any] = {"antecedents": antecedents, "consequents": consequents}
    for name in RULE_METRICS[:-1]:
        columns[name] = np.asarray(metrics.get(name, np.zeros(0)), dtype=np.float64)
    columns["count"] = counts
    columns["cosine"] = np.asarray(metrics.get("cosine", np.zeros(0)), dtype=np.float64)
    return pd.DataFrame(columns, copy=False)
