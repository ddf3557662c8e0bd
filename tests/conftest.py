"""Shared fixtures: every test runs with its own empty home directory, and the
run as a whole must leave no warm helper process behind; managers and tool
scripts for the suites that run real jobs."""

import gc
import os
import textwrap
import time

import pytest

from tests.processes import helper_processes
from velmor.core.subprocess_manager import SubprocessManager


@pytest.fixture(autouse=True)
def home(tmp_path, monkeypatch):
    """A fresh HOME for each test, so no test touches the user's own store."""
    path = tmp_path / "home"
    path.mkdir()
    monkeypatch.setenv("HOME", str(path))
    return path


@pytest.fixture(scope="session", autouse=True)
def no_helper_left_behind():
    """Managers the tests dropped end their helpers when collected; none may outlive them."""
    yield
    if not os.path.isdir("/proc"):
        return
    gc.collect()  # managers dropped in reference cycles end their helpers now
    deadline = time.monotonic() + 5
    while (left := helper_processes()) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not left, f"warm helper processes outlived the test run: {left}"


@pytest.fixture
def make_manager():
    """Managers with options of their own, closed after the test."""
    made = []

    def make(**options):
        made.append(SubprocessManager(**options))
        return made[-1]

    yield make
    for manager in made:
        manager.close()


@pytest.fixture(scope="module", params=["warm", "spawning"])
def manager(request):
    # Made outside any loop and shared by tests that each run on their own loop.
    manager = SubprocessManager(warm=request.param == "warm")
    assert manager.warm == (request.param == "warm")
    yield manager
    manager.close()


@pytest.fixture
def tool(tmp_path):
    """Writes a tool script as the store holds one, NAME<n>/tool.py, and gives
    its absolute path."""
    counter = iter(range(1000))

    def write(source: str, name: str = "tool") -> str:
        folder = tmp_path / f"{name}{next(counter)}"
        folder.mkdir()
        path = folder / "tool.py"
        path.write_text(textwrap.dedent(source), encoding="utf-8")
        return str(path)

    return write
