"""Peak resident memory of the current process, for benchmark workers.

VmHWM rather than getrusage's ru_maxrss: in a freshly spawned worker ru_maxrss still keeps
the high-water mark of the address space the process had before exec, the parent's.
"""

import os


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


def page_in_shared_libraries() -> int:
    """Reads one byte of every page of the shared libraries mapped into this process (the
    extension modules and what they link), so that a measured call's peak leaves out code the
    process pages in once: a warm-up call on a few baskets runs only part of it. Returns the
    pages read."""
    import ctypes

    page = os.sysconf("SC_PAGE_SIZE")
    pages = 0
    with open("/proc/self/maps") as f:
        lines = f.readlines()
    for line in lines:
        fields = line.split()
        if len(fields) < 6 or not fields[1].startswith("r") or ".so" not in fields[5]:
            continue
        begin, end = (int(x, 16) for x in fields[0].split("-"))
        for address in range(begin, end, page):
            ctypes.string_at(address, 1)
            pages += 1
    return pages
