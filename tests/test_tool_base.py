"""What callers rely on in the host's Tool base and ToolRegistry."""

from typing import Any

import pytest

from velmor.tools.base import Tool, ToolRegistry, UnknownToolError


class EchoTool(Tool):
    def __init__(self, name: str, reply: str = "ok") -> None:
        self._name = name
        self._reply = reply

    @property
    def name(self) -> str:
        return self._name

    @property
    def description(self) -> str:
        return f"Echoes for {self._name}"

    @property
    def parameters(self) -> dict[str, Any]:
        return {"type": "object", "properties": {"text": {"type": "string"}}}

    async def execute(self, **kwargs: Any) -> str:
        return f"{self._reply}:{sorted(kwargs.items())}"


class TestRegistry:
    def test_empty_registry_is_true(self):
        registry = ToolRegistry()
        assert len(registry) == 0
        assert bool(registry) is True

    def test_get_of_absent_name_is_none(self):
        registry = ToolRegistry()
        registry.register(EchoTool("a"))
        assert registry.get("b") is None

    def test_register_same_name_replaces(self):
        registry = ToolRegistry()
        first, second = EchoTool("a", "first"), EchoTool("a", "second")
        registry.register(first)
        registry.register(second)
        assert registry.get("a") is second
        assert registry.names() == ["a"]
        assert "a" in registry and len(registry) == 1

    def test_definitions_in_registration_order(self):
        registry = ToolRegistry()
        registry.register(EchoTool("b"))
        registry.register(EchoTool("a"))
        assert registry.definitions() == [
            {
                "name": name,
                "description": f"Echoes for {name}",
                "parameters": {"type": "object", "properties": {"text": {"type": "string"}}},
            }
            for name in ("b", "a")
        ]

    async def test_call_passes_keywords_to_execute(self):
        registry = ToolRegistry()
        registry.register(EchoTool("a", "hi"))
        assert await registry.call("a", text="x", n=2) == "hi:[('n', 2), ('text', 'x')]"

    async def test_call_of_unknown_name_raises_clear_error(self):
        registry = ToolRegistry()
        registry.register(EchoTool("known"))
        with pytest.raises(
            UnknownToolError, match=r"No tool named 'missing'.*known tools: known"
        ) as info:
            await registry.call("missing")
        assert isinstance(info.value, LookupError)
        assert info.value.name == "missing"
