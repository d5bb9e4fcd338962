"""Progress bars for long calls, drawn by tqdm on standard error."""

from __future__ import annotations

import io
import os
from collections.abc import Callable
from typing import Any

from tqdm import tqdm

from . import _validation as check


def wanted(progress: Any) -> bool:
    """The ``progress`` argument: True or False."""
    return check.flag(progress, "progress")


class MiningBar:
    """A bar fed by the native miner's counters: top-level items (or levels) done.

    `callback` is handed to the engine, which calls it about every 50 ms while its counters
    change; the bar is closed by `close`, also when the run fails.
    """

    def __init__(self, description: str) -> None:
        self._bar = tqdm(total=None, desc=description, unit=" branches",
                         dynamic_ncols=True)

    def callback(self) -> Callable[[int, int, int, int], None]:
        def update(done: int, total: int, levels_done: int, itemsets_found: int) -> None:
            if total and self._bar.total != total:
                self._bar.total = total
            if levels_done:
                self._bar.unit = " levels"
            self._bar.n = done
            self._bar.set_postfix_str(f"{itemsets_found:,} itemsets", refresh=False)
            self._bar.refresh()
        return update

    def finish(self, itemsets_found: int) -> None:
        if self._bar.total:
            self._bar.n = self._bar.total
        self._bar.set_postfix_str(f"{itemsets_found:,} itemsets", refresh=False)
        self._bar.refresh()

    def close(self) -> None:
        self._bar.close()


class StepBar:
    """A bar over the named steps of a call that has no finer counter (rules, pairs)."""

    def __init__(self, description: str, steps: int, enabled: bool) -> None:
        self._bar = tqdm(total=steps, desc=description, unit=" steps",
                         disable=not enabled, dynamic_ncols=True)

    def step(self, name: str) -> None:
        self._bar.set_postfix_str(name, refresh=False)
        self._bar.update(1)

    def close(self) -> None:
        self._bar.close()


class CountingFile(io.FileIO):
    """A file whose reads advance a bar of bytes read, for the readers that take file objects.

    The readers parse exactly what they would parse from the path, so a bar never changes a
    result; only the bytes pass through Python on their way.
    """

    def __init__(self, path: str, description: str) -> None:
        super().__init__(path, "rb")
        self._bar = tqdm(total=os.fstat(self.fileno()).st_size, desc=description, unit="B",
                         unit_scale=True, dynamic_ncols=True)

    def _advance(self, count: int | None) -> None:
        # Parquet reads its footer more than once: the bar stops at the file's size.
        if count:
            self._bar.update(min(count, self._bar.total - self._bar.n))

    def readinto(self, buffer: Any) -> int | None:
        count = super().readinto(buffer)
        self._advance(count)
        return count

    def read(self, size: int = -1) -> bytes:
        data = super().read(size)
        self._advance(len(data))
        return data

    def readall(self) -> bytes:
        data = super().readall()
        self._advance(len(data))
        return data

    def close(self) -> None:
        if not self.closed:
            self._bar.close()
        super().close()
