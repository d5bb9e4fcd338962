"""Limits that raise and progress bars of the package's mining functions.

A run past ``max_itemsets`` or ``max_memory`` must raise with how far it got, never return a
shorter result; a shortage of real memory must be a MemoryError, not an abort; Ctrl-C must
stop a package call as it stops the low-level ones."""

import sys
import textwrap

import pytest

import tallyfold as tf
from child import assert_clean_exit, interrupt_child, run_child
from conftest import UNDER_ASAN
from tallyfold import _limits
from tallyfold.itemsets import ALGORITHMS

LATENCY_LIMIT = 5.0 if UNDER_ASAN else 1.0

# Twelve items in every basket: all 4095 non-empty subsets are frequent.
FULL = tf.Baskets.from_lists([[f"i{j}" for j in range(12)]] * 5 + [["i0"]])


@pytest.mark.parametrize("algorithm", ALGORITHMS)
def test_itemset_limit_raises_with_counts(algorithm):
    """Every engine stops past the limit; none hands back the first max_itemsets rows."""
    with pytest.raises(tf.ResultLimitError) as info:
        tf.frequent_itemsets(FULL, 0.5, algorithm=algorithm, max_itemsets=300)
    error = info.value
    assert error.itemsets_found > 300 and error.limit == 300
    text = str(error)
    assert "max_itemsets=300" in text and "min_support" in text and "max_len" in text
    assert f"{error.itemsets_found:,} itemsets found" in text


@pytest.mark.parametrize("algorithm", ["eclat", "pipeline", "v6_gating", "classic"])
def test_limit_equal_to_the_result_returns_all_of_it(algorithm):
    """A limit is a ceiling on a complete result, not a cut: at exactly the size, all rows."""
    full = tf.frequent_itemsets(FULL, 0.5, algorithm=algorithm)
    assert len(full) == 4095
    limited = tf.frequent_itemsets(FULL, 0.5, algorithm=algorithm, max_itemsets=4095,
                                   max_memory="1GB")
    assert limited.equals(full)


def test_level_wise_limit_says_levels_done():
    with pytest.raises(tf.ResultLimitError) as info:
        tf.frequent_itemsets(FULL, 0.5, algorithm="v3_adaptive", max_itemsets=100)
    # Levels 1 (12) and 2 (66) fit; level 3 (220) passes the limit.
    assert info.value.levels_done == 3 and info.value.itemsets_found == 12 + 66 + 220
    assert "3 levels done" in str(info.value)


def test_memory_limit_raises_a_memory_error_subclass():
    with pytest.raises(tf.MemoryLimitError) as info:
        tf.frequent_itemsets(FULL, 0.5, max_memory=20_000)
    assert isinstance(info.value, MemoryError)
    assert "max_memory=20.0 kB" in str(info.value) and "min_support" in str(info.value)
    # The working data alone can be past the limit: the run stops before mining.
    with pytest.raises(tf.MemoryLimitError) as info:
        tf.frequent_itemsets(FULL, 0.5, max_memory=100)
    assert info.value.itemsets_found == 0


def test_default_memory_limit_is_a_share_of_available_memory():
    available = _limits.available_memory()
    assert available is not None and available > 0
    assert _limits.max_memory(None) == pytest.approx(available * 0.8, rel=0.2)


@pytest.mark.parametrize("value, expected", [
    (1, 1), (4096, 4096), ("8GB", 8 * 10**9), ("512 MiB", 512 * 2**20), ("1.5g", 1.5e9),
    ("100", 100), ("2kb", 2000), ("1TiB", 2**40),
])
def test_max_memory_sizes(value, expected):
    assert _limits.max_memory(value) == expected


@pytest.mark.parametrize("value, error", [
    (0, ValueError), (-5, ValueError), ("8 parsecs", ValueError), ("", ValueError),
    ("0GB", ValueError), (1.5, TypeError), (True, TypeError), (b"8GB", TypeError),
])
def test_bad_max_memory_is_named(value, error):
    with pytest.raises(error, match="^max_memory: expected"):
        tf.frequent_itemsets(FULL, 0.5, max_memory=value)


@pytest.mark.parametrize("value, error", [(0, ValueError), (2.0, TypeError), ("9", TypeError)])
def test_bad_max_itemsets_is_named(value, error):
    with pytest.raises(error, match="^max_itemsets: expected"):
        tf.frequent_itemsets(FULL, 0.5, max_itemsets=value)


def test_progress_bar_only_when_asked(capsys):
    tf.frequent_itemsets(FULL, 0.5)
    tf.association_rules(tf.frequent_itemsets(FULL, 0.9), min_threshold=0.5)
    tf.pairs(FULL)
    assert capsys.readouterr().err == ""
    frequent = tf.frequent_itemsets(FULL, 0.5, progress=True)
    err = capsys.readouterr().err
    assert "itemsets" in err and "4,095 itemsets" in err
    tf.association_rules(frequent, min_threshold=0.5, progress=True)
    assert "rules" in capsys.readouterr().err
    tf.pairs(FULL, progress=True)
    assert "pairs" in capsys.readouterr().err


def test_progress_callback_reports_top_level_items():
    """The engine's counters reach the callable while the run goes (a long run, so the
    50 ms look happens many times) and its exception stops the run."""
    from tallyfold import _engine
    import numpy as np
    rng = np.random.default_rng(3)
    txn, item = np.nonzero(rng.random((3000, 40)) < 0.5)
    seen = []

    def report(done, total, levels, found):
        seen.append((done, total, found))
        if sum(1 for _, known, _ in seen if known) == 3:
            raise RuntimeError("enough")

    with pytest.raises(RuntimeError, match="enough"):
        _engine.mine_itemsets(txn.astype(np.int64), item.astype(np.int32), 40, 30, 0, "eclat",
                              "all", 0, 0, 0, report)
    # A look that comes while the index is still being built knows nothing yet.
    assert all(entry == (0, 0, 0) for entry in seen if entry[1] == 0)
    known = [entry for entry in seen if entry[1] != 0]
    assert len(known) == 3 and all(total == 40 for _, total, _ in known)
    assert [found for *_, found in known] == sorted(found for *_, found in known)
    with pytest.raises(TypeError, match="progress"):
        _engine.mine_itemsets(txn.astype(np.int64), item.astype(np.int32), 40, 30, 0, "eclat",
                              "all", 0, 0, 0, 42)


def test_progress_must_be_a_bool():
    with pytest.raises(TypeError, match="^progress: expected True or False"):
        tf.frequent_itemsets(FULL, 0.5, progress=1)


# A long package call: forty items in every other basket, far too many itemsets to finish.
_LONG_CALL = textwrap.dedent("""
    import sys, time
    import numpy as np
    import tallyfold as tf
    rng = np.random.default_rng(7)
    rows = [list(np.flatnonzero(r)) for r in rng.random((3000, 48)) < 0.5]
    baskets = tf.Baskets.from_lists(rows)
    threads = None if sys.argv[1] == "all" else int(sys.argv[1])
    print("ready", flush=True)
    start = time.monotonic()
    try:
        tf.frequent_itemsets(baskets, 0.01, threads=threads, max_memory="1TB",
                             algorithm=sys.argv[2])
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
""")


@pytest.mark.parametrize("threads, algorithm", [("all", "auto"), ("1", "auto"),
                                                ("all", "v6_gating")])
def test_ctrl_c_stops_a_package_call(threads, algorithm):
    returncode, out, err, sent = interrupt_child([sys.executable, "-c", _LONG_CALL, threads,
                                                  algorithm], timeout=60)
    assert returncode == 0, err
    word, when = out.split()
    assert word == "interrupted" and float(when) - sent < LATENCY_LIMIT


_LONG_RULES = textwrap.dedent("""
    import time
    import numpy as np
    import tallyfold as tf
    rng = np.random.default_rng(7)
    rows = [list(np.flatnonzero(r)) for r in rng.random((2000, 26)) < 0.6]
    frequent = tf.frequent_itemsets(tf.Baskets.from_lists(rows), 40)  # 1,067,449 itemsets
    print("ready", flush=True)
    try:
        # Tens of millions of candidate rules, none kept: several seconds of work (at count 60
        # they took little more than the second before the signal, which then came too late).
        tf.association_rules(frequent, min_threshold=2.0)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
""")


def test_ctrl_c_stops_rule_generation():
    _, out, err, sent = interrupt_child([sys.executable, "-c", _LONG_RULES])
    word, when = out.split()
    assert word == "interrupted" and float(when) - sent < LATENCY_LIMIT, err


@pytest.mark.address_space_limit
def test_allocation_failure_in_the_miner_is_memory_error():
    """Under an address-space limit the miner runs out of real memory before its estimate
    reaches the (lifted) max_memory: the failure must surface as MemoryError, and the next
    call in the same process must work."""
    proc = run_child("""
        import resource
        import numpy as np
        import tallyfold as tf

        def mapped():
            with open("/proc/self/status") as status:
                for line in status:
                    if line.startswith("VmSize:"):
                        return int(line.split()[1]) * 1024

        rng = np.random.default_rng(7)
        rows = [list(np.flatnonzero(r)) for r in rng.random((2000, 30)) < 0.6]
        baskets = tf.Baskets.from_lists(rows)
        small = tf.Baskets.from_lists([["a", "b"], ["a"]])
        tf.frequent_itemsets(small, 1)  # threads and modules in place before the limit
        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        resource.setrlimit(resource.RLIMIT_AS, (mapped() + 300 * 2**20, hard))
        try:
            tf.frequent_itemsets(baskets, 0.02, max_memory="1TB")
        except MemoryError as error:
            assert not isinstance(error, tf.MemoryLimitError), error
            print("MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        assert len(tf.frequent_itemsets(small, 1)) == 3
    """, env={"MALLOC_ARENA_MAX": "1"})
    assert_clean_exit(proc)
    assert proc.stdout.strip() == "MemoryError"


@pytest.mark.parametrize("name, text, columns", [
    ("b.csv", "t,i\n1,a\n1,b\n2,a\n", ("t", "i")),
    ("b.tsv", "t\ti\n1\ta\n1\tb\n2\ta\n", ("t", "i")),
    ("b.dat", "a b\na\n", (None, None)),
])
def test_reading_bar_reads_the_same_baskets(tmp_path, capsys, name, text, columns):
    """The bar reads through a counting file object; the baskets must not change."""
    path = tmp_path / name
    path.write_text(text)
    plain = tf.read_baskets(path, *columns)
    assert capsys.readouterr().err == ""
    shown = tf.read_baskets(path, *columns, progress=True)
    err = capsys.readouterr().err
    assert "reading" in err and f"{len(text)}/{len(text)}" in err.replace(".00", "").replace(".0", "")
    assert shown.item_labels == plain.item_labels
    assert (shown.txn_ids == plain.txn_ids).all() and (shown.item_ids == plain.item_ids).all()
