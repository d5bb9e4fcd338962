"""Argument checks at the package's door, all worded one way.

Every message names the argument, says what was expected and shows what came:
``min_support: expected a fraction in (0, 1] or a count >= 1, got 1.5``. The public functions
check everything here before any array reaches the native engine, so the engine only ever sees
ids in range, counts >= 1 and names it knows.
"""

from __future__ import annotations

import math
import numbers
import os
from collections.abc import Iterable
from typing import Any, NoReturn

import numpy as np

_MAX_REPR = 60


def describe(value: Any) -> str:
    """A short picture of a value for messages: its type name and a clipped repr."""
    text = repr(value)
    if len(text) > _MAX_REPR:
        text = text[: _MAX_REPR - 3] + "..."
    if isinstance(value, (bool, int, float, str)) and type(value) in (bool, int, float, str):
        return text
    return f"{type(value).__name__} {text}"


def fail(exc_type: type[Exception], name: str, expected: str, got: Any) -> NoReturn:
    """Raise ``exc_type`` in the package's one message shape."""
    raise exc_type(f"{name}: expected {expected}, got {describe(got)}")


def fail_text(exc_type: type[Exception], name: str, expected: str, got_text: str) -> NoReturn:
    """As `fail`, when what came is better told in words than by a repr."""
    raise exc_type(f"{name}: expected {expected}, got {got_text}")


def is_integer(value: Any) -> bool:
    """True for Python and NumPy integers; bool is not a number here."""
    return isinstance(value, numbers.Integral) and not isinstance(value, (bool, np.bool_))


def is_real(value: Any) -> bool:
    """True for Python and NumPy reals (integers included); bool is not a number here."""
    return isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_))


def min_count(min_support: Any, n_transactions: int, *, allow_zero: bool = False) -> int:
    """The integer threshold a support argument stands for.

    A float in (0, 1] is a fraction of the transactions, ``ceil(min_support * N)`` computed in
    double precision exactly as the engines do (N = 100 and 0.07 give 8, not 7); an int >= 1 is
    a count. With ``allow_zero`` a zero (int or float) means "no threshold" and gives 0.
    The result is at least 1 unless it is that zero.
    """
    expected = "a fraction in (0, 1] or a count >= 1"
    if allow_zero:
        expected = "0, a fraction in (0, 1] or a count >= 1"
    if is_integer(min_support):
        count = int(min_support)
        if count >= 1 or (allow_zero and count == 0):
            return count
        fail(ValueError, "min_support", expected, min_support)
    if not is_real(min_support):
        fail(TypeError, "min_support", expected, min_support)
    fraction = float(min_support)
    if allow_zero and fraction == 0.0:
        return 0
    if not (0.0 < fraction <= 1.0):  # also rejects NaN
        fail(ValueError, "min_support", expected, min_support)
    return max(1, math.ceil(fraction * float(n_transactions)))


def optional_positive_int(value: Any, name: str, none_means: str) -> int:
    """None -> 0 (the engines' "no bound"), an int >= 1 -> itself."""
    if value is None:
        return 0
    if not is_integer(value):
        fail(TypeError, name, f"None ({none_means}) or an int >= 1", value)
    if int(value) < 1:
        fail(ValueError, name, f"None ({none_means}) or an int >= 1", value)
    return int(value)


def threads(value: Any) -> int:
    """The pool bound for one call: None -> 0 (every core), else an int >= 1.

    A bound above the usable cores means every core; it is lowered here, because the thread
    library warns on standard error about requests beyond what it can run.
    """
    bound = optional_positive_int(value, "threads", "all cores")
    return min(bound, usable_cores()) if bound else 0


def usable_cores() -> int:
    """Cores this process may run on (its affinity mask where the platform has one)."""
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return max(1, os.cpu_count() or 1)


def choice(value: Any, name: str, choices: Iterable[str]) -> str:
    """A string that must be one of a fixed set of names."""
    options = tuple(choices)
    listed = ", ".join(repr(c) for c in options)
    if not isinstance(value, str):
        fail(TypeError, name, f"one of {listed}", value)
    if value not in options:
        fail(ValueError, name, f"one of {listed}", value)
    return value


def real(value: Any, name: str) -> float:
    """A finite or infinite real number, not NaN and not bool."""
    if not is_real(value):
        fail(TypeError, name, "a real number", value)
    number = float(value)
    if math.isnan(number):
        fail(ValueError, name, "a real number (not NaN)", value)
    return number


def flag(value: Any, name: str) -> bool:
    """A bool (NumPy's included); 0 and 1 are not accepted, to catch swapped arguments."""
    if not isinstance(value, (bool, np.bool_)):
        fail(TypeError, name, "True or False", value)
    return bool(value)


def path(value: Any, name: str) -> str:
    """A file-system path as str (str, bytes or os.PathLike)."""
    if isinstance(value, (str, bytes, os.PathLike)):
        return os.fsdecode(value)
    fail(TypeError, name, "a path (str or os.PathLike)", value)
