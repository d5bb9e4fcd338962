#!/usr/bin/env python3
"""Frequent itemsets of every size: each tallyfold._engine algorithm beside pyfim and mlxtend.

For every dataset, tallyfold is timed from its encoded arrays to an array of frozensets of
labels (mine_itemsets + itemsets_to_frozensets); pyfim's eclat, fpgrowth and apriori from the
same baskets as lists of the same labels to their list of (itemset, count) results; mlxtend's
fpgrowth from a boolean one-hot DataFrame (only where it finishes within seconds: on retail,
T10I4D100K and chess at these supports it runs for minutes, so it is skipped there and the
table says so). Inputs are prepared outside the timed region.

First every algorithm's itemsets and counts are checked against eclat's, and the number of
itemsets against pyfim's; a disagreement prints MISMATCH and makes the exit status 1. Then
each engine is timed --repeat times in a shuffled order (fixed seed); the median is shown
with its ratio to the fastest pyfim engine (the target is 0.5 or less). Peak memory is the
rise of the process's resident high-water mark during one mine_itemsets call, beside the size
of the result arrays and of the index (the transaction and item CSR, 8 bytes per row).

Run from the repository root:  python bench/bench_allsizes.py [--datasets groceries chess]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import random
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from peak_memory import reset_peak, status_kib

REPO_ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO_ROOT / "scripts"))

from synthetic_baskets import generate, load_fimi  # noqa: E402

from tallyfold import _engine  # noqa: E402

DATA = (REPO_ROOT / ".." / "shared" / "data").resolve()
# name -> (file, min support as a fraction, or an absolute count when an int)
DATASETS = {
    "retail": ("retail.dat", 0.001),
    "T10I4D100K": ("T10I4D100K.dat", 0.001),
    "mushroom": ("mushroom.dat", 0.1),
    "chess": ("chess.dat", 0.6),
    "groceries": ("groceries.dat", 10),
    "synthetic-1M": (None, 0.001),
}
MLXTEND_FEASIBLE = {"mushroom", "groceries"}
ALGORITHMS = ("auto", "eclat", "pipeline", "v1_roaring", "v2_memo", "v3_adaptive",
              "v5_prefilter", "v6_gating", "classic")
# A single run slower than this is not repeated.
SLOW_SECONDS = 20.0


def load(name):
    file, support = DATASETS[name]
    if file is None:
        baskets = generate(1_000_000, seed=11)
    else:
        path = DATA / file
        if not path.is_file():
            return None
        baskets = load_fimi(path)
    n = baskets.n_transactions
    min_count = support if isinstance(support, int) else max(1, math.ceil(support * n))
    labels = [str(i) for i in range(baskets.n_items)]
    order = np.argsort(baskets.txn_ids, kind="stable")
    txn = baskets.txn_ids[order]
    items = baskets.item_ids[order]
    cuts = np.flatnonzero(np.diff(txn)) + 1
    lists = [[labels[i] for i in chunk] for chunk in np.split(items, cuts)] if len(txn) else []
    return baskets, min_count, labels, lists


def tallyfold_run(baskets, min_count, labels, algorithm):
    def run():
        r = _engine.mine_itemsets(baskets.txn_ids, baskets.item_ids, baskets.n_items, min_count,
                                  0, algorithm, "all", 0)
        return r, _engine.itemsets_to_frozensets(r["items"], r["offsets"], labels)
    return run


def peers(lists, min_count, name, n_items):
    out = {}
    try:
        import fim
        for fn in ("eclat", "fpgrowth", "apriori"):
            out[f"pyfim {fn}"] = (lambda f=getattr(fim, fn):
                                  f(lists, target="s", supp=-min_count, zmin=1, report="a"))
    except ImportError:
        print("  (pyfim not installed: skipped)")
    if name in MLXTEND_FEASIBLE:
        try:
            import pandas as pd
            from mlxtend.frequent_patterns import fpgrowth
            n = len(lists)
            onehot = np.zeros((n, n_items), dtype=bool)
            for t, basket in enumerate(lists):
                onehot[t, [int(x) for x in basket]] = True
            frame = pd.DataFrame(onehot, columns=[str(i) for i in range(n_items)])
            out["mlxtend fpgrowth"] = lambda: fpgrowth(frame, min_support=min_count / n,
                                                       use_colnames=True)
        except ImportError:
            print("  (mlxtend not installed: skipped)")
    return out


def rows_of(result):
    items, offsets = result["items"], result["offsets"]
    return items, offsets, result["counts"]


def check(name, runs, baskets, min_count, labels, lists):
    ok = True
    ref = None
    for algorithm in ALGORITHMS:
        r, _ = tallyfold_run(baskets, min_count, labels, algorithm)()
        got = rows_of(r)
        if ref is None:
            ref = got
            continue
        if not all(np.array_equal(a, b) for a, b in zip(ref, got)):
            print(f"  MISMATCH {name}: {algorithm} differs from {ALGORITHMS[0]}")
            ok = False
    try:
        import fim
        theirs = {frozenset(int(i) for i in s): c for s, c in
                  fim.eclat(lists, target="s", supp=-min_count, zmin=1, report="a")}
        items, offsets, counts = ref
        ours = {frozenset(items[offsets[r]:offsets[r + 1]].tolist()): int(counts[r])
                for r in range(len(counts))}
        extra = {s: c for s, c in ours.items() if theirs.get(s) != c}
        missing = [s for s in theirs if s not in ours]
        # pyfim leaves out the single items found in every transaction; nothing else may differ.
        unexplained = {s: c for s, c in extra.items()
                       if not (len(s) == 1 and c == baskets.n_transactions)}
        if missing or unexplained:
            print(f"  MISMATCH {name}: pyfim eclat lacks {len(unexplained)} of ours and has "
                  f"{len(missing)} we lack")
            ok = False
        elif extra:
            print(f"  (pyfim leaves out {len(extra)} item(s) found in every transaction)")
    except ImportError:
        pass
    return ok, ref


def peak_worker(name):
    """In a fresh process (no freed memory left over from earlier runs): the rise of the
    resident high-water mark during one mine_itemsets call, the result and the index sizes."""
    baskets, min_count, _, _ = load(name)
    before = status_kib("VmRSS")
    if not reset_peak():
        print(json.dumps(None))
        return
    r = _engine.mine_itemsets(baskets.txn_ids, baskets.item_ids, baskets.n_items, min_count,
                              0, "auto", "all", 0)
    rise = (status_kib("VmHWM") - before) * 1024
    result_bytes = sum(r[k].nbytes for k in ("items", "offsets", "counts"))
    # The transaction and item CSR: two ids per row plus an offset per transaction and item.
    index_bytes = 8 * baskets.n_rows + 4 * (baskets.n_transactions + baskets.n_items)
    print(json.dumps([rise, result_bytes, index_bytes]))


def peak_of(name):
    out = subprocess.run([sys.executable, __file__, "--peak-worker", name], capture_output=True,
                         text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--datasets", nargs="*", default=list(DATASETS))
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--peak-worker", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.peak_worker:
        peak_worker(args.peak_worker)
        return 0
    print(f"CPUs: {os.cpu_count()}, affinity {len(os.sched_getaffinity(0))}; "
          f"tallyfold uses all of them (threads=0)")
    rng = random.Random(5)
    status = 0
    for name in args.datasets:
        loaded = load(name)
        if loaded is None:
            print(f"\n{name}: file missing, skipped")
            continue
        baskets, min_count, labels, lists = loaded
        print(f"\n{name}: {baskets.summary()}, min count {min_count}")
        ok, ref = check(name, None, baskets, min_count, labels, lists)
        status |= not ok
        print(f"  {len(ref[2]):,} itemsets, longest {int(np.diff(ref[1]).max(initial=0))}")
        engines = {f"tallyfold {a}": tallyfold_run(baskets, min_count, labels, a)
                   for a in ALGORITHMS}
        engines.update(peers(lists, min_count, name, baskets.n_items))
        times = {k: [] for k in engines}
        for rep in range(args.repeat):
            keys = list(engines)
            rng.shuffle(keys)
            for key in keys:
                if rep > 0 and times[key] and times[key][0] > SLOW_SECONDS:
                    continue
                start = time.perf_counter()
                result = engines[key]()
                times[key].append(time.perf_counter() - start)
                del result
        medians = {k: statistics.median(v) for k, v in times.items()}
        pyfim = [v for k, v in medians.items() if k.startswith("pyfim")]
        best_pyfim = min(pyfim) if pyfim else float("nan")
        print(f"  {'engine':24s} {'seconds':>9s} {'/ best pyfim':>13s}")
        for key, seconds in sorted(medians.items(), key=lambda kv: kv[1]):
            print(f"  {key:24s} {seconds:9.3f} {seconds / best_pyfim:13.2f}")
        if name not in MLXTEND_FEASIBLE:
            print("  mlxtend fpgrowth: skipped (runs for minutes at this support)")
        peak = peak_of(name)
        if peak is None:
            print("  peak memory: not measurable here (/proc/self/clear_refs refused)")
            continue
        rise, result_bytes, index_bytes = peak
        print(f"  peak memory rise of mine_itemsets: {rise / 2**20:.1f} MiB; result "
              f"{result_bytes / 2**20:.1f} MiB + index {index_bytes / 2**20:.1f} MiB "
              f"(ratio {rise / (result_bytes + index_bytes):.2f})")
    return status


if __name__ == "__main__":
    sys.exit(main())
