"""Concurrent calls and the interpreter lock."""

import os
import random
import threading
import time

import numpy as np
import pytest

import _tallyfold
from child import assert_clean_exit, run_child
from reference import as_arrays, itemset_rows


def _data(seed, n=40_000):
    rng = random.Random(seed)
    return as_arrays([set(rng.sample(range(300), rng.randint(2, 12))) for _ in range(n)])


def test_concurrent_calls_match_sequential_ones():
    """Calls share only the pool: results of simultaneous calls must not mix."""
    inputs = [_data(seed, 5_000) for seed in range(4)]
    w = np.zeros(0)
    expected = [itemset_rows(_tallyfold.rust_compute_pipeline_v3_adaptive(t, i, 3, 300, 0.002, w))
                for t, i in inputs]
    pairs_expected = [_tallyfold.rust_compute_pairs(t, i, 300)["instances"] for t, i in inputs]
    results = [None] * 8

    def work(slot):
        t, i = inputs[slot % 4]
        results[slot] = (
            itemset_rows(_tallyfold.rust_compute_pipeline_v3_adaptive(t, i, 3, 300, 0.002, w)),
            _tallyfold.rust_compute_pairs(t, i, 300)["instances"])

    threads = [threading.Thread(target=work, args=(s,)) for s in range(8)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    for slot, (sets, instances) in enumerate(results):
        assert sets == expected[slot % 4]
        np.testing.assert_array_equal(instances, pairs_expected[slot % 4])


def test_other_threads_run_while_an_engine_works():
    """The heavy part runs with the interpreter lock released: another Python thread keeps
    running in the middle of a call. With the lock held it could only run between calls."""
    txn, item = _data(7, 400_000)
    stamps = []
    running = True

    def tick():
        while running:
            stamps.append(time.perf_counter())
            time.sleep(0.0005)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        time.sleep(0.01)
        start = time.perf_counter()
        _tallyfold.rust_compute_pairs(txn, item, 300, 0.0)
        end = time.perf_counter()
    finally:
        running = False
        ticker.join()
    margin = (end - start) / 5
    assert end - start > 0.02, "the call is too short to tell"
    assert any(start + margin < s < end - margin for s in stamps)


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two CPUs")
def test_pool_threads_keep_the_cpus_they_may_use():
    """Workers are moved to CPUs of their own when they join the pool, never pinned there:
    after calls (after idle spells too, when they join anew), every thread of the process
    may still run on every CPU the process may use."""
    assert_clean_exit(run_child("""
        import glob, os, time
        import numpy as np, _tallyfold
        rng = np.random.default_rng(3)
        txn = np.repeat(np.arange(20_000), 8)
        item = rng.integers(0, 200, txn.size).astype(np.int32)
        for _ in range(4):
            _tallyfold.rust_eclat_pipeline(txn, item, 3, 200, 0.001)
            time.sleep(0.05)
        tids = [int(p.split("/")[4]) for p in glob.glob("/proc/self/task/*")]
        masks = {tid: os.sched_getaffinity(tid) for tid in tids}
        assert len(masks) > 2, masks
        assert all(m == os.sched_getaffinity(0) for m in masks.values()), masks
    """))
