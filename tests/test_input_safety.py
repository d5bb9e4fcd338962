"""Input arrays that are misaligned or written to by another thread during a call."""

import random

import numpy as np
import pytest

from all_functions import FUNCTIONS, call, canonical
from child import assert_clean_exit, run_child
from reference import as_arrays


def _misaligned(array):
    """A read-only copy of `array` that starts one byte into a bytes buffer."""
    raw = b"\0" + np.ascontiguousarray(array).tobytes()
    view = np.frombuffer(raw, dtype=array.dtype, offset=1, count=array.size)
    return view.reshape(array.shape)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_misaligned_arrays_read_like_aligned_ones(name):
    """Views at an odd byte offset used to be read with plain loads (undefined behaviour)."""
    rng = random.Random(11)
    txn, item = as_arrays([set(rng.sample(range(15), rng.randint(1, 7))) for _ in range(400)],
                          txn_ids=[rng.randrange(-10**12, 10**12) for _ in range(400)])
    weights = np.array([rng.random() for _ in range(15)])
    freq = np.array([[a, b] for a in range(15) for b in range(a + 1, 15) if (a + b) % 3],
                    dtype=np.int32)
    args = dict(k_max=3, min_support=0.01, cap=4)
    aligned = call(name, txn, item, 15, weights=weights, freq=freq, **args)
    shifted = [_misaligned(a) for a in (txn, item, weights, freq)]
    assert all(a.ctypes.data % a.itemsize for a in shifted)
    odd = call(name, shifted[0], shifted[1], 15, weights=shifted[2], freq=shifted[3], **args)
    assert canonical(odd) == canonical(aligned)


def test_a_writer_thread_cannot_crash_a_call():
    """A thread writes a huge and a valid id alternately into item_ids (and new ids into
    txn_ids) while the engines run with the lock released. A value checked in one pass and
    read again in another used to send the index build out of bounds. Each call must return
    or raise PanicException for the bad id; the process must not crash."""
    proc = run_child("""
        import random, threading, time
        import numpy as np, _tallyfold
        from all_functions import FUNCTIONS, call

        rng = np.random.default_rng(1)
        rows = 200_000
        txn = np.repeat(np.arange(rows // 5, dtype=np.int64), 5)
        item = rng.integers(0, 60, rows).astype(np.int32)
        weights = rng.random(60)
        freq = np.array([[a, b] for a in range(60) for b in range(a + 1, 60)], dtype=np.int32)
        stop = False

        def write():
            flip = 0
            while not stop:
                item[-3] = 50_000_000 if flip else 7
                txn[-3] = flip * 10**15 + 3
                txn[5] = -flip
                flip ^= 1

        writer = threading.Thread(target=write)
        writer.start()
        outcomes = {name: [0, 0] for name in FUNCTIONS}
        deadline = time.monotonic() + 2.5
        try:
            while time.monotonic() < deadline:
                for name in FUNCTIONS:
                    try:
                        call(name, txn, item, 60, weights=weights, freq=freq, k_max=3,
                             min_support=0.01, cap=8)
                        outcomes[name][0] += 1
                    except _tallyfold.PanicException as fault:
                        assert "index out of bounds" in str(fault), fault
                        outcomes[name][1] += 1
        finally:
            stop = True
            writer.join()
        assert all(sum(v) > 0 for v in outcomes.values()), outcomes
        print("ok", outcomes)
    """, timeout=300)
    assert_clean_exit(proc)
    assert proc.stdout.startswith("ok")
