"""tallyfold.dask on a two-worker process cluster: the single-machine results, exactly.

Every case compares with the package run on the same rows gathered into one pandas frame:
columns, dtypes, row order, counts, supports and the float metrics bit for bit. The
partitionings cover a transaction split across partitions, an empty partition, a partition
holding a single transaction and data already partitioned by transaction.
"""

import random

import dask

import numpy as np
import pandas as pd
import pytest

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import tallyfold as tf  # noqa: E402
import tallyfold.dask as tfd  # noqa: E402


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, silence_logs=40)
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


def long_rows(seed: int, n_txn: int = 300, labels=None) -> pd.DataFrame:
    """Random baskets as long rows, a few repeated rows included, in transaction order."""
    rng = random.Random(seed)
    labels = labels or [f"item{i:02d}" for i in range(18)]
    weights = [1.0 / (1 + i) for i in range(len(labels))]
    rows = []
    for t in range(n_txn):
        basket = set(rng.choices(labels, weights, k=rng.randint(1, 7)))
        rows += [(1000 + 7 * t, x) for x in sorted(basket, key=str)]
        if t % 37 == 0:
            rows.append(rows[-1])
    return pd.DataFrame(rows, columns=["order", "product"])


def partitioned(frame: pd.DataFrame, cuts: list[int]) -> "dd.DataFrame":
    """One partition per slice between consecutive cuts (equal cuts: an empty partition)."""
    bounds = [0] + cuts + [len(frame)]
    pieces = [frame.iloc[a:b] for a, b in zip(bounds[:-1], bounds[1:])]
    return dd.from_delayed([dask.delayed(p) for p in pieces],
                           meta=frame.iloc[:0])


def partitionings(frame: pd.DataFrame) -> dict:
    n = len(frame)
    starts = frame.index[frame["order"].ne(frame["order"].shift())].tolist()
    return {
        "one-partition": partitioned(frame, []),
        # a cut inside a transaction: its rows sit in two partitions
        "split-transaction": partitioned(frame, [starts[40] + 1, n // 2]),
        "empty-partition": partitioned(frame, [n // 3, n // 3, 2 * n // 3]),
        "single-transaction": partitioned(frame, [starts[5], starts[6], n // 2]),
        "shuffled-rows": dd.from_pandas(frame.sample(frac=1.0, random_state=3),
                                        npartitions=5),
        # known divisions on the transaction index: no shuffle, so these partitions are
        # mined as they are: one holds a single transaction, one none (no id in [1001, 1003))
        "indexed-by-transaction": dd.from_pandas(frame.set_index("order"), npartitions=1)
        .repartition(divisions=[1000, 1001, 1003, 1035, 1042, frame["order"].max()]),
    }


def single_machine(frame: pd.DataFrame) -> tf.Baskets:
    return tf.Baskets.from_long(frame, transaction="order", item="product")


def in_order_of(want: pd.DataFrame, got: pd.DataFrame) -> pd.DataFrame:
    """The single-machine pair rows in the order of the cluster's rows (same pairs required).

    One machine lists the consequents of an antecedent in the order it first meets them
    among the transactions; the cluster, which sees the transactions in other orders, by
    item id. The rows are otherwise the same.
    """
    position = {key: i for i, key in enumerate(zip(want["antecedent"], want["consequent"]))}
    assert len(position) == len(got)
    order = [position[key] for key in zip(got["antecedent"], got["consequent"])]
    return want.iloc[order].reset_index(drop=True)


def assert_same_frame(got: pd.DataFrame, want: pd.DataFrame) -> None:
    assert list(got.columns) == list(want.columns)
    assert list(got.dtypes) == list(want.dtypes)
    pd.testing.assert_frame_equal(got, want, check_exact=True)
    for column in got.columns:  # bit for bit, NaN included
        if got[column].dtype == np.float64:
            assert np.array_equal(got[column].to_numpy().view(np.int64),
                                  want[column].to_numpy().view(np.int64)), column


FRAME = long_rows(1)


@pytest.mark.parametrize("layout", list(partitionings(FRAME)))
@pytest.mark.parametrize("min_support, max_len, target", [
    (0.04, None, "all"),
    (9, 3, "all"),
    (0.03, None, "closed"),
    (0.05, None, "maximal"),
])
def test_itemsets_equal_single_machine(client, layout, min_support, max_len, target):
    ddf = partitionings(FRAME)[layout]
    got = tfd.frequent_itemsets(ddf, transaction="order", item="product",
                                min_support=min_support, max_len=max_len, target=target)
    want = tf.frequent_itemsets(single_machine(FRAME), min_support, max_len=max_len,
                                target=target)
    assert len(want) > 10
    assert_same_frame(got, want)
    assert got.attrs["n_transactions"] == want.attrs["n_transactions"]
    if target == "all":
        assert_same_frame(tf.association_rules(got, min_threshold=0.3),
                          tf.association_rules(want, min_threshold=0.3))


@pytest.mark.parametrize("layout", ["split-transaction", "empty-partition",
                                    "single-transaction", "indexed-by-transaction"])
@pytest.mark.parametrize("min_support", [0.0, 0.05, 4])
def test_pairs_equal_single_machine(client, layout, min_support):
    ddf = partitionings(FRAME)[layout]
    got = tfd.pairs(ddf, transaction="order", item="product", min_support=min_support)
    want = tf.pairs(single_machine(FRAME), min_support=min_support)
    assert len(want) > 10
    assert_same_frame(got, in_order_of(want, got))
    first = got["antecedent"].ne(got["antecedent"].shift())
    assert got["antecedent"][first].is_monotonic_increasing
    assert got.groupby("antecedent", sort=False)["consequent"].apply(
        lambda c: c.is_monotonic_increasing).all()


@pytest.mark.parametrize("labels", [
    pytest.param(list(range(40, 0, -3)), id="int-labels-sorted-numerically"),
    pytest.param(["b", 3, "a", 1.5, ("t", 1)], id="mixed-labels-first-appearance"),
])
def test_label_kinds_number_items_as_one_machine(client, labels):
    frame = long_rows(5, n_txn=120, labels=labels)
    frame["product"] = frame["product"].astype(object)
    # Dask would turn the object column into strings; these labels stay what they are.
    with dask.config.set({"dataframe.convert-string": False}):
        ddf = partitioned(frame, [len(frame) // 2 + 1])
    want = tf.frequent_itemsets(single_machine(frame), 0.05)
    assert_same_frame(tfd.frequent_itemsets(ddf, "order", "product", 0.05), want)
    got = tfd.pairs(ddf, "order", "product")
    assert_same_frame(got, in_order_of(tf.pairs(single_machine(frame)), got))


def test_categorical_items_keep_their_categories(client):
    frame = FRAME.copy()
    categories = sorted(frame["product"].unique(), reverse=True) + ["never-sold"]
    frame["product"] = pd.Categorical(frame["product"], categories=categories)
    ddf = dd.from_pandas(frame, npartitions=3)
    want = tf.frequent_itemsets(single_machine(frame), 0.04, target="maximal")
    assert_same_frame(tfd.frequent_itemsets(ddf, "order", "product", 0.04,
                                            target="maximal"), want)


def test_empty_and_unreachable_results(client):
    ddf = partitioned(FRAME, [10])
    got = tfd.frequent_itemsets(ddf, "order", "product", len(FRAME) + 1)
    assert_same_frame(got, tf.frequent_itemsets(single_machine(FRAME), len(FRAME) + 1))
    empty = dd.from_pandas(FRAME.iloc[:0], npartitions=1)
    assert len(tfd.frequent_itemsets(empty, "order", "product", 0.5)) == 0
    assert len(tfd.pairs(empty, "order", "product")) == 0


def test_progress_bars_on_the_local_scheduler(capsys, monkeypatch):
    """Without a client in scope Dask's local scheduler runs the same stages, with bars."""
    monkeypatch.setattr(tfd, "_client", lambda: None)
    ddf = partitioned(FRAME, [100, 200])
    with dask.config.set(scheduler="threads"):
        got = tfd.frequent_itemsets(ddf, "order", "product", 0.05, progress=True)
    assert_same_frame(got, tf.frequent_itemsets(single_machine(FRAME), 0.05))
    assert "counting candidates" in capsys.readouterr().err


def test_progress_bars_on_the_cluster(client, capsys):
    tfd.pairs(partitioned(FRAME, [100]), "order", "product", progress=True)
    assert "counting pairs" in capsys.readouterr().err


@pytest.mark.parametrize("call, exc, fragment", [
    (lambda d: tfd.frequent_itemsets(FRAME, "order", "product", 0.1), TypeError, "ddf:"),
    (lambda d: tfd.frequent_itemsets(d, "order", "sku", 0.1), ValueError, "item:"),
    (lambda d: tfd.frequent_itemsets(d, "txn", "product", 0.1), ValueError, "transaction:"),
    (lambda d: tfd.frequent_itemsets(d, "order", "order", 0.1), ValueError, "item:"),
    (lambda d: tfd.frequent_itemsets(d, "order", "product", 1.5), ValueError, "min_support:"),
    (lambda d: tfd.frequent_itemsets(d, "order", "product", "x"), TypeError, "min_support:"),
    (lambda d: tfd.frequent_itemsets(d, "order", "product", 0.1, max_len=0), ValueError,
     "max_len:"),
    (lambda d: tfd.frequent_itemsets(d, "order", "product", 0.1, target="open"), ValueError,
     "target:"),
    (lambda d: tfd.frequent_itemsets(d, "order", "product", 0.1, progress=1), TypeError,
     "progress:"),
    (lambda d: tfd.pairs(d, "order", "product", -1), ValueError, "min_support:"),
    (lambda d: tfd.read_baskets("shop.xlsx", "order", "product"), ValueError, "path:"),
    (lambda d: tfd.read_baskets("shop.csv", None, "product"), ValueError, "transaction:"),
])
def test_bad_arguments_are_named(client, call, exc, fragment):
    with pytest.raises(exc, match=fragment):
        call(partitioned(FRAME, [50]))


def test_null_items_are_refused_by_name(client):
    frame = FRAME.copy()
    frame.loc[3, "product"] = None
    with pytest.raises(ValueError, match="item: expected no nulls in column 'product'"):
        tfd.pairs(dd.from_pandas(frame, npartitions=2), "order", "product")


@pytest.mark.parametrize("extension", [".parquet", ".csv"])
def test_read_baskets_round_trip(client, tmp_path, extension):
    folder = tmp_path / "parts"
    folder.mkdir()
    for i, piece in enumerate([FRAME.iloc[:200], FRAME.iloc[200:600], FRAME.iloc[600:]]):
        path = folder / f"part-{i}{extension}"
        piece.to_parquet(path) if extension == ".parquet" else piece.to_csv(path, index=False)
    ddf = tfd.read_baskets(str(folder / f"part-*{extension}"), "order", "product")
    assert_same_frame(tfd.frequent_itemsets(ddf, "order", "product", 0.04),
                      tf.frequent_itemsets(single_machine(FRAME), 0.04))
