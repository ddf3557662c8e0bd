"""Shared fixtures: every test runs with its own empty home directory."""

import pytest


@pytest.fixture(autouse=True)
def home(tmp_path, monkeypatch):
    """A fresh HOME for each test, so no test touches the user's own store."""
    path = tmp_path / "home"
    path.mkdir()
    monkeypatch.setenv("HOME", str(path))
    return path
