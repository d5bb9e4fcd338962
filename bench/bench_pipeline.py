#!/usr/bin/env python3
"""Frequent itemsets up to size k_max: every _tallyfold pipeline engine beside peer libraries.

Engines: each function of _tallyfold named rust_*pipeline* that this build has,
rust_compute_itemsets (given level k_max - 1, prepared by the pipeline before timing, it counts
every extension to size k_max; its rows that reach the min count are its level k_max), and the peers
that are installed: pyfim (fpgrowth, eclat, apriori), mlxtend (fpgrowth, apriori) and
efficient-apriori. Data: synthetic baskets at --sizes rows and the FIMI files present beside
the repository, each at two (or, with --heavy, three) minimum supports.

For every dataset, support and k_max, first the results are checked: the itemsets of size k_max
and of size k_max - 1, with their counts, must be the same for every engine as for the reference
(pyfim fpgrowth, else pyfim eclat, else the first tallyfold engine); disagreements are printed as
MISMATCH with examples and their true counts, and make the exit status 1. Only then are the
engines timed.

Each engine runs in a worker process of its own, which holds its input in the engine's natural
format (NumPy arrays for tallyfold; lists of item lists for pyfim and efficient-apriori; a sparse
boolean one-hot DataFrame for mlxtend), prepared before and outside any timed region. A worker
times single calls on request, so the engine order can be shuffled per repetition (fixed seed),
a call that outlives --timeout is ended by killing its worker, and peak memory is per process.

Run from the repository root:  python bench/bench_pipeline.py [--quick] [--datasets retail]
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import random
import resource
import select
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import numpy as np

from cpu_steal import StealMeter
from paired_efficiency import (EFFICIENCY_MAX_PAIRS, EFFICIENCY_SECONDS, median_of_pairs, of_bests,
                               pairs_wanted)
from peak_memory import page_in_shared_libraries, reset_peak, status_kib

REPO_ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO_ROOT / "scripts"))

from synthetic_baskets import Baskets, fimi_datasets, generate, load_fimi  # noqa: E402

DEFAULT_SIZES = (100_000, 1_000_000, 10_000_000)
SYNTHETIC_SUPPORTS = (0.002, 0.001)
FIMI_SUPPORTS = {
    "retail": (0.001, 0.0005),
    "T10I4D100K": (0.001, 0.0005),
    "mushroom": (0.2, 0.1),
    "chess": (0.8, 0.6),
    "groceries": (0.001,),
}
HEAVY_SUPPORTS = {"chess": (0.4,)}
SHUFFLE_SEED = 20240607

# Known pipeline functions in table order; those a build lacks are left out, and any other
# rust_*pipeline* function runs after these with the six-argument call.
TALLYFOLD_ORDER = (
    "rust_compute_pipeline",
    "rust_compute_pipeline_v1_roaring",
    "rust_compute_pipeline_v2_memo",
    "rust_compute_pipeline_v3_adaptive",
    "rust_compute_pipeline_v5_prefilter",
    "rust_compute_pipeline_v6_gating",
    "rust_eclat_pipeline",
    "rust_classic_compute_pipeline",
    "rust_compute_itemsets",
)
PEERS = ("pyfim fpgrowth", "pyfim eclat", "pyfim apriori", "mlxtend fpgrowth", "mlxtend apriori",
         "efficient-apriori")
PEER_DISTRIBUTION = {"pyfim": "pyfim", "mlxtend": "mlxtend", "efficient-apriori": "efficient-apriori"}
REFERENCE_PREFERENCE = ("pyfim fpgrowth", "pyfim eclat")
MLXTEND_FPGROWTH = "mlxtend fpgrowth"

# A first call at least this long is not thrown away as a warm-up: for slow peers it is a
# sample like the others, and their cost dwarfs any first-use effects anyway.
SLOW_CALL_S = 5.0
# Calls this share of --timeout or longer are measured once, so a few slow peers cannot
# stretch a run by hours; the table's runs column shows it.
SINGLE_RUN_SHARE = 0.25
PREPARE_TIMEOUT_S = 900.0
# mlxtend mines a dense (transactions x items) copy of its one-hot input (its peak memory
# tracks that size), so past this share of RAM it would only thrash or get killed.
MLXTEND_DENSE_RAM_SHARE = 0.4
# Peers are capped well below the machine's RAM so a runaway allocation fails as MemoryError
# in that worker instead of calling in the kernel's OOM killer on whatever else runs here.
PEER_ADDRESS_RAM_SHARE = 0.5
N_EXAMPLES = 5


def parse_size(text: str) -> list[int]:
    return [int(float(t)) for t in text.split(",") if t]


def size_label(n: int) -> str:
    e = int(round(math.log10(n))) if n > 0 else 0
    return f"1e{e}" if n == 10 ** e else f"{n:,}"


def mem_total_bytes() -> int:
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                return int(line.split()[1]) * 1024
    return 0


def min_count_for(min_support: float, n_transactions: int) -> int:
    # Same double-precision product as the extension, with no rounding correction.
    return max(1, math.ceil(min_support * n_transactions)) if min_support > 0 else 1


def peer_fraction(min_count: int, n_transactions: int) -> float:
    # Halfway between two attainable supports: count/N >= this holds exactly when
    # count >= min_count, whether a peer compares >= or > and whatever its float rounding.
    return (min_count - 0.5) / n_transactions


# ------------------------------------------------------------------------------------------
# Engines
# ------------------------------------------------------------------------------------------

def tallyfold_engines() -> list[str]:
    import _tallyfold
    found = [n for n in dir(_tallyfold) if n.startswith("rust_") and callable(getattr(_tallyfold, n))
             and ("pipeline" in n or n == "rust_compute_itemsets")]
    known = [n for n in TALLYFOLD_ORDER if n in found]
    return known + sorted(n for n in found if n not in known)


def engine_label(fn_name: str) -> str:
    return f"tallyfold {fn_name}"


def installed_peers() -> tuple[list[str], list[str]]:
    # Package metadata answers without importing mlxtend, which pulls in pandas and more.
    from importlib.metadata import PackageNotFoundError, distribution
    have, missing = [], []
    for name in PEERS:
        try:
            distribution(PEER_DISTRIBUTION[name.split()[0]])
            have.append(name)
        except PackageNotFoundError:
            missing.append(name)
    return have, missing


def is_tallyfold(engine: str) -> bool:
    return engine.startswith("tallyfold ")


# ------------------------------------------------------------------------------------------
# Canonical results: per itemset size, rows of sorted item ids in lexicographic order
# ------------------------------------------------------------------------------------------

def canonical(items, counts, k: int) -> tuple[np.ndarray, np.ndarray]:
    items = np.asarray(items, dtype=np.int64)
    counts = np.asarray(counts, dtype=np.int64).reshape(-1)
    if counts.shape[0] == 0:
        return np.zeros((0, k), dtype=np.int64), np.zeros(0, dtype=np.int64)
    items = np.sort(items.reshape(counts.shape[0], -1), axis=1)
    order = np.lexsort(items.T[::-1])
    return items[order], counts[order]


def levels_from_pairs(pairs, sizes: tuple[int, ...]) -> dict[int, tuple[np.ndarray, np.ndarray]]:
    """(itemset, count) pairs of any sizes -> canonical arrays for the sizes asked for."""
    grouped: dict[int, tuple[list, list]] = {k: ([], []) for k in sizes}
    for items, count in pairs:
        slot = grouped.get(len(items))
        if slot is not None:
            slot[0].append(tuple(items))
            slot[1].append(count)
    return {k: canonical(v[0], v[1], k) for k, v in grouped.items()}


# ------------------------------------------------------------------------------------------
# Worker process: prepares one engine's input, then times single calls on request
# ------------------------------------------------------------------------------------------

def transactions_as_lists(txn_ids: np.ndarray, item_ids: np.ndarray) -> list[list[int]]:
    """Distinct items per basket, ascending: a repeated scan is one item, as in a one-hot row."""
    order = np.lexsort((item_ids, txn_ids))
    t, i = txn_ids[order], item_ids[order]
    keep = np.ones(t.shape[0], dtype=bool)
    keep[1:] = (t[1:] != t[:-1]) | (i[1:] != i[:-1])
    t, i = t[keep], i[keep]
    bounds = np.flatnonzero(np.r_[True, t[1:] != t[:-1], True]).tolist()
    flat = i.tolist()
    return [flat[a:b] for a, b in zip(bounds[:-1], bounds[1:])]


def onehot_frame(txn_ids: np.ndarray, item_ids: np.ndarray, n_items: int):
    import pandas as pd
    import scipy.sparse as sp
    _, row = np.unique(txn_ids, return_inverse=True)
    row = row.reshape(-1)
    n_txn = int(row.max()) + 1 if row.shape[0] else 0
    x = sp.csr_matrix((np.ones(row.shape[0], dtype=bool), (row, item_ids)), shape=(n_txn, n_items))
    x.sum_duplicates()
    x.data[:] = True
    # Column labels are the item ids, so mlxtend's column positions read back as item ids.
    return pd.DataFrame.sparse.from_spmatrix(x)


def build_call(engine: str, cfg: dict, txn_ids, item_ids) -> tuple[Callable, Callable]:
    """The timed call and the function that turns its result into canonical levels."""
    k_max, n_items, n_txn = cfg["k_max"], cfg["n_items"], cfg["n_transactions"]
    min_support, min_count = cfg["min_support"], cfg["min_count"]
    low = k_max - 1
    sizes = (low, k_max)
    frac = peer_fraction(min_count, n_txn)

    if is_tallyfold(engine):
        import _tallyfold
        fn_name = engine.split(" ", 1)[1]
        fn = getattr(_tallyfold, fn_name)
        weights = np.zeros(0, dtype=np.float64)
        if fn_name == "rust_compute_itemsets":
            # The one level step: level k_max - 1 comes from the pipeline, outside the timing.
            given = _tallyfold.rust_compute_pipeline(txn_ids, item_ids, low, n_items, min_support,
                                                     weights)
            # A two-level pipeline hands its pairs back as the lower level.
            prefix = "lower_" if low == 2 else ""
            lower = np.ascontiguousarray(given[prefix + "itemsets"], dtype=np.int32)
            lower_counts = given[prefix + "counts"]
            call = lambda: fn(txn_ids, item_ids, lower, k_max, n_items, weights)  # noqa: E731

            def convert(out):
                keep = np.asarray(out["counts"]) >= min_count
                return {k_max: canonical(out["itemsets"][keep], out["counts"][keep], k_max),
                        low: canonical(lower, lower_counts, low)}
            return call, convert
        if fn_name == "rust_eclat_pipeline":
            call = lambda: fn(txn_ids, item_ids, k_max, n_items, min_support)  # noqa: E731
        elif fn_name == "rust_classic_compute_pipeline":
            call = lambda: fn(txn_ids, item_ids, k_max, n_items, n_txn, min_support, weights)  # noqa: E731
        else:
            call = lambda: fn(txn_ids, item_ids, k_max, n_items, min_support, weights)  # noqa: E731

        def convert(out):
            # Not every pipeline reports the count (the classic one documents that it does not).
            if "n_transactions" in out and int(out["n_transactions"]) != n_txn:
                raise RuntimeError(f"n_transactions {out['n_transactions']} instead of {n_txn}")
            return {k_max: canonical(out["itemsets"], out["counts"], k_max),
                    low: canonical(out["lower_itemsets"], out["lower_counts"], low)}
        return call, convert

    if engine.startswith("pyfim "):
        import fim
        fn = getattr(fim, engine.split(" ", 1)[1])
        tracts = transactions_as_lists(txn_ids, item_ids)
        # Negative supp is an absolute count in pyfim; target 's' is all frequent itemsets.
        call = lambda: fn(tracts, target="s", supp=-min_count, zmin=low, zmax=k_max, report="a")  # noqa: E731
        return call, lambda out: levels_from_pairs(out, sizes)

    if engine.startswith("mlxtend "):
        from mlxtend.frequent_patterns import apriori, fpgrowth
        fn = fpgrowth if engine == "mlxtend fpgrowth" else apriori
        frame = onehot_frame(txn_ids, item_ids, n_items)
        call = lambda: fn(frame, min_support=frac, max_len=k_max)  # noqa: E731

        def convert(out):
            counts = np.rint(out["support"].to_numpy() * n_txn).astype(np.int64)
            return levels_from_pairs(zip((sorted(s) for s in out["itemsets"]), counts.tolist()), sizes)
        return call, convert

    if engine == "efficient-apriori":
        from efficient_apriori import apriori
        tracts = transactions_as_lists(txn_ids, item_ids)
        # apriori() always derives rules too; at confidence 1.0 that adds only a few per cent
        # (retail, 0.001) to the itemset phase, and it is the library's documented entry point.
        call = lambda: apriori(tracts, min_support=frac, min_confidence=1.0, max_length=k_max)  # noqa: E731

        def convert(out):
            by_size = out[0]
            return {k: canonical(list(by_size.get(k, {}).keys()), list(by_size.get(k, {}).values()), k)
                    for k in sizes}
        return call, convert

    raise SystemExit(f"unknown engine {engine}")


def warm_up(engine: str, cfg: dict, txn_ids: np.ndarray, item_ids: np.ndarray) -> None:
    """One call on four small baskets, so that the measured calls' peak leaves out what a
    process pays once (its thread pool started, the code it runs paged in; the worker then
    pages in the rest of its libraries' code) and nothing the call itself holds: the baskets
    are too few to leave memory behind for reuse."""
    items = np.minimum(np.array([0, 1, 0, 1, 1, 2, 0, 2]), cfg["n_items"] - 1).astype(item_ids.dtype)
    txns = np.repeat(np.arange(4), 2).astype(txn_ids.dtype)
    small = dict(cfg, n_transactions=4, min_count=2, min_support=0.5)
    call, _ = build_call(engine, small, txns, items)
    call()


def worker_main(cfg_json: str) -> None:
    cfg = json.loads(cfg_json)
    if cfg.get("one_cpu"):
        # The extension's pool sizes itself by the affinity mask, read when it starts.
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    # Replies go on a private copy of stdout; anything a library prints lands in the log.
    reply = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(2, 1)
    engine = cfg["engine"]
    if not is_tallyfold(engine) and cfg.get("address_limit"):
        resource.setrlimit(resource.RLIMIT_AS, (cfg["address_limit"], cfg["address_limit"]))

    def send(obj: dict) -> None:
        reply.write(json.dumps(obj) + "\n")

    try:
        with np.load(cfg["data"]) as z:
            txn_ids, item_ids = z["txn_ids"], z["item_ids"]
        t0 = time.perf_counter()
        call, convert = build_call(engine, cfg, txn_ids, item_ids)
        prepare_s = time.perf_counter() - t0
        warm_up(engine, cfg, txn_ids, item_ids)
        page_in_shared_libraries()
    except BaseException as e:  # noqa: BLE001 -- any failure is this engine's, reported as such
        send({"error": f"{type(e).__name__}: {str(e)[:300]}"})
        return
    gc.collect()
    send({"ready": prepare_s})

    for line in sys.stdin:
        request = line.strip()
        if request == "quit":
            break
        out = None
        try:
            gc.collect()
            resettable = reset_peak()
            base = status_kib("VmRSS" if resettable else "VmHWM")
            t0 = time.perf_counter()
            out = call()
            secs = time.perf_counter() - t0
            peak = max(0, status_kib("VmHWM") - base) / 1024.0
            answer = {"secs": secs, "peak_mib": peak}
            if is_tallyfold(engine):
                # The arrays handed back: the result part of this call's memory bound.
                answer["result_mib"] = sum(v.nbytes for v in out.values()
                                           if isinstance(v, np.ndarray)) / 2**20
        except MemoryError:
            cap = cfg.get("address_limit")
            answer = {"error": "out of memory (MemoryError" + (
                f" under a {cap / 2**30:.1f} GiB address-space cap)" if cap and not is_tallyfold(engine) else ")")}
        except BaseException as e:  # noqa: BLE001
            answer = {"error": f"{type(e).__name__}: {str(e)[:300]}"}
        # The time goes out before the result is converted, so the parent's deadline covers the
        # call alone; the conversion, slow for big Python results, answers on a second line.
        send(answer)
        if "error" in answer:
            break
        if request == "check":
            try:
                levels = convert(out)
                np.savez(cfg["result"], **{f"items{k}": v[0] for k, v in levels.items()},
                         **{f"counts{k}": v[1] for k, v in levels.items()})
                done = {"rows": int(levels[cfg["k_max"]][1].shape[0])}
            except BaseException as e:  # noqa: BLE001
                done = {"error": f"reading its result failed: {type(e).__name__}: {str(e)[:300]}"}
            send(done)
            if "error" in done:
                break
        del out


class Worker:
    """Parent-side handle of one engine's worker process."""

    def __init__(self, engine: str, cfg: dict, log_dir: str, suffix: str = ""):
        self.engine = engine
        self.log_path = os.path.join(log_dir, f"{engine.replace(' ', '_')}{suffix}.log")
        self.result_path = os.path.join(log_dir, f"{engine.replace(' ', '_')}{suffix}.npz")
        self.log = open(self.log_path, "wb")
        cfg = dict(cfg, engine=engine, result=self.result_path)
        self.proc = subprocess.Popen(
            [sys.executable, str(Path(__file__).resolve()), "--worker", json.dumps(cfg)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.log, bufsize=0)
        self.buffer = b""

    def _read_reply(self, timeout: float) -> dict:
        deadline = time.monotonic() + timeout
        fd = self.proc.stdout.fileno()
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                self.kill()
                return {"timeout": True}
            ready, _, _ = select.select([fd], [], [], left)
            if not ready:
                continue
            chunk = os.read(fd, 65536)
            if not chunk:
                return {"error": self._death_note()}
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def _death_note(self) -> str:
        code = self.proc.wait()
        if code < 0:
            sig = signal.Signals(-code).name
            hint = " (likely the OOM killer)" if -code == signal.SIGKILL else ""
            return f"worker died of {sig}{hint}"
        self.log.flush()
        tail = Path(self.log_path).read_text(errors="replace").strip().splitlines()[-3:]
        return f"worker exited with {code}: " + " | ".join(tail)

    def wait_ready(self) -> dict:
        return self._read_reply(PREPARE_TIMEOUT_S)

    def wait_result(self) -> dict:
        reply = self._read_reply(PREPARE_TIMEOUT_S)
        if reply.get("timeout"):
            return {"error": "reading its result took too long"}
        return reply

    def request(self, what: str, timeout: float) -> dict:
        try:
            self.proc.stdin.write((what + "\n").encode())
        except BrokenPipeError:
            return {"error": self._death_note()}
        return self._read_reply(timeout)

    def kill(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()

    def close(self) -> None:
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.close()
                self.proc.wait(timeout=30)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.kill()
        self.log.close()


# ------------------------------------------------------------------------------------------
# Datasets and cases
# ------------------------------------------------------------------------------------------

@dataclass
class Dataset:
    name: str
    family: str
    supports: tuple[float, ...]
    load: Callable[[], Baskets]
    n_rows_hint: int = 0


@dataclass
class Outcome:
    engine: str
    status: str = "ok"  # ok | timeout | skipped | failed
    note: str = ""
    times: list[float] = field(default_factory=list)
    peak_mib: float | None = None
    result_mib: float | None = None  # the arrays the call returned, when it reports them
    one_cpu_times: list[float] = field(default_factory=list)
    # Calls on two CPUs made each just before one of one_cpu_times, so that both sides of
    # the efficiency see the same state of the machine.
    paired_times: list[float] = field(default_factory=list)
    rows: int | None = None
    agrees: bool | None = None

    @property
    def median(self) -> float | None:
        return statistics.median(self.times) if self.status == "ok" and self.times else None

    @property
    def best(self) -> float | None:
        """The fastest timed call: the statistic the speed ratios compare."""
        return min(self.times) if self.status == "ok" and self.times else None

    @property
    def efficiency(self) -> float | None:
        """Time on one CPU / (2 x time on two): 1.0 when the second CPU halves the time. The
        median over the pairs of calls: a call of tens of milliseconds that one hiccup of the
        machine stretches moves a ratio of best times by more than the effect measured."""
        if self.best is None or not self.one_cpu_times or len(os.sched_getaffinity(0)) < 2:
            return None
        return median_of_pairs(self.one_cpu_times, self.paired_times)

    @property
    def efficiency_of_bests(self) -> float | None:
        """The fastest one-CPU call / (2 x the fastest paired call on two CPUs). A two-CPU call
        waits at every stage for the slower of its threads, so a hypervisor that stops either
        vCPU for a moment slows it, where a one-CPU call is slowed only by stops of its own
        vCPU: on a busy host the median above then falls while the code stays the same. The
        fastest calls are those the host disturbed least, as for the speed columns."""
        if self.efficiency is None:
            return None
        return of_bests(self.one_cpu_times, self.paired_times)


@dataclass
class Case:
    dataset: str
    family: str
    n_rows: int
    min_support: float
    min_count: int
    k_max: int
    outcomes: dict[str, Outcome]
    reference: str | None = None
    mismatch: bool = False
    bound_mib: float | None = None  # 2 x (index + result), the ceiling for a call's peak
    index_mib: float = 0.0


def index_mib(b: Baskets) -> float:
    """The index lists every input row once by transaction and once by item (4 bytes each)
    with an offset per transaction and per item."""
    return (8 * b.n_rows + 8 * (b.n_transactions + b.n_items)) / 2**20


def memory_bound_mib(b: Baskets, levels: dict[int, tuple[np.ndarray, np.ndarray]]) -> float:
    """2 x (index + result), the result holding both levels' rows as int32, their counts as
    int64 and one int64 item count per item id."""
    result = 8 * b.n_items + sum(items.size * 4 + counts.size * 8
                                 for items, counts in levels.values())
    return 2 * (index_mib(b) + result / 2**20)


def engine_bound_mib(case: "Case", o: "Outcome") -> float | None:
    """The bound of one engine: a call that returns more than the two levels (every extension
    of a level, without a min count) is allowed twice what it returned."""
    if not case.bound_mib:
        return None
    if o.result_mib is None:
        return case.bound_mib
    return max(case.bound_mib, 2 * (case.index_mib + o.result_mib))


def datasets_from_args(args) -> list[Dataset]:
    out: list[Dataset] = []
    for n in args.sizes:
        out.append(Dataset(f"synthetic-{size_label(n)}", "synthetic", SYNTHETIC_SUPPORTS,
                           (lambda n=n: generate(n, seed=args.seed)), n))
    paths = fimi_datasets()
    # Files of the same format beside them that the shared list leaves out (Groceries).
    base = (REPO_ROOT / ".." / "shared" / "data").resolve()
    paths += [base / f"{name}.dat" for name in FIMI_SUPPORTS
              if (base / f"{name}.dat").is_file() and (base / f"{name}.dat") not in paths]
    for path in paths:
        supports = FIMI_SUPPORTS.get(path.stem)
        if supports is None:
            continue
        if args.heavy:
            supports = supports + HEAVY_SUPPORTS.get(path.stem, ())
        out.append(Dataset(path.stem, path.stem, supports, (lambda p=path: load_fimi(p))))
    if args.datasets:
        wanted = [w.lower() for w in args.datasets]
        out = [d for d in out if any(w in d.name.lower() for w in wanted)]
    return out


class Budget:
    """Skips an engine on cases at least as costly as one where it ran out of time or memory.

    Cost grows with rows and k_max and as support falls, within one family of data.
    """

    def __init__(self):
        self.failures: list[tuple[str, Case, str]] = []

    def record(self, engine: str, case: Case, why: str) -> None:
        self.failures.append((engine, case, why))

    def verdict(self, engine: str, case: Case) -> str | None:
        for e, c, why in self.failures:
            if (e == engine and c.family == case.family and case.n_rows >= c.n_rows
                    and case.min_support <= c.min_support and case.k_max >= c.k_max):
                return f"skipped: {why} at {c.dataset}, support {c.min_support:g}, k_max {c.k_max}"
        return None


# ------------------------------------------------------------------------------------------
# Agreement check
# ------------------------------------------------------------------------------------------

class TrueCounter:
    """Exact counts of given itemsets straight from the rows, to tell which side is wrong."""

    def __init__(self, b: Baskets):
        import scipy.sparse as sp
        _, row = np.unique(b.txn_ids, return_inverse=True)
        x = sp.csc_matrix((np.ones(row.shape[0], dtype=np.int8), (row.reshape(-1), b.item_ids)),
                          shape=(b.n_transactions, b.n_items))
        x.sum_duplicates()
        self.x = x

    def count(self, items) -> int:
        rows = None
        for j in items:
            col = self.x.indices[self.x.indptr[j]:self.x.indptr[j + 1]]
            rows = col if rows is None else np.intersect1d(rows, col, assume_unique=True)
        return int(rows.shape[0]) if rows is not None else 0


def load_levels(path: str, sizes: tuple[int, ...]) -> dict[int, tuple[np.ndarray, np.ndarray]]:
    with np.load(path) as z:
        return {k: (z[f"items{k}"], z[f"counts{k}"]) for k in sizes}


def describe_difference(engine: str, reference: str, k: int, got, want, counter_factory,
                        min_count: int) -> list[str]:
    got_d = {tuple(r): int(c) for r, c in zip(got[0].tolist(), got[1].tolist())}
    want_d = {tuple(r): int(c) for r, c in zip(want[0].tolist(), want[1].tolist())}
    extra = [s for s in got_d if s not in want_d]
    missing = [s for s in want_d if s not in got_d]
    differ = [s for s in got_d if s in want_d and got_d[s] != want_d[s]]
    lines = [f"    size {k}: {engine} has {len(got_d):,}, {reference} has {len(want_d):,}; "
             f"{len(extra):,} only in {engine}, {len(missing):,} only in {reference}, "
             f"{len(differ):,} with different counts (min count {min_count})"]
    counter = counter_factory()
    for label, sets in (("only in " + engine, extra), ("only in " + reference, missing),
                        ("count differs", differ)):
        for s in sets[:N_EXAMPLES]:
            lines.append(f"      {label}: {s} {engine}={got_d.get(s, '-')} "
                         f"{reference}={want_d.get(s, '-')} true count={counter.count(s)}")
    return lines


def check_case(case: Case, workers: dict[str, Worker], b: Baskets) -> None:
    sizes = (case.k_max - 1, case.k_max)
    produced = [e for e, o in case.outcomes.items() if o.status == "ok"]
    ref = next((e for e in REFERENCE_PREFERENCE if e in produced), None)
    ref = ref or next((e for e in produced if is_tallyfold(e)), None) or (produced[0] if produced else None)
    case.reference = ref
    if ref is None:
        print("  check: no engine produced a result", flush=True)
        return
    want = load_levels(workers[ref].result_path, sizes)
    case.bound_mib = memory_bound_mib(b, want)
    case.index_mib = index_mib(b)
    counter_box: list[TrueCounter] = []

    def counter() -> TrueCounter:
        if not counter_box:
            counter_box.append(TrueCounter(b))
        return counter_box[0]

    case.outcomes[ref].agrees = True
    agreeing = [ref]
    for e in produced:
        if e == ref:
            continue
        got = load_levels(workers[e].result_path, sizes)
        same = all(np.array_equal(got[k][0], want[k][0]) and np.array_equal(got[k][1], want[k][1])
                   for k in sizes)
        case.outcomes[e].agrees = same
        if same:
            agreeing.append(e)
            continue
        case.mismatch = True
        print(f"  !!! MISMATCH: {e} disagrees with {ref}", flush=True)
        for k in sizes:
            if not (np.array_equal(got[k][0], want[k][0]) and np.array_equal(got[k][1], want[k][1])):
                for line in describe_difference(e, ref, k, got[k], want[k], counter, case.min_count):
                    print(line, flush=True)
    n_top, n_low = want[case.k_max][1].shape[0], want[case.k_max - 1][1].shape[0]
    print(f"  check: {len(agreeing)} of {len(produced)} engines agree with {ref} on the "
          f"{n_top:,} itemsets of size {case.k_max} and the {n_low:,} of size {case.k_max - 1}, "
          f"counts included", flush=True)


# ------------------------------------------------------------------------------------------
# Running a case
# ------------------------------------------------------------------------------------------

def run_case(case: Case, engines: list[str], cfg: dict, b: Baskets, args, budget: Budget,
             shuffler: random.Random, ram: int) -> None:
    workers: dict[str, Worker] = {}
    single_run_s = SINGLE_RUN_SHARE * args.timeout
    with tempfile.TemporaryDirectory(prefix="bench_pipeline_w_") as log_dir:
        try:
            for e in engines:
                o = case.outcomes[e]
                skip = budget.verdict(e, case)
                if skip is None and e.startswith("mlxtend ") and ram:
                    dense = b.n_transactions * b.n_items
                    if dense > MLXTEND_DENSE_RAM_SHARE * ram:
                        skip = (f"skipped: mines a dense {b.n_transactions:,} x {b.n_items:,} "
                                f"copy ({dense / 2**30:.1f} GiB)")
                if skip:
                    o.status, o.note = "skipped", skip
                    continue
                w = Worker(e, cfg, log_dir)
                reply = w.wait_ready()
                if "ready" not in reply:
                    o.status = "timeout" if reply.get("timeout") else "failed"
                    o.note = "preparing the input took too long" if reply.get("timeout") else reply["error"]
                    w.close()
                    continue
                workers[e] = w
                # The first call also produces the result that is checked.
                reply = w.request("check", args.timeout)
                result = w.wait_result() if "secs" in reply else {}
                if "error" in result:
                    reply = result
                if not absorb(o, reply, args.timeout, case, budget):
                    w.close()
                    del workers[e]
                    continue
                o.rows = result["rows"]
                if is_tallyfold(e) or reply["secs"] < SLOW_CALL_S:
                    o.times.clear()  # a warm-up: thread pool start, first-touch page faults

            check_case(case, workers, b)

            # Slow engines keep their first call as their only sample.
            wanted = {e: (1 if o.times and o.times[0] >= single_run_s else args.repeat)
                      for e, o in case.outcomes.items() if e in workers}
            for _ in range(args.repeat):
                order = [e for e in workers if len(case.outcomes[e].times) < wanted[e]]
                shuffler.shuffle(order)
                for e in order:
                    if e not in workers:
                        continue
                    reply = workers[e].request("time", args.timeout)
                    if not absorb(case.outcomes[e], reply, args.timeout, case, budget):
                        workers.pop(e).close()
            if args.efficiency:
                time_on_one_cpu(case, {e: w for e, w in workers.items() if is_tallyfold(e)}, cfg,
                                args, log_dir)
        finally:
            for w in workers.values():
                w.close()


# Pairs of calls behind the efficiency: enough for about a second on one CPU, at least as many
# as the timed calls, at most EFFICIENCY_MAX_PAIRS.
def efficiency_pairs(o: "Outcome") -> int:
    if o.best is None:
        return 0
    return pairs_wanted(2 * o.best, len(o.times))


def time_on_one_cpu(case: Case, workers: dict[str, Worker], cfg: dict, args, log_dir: str) -> None:
    """The same calls in a worker confined to one CPU, for the parallel-efficiency column.
    Each is made right after a call of the engine's two-CPU worker: on a shared machine the
    speed drifts between minutes, and the efficiency compares the pair, not two windows."""
    if len(os.sched_getaffinity(0)) < 2:
        return
    for e, two in workers.items():
        w = Worker(e, dict(cfg, one_cpu=True), log_dir, suffix="_1cpu")
        try:
            if "ready" not in w.wait_ready():
                continue
            warm = w.request("time", args.timeout)  # a warm-up, as on two CPUs
            if "secs" not in warm:
                continue
            for _ in range(efficiency_pairs(case.outcomes[e])):
                paired = two.request("time", args.timeout)
                reply = w.request("time", args.timeout)
                if "secs" not in reply or "secs" not in paired:
                    break
                case.outcomes[e].paired_times.append(paired["secs"])
                case.outcomes[e].one_cpu_times.append(reply["secs"])
        finally:
            w.close()


def absorb(o: Outcome, reply: dict, timeout: float, case: Case, budget: Budget) -> bool:
    """Records one call's reply; False when the engine is out for this case."""
    if reply.get("timeout"):
        o.status, o.note, o.times = "timeout", f"timeout: a call took over {timeout:g} s", []
        budget.record(o.engine, case, "timed out")
        return False
    if "error" in reply:
        o.status, o.note, o.times = "failed", reply["error"], []
        if "memory" in reply["error"].lower() or "OOM" in reply["error"]:
            budget.record(o.engine, case, "ran out of memory")
        return False
    o.times.append(reply["secs"])
    o.peak_mib = max(o.peak_mib or 0.0, reply["peak_mib"])
    if "result_mib" in reply:
        o.result_mib = reply["result_mib"]
    return True


# ------------------------------------------------------------------------------------------
# Output
# ------------------------------------------------------------------------------------------

def fastest(case: Case, pick) -> Outcome | None:
    done = [o for o in case.outcomes.values() if pick(o.engine) and o.best is not None
            and o.agrees is not False]
    return min(done, key=lambda o: o.best) if done else None


def print_case_table(case: Case) -> None:
    best_peer = fastest(case, lambda e: not is_tallyfold(e))
    w = max(len(e) for e in case.outcomes) + 1
    head = (f"  {'engine':<{w}} {'best s':>9} {'median s':>10} {'runs':>5} {'peak MiB':>9} "
            f"{'rows k=' + str(case.k_max):>10} {'/ fastest peer':>15} {'1->2 CPU eff':>13}"
            f" {'eff of bests':>12} {'peak / bound':>12}")
    print("\n" + head)
    print("  " + "-" * (len(head) - 2))
    for o in case.outcomes.values():
        if o.median is None:
            print(f"  {o.engine:<{w}} {o.note}")
            continue
        peak = f"{o.peak_mib:9.1f}" if o.peak_mib is not None else f"{'-':>9}"
        r = o.best / best_peer.best if best_peer else None
        ratio = f"{'-':>15}" if r is None else f"{r:15.3f}" if r >= 0.001 else f"{r:15.1e}"
        flag = "   MISMATCH" if o.agrees is False else ""
        eff = f"{o.efficiency:13.2f}" if o.efficiency is not None else f"{'-':>13}"
        eff_bests = (f"{o.efficiency_of_bests:12.2f}" if o.efficiency_of_bests is not None
                     else f"{'-':>12}")
        bound = engine_bound_mib(case, o)
        within = (f"{o.peak_mib / bound:12.2f}"
                  if o.peak_mib is not None and bound and is_tallyfold(o.engine)
                  else f"{'-':>12}")
        print(f"  {o.engine:<{w}} {o.best:9.4f} {o.median:10.4f} {len(o.times):>5} {peak} {o.rows:>10,} {ratio}"
              f" {eff} {eff_bests} {within}{flag}")
    if case.bound_mib:
        print(f"  memory bound 2 x (index + result): {case.bound_mib:.1f} MiB")
    if best_peer:
        print(f"  fastest peer: {best_peer.engine} ({best_peer.best:.4f} s)")
    else:
        print("  fastest peer: none finished")


def print_summary(cases: list[Case]) -> None:
    w = max([len(e) - len("tallyfold ") for c in cases for e in c.outcomes if is_tallyfold(e)]
            + [len("best tallyfold engine")])
    head = (f"{'dataset':<16} {'support':>8} {'k':>2}  {'best tallyfold engine':<{w}} {'s':>8}  "
            f"{'fastest peer':<18} {'s':>8} {'speed-up':>9} {'vs mlxtend fpgrowth':>20}")
    print("\nSummary (speed-up = fastest peer's best / fastest tallyfold engine's best; above 1 = "
          "tallyfold faster)")
    print(head)
    print("-" * len(head))
    for c in cases:
        tf = fastest(c, is_tallyfold)
        peer = fastest(c, lambda e: not is_tallyfold(e))
        mlx = c.outcomes.get(MLXTEND_FPGROWTH)
        tf_name = tf.engine.split(" ", 1)[1] if tf else "none finished"
        tf_s = f"{tf.best:8.4f}" if tf else f"{'-':>8}"
        peer_name = peer.engine if peer else "none finished"
        peer_s = f"{peer.best:8.4f}" if peer else f"{'-':>8}"
        speed = f"{peer.best / tf.best:9.2f}" if tf and peer else f"{'-':>9}"
        if mlx is None:
            vs_mlx = "not run"
        elif mlx.best is not None and tf:
            vs_mlx = f"{mlx.best / tf.best:.2f}"
        else:
            vs_mlx = mlx.status
        flag = "  MISMATCH" if c.mismatch else ""
        print(f"{c.dataset:<16} {c.min_support:>8g} {c.k_max:>2}  {tf_name:<{w}} {tf_s}  "
              f"{peer_name:<18} {peer_s} {speed} {vs_mlx:>20}{flag}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", nargs="+", type=parse_size, default=None,
                    help="synthetic row counts, e.g. --sizes 1e5 1e6 (or 1e5,1e6); default 1e5 1e6 1e7")
    ap.add_argument("--datasets", nargs="+", default=None,
                    help="keep datasets whose name contains one of these (e.g. retail synthetic-1e5)")
    ap.add_argument("--engines", nargs="+", default=None,
                    help="keep engines whose name contains one of these (e.g. tallyfold pyfim)")
    ap.add_argument("--k-max", nargs="+", type=int, default=[3], help="itemset sizes to mine up to")
    ap.add_argument("--repeat", type=int, default=None, help="timed calls per engine (best and median); default 3")
    ap.add_argument("--timeout", type=float, default=120.0, help="seconds one call may take")
    ap.add_argument("--heavy", action="store_true", help="also chess at support 0.4")
    ap.add_argument("--no-efficiency", dest="efficiency", action="store_false",
                    help="skip the second timing of each tallyfold engine on one CPU")
    ap.add_argument("--quick", action="store_true", help="synthetic at 1e5 rows only, one timed call")
    ap.add_argument("--seed", type=int, default=7, help="generator seed")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.worker:
        worker_main(args.worker)
        return
    # A plain exit on SIGTERM lets the workers be told to quit and the temporary files go.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

    if args.quick:
        args.sizes = args.sizes or [[100_000]]
        args.repeat = args.repeat or 1
    args.repeat = args.repeat or 3
    args.sizes = [s for group in args.sizes for s in group] if args.sizes else list(DEFAULT_SIZES)
    if args.repeat < 1:
        ap.error("--repeat must be at least 1")
    if any(k < 3 for k in args.k_max):
        ap.error("--k-max values must be at least 3 (the pipelines mine from pairs upwards)")
    if args.timeout <= 0:
        ap.error("--timeout must be positive")

    peers, missing = installed_peers()
    engines = [engine_label(n) for n in tallyfold_engines()] + peers
    if args.engines:
        wanted = [w.lower() for w in args.engines]
        engines = [e for e in engines if any(w in e.lower() for w in wanted)]
    if not engines:
        ap.error("no engine left to run")
    datasets = datasets_from_args(args)
    if not datasets:
        ap.error("no dataset left to run")

    ram = mem_total_bytes()
    affinity = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print(f"CPUs: {os.cpu_count()} (os.cpu_count), pool threads: {affinity} (CPUs in this "
          f"process's affinity mask, which the extension's pool follows); the peers run on one thread")
    # Other work on the machine skews every timing here; the load average makes it visible.
    print(f"load average at start: {' '.join(f'{x:.2f}' for x in os.getloadavg())} (1, 5, 15 min)")
    print(f"engines: {', '.join(engines)}")
    if missing:
        print(f"not installed, left out: {', '.join(missing)} "
              f"(make bench installs them: pip install mlxtend pyfim efficient-apriori pandas)")
    print(f"repeat {args.repeat} (best and median), engine order shuffled per repetition (seed {SHUFFLE_SEED}); "
          f"timeout {args.timeout:g} s per call; k_max {' '.join(map(str, args.k_max))}")
    if not reset_peak():
        print("note: /proc/self/clear_refs is not writable here, so peak MiB takes the worker's "
              "earlier high-water mark (preparing the input) as its baseline and is a lower bound")
    print("Each engine runs in a worker process of its own. Its input is prepared there before any "
          "timing, in the engine's natural format: NumPy arrays for tallyfold, lists of item lists "
          "for pyfim and efficient-apriori, a sparse boolean one-hot DataFrame for mlxtend.")

    shuffler = random.Random(SHUFFLE_SEED)
    run_steal = StealMeter()
    budget = Budget()
    cases: list[Case] = []
    tallyfold_failed = False
    address_limit = int(PEER_ADDRESS_RAM_SHARE * ram) if ram else None
    for ds in datasets:
        t0 = time.perf_counter()
        b = ds.load()
        print(f"\n=== {ds.name}: {b.summary()} (loaded in {time.perf_counter() - t0:.1f} s)", flush=True)
        with tempfile.TemporaryDirectory(prefix="bench_pipeline_") as tmp:
            data_path = os.path.join(tmp, "rows.npz")
            np.savez(data_path, txn_ids=b.txn_ids, item_ids=b.item_ids)
            for support in ds.supports:
                min_count = min_count_for(support, b.n_transactions)
                for k_max in args.k_max:
                    case = Case(ds.name, ds.family, b.n_rows, support, min_count, k_max,
                                {e: Outcome(e) for e in engines})
                    print(f"\n--- {ds.name}  min_support {support:g} (min count {min_count:,} of "
                          f"{b.n_transactions:,} transactions)  k_max {k_max}", flush=True)
                    cfg = {"data": data_path, "k_max": k_max, "n_items": b.n_items,
                           "n_transactions": b.n_transactions, "min_support": support,
                           "min_count": min_count, "address_limit": address_limit}
                    case_steal = StealMeter()
                    run_case(case, engines, cfg, b, args, budget, shuffler, ram)
                    print_case_table(case)
                    print(f"  {case_steal.describe()}")
                    cases.append(case)
                    tallyfold_failed |= any(o.status == "failed" for o in case.outcomes.values()
                                            if is_tallyfold(o.engine))
        del b
        gc.collect()

    print_summary(cases)
    print("\nbest s / median s: wall time of the call alone, the fastest and the median of the "
          "timed calls (runs); a tallyfold "
          f"engine's first call, and a peer's first call when under {SLOW_CALL_S:g} s, is a warm-up "
          f"not counted; engines whose call takes {SINGLE_RUN_SHARE * args.timeout:g} s or more are "
          "timed once.\n"
          "peak MiB: peak RSS of the engine's worker during a call, minus its RSS just before "
          "(input already prepared; a warm-up call on four small baskets has started the "
          "library's threads, and every page of the shared libraries' code is read in before the "
          "first call); the largest over its calls.\n"
          "/ fastest peer: best / best of the fastest peer that agreed (below 1 = faster).\n"
          "1->2 CPU eff: parallel efficiency, time in a worker confined to one CPU / "
          "(2 x time on all CPUs), each one-CPU call made right after a call on all CPUs; the "
          f"median over pairs enough for {EFFICIENCY_SECONDS:g} s on one CPU (at least as many as "
          f"the timed calls, at most {EFFICIENCY_MAX_PAIRS}); 1.0 = the second CPU halves the "
          "time.\n"
          "eff of bests: the fastest of those one-CPU calls / (2 x the fastest of the paired "
          "calls on all CPUs): a two-CPU call waits for the slower of its threads at every stage, "
          "so a hypervisor stopping either vCPU slows it, where a one-CPU call feels only its own "
          "vCPU's stops; the fastest calls are those the host disturbed least.\n"
          "peak / bound: peak MiB / (2 x (index + result)), the index estimated as two 4-byte "
          "entries per input row plus offsets, the result as both returned levels (or the arrays a "
          "call returned, when more: rust_compute_itemsets); at most 1 "
          "is the goal.\n"
          "Peers get the threshold as a count (pyfim) or as the fraction (count - 0.5) / N, which "
          "selects exactly the itemsets with count >= ceil(min_support * N).")
    print(f"load average at end: {' '.join(f'{x:.2f}' for x in os.getloadavg())} (1, 5, 15 min)")
    print(f"whole run: {run_steal.describe()}; a share of a few percent or more makes the "
          "timings and the efficiency of that run noisy")
    bad = [f"{c.dataset} {c.min_support:g} k_max {c.k_max}" for c in cases if c.mismatch]
    if bad:
        print(f"\nMISMATCH in {len(bad)} case(s): {'; '.join(bad)}")
    if tallyfold_failed:
        print("\nA tallyfold engine failed; see its row above.")
    if bad or tallyfold_failed:
        sys.exit(1)


if __name__ == "__main__":
    main()
