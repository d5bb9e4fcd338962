"""tallyfold.Baskets and read_baskets: encoding from every input, labels, files, bad input."""

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import tallyfold as tf

ROWS = {"order": [10, 10, 11, 12, 12, 12, 10], "product": ["tea", "milk", "tea", "cake", "milk",
                                                            "tea", "tea"]}
# Baskets as label sets, keyed by order: the repeated (10, tea) row counts once.
EXPECTED = {10: {"tea", "milk"}, 11: {"tea"}, 12: {"cake", "milk", "tea"}}


def decoded(b: tf.Baskets) -> list[frozenset]:
    """The baskets as label sets, in order of their transaction codes."""
    out: dict[int, set] = {}
    for t, i in zip(b.txn_ids.tolist(), b.item_ids.tolist()):
        out.setdefault(t, set()).add(b.item_labels[i])
    return [frozenset(out[t]) for t in sorted(out)]


def as_pandas(rows):
    return pd.DataFrame(rows)


def as_polars(rows):
    return pl.DataFrame(rows)


def as_arrow(rows):
    return pa.table(rows)


def as_polars_lazy(rows):
    return pl.DataFrame(rows).lazy()


LIBRARIES = [as_pandas, as_polars, as_arrow, as_polars_lazy]


@pytest.mark.parametrize("make", LIBRARIES)
def test_from_long_every_library_gives_same_baskets(make):
    b = tf.Baskets.from_long(make(ROWS), transaction="order", item="product")
    assert len(b) == 3 and b.n_items == 3 and b.n_rows == 7
    assert b.item_labels == ("cake", "milk", "tea")  # sorted labels -> ids
    assert decoded(b) == [frozenset(EXPECTED[k]) for k in (10, 11, 12)]
    assert b.item_counts.tolist() == [1, 2, 3]
    assert b.txn_ids.dtype == np.int64 and b.item_ids.dtype == np.int32


@pytest.mark.parametrize("labels, expected_order", [
    pytest.param(["b", "a", "c", "a"], ("a", "b", "c"), id="str-sorted"),
    pytest.param([30, -2, 7, 30], (-2, 7, 30), id="int-sorted-numerically"),
    pytest.param([2.5, 1.0, 2.5, 0.5], (0.5, 1.0, 2.5), id="float"),
    pytest.param(["x", 3, ("t", 1), 3], ("x", 3, ("t", 1)), id="mixed-first-seen"),
])
def test_label_types_and_id_order(labels, expected_order):
    rows = pd.DataFrame({"t": [0, 0, 1, 1], "i": pd.Series(labels, dtype=object)})
    b = tf.Baskets.from_long(rows, "t", "i")
    assert b.item_labels == expected_order
    assert [b.item_labels[i] for i in b.item_ids.tolist()] == labels


def test_mixed_labels_keep_their_types():
    """1 and "1" are two items; the int label stays an int."""
    b = tf.Baskets.from_lists([[1, "1"], ["1"]])
    assert b.n_items == 2
    assert sorted(map(type, b.item_labels), key=str) == [int, str]


@pytest.mark.parametrize("make", [
    pytest.param(lambda v, c: pd.Series(pd.Categorical(v, categories=c)), id="pandas"),
    pytest.param(lambda v, c: pl.Series(v, dtype=pl.Enum(c)), id="polars-enum"),
    pytest.param(lambda v, c: pl.Series(v, dtype=pl.Categorical), id="polars-categorical"),
    pytest.param(lambda v, c: pa.chunked_array([pa.array(v[:2]).dictionary_encode(),
                                                pa.array(v[2:]).dictionary_encode()]),
                 id="arrow-chunks-with-different-dictionaries"),
])
def test_categorical_items_keep_their_categories(make):
    values = ["tea", "milk", "tea", "cake"]
    categories = ["tea", "unused", "milk", "cake"]
    column = make(values, categories)
    txn = [1, 1, 2, 2]
    if isinstance(column, pd.Series):
        frame = pd.DataFrame({"t": txn, "i": column})
    elif isinstance(column, pl.Series):
        frame = pl.DataFrame({"t": txn, "i": column})
    else:
        frame = pa.table({"t": pa.array(txn), "i": column})
    b = tf.Baskets.from_long(frame, "t", "i")
    assert [b.item_labels[i] for i in b.item_ids.tolist()] == values
    assert len(set(b.item_labels)) == b.n_items
    assert set(values) <= set(b.item_labels)


def test_arrow_dictionary_with_repeated_value_gives_one_id():
    """A dictionary may repeat a value; one label must not get two ids."""
    column = pa.DictionaryArray.from_arrays(pa.array([0, 1, 2]), pa.array(["a", "a", "b"]))
    b = tf.Baskets.from_long(pa.table({"t": [1, 1, 1], "i": column}), "t", "i")
    assert b.item_labels.count("a") == 1 and b.item_counts.tolist()[b.item_labels.index("a")] == 1


def test_categorical_transactions_count_only_used_categories():
    frame = pd.DataFrame({"t": pd.Categorical(["x", "y"], categories=["x", "y", "z"]),
                          "i": [1, 2]})
    assert len(tf.Baskets.from_long(frame, "t", "i")) == 2


@pytest.mark.parametrize("make_basket", [list, tuple, set, iter, lambda b: (x for x in b)])
def test_from_lists_accepts_any_iterable_and_keeps_empty_baskets(make_basket):
    data = [["a", "b", "a"], [], ["b"]]
    b = tf.Baskets.from_lists(make_basket(x) for x in data)
    assert len(b) == 3  # the empty basket counts
    assert b._n_occupied == 2
    assert decoded(b) == [frozenset({"a", "b"}), frozenset({"b"})]
    assert b.item_counts.tolist() == [1, 2]


def test_tuple_labels_stay_single_labels():
    b = tf.Baskets.from_lists([[("a", 1), ("b", 2)], [("a", 1)]])
    assert b.item_labels == (("a", 1), ("b", 2))


@pytest.mark.parametrize("make", [as_pandas, as_polars, as_arrow])
def test_from_onehot_matches_mlxtend_input(make):
    onehot = {"tea": [True, True, False, False], "milk": [1, 0, 1, 0], "cake": [0, 0, 1, 0]}
    b = tf.Baskets.from_onehot(make(onehot))
    assert len(b) == 4 and b._n_occupied == 3  # the all-False row is an empty transaction
    assert b.item_labels == ("cake", "milk", "tea")
    assert decoded(b) == [frozenset({"tea", "milk"}), frozenset({"tea"}),
                          frozenset({"milk", "cake"})]


def test_constructor_checks_and_empty_baskets():
    b = tf.Baskets(np.array([5, 5, 9]), np.array([1, 0, 1]), ["x", "y"], n_transactions=4)
    assert len(b) == 4 and b.item_counts.tolist() == [1, 2]
    assert repr(b) == "Baskets(4 transactions, 2 items, 3 rows)"
    with pytest.raises(ValueError, match=r"item_ids: expected ids in 0\.\.1, got 2"):
        tf.Baskets([1], [2], ["x", "y"])
    with pytest.raises(ValueError, match="item_ids: expected ids in 0..1, got -1"):
        tf.Baskets([1], [-1], ["x", "y"])
    with pytest.raises(ValueError, match="n_transactions: expected at least the 2 distinct"):
        tf.Baskets([1, 2], [0, 0], ["x"], n_transactions=1)
    with pytest.raises(ValueError, match="item_labels: expected distinct labels"):
        tf.Baskets([1], [0], ["x", "x"])
    with pytest.raises(TypeError, match="txn_ids: expected a 1-D integer array"):
        tf.Baskets([1.5], [0], ["x"])
    with pytest.raises(ValueError, match="item_ids: expected values that fit int32"):
        tf.Baskets([1], [2**31], ["x"])


def test_arrays_are_read_only():
    b = tf.Baskets.from_lists([["a"]])
    with pytest.raises(ValueError):
        b.item_ids[0] = 5


# -- files -----------------------------------------------------------------------------------

def write_long(path, rows):
    table = pa.table(rows)
    if path.suffix == ".parquet":
        pq.write_table(table, path)
    else:
        sep = "\t" if path.suffix == ".tsv" else ","
        lines = [sep.join(table.column_names)]
        lines += [sep.join(map(str, r)) for r in zip(*(table.column(c).to_pylist()
                                                      for c in table.column_names))]
        path.write_text("\n".join(lines) + "\n")


@pytest.mark.parametrize("suffix", [".csv", ".tsv", ".parquet", ".CSV"])
def test_read_long_tables(tmp_path, suffix):
    path = tmp_path / f"orders{suffix}"
    write_long(path, ROWS)
    b = tf.read_baskets(path, transaction="order", item="product")
    assert decoded(b) == [frozenset(EXPECTED[k]) for k in (10, 11, 12)]


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_missing_column_in_a_file_is_named(tmp_path, suffix):
    path = tmp_path / f"orders{suffix}"
    write_long(path, ROWS)
    with pytest.raises(ValueError, match=r"item: expected a column of data \('order', "
                                         r"'product'\), got 'sku'"):
        tf.read_baskets(path, transaction="order", item="sku")


def test_csv_keeps_na_as_a_product(tmp_path):
    path = tmp_path / "o.csv"
    path.write_text("t,i\n1,NA\n1,tea\n")
    assert tf.read_baskets(path, "t", "i").item_labels == ("NA", "tea")


@pytest.mark.parametrize("suffix, text, sep, labels, baskets", [
    pytest.param(".dat", "3 1 2 \n2 10\n\n  7\n", None, (1, 2, 3, 7, 10),
                 [{1, 2, 3}, {2, 10}, {7}], id="fimi-ints-trailing-blank-blank-line"),
    pytest.param(".txt", "milk bread\r\nmilk\teggs\r\n", None, ("bread", "eggs", "milk"),
                 [{"milk", "bread"}, {"milk", "eggs"}], id="words-crlf-tabs"),
    pytest.param(".txt", "ice cream, milk\nmilk,\n", ",", ("ice cream", "milk"),
                 [{"ice cream", "milk"}, {"milk"}], id="comma-separated"),
    pytest.param(".dat", "007 7\n", None, ("007", "7"), [{"007", "7"}],
                 id="leading-zeros-stay-strings"),
    pytest.param(".dat", "", None, (), [], id="empty-file"),
])
def test_read_basket_lines(tmp_path, suffix, text, sep, labels, baskets):
    path = tmp_path / f"b{suffix}"
    path.write_bytes(text.encode())
    b = tf.read_baskets(path, sep=sep)
    assert b.item_labels == labels
    assert decoded(b) == [frozenset(x) for x in baskets]
    assert len(b) == len(baskets)


# -- bad input -------------------------------------------------------------------------------

@pytest.mark.parametrize("call, exc, message", [
    pytest.param(lambda: tf.Baskets.from_long(pd.DataFrame(ROWS), "order", "sku"),
                 ValueError, r"item: expected a column of data \('order', 'product'\), got 'sku'",
                 id="missing-item-column"),
    pytest.param(lambda: tf.Baskets.from_long(pd.DataFrame(ROWS), "id", "product"),
                 ValueError, "transaction: expected a column of data", id="missing-txn-column"),
    pytest.param(lambda: tf.Baskets.from_long(
        pd.DataFrame({"t": [1, None], "i": ["a", "b"]}), "t", "i"),
        ValueError, "transaction: expected no nulls in column 't', got 1 null",
        id="null-transaction"),
    pytest.param(lambda: tf.Baskets.from_long(
        pl.DataFrame({"t": [1, 2], "i": ["a", None]}), "t", "i"),
        ValueError, "item: expected no nulls in column 'i', got 1 null", id="null-item-polars"),
    pytest.param(lambda: tf.Baskets.from_long(
        pd.DataFrame({"t": [1, 2], "i": ["a", float("nan")]}), "t", "i"),
        ValueError, "item: expected no nulls", id="nan-item-pandas"),
    pytest.param(lambda: tf.Baskets.from_long([[1, "a"]], "t", "i"),
                 TypeError, "data: expected a pandas, polars or pyarrow table, got list",
                 id="not-a-table"),
    pytest.param(lambda: tf.Baskets.from_long(pd.DataFrame(ROWS), "order", "order"),
                 ValueError, "item: expected a column other than the transaction column",
                 id="same-column-twice"),
    pytest.param(lambda: tf.Baskets.from_lists(["milk", "bread"]),
                 TypeError, r"baskets\[0\]: expected an iterable of labels, not a string",
                 id="str-as-basket"),
    pytest.param(lambda: tf.Baskets.from_lists([["a"], np.str_("milk")]),
                 TypeError, r"baskets\[1\]: expected an iterable of labels, not a string",
                 id="numpy-str-as-basket"),
    pytest.param(lambda: tf.Baskets.from_lists([[1], 5]),
                 TypeError, "baskets: expected an iterable of baskets", id="int-as-basket"),
    pytest.param(lambda: tf.Baskets.from_lists(5),
                 TypeError, "baskets: expected an iterable of baskets, got 5", id="not-iterable"),
    pytest.param(lambda: tf.Baskets.from_lists([["a"], ["b", None]]),
                 ValueError, r"baskets\[1\]: expected labels that are not None or NaN",
                 id="none-label"),
    pytest.param(lambda: tf.Baskets.from_lists([[["a"]]]),
                 TypeError, "baskets: expected hashable labels", id="unhashable-label"),
    pytest.param(lambda: tf.Baskets.from_onehot(pd.DataFrame({"a": [0.5, 1.0]})),
                 TypeError, r"data\['a'\]: expected bool or 0/1 integer cells, got dtype Float64",
                 id="onehot-float"),
    pytest.param(lambda: tf.Baskets.from_onehot(pd.DataFrame({"a": [0, 2]})),
                 ValueError, r"data\['a'\]: expected bool or 0/1 integer cells, got other",
                 id="onehot-two"),
    pytest.param(lambda: tf.Baskets.from_onehot(pl.DataFrame({"a": [True, None]})),
                 ValueError, r"data\['a'\]: expected no null cells", id="onehot-null"),
    pytest.param(lambda: tf.read_baskets("x.json"),
                 ValueError, "path: expected a file ending in one of .csv", id="unknown-format"),
    pytest.param(lambda: tf.read_baskets("x.csv"),
                 ValueError, "transaction: expected a column name for a .csv table, got None",
                 id="csv-without-columns"),
    pytest.param(lambda: tf.read_baskets("x.dat", transaction="t"),
                 ValueError, "transaction: expected None for a .dat basket file",
                 id="dat-with-columns"),
    pytest.param(lambda: tf.read_baskets(3),
                 TypeError, "path: expected a path", id="path-not-str"),
])
def test_bad_input_names_the_argument(call, exc, message):
    with pytest.raises(exc, match=message):
        call()


def test_empty_inputs():
    for b in (tf.Baskets.from_lists([]),
              tf.Baskets.from_long(pd.DataFrame({"t": [], "i": []}), "t", "i"),
              tf.Baskets.from_long(pl.DataFrame({"t": [], "i": []},
                                                schema={"t": pl.Int64, "i": pl.String}),
                                   "t", "i"),
              tf.Baskets.from_onehot(pd.DataFrame({"a": pd.Series([], dtype=bool)}))):
        assert len(b) == 0 and b.n_rows == 0 and b.item_counts.sum() == 0
