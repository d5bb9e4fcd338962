#!/usr/bin/env python3
"""tallyfold.dask on a local process cluster beside the single-machine call, on the same rows.

retail and T10I4D100K are replicated, each copy with new transaction ids, to --rows rows
(default 10^8) and written as partitioned Parquet (files of --rows-per-file rows, sorted by
transaction) into a temporary folder. Each is then mined:

- single machine: `tallyfold.frequent_itemsets` on the rows as one `Baskets`, in a fresh
  process (the rows are loaded before timing; peak memory is that process's high-water mark);
- Dask: `tallyfold.dask.frequent_itemsets` on `read_parquet(..., index="txn",
  calculate_divisions=True)` (known divisions: no shuffle), on a LocalCluster of 1 and of 2
  worker processes with one thread each; peak memory is each worker's high-water mark.

Every Dask result is checked against the single-machine one (same itemsets and counts).
Time per 10^8 rows scales each time by the rows actually mined, so runs at 1 and 2 workers
compare directly. With --shuffle, the 2-worker run also reads the files without an index,
so the rows pass through the shuffle on the transaction column.

Run from the repository root:  .venv/bin/python bench/bench_dask.py [--rows 100000000]
"""

from __future__ import annotations

import argparse
import multiprocessing
import shutil
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

sys.path.insert(0, str(Path(__file__).resolve().parent))
from peak_memory import status_kib  # noqa: E402

REPO_ROOT = Path(__file__).resolve().parent.parent
DATA = (REPO_ROOT / ".." / "shared" / "data").resolve()
CASES = {"retail": ("retail.dat", 0.001), "T10I4D100K": ("T10I4D100K.dat", 0.001)}


def write_replicas(name: str, folder: Path, rows: int, rows_per_file: int) -> int:
    """Copies of the data set with fresh transaction ids; returns the rows written."""
    import tallyfold as tf
    base = tf.read_baskets(DATA / CASES[name][0])
    txn = base.txn_ids
    labels = np.asarray(base.item_labels, dtype=np.int64)[base.item_ids]
    n_txn = int(txn.max()) + 1
    copies = max(1, round(rows / txn.shape[0]))
    per_file = max(1, rows_per_file // txn.shape[0])
    folder.mkdir(parents=True)
    for first in range(0, copies, per_file):
        count = min(per_file, copies - first)
        offsets = np.repeat(np.arange(first, first + count, dtype=np.int64) * n_txn, txn.shape[0])
        table = pa.table({"txn": np.tile(txn, count) + offsets, "item": np.tile(labels, count)})
        pq.write_table(table, folder / f"part-{first // per_file:04d}.parquet")
    return copies * txn.shape[0]


def single_machine(folder: str, min_support: float, out: multiprocessing.Queue) -> None:
    import tallyfold as tf
    table = pq.read_table(folder)
    baskets = tf.Baskets.from_long(table, transaction="txn", item="item")
    del table
    start = time.perf_counter()
    result = tf.frequent_itemsets(baskets, min_support)
    seconds = time.perf_counter() - start
    out.put((seconds, status_kib("VmHWM") / 2**20, len(result), int(result["count"].sum())))


def worker_peak_gib() -> float:
    return status_kib("VmHWM") / 2**20


def on_cluster(folder: str, min_support: float, workers: int, shuffle: bool) -> tuple:
    import dask.dataframe as dd
    import distributed

    import tallyfold.dask as tfd
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=40,
                                  memory_limit=0) as cluster, distributed.Client(cluster) as c:
        if shuffle:
            ddf = dd.read_parquet(folder)
        else:
            ddf = dd.read_parquet(folder, index="txn", calculate_divisions=True)
        start = time.perf_counter()
        result = tfd.frequent_itemsets(ddf, "txn", "item", min_support)
        seconds = time.perf_counter() - start
        peaks = sorted(c.run(worker_peak_gib).values())
    return seconds, peaks, len(result), int(result["count"].sum())


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=float, default=1e8)
    parser.add_argument("--rows-per-file", type=float, default=1e7)
    parser.add_argument("--shuffle", action="store_true")
    parser.add_argument("--cases", nargs="*", default=list(CASES))
    args = parser.parse_args(argv)
    scratch = Path(tempfile.mkdtemp(prefix="tallyfold-bench-dask-"))
    print(f"{'data':<11} {'rows':>12} {'engine':<22} {'seconds':>8} {'s/1e8 rows':>10} "
          f"{'peak GiB':>16} {'itemsets':>9}")
    try:
        for name in args.cases:
            if not (DATA / CASES[name][0]).exists():
                print(f"{name}: {DATA / CASES[name][0]} missing, skipped")
                continue
            folder = scratch / name
            rows = write_replicas(name, folder, int(args.rows), int(args.rows_per_file))
            min_support = CASES[name][1]
            scale = 1e8 / rows

            queue = multiprocessing.get_context("spawn").Queue()
            child = multiprocessing.get_context("spawn").Process(
                target=single_machine, args=(str(folder), min_support, queue))
            child.start()
            seconds, peak, n_sets, total = queue.get()
            child.join()
            print(f"{name:<11} {rows:>12,} {'single machine':<22} {seconds:>8.1f} "
                  f"{seconds * scale:>10.1f} {peak:>16.2f} {n_sets:>9,}", flush=True)

            runs = [(1, False), (2, False)] + ([(2, True)] if args.shuffle else [])
            for workers, shuffle in runs:
                d_seconds, peaks, d_sets, d_total = on_cluster(str(folder), min_support,
                                                               workers, shuffle)
                if (d_sets, d_total) != (n_sets, total):
                    print(f"MISMATCH: {d_sets} itemsets (count sum {d_total}) vs "
                          f"{n_sets} ({total})")
                label = f"dask {workers} worker{'s' if workers > 1 else ''}" + \
                    (" +shuffle" if shuffle else "")
                shown = "/".join(f"{p:.2f}" for p in peaks)
                print(f"{name:<11} {rows:>12,} {label:<22} {d_seconds:>8.1f} "
                      f"{d_seconds * scale:>10.1f} {shown:>16} {d_sets:>9,}", flush=True)
            shutil.rmtree(folder)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
