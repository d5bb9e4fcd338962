"""Peak resident memory of the current process, for benchmark workers.

VmHWM rather than getrusage's ru_maxrss: in a freshly spawned worker ru_maxrss still keeps
the high-water mark of the address space the process had before exec, the parent's.
"""


def status_kib(field: str) -> int:
    """A field of /proc/self/status in KiB (e.g. "VmRSS", "VmHWM")."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def reset_peak() -> bool:
    """Lower the kernel's peak-RSS mark to the current RSS, where Linux allows it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False
