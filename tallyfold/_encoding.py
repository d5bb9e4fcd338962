"""Labels to dense integer codes, vectorised.

Item ids follow the sorted order of the labels when the labels can be sorted among themselves
(every string, every integer), so that results come out in the order a reader expects; when
they cannot (a mix of str and int objects), ids follow first appearance. Categorical and
dictionary columns already carry codes and a label list: those are used as they are.

Every function returns ``(codes, labels)``: codes as an int64 array with one entry per value,
labels as a tuple where position = code.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc

Codes = np.ndarray


def object_array(values: Sequence[Any]) -> np.ndarray:
    """A 1-D object array holding ``values`` as they are (tuples stay single elements)."""
    return np.fromiter(values, dtype=object, count=len(values))


def ranks(order: np.ndarray) -> np.ndarray:
    """The inverse permutation: ``ranks[order[k]] = k``."""
    inverse = np.empty(order.shape[0], dtype=np.int64)
    inverse[order] = np.arange(order.shape[0], dtype=np.int64)
    return inverse


def sortable_order(labels: Sequence[Any]) -> np.ndarray | None:
    """Positions of ``labels`` in sorted order, or None when they do not sort among themselves."""
    try:
        return np.array(sorted(range(len(labels)), key=labels.__getitem__), dtype=np.int64)
    except TypeError:
        return None


def _sorted_codes(codes: np.ndarray, labels: Sequence[Any]) -> tuple[Codes, tuple]:
    """Renumber first-seen codes so that ids follow sorted labels, where labels sort."""
    order = sortable_order(labels)
    if order is None:
        return codes.astype(np.int64, copy=False), tuple(labels)
    return ranks(order)[codes], tuple(labels[i] for i in order)


def encode_objects(values: np.ndarray) -> tuple[Codes, tuple]:
    """Python objects (any hashable, mixed types allowed) by hashing, as dict keys compare."""
    codes, uniques = pd.factorize(values, use_na_sentinel=False)
    return _sorted_codes(codes, list(uniques))


def _arrow_array(arr: pa.Array | pa.ChunkedArray) -> pa.Array:
    if isinstance(arr, pa.ChunkedArray):
        return arr.combine_chunks() if arr.num_chunks != 1 else arr.chunk(0)
    return arr


def encode_arrow(arr: pa.Array | pa.ChunkedArray) -> tuple[Codes, tuple]:
    """An Arrow array of one plain type: one hash pass, then the (small) dictionary is sorted."""
    if pa.types.is_dictionary(arr.type):
        return encode_dictionary(arr)
    return sorted_dictionary(*hash_encode(arr))


def hash_encode(arr: pa.Array | pa.ChunkedArray) -> tuple[Codes, pa.Array]:
    """First-seen codes and the dictionary of distinct values."""
    encoded = pc.dictionary_encode(_arrow_array(arr))
    codes = encoded.indices.to_numpy(zero_copy_only=False).astype(np.int64, copy=False)
    return codes, encoded.dictionary


def sorted_dictionary(codes: Codes, dictionary: pa.Array) -> tuple[Codes, tuple]:
    """Renumber codes so that ids follow the sorted dictionary.

    Arrow sorts one type natively (strings by code point, as Python does), so no Python-level
    comparison runs even for large dictionaries.
    """
    order = pc.array_sort_indices(dictionary).to_numpy(zero_copy_only=False).astype(np.int64)
    return ranks(order)[codes], tuple(dictionary.take(pa.array(order)).to_pylist())


def encode_dictionary(arr: pa.Array | pa.ChunkedArray) -> tuple[Codes, tuple]:
    """A dictionary (categorical) column: its indices are the codes, its dictionary the labels.

    Chunks with different dictionaries are unified first; a dictionary that repeats a value
    (Arrow allows that) is collapsed so that one label never has two ids.
    """
    if isinstance(arr, pa.ChunkedArray):
        arr = arr.unify_dictionaries()
        if arr.num_chunks == 0:
            return np.zeros(0, dtype=np.int64), ()
        dictionary = arr.chunk(0).dictionary
        codes = np.concatenate(
            [c.indices.to_numpy(zero_copy_only=False).astype(np.int64) for c in arr.chunks])
    else:
        dictionary = arr.dictionary
        codes = arr.indices.to_numpy(zero_copy_only=False).astype(np.int64)
    labels = dictionary.to_pylist()
    if len(pc.unique(dictionary)) != len(dictionary):
        collapse = pc.dictionary_encode(dictionary)
        codes = collapse.indices.to_numpy(zero_copy_only=False).astype(np.int64)[codes]
        labels = collapse.dictionary.to_pylist()
    return codes, tuple(labels)


def first_seen_codes(arr: pa.Array | pa.ChunkedArray | np.ndarray) -> tuple[Codes, int]:
    """Dense codes 0..n-1 in order of first appearance, and n, for transaction columns.

    Unused categories of a categorical column are not counted.
    """
    if isinstance(arr, np.ndarray):
        codes, uniques = pd.factorize(arr, use_na_sentinel=False)
        return codes.astype(np.int64, copy=False), len(uniques)
    if pa.types.is_dictionary(arr.type):
        arr = _arrow_array(arr).cast(arr.type.value_type)
    encoded = pc.dictionary_encode(_arrow_array(arr))
    codes = encoded.indices.to_numpy(zero_copy_only=False).astype(np.int64, copy=False)
    return codes, len(encoded.dictionary)
