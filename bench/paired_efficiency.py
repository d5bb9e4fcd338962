"""Parallel efficiency from paired calls: each call on one CPU made right after a call on every
CPU, so that both see the same state of a shared machine (bench_pipeline.py, bench_pairs.py)."""

from __future__ import annotations

import math
import statistics

# Pairs enough for about this many seconds on one CPU, at most EFFICIENCY_MAX_PAIRS: a ratio
# of calls lasting milliseconds moves with every hiccup of the machine.
EFFICIENCY_SECONDS = 1.0
EFFICIENCY_MAX_PAIRS = 25


def pairs_wanted(one_cpu_secs: float, at_least: int) -> int:
    """Pairs for about EFFICIENCY_SECONDS of calls taking `one_cpu_secs` on one CPU."""
    wanted = math.ceil(EFFICIENCY_SECONDS / max(one_cpu_secs, 1e-6))
    return max(at_least, min(EFFICIENCY_MAX_PAIRS, wanted))


def median_of_pairs(one_cpu_times: list[float], all_cpu_times: list[float]) -> float:
    """The median over the pairs of one-CPU time / (2 x all-CPU time)."""
    return statistics.median(one / (2 * two) for one, two in zip(one_cpu_times, all_cpu_times))


def of_bests(one_cpu_times: list[float], all_cpu_times: list[float]) -> float:
    """The fastest one-CPU call / (2 x the fastest all-CPU call of the pairs)."""
    return min(one_cpu_times) / (2 * min(all_cpu_times))
