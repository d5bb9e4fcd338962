"""tallyfold.pairs: labelled pair statistics against the brute-force pair reference."""

import random

import numpy as np
import pandas as pd
import pytest

import tallyfold as tf
from reference import pair_rows
from tallyfold.pairs import PAIR_COLUMNS, PAIR_METRICS


def expected_rows(data: list[list], labels: tuple, min_count: int) -> dict:
    """{(label A, label B): (count, seven metrics)} with supports over every basket."""
    ids = {label: i for i, label in enumerate(labels)}
    bsk = {t: frozenset(ids[x] for x in basket) for t, basket in enumerate(data) if basket}
    rows = pair_rows(bsk, 0.0, n_transactions=len(data))
    return {(labels[a], labels[b]): v for (a, b), v in rows.items() if v[0] >= min_count}


def got_rows(frame: pd.DataFrame) -> dict:
    values = zip(frame["count"].tolist(), *(frame[m].tolist() for m in PAIR_METRICS))
    return dict(zip(zip(frame["antecedent"], frame["consequent"]), values))


def shop(seed: int, empty_every: int) -> list[list]:
    rng = random.Random(seed)
    labels = ["bread", 7, "milk", 2.5, "tea", ("gift", 1)]
    return [[] if t % empty_every == 0 else rng.sample(labels, rng.randint(1, 4))
            for t in range(1, 80)]


@pytest.mark.parametrize("empty_every, min_support, min_count", [
    pytest.param(10**6, 0.0, 0, id="no-empty-baskets-all-pairs"),
    pytest.param(10**6, 0.1, 8, id="fraction"),
    pytest.param(5, 0.0, 0, id="empty-baskets-count-in-supports"),
    pytest.param(5, 0.1, 8, id="empty-baskets-fraction-of-all-baskets"),
    pytest.param(5, 9, 9, id="count"),
])
def test_pairs_match_reference(empty_every, min_support, min_count):
    data = shop(11, empty_every)
    b = tf.Baskets.from_lists(data)
    got = tf.pairs(b, min_support=min_support)
    want = expected_rows(data, b.item_labels, min_count)
    assert list(got.columns) == list(PAIR_COLUMNS)
    assert got_rows(got).keys() == want.keys()
    for key, values in want.items():
        assert got_rows(got)[key] == pytest.approx(values, rel=1e-12, nan_ok=True), key


def test_half_count_threshold_lands_on_the_count():
    """N = 100 and 0.07 give 8 (not 7), also when empty baskets change N seen by the engine."""
    data = [["x", "y"]] * 7 + [["z"]] * 43 + [[]] * 50
    b = tf.Baskets.from_lists(data)
    assert len(tf.pairs(b, min_support=0.07)) == 0
    assert len(tf.pairs(b, min_support=0.069)) == 2
    assert tf.pairs(b, min_support=7)["support"].tolist() == [0.07, 0.07]


def test_empty_input_and_no_pairs():
    for b in (tf.Baskets.from_lists([]), tf.Baskets.from_lists([["a"], ["b"]]),
              tf.Baskets.from_lists([["a", "b"]] + [[]] * 3)):
        got = tf.pairs(b, min_support=2)
        assert len(got) == 0 and list(got.columns) == list(PAIR_COLUMNS)
        assert got["count"].dtype == np.int64 and got["lift"].dtype == np.float64


@pytest.mark.parametrize("kwargs, exc, message", [
    pytest.param({"baskets": pd.DataFrame()}, TypeError, "baskets: expected a Baskets",
                 id="frame"),
    pytest.param({"min_support": -0.1}, ValueError,
                 r"min_support: expected 0, a fraction in \(0, 1\] or a count >= 1", id="neg"),
    pytest.param({"min_support": None}, TypeError, "min_support: expected", id="none"),
])
def test_bad_arguments(kwargs, exc, message):
    with pytest.raises(exc, match=message):
        tf.pairs(**{"baskets": tf.Baskets.from_lists([["a", "b"]]), **kwargs})
