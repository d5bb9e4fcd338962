"""Running a snippet in a fresh interpreter, for faults that would take the test process
down with them (a crash, an exhausted address space)."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

TESTS = os.path.dirname(os.path.abspath(__file__))


def run_child(code: str, address_space: int | None = None, timeout: float = 120.0,
              env: dict | None = None):
    """Runs `code` with the tests directory on sys.path and `env` added to the environment.
    With `address_space` (bytes), the child's soft RLIMIT_AS is set to it before `code` runs;
    the hard limit stays, so the child can lift it again. Returns the CompletedProcess."""
    prelude = "import resource, sys\nsys.path.insert(0, %r)\n" % TESTS
    if address_space is not None:
        prelude += ("_hard = resource.getrlimit(resource.RLIMIT_AS)[1]\n"
                    "resource.setrlimit(resource.RLIMIT_AS, (%d, _hard))\n" % address_space)
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout,
                          env={**os.environ, **(env or {})})


def assert_clean_exit(proc) -> None:
    assert proc.returncode == 0, (
        f"child exited with {proc.returncode}\n--- stdout\n{proc.stdout}\n--- stderr\n"
        f"{proc.stderr[-4000:]}")


def interrupt_child(argv: list[str], after: float = 1.0, timeout: float = 120.0):
    """Starts `argv`, waits for its first line of output ("ready"), sends SIGINT `after`
    seconds later and waits for it to end. Returns (returncode, stdout, stderr, sent), `sent`
    being the time.monotonic() of the signal, which the child's own stamps are compared with."""
    import signal
    import time
    child = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        first = child.stdout.readline()
        assert first.strip() == "ready", first + child.stderr.read()
        time.sleep(after)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=timeout)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    return child.returncode, out, err, sent
