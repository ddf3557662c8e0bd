"""An MCP server over stdio that offers the tool creator and every custom tool.

Any MCP client (a desktop assistant, an IDE, another agent) can then create,
run and manage the tools an agent made, and call each custom tool directly.
Tools saved in earlier sessions are offered from the start; a tool created
through the server is offered at once and a deleted one disappears, each
change announced with `notifications/tools/list_changed`.

Needs the `mcp` package: `pip install 'velmor[mcp]'`.
"""

from __future__ import annotations

import logging
from typing import Any

import mcp.types as types
from mcp.server.lowlevel import NotificationOptions, Server
from mcp.server.stdio import stdio_server
from mcp.server.subscriptions import InMemorySubscriptionBus, ListenHandler, ToolsListChanged
from mcp_types.version import MODERN_PROTOCOL_VERSIONS

from velmor.tools.base import ToolRegistry
from velmor.tools.saved import load_saved_tools
from velmor.tools.tool_creator import ToolCreatorTool

__all__ = ["ToolServer", "serve"]

logger = logging.getLogger("velmor.mcp_server")

SERVER_NAME = "velmor-tools"
ERROR_PREFIX = "[ERROR]"


def _text_result(text: str, is_error: bool) -> types.CallToolResult:
    return types.CallToolResult(
        content=[types.TextContent(type="text", text=text)], is_error=is_error
    )


class ToolServer:
    """The MCP face of a tool registry: each registered tool is one MCP tool.

    The registry is read afresh for every listing and call, so whatever is
    registered by any means is what clients see. A call after which the
    registry holds other tools (or other tool objects under the same names)
    is followed by a list-changed notification.
    """

    def __init__(self, registry: ToolRegistry, *, version: str = "") -> None:
        self.registry = registry
        # Clients of the current protocol hear of changes on their
        # subscriptions/listen streams; older ones by plain notification.
        self._bus = InMemorySubscriptionBus()
        self.server: Server[Any] = Server(
            SERVER_NAME,
            version=version,
            on_list_tools=self._list_tools,
            on_call_tool=self._call_tool,
            on_subscriptions_listen=ListenHandler(self._bus),
        )

    def initialization_options(self) -> Any:
        return self.server.create_initialization_options(NotificationOptions(tools_changed=True))

    async def run(self, read_stream: Any, write_stream: Any) -> None:
        """Serve one connection until the client closes it."""
        await self.server.run(read_stream, write_stream, self.initialization_options())

    def _snapshot(self) -> list[tuple[str, Any]]:
        return [(tool.name, tool) for tool in self.registry]

    def _changed_since(self, before: list[tuple[str, Any]]) -> bool:
        now = self._snapshot()
        return len(now) != len(before) or any(
            name != old_name or tool is not old_tool
            for (name, tool), (old_name, old_tool) in zip(now, before, strict=True)
        )

    async def _list_tools(self, ctx: Any, params: Any) -> types.ListToolsResult:
        return types.ListToolsResult(
            tools=[
                types.Tool(
                    name=tool.name, description=tool.description, input_schema=tool.parameters
                )
                for tool in self.registry
            ]
        )

    async def _call_tool(
        self, ctx: Any, params: types.CallToolRequestParams
    ) -> types.CallToolResult:
        tool = self.registry.get(params.name)
        if tool is None:
            return _text_result(f"{ERROR_PREFIX} Unknown tool: {params.name}", True)
        before = self._snapshot()
        try:
            answer = await tool.execute(**(params.arguments or {}))
        except Exception as exc:  # one failing call must not end the server
            logger.exception("Tool %s raised", params.name)
            result = _text_result(
                f"{ERROR_PREFIX} {params.name} raised {type(exc).__name__}: {exc}", True
            )
        else:
            if not isinstance(answer, str):
                answer = str(answer)
            result = _text_result(answer, answer.startswith(ERROR_PREFIX))
        if self._changed_since(before):
            await self._announce_change(ctx)
        return result

    async def _announce_change(self, ctx: Any) -> None:
        if ctx.protocol_version in MODERN_PROTOCOL_VERSIONS:
            await self._bus.publish(ToolsListChanged())
        else:
            await ctx.session.send_tool_list_changed()


def build_registry(subprocess_manager: Any = None) -> tuple[ToolRegistry, ToolCreatorTool]:
    """A registry holding the tool creator and every saved tool, as the server offers them."""
    registry = ToolRegistry()
    creator = ToolCreatorTool(subprocess_manager, registry)
    registry.register(creator)
    load_saved_tools(registry, creator._manager)
    return registry, creator


async def serve() -> None:
    """Serve the user's tools over stdin and stdout until the client goes away."""
    from importlib.metadata import PackageNotFoundError, version

    try:
        package_version = version("velmor")
    except PackageNotFoundError:
        package_version = ""
    registry, creator = build_registry()
    try:
        server = ToolServer(registry, version=package_version)
        async with stdio_server() as (read_stream, write_stream):
            await server.run(read_stream, write_stream)
    finally:
        await creator._manager.aclose()
