"""tallyfold.frequent_itemsets: every engine and target against brute force and mlxtend."""

import math
import random
from itertools import combinations

import numpy as np
import pandas as pd
import pytest
from mlxtend.frequent_patterns import fpgrowth
from mlxtend.preprocessing import TransactionEncoder

import tallyfold as tf
from tallyfold.itemsets import ALGORITHMS, TARGETS


def brute_force(baskets: list[set], min_count: int, max_len: int | None, target: str) -> dict:
    """{frozenset: count} of the frequent itemsets, by counting every subset of every basket."""
    counts: dict[frozenset, int] = {}
    for basket in baskets:
        for k in range(1, len(basket) + 1 if max_len is None else min(max_len, len(basket)) + 1):
            for combo in combinations(basket, k):
                key = frozenset(combo)
                counts[key] = counts.get(key, 0) + 1
    frequent = {s: c for s, c in counts.items() if c >= min_count}
    if target == "closed":
        return {s: c for s, c in frequent.items()
                if not any(s < t and frequent[t] == c for t in frequent)}
    if target == "maximal":
        return {s: c for s, c in frequent.items() if not any(s < t for t in frequent)}
    return frequent


def random_baskets(seed: int, n: int, n_items: int, labels) -> list[list]:
    rng = random.Random(seed)
    # Skewed item popularity gives itemsets of several sizes at moderate supports.
    weights = [1 / (i + 1) for i in range(n_items)]
    out = []
    for _ in range(n):
        size = rng.randint(0, 6)
        out.append([labels[i] for i in rng.choices(range(n_items), weights, k=size)])
    return out


def as_dict(frame: pd.DataFrame) -> dict:
    return dict(zip(frame["itemsets"], frame["count"].tolist()))


LABELS = {
    "str": [f"item{i:02d}" for i in range(12)],
    "int": list(range(100, 112)),
    "mixed": ["a", 1, 2.5, ("t", 0), "b", 3, b"raw", 4, "c", 5, 6.5, "d"],
}


@pytest.mark.parametrize("algorithm", ALGORITHMS)
@pytest.mark.parametrize("target", TARGETS)
@pytest.mark.parametrize("seed, labels, min_support, max_len", [
    pytest.param(1, "str", 0.05, None, id="str-frac"),
    pytest.param(2, "int", 3, 3, id="int-count-maxlen3"),
    pytest.param(3, "mixed", 0.1, None, id="mixed-objects"),
])
def test_every_engine_and_target_matches_brute_force(algorithm, target, seed, labels,
                                                     min_support, max_len):
    data = random_baskets(seed, 60, 12, LABELS[labels])
    b = tf.Baskets.from_lists(data)
    got = tf.frequent_itemsets(b, min_support, max_len=max_len, target=target,
                               algorithm=algorithm, threads=2)
    min_count = min_support if isinstance(min_support, int) else math.ceil(min_support * 60)
    expected = brute_force([set(x) for x in data], min_count, max_len, target)
    assert as_dict(got) == expected
    assert got["length"].tolist() == [len(s) for s in got["itemsets"]]
    np.testing.assert_array_equal(got["support"], got["count"] / 60)


def test_schema_order_and_attrs():
    data = [["b", "a"], ["a", "c"], ["a", "b"], ["c", "b"], ["a"]]
    got = tf.frequent_itemsets(tf.Baskets.from_lists(data), min_support=1)
    assert list(got.columns) == ["support", "count", "itemsets", "length"]
    assert got.dtypes.astype(str).tolist() == ["float64", "int64", "object", "int64"]
    assert got.index.tolist() == list(range(len(got)))
    assert got.attrs["n_transactions"] == 5
    # Support descending; ties by item-id sequence (a < b < c, a prefix before its extensions).
    assert [tuple(sorted(s)) for s in got["itemsets"]] == [
        ("a",), ("b",), ("a", "b"), ("c",), ("a", "c"), ("b", "c")]
    assert got["count"].tolist() == [4, 3, 2, 2, 1, 1]


@pytest.mark.parametrize("min_support, kept", [
    pytest.param(0.07, 0, id="ceil-of-7.000000000000001-is-8"),
    pytest.param(0.069, 1, id="just-below-is-7"),
    pytest.param(7, 1, id="int-is-a-count"),
    pytest.param(8, 0, id="count-above"),
    pytest.param(1.0, 0, id="one-is-every-basket"),
    pytest.param(np.float32(0.05), 1, id="numpy-float"),
    pytest.param(np.int64(7), 1, id="numpy-int"),
])
def test_min_support_fraction_and_count(min_support, kept):
    b = tf.Baskets.from_lists([["x", "y"]] * 7 + [["z"]] * 93)
    got = tf.frequent_itemsets(b, min_support, max_len=2)
    assert (got["itemsets"] == frozenset({"x", "y"})).sum() == kept


@pytest.mark.parametrize("threads", [None, 1, 2**40])
def test_threads_bound_gives_same_result(threads):
    """A bound above the cores means all of them (the engine's pool size must not overflow)."""
    b = tf.Baskets.from_lists(random_baskets(5, 80, 10, LABELS["str"]))
    got = tf.frequent_itemsets(b, 0.05, threads=threads)
    assert as_dict(got) == as_dict(tf.frequent_itemsets(b, 0.05))
    rules = tf.association_rules(got, min_threshold=0.0, threads=threads)
    assert len(rules) == len(tf.association_rules(got, min_threshold=0.0))


def test_empty_baskets_count_in_support():
    got = tf.frequent_itemsets(tf.Baskets.from_lists([["a"], [], [], ["a"]]), 0.5)
    assert got["support"].tolist() == [0.5] and got.attrs["n_transactions"] == 4


def test_matches_mlxtend_fpgrowth():
    data = random_baskets(7, 200, 15, LABELS["str"] + ["x", "y", "z"])
    onehot = pd.DataFrame(TransactionEncoder().fit(data).transform(data),
                          columns=TransactionEncoder().fit(data).columns_)
    theirs = fpgrowth(onehot, min_support=0.02, use_colnames=True)
    for baskets in (tf.Baskets.from_lists(data), tf.Baskets.from_onehot(onehot)):
        ours = tf.frequent_itemsets(baskets, min_support=0.02)
        assert dict(zip(ours["itemsets"], ours["support"])) == pytest.approx(
            dict(zip(theirs["itemsets"], theirs["support"])), abs=1e-12)


@pytest.mark.parametrize("baskets", [
    pytest.param(tf.Baskets.from_lists([]), id="no-baskets"),
    pytest.param(tf.Baskets.from_lists([[], []]), id="only-empty-baskets"),
    pytest.param(tf.Baskets.from_lists([["a"]]), id="nothing-frequent"),
])
def test_empty_results_have_the_schema(baskets):
    got = tf.frequent_itemsets(baskets, min_support=2)
    assert len(got) == 0
    assert got.dtypes.astype(str).tolist() == ["float64", "int64", "object", "int64"]
    assert got.attrs["n_transactions"] == len(baskets)


B = tf.Baskets.from_lists([["a", "b"]])


@pytest.mark.parametrize("kwargs, exc, message", [
    pytest.param({"baskets": [["a"]]}, TypeError, "baskets: expected a Baskets", id="lists"),
    pytest.param({"min_support": 0.0}, ValueError,
                 r"min_support: expected a fraction in \(0, 1\] or a count >= 1, got 0.0",
                 id="zero"),
    pytest.param({"min_support": 1.5}, ValueError, "min_support: .*got 1.5", id="above-one"),
    pytest.param({"min_support": -3}, ValueError, "min_support: .*got -3", id="negative-int"),
    pytest.param({"min_support": float("nan")}, ValueError, "min_support: .*got nan", id="nan"),
    pytest.param({"min_support": True}, TypeError, "min_support: .*got True", id="bool"),
    pytest.param({"min_support": "0.1"}, TypeError, "min_support: .*got '0.1'", id="str"),
    pytest.param({"max_len": 0}, ValueError, r"max_len: expected None \(no limit\) or an int",
                 id="max-len-zero"),
    pytest.param({"max_len": 2.0}, TypeError, "max_len: .*got 2.0", id="max-len-float"),
    pytest.param({"target": "frequent"}, ValueError,
                 "target: expected one of 'all', 'closed', 'maximal', got 'frequent'",
                 id="unknown-target"),
    pytest.param({"algorithm": "fpgrowth"}, ValueError,
                 "algorithm: expected one of 'auto', 'eclat', .*got 'fpgrowth'",
                 id="unknown-algorithm"),
    pytest.param({"algorithm": None}, TypeError, "algorithm: expected one of", id="algo-none"),
    pytest.param({"threads": 0}, ValueError, r"threads: expected None \(all cores\) or an int",
                 id="zero-threads"),
])
def test_bad_arguments_name_themselves(kwargs, exc, message):
    call = {"baskets": B, "min_support": 0.5, **kwargs}
    with pytest.raises(exc, match=message):
        tf.frequent_itemsets(**call)
