"""The Examples sections of the package's docstrings, run as tests so that they never go stale.

`pytest --doctest-modules tallyfold` runs them as well; this module makes `pytest tests` do it.
"""

import doctest
import importlib
import pkgutil

import pytest

import tallyfold

MODULES = ["tallyfold"] + sorted({f"tallyfold.{m.name}"
                                  for m in pkgutil.iter_modules(tallyfold.__path__)
                                  if not m.name.startswith("_")})


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples_run(name):
    module = importlib.import_module(name)
    result = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.failed == 0 and result.attempted > 0


def test_every_public_function_has_an_example():
    for name in tallyfold.__all__:
        obj = getattr(tallyfold, name)
        if callable(obj):
            assert ">>> " in (obj.__doc__ or ""), name
