"""The exceptions a mining run raises when it stops at a limit instead of finishing.

A run that would exceed ``max_itemsets`` or ``max_memory`` stops early and raises; it never
returns part of its result. The exception says how far the run got and what to change.

>>> import tallyfold as tf
>>> b = tf.Baskets.from_lists([["tea", "milk", "cake"]] * 3)
>>> try:
...     tf.frequent_itemsets(b, 1, max_itemsets=5)
... except tf.ResultLimitError as stop:
...     print(stop.limit, stop.itemsets_found > 5)
5 True
"""

from __future__ import annotations


class _LimitStop:
    """What both limit exceptions record about the run they stopped."""

    def __init__(self, message: str, *, levels_done: int, itemsets_found: int,
                 branches_done: int, branches_total: int, limit: int) -> None:
        super().__init__(message)
        #: Levels (itemset sizes) completed by a level-wise run; 0 for a depth-first one.
        self.levels_done = levels_done
        #: Itemsets found when the run stopped (at least the limit, for the itemset limit).
        self.itemsets_found = itemsets_found
        #: Top-level branches (items) of a depth-first run, or levels, done and in total
        #: (total 0 when unknown).
        self.branches_done = branches_done
        self.branches_total = branches_total
        #: The limit that was reached (an itemset count, or bytes).
        self.limit = limit


class ResultLimitError(_LimitStop, RuntimeError):
    """The run found more itemsets than ``max_itemsets`` allows.

    Raise ``min_support`` or set a smaller ``max_len`` to mine fewer itemsets, or raise
    ``max_itemsets``.

    >>> import tallyfold as tf
    >>> b = tf.Baskets.from_lists([["tea", "milk", "cake"]] * 3)
    >>> try:
    ...     tf.frequent_itemsets(b, 1, max_itemsets=2)
    ... except tf.ResultLimitError as stop:
    ...     print(str(stop)[:60])
    the run found more than max_itemsets=2 itemsets and stopped
    """


class MemoryLimitError(_LimitStop, MemoryError):
    """The run's estimated memory went past ``max_memory``.

    A subclass of `MemoryError`, so code that already handles running out of memory handles
    this too. Raise ``min_support`` or set a smaller ``max_len``, or raise ``max_memory``.

    >>> import tallyfold as tf
    >>> b = tf.Baskets.from_lists([["tea", "milk", "cake"]] * 3)
    >>> try:
    ...     tf.frequent_itemsets(b, 1, max_memory=100)
    ... except MemoryError as stop:
    ...     print(type(stop).__name__, stop.itemsets_found)
    MemoryLimitError 0
    """
