#!/usr/bin/env python3
"""Pair co-occurrence: _tallyfold.rust_compute_pairs against SciPy sparse `X.T @ X`.

X is the binary one-hot (n_transactions x n_items) CSR matrix of the same rows, so the
off-diagonal nonzeros of X.T @ X are exactly the co-occurring ordered pairs and their counts.
Data: the baskets files in ../shared/data (retail, T10I4D100K, mushroom, chess, groceries) and
synthetic baskets of --sizes rows. Both engines are first checked to agree, then timed in one
process (best of --repeat runs, engine order shuffled each repetition with a fixed seed). For the
parallel efficiency (time on 1 thread / (2 x time on all threads)), two worker processes, one
pinned to one CPU, time tallyfold in pairs of calls, one right after the other; further fresh
subprocesses measure each engine's peak memory above the resident data.

Building X is not part of the SciPy timing; it is timed and reported on its own row, since the
arrays are what a caller already has and X is an extra step only the SciPy route needs.

Above --all-pairs-max-rows (default 2e7) only the min_support row runs: every pair of 1e8
generated rows would take about 15 GB. The agreement check then applies the same cut to X.T @ X.

Run from the repository root:  python bench/bench_pairs.py [--sizes 1e5 1e6] [--repeat 3]
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import random
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np

from cpu_steal import StealMeter
from paired_efficiency import (EFFICIENCY_MAX_PAIRS, EFFICIENCY_SECONDS, median_of_pairs, of_bests,
                               pairs_wanted)
from peak_memory import reset_peak, status_kib

REPO_ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO_ROOT / "scripts"))

from synthetic_baskets import Baskets, generate, load_fimi  # noqa: E402

try:
    import scipy.sparse as sp
except ImportError:  # the comparison is optional; the extension is timed regardless
    sp = None

import _tallyfold  # noqa: E402

DEFAULT_SIZES = (100_000, 1_000_000, 10_000_000)
DATA_DIR = (REPO_ROOT / ".." / "shared" / "data").resolve()
DATASETS = ("retail", "T10I4D100K", "mushroom", "chess", "groceries")
SHUFFLE_SEED = 20240607
CHECK_SAMPLE = 5_000
ENGINE_TF_ALL = "tallyfold pairs, min_support=0"
ENGINE_TF_MIN = "tallyfold pairs, min_support={}"
ENGINE_SCIPY = "scipy X.T @ X"
ENGINE_BUILD = "scipy build X (not in ratio)"


def parse_size(text: str) -> list[int]:
    return [int(float(t)) for t in text.split(",") if t]


def parse_size_one(text: str) -> int:
    return int(float(text))


def build_onehot(txn_ids: np.ndarray, item_ids: np.ndarray, n_items: int):
    """Binary CSR one-hot: duplicate (txn, item) rows collapse to a single 1."""
    _, row = np.unique(txn_ids, return_inverse=True)
    row = row.reshape(-1).astype(np.int64)
    n_txn = int(row.max()) + 1 if row.shape[0] else 0
    ones = np.ones(row.shape[0], dtype=np.int32)
    x = sp.csr_matrix((ones, (row, item_ids)), shape=(n_txn, n_items))
    x.sum_duplicates()
    x.data[:] = 1  # duplicates were summed to 2; a basket either has an item or not
    return x


def cooccurrence(x):
    return x.T @ x


# ------------------------------------------------------------------------------------------
# Agreement check
# ------------------------------------------------------------------------------------------

def check_agreement(txn_ids, item_ids, n_items, x, seed: int, min_support: float = 0.0) -> str:
    c = cooccurrence(x).tocsr()
    c.setdiag(0)
    if min_support > 0:  # the same cut as the engine: count >= ceil(min_support * N)
        c.data[c.data < math.ceil(min_support * x.shape[0])] = 0
    c.eliminate_zeros()
    res = _tallyfold.rust_compute_pairs(txn_ids, item_ids, n_items, min_support)
    problems = []
    if res["n_transactions"] != x.shape[0]:
        problems.append(f"n_transactions {res['n_transactions']} vs {x.shape[0]} rows of X")
    offdiag_nnz = c.nnz
    n_pairs = int(res["item_A"].shape[0])
    if offdiag_nnz != n_pairs:
        problems.append(f"{n_pairs:,} pairs returned vs {offdiag_nnz:,} off-diagonal nonzeros")
    total = int(res["instances"].sum())
    offdiag_sum = int(c.sum(dtype=np.int64))
    if total != offdiag_sum:
        problems.append(f"sum of instances {total:,} vs off-diagonal sum {offdiag_sum:,}")
    if n_pairs:
        pick = np.random.default_rng(seed).choice(n_pairs, size=min(CHECK_SAMPLE, n_pairs), replace=False)
        a = res["item_A"][pick].astype(np.int64)
        b = res["item_B"][pick].astype(np.int64)
        expect = np.asarray(c[a, b]).ravel()
        got = res["instances"][pick]
        bad = np.flatnonzero(expect != got)
        if bad.shape[0]:
            i = bad[0]
            problems.append(f"{bad.shape[0]} of {pick.shape[0]} sampled counts differ, e.g. "
                            f"({a[i]}, {b[i]}): {got[i]} vs {expect[i]}")
    if problems:
        raise SystemExit("engines disagree: " + "; ".join(problems))
    cut = f" at min_support {min_support}" if min_support > 0 else ""
    return f"agree{cut}: {n_pairs:,} ordered pairs, {total:,} pair instances, {min(CHECK_SAMPLE, n_pairs):,} sampled counts equal"


# ------------------------------------------------------------------------------------------
# Peak memory in a fresh process
# ------------------------------------------------------------------------------------------

def timing_worker(data_path: str, n_items: int, min_support: float) -> None:
    """Times one tallyfold call per line read from stdin, in this process, whose CPU affinity
    the parent may have narrowed; prints each call's seconds."""
    with np.load(data_path) as z:
        txn_ids, item_ids = z["txn_ids"], z["item_ids"]
    threads_before = len(os.listdir("/proc/self/task"))
    _tallyfold.rust_compute_pairs(txn_ids, item_ids, n_items, min_support)  # warm-up
    # Threads started by the calls: on one CPU the work runs on one pool thread while the
    # calling thread waits for it, and the pool starts no more when it sizes itself to one CPU.
    threads = len(os.listdir("/proc/self/task")) - threads_before
    print(json.dumps({"threads": threads, "cpus": len(os.sched_getaffinity(0))}), flush=True)
    for _ in sys.stdin:
        secs = time_once(lambda: _tallyfold.rust_compute_pairs(txn_ids, item_ids, n_items, min_support))
        print(json.dumps({"secs": secs}), flush=True)


class TimingWorker:
    """A timing_worker subprocess, on every CPU of this process or pinned to the first."""

    def __init__(self, data_path: str, n_items: int, min_support: float, one_cpu: bool):
        cpu = min(os.sched_getaffinity(0))
        cmd = [sys.executable, str(Path(__file__).resolve()), "--time-worker", data_path,
               str(n_items), repr(min_support)]
        self.proc = subprocess.Popen(
            cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            preexec_fn=(lambda: os.sched_setaffinity(0, {cpu})) if one_cpu else None)
        self.ready = self._reply()

    def _reply(self) -> dict:
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError(f"timing worker failed: {self.proc.stderr.read().strip()[-400:]}")
        return json.loads(line)

    def time_call(self) -> float:
        self.proc.stdin.write("go\n")
        self.proc.stdin.flush()
        return float(self._reply()["secs"])

    def close(self) -> None:
        self.proc.stdin.close()
        self.proc.wait()


def efficiency_pairs(data_path: str, n_items: int, min_support: float, repeat: int) -> dict | None:
    """Calls on one CPU, each right after a call on every CPU, in two worker processes.

    Pairing matters on this kind of host more than for short calls alone: a call with every
    pair writes gigabytes of fresh result, and how fast the kernel hands out fresh pages
    depends on what the machine did just before (a virtual machine that reports freed memory
    to its host faults it back in several times slower). Calls taken in pairs see the same
    state; best times taken in separate windows need not, and their ratio moved between 0.65
    and 1.2 on 10^7 rows."""
    try:
        two = TimingWorker(data_path, n_items, min_support, one_cpu=False)
        one = TimingWorker(data_path, n_items, min_support, one_cpu=True)
    except RuntimeError as exc:
        warnings.warn(str(exc))
        return None
    try:
        if one.ready["cpus"] != 1 or one.ready["threads"] > 1:
            warnings.warn(f"one-CPU worker ran with {one.ready['cpus']} CPUs and started "
                          f"{one.ready['threads']} threads")
        two_times, one_times = [], []
        while len(one_times) < (pairs_wanted(one_times[0], repeat) if one_times else repeat):
            two_times.append(two.time_call())
            one_times.append(one.time_call())
    except RuntimeError as exc:
        warnings.warn(str(exc))
        return None
    finally:
        two.close()
        one.close()
    return {"one_cpu": min(one_times), "efficiency": median_of_pairs(one_times, two_times),
            "eff_of_bests": of_bests(one_times, two_times)}


def worker(engine: str, data_path: str, n_items: int, min_support: float) -> None:
    # Everything imported and loaded before the baseline, so only the engine's own work counts.
    with np.load(data_path) as z:
        txn_ids, item_ids = z["txn_ids"], z["item_ids"]
    x = None
    if engine == "scipy-matmul":
        x = build_onehot(txn_ids, item_ids, n_items)
    gc.collect()
    note = ""
    if reset_peak():
        baseline = status_kib("VmRSS")
    else:
        # Without a reset the mark still holds any earlier peak (e.g. building X), so the delta
        # below is a lower bound for the engine alone.
        baseline = status_kib("VmHWM")
        note = "peak mark not resettable"
    if engine == "tallyfold":
        out = _tallyfold.rust_compute_pairs(txn_ids, item_ids, n_items, min_support)
    elif engine == "scipy-build":
        out = build_onehot(txn_ids, item_ids, n_items)
    elif engine == "scipy-matmul":
        out = cooccurrence(x)
    else:
        raise SystemExit(f"unknown engine {engine}")
    peak = status_kib("VmHWM")
    del out
    print(json.dumps({"peak_mib": max(0, peak - baseline) / 1024.0, "note": note}))


def measure_peak(engine: str, data_path: str, n_items: int, min_support: float = 0.0) -> float | None:
    cmd = [sys.executable, str(Path(__file__).resolve()), "--worker", engine, data_path,
           str(n_items), repr(min_support)]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        warnings.warn(f"memory worker {engine} failed: {proc.stderr.strip()[-400:]}")
        return None
    report = json.loads(proc.stdout.strip().splitlines()[-1])
    if report["note"]:
        warnings.warn(f"{engine}: {report['note']}")
    return float(report["peak_mib"])


# ------------------------------------------------------------------------------------------
# Timing
# ------------------------------------------------------------------------------------------

def time_once(fn) -> float:
    t0 = time.perf_counter()
    out = fn()
    secs = time.perf_counter() - t0
    del out
    gc.collect()
    return secs


def bench_case(label: str, b: Baskets, args, shuffler: random.Random) -> list[dict]:
    t, i, n = b.txn_ids, b.item_ids, b.n_items
    print(f"\n[{label}] {b.summary()}", flush=True)

    # Every pair of 1e8 generated rows would take about 15 GB: above --all-pairs-max-rows only
    # the cut row runs, and the agreement check uses the same cut.
    all_pairs = len(t) <= args.all_pairs_max_rows
    engines = {}
    if all_pairs:
        engines[ENGINE_TF_ALL] = lambda: _tallyfold.rust_compute_pairs(t, i, n, 0.0)
    engines[ENGINE_TF_MIN.format(args.min_support)] = (
        lambda: _tallyfold.rust_compute_pairs(t, i, n, args.min_support))
    build_times: list[float] = []
    x = None
    if sp is not None:
        t0 = time.perf_counter()
        x = build_onehot(t, i, n)
        build_times.append(time.perf_counter() - t0)
        # Also the warm-up of both engines (thread pool start, page faults of first use).
        check = check_agreement(t, i, n, x, args.seed, 0.0 if all_pairs else args.min_support)
        print(f"[{label}] check: {check}", flush=True)
        gc.collect()
        engines[ENGINE_SCIPY] = lambda: cooccurrence(x)
    else:
        next(iter(engines.values()))()

    times: dict[str, list[float]] = {name: [] for name in engines}
    for _ in range(args.repeat):
        order = list(engines)
        shuffler.shuffle(order)
        for name in order:
            times[name].append(time_once(engines[name]))
    if sp is not None:
        while len(build_times) < args.repeat:
            build_times.append(time_once(lambda: build_onehot(t, i, n)))

    peaks: dict[str, float | None] = {}
    paired: dict[str, dict | None] = {}
    with tempfile.TemporaryDirectory(prefix="bench_pairs_") as tmp:
        path = os.path.join(tmp, "rows.npz")
        np.savez(path, txn_ids=t, item_ids=i)
        if not args.no_efficiency:
            if all_pairs:
                paired[ENGINE_TF_ALL] = efficiency_pairs(path, n, 0.0, args.repeat)
            paired[ENGINE_TF_MIN.format(args.min_support)] = efficiency_pairs(
                path, n, args.min_support, args.repeat)
        if not args.no_memory:
            if all_pairs:
                peaks[ENGINE_TF_ALL] = measure_peak("tallyfold", path, n, 0.0)
            peaks[ENGINE_TF_MIN.format(args.min_support)] = measure_peak("tallyfold", path, n, args.min_support)
            if sp is not None:
                peaks[ENGINE_SCIPY] = measure_peak("scipy-matmul", path, n)
                peaks[ENGINE_BUILD] = measure_peak("scipy-build", path, n)

    rows = [{"data": label, "engine": name, "best": min(ts), "peak": peaks.get(name),
             **(paired.get(name) or {})} for name, ts in times.items()]
    if build_times:
        rows.append({"data": label, "engine": ENGINE_BUILD, "best": min(build_times),
                     "peak": peaks.get(ENGINE_BUILD)})
    base = next((r["best"] for r in rows if r["engine"] == ENGINE_SCIPY), None)
    for r in rows:
        r["ratio"] = r["best"] / base if base and r["engine"] != ENGINE_BUILD else None
    del x
    gc.collect()
    return rows


def print_table(rows: list[dict]) -> None:
    head = (f"{'data':>14}  {'engine':<34} {'best s':>9} {'1 CPU s':>9} {'par.eff':>7} "
            f"{'eff of bests':>12} {'peak MiB':>9} {'ratio to SciPy':>15}")
    print("\n" + head)
    print("-" * len(head))
    for r in rows:
        one = f"{r['one_cpu']:9.4f}" if r.get("one_cpu") is not None else f"{'-':>9}"
        eff = f"{r['efficiency']:7.2f}" if r.get("efficiency") is not None else f"{'-':>7}"
        bests = f"{r['eff_of_bests']:12.2f}" if r.get("eff_of_bests") is not None else f"{'-':>12}"
        peak = f"{r['peak']:9.1f}" if r["peak"] is not None else f"{'-':>9}"
        ratio = f"{r['ratio']:15.3f}" if r["ratio"] is not None else f"{'-':>15}"
        print(f"{r['data']:>14}  {r['engine']:<34} {r['best']:9.4f} {one} {eff} {bests} {peak} {ratio}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", nargs="+", type=parse_size, default=None,
                    help="row counts, e.g. --sizes 1e5 1e6 (or 1e5,1e6); default 1e5 1e6 1e7")
    ap.add_argument("--repeat", type=int, default=3, help="timed runs per engine and case (best kept)")
    ap.add_argument("--datasets", nargs="*", default=list(DATASETS),
                    help="baskets files of ../shared/data to run (default: all present; none: --datasets)")
    ap.add_argument("--no-efficiency", action="store_true", help="skip the paired one-CPU/all-CPU timing subprocesses")
    ap.add_argument("--seed", type=int, default=7, help="generator seed")
    ap.add_argument("--min-support", type=float, default=0.001,
                    help="threshold of the second, filtered tallyfold row")
    ap.add_argument("--no-memory", action="store_true", help="skip the peak-memory subprocesses")
    ap.add_argument("--all-pairs-max-rows", type=parse_size_one, default=20_000_000,
                    help="largest input that also runs min_support=0 (every pair); default 2e7")
    ap.add_argument("--worker", nargs=4, help=argparse.SUPPRESS)
    ap.add_argument("--time-worker", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.time_worker:
        path, n_items, min_support = args.time_worker
        timing_worker(path, int(n_items), float(min_support))
        return

    if args.worker:
        engine, path, n_items, min_support = args.worker
        worker(engine, path, int(n_items), float(min_support))
        return

    if args.repeat < 1:
        ap.error("--repeat must be at least 1")
    sizes = [s for group in args.sizes for s in group] if args.sizes else list(DEFAULT_SIZES)
    if sp is None:
        warnings.warn("scipy is not installed: timing tallyfold alone, no agreement check, no ratios")

    affinity = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print(f"CPUs: {os.cpu_count()} (os.cpu_count), pool threads: {affinity} "
          f"(CPUs in this process's affinity mask, which the extension's pool follows); "
          f"SciPy's sparse product runs on one thread")
    print(f"repeat {args.repeat}, best reported, engine order shuffled per repetition (seed {SHUFFLE_SEED})")
    print(f"load average at start: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} {os.getloadavg()[2]:.2f}")

    shuffler = random.Random(SHUFFLE_SEED)
    steal = StealMeter()
    rows: list[dict] = []
    for name in args.datasets:
        path = DATA_DIR / f"{name}.dat"
        if path.is_file():
            rows.extend(bench_case(name, load_fimi(path), args, shuffler))
    for n_rows in sizes:
        rows.extend(bench_case(f"{n_rows:.0e}".replace("+0", ""), generate(n_rows, seed=args.seed),
                               args, shuffler))
    print_table(rows)
    print(f"load average at end: {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} {os.getloadavg()[2]:.2f}; "
          f"{steal.describe()}")
    print("\nbest s: wall time of the fastest call. SciPy's time covers X.T @ X only; building X from the "
          "arrays is the separate 'build X' row.\n"
          f"1 CPU s, par.eff, eff of bests: calls in a worker pinned to one CPU, each right after a call in a "
          f"worker on every CPU (at least --repeat pairs, enough for {EFFICIENCY_SECONDS:g} s on one CPU, at "
          f"most {EFFICIENCY_MAX_PAIRS}): the fastest one-CPU call, the median over the pairs of "
          "(one-CPU time / (2 x all-CPU time)), and the fastest one-CPU call / (2 x the fastest all-CPU call "
          "of the pairs).\n"
          "ratio to SciPy: best time / best time of X.T @ X (below 1 = faster than SciPy).\n"
          "peak MiB: peak RSS of a fresh process during one call, minus its RSS with the rows "
          "(and, for X.T @ X, X) already loaded.\n"
          "tallyfold returns seven metrics per pair besides the count; X.T @ X returns counts only, "
          "diagonal included.")


if __name__ == "__main__":
    main()
