"""The ``tallyfold`` command line: every subcommand on every input format, output files read
back and compared with the Python API, exit codes and one-line messages, and Ctrl-C."""

import json
import os
import signal
import subprocess
import sys
import time

import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import tallyfold as tf
from tallyfold.cli import main

BASKETS = [["milk", "bread"], ["milk", "eggs"], ["milk", "bread", "eggs"], ["bread"],
           ["milk", "bread"], ["tea"]]
LONG = pd.DataFrame([(t, i) for t, basket in enumerate(BASKETS) for i in basket],
                    columns=["order", "product"])


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """The same baskets in every format read_baskets knows, with the options each needs."""
    folder = tmp_path_factory.mktemp("inputs")
    long_args = ["--transaction", "order", "--item", "product"]
    LONG.to_csv(folder / "b.csv", index=False)
    LONG.to_csv(folder / "b.tsv", index=False, sep="\t")
    pq.write_table(pa.Table.from_pandas(LONG, preserve_index=False), folder / "b.parquet")
    (folder / "b.dat").write_text("\n".join(" ".join(b) for b in BASKETS) + "\n")
    (folder / "b.txt").write_text("\n".join(",".join(b) for b in BASKETS) + "\n")
    return {"csv": (folder / "b.csv", long_args), "tsv": (folder / "b.tsv", long_args),
            "parquet": (folder / "b.parquet", long_args), "dat": (folder / "b.dat", []),
            "txt": (folder / "b.txt", ["--sep", ","])}


def _read_back(path, set_columns):
    """An output file as a frame whose itemset columns are frozensets again."""
    if path.suffix in (".csv", ".tsv"):
        frame = pd.read_csv(path, sep="," if path.suffix == ".csv" else "\t",
                            keep_default_na=False)
        for column in set_columns:
            frame[column] = [frozenset(text.split(" ")) for text in frame[column]]
    else:
        frame = (pd.read_parquet(path) if path.suffix == ".parquet" else
                 pd.DataFrame([json.loads(line) for line in path.read_text().splitlines()]))
        for column in set_columns:
            frame[column] = [frozenset(labels) for labels in frame[column]]
    return frame


def _expected(command, baskets):
    if command == "itemsets":
        return tf.frequent_itemsets(baskets, 0.3), ["itemsets"]
    if command == "rules":
        return (tf.association_rules(tf.frequent_itemsets(baskets, 0.3), min_threshold=0.5),
                ["antecedents", "consequents"])
    return tf.pairs(baskets, 0.3), []


COMMANDS = {"itemsets": ["--min-support", "0.3"],
            "rules": ["--min-support", "0.3", "--min-threshold", "0.5"],
            "pairs": ["--min-support", "0.3"]}


@pytest.mark.parametrize("fmt", ["csv", "tsv", "parquet", "dat", "txt"])
@pytest.mark.parametrize("command", sorted(COMMANDS))
@pytest.mark.parametrize("out", [".csv", ".parquet", ".jsonl"])
def test_output_files_match_the_python_api(inputs, tmp_path, fmt, command, out):
    path, extra = inputs[fmt]
    target = tmp_path / f"result{out}"
    assert main([command, str(path), *extra, *COMMANDS[command], "-o", str(target),
                 "--no-progress"]) == 0
    expected, set_columns = _expected(command, tf.Baskets.from_lists(BASKETS))
    got = _read_back(target, set_columns)
    assert list(got.columns) == list(expected.columns)
    assert len(got) == len(expected) > 0
    for column in expected.columns:
        if column in set_columns or column in ("antecedent", "consequent"):
            assert list(got[column]) == list(expected[column]), column
        elif column == "count":
            assert list(got[column]) == list(expected[column])
        else:
            pd.testing.assert_series_equal(got[column].astype(float),
                                           expected[column].astype(float),
                                           check_names=False, rtol=1e-12)


def test_terminal_table_top_rows_sorted(inputs, capsys):
    path, extra = inputs["dat"]
    assert main(["rules", str(path), "--min-support", "2", "--min-threshold", "0",
                 "--sort", "lift", "--top", "2", "--no-progress"]) == 0
    out = capsys.readouterr().out.splitlines()
    rules = tf.association_rules(tf.frequent_itemsets(tf.Baskets.from_lists(BASKETS), 2),
                                 min_threshold=0)
    best = rules.sort_values("lift", ascending=False, kind="stable").head(2)
    assert "antecedents" in out[0] and "lift" in out[0]
    assert len(out) == 1 + 2 + 1 and out[-1].startswith(f"... 2 of {len(rules)} rows")
    for line, (_, row) in zip(out[1:3], best.iterrows()):
        assert f"{row['lift']:.3g}" in line
        assert " ".join(sorted(row["antecedents"])) in line


def test_ascending_sort_and_file_top(inputs, tmp_path):
    path, extra = inputs["csv"]
    target = tmp_path / "top.csv"
    assert main(["itemsets", str(path), *extra, "--min-support", "1", "--sort", "count",
                 "--ascending", "--top", "3", "-o", str(target)]) == 0
    got = pd.read_csv(target, keep_default_na=False)
    assert len(got) == 3 and list(got["count"]) == sorted(got["count"])
    assert got["count"].iloc[0] == 1


def test_itemset_options_reach_the_api(inputs, tmp_path):
    path, _ = inputs["dat"]
    target = tmp_path / "maximal.jsonl"
    assert main(["itemsets", str(path), "--min-support", "2", "--max-len", "2", "--target",
                 "maximal", "--algorithm", "classic", "--threads", "1", "--max-itemsets",
                 "100", "--max-memory", "1GB", "-o", str(target)]) == 0
    expected = tf.frequent_itemsets(tf.Baskets.from_lists(BASKETS), 2, max_len=2,
                                    target="maximal")
    got = [json.loads(line) for line in target.read_text().splitlines()]
    assert [frozenset(row["itemsets"]) for row in got] == list(expected["itemsets"])


def test_help_has_examples(capsys):
    assert main(["--help"]) == 0
    assert "examples:" in capsys.readouterr().out
    assert main(["rules", "--help"]) == 0
    help_text = capsys.readouterr().out
    for option in ("--metric", "--min-threshold", "--support-only", "--max-memory",
                   "--max-itemsets", "--target", "--algorithm", "--threads", "--sort"):
        assert option in help_text


@pytest.mark.parametrize("argv, fragment", [
    ([], "required"),
    (["mine", "x.dat"], "invalid choice"),
    (["itemsets", "x.dat"], "--min-support"),
    (["itemsets", "x.dat", "--min-support", "lots"], "--min-support"),
    (["itemsets", "x.dat", "--min-support", "0.1", "--max-len", "0"], "--max-len"),
    (["itemsets", "x.dat", "--min-support", "0.1", "--max-memory", "8 parsecs"],
     "--max-memory"),
    (["itemsets", "x.dat", "--min-support", "0.1", "--sort", "lift"], "--sort"),
    (["rules", "x.dat", "--min-support", "0.1", "--metric", "luck"], "--metric"),
    (["pairs", "x.dat", "-o", "out.xlsx"], "-o: expected a file ending in one of"),
])
def test_usage_errors_exit_2(argv, fragment, capsys):
    assert main(argv) == 2
    err = capsys.readouterr().err
    assert fragment in err and "Traceback" not in err
    assert err.splitlines()[-1].startswith("tallyfold")


@pytest.mark.parametrize("make, argv, fragment", [
    (None, ["itemsets", "{missing}", "--min-support", "0.1"], "No such file"),
    ("order,product\n1,a\n", ["itemsets", "{path}.csv", "--min-support", "0.1"],
     "transaction: expected a column name"),
    ("order,product\n1,a\n", ["itemsets", "{path}.csv", "--transaction", "order", "--item",
                              "sku", "--min-support", "0.1"], "sku"),
    ("a b\n", ["itemsets", "{path}.xls", "--min-support", "0.1"], "path: expected a file"),
    ("not parquet", ["pairs", "{path}.parquet", "--transaction", "t", "--item", "i"], "error"),
    ("a b\nb c\n", ["itemsets", "{path}.dat", "--min-support", "1.5"], "min_support"),
    ("a b c d\n" * 3, ["itemsets", "{path}.dat", "--min-support", "1", "--max-itemsets", "3"],
     "max_itemsets=3"),
])
def test_data_errors_exit_1_with_one_line(tmp_path, make, argv, fragment, capsys):
    base = tmp_path / "data"
    if make is not None:
        suffix = argv[1].split("}")[1]
        (tmp_path / f"data{suffix}").write_text(make)
    argv = [a.replace("{path}", str(base)).replace("{missing}", str(tmp_path / "no.dat"))
            for a in argv]
    assert main(argv) == 1
    err = capsys.readouterr().err
    assert len(err.strip().splitlines()) == 1 and fragment in err
    assert err.startswith("tallyfold: error: ")


def _run_cli(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "tallyfold", *args], capture_output=True,
                          text=True, timeout=120, **kwargs)


def test_python_dash_m_and_exit_codes(inputs):
    path, _ = inputs["dat"]
    ok = _run_cli("pairs", str(path))
    assert ok.returncode == 0 and "antecedent" in ok.stdout and ok.stderr == ""
    bad = _run_cli("pairs", str(path), "--min-support", "2.5")
    assert bad.returncode == 1 and bad.stderr.count("\n") == 1


def test_ctrl_c_exits_130_without_traceback(tmp_path):
    """A long run on a terminal-less stderr: SIGINT a second in, exit 130 within a second."""
    import numpy as np
    rng = np.random.default_rng(7)
    lines = [" ".join(map(str, np.flatnonzero(r))) for r in rng.random((3000, 48)) < 0.5]
    data = tmp_path / "dense.dat"
    data.write_text("\n".join(lines) + "\n")
    proc = subprocess.Popen([sys.executable, "-m", "tallyfold", "itemsets", str(data),
                             "--min-support", "0.01", "--max-memory", "1TB", "--progress"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        # The mining bar's first draw (after the reading bar) says the mining has started.
        seen = ""
        while "itemsets" not in seen:
            char = proc.stderr.read(1)
            assert char, seen
            seen += char
        time.sleep(1.0)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
        ended = time.monotonic()
    finally:
        proc.kill()
        proc.wait()
    limit = 5.0 if "libasan" in os.environ.get("LD_PRELOAD", "") else 1.0
    assert proc.returncode == 130, err
    assert "Traceback" not in err and "KeyboardInterrupt" not in err
    assert ended - sent < limit
