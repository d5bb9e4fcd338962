#!/usr/bin/env python3
"""Classic Apriori beside the anchor-and-extend engines and pyfim's apriori, on the same data.

Pairs:     rust_classic_compute_pairs, rust_compute_pairs (cut at the same min count) and
           pyfim apriori (target 's', zmin = zmax = 2).
Pipeline:  rust_classic_compute_pipeline, rust_compute_pipeline and pyfim apriori, fpgrowth
           and eclat (zmin = k_max - 1, zmax = k_max).

Every case first checks that the engines agree (pairs: the same rows bit for bit between the
two tallyfold functions and the same pair counts as pyfim; pipeline: the same itemsets and
counts of sizes k_max and k_max - 1), then times them in one process: --repeat rounds, the
engine order shuffled each round with a fixed seed, median reported with its ratio to the
fastest pyfim algorithm of the same case. The load average is printed before and after:
other work on the machine skews every figure. Peak memory and the one-to-two-CPU efficiency of
the classic pipeline are in bench_pipeline.py, which runs each engine in a process of its own.
Inputs are prepared outside the timed calls (arrays for tallyfold, item lists for pyfim).
A missing dataset or a missing pyfim is skipped with a warning.

Run from the repository root:  python bench/bench_classic.py [--datasets retail chess] [--k-max 3 4]
"""

from __future__ import annotations

import argparse
import math
import os
import random
import statistics
import sys
import time
from pathlib import Path

import numpy as np

REPO_ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO_ROOT / "scripts"))

from synthetic_baskets import generate, load_fimi  # noqa: E402

import _tallyfold  # noqa: E402

try:
    import fim
except ImportError:
    fim = None

SUPPORTS = {
    "retail": (0.001, 0.0005),
    "T10I4D100K": (0.001, 0.0005),
    "mushroom": (0.2, 0.1),
    "chess": (0.8, 0.7),
    "groceries": (0.001,),
    "synthetic-1e6": (0.002, 0.001),
    "synthetic-1e7": (0.001,),
}
SHUFFLE_SEED = 20240607
NO_WEIGHTS = np.zeros(0)


def load(name: str):
    if name.startswith("synthetic-"):
        return generate(int(float(name.split("-")[1])))
    path = REPO_ROOT / ".." / "shared" / "data" / f"{name}.dat"
    return load_fimi(path) if path.is_file() else None


def item_lists(txn_ids: np.ndarray, item_ids: np.ndarray) -> list[list[int]]:
    order = np.argsort(txn_ids, kind="stable")
    t, i = txn_ids[order], item_ids[order]
    cuts = np.flatnonzero(np.diff(t)) + 1
    return [sorted(set(part.tolist())) for part in np.split(i, cuts)] if len(t) else []


def levels(itemsets, counts) -> dict[tuple, int]:
    return {tuple(sorted(s)): int(c) for s, c in zip(np.asarray(itemsets).tolist(),
                                                     np.asarray(counts).tolist())}


def pair_table(result) -> dict[tuple, tuple]:
    """Rows by (item_A, item_B); metrics as their bit patterns, so NaN compares equal."""
    metrics = ("support", "confidence", "lift", "conviction", "leverage", "cosine", "jaccard")
    cols = [result["instances"].tolist()] + [result[m].view(np.uint64).tolist() for m in metrics]
    return dict(zip(zip(result["item_A"].tolist(), result["item_B"].tolist()), zip(*cols)))


def pyfim_levels(tracts, min_count: int, low: int, high: int, algorithm: str = "apriori"
                 ) -> dict[tuple, int]:
    found = getattr(fim, algorithm)(tracts, target="s", supp=-min_count, zmin=low, zmax=high,
                                    report="a")
    return {tuple(sorted(s)): c for s, c in found}


def check_pairs(engines, min_count: int) -> str | None:
    classic, plain = engines["classic pairs"](), engines["rust_compute_pairs"]()
    if pair_table(classic) != pair_table(plain):
        return "classic pairs differ from rust_compute_pairs"
    counts = {(a, b): c for a, b, c in zip(classic["item_A"].tolist(), classic["item_B"].tolist(),
                                          classic["instances"].tolist()) if a < b}
    if "pyfim apriori" in engines and counts != engines["pyfim apriori"]():
        return "classic pairs differ from pyfim apriori"
    return None


def check_pipeline(engines, k_max: int) -> str | None:
    classic, plain = engines["classic pipeline"](), engines["rust_compute_pipeline"]()
    want = {k_max: levels(plain["itemsets"], plain["counts"]),
            k_max - 1: levels(plain["lower_itemsets"], plain["lower_counts"])}
    got = {k_max: levels(classic["itemsets"], classic["counts"]),
           k_max - 1: levels(classic["lower_itemsets"], classic["lower_counts"])}
    if got != want:
        return "classic pipeline differs from rust_compute_pipeline"
    if "pyfim apriori" in engines:
        found = engines["pyfim apriori"]()
        if {k: {s: c for s, c in found.items() if len(s) == k} for k in want} != want:
            return "classic pipeline differs from pyfim apriori"
    return None


def time_engines(engines, repeat: int, rng: random.Random) -> dict[str, float]:
    samples = {name: [] for name in engines}
    for call in engines.values():
        call()  # warm-up: first use of the pool, page faults of the inputs
    for _ in range(repeat):
        names = list(engines)
        rng.shuffle(names)
        for name in names:
            start = time.perf_counter()
            engines[name]()
            samples[name].append(time.perf_counter() - start)
    return {name: statistics.median(s) for name, s in samples.items()}


def report(title: str, medians: dict[str, float]) -> None:
    peers = {name: s for name, s in medians.items() if name.startswith("pyfim")}
    best = min(peers, key=peers.get) if peers else None
    print(f"  {title}")
    for name, seconds in medians.items():
        ratio = f"{seconds / peers[best]:8.2f}x {best}" if best else "       -"
        print(f"    {name:<24} {seconds:9.4f} s  {ratio}")


def load_average() -> str:
    return " ".join(f"{x:.2f}" for x in os.getloadavg()) + " (1, 5, 15 min)"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--datasets", nargs="+", default=list(SUPPORTS))
    ap.add_argument("--k-max", nargs="+", type=int, default=[3])
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    if fim is None:
        print("warning: pyfim is not installed; timing tallyfold only", file=sys.stderr)
    print(f"CPUs available: {len(os.sched_getaffinity(0))} (the pool runs one worker each); "
          f"median of {args.repeat} runs; load average {load_average()}")
    rng = random.Random(SHUFFLE_SEED)
    failures = 0
    for name in args.datasets:
        data = load(name)
        if data is None:
            print(f"warning: {name} not found, skipped", file=sys.stderr)
            continue
        txn, item = data.txn_ids, data.item_ids.astype(np.int32)
        n_items = int(data.n_items)
        tracts = item_lists(txn, item) if fim is not None else None
        n = len(np.unique(txn))
        for support in SUPPORTS.get(name, (0.001,)):
            min_count = max(1, math.ceil(support * n))
            print(f"{name}: {len(txn):,} rows, {n:,} transactions, support {support:g} "
                  f"(count {min_count})")
            pair_engines = {
                "classic pairs": lambda: _tallyfold.rust_classic_compute_pairs(
                    txn, item, n_items, n, support),
                "rust_compute_pairs": lambda: _tallyfold.rust_compute_pairs(
                    txn, item, n_items, support),
            }
            if fim is not None:
                pair_engines["pyfim apriori"] = lambda: pyfim_levels(tracts, min_count, 2, 2)
            problem = check_pairs(pair_engines, min_count)
            if problem:
                print(f"  MISMATCH: {problem}")
                failures += 1
            else:
                report("pairs", time_engines(pair_engines, args.repeat, rng))
            for k_max in args.k_max:
                pipe_engines = {
                    "classic pipeline": lambda k=k_max: _tallyfold.rust_classic_compute_pipeline(
                        txn, item, k, n_items, n, support, NO_WEIGHTS),
                    "rust_compute_pipeline": lambda k=k_max: _tallyfold.rust_compute_pipeline(
                        txn, item, k, n_items, support, NO_WEIGHTS),
                }
                if fim is not None:
                    for algorithm in ("apriori", "fpgrowth", "eclat"):
                        pipe_engines[f"pyfim {algorithm}"] = lambda k=k_max, a=algorithm: (
                            pyfim_levels(tracts, min_count, k - 1, k, a))
                problem = check_pipeline(pipe_engines, k_max)
                if problem:
                    print(f"  MISMATCH: {problem}")
                    failures += 1
                else:
                    report(f"pipeline k_max {k_max}", time_engines(pipe_engines, args.repeat, rng))
    print(f"load average at end: {load_average()}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
