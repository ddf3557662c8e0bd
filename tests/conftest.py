"""Shared fixtures: every test runs with its own empty home directory, and the
run as a whole must leave no warm helper process behind."""

import gc
import os
import time

import pytest


@pytest.fixture(autouse=True)
def home(tmp_path, monkeypatch):
    """A fresh HOME for each test, so no test touches the user's own store."""
    path = tmp_path / "home"
    path.mkdir()
    monkeypatch.setenv("HOME", str(path))
    return path


def _helpers_of_this_run() -> list[int]:
    from velmor.core.subprocess_manager import HELPER_SCRIPT

    helper = str(HELPER_SCRIPT).encode()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as file:
                parent = int(file.read().rsplit(")", 1)[1].split()[1])
            with open(f"/proc/{entry}/cmdline", "rb") as file:
                command = file.read()
        except OSError:
            continue
        if parent == os.getpid() and helper in command:
            found.append(int(entry))
    return found


@pytest.fixture(scope="session", autouse=True)
def no_helper_left_behind():
    """Managers the tests dropped end their helpers when collected; none may outlive them."""
    yield
    if not os.path.isdir("/proc"):
        return
    gc.collect()  # managers dropped in reference cycles end their helpers now
    deadline = time.monotonic() + 5
    while (left := _helpers_of_this_run()) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not left, f"warm helper processes outlived the test run: {left}"
