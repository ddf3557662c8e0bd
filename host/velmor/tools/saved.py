"""Registers the tools saved in the custom tools store, for a host that starts anew.

Tools an agent made in an earlier process are in the store on disk but not in
this process's registry. `load_saved_tools` registers a `DynamicTool` for each
of them, so the agent (or an MCP client) can call them at once.
"""

from __future__ import annotations

import json
import logging
import re
from pathlib import Path
from typing import Any, NamedTuple

from velmor.tools.tool_creator import DynamicTool, _get_custom_tools_dir

__all__ = [
    "USABLE_TOOL_NAME",
    "DamagedMetadata",
    "find_damaged_metadata",
    "load_saved_tools",
    "saved_tool",
]

logger = logging.getLogger("velmor.tools.saved")

# The names create accepts: registered as custom_<name>, they stay within the
# function names model providers accept (^[a-zA-Z0-9_-]{1,64}$).
USABLE_TOOL_NAME = re.compile(r"[A-Za-z0-9_-]{1,57}", re.ASCII)


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
    root = Path(_get_custom_tools_dir() if store is None else store)
    loaded: list[DynamicTool] = []
    if not root.is_dir():
        return loaded
    for folder in sorted(root.iterdir()):
        if not folder.is_dir():
            continue
        name = folder.name
        if not USABLE_TOOL_NAME.fullmatch(name):
            logger.warning(
                "Skipped saved tool %r: a tool name uses only A-Z, a-z, 0-9, '_' and '-', "
                "at most 57 characters",
                name,
            )
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


class DamagedMetadata(NamedTuple):
    """A tool folder's metadata.json that is there but cannot be read as a JSON object."""

    folder: str  # the tool's folder name
    path: Path
    reason: str

    def __str__(self) -> str:
        return f"the metadata.json of tool folder {self.folder!r} is damaged ({self.reason}): {self.path}"


def find_damaged_metadata(store: Path, name: Any = None) -> DamagedMetadata | None:
    """The first damaged metadata.json of `store`, in name order; only tool
    `name`'s when a name (a str) is given. None when every one reads."""
    if isinstance(name, str):
        folders = [store / name]
    else:
        try:
            folders = sorted(entry for entry in store.iterdir() if entry.is_dir())
        except OSError:
            return None
    for folder in folders:
        meta_path = folder / "metadata.json"
        if not meta_path.exists():
            continue
        meta, reason = _read_metadata(meta_path)
        if reason is not None:
            return DamagedMetadata(folder.name, meta_path, reason)
    return None


def _read_metadata(meta_path: Path) -> tuple[Any, str | None]:
    """(the metadata, None), or (None, why it is damaged)."""
    try:
        meta = json.loads(meta_path.read_text(encoding="utf-8"))
    except OSError as exc:
        return None, exc.strerror or type(exc).__name__
    except UnicodeDecodeError:
        return None, "not UTF-8 text"
    except ValueError as exc:
        return None, f"not JSON: {exc}"
    if not isinstance(meta, dict):
        return None, "not a JSON object"
    return meta, None


def _description(meta_path: Path) -> str:
    if not meta_path.exists():
        return ""
    meta, reason = _read_metadata(meta_path)
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
