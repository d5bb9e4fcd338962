"""Memory shortage: every function raises MemoryError, whatever stage runs out, and the module
keeps working in the same process."""

import pytest

from all_functions import PIPELINES
from child import assert_clean_exit, run_child

# One heap for all threads and large blocks always mapped on their own, so that what the
# process has mapped is what it uses: a limit set just above it then leaves the call only
# the headroom it names, whichever thread allocates.
_SETTLED_MALLOC = {"MALLOC_ARENA_MAX": "1", "MALLOC_MMAP_THRESHOLD_": "131072"}


# Shared by the children: the process's mapped size after giving free heap back.
_ADDRESS_SPACE = """
def address_space():
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
"""

# Every test here runs a child under an address-space limit.
pytestmark = pytest.mark.address_space_limit


def test_every_function_raises_memory_error_under_a_tight_limit():
    """The bitmap variants used to abort or segfault in the bitmap library when an allocation
    failed, and a hash table whose growth failed freed a block it never owned (about one run
    in twenty aborted with "free(): invalid pointer"). Each function runs under address-space limits a little above what the process
    already uses, so the shortage strikes at different stages of the call; a call that
    completes must give the full result, and a small call afterwards its usual one."""
    proc = run_child("""
        import ctypes, resource
        import numpy as np, _tallyfold
        from all_functions import FUNCTIONS, call, canonical
        ADDRESS_SPACE = %r

        exec(ADDRESS_SPACE)

        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        rng = np.random.default_rng(2)
        rows = 300_000
        txn = np.repeat(np.arange(rows // 6, dtype=np.int64), 6)
        item = rng.integers(0, 40, rows).astype(np.int32)
        weights = rng.random(40)
        freq = np.array([[a, b] for a in range(40) for b in range(a + 1, 40)], dtype=np.int32)
        small_txn, small_item = txn[:3000].copy(), item[:3000].copy()
        args = dict(weights=weights, freq=freq, k_max=4, min_support=0.002)
        small = {n: canonical(call(n, small_txn, small_item, 40, **args)) for n in FUNCTIONS}
        full = {n: canonical(call(n, txn, item, 40, **args)) for n in FUNCTIONS}

        report = {}
        for name in FUNCTIONS:
            outcomes = []
            for extra_mb in (0, 2, 5, 8, 11, 30):
                resource.setrlimit(resource.RLIMIT_AS, (address_space() + extra_mb * 2**20, hard))
                try:
                    result = call(name, txn, item, 40, **args)
                    outcomes.append("ok")
                except MemoryError:
                    outcomes.append("MemoryError")
                finally:
                    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
                if outcomes[-1] == "ok":
                    assert canonical(result) == full[name], name
                again = canonical(call(name, small_txn, small_item, 40, **args))
                assert again == small[name], name
            # Heap the process already holds can serve a call the first limit meant to starve;
            # two limits that both leave the call enough are not a test of shortage.
            assert "MemoryError" in outcomes[:2], (name, outcomes)
            report[name] = outcomes
        print("ok", report)
    """ % _ADDRESS_SPACE, timeout=600, env=_SETTLED_MALLOC)
    assert_clean_exit(proc)
    assert proc.stdout.startswith("ok")


BITMAP_PIPELINES = [n for n in PIPELINES if n.endswith(("roaring", "memo", "adaptive", "prefilter"))]


@pytest.mark.parametrize("name", BITMAP_PIPELINES)
def test_bitmap_variants_raise_memory_error_while_building_bitmaps(name):
    """Dense data whose transaction bitmaps outweigh the index, so that most limits of the
    ladder strike while bitmaps are built or intersected: the bitmap library used to abort
    or segfault there."""
    proc = run_child("""
        import ctypes, resource
        import numpy as np, _tallyfold
        from all_functions import call, canonical
        exec(%r)

        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        present = np.random.default_rng(3).random((20_000, 16)) < 0.6
        txn, item = (a.astype(t) for a, t in zip(np.nonzero(present), (np.int64, np.int32)))
        args = dict(k_max=5, min_support=0.05)
        full = canonical(call(%r, txn, item, 16, **args))
        outcomes = []
        # From 1 MiB up: the Roaring counter holds only one bitmap per item on data this dense.
        for extra_mb in (1, 2, 4, *range(6, 46, 5)):
            resource.setrlimit(resource.RLIMIT_AS, (address_space() + extra_mb * 2**20, hard))
            try:
                result = call(%r, txn, item, 16, **args)
                outcomes.append("ok")
            except MemoryError:
                outcomes.append("MemoryError")
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
            if outcomes[-1] == "ok":
                assert canonical(result) == full
        assert "MemoryError" in outcomes, outcomes
        print("ok", outcomes)
    """ % (_ADDRESS_SPACE, name, name), timeout=600, env=_SETTLED_MALLOC)
    assert_clean_exit(proc)
    assert proc.stdout.startswith("ok")
