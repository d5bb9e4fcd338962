"""The ``tallyfold`` command: mine a basket file from the shell.

A thin shell over the package: ``itemsets``, ``rules`` and ``pairs`` read a file with
`read_baskets`, call `frequent_itemsets`, `association_rules` or `pairs`, and write the frame
to CSV, TSV, Parquet or JSON lines (by the extension of ``-o``) or show its top rows. Usage
mistakes exit with 2, data errors with 1, each with one line on standard error; Ctrl-C exits
with 130.

>>> import pathlib, tempfile
>>> path = pathlib.Path(tempfile.mkdtemp()) / "shop.dat"
>>> _ = path.write_text("milk bread\\nmilk eggs\\nmilk bread\\n")
>>> main(["itemsets", str(path), "--min-support", "2", "--no-progress"])
 support  count   itemsets  length
1.000000      3       milk       1
0.666667      2      bread       1
0.666667      2 bread milk       2
0
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Sequence
from typing import Any

import pandas as pd

from . import _limits
from .io import read_baskets
from .itemsets import ALGORITHMS, TARGETS, frequent_itemsets
from .pairs import PAIR_COLUMNS, pairs
from .rules import RULE_COLUMNS, RULE_METRICS, association_rules

PROG = "tallyfold"
OUTPUT_FORMATS = (".csv", ".tsv", ".parquet", ".jsonl", ".ndjson")
DEFAULT_TOP = 20
EXIT_DATA_ERROR = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
_SET_COLUMNS = ("itemsets", "antecedents", "consequents")

EXAMPLES = """\
examples:
  tallyfold itemsets retail.dat --min-support 0.01
  tallyfold itemsets orders.csv --transaction order_id --item product --min-support 50 \\
      --max-len 3 -o itemsets.parquet
  tallyfold rules orders.parquet --transaction order_id --item product --min-support 0.02 \\
      --metric lift --min-threshold 1.2 --sort lift --top 20
  tallyfold pairs baskets.txt --sep , --min-support 0.001 -o pairs.jsonl
"""


class UsageError(Exception):
    """A mistake in the command line, found after parsing (exit code 2)."""


def _min_support(text: str) -> float | int:
    """'0.01' is a fraction, '10' a count, as in the Python functions."""
    try:
        return int(text)
    except ValueError:
        pass
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected a fraction in (0, 1] or a count >= 1, got {text!r}") from None


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected an integer >= 1, got {text!r}")
    return value


def _real(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None


def _memory(text: str) -> int:
    try:
        return _limits.max_memory(int(text) if text.isdigit() else text)
    except (TypeError, ValueError) as exc:
        raise argparse.ArgumentTypeError(str(exc).removeprefix("max_memory: ")) from None


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Frequent itemsets, association rules and pair statistics of a basket "
                    "file.",
        epilog=EXAMPLES)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, help_text: str, columns: Sequence[str]) -> argparse.ArgumentParser:
        sub = commands.add_parser(
            name, help=help_text, description=help_text, epilog=EXAMPLES,
            formatter_class=argparse.RawDescriptionHelpFormatter)
        files = sub.add_argument_group("input")
        files.add_argument("input", help="a .csv, .tsv or .parquet long table (with "
                           "--transaction and --item) or a .dat/.txt file, one basket a line")
        files.add_argument("--transaction", help="column of transaction ids (long tables)")
        files.add_argument("--item", help="column of item labels (long tables)")
        files.add_argument("--sep", help="item separator of a .dat/.txt file (default: blanks)")
        out = sub.add_argument_group("output")
        out.add_argument("-o", "--output", help="write every row to this file, format by "
                         "extension: " + ", ".join(OUTPUT_FORMATS) + " (default: show the "
                         f"top rows on the terminal)")
        out.add_argument("--sort", choices=columns, metavar="COLUMN",
                         help="sort rows by this column, largest first (one of: "
                         + ", ".join(columns) + ")")
        out.add_argument("--ascending", action="store_true", help="sort smallest first")
        out.add_argument("--top", type=_positive_int, metavar="N",
                         help=f"keep the first N rows (default on the terminal: {DEFAULT_TOP})")
        out.add_argument("--item-sep", default=" ", metavar="TEXT",
                         help="joins the labels of an itemset in CSV/TSV output and on the "
                         "terminal (default: a blank)")
        progress = out.add_mutually_exclusive_group()
        progress.add_argument("--progress", dest="progress", action="store_true", default=None,
                              help="show a progress bar (default: when stderr is a terminal)")
        progress.add_argument("--no-progress", dest="progress", action="store_false")
        return sub

    def mining_options(sub: argparse.ArgumentParser, support_required: bool) -> None:
        mining = sub.add_argument_group("mining")
        mining.add_argument("--min-support", type=_min_support, required=support_required,
                            metavar="S", help="a fraction of the baskets in (0, 1], or a "
                            "count (an integer >= 1)")
        mining.add_argument("--max-len", type=_positive_int, metavar="N",
                            help="largest itemset size (default: no limit)")
        mining.add_argument("--target", choices=TARGETS, default="all",
                            help="all frequent itemsets, or the closed or maximal ones")
        mining.add_argument("--algorithm", choices=ALGORITHMS, default="auto", metavar="NAME",
                            help="force one engine: " + ", ".join(ALGORITHMS))
        mining.add_argument("--threads", type=_positive_int, metavar="N",
                            help="worker threads (default: every core)")
        mining.add_argument("--max-itemsets", type=_positive_int, metavar="N",
                            help="stop with an error past this many itemsets")
        mining.add_argument("--max-memory", type=_memory, metavar="SIZE",
                            help="stop with an error past this much memory, e.g. 8GB "
                            "(default: 80%% of the available memory)")

    itemsets = command("itemsets", "Frequent itemsets of every size.",
                       ("support", "count", "itemsets", "length"))
    mining_options(itemsets, True)
    rules = command("rules", "Association rules between frequent itemsets.", RULE_COLUMNS)
    mining_options(rules, True)
    rule_options = rules.add_argument_group("rules")
    rule_options.add_argument("--metric", choices=RULE_METRICS, default="confidence",
                              metavar="NAME", help="the measure the threshold applies to: "
                              + ", ".join(RULE_METRICS) + " (default: confidence)")
    rule_options.add_argument("--min-threshold", type=_real, default=0.8, metavar="X",
                              help="keep rules whose metric is at least X (default: 0.8)")
    rule_options.add_argument("--support-only", action="store_true",
                              help="compute only the support of each rule")
    pair_command = command("pairs", "Count and seven metrics of every co-occurring pair.",
                           PAIR_COLUMNS)
    pair_command.add_argument_group("mining").add_argument(
        "--min-support", type=_min_support, default=0.0, metavar="S",
        help="keep pairs in at least this fraction (or count) of the baskets (default: all)")
    return parser


def _check_output(path: str | None) -> None:
    if path is None:
        return
    extension = os.path.splitext(path)[1].lower()
    if extension not in OUTPUT_FORMATS:
        raise UsageError(f"-o: expected a file ending in one of {', '.join(OUTPUT_FORMATS)}, "
                         f"got {path!r}")


def _label_key(label: Any) -> tuple[str, Any]:
    return (type(label).__name__, label if isinstance(label, (int, float, str)) else str(label))


def _sorted_labels(itemset: frozenset) -> list:
    try:
        return sorted(itemset, key=_label_key)
    except TypeError:
        return sorted(itemset, key=str)


def _flatten_sets(frame: pd.DataFrame, joiner: str | None) -> pd.DataFrame:
    """Itemset columns as lists of sorted labels, or as text when `joiner` is given."""
    frame = frame.copy()
    for column in _SET_COLUMNS:
        if column in frame.columns:
            lists = [_sorted_labels(s) for s in frame[column]]
            frame[column] = ([joiner.join(map(str, labels)) for labels in lists]
                             if joiner is not None else lists)
    return frame


def _write(frame: pd.DataFrame, path: str, item_sep: str) -> None:
    extension = os.path.splitext(path)[1].lower()
    if extension in (".csv", ".tsv"):
        _flatten_sets(frame, item_sep).to_csv(path, index=False,
                                              sep="," if extension == ".csv" else "\t")
    elif extension == ".parquet":
        _flatten_sets(frame, None).to_parquet(path, index=False)
    else:
        _write_json_lines(_flatten_sets(frame, None), path)


def _json_value(value: Any) -> Any:
    """NumPy scalars and other label types, as JSON can hold them."""
    if hasattr(value, "item"):
        return value.item()
    return str(value)


def _write_json_lines(frame: pd.DataFrame, path: str) -> None:
    """One object per row. Infinite and NaN metrics (a conviction of a certain rule) are
    written as the tokens Infinity and NaN, which Python's json reads back, rather than as
    null, which would lose the difference."""
    columns = list(frame.columns)
    with open(path, "w", encoding="utf-8") as out:
        for row in zip(*(frame[c].tolist() for c in columns)):
            out.write(json.dumps(dict(zip(columns, row)), default=_json_value))
            out.write("\n")


def _show(frame: pd.DataFrame, total: int, item_sep: str) -> None:
    shown = _flatten_sets(frame, item_sep)
    with pd.option_context("display.max_columns", None, "display.width", 200,
                           "display.max_colwidth", 60):
        print(shown.to_string(index=False) if len(shown) else "(no rows)")
    if total > len(frame):
        print(f"... {len(frame)} of {total} rows shown (--top N for more, -o FILE for all)")


def _run(args: argparse.Namespace) -> None:
    progress = sys.stderr.isatty() if args.progress is None else args.progress
    baskets = read_baskets(args.input, args.transaction, args.item, sep=args.sep,
                           progress=progress)
    if args.command == "pairs":
        frame = pairs(baskets, args.min_support, progress=progress)
    else:
        frame = frequent_itemsets(
            baskets, args.min_support, max_len=args.max_len, target=args.target,
            algorithm=args.algorithm, threads=args.threads, max_itemsets=args.max_itemsets,
            max_memory=args.max_memory, progress=progress)
        if args.command == "rules":
            frame = association_rules(frame, metric=args.metric,
                                      min_threshold=args.min_threshold,
                                      support_only=args.support_only, threads=args.threads,
                                      progress=progress)
    if args.sort is not None:
        frame = frame.sort_values(args.sort, ascending=args.ascending, kind="stable")
    total = len(frame)
    top = args.top if args.top is not None else (None if args.output else DEFAULT_TOP)
    if top is not None:
        frame = frame.head(top)
    if args.output:
        _write(frame, args.output, args.item_sep)
    else:
        _show(frame, total, args.item_sep)


def _one_line(exc: BaseException) -> str:
    text = " ".join(str(exc).split()) or type(exc).__name__
    return text if isinstance(exc, (ValueError, TypeError)) else f"{type(exc).__name__}: {text}"


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with ``argv`` (default: ``sys.argv[1:]``); return the exit code."""
    parser = _parser()
    try:
        try:
            args = parser.parse_args(argv)
        except SystemExit as exit_:  # --help, or a usage error already printed
            return int(exit_.code or 0)
        try:
            _check_output(args.output)
        except UsageError as exc:
            parser.print_usage(sys.stderr)
            print(f"{PROG}: error: {exc}", file=sys.stderr)
            return EXIT_USAGE
        try:
            _run(args)
        except (ValueError, TypeError, OSError, MemoryError, RuntimeError) as exc:
            print(f"{PROG}: error: {_one_line(exc)}", file=sys.stderr)
            return EXIT_DATA_ERROR
        except Exception as exc:  # a reader's own error types (Arrow's, for one)
            print(f"{PROG}: error: {_one_line(exc)}", file=sys.stderr)
            return EXIT_DATA_ERROR
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return EXIT_INTERRUPTED
    return 0


__all__ = ["main"]
