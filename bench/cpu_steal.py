"""CPU time the hypervisor gave to other guests while a benchmark ran ("steal").

On a virtual machine a vCPU that is stolen stops mid-call: the wall time of the call grows,
and a call on two vCPUs loses more than one on a single vCPU, which lowers the measured
parallel efficiency although the code did not change. Benchmarks print the stolen share
beside their figures so that a noisy run can be told from a slow one.
"""

from __future__ import annotations


def _cpu_ticks() -> tuple[int, int] | None:
    """(steal, wanted) clock ticks of all CPUs since boot, or None where /proc/stat lacks them:
    wanted is every tick a vCPU had work, whether it ran (user, system, interrupts) or was
    stolen; idle and I/O wait are left out, so the share does not shrink on an idle machine."""
    try:
        with open("/proc/stat") as f:
            fields = f.readline().split()
    except OSError:
        return None
    if len(fields) < 9 or fields[0] != "cpu":
        return None
    # user nice system idle iowait irq softirq steal; guest time is already inside user.
    user, nice, system, _idle, _iowait, irq, softirq, steal = (int(x) for x in fields[1:9])
    return steal, user + nice + system + irq + softirq + steal


class StealMeter:
    """Share of the vCPUs' busy time stolen since the meter was made (or last restarted)."""

    def __init__(self) -> None:
        self._start = _cpu_ticks()

    def restart(self) -> None:
        self._start = _cpu_ticks()

    def share(self) -> float | None:
        now = _cpu_ticks()
        if now is None or self._start is None or now[1] <= self._start[1]:
            return None
        return (now[0] - self._start[0]) / (now[1] - self._start[1])

    def describe(self) -> str:
        share = self.share()
        if share is None:
            return "CPU time stolen by the hypervisor: not known here"
        return f"CPU time stolen by the hypervisor: {100 * share:.1f}% of the time the vCPUs had work"
