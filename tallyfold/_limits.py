"""The ``max_itemsets`` and ``max_memory`` arguments, and the exceptions of a stopped run."""

from __future__ import annotations

import re
from typing import Any

from . import _validation as check
from .errors import MemoryLimitError, ResultLimitError

# By default a run may use this share of the memory available when it starts: enough for
# any result that fits, while a run heading past it stops with an exception before the
# kernel's out-of-memory killer ends the whole process.
DEFAULT_MEMORY_SHARE = 0.8

_UNITS = {"": 1, "b": 1, "k": 10**3, "kb": 10**3, "m": 10**6, "mb": 10**6, "g": 10**9,
          "gb": 10**9, "t": 10**12, "tb": 10**12, "kib": 2**10, "mib": 2**20, "gib": 2**30,
          "tib": 2**40}
_SIZE = re.compile(r"^\s*(\d+(?:\.\d*)?|\.\d+)\s*([a-zA-Z]*)\s*$")
_MEMORY_EXPECTED = "None, a number of bytes >= 1 or a size such as '512MB' or '8GB'"


def available_memory() -> int | None:
    """Bytes of memory available to new allocations now, or None when it cannot be told."""
    try:
        import psutil
    except ImportError:
        psutil = None
    if psutil is not None:
        return int(psutil.virtual_memory().available)
    try:
        with open("/proc/meminfo", encoding="ascii") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def max_memory(value: Any) -> int:
    """Bytes a run may use: 0 for no limit.

    None is the default share of the available memory; an int is bytes; a str is a size with
    an optional unit (``"8GB"``, ``"512 MiB"``, ``"1.5g"``; decimal units are powers of 1000,
    ``KiB``/``MiB``/``GiB``/``TiB`` powers of 1024).
    """
    if value is None:
        available = available_memory()
        return int(available * DEFAULT_MEMORY_SHARE) if available else 0
    if check.is_integer(value):
        if int(value) < 1:
            check.fail(ValueError, "max_memory", _MEMORY_EXPECTED, value)
        return int(value)
    if not isinstance(value, str):
        check.fail(TypeError, "max_memory", _MEMORY_EXPECTED, value)
    match = _SIZE.match(value)
    unit = match.group(2).lower() if match else None
    if match is None or unit not in _UNITS:
        check.fail(ValueError, "max_memory", _MEMORY_EXPECTED, value)
    size = int(float(match.group(1)) * _UNITS[unit])
    if size < 1:
        check.fail(ValueError, "max_memory", _MEMORY_EXPECTED, value)
    return size


def max_itemsets(value: Any) -> int:
    """None (no limit) -> 0, an int >= 1 -> itself."""
    return check.optional_positive_int(value, "max_itemsets", "no limit")


def show_bytes(n: int) -> str:
    """A byte count for people: '1.5 GB'."""
    for unit, size in (("TB", 10**12), ("GB", 10**9), ("MB", 10**6), ("kB", 10**3)):
        if n >= size:
            return f"{n / size:.1f} {unit}"
    return f"{n} bytes"


def stopped(args: tuple, *, max_itemsets: int, max_memory: int, min_support: Any,
            max_len: int | None) -> Exception:
    """The package's exception for the engine's LimitReached arguments."""
    kind, levels_done, found, bytes_estimate, done, total = args
    if levels_done:
        progress = f"{levels_done} level{'s' if levels_done != 1 else ''} done"
    else:
        progress = f"{done} of {total} top-level items searched" if total else "at the start"
    advice = (f"raise min_support (now {min_support!r})"
              + (" or set max_len" if max_len is None else f" or lower max_len (now {max_len})"))
    fields = dict(levels_done=int(levels_done), itemsets_found=int(found),
                  branches_done=int(done), branches_total=int(total))
    if kind == "itemsets":
        return ResultLimitError(
            f"the run found more than max_itemsets={max_itemsets:,} itemsets and stopped "
            f"({progress}, {found:,} itemsets found); {advice}, or raise max_itemsets",
            limit=max_itemsets, **fields)
    return MemoryLimitError(
        f"the run would need more than max_memory={show_bytes(max_memory)} and stopped "
        f"({progress}, {found:,} itemsets found, about {show_bytes(bytes_estimate)} needed "
        f"so far); {advice}, or raise max_memory", limit=max_memory, **fields)
