"""tallyfold.association_rules against mlxtend, metric by metric, and its input checks."""

import math
import random

import numpy as np
import pandas as pd
import pytest
from mlxtend.frequent_patterns import association_rules as mlxtend_rules
from mlxtend.frequent_patterns import fpgrowth
from mlxtend.preprocessing import TransactionEncoder

import tallyfold as tf
from tallyfold import _decoded
from tallyfold.rules import RULE_COLUMNS, RULE_METRICS

MLXTEND_METRICS = [m for m in RULE_METRICS if m != "cosine"]


def shop(seed: int, n: int = 150) -> list[list[str]]:
    rng = random.Random(seed)
    names = ["bread", "milk", "eggs", "tea", "cake", "jam", "rice", "salt"]
    weights = [8, 7, 5, 4, 3, 2, 2, 1]
    return [list(set(rng.choices(names, weights, k=rng.randint(1, 5)))) for _ in range(n)]


def onehot(data):
    encoder = TransactionEncoder().fit(data)
    return pd.DataFrame(encoder.transform(data), columns=encoder.columns_)


def keyed(frame: pd.DataFrame) -> dict:
    return {(a, c): row for a, c, row in zip(frame["antecedents"], frame["consequents"],
                                             frame.to_dict("records"))}


def assert_same_rules(ours: pd.DataFrame, theirs: pd.DataFrame) -> None:
    ours_k, theirs_k = keyed(ours), keyed(theirs)
    assert set(ours_k) == set(theirs_k)
    for key, want in theirs_k.items():
        for metric in MLXTEND_METRICS:
            a, b = ours_k[key][metric], want[metric]
            assert (math.isnan(a) and math.isnan(b)) or a == pytest.approx(b, rel=1e-9,
                                                                          abs=1e-9), (key, metric)


@pytest.mark.parametrize("metric, threshold", [
    ("confidence", 0.3), ("lift", 1.0), ("support", 0.05), ("leverage", 0.0),
    ("conviction", 1.0), ("zhangs_metric", 0.0), ("jaccard", 0.1), ("certainty", 0.0),
    ("kulczynski", 0.3), ("representativity", 1.0), ("antecedent support", 0.3),
    ("consequent support", 0.3),
])
@pytest.mark.parametrize("source", ["ours", "mlxtend-frame"])
def test_every_metric_matches_mlxtend(metric, threshold, source):
    data = shop(3)
    theirs_sets = fpgrowth(onehot(data), min_support=0.03, use_colnames=True)
    if source == "ours":
        frame = tf.frequent_itemsets(tf.Baskets.from_lists(data), min_support=0.03)
    else:
        frame = theirs_sets
    ours = tf.association_rules(frame, metric=metric, min_threshold=threshold)
    theirs = mlxtend_rules(theirs_sets, len(data), metric=metric, min_threshold=threshold)
    assert len(theirs) > 0
    assert_same_rules(ours, theirs)


def test_schema_counts_and_cosine():
    data = shop(4)
    frame = tf.frequent_itemsets(tf.Baskets.from_lists(data), min_support=0.05)
    rules = tf.association_rules(frame, min_threshold=0.0)
    assert list(rules.columns) == list(RULE_COLUMNS)
    assert rules["count"].dtype == np.int64
    baskets = [set(x) for x in data]
    for a, c, count, cos, sup_a, sup_c, sup in rules[
            ["antecedents", "consequents", "count", "cosine", "antecedent support",
             "consequent support", "support"]].itertuples(index=False):
        assert count == sum(1 for x in baskets if (a | c) <= x)
        assert cos == pytest.approx(sup / math.sqrt(sup_a * sup_c), rel=1e-12)
        assert a and c and not (a & c)


def test_count_from_attrs_when_column_dropped_and_na_when_unknown():
    frame = tf.frequent_itemsets(tf.Baskets.from_lists(shop(5)), min_support=0.05)
    with_counts = tf.association_rules(frame, min_threshold=0.0)
    from_attrs = tf.association_rules(frame.drop(columns=["count", "length"]), min_threshold=0.0)
    assert from_attrs["count"].tolist() == with_counts["count"].tolist()
    bare = frame[["support", "itemsets"]].copy()
    bare.attrs = {}
    unknown = tf.association_rules(bare, min_threshold=0.0)
    assert str(unknown["count"].dtype) == "Int64" and unknown["count"].isna().all()
    assert len(unknown) == len(with_counts)


def test_filtered_input_is_refused_with_the_itemset_named():
    frame = tf.frequent_itemsets(tf.Baskets.from_lists(shop(6)), min_support=0.05)
    kept = frame[frame["length"] != 1]
    with pytest.raises(ValueError, match=r"itemsets: .*lacking a subset of \{'.*', '.*'\} "
                                         r"\(row \d+\); it looks filtered"):
        tf.association_rules(kept)
    only = tf.association_rules(kept, support_only=True, min_threshold=0.0)
    theirs = mlxtend_rules(kept, 150, support_only=True, min_threshold=0.0)
    assert_same_rules(only, theirs)
    assert only["confidence"].isna().all() and only["antecedent support"].isna().all()


def test_itemsets_given_as_sets_or_tuples():
    frame = tf.frequent_itemsets(tf.Baskets.from_lists(shop(7)), min_support=0.05)
    expected = tf.association_rules(frame, min_threshold=0.0)
    for convert in (set, tuple, lambda s: list(reversed(sorted(s)))):
        other = frame.assign(itemsets=frame["itemsets"].map(convert))
        got = tf.association_rules(other, min_threshold=0.0)
        assert keyed(got).keys() == keyed(expected).keys()


def test_mixed_label_types():
    data = [[1, "1", 2.5], [1, "1"], ["1", 2.5], [1]]
    frame = tf.frequent_itemsets(tf.Baskets.from_lists(data), min_support=1)
    rules = tf.association_rules(frame, min_threshold=0.0)
    assert (frozenset({1}), frozenset({"1"})) in keyed(rules)


def test_empty_inputs_give_empty_frames():
    nothing = tf.frequent_itemsets(tf.Baskets.from_lists([["a"]]), min_support=2)
    for frame in (nothing, tf.frequent_itemsets(tf.Baskets.from_lists([["a"], ["b"]]), 1)):
        rules = tf.association_rules(frame)
        assert len(rules) == 0 and list(rules.columns) == list(RULE_COLUMNS)
        assert rules.dtypes["support"] == np.float64 and rules.dtypes["count"] == np.int64


GOOD = pd.DataFrame({"support": [0.5, 0.5, 0.25],
                     "itemsets": [frozenset("a"), frozenset("b"), frozenset("ab")]})


@pytest.mark.parametrize("frame, kwargs, exc, message", [
    pytest.param([1], {}, TypeError, "itemsets: expected a pandas DataFrame", id="not-frame"),
    pytest.param(GOOD.drop(columns="support"), {}, ValueError,
                 "itemsets: expected a frame with 'support' and 'itemsets' columns",
                 id="missing-support"),
    pytest.param(GOOD, {"metric": "score"}, ValueError,
                 "metric: expected one of 'antecedent support', .*got 'score'", id="metric"),
    pytest.param(GOOD, {"metric": 9835}, TypeError, "metric: expected one of",
                 id="mlxtend-num-itemsets-positional"),
    pytest.param(GOOD, {"min_threshold": "high"}, TypeError,
                 "min_threshold: expected a real number", id="threshold-str"),
    pytest.param(GOOD, {"support_only": 1}, TypeError, "support_only: expected True or False",
                 id="support-only-int"),
    pytest.param(GOOD.assign(support=[0.5, np.nan, 0.25]), {}, ValueError,
                 r"itemsets\['support'\]: expected supports in \[0, 1\], got nan", id="nan"),
    pytest.param(GOOD.assign(support=["x", "y", "z"]), {}, TypeError,
                 r"itemsets\['support'\]: expected float supports", id="str-support"),
    pytest.param(GOOD.assign(itemsets=["a", "b", "ab"]), {}, TypeError,
                 r"itemsets\['itemsets'\]\[0\]: expected a frozenset of labels, got 'a'",
                 id="strings-not-sets"),
    pytest.param(GOOD.assign(itemsets=[frozenset(), frozenset("b"), frozenset("ab")]), {},
                 ValueError, r"itemsets\['itemsets'\]\[0\]: expected a non-empty itemset",
                 id="empty-set"),
    pytest.param(GOOD.assign(itemsets=[frozenset("a"), frozenset("a"), frozenset("ab")]), {},
                 ValueError, r"itemsets: expected each itemset once, got \{'a'\} more than once",
                 id="repeated-itemset"),
    pytest.param(GOOD.assign(itemsets=[("a", "b"), ("b",), ("b", "a")]), {}, ValueError,
                 r"itemsets: expected each itemset once, got \{'a', 'b'\} more than once",
                 id="repeated-in-another-order"),
    pytest.param(GOOD.assign(count=[1.5, 2.0, 1.0]), {}, TypeError,
                 r"itemsets\['count'\]: expected integer counts", id="float-count"),
])
def test_bad_input_names_the_argument(frame, kwargs, exc, message):
    with pytest.raises(exc, match=message):
        tf.association_rules(frame, **kwargs)


def test_decoded_frame_takes_the_engine_rows_and_gives_the_same_rules():
    """The shortcut for an unchanged result must agree with encoding, order included."""
    frame = tf.frequent_itemsets(tf.Baskets.from_lists(shop(8)), min_support=0.03)
    assert _decoded.lookup(frame["itemsets"].to_numpy(dtype=object)) is not None
    copied = frame.copy(deep=True)  # a new object array: encoded from its labels
    assert _decoded.lookup(copied["itemsets"].to_numpy(dtype=object)) is None
    for kwargs in ({"min_threshold": 0.0}, {"metric": "lift", "min_threshold": 1.2},
                   {"metric": "antecedent support", "min_threshold": 0.2},
                   {"support_only": True, "min_threshold": 0.05}):
        fast, slow = (tf.association_rules(frame, **kwargs),
                      tf.association_rules(copied, **kwargs))
        assert fast["antecedents"].tolist() == slow["antecedents"].tolist()
        assert fast["consequents"].tolist() == slow["consequents"].tolist()
        for column in RULE_COLUMNS[2:]:
            np.testing.assert_array_equal(fast[column], slow[column])


def test_edited_decoded_frame_is_encoded_again():
    """A cell replaced in place must not be read from the remembered engine rows."""
    frame = tf.frequent_itemsets(tf.Baskets.from_lists(shop(9)), min_support=0.05)
    expected = keyed(tf.association_rules(frame, min_threshold=0.0))
    for row in range(len(frame)):
        frame.at[row, "itemsets"] = frozenset(sorted(frame.at[row, "itemsets"]))
    assert _decoded.lookup(frame["itemsets"].to_numpy(dtype=object)) is None
    assert keyed(tf.association_rules(frame, min_threshold=0.0)).keys() == expected.keys()
    pair = int(np.flatnonzero(frame["length"].to_numpy() == 2)[0])
    frame.at[pair, "itemsets"] = frozenset({"bread", "no such product"})
    with pytest.raises(ValueError, match="no such product"):
        tf.association_rules(frame)


def test_sorted_or_filtered_decoded_frames():
    frame = tf.frequent_itemsets(tf.Baskets.from_lists(shop(10)), min_support=0.05)
    expected = keyed(tf.association_rules(frame, min_threshold=0.0))
    resorted = frame.sort_values("length", ascending=False, kind="stable")
    got = tf.association_rules(resorted, min_threshold=0.0)
    assert keyed(got).keys() == expected.keys()
    assert got["count"].tolist() == [expected[k]["count"] for k in keyed(got)]
    with pytest.raises(ValueError, match="it looks filtered"):
        tf.association_rules(frame.iloc[1:])
