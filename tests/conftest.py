"""Markers shared by the test modules."""

import os

import pytest

# Under AddressSanitizer (make sanitize preloads its runtime) the process reserves terabytes of
# shadow address space at start, so a child process under an address-space limit cannot start.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "address_space_limit: runs a process under an address-space limit; "
        "skipped under AddressSanitizer")


def pytest_collection_modifyitems(config, items):
    if not UNDER_ASAN:
        return
    skip = pytest.mark.skip(reason="an address-space limit leaves AddressSanitizer no room")
    for item in items:
        if "address_space_limit" in item.keywords:
            item.add_marker(skip)
