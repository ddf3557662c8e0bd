"""Registers the tools saved in the custom tools store, for a host that starts anew.

Tools an agent made in an earlier process are in the store on disk but not in
this process's registry. `load_saved_tools` registers a `DynamicTool` for each
of them, so the agent (or an MCP client) can call them at once.
"""

from __future__ import annotations

import logging
from pathlib import Path
from typing import Any

from velmor.tools.store import (
    NAME_RULE,
    NEW_TOOL_NAME,
    DamagedMetadata,
    default_root,
    find_damaged_metadata,
    read_metadata,
)
from velmor.tools.tool_creator import DynamicTool

__all__ = [
    "USABLE_TOOL_NAME",
    "DamagedMetadata",
    "find_damaged_metadata",
    "load_saved_tools",
    "saved_tool",
]

logger = logging.getLogger("velmor.tools.saved")

# The names create accepts (kept here for those who import it from here).
USABLE_TOOL_NAME = NEW_TOOL_NAME


def load_saved_tools(
    registry: Any, subprocess_manager: Any, *, store: Path | None = None
) -> list[DynamicTool]:
    """Register a `DynamicTool` for every saved tool; return them, in name order.

    `store` defaults to the user's store, `~/.velmor/custom_tools` (created when
    missing, as the tool creator does). Folders whose names a new tool could
    not have, and folders without a `tool.py`, are skipped with a warning on
    the logger "velmor.tools.saved". A tool's description is the one in its
    `metadata.json`; a missing or unreadable one leaves it empty (with a
    warning when the file is there but unusable). Every tool runs its jobs
    through `subprocess_manager`.
    """
    root = default_root() if store is None else Path(store)
    loaded: list[DynamicTool] = []
    if not root.is_dir():
        return loaded
    for folder in sorted(root.iterdir()):
        if not folder.is_dir():
            continue
        name = folder.name
        if not NEW_TOOL_NAME.fullmatch(name):
            logger.warning("Skipped saved tool %r: %s", name, NAME_RULE)
            continue
        script = folder / "tool.py"
        if not script.is_file():
            logger.warning("Skipped saved tool %r: it has no tool.py", name)
            continue
        tool = saved_tool(folder, subprocess_manager)
        registry.register(tool)
        loaded.append(tool)
    return loaded


def saved_tool(folder: Path, subprocess_manager: Any) -> DynamicTool:
    """The `DynamicTool` for the saved tool in `folder`, described by its `metadata.json`."""
    return DynamicTool(
        tool_name=folder.name,
        tool_description=_description(folder / "metadata.json"),
        script_path=str(folder / "tool.py"),
        subprocess_manager=subprocess_manager,
    )


def _description(meta_path: Path) -> str:
    if not meta_path.exists():
        return ""
    meta, reason = read_metadata(meta_path)
    if reason is not None:
        damaged = DamagedMetadata(meta_path.parent.name, meta_path, reason)
        logger.warning("Saved tool loaded without a description: %s", damaged)
        return ""
    description = meta.get("description", "")
    if not isinstance(description, str):
        logger.warning(
            "Saved tool %r loaded without a description: the description in %s is not text",
            meta_path.parent.name,
            meta_path,
        )
        return ""
    return description
