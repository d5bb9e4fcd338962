"""Conversion of each argument: no coercion, exact messages, and the check order."""

import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _tallyfold

T = np.array([1, 1, 2, 2, 3], dtype=np.int64)
I = np.array([0, 1, 0, 2, 1], dtype=np.int32)  # noqa: E741
OUT_OF_RANGE = "out of range integral type conversion attempted"
NOT_CONTIGUOUS = "The given array is not contiguous"


def call(txn_ids=T, item_ids=I, n_items=3, min_support=0.0):
    return _tallyfold.rust_compute_pairs(txn_ids, item_ids, n_items, min_support)


class Proto:
    """__index__ and __float__ return `value`, or raise `error` (chained from `cause`)."""

    def __init__(self, value=None, error=None, cause=None):
        self.value, self.error, self.cause = value, error, cause

    def _get(self):
        if self.error is not None:
            raise self.error from self.cause
        return self.value

    __index__ = __float__ = _get


class SubArray(np.ndarray):
    pass


@pytest.mark.parametrize("param, value, typename", [
    pytest.param("txn_ids", T.astype(np.int32), "ndarray", id="txn-int32"),
    pytest.param("txn_ids", T.astype(np.uint64), "ndarray", id="txn-uint64"),
    pytest.param("txn_ids", T.astype(np.float64), "ndarray", id="txn-float64"),
    pytest.param("txn_ids", T.astype(">i8"), "ndarray", id="txn-big-endian"),
    pytest.param("txn_ids", T.reshape(1, -1), "ndarray", id="txn-2d"),
    pytest.param("txn_ids", np.array(1, np.int64), "ndarray", id="txn-0d"),
    pytest.param("txn_ids", np.int64(1), "int64", id="txn-numpy-scalar"),
    pytest.param("txn_ids", T.tolist(), "list", id="txn-list"),
    pytest.param("item_ids", I.astype(np.int64), "ndarray", id="item-int64"),
    pytest.param("item_ids", I.astype(np.float32), "ndarray", id="item-float32"),
    pytest.param("item_ids", I.astype(np.uint32), "ndarray", id="item-uint32"),
    pytest.param("item_ids", I.astype(">i4"), "ndarray", id="item-big-endian"),
    pytest.param("item_ids", tuple(I), "tuple", id="item-tuple"),
    pytest.param("item_ids", I.astype(np.int64).view(SubArray), "SubArray",
                 id="item-subclass-wrong-dtype-names-subclass"),
])
def test_array_not_coerced(param, value, typename):
    with pytest.raises(TypeError) as err:
        call(**{param: value})
    assert str(err.value) == (f"argument '{param}': '{typename}' object cannot be converted "
                              "to 'PyArray<T, D>'")


EXACT = re.escape(OUT_OF_RANGE) + "$"
MS_NONE = re.escape("argument 'min_support': must be real number, not NoneType") + "$"
BAD = dict(error=TypeError("bad"), cause=KeyError("root"))


@pytest.mark.parametrize("overrides, exc, pattern, cause", [
    pytest.param({"n_items": 4294967296}, OverflowError, EXACT, None, id="n-2**32-unprefixed"),
    pytest.param({"n_items": -1}, OverflowError, EXACT, None, id="n-negative-unprefixed"),
    pytest.param({"n_items": Proto(-1)}, OverflowError, EXACT, None, id="n-index-negative"),
    pytest.param({"n_items": 2**70}, OverflowError, "(?!argument).*too large", None,
                 id="n-huge-interpreter-message"),
    pytest.param({"n_items": -2**70}, OverflowError, "(?!argument).*too large", None,
                 id="n-tiny-interpreter-message"),
    pytest.param({"n_items": 2.0}, TypeError, "argument 'n_items': 'float' object", None,
                 id="n-float"),
    pytest.param({"n_items": "3"}, TypeError, "argument 'n_items': 'str' object", None,
                 id="n-str"),
    pytest.param({"n_items": None}, TypeError, "argument 'n_items': 'NoneType' object", None,
                 id="n-none"),
    pytest.param({"min_support": None}, TypeError, MS_NONE, None, id="ms-none-no-cause"),
    pytest.param({"min_support": "0.5"}, TypeError,
                 re.escape("argument 'min_support': must be real number, not str") + "$", None,
                 id="ms-str-not-parsed"),
    pytest.param({"n_items": Proto(**BAD)}, TypeError, "argument 'n_items': bad$", KeyError,
                 id="index-error-cause-kept"),
    pytest.param({"min_support": Proto(**BAD)}, TypeError, "argument 'min_support': bad$",
                 KeyError, id="float-error-cause-kept"),
    pytest.param({"n_items": Proto(error=ValueError("plain"))}, ValueError, "plain$", None,
                 id="non-type-error-not-prefixed"),
])
def test_scalar_rejected(overrides, exc, pattern, cause):
    with pytest.raises(exc) as err:
        call(**overrides)
    assert type(err.value) is exc
    assert re.match(pattern, str(err.value)), str(err.value)
    assert type(err.value.__cause__) is (type(None) if cause is None else cause)


def _read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("overrides", [
    pytest.param({"txn_ids": T.view(SubArray)}, id="ndarray-subclass"),
    pytest.param({"txn_ids": T.astype(np.longlong)}, id="longlong-equivalent-to-int64"),
    pytest.param({"item_ids": I.astype(np.intc)}, id="intc-equivalent-to-int32"),
    pytest.param({"txn_ids": _read_only(T), "item_ids": _read_only(I)}, id="read-only"),
    pytest.param({"txn_ids": np.asfortranarray(T)}, id="fortran-1d"),
    pytest.param({"txn_ids": np.asfortranarray(np.stack([T, T], 1))[:, 1]},
                 id="column-of-fortran-matrix"),
    pytest.param({"n_items": Proto(3)}, id="n-index-protocol"),
    pytest.param({"n_items": np.uint8(3)}, id="n-numpy-integer"),
    pytest.param({"min_support": 0}, id="ms-int"),
    pytest.param({"min_support": Proto(0.5)}, id="ms-float-protocol"),
    pytest.param({"min_support": np.float32(0.5)}, id="ms-numpy-float"),
])
def test_accepted_same_result(overrides):
    expected = call(min_support=float(overrides.get("min_support", 0.0)))
    got = call(**overrides)
    for key in expected:
        np.testing.assert_array_equal(got[key], expected[key])


STRIDED = np.repeat(T, 2)[::2]


@pytest.mark.parametrize("overrides, exc, message", [
    pytest.param({"txn_ids": STRIDED}, TypeError, NOT_CONTIGUOUS, id="txn-strided"),
    pytest.param({"txn_ids": T[::-1].copy()[::-1]}, TypeError, NOT_CONTIGUOUS,
                 id="txn-reversed"),
    pytest.param({"item_ids": np.repeat(I, 2)[::2]}, TypeError, NOT_CONTIGUOUS,
                 id="item-strided-txn-fine"),
    pytest.param({"txn_ids": STRIDED, "n_items": 2**32}, OverflowError, OUT_OF_RANGE,
                 id="conversion-before-contiguity"),
    pytest.param({"txn_ids": STRIDED, "min_support": None}, TypeError,
                 "argument 'min_support': must be real number, not NoneType",
                 id="last-argument-before-contiguity"),
    pytest.param({"txn_ids": STRIDED, "n_items": 4294967295}, TypeError, NOT_CONTIGUOUS,
                 id="max-n-items-converts"),
])
def test_contiguity(overrides, exc, message):
    with pytest.raises(exc) as err:
        call(**overrides)
    assert type(err.value) is exc and str(err.value) == message


@pytest.mark.parametrize("txn, item", [
    pytest.param(np.zeros(4, np.int64)[::2][:0], np.zeros(0, np.int32), id="empty-strided"),
    pytest.param(np.array([7, 8], np.int64)[::2], np.zeros(3, np.int32)[::3], id="one-strided"),
])
def test_trivially_contiguous_views_pass(txn, item):
    assert call(txn, item)["n_transactions"] == len(txn)


@pytest.mark.address_space_limit
def test_max_n_items_with_empty_input_returns_empty_result():
    # Bounded address space: an empty input must not need memory in proportion to n_items.
    code = textwrap.dedent("""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
        import numpy as np, _tallyfold
        r = _tallyfold.rust_compute_pairs(np.zeros(0, np.int64), np.zeros(0, np.int32),
                                          4294967295)
        assert r["n_transactions"] == 0 and len(r["item_A"]) == 0
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]


def test_failed_calls_leave_arrays_usable_and_refcounts_unchanged():
    t, i = T.copy(), I.copy()
    before = sys.getrefcount(t), sys.getrefcount(i)
    expected = call(t, i)
    for _ in range(200):
        with pytest.raises(TypeError):
            call(t, i, 3, None)  # fails on the fourth argument, after both arrays converted
    for _ in range(200):
        got = call(t, i)
    assert (sys.getrefcount(t), sys.getrefcount(i)) == before
    for key in expected:
        np.testing.assert_array_equal(got[key], expected[key])
