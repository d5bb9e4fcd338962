"""The memo pipelines on sparse data, where anchors extend by prefix: level 2's sets are made
group by group from the index as level 3 reads them, each later level keeps its sets back to
back (as lists, or as bitsets once a list would be no smaller, in every memo counter but the
first), and one walk of an anchor's transactions lists each chosen sibling's; where the pairs
weigh evenly, every level above them is counted depth first instead. Every memo pipeline
against brute force and the baseline on shapes that reach these steps and both sides of each
choice, on one CPU as on two. Where no later level reads a group of pairs' sets, a dense
group is held as bitsets over its rows and counted by ANDs: the theme and common-item shapes
have groups of both kinds (themes and common items as bitsets, the rest walked). The skewed
shape lists its large groups' runs both ways: by a scan of the prefix item's transactions,
and from the siblings' own transactions."""

import os
import random

import numpy as np
import pytest

import _tallyfold
from reference import as_arrays, frequent_of_rows, itemset_rows, pipeline_arrays_on_one_cpu

MEMO = ["rust_compute_pipeline_v2_memo", "rust_compute_pipeline_v3_adaptive",
        "rust_compute_pipeline_v5_prefilter", "rust_compute_pipeline_v6_gating"]
KEYS = ["itemsets", "counts", "lower_itemsets", "lower_counts", "item_counts",
        "n_transactions"]
N_ITEMS = 204
CUT = 6


def _skewed_rows(seed, n_rows=3000):
    """Four common items in about half the baskets each, beside three or four of 200 rare
    ones drawn with long-tailed popularity: the pairs' average count stays under N/32 (94),
    so the pipelines take no transaction bitsets, while the common items' pairs and triples
    hold N/16 (188) transactions or more, where a bitset is no larger than the list of gaps
    (bitsets in the adaptive memo), and the rest fewer (lists)."""
    rng = random.Random(seed)
    weights = [1.0 / (r + 1) for r in range(200)]
    rows = []
    for _ in range(n_rows):
        row = {i for i in range(4) if rng.random() < 0.5}
        row |= {4 + r for r in rng.choices(range(200), weights, k=rng.choice((3, 4)))}
        rows.append(row)
    return rows


@pytest.fixture(scope="module")
def skewed():
    rows = _skewed_rows(5)
    return rows, *as_arrays(rows)


def _call(name, txn, item, k_max, cut, n_rows, n_items=N_ITEMS):
    # A count as a fraction: ceil((cut - 0.5) / N * N) is cut.
    return getattr(_tallyfold, name)(txn, item, k_max, n_items, (cut - 0.5) / n_rows,
                                     np.zeros(0))


def _assert_memo_matches(baseline, txn, item, k_max, cut, n_rows, n_items=N_ITEMS,
                         want=None, want_lower=None):
    """Every memo pipeline gives the baseline's arrays exactly and, when given, brute force's
    rows and counts."""
    for name in MEMO:
        result = _call(name, txn, item, k_max, cut, n_rows, n_items)
        if want is not None:
            assert itemset_rows(result) == want, name
            assert itemset_rows(result, "lower_") == want_lower, name
        for key in KEYS:
            np.testing.assert_array_equal(result[key], baseline[key], err_msg=f"{name} {key}")


def _assert_one_cpu_and_two_agree(tmp_path, txn, item, n_rows, n_items):
    """Every memo pipeline at k_max 4 and 5 gives the same arrays on one CPU as on two."""
    if len(os.sched_getaffinity(0)) < 2:
        pytest.skip("needs two CPUs")
    support = (CUT - 0.5) / n_rows
    runs = [(name, k_max, support) for name in MEMO for k_max in (4, 5)]
    on_one = pipeline_arrays_on_one_cpu(tmp_path, txn, item, runs, n_items, KEYS)
    for (name, k_max, _), one in zip(runs, on_one):
        two = _call(name, txn, item, k_max, CUT, n_rows, n_items)
        assert len(two["counts"]) > 10
        for key in KEYS:
            np.testing.assert_array_equal(one[key], two[key], err_msg=f"{name} {k_max} {key}")


def test_shape_reaches_each_step(skewed):
    """Sparse for the pipelines (pairs average under N/32), with sets on both sides of the
    adaptive memo's bitset limit at levels 2 and 3, levels 2 and 3 past 500 anchors (counted
    on the pool), and non-empty levels up to 6, with level 7 empty."""
    rows, _, _ = skewed
    pairs = frequent_of_rows(rows, 2, CUT)
    assert sum(pairs.values()) * 32 < len(rows) * len(pairs)
    limit = (len(rows) + 15) // 16
    for k in (2, 3):
        counts = frequent_of_rows(rows, k, CUT).values()
        assert min(counts) < limit <= max(counts) and len(counts) > 500
    assert frequent_of_rows(rows, 6, CUT) and not frequent_of_rows(rows, 7, CUT)


@pytest.mark.parametrize("k_max", [3, 4, 5, 6, 7])
def test_sparse_levels_match_brute_force(skewed, k_max):
    """k_max 3 counts level 3 from the pairs' sets; 4 counts both top levels from them; 5
    to 7 carry the sets of each level up to k_max - 2, and 7 finds an empty top. Rows, counts and order as brute force gives
    them, and the baseline's arrays exactly."""
    rows, txn, item = skewed
    want_lower = frequent_of_rows(rows, k_max - 1, CUT)
    want = frequent_of_rows(rows, k_max, CUT)
    baseline = _call("rust_compute_pipeline", txn, item, k_max, CUT, len(rows))
    _assert_memo_matches(baseline, txn, item, k_max, CUT, len(rows), want=want,
                         want_lower=want_lower)


def _add_rare_pairs(rows, rng, first_item, n_pairs=1500, baskets=8):
    """Puts each of `n_pairs` pairs of new items, from `first_item` on, in exactly `baskets`
    random baskets: many rare pairs keep the pairs' average count far under N/32."""
    for p in range(n_pairs):
        pair = {first_item + 2 * p, first_item + 1 + 2 * p}
        for t in rng.sample(range(len(rows)), baskets):
            rows[t] |= pair


def _wide_rows(seed, n_rows=70000):
    """Item 0 in every basket and items 1-9 in half of them, beside rare items: the pairs of
    item 0 hold 35,000 transactions each, so its group's sets (315,000) are listed in runs
    and anchor (0, 1)'s siblings (room for 280,000) are counted before the kept are listed.
    Each of 1,500 rare pairs sits in exactly eight baskets, which keeps the pairs' average
    count far under N/32; 100 rare triples sit in the last basket and seven among the first
    4,000, so their sets hold a gap past 16 bits."""
    rng = random.Random(seed)
    rows = [{0} | {i for i in range(1, 10) if rng.random() < 0.5} for _ in range(n_rows)]
    _add_rare_pairs(rows, rng, 10)
    for p in range(100):
        triple = {3010 + 3 * p, 3011 + 3 * p, 3012 + 3 * p}
        for t in [n_rows - 1] + rng.sample(range(4000), 7):
            rows[t] |= triple
    return rows


@pytest.mark.parametrize("k_max", [3, 4, 5])
def test_large_groups_match_the_baseline(k_max):
    rows = _wide_rows(7)
    txn, item = as_arrays(rows)
    n_items = 3310
    counts = np.bincount(item, minlength=n_items)
    assert counts[0] == len(rows) and 8 * counts[1:10].min() > 1 << 17
    cut = 8
    baseline = _call("rust_compute_pipeline", txn, item, k_max, cut, len(rows), n_items)
    assert len(baseline["counts"]) > 50
    if k_max == 3:  # sparse: the pairs' average count is under N/32
        pair_counts = baseline["lower_counts"]
        assert pair_counts.sum() < len(pair_counts) * len(rows) / 32
    _assert_memo_matches(baseline, txn, item, k_max, cut, len(rows), n_items)


def test_one_cpu_and_two_give_the_same_arrays(skewed, tmp_path):
    """Anchors are cut into ranges by the number of threads and each range keeps its own part
    of a level's sets; rows, counts and order are the same on one CPU as on two."""
    rows, txn, item = skewed
    _assert_one_cpu_and_two_agree(tmp_path, txn, item, len(rows), N_ITEMS)


def _pair_weight_share(rows, cut):
    """The heaviest frequent pair's share of all pairs' weights, a pair weighing its count
    times one more than its later siblings (the pairs after it with the same first item)."""
    pairs = sorted(frequent_of_rows(rows, 2, cut).items())
    weights = [count * (1 + sum(1 for (a, _), _ in pairs[p + 1:] if a == first))
               for p, ((first, _), count) in enumerate(pairs)]
    return max(weights) / sum(weights)


def _theme_rows(seed, n_rows=3000):
    """Twenty themes of five items (of 100): each basket holds a whole theme or four of its
    items, and one stray; two hundred rare pairs sit in exactly six baskets each. The pairs
    weigh evenly (the heaviest well under 3 % of them all), so every level above them is
    counted depth first; the pairs' average count stays under N/32 (no bitsets); levels 3 to
    5 are non-empty at count 6 and level 6 is empty."""
    rng = random.Random(seed)
    rows = []
    for _ in range(n_rows):
        first = 5 * rng.randrange(20)
        theme = list(range(first, first + 5))
        kept = set(theme if rng.random() < 0.5 else rng.sample(theme, 4))
        rows.append(kept | {rng.randrange(100)})
    _add_rare_pairs(rows, rng, 100, n_pairs=200, baskets=6)
    return rows


@pytest.fixture(scope="module")
def themed():
    rows = _theme_rows(11)
    return rows, *as_arrays(rows)


def test_theme_shape_reaches_the_depth_first_walk(themed):
    rows, _, _ = themed
    pairs = frequent_of_rows(rows, 2, CUT)
    assert sum(pairs.values()) * 32 < len(rows) * len(pairs)
    assert _pair_weight_share(rows, CUT) < 0.03
    assert frequent_of_rows(rows, 5, CUT) and not frequent_of_rows(rows, 6, CUT)


@pytest.mark.parametrize("k_max", [4, 5, 6, 7, 2**64 - 1])
def test_depth_first_levels_match_brute_force(themed, k_max):
    """Levels counted depth first from the pairs: k_max 4 and 5 return non-empty top levels,
    6 an empty top over level 5, and 7 and beyond the empty level 6 below the top two, which
    empties both. Rows, counts and order as brute force gives them, and the baseline's arrays
    exactly."""
    rows, txn, item = themed
    want_lower = frequent_of_rows(rows, min(k_max - 1, 6), CUT)
    want = frequent_of_rows(rows, min(k_max, 7), CUT) if want_lower else {}
    baseline = _call("rust_compute_pipeline", txn, item, k_max, CUT, len(rows), 500)
    _assert_memo_matches(baseline, txn, item, k_max, CUT, len(rows), 500, want=want,
                         want_lower=want_lower)


def _common_rows(seed, n_rows=60000):
    """Sixteen items in half the baskets each, beside 1,500 rare pairs in eight baskets
    each: the pairs weigh evenly enough for the depth-first walk (the heaviest about 2 % of
    them all), average under N/32 (no bitsets), and a triple's 7,500 transactions against
    its twelve later siblings pass the listing budget, so the walk counts before it lists."""
    rng = random.Random(seed)
    rows = [{i for i in range(16) if rng.random() < 0.5} for _ in range(n_rows)]
    _add_rare_pairs(rows, rng, 16)
    return rows


@pytest.mark.parametrize("k_max", [4, 5, 6])
def test_depth_first_large_sets_match_the_baseline(k_max):
    rows = _common_rows(13)
    txn, item = as_arrays(rows)
    n_items = 3016
    cut = 8
    if k_max == 4:
        assert _pair_weight_share(rows, cut) < 0.03
    baseline = _call("rust_compute_pipeline", txn, item, k_max, cut, len(rows), n_items)
    pair_counts = _call("rust_compute_pipeline", txn, item, 2, cut, len(rows), n_items)["lower_counts"]
    assert pair_counts.sum() < len(pair_counts) * len(rows) / 32
    assert len(baseline["counts"]) > 1000
    _assert_memo_matches(baseline, txn, item, k_max, cut, len(rows), n_items)


def test_depth_first_one_cpu_and_two_give_the_same_arrays(themed, tmp_path):
    """The depth-first walk's ranges of pairs differ with the number of threads; rows,
    counts and order do not."""
    rows, txn, item = themed
    _assert_one_cpu_and_two_agree(tmp_path, txn, item, len(rows), 500)


def _hub_rows(seed, n_rows=4000):
    """Item 0 in every basket beside two to five of 400 rare items drawn with long-tailed
    popularity: item 0's group of pairs has over a hundred siblings, and most of its anchors
    hold far fewer transactions than they have siblings above them, so the memo counters
    that count every sibling above an anchor count only those its walk meets; the most
    popular rare items' anchors hold hundreds and are counted sibling by sibling."""
    rng = random.Random(seed)
    weights = [1.0 / (r + 1) for r in range(400)]
    return [{0} | {1 + r for r in rng.choices(range(400), weights, k=rng.choice((2, 3, 4, 5)))}
            for _ in range(n_rows)]


@pytest.mark.parametrize("k_max", [3, 4, 5])
def test_hub_group_matches_brute_force(k_max):
    rows = _hub_rows(17)
    txn, item = as_arrays(rows)
    cut = 5
    pairs = frequent_of_rows(rows, 2, cut)
    hub_counts = sorted(count for (a, _), count in pairs.items() if a == 0)
    assert len(hub_counts) > 128 and hub_counts[len(hub_counts) // 2] * 4 < len(hub_counts) // 2
    want_lower = frequent_of_rows(rows, k_max - 1, cut)
    want = frequent_of_rows(rows, k_max, cut)
    assert want_lower and (want or k_max == 5)  # no five items share five baskets
    baseline = _call("rust_compute_pipeline", txn, item, k_max, cut, len(rows), 401)
    _assert_memo_matches(baseline, txn, item, k_max, cut, len(rows), 401, want=want,
                         want_lower=want_lower)
