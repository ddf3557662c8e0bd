"""Keeps a long-running registry in step with the custom tools store on disk.

The store is shared: the command line, another server or another agent may
create or delete tools while a server runs. `StoreFollower.sync` reads the
store's folder names and registers a `DynamicTool` for each finished tool the
registry lacks, and unregisters each saved tool whose `tool.py` is gone.

A folder counts as a finished tool once it holds `tool.py` and
`metadata.json`, the two files create writes (each made whole elsewhere and
moved in), so a folder seen half made is left for a later look. A `tool.py`
without `metadata.json` (a tool put there by hand) is taken after
`SETTLE_SECONDS`, as the loader at start would take it. Folder names that a
new tool could not have are never offered, as at start.
"""

from __future__ import annotations

import logging
import os
import time
from pathlib import Path
from typing import Any

from velmor.tools.saved import saved_tool
from velmor.tools.store import (
    NAME_RULE,
    NEW_TOOL_NAME,
    REGISTERED_PREFIX,
    default_root,
    tool_script,
)
from velmor.tools.tool_creator import DynamicTool

__all__ = ["REGISTERED_PREFIX", "SETTLE_SECONDS", "StoreFollower"]

logger = logging.getLogger("velmor.tools.saved")

SETTLE_SECONDS = 1.0


class StoreFollower:
    """Registers and unregisters the saved tools of one store in one registry."""

    def __init__(self, registry: Any, subprocess_manager: Any, *, store: Path | None = None):
        self.registry = registry
        self.root = default_root() if store is None else Path(store)
        self._root_text = os.fspath(self.root)
        self._manager = subprocess_manager
        self._without_metadata: dict[str, float] = {}  # name -> when first seen so
        self._warned: set[str] = set()

    def script_of(self, name: str) -> str:
        return os.path.join(self._root_text, name, "tool.py")

    def follows(self, tool: Any) -> bool:
        """Whether `tool` is one of this store's saved tools (and so may be withdrawn)."""
        if not isinstance(tool, DynamicTool):
            return False
        name = tool.name.removeprefix(REGISTERED_PREFIX)
        return tool_script(tool) == self.script_of(name)

    def sync(self) -> bool:
        """Bring the registry in step with the whole store; True when it changed."""
        present = self._finished_names()
        if present is None:
            return False
        changed = False
        for tool in self.registry:
            if self.follows(tool) and tool.name.removeprefix(REGISTERED_PREFIX) not in present:
                self.registry.unregister(tool.name)
                changed = True
        for name in sorted(present):
            if REGISTERED_PREFIX + name not in self.registry:
                self._register(name)
                changed = True
        return changed

    def refresh(self, registered_name: str) -> bool:
        """Bring one tool in step before it is called; True when the registry changed.

        A tool whose `tool.py` is gone is withdrawn; a saved tool the registry
        does not hold yet is taken at once, since the caller asks for it now.
        """
        if not registered_name.startswith(REGISTERED_PREFIX):
            return False
        name = registered_name[len(REGISTERED_PREFIX) :]
        tool = self.registry.get(registered_name)
        if tool is not None:
            if not self.follows(tool) or os.path.isfile(self.script_of(name)):
                return False
            self.registry.unregister(registered_name)
            return True
        if NEW_TOOL_NAME.fullmatch(name) and os.path.isfile(self.script_of(name)):
            self._register(name)
            return True
        return False

    def _register(self, name: str) -> None:
        self._without_metadata.pop(name, None)
        self.registry.register(saved_tool(self.root / name, self._manager))

    def _finished_names(self) -> set[str] | None:
        """The names of the finished tools in the store; None when it cannot be read now."""
        try:
            entries = [entry.name for entry in os.scandir(self.root) if entry.is_dir()]
        except FileNotFoundError:  # no store (yet): nothing is saved
            return set()
        except OSError as exc:  # out of descriptors, say: withdraw nothing on a guess
            logger.warning("Could not read the store %s: %s", self.root, exc)
            return None
        now = time.monotonic()
        finished = set()
        for name in entries:
            if not NEW_TOOL_NAME.fullmatch(name):
                self._warn_unusable(name)
                continue
            folder = os.path.join(self._root_text, name)
            if not os.path.isfile(os.path.join(folder, "tool.py")):
                continue  # being made, or being removed
            registered = REGISTERED_PREFIX + name in self.registry
            if registered or os.path.exists(os.path.join(folder, "metadata.json")):
                finished.add(name)
                continue
            first_seen = self._without_metadata.setdefault(name, now)
            if now - first_seen >= SETTLE_SECONDS:
                finished.add(name)
        return finished

    def _warn_unusable(self, name: str) -> None:
        # Names starting with "." are the store's own work in progress.
        if name.startswith(".") or name in self._warned:
            return
        self._warned.add(name)
        logger.warning("Skipped saved tool %r: %s", name, NAME_RULE)
