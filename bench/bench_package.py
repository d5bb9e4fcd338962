#!/usr/bin/env python3
"""The tallyfold package beside pyfim and mlxtend, as a user calls each of them.

(a) Frequent itemsets of every size: tallyfold from `Baskets` to its DataFrame, pyfim eclat,
    fpgrowth and apriori given the same transactions as lists, mlxtend fpgrowth given its
    one-hot DataFrame; on retail (0.001), T10I4D100K (0.001), mushroom (0.1),
    chess (0.6) and groceries (count 10).
(b) End to end on groceries: from a pandas long DataFrame of (order, product name) rows to
    association rules. tallyfold: Baskets.from_long, frequent_itemsets, association_rules;
    pyfim: the DataFrame -> lists step its user writes, then its rule target; mlxtend: the same
    lists, TransactionEncoder, fpgrowth, association_rules.

Every measurement runs in a worker process of its own, which prepares its input before any
timing, checks its result size, makes one warm-up call and then times --repeat calls (median
reported). Peak memory is the rise of the worker's resident-set high-water mark over its size
before the first timed call. Workers of a case run in shuffled order (fixed seed). A call that
outlives --timeout is ended and shown as "timeout". The data files are read from the shared
folder beside the repository; a missing file or peer is skipped with a note.

Run from the repository root:  .venv/bin/python bench/bench_package.py [--repeat 3]
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import random
import statistics
import subprocess
import sys
import time
from pathlib import Path

from peak_memory import reset_peak, status_kib

REPO_ROOT = Path(__file__).resolve().parent.parent
DATA = (REPO_ROOT / ".." / "shared" / "data").resolve()
SHUFFLE_SEED = 20240607

# (dataset, min_support as tallyfold takes it: a fraction or an absolute count)
ITEMSET_CASES = (("retail", 0.001), ("T10I4D100K", 0.001), ("mushroom", 0.1), ("chess", 0.6),
                 ("groceries", 10))
ITEMSET_ENGINES = ("tallyfold", "pyfim eclat", "pyfim fpgrowth", "pyfim apriori",
                   "mlxtend fpgrowth")
# mlxtend mines a one-hot table; on these it runs for many minutes (dense chess at 0.6 has
# about 255,000 itemsets, retail 16,470 columns), so it is left out and the table says so.
MLXTEND_SKIP = {"retail": "16,470 one-hot columns: many minutes",
                "chess": "255,000 itemsets at 0.6: many minutes"}
RULE_MIN_COUNT = 10
RULE_CONFIDENCE = 0.5
RULE_ENGINES = ("tallyfold", "pyfim arules", "mlxtend")


# -- inputs -----------------------------------------------------------------------------------

def basket_lists(name: str) -> list[list[int]]:
    with open(DATA / f"{name}.dat") as f:
        return [[int(x) for x in line.split()] for line in f if line.strip()]


def groceries_long():
    """groceries as the long table a shop would export: (order, product name) rows."""
    import pandas as pd
    labels = pd.read_csv(DATA / "groceries_items.tsv", sep="\t")["label"].tolist()
    orders, products = [], []
    for order, basket in enumerate(basket_lists("groceries")):
        orders.extend([order] * len(basket))
        products.extend(labels[i] for i in basket)
    return pd.DataFrame({"order": orders, "product": products})


def min_count(min_support: float | int, n: int) -> int:
    return min_support if isinstance(min_support, int) else math.ceil(min_support * n)


# -- one worker: prepare, check, time ---------------------------------------------------------

def prepare_itemsets(engine: str, dataset: str, min_support: float | int):
    """(call, size_of_result) with the input built before any timing."""
    import tallyfold as tf
    lists = basket_lists(dataset)
    count = min_count(min_support, len(lists))
    if engine == "tallyfold":
        baskets = tf.Baskets.from_lists(lists)
        return (lambda: tf.frequent_itemsets(baskets, min_support)), len
    if engine.startswith("pyfim"):
        import fim
        miner = getattr(fim, engine.split()[1])
        return (lambda: miner(lists, target="s", supp=-count, zmin=1, report="a")), len
    import pandas as pd
    from mlxtend.frequent_patterns import fpgrowth
    from mlxtend.preprocessing import TransactionEncoder
    encoder = TransactionEncoder().fit(lists)
    # Dense: mlxtend refuses a sparse column without any False (mushroom has one).
    onehot = pd.DataFrame(encoder.transform(lists), columns=encoder.columns_)
    return (lambda: fpgrowth(onehot, min_support=count / len(lists), use_colnames=True)), len


def prepare_rules(engine: str):
    import pandas as pd
    import tallyfold as tf
    table = groceries_long()
    n = table["order"].nunique()
    if engine == "tallyfold":
        def call():
            baskets = tf.Baskets.from_long(table, transaction="order", item="product")
            itemsets = tf.frequent_itemsets(baskets, RULE_MIN_COUNT)
            return tf.association_rules(itemsets, metric="confidence",
                                        min_threshold=RULE_CONFIDENCE)
        return call, len

    def lists():
        return table.groupby("order", sort=False)["product"].agg(list).tolist()
    if engine == "pyfim arules":
        import fim
        # zmin=2: a rule needs a non-empty antecedent; mode "o": the support threshold applies
        # to antecedent and consequent together, as in the other two (pyfim's default is the
        # antecedent alone).
        return (lambda: fim.arules(lists(), supp=-RULE_MIN_COUNT, conf=100 * RULE_CONFIDENCE,
                                   zmin=2, report="aC", mode="o")), len
    from mlxtend.frequent_patterns import association_rules, fpgrowth
    from mlxtend.preprocessing import TransactionEncoder

    def mlxtend_call():
        data = lists()
        encoder = TransactionEncoder().fit(data)
        onehot = pd.DataFrame(encoder.transform(data), columns=encoder.columns_)
        itemsets = fpgrowth(onehot, min_support=RULE_MIN_COUNT / n, use_colnames=True)
        return association_rules(itemsets, n, metric="confidence",
                                 min_threshold=RULE_CONFIDENCE)
    return mlxtend_call, len


def worker_main(config: dict) -> None:
    if config["part"] == "itemsets":
        call, size = prepare_itemsets(config["engine"], config["dataset"], config["min_support"])
    else:
        call, size = prepare_rules(config["engine"])
    result = call()  # warm-up; also the size check
    extra = {}
    if config["engine"] == "tallyfold" and config["part"] == "itemsets":
        extra["result_mib"] = result.memory_usage(deep=True).sum() / 2**20
    n_results = size(result)
    del result
    gc.collect()
    base_kib = status_kib("VmRSS")
    peak_known = reset_peak()
    times = []
    for _ in range(config["repeat"]):
        t0 = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - t0)
        del result
    peak_mib = (status_kib("VmHWM") - base_kib) / 1024 if peak_known else float("nan")
    print(json.dumps({"seconds": statistics.median(times), "n": n_results,
                      "peak_mib": peak_mib, **extra}), flush=True)


# -- the parent: run workers, print tables ----------------------------------------------------

def run_worker(config: dict, timeout: float) -> dict:
    try:
        done = subprocess.run([sys.executable, __file__, "--worker", json.dumps(config)],
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"status": f"timeout (> {timeout:g} s)"}
    if done.returncode != 0:
        last = (done.stderr.strip().splitlines() or ["no output"])[-1]
        return {"status": f"failed: {last[:70]}"}
    return json.loads(done.stdout.strip().splitlines()[-1])


def peer_missing(engine: str) -> str | None:
    from importlib.util import find_spec
    module = {"pyfim": "fim", "mlxtend": "mlxtend"}.get(engine.split()[0])
    return f"{module} not installed" if module and find_spec(module) is None else None


def measure(configs: list[dict], timeout: float, rng: random.Random) -> dict[str, dict]:
    outcomes = {}
    for config in rng.sample(configs, len(configs)):
        missing = peer_missing(config["engine"])
        outcomes[config["engine"]] = ({"status": f"skipped: {missing}"} if missing
                                      else run_worker(config, timeout))
    return outcomes


def print_table(title: str, engines: tuple[str, ...], outcomes: dict[str, dict],
                skipped: dict[str, str]) -> None:
    print(f"\n{title}")
    header = f"{'engine':<18} {'seconds':>9} {'peak MiB':>9} {'results':>9}  note"
    print(header)
    print("-" * len(header))
    for engine in engines:
        if engine in skipped:
            print(f"{engine:<18} {'-':>9} {'-':>9} {'-':>9}  skipped: {skipped[engine]}")
            continue
        o = outcomes[engine]
        if "seconds" not in o:
            print(f"{engine:<18} {'-':>9} {'-':>9} {'-':>9}  {o['status']}")
            continue
        note = f"result {o['result_mib']:.1f} MiB" if "result_mib" in o else ""
        print(f"{engine:<18} {o['seconds']:>9.4f} {o['peak_mib']:>9.1f} {o['n']:>9,}  {note}")


def ratios(outcomes: dict[str, dict], peers: tuple[str, ...], mlxtend: str) -> str:
    ours = outcomes.get("tallyfold", {}).get("seconds")
    if ours is None:
        return "tallyfold has no time"
    timed = {p: outcomes[p]["seconds"] for p in peers if "seconds" in outcomes.get(p, {})}
    parts = []
    if timed:
        best = min(timed, key=timed.get)
        parts.append(f"tallyfold / fastest pyfim ({best}) = {ours / timed[best]:.2f}")
    if "seconds" in outcomes.get(mlxtend, {}):
        parts.append(f"mlxtend / tallyfold = {outcomes[mlxtend]['seconds'] / ours:.1f}x")
    return "; ".join(parts) or "no peer timed"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3, help="timed calls per measurement")
    parser.add_argument("--timeout", type=float, default=600.0,
                        help="seconds one worker may take")
    parser.add_argument("--datasets", nargs="*", default=[c[0] for c in ITEMSET_CASES])
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker_main(json.loads(args.worker))
        return 0
    if args.repeat < 1:
        parser.error("--repeat must be at least 1")
    rng = random.Random(SHUFFLE_SEED)
    print(f"tallyfold package benchmark: {os.cpu_count()} CPUs (tallyfold uses all of them), "
          f"median of {args.repeat} timed calls after one warm-up, peak = RSS high-water rise")

    for dataset, min_support in ITEMSET_CASES:
        if dataset not in args.datasets:
            continue
        if not (DATA / f"{dataset}.dat").is_file():
            print(f"\n{dataset}: skipped, {DATA / (dataset + '.dat')} is missing")
            continue
        skipped = {"mlxtend fpgrowth": MLXTEND_SKIP[dataset]} if dataset in MLXTEND_SKIP else {}
        configs = [{"part": "itemsets", "engine": e, "dataset": dataset,
                    "min_support": min_support, "repeat": args.repeat}
                   for e in ITEMSET_ENGINES if e not in skipped]
        outcomes = measure(configs, args.timeout, rng)
        label = f"count {min_support}" if isinstance(min_support, int) else f"{min_support}"
        print_table(f"(a) {dataset}, min_support {label}: Baskets/lists -> itemsets of every "
                    f"size", ITEMSET_ENGINES, outcomes, skipped)
        print("    " + ratios(outcomes, ITEMSET_ENGINES[1:4], "mlxtend fpgrowth"))

    if "groceries" in args.datasets and (DATA / "groceries_items.tsv").is_file():
        configs = [{"part": "rules", "engine": e, "repeat": args.repeat} for e in RULE_ENGINES]
        outcomes = measure(configs, args.timeout, rng)
        print_table(f"(b) groceries end to end: pandas long DataFrame -> rules (count >= "
                    f"{RULE_MIN_COUNT}, confidence >= {RULE_CONFIDENCE}; pyfim's rules have "
                    f"one-item consequents)", RULE_ENGINES, outcomes, {})
        print("    " + ratios(outcomes, ("pyfim arules",), "mlxtend"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
