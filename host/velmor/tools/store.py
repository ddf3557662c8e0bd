"""The custom tools store as front ends see it.

The command line, the MCP server and the loaders of saved tools all need the
same few facts about the store: where it is, which folder names a new tool may
have, how an answer says it failed, and which metadata.json cannot be read.
They take them from here instead of from the tool creator's private attributes
or from copies of its constants.

The tool creator keeps its store and its job manager as the attributes
`_custom_tools_dir` and `_manager`, and reads them afresh at every use (a host
may replace them); `root_of` and `manager_of` read them the same way, now.
"""

from __future__ import annotations

import errno
import json
import os
import re
import stat
from pathlib import Path
from typing import Any, NamedTuple, overload

from velmor.tools import tool_creator

__all__ = [
    "ERROR_PREFIX",
    "MAX_NAME_LENGTH",
    "NAME_RULE",
    "NEW_TOOL_NAME",
    "REGISTERED_PREFIX",
    "DamagedMetadata",
    "default_root",
    "find_damaged_metadata",
    "is_error",
    "is_new_tool_name",
    "manager_of",
    "read_metadata",
    "read_text_file",
    "root_of",
    "tool_script",
]

# Every answer that reports a failure begins with this.
ERROR_PREFIX = "[ERROR]"
# A custom tool is registered under this prefix and its folder name.
REGISTERED_PREFIX = "custom_"
# Model providers accept function names matching ^[a-zA-Z0-9_-]{1,64}$; a tool
# registered as custom_<name> stays within that when its name does.
MAX_NAME_LENGTH = 64 - len(REGISTERED_PREFIX)
NEW_TOOL_NAME = re.compile(rf"[A-Za-z0-9_-]{{1,{MAX_NAME_LENGTH}}}", re.ASCII)
NAME_RULE = (
    f"a tool name uses only A-Z, a-z, 0-9, '_' and '-', at most {MAX_NAME_LENGTH} characters"
)


def is_new_tool_name(name: object) -> bool:
    """Whether create accepts `name` for a new tool (only text is judged here).

    Folders already in the store whose names break the rule stay listable,
    readable, runnable and deletable; they are only never offered as tools.
    """
    return isinstance(name, str) and NEW_TOOL_NAME.fullmatch(name) is not None


def is_error(answer: str) -> bool:
    """Whether a tool's answer reports a failure."""
    return answer.startswith(ERROR_PREFIX)


def default_root() -> Path:
    """The user's store, `~/.velmor/custom_tools` of the home `Path.home()` names
    now, created when missing: the folder a new tool creator uses.

    The module's `_get_custom_tools_dir` is looked up on the module at each
    call, as the tool creator itself does, so a host that rebinds it moves
    this store too.
    """
    return Path(tool_creator._get_custom_tools_dir())


def root_of(creator: Any) -> Path:
    """The store the tool creator `creator` works in, read now."""
    return Path(creator._custom_tools_dir)


def manager_of(creator: Any) -> Any:
    """The subprocess manager that runs the jobs of the tool creator `creator`."""
    return creator._manager


@overload
def tool_script(tool: tool_creator.DynamicTool) -> str: ...
@overload
def tool_script(tool: object) -> str | None: ...
def tool_script(tool: object) -> str | None:
    """The script a custom tool runs, or None for any other tool."""
    script: str | None = getattr(tool, "_script_path", None)
    return script


class DamagedMetadata(NamedTuple):
    """A tool folder's metadata.json that is there but cannot be read as a JSON object."""

    folder: str  # the tool's folder name
    path: Path
    reason: str

    def __str__(self) -> str:
        return f"the metadata.json of tool folder {self.folder!r} is damaged ({self.reason}): {self.path}"


class NotARegularFile(OSError):
    """A path that names a FIFO, a device or a socket where a file was expected."""


def read_text_file(path: str | os.PathLike[str], limit: int = -1) -> str:
    """The UTF-8 text of the regular file `path` (at most `limit` characters).

    Anything else (a FIFO, which would block the reader until a writer comes,
    a device, which may never end) raises `NotARegularFile` without being read.
    """
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        mode = os.fstat(fd).st_mode
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), os.fspath(path))
        if not stat.S_ISREG(mode):
            raise NotARegularFile(errno.EINVAL, "not a regular file", os.fspath(path))
    except BaseException:
        os.close(fd)
        raise
    with open(fd, encoding="utf-8") as file:
        return file.read(limit)


def read_metadata(meta_path: Path) -> tuple[Any, str | None]:
    """(the metadata, None), or (None, why it is damaged)."""
    try:
        meta = json.loads(read_text_file(meta_path))
    except OSError as exc:
        return None, exc.strerror or type(exc).__name__
    except UnicodeDecodeError:
        return None, "not UTF-8 text"
    except ValueError as exc:
        return None, f"not JSON: {exc}"
    except RecursionError:  # arrays or objects nested past what the decoder walks
        return None, "not JSON that can be read: nested too deeply"
    if not isinstance(meta, dict):
        return None, "not a JSON object"
    return meta, None


def _plain_folder_name(name: str) -> bool:
    return name not in ("", ".", "..") and not any(c in name for c in "/\\\0")


def find_damaged_metadata(store: Path, name: Any = None) -> DamagedMetadata | None:
    """The first damaged metadata.json of `store`, in name order; only tool
    `name`'s when a name (a str) is given. None when every one reads.

    Only folders are looked into: a stray file in the store is no tool, and a
    metadata.json that is missing is no damage (list shows "(no metadata)").
    """
    store = Path(store)
    if isinstance(name, str):
        if not _plain_folder_name(name):
            return None  # the tool creator refuses such a name before it reads anything
        folders = [store / name]
    else:
        try:
            folders = sorted(entry for entry in store.iterdir() if entry.is_dir())
        except OSError:
            return None
    for folder in folders:
        meta_path = folder / "metadata.json"
        try:
            if not meta_path.exists():
                continue
        except OSError:  # a name too long for a folder, say: no such tool, so no damage
            continue
        _, reason = read_metadata(meta_path)
        if reason is not None:
            return DamagedMetadata(folder.name, meta_path, reason)
    return None
