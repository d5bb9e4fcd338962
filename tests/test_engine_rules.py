"""tallyfold._engine.generate_rules: every rule of an itemset table, against mlxtend and by
definition."""

import math
from itertools import combinations

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from tallyfold import _engine
from engine_reference import engine_itemsets, table
from reference import as_arrays

METRICS = ("support", "confidence", "lift", "leverage", "conviction", "zhangs_metric", "jaccard",
           "certainty", "kulczynski", "cosine", "representativity")
MLXTEND_COLUMNS = ("antecedent support", "consequent support", "support", "confidence", "lift",
                   "representativity", "leverage", "conviction", "zhangs_metric", "jaccard",
                   "certainty", "kulczynski")
FLOAT_COLUMNS = MLXTEND_COLUMNS + ("cosine",)

# Item 0 is sometimes in every basket: support 1 drives the zero denominators of conviction,
# certainty and Zhang's metric.
BASKETS = st.lists(st.sets(st.integers(0, 6), min_size=1, max_size=5), min_size=1, max_size=25)


def frequent_table(rows, min_count=1, everywhere=False):
    if everywhere:
        rows = [set(r) | {0} for r in rows]
    txn, item = as_arrays(rows)
    result = _engine.mine_itemsets(txn, item, 7, min_count, 0, "eclat", "all", 0)
    n = result["n_transactions"]
    itemsets = [(s, c / n) for s, c in engine_itemsets(result)]
    return itemsets, n


def rules(itemsets, metric="confidence", min_threshold=0.0, support_only=False, threads=0,
          n_transactions=0):
    items, offsets, supports = table(itemsets)
    return _engine.generate_rules(items, offsets, supports, metric, min_threshold, support_only,
                                  threads, n_transactions=n_transactions)


def same(a, b):
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    if math.isinf(a) or math.isinf(b):
        return a == b
    return abs(a - b) <= 1e-9


@pytest.mark.parametrize("metric", METRICS[:-2])
@settings(max_examples=20, deadline=None)
@given(rows=BASKETS, everywhere=st.booleans(), threshold=st.sampled_from([-1.0, 0.0, 0.3, 1.0]))
def test_matches_mlxtend(metric, rows, everywhere, threshold):
    pd = pytest.importorskip("pandas")
    frequent_patterns = pytest.importorskip("mlxtend.frequent_patterns")
    itemsets, n = frequent_table(rows, 1, everywhere)
    frame = pd.DataFrame({"support": [s for _, s in itemsets],
                          "itemsets": [frozenset(i) for i, _ in itemsets]})
    # With the number of transactions, values on the threshold round as mlxtend's do.
    got = rules(itemsets, metric, threshold, n_transactions=n)
    ids = [frozenset(i) for i, _ in itemsets]
    ours = {(ids[a], ids[c]): r for r, (a, c) in enumerate(zip(got["antecedent"],
                                                             got["consequent"]))}
    with np.errstate(all="ignore"):
        theirs = frequent_patterns.association_rules(frame, num_itemsets=n, metric=metric,
                                                     min_threshold=threshold)
    assert len(theirs) == len(ours)
    for _, row in theirs.iterrows():
        r = ours[(row["antecedents"], row["consequents"])]
        for column in MLXTEND_COLUMNS:
            assert same(got[column][r], row[column]), (column, row[column], got[column][r])


@settings(max_examples=30, deadline=None)
@given(rows=BASKETS, min_count=st.integers(1, 3))
def test_every_rule_by_definition_in_the_documented_order(rows, min_count):
    """All rules of each row: antecedents from |Z| - 1 items down to 1, positions in
    lexicographic order; cosine and the row indices by definition."""
    itemsets, _ = frequent_table(rows, min_count)
    got = rules(itemsets, "support", -math.inf)
    index = {s: r for r, (s, _) in enumerate(itemsets)}
    expected = []
    for z, (row, _) in enumerate(itemsets):
        for size in range(len(row) - 1, 0, -1):
            for x in combinations(row, size):
                y = tuple(i for i in row if i not in x)
                expected.append((index[x], index[y], z))
    assert list(zip(got["antecedent"].tolist(), got["consequent"].tolist(),
                    got["rule"].tolist())) == expected
    s = np.array([v for _, v in itemsets])
    np.testing.assert_allclose(got["cosine"], s[got["rule"]] / np.sqrt(
        s[got["antecedent"]] * s[got["consequent"]]), rtol=1e-12)
    assert got["missing_row"] == -1


def test_confidence_on_the_threshold_rounds_as_with_transaction_counts():
    """3 of 10 transactions: 0.3 / 1.0 and (0.3 * 10) / (1.0 * 10) round differently for
    some counts; given N the kept rules follow the second form."""
    for n in range(3, 40):
        for count_xy in range(1, n):
            s_xy, s_x = count_xy / n, (count_xy + 1) / n
            itemsets = [((0,), s_x), ((0, 1), s_xy), ((1,), s_x)]
            threshold = (s_xy * n) / (s_x * n)
            got = rules(itemsets, "confidence", threshold, n_transactions=n)
            assert len(got["rule"]) == 2


def test_threads_give_identical_tables():
    rng = np.random.default_rng(4)
    rows = [set(np.flatnonzero(rng.random(12) < 0.5).tolist()) for _ in range(200)]
    txn, item = as_arrays(rows)
    result = _engine.mine_itemsets(txn, item, 12, 20, 0, "eclat", "all", 0)
    itemsets = [(s, c / 200) for s, c in engine_itemsets(result)]
    one, two = (rules(itemsets, "lift", 0.9, threads=t) for t in (1, 2))
    assert len(one["rule"]) > 1_000
    for key in ("antecedent", "consequent", "rule") + FLOAT_COLUMNS:
        np.testing.assert_array_equal(one[key], two[key])


def test_missing_subset_reports_the_first_row_lacking_one():
    itemsets = [((0,), 0.5), ((0, 1), 0.25), ((1,), 0.5), ((1, 2), 0.25), ((0, 1, 2), 0.1)]
    without_2 = itemsets  # (2,) is absent: rows 3 and 4 need it
    got = rules(without_2)
    assert got["missing_row"] == 3
    assert all(got[k].shape == (0,) for k in ("antecedent", "rule") + FLOAT_COLUMNS)


def test_support_only_allows_missing_subsets():
    itemsets = [((0,), 0.5), ((0, 1), 0.25), ((1,), 0.5), ((1, 2), 0.25)]
    got = rules(itemsets, "support", 0.2, support_only=True)
    assert got["missing_row"] == -1
    assert got["rule"].tolist() == [1, 1, 3, 3]
    assert got["antecedent"].tolist() == [0, 2, 2, -1]
    assert got["consequent"].tolist() == [2, 0, -1, 2]
    np.testing.assert_array_equal(got["support"], [0.25, 0.25, 0.25, 0.25])
    for column in FLOAT_COLUMNS:
        if column != "support":
            assert np.isnan(got[column]).all(), column


def test_empty_and_single_item_tables():
    got = rules([])
    assert got["rule"].dtype == np.int64 and got["rule"].shape == (0,)
    assert got["lift"].dtype == np.float64 and got["missing_row"] == -1
    assert rules([((3,), 1.0)])["rule"].shape == (0,)


BAD = [
    ({"metric": "odds"}, ValueError, "metric must be one of 'support', 'confidence'"),
    ({"metric": "confidence", "support_only": True}, ValueError, "support_only=True"),
    ({"supports": np.zeros(3)}, ValueError, "one entry per row"),
    ({"supports": np.zeros(2, np.float32)}, TypeError, "argument 'supports'"),
    ({"support_only": "yes"}, TypeError, "argument 'support_only': expected bool"),
    ({"min_threshold": "high"}, TypeError, "argument 'min_threshold'"),
    ({"offsets": np.array([0, 2, 1], np.int64)}, ValueError, r"offsets\[2\]"),
    ({"n_transactions": -1}, OverflowError, "argument 'n_transactions'"),
]


@pytest.mark.parametrize("overrides,error,fragment", BAD)
def test_bad_arguments(overrides, error, fragment):
    args = dict(items=np.array([0, 1], np.int32), offsets=np.array([0, 1, 2], np.int64),
                supports=np.array([0.5, 0.5]), metric="support", min_threshold=0.0,
                support_only=False, threads=0)
    args.update(overrides)
    with pytest.raises(error, match=fragment):
        _engine.generate_rules(**args)
