#!/usr/bin/env python3
"""Eclat: _tallyfold.rust_eclat_pipeline against pyfim's eclat and fpgrowth on the same levels.

Each case is a baskets file of ../shared/data (or --sizes rows of synthetic baskets, where the
minimum count is --synthetic-support of the transactions), a minimum count and a k_max; pyfim is asked for
the same two levels (zmin = k_max - 1, zmax = k_max, supp = -count). The numbers of itemsets of
each size must agree, else MISMATCH and exit status 1. Timing is the mining call only, best of
--repeat, peers in the same process and run; tallyfold is timed again in a fresh process pinned
to one CPU (parallel efficiency = time on 1 CPU / (2 x time on all)), and once more in a fresh
process for its peak memory above the loaded rows.

Run from the repository root:  python bench/bench_eclat.py [--datasets retail chess] [--repeat 3]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from peak_memory import reset_peak, status_kib

REPO_ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO_ROOT / "scripts"))

from synthetic_baskets import generate, load_fimi  # noqa: E402

import _tallyfold  # noqa: E402

DATA_DIR = (REPO_ROOT / ".." / "shared" / "data").resolve()
# (dataset, minimum count, k_max values): the settings the level-wise benchmarks report on.
CASES = (
    ("retail", 89, (3, 4, 5, 6)),
    ("retail", 45, (3, 4)),
    ("T10I4D100K", 100, (3, 4, 5)),
    ("mushroom", 813, (3, 4, 5, 6)),
    ("mushroom", 1625, (3, 4, 5, 6)),
    ("chess", 1918, (3, 4, 5, 6)),
    ("groceries", 10, (3, 4, 5)),
)


SYNTHETIC_K = (3, 4)
SYNTHETIC_SEED = 7


def load_case(name: str):
    """A dataset file by name, or generated baskets for a name "synthetic-<rows>"."""
    if name.startswith("synthetic-"):
        return generate(int(float(name.split("-", 1)[1])), seed=SYNTHETIC_SEED)
    return load_fimi(DATA_DIR / f"{name}.dat")


def as_lists(txn_ids: np.ndarray, item_ids: np.ndarray) -> list[list[int]]:
    order = np.argsort(txn_ids, kind="stable")
    t, i = txn_ids[order], item_ids[order]
    cuts = np.flatnonzero(np.diff(t)) + 1
    return [part.tolist() for part in np.split(i, cuts)]


def best_of(fn, repeat: int) -> tuple[float, object]:
    best, out = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def worker(mode: str, name: str, count: int, k_max: int, repeat: int) -> None:
    b = load_case(name)
    n_txn = int(np.unique(b.txn_ids).shape[0])
    support = (count - 0.5) / n_txn  # ceil(support * N) is exactly count
    call = lambda: _tallyfold.rust_eclat_pipeline(b.txn_ids, b.item_ids, k_max, b.n_items, support)  # noqa: E731
    if mode == "time":
        call()
        secs, _ = best_of(call, repeat)
        print(json.dumps({"value": secs}))
    else:
        reset_peak()
        base = status_kib("VmRSS")
        out = call()
        print(json.dumps({"value": (status_kib("VmHWM") - base) / 1024.0}))
        del out


def in_child(mode: str, name: str, count: int, k_max: int, repeat: int, one_cpu: bool) -> float | None:
    cmd = [sys.executable, str(Path(__file__).resolve()), "--worker", mode, name, str(count),
           str(k_max), str(repeat)]
    cpu = min(os.sched_getaffinity(0))
    proc = subprocess.run(cmd, capture_output=True, text=True,
                          preexec_fn=(lambda: os.sched_setaffinity(0, {cpu})) if one_cpu else None)
    if proc.returncode != 0:
        print(f"  worker failed: {proc.stderr.strip()[-300:]}")
        return None
    return float(json.loads(proc.stdout.strip().splitlines()[-1])["value"])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--datasets", nargs="*", default=None, help="subset of the datasets")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--no-children", action="store_true", help="skip one-CPU and memory runs")
    ap.add_argument("--sizes", nargs="*", type=float, default=[1e6, 1e7],
                    help="rows of synthetic baskets (default 1e6 1e7; none: --sizes)")
    ap.add_argument("--synthetic-support", type=float, default=0.001,
                    help="minimum support of the synthetic cases, as a share of transactions")
    ap.add_argument("--worker", nargs=5, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        mode, name, count, k_max, repeat = args.worker
        worker(mode, name, int(count), int(k_max), int(repeat))
        return

    import fim

    load = os.getloadavg()
    print(f"pool threads: {len(os.sched_getaffinity(0))}; pyfim on one thread; best of {args.repeat}; "
          f"load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")
    head = (f"{'data':>14} {'count':>6} {'k':>2}  {'tallyfold s':>11} {'pyfim eclat':>11} "
            f"{'pyfim fpg':>10} {'ratio':>6} {'1 CPU s':>8} {'par.eff':>7} {'peak MiB':>8} {'rows':>9}")
    print(head)
    print("-" * len(head))
    failed = False
    loaded: dict[str, tuple] = {}
    cases = [c for c in CASES if (DATA_DIR / f"{c[0]}.dat").is_file()]
    cases += [(f"synthetic-{rows:.0e}".replace("+0", ""), None, SYNTHETIC_K) for rows in args.sizes]
    for name, count, k_values in cases:
        if args.datasets and name not in args.datasets:
            continue
        if name not in loaded:
            loaded.clear()  # one dataset at a time: 1e7 synthetic rows are large as lists
            b = load_case(name)
            loaded[name] = (b, as_lists(b.txn_ids, b.item_ids), int(np.unique(b.txn_ids).shape[0]))
        b, tracts, n_txn = loaded[name]
        if count is None:
            count = max(1, math.ceil(args.synthetic_support * n_txn))
        for k in k_values:
            support = (count - 0.5) / n_txn  # ceil(support * N) is exactly count
            ours = lambda: _tallyfold.rust_eclat_pipeline(b.txn_ids, b.item_ids, k, b.n_items, support)  # noqa: E731
            ours()
            t_ours, out = best_of(ours, args.repeat)
            peers = {}
            for algo in ("eclat", "fpgrowth"):
                fn = getattr(fim, algo)
                peers[algo], got = best_of(
                    lambda: fn(tracts, target="s", supp=-count, zmin=k - 1, zmax=k, report="a"), args.repeat)
            sizes = [len(s) for s, _ in got]
            want = (sizes.count(k), sizes.count(k - 1))
            have = (int(out["counts"].shape[0]), int(out["lower_counts"].shape[0]))
            # pyfim leaves out items present in every transaction; tallyfold keeps them, so
            # only a shortfall on tallyfold's side is a disagreement.
            if have[0] < want[0] or have[1] < want[1]:
                failed = True
                print(f"MISMATCH {name} {count} k={k}: tallyfold {have}, pyfim {want}")
            t1 = mem = None
            if not args.no_children:
                t1 = in_child("time", name, count, k, args.repeat, one_cpu=True)
                mem = in_child("memory", name, count, k, 1, one_cpu=False)
            fastest = min(peers.values())
            eff = f"{t1 / (2 * t_ours):7.2f}" if t1 else f"{'-':>7}"
            one = f"{t1:8.4f}" if t1 else f"{'-':>8}"
            peak = f"{mem:8.1f}" if mem is not None else f"{'-':>8}"
            print(f"{name:>14} {count:>6} {k:>2}  {t_ours:11.4f} {peers['eclat']:11.4f} "
                  f"{peers['fpgrowth']:10.4f} {t_ours / fastest:6.3f} "
                  f"{one} {eff} {peak} "
                  f"{have[0]:>9,}", flush=True)
    load = os.getloadavg()
    print(f"ratio: tallyfold / fastest pyfim engine. load average at end {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")
    if failed:
        sys.exit(1)


if __name__ == "__main__":
    main()
