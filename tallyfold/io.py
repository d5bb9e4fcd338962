"""Reading baskets from files: long tables (.csv, .tsv, .parquet) and basket lines (.dat, .txt).

Long tables go through pyarrow's readers and then `Baskets.from_long`. Basket files hold one
transaction per line with its items separated by blanks (the FIMI format of the classic
benchmark data); they are split by Arrow's string kernels in bulk, so a file of millions of
rows is read without a Python loop over lines or items.
"""

from __future__ import annotations

import os
from collections.abc import Hashable
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pa_csv
import pyarrow.parquet as pq

from . import _encoding, _progress
from . import _validation as check
from .baskets import Baskets

_LONG_FORMATS = {".csv": ",", ".tsv": "\t", ".parquet": None}
_BASKET_FORMATS = (".dat", ".txt")


def read_baskets(path: str | os.PathLike[str], transaction: Hashable | None = None,
                 item: Hashable | None = None, *, sep: str | None = None,
                 progress: bool = False) -> Baskets:
    """Read baskets from a file, choosing the format by its extension.

    ``.csv``, ``.tsv`` and ``.parquet`` files are long tables with one (transaction, item)
    pair per row and a header; name the two columns with ``transaction`` and ``item``.
    ``.dat`` and ``.txt`` files hold one basket per line, items separated by ``sep``
    (default: any run of blanks); blank lines are skipped. When every item of such a file
    is an integer the labels are ints, else str.

    Parameters
    ----------
    path : str or os.PathLike
        The file.
    transaction, item : hashable, optional
        Column names; required for long tables, not accepted for basket files.
    sep : str, optional
        Item separator of a basket file (for example ``","``); None splits on whitespace.
    progress : bool
        Show a progress bar of the bytes read on standard error.

    Returns
    -------
    Baskets

    Raises
    ------
    ValueError
        For an unknown extension, a missing column name, or nulls in a column.

    Examples
    --------
    >>> import tempfile, pathlib
    >>> import tallyfold as tf
    >>> folder = pathlib.Path(tempfile.mkdtemp())
    >>> _ = (folder / "shop.dat").write_text("1 2 3\\n2 3\\n\\n3\\n")
    >>> b = tf.read_baskets(folder / "shop.dat")
    >>> len(b), b.item_labels
    (3, (1, 2, 3))
    >>> _ = (folder / "shop.csv").write_text("order,product\\n7,tea\\n7,milk\\n9,tea\\n")
    >>> tf.read_baskets(folder / "shop.csv", transaction="order", item="product")
    Baskets(2 transactions, 2 items, 3 rows)
    """
    filename = check.path(path, "path")
    show = _progress.wanted(progress)
    extension = os.path.splitext(filename)[1].lower()
    if extension in _LONG_FORMATS:
        if transaction is None or item is None:
            missing = "transaction" if transaction is None else "item"
            check.fail_text(ValueError, missing, f"a column name for a {extension} table",
                            "None")
        if sep is not None:
            check.fail_text(ValueError, "sep", f"None for a {extension} table", repr(sep))
        return Baskets.from_long(_read_table(filename, extension, transaction, item, show),
                                 transaction=transaction, item=item)
    if extension in _BASKET_FORMATS:
        for name, value in (("transaction", transaction), ("item", item)):
            if value is not None:
                check.fail_text(ValueError, name, f"None for a {extension} basket file",
                                repr(value))
        if sep is not None and (not isinstance(sep, str) or sep == ""):
            check.fail(TypeError if not isinstance(sep, str) else ValueError, "sep",
                       "None or a non-empty str", sep)
        return _read_basket_lines(filename, sep, show)
    known = ", ".join(list(_LONG_FORMATS) + list(_BASKET_FORMATS))
    check.fail_text(ValueError, "path", f"a file ending in one of {known}", repr(filename))


def _read_table(filename: str, extension: str, transaction: Hashable,
                item: Hashable, show: bool) -> pa.Table:
    if show:
        with _progress.CountingFile(filename, "reading") as source:
            return _read_table_from(source, filename, extension, transaction, item)
    return _read_table_from(filename, filename, extension, transaction, item)


def _read_table_from(source: Any, filename: str, extension: str, transaction: Hashable,
                     item: Hashable) -> pa.Table:
    if extension == ".parquet":
        # Only the two columns are read when both exist; otherwise everything, so that the
        # missing one is reported by name with the columns there are.
        names = pq.read_schema(filename).names
        wanted = [transaction, item]
        return pq.read_table(source, columns=wanted if set(wanted) <= set(names) else None)
    # Columns keep the types Arrow infers, except that nothing is read as null: an empty
    # cell is an empty label, and a product called "NA" stays a product.
    convert = pa_csv.ConvertOptions(null_values=[], strings_can_be_null=False,
                                    quoted_strings_can_be_null=False)
    parse = pa_csv.ParseOptions(delimiter=_LONG_FORMATS[extension])
    return pa_csv.read_csv(source, parse_options=parse, convert_options=convert)


def _read_basket_lines(filename: str, sep: str | None, show: bool) -> Baskets:
    with (_progress.CountingFile(filename, "reading") if show else open(filename, "rb")) as f:
        text = f.read().decode("utf-8")
    lines = pc.split_pattern(pa.array([text], type=pa.large_string()), "\n").flatten()
    if sep is None:
        tokens = pc.utf8_split_whitespace(lines)
    else:
        tokens = pc.split_pattern(pc.utf8_trim_whitespace(lines), sep)
    line_of_token = pc.list_parent_indices(tokens).to_numpy(zero_copy_only=False)
    words = pc.utf8_trim_whitespace(tokens.flatten())
    keep = pc.not_equal(words, "")
    words = words.filter(keep)
    line_of_token = line_of_token[keep.to_numpy(zero_copy_only=False)]
    # Lines without items are skipped; the others are numbered densely in file order.
    starts = np.empty(line_of_token.shape[0], dtype=bool)
    starts[:1] = True
    np.not_equal(line_of_token[1:], line_of_token[:-1], out=starts[1:])
    txn = np.cumsum(starts, dtype=np.int64) - 1
    n_transactions = int(starts.sum())
    codes, dictionary = _encoding.hash_encode(words)
    item_codes, labels = _encoding.sorted_dictionary(codes, _as_integers_if_possible(dictionary))
    return Baskets._trusted(txn, item_codes, labels, n_transactions)


def _as_integers_if_possible(distinct: pa.Array) -> pa.Array:
    """Distinct tokens as int64 when every one is an integer written one way, else as they are.

    "007" and "7" would be one integer but are two labels, so the cast must stay one-to-one.
    """
    try:
        as_ints = pc.cast(distinct, pa.int64())
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
        return distinct
    return as_ints if len(pc.unique(as_ints)) == len(distinct) else distinct
