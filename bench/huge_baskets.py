#!/usr/bin/env python3
"""One call on a very large synthetic input: time, peak memory and bytes per input row.

The rows are generated straight into two preallocated arrays (int64 transaction ids, int32 item
ids), one chunk of transactions at a time and without Python loops over rows: basket sizes are
1 + Poisson(mean - 1), items follow a long-tailed (Zipf-like, exponent --zipf) popularity over
--items ids. At the default 5e8 rows the input arrays alone take 6 GB, so run it alone, once,
when the machine is otherwise idle.

Run from the repository root, e.g.
  python bench/huge_baskets.py pairs --rows 5e8 --min-support 0.001
  python bench/huge_baskets.py eclat --rows 5e8 --min-support 0.001 --k-max 3
"""

from __future__ import annotations

import argparse
import os
import time

import numpy as np

from peak_memory import reset_peak, status_kib

import _tallyfold

CHUNK_TRANSACTIONS = 5_000_000


def generate_into(txn_ids: np.ndarray, item_ids: np.ndarray, n_items: int, mean_len: float,
                  zipf: float, seed: int) -> int:
    """Fills both arrays; returns the number of transactions."""
    rng = np.random.default_rng(seed)
    weights = 1.0 / np.arange(1, n_items + 1, dtype=np.float64) ** zipf
    cdf = np.cumsum(weights)
    cdf /= cdf[-1]
    # A fixed shuffle of the ids, so that popularity is not tied to the id order.
    id_of_rank = rng.permutation(n_items).astype(np.int32)
    rows = txn_ids.shape[0]
    filled = 0
    next_txn = 0
    while filled < rows:
        lengths = 1 + rng.poisson(mean_len - 1.0, CHUNK_TRANSACTIONS)
        total = int(lengths.sum())
        take = min(total, rows - filled)
        txns = np.repeat(np.arange(next_txn, next_txn + CHUNK_TRANSACTIONS, dtype=np.int64), lengths)
        txn_ids[filled:filled + take] = txns[:take]
        ranks = np.searchsorted(cdf, rng.random(take))
        np.minimum(ranks, n_items - 1, out=ranks)
        item_ids[filled:filled + take] = id_of_rank[ranks]
        next_txn = int(txns[take - 1]) + 1
        filled += take
        del txns, ranks, lengths
    return next_txn


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("function", choices=("pairs", "eclat", "both"),
                    help="both: pairs, then Eclat on the same rows, each with its own peak")
    ap.add_argument("--rows", type=lambda s: int(float(s)), default=500_000_000)
    ap.add_argument("--items", type=int, default=100_000)
    ap.add_argument("--mean-length", type=float, default=5.0, help="mean basket size")
    ap.add_argument("--zipf", type=float, default=1.0, help="popularity exponent of the item ranks")
    ap.add_argument("--min-support", type=float, default=0.001)
    ap.add_argument("--k-max", type=int, default=3)
    ap.add_argument("--seed", type=int, default=11)
    args = ap.parse_args()

    t0 = time.perf_counter()
    txn_ids = np.empty(args.rows, dtype=np.int64)
    item_ids = np.empty(args.rows, dtype=np.int32)
    n_txn = generate_into(txn_ids, item_ids, args.items, args.mean_length, args.zipf, args.seed)
    print(f"{args.rows:,} rows, {n_txn:,} transactions, {args.items:,} items, "
          f"input {(txn_ids.nbytes + item_ids.nbytes) / 2**30:.2f} GiB, "
          f"generated in {time.perf_counter() - t0:.1f} s", flush=True)

    for function in (("pairs", "eclat") if args.function == "both" else (args.function,)):
        run_one(function, txn_ids, item_ids, args)


def run_one(function: str, txn_ids: np.ndarray, item_ids: np.ndarray, args) -> None:
    resettable = reset_peak()
    base = status_kib("VmRSS")
    load = os.getloadavg()
    t0 = time.perf_counter()
    if function == "pairs":
        out = _tallyfold.rust_compute_pairs(txn_ids, item_ids, args.items, args.min_support)
        rows_out = int(out["item_A"].shape[0])
    else:
        out = _tallyfold.rust_eclat_pipeline(txn_ids, item_ids, args.k_max, args.items, args.min_support)
        rows_out = int(out["counts"].shape[0])
    result_bytes = sum(v.nbytes for v in out.values() if isinstance(v, np.ndarray))
    secs = time.perf_counter() - t0
    peak = status_kib("VmHWM")
    above = (peak - base) * 1024
    del out
    print(f"function {function}, min_support {args.min_support}"
          + (f", k_max {args.k_max}" if function == "eclat" else "")
          + f": {secs:.1f} s, {rows_out:,} result rows ({result_bytes / 2**20:.1f} MiB)")
    print(f"peak RSS {peak / 2**20:.2f} GiB in all, {above / 2**30:.2f} GiB above the input "
          f"({above / txn_ids.shape[0]:.1f} bytes per input row)"
          + ("" if resettable else "; peak mark not resettable, includes generation"))
    print(f"load average at start {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}, "
          f"at end {os.getloadavg()[0]:.2f}", flush=True)


if __name__ == "__main__":
    main()
