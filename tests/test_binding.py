"""Argument binding: interpreter-worded errors and the introspectable surface."""

import inspect

import numpy as np
import pytest

import _tallyfold


def _t():
    return np.array([1, 1, 2], dtype=np.int64)


def _i():
    return np.array([0, 1, 0], dtype=np.int32)


# name -> (parameters in order, number required, factory of valid arguments for all of them).
# A newly registered function needs one row here (and its optional defaults in DEFAULTS).
_W = np.zeros(0)
_PIPELINE = (("txn_ids", "item_ids", "k_max", "n_items", "min_support", "item_weights",
              "max_items_per_txn"), 6, lambda: (_t(), _i(), 3, 3, 0.0, _W, None))
FUNCTIONS = {
    "rust_compute_pairs": (("txn_ids", "item_ids", "n_items", "min_support"), 3,
                           lambda: (_t(), _i(), 3, 0.0)),
    "rust_compute_itemsets": (("txn_ids", "item_ids", "freq_lower", "k", "n_items",
                               "item_weights", "max_items_per_txn"), 6,
                              lambda: (_t(), _i(), np.zeros((0, 2), np.int32), 3, 3, _W, None)),
    "rust_compute_pipeline": _PIPELINE,
    "rust_compute_pipeline_v1_roaring": _PIPELINE,
    "rust_compute_pipeline_v2_memo": _PIPELINE,
    "rust_compute_pipeline_v3_adaptive": _PIPELINE,
    "rust_compute_pipeline_v5_prefilter": _PIPELINE,
    "rust_compute_pipeline_v6_gating": _PIPELINE,
    "rust_eclat_pipeline": (("txn_ids", "item_ids", "k_max", "n_items", "min_support"), 5,
                            lambda: (_t(), _i(), 2, 3, 0.0)),
    "rust_classic_compute_pairs": (("txn_ids", "item_ids", "n_items", "n_transactions",
                                    "min_support"), 5, lambda: (_t(), _i(), 3, 2, 0.0)),
    "rust_classic_compute_pipeline": (("txn_ids", "item_ids", "k_max", "n_items",
                                       "_n_transactions", "min_support", "item_weights",
                                       "max_items_per_txn"), 7,
                                      lambda: (_t(), _i(), 2, 3, 2, 0.0, _W, None)),
}
DEFAULTS = {"min_support": 0.0, "max_items_per_txn": None}


def _twin(name):
    """A Python function with the same signature: the interpreter words its binding errors."""
    params, required, _ = FUNCTIONS[name]
    shown = [p if k < required else f"{p}={DEFAULTS[p]!r}" for k, p in enumerate(params)]
    scope = {}
    exec(f"def {name}({', '.join(shown)}): pass", scope)
    return scope[name]


def _faults(name):
    params, required, valid = FUNCTIONS[name]
    yield "too-many-positional", lambda: (valid() + (None,), {})
    # With several faults the interpreter reports keywords before surplus positionals.
    yield "too-many-and-unexpected", lambda: (valid() + (None,), {"foo": 1})
    yield "too-many-and-twice", lambda: (valid() + (None,), {params[0]: valid()[0]})
    for kept in range(required):
        yield f"missing-{required - kept}", lambda k=kept: (valid()[:k], {})
    yield "unexpected-keyword", lambda: (valid(), {"foo": 1})
    for j, p in enumerate(params):
        yield f"given-twice-{p}", lambda j=j, p=p: (valid(), {p: valid()[j]})


@pytest.mark.parametrize("name, make", [pytest.param(n, m, id=f"{n}-{fault}")
                                        for n in FUNCTIONS for fault, m in _faults(n)])
def test_binding_errors_worded_like_interpreter(name, make):
    args, kwargs = make()
    with pytest.raises(TypeError) as expected:
        _twin(name)(*args, **kwargs)
    with pytest.raises(TypeError) as err:
        getattr(_tallyfold, name)(*args, **kwargs)
    assert str(err.value) == str(expected.value)


LITERAL = [
    pytest.param(lambda t, i: ((t, i, 3, 0.0, 1), {}),
                 "rust_compute_pairs() takes from 3 to 4 positional arguments but 5 were given",
                 id="too-many-positional"),
    pytest.param(lambda t, i: ((t, i), {}),
                 "rust_compute_pairs() missing 1 required positional argument: 'n_items'",
                 id="missing-one"),
    pytest.param(lambda t, i: ((t,), {"min_support": 0.1}),
                 "rust_compute_pairs() missing 2 required positional arguments: "
                 "'item_ids' and 'n_items'", id="missing-two-despite-keyword"),
    pytest.param(lambda t, i: ((), {}),
                 "rust_compute_pairs() missing 3 required positional arguments: "
                 "'txn_ids', 'item_ids', and 'n_items'", id="missing-three"),
    pytest.param(lambda t, i: ((t, i, 3), {"foo": 1}),
                 "rust_compute_pairs() got an unexpected keyword argument 'foo'",
                 id="unexpected-keyword"),
    pytest.param(lambda t, i: ((t, i, 3), {"txn_ids": t}),
                 "rust_compute_pairs() got multiple values for argument 'txn_ids'",
                 id="given-twice"),
    pytest.param(lambda t, i: ((i,), {"txn_ids": t, "n_items": 3}),
                 "rust_compute_pairs() got multiple values for argument 'txn_ids'",
                 id="given-twice-positional-in-wrong-slot"),
    pytest.param(lambda t, i: ((t, i), {"n_items": "3", "Min_support": 0.0}),
                 "rust_compute_pairs() got an unexpected keyword argument 'Min_support'",
                 id="keyword-case-sensitive-and-checked-before-conversion"),
]


@pytest.mark.parametrize("make, message", LITERAL)
def test_binding_error_wording(make, message):
    args, kwargs = make(_t(), _i())
    with pytest.raises(TypeError) as err:
        _tallyfold.rust_compute_pairs(*args, **kwargs)
    assert str(err.value) == message


@pytest.mark.parametrize("name", FUNCTIONS)
def test_every_parameter_binds_by_runtime_built_keyword(name):
    params, _, valid = FUNCTIONS[name]
    # Built at run time, so not interned: lookup by identity alone would miss them.
    kwargs = {"".join(list(p)): v for p, v in zip(params, valid())}
    # One-character strings are shared by the interpreter whatever their origin.
    assert all(k is not p for k, p in zip(kwargs, params) if len(p) > 1)
    expected = getattr(_tallyfold, name)(*valid())
    got = getattr(_tallyfold, name)(**kwargs)
    assert got.keys() == expected.keys()
    for key in expected:
        np.testing.assert_array_equal(got[key], expected[key])


def test_omitted_min_support_means_zero():
    t, i = np.array([5, 5, 9, 9], np.int64), np.array([0, 1, 0, 2], np.int32)
    a = _tallyfold.rust_compute_pairs(item_ids=i, n_items=3, txn_ids=t)
    b = _tallyfold.rust_compute_pairs(t, i, 3, 0.0)
    c = _tallyfold.rust_compute_pairs(t, i, 3, 0.6)  # a cut at count 2 drops every pair
    assert len(a["item_A"]) == len(b["item_A"]) == 4 and len(c["item_A"]) == 0
    for key in a:
        np.testing.assert_array_equal(a[key], b[key])


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_introspection(name):
    fn = getattr(_tallyfold, name)
    assert fn.__module__ == "_tallyfold" and fn.__name__ == name
    assert str(inspect.signature(fn)) == str(inspect.signature(_twin(name)))


def test_module_surface():
    sig = str(inspect.signature(_tallyfold.rust_compute_pairs))
    assert sig == "(txn_ids, item_ids, n_items, min_support=0.0)"
    listed = _tallyfold.__all__
    # Registration order is the table order, each function once.
    assert listed == list(FUNCTIONS)
    public = {n for n, v in vars(_tallyfold).items()
              if not n.startswith("_") and type(v) is type(len)}
    assert set(listed) == public
    panic = _tallyfold.PanicException
    assert panic.__bases__ == (BaseException,) and not issubclass(panic, Exception)
    assert "PanicException" not in listed
    assert panic.__module__ == "_tallyfold" and panic.__name__ == "PanicException"
