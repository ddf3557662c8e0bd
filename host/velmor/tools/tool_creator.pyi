"""Tool Creator: lets the agent create, validate, save and run tools of its own.

The native module's types. Created tools are saved to ~/.velmor/custom_tools/,
one folder per tool holding its tool.py and metadata.json.
"""

import logging
from collections.abc import Awaitable
from pathlib import Path
from typing import Any, Protocol

from velmor.core.outcome import SubprocessResult
from velmor.core.subprocess_manager import SubprocessTask
from velmor.tools.base import Tool

logger: logging.Logger

# What the tools need of the subprocess manager they are given: `spawn` runs
# every job of theirs; the owner of a tool creator closes its manager, which
# the creator makes itself when given none.
class _JobRunner(Protocol):
    def spawn(self, task: SubprocessTask, /) -> Awaitable[SubprocessResult]: ...
    async def aclose(self) -> None: ...

# What `create` and `delete` use of the registry they keep in step.
class _Registry(Protocol):
    def register(self, tool: Tool, /) -> None: ...
    def get(self, name: str, /) -> object: ...

def _get_custom_tools_dir() -> Path:
    """Get the directory for custom tools."""

class ToolCreatorTool(Tool):
    """Create, validate, and manage custom tools at runtime."""

    _manager: _JobRunner
    _registry: _Registry | None
    _custom_tools_dir: Path

    def __init__(
        self, subprocess_manager: _JobRunner | None = None, tool_registry: _Registry | None = None
    ) -> None: ...
    def set_registry(self, registry: _Registry | None) -> None:
        """Set the tool registry (called after initialization)."""

    @property
    def name(self) -> str: ...
    @property
    def description(self) -> str: ...
    @property
    def parameters(self) -> dict[str, Any]: ...
    async def execute(self, **kwargs: Any) -> str: ...
    # The operations `execute` dispatches to, given the call's keywords.
    async def _create_tool(self, kwargs: dict[str, Any]) -> str: ...
    async def _validate_tool(self, kwargs: dict[str, Any]) -> str: ...
    async def _validate_code(self, code: str) -> dict[str, Any]:
        """Validate code using the custom worker."""

    def _list_tools(self) -> str:
        """List all custom tools."""

    def _delete_tool(self, kwargs: dict[str, Any]) -> str: ...
    async def _run_tool(self, kwargs: dict[str, Any]) -> str: ...
    def _tool_info(self, kwargs: dict[str, Any]) -> str: ...

class DynamicTool(Tool):
    """A dynamically-created tool that runs via subprocess."""

    _name: str
    _description: str
    _script_path: str
    _manager: _JobRunner

    def __init__(
        self,
        tool_name: str,
        tool_description: str,
        script_path: str,
        subprocess_manager: _JobRunner,
    ) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def description(self) -> str: ...
    @property
    def parameters(self) -> dict[str, Any]: ...
    async def execute(self, **kwargs: Any) -> str: ...
