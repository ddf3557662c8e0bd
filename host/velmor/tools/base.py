"""The tool protocol of the host: the abstract `Tool` and the `ToolRegistry`.

A tool describes itself to the language model by `name`, `description` and a
JSON-schema `parameters`, and is called with the model's arguments as keywords
through the awaited `execute`, whose result is the text the model reads.
"""

from __future__ import annotations

from abc import ABC, abstractmethod
from collections.abc import Iterator
from typing import Any


class Tool(ABC):
    """Abstract base of every tool the agent can call."""

    @property
    @abstractmethod
    def name(self) -> str:
        """The name under which the model calls the tool."""

    @property
    @abstractmethod
    def description(self) -> str:
        """What the tool does, in words for the model."""

    @property
    @abstractmethod
    def parameters(self) -> dict[str, Any]:
        """JSON schema of the keyword arguments of `execute`."""

    @abstractmethod
    async def execute(self, **kwargs: Any) -> str:
        """Run the tool with the model's arguments; answer a text."""

    def to_definition(self) -> dict[str, Any]:
        """The function-calling definition a host sends to a language model."""
        return {
            "name": self.name,
            "description": self.description,
            "parameters": self.parameters,
        }


class UnknownToolError(LookupError):
    """Raised by `ToolRegistry.call` for a name that no tool is registered under."""

    def __init__(self, name: str, known: list[str]):
        self.name = name
        self.known = known
        listing = ", ".join(known) if known else "none"
        super().__init__(f"No tool named {name!r} is registered (known tools: {listing})")


class ToolRegistry:
    """The tools offered to the agent, keyed by tool name.

    A registry is always true as a truth value, even when it holds no tool yet:
    callers test "is there a registry", not "is it non-empty".
    """

    def __init__(self) -> None:
        self._tools: dict[str, Tool] = {}

    def register(self, tool: Tool) -> None:
        """Offer `tool` under its name; a later tool of the same name replaces it."""
        self._tools[tool.name] = tool

    def unregister(self, name: str) -> Tool | None:
        """Stop offering the tool registered under `name`; return it (None when there was none)."""
        return self._tools.pop(name, None)

    def get(self, name: str) -> Tool | None:
        return self._tools.get(name)

    def names(self) -> list[str]:
        return list(self._tools)

    def definitions(self) -> list[dict[str, Any]]:
        """The function-calling definitions of every registered tool, in registration order."""
        return [tool.to_definition() for tool in self._tools.values()]

    async def call(self, name: str, **arguments: Any) -> str:
        """Await the named tool's `execute` with `arguments` as keywords."""
        tool = self._tools.get(name)
        if tool is None:
            raise UnknownToolError(name, self.names())
        return await tool.execute(**arguments)

    def __bool__(self) -> bool:
        return True

    def __len__(self) -> int:
        return len(self._tools)

    def __contains__(self, name: object) -> bool:
        return name in self._tools

    def __iter__(self) -> Iterator[Tool]:
        return iter(list(self._tools.values()))
