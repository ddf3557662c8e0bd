"""An MCP server that offers the tool creator and every custom tool.

Any MCP client (a desktop assistant, an IDE, another agent) can then create,
run and manage the tools an agent made, and call each custom tool directly.
Tools saved in earlier sessions are offered from the start; a tool created
through the server is offered at once and a deleted one disappears, and so do
tools other processes create or delete in the store. Each change is announced
with `notifications/tools/list_changed`.

It serves one client over stdio, or any number of clients over streamable
HTTP (see `velmor.mcp_http`). Needs the `mcp` package: `pip install 'velmor[mcp]'`.
"""

from __future__ import annotations

import json
import logging
import os
import weakref
from collections.abc import Mapping
from typing import Any, NamedTuple

import anyio
import mcp.types as types
from mcp.server.lowlevel import NotificationOptions, Server
from mcp.server.subscriptions import InMemorySubscriptionBus, ListenHandler, ToolsListChanged
from mcp_types.version import MODERN_PROTOCOL_VERSIONS

from velmor.mcp_arguments import ARGS, InvalidArguments, custom_tool_arguments
from velmor.mcp_checks import InputCheck, safe_json, safe_text
from velmor.tools.args_schema import (
    custom_tool_description,
    custom_tool_schema,
    derive_args_from_file,
)
from velmor.tools.base import ToolRegistry
from velmor.tools.saved import load_saved_tools
from velmor.tools.store import (
    ERROR_PREFIX,
    find_damaged_metadata,
    is_error,
    manager_of,
    root_of,
    tool_script,
)
from velmor.tools.store_follower import StoreFollower
from velmor.tools.tool_creator import DynamicTool, ToolCreatorTool

__all__ = ["STORE_POLL_SECONDS", "ToolServer", "build_registry", "serve"]

logger = logging.getLogger("velmor.mcp_server")

SERVER_NAME = "velmor-tools"
# Changes other processes make in the store are announced within this (and a
# listing or a call of the tool sees them at once).
STORE_POLL_SECONDS = 1.0
# Operations of the tool creator that read every metadata.json they reach.
METADATA_READERS = ("list", "info")


def _text_result(
    text: str, is_error: bool, structured: dict[str, Any] | None = None
) -> types.CallToolResult:
    return types.CallToolResult(
        content=[types.TextContent(type="text", text=safe_text(text))],
        structured_content=structured,
        is_error=is_error,
    )


def _error(text: str) -> types.CallToolResult:
    return _text_result(f"{ERROR_PREFIX} {text}", True)


def _answer_result(answer: Any) -> types.CallToolResult:
    if not isinstance(answer, str):
        answer = str(answer)
    if is_error(answer):
        return _text_result(answer, True)
    structured = None
    if answer.startswith("{"):  # a JSON object also comes back as structured content
        try:
            value = json.loads(answer)
        except (ValueError, RecursionError):  # not JSON, or nested past what the decoder walks
            value = None
        if isinstance(value, dict):
            try:
                structured = safe_json(value)
            except RecursionError:
                structured = None  # the text alone carries it
    return _text_result(answer, False, structured)


class _Offer(NamedTuple):
    """How one tool is offered: made once per tool object and version of its source."""

    tool: Any
    version: Any
    check: InputCheck  # with the input schema
    description: str


def _source_version(tool: Any) -> Any:
    """What changes when a custom tool's source does (the module replaces it whole)."""
    if not isinstance(tool, DynamicTool):
        return None
    try:
        status = os.stat(tool_script(tool))
    except OSError:
        return None
    return status.st_ino, status.st_size, status.st_mtime_ns


def _offer(tool: Any, version: Any) -> _Offer:
    schema, description = tool.parameters, tool.description
    if isinstance(tool, DynamicTool):
        # Its args and docstring, as its code reads them.
        try:
            derived = derive_args_from_file(tool_script(tool))
            schema = custom_tool_schema(tool.parameters, derived)
            description = custom_tool_description(tool.description, derived)
        except Exception:  # a schema it cannot tell leaves the tool its plain one
            logger.exception("No input schema derived for %s", safe_text(tool.name))
    return _Offer(tool, version, InputCheck(schema), description)


class _AnnouncingServer(Server[Any]):
    """An SDK server that declares `tools.listChanged` on every transport.

    The HTTP session manager asks the server itself for its initialization
    options, so the declaration belongs here rather than with each caller.
    """

    def create_initialization_options(
        self, notification_options: NotificationOptions | None = None, *args: Any, **kwargs: Any
    ) -> Any:
        options = notification_options or NotificationOptions(tools_changed=True)
        return super().create_initialization_options(options, *args, **kwargs)


class ToolServer:
    """The MCP face of a tool registry: each registered tool is one MCP tool.

    The registry is read afresh for every listing and call, so whatever is
    registered by any means is what clients see. A call after which the
    registry holds other tools (or other tool objects under the same names)
    is followed by a list-changed notification; so is a change found in the
    store (`store`) by a listing, a call or `follow_store`.
    """

    def __init__(
        self, registry: ToolRegistry, *, version: str = "", store: StoreFollower | None = None
    ) -> None:
        self.registry = registry
        self.store = store
        # Clients of the current protocol hear of changes on their
        # subscriptions/listen streams; those of older ones on the stream of
        # their connection.
        self._bus = InMemorySubscriptionBus()
        self._older_connections: weakref.WeakSet[Any] = weakref.WeakSet()
        self._offers: dict[str, _Offer] = {}
        self.server: Server[Any] = _AnnouncingServer(
            SERVER_NAME,
            version=version,
            on_list_tools=self._list_tools,
            on_call_tool=self._call_tool,
            on_subscriptions_listen=ListenHandler(self._bus),
            # Over HTTP, the SDK checks each call's parameter headers against
            # the tool's schema: from the cache, not by listing every tool.
            get_tool_input_schema=self._tool_input_schema,
        )
        self.server.middleware.insert(0, self._note_connection)

    def initialization_options(self) -> Any:
        return self.server.create_initialization_options()

    async def run(self, read_stream: Any, write_stream: Any) -> None:
        """Serve one connection until the client closes it."""
        await self.server.run(read_stream, write_stream, self.initialization_options())

    async def follow_store(self, interval: float = STORE_POLL_SECONDS) -> None:
        """Look at the store every `interval` seconds and announce what changed there."""
        if self.store is None:
            return
        while True:
            await anyio.sleep(interval)
            try:
                changed = self.store.sync()
            except Exception:  # one look that fails must not end the server: look again
                logger.exception("Could not bring the tools in step with the store")
                continue
            if changed:
                await self._announce()

    # -- announcing changes --------------------------------------------------

    async def _note_connection(self, ctx: Any, call_next: Any) -> Any:
        # A connection of an older protocol has no listen stream: it is
        # remembered (for as long as it lives) to be told of changes directly.
        if ctx.protocol_version not in MODERN_PROTOCOL_VERSIONS:
            connection = getattr(ctx.session, "_connection", None)
            if connection is not None:
                self._older_connections.add(connection)
        return await call_next(ctx)

    async def _announce(self, ctx: Any = None) -> None:
        """Tell every client that the tool list changed.

        The client whose call (`ctx`) changed it hears it on that call's own
        response stream, which every client reads, listening or not.
        """
        origin = None
        if ctx is not None:
            await ctx.session.send_notification(
                types.ToolListChangedNotification(), related_request_id=ctx.request_id
            )
            origin = getattr(ctx.session, "_connection", None)
        await self._bus.publish(ToolsListChanged())
        for connection in list(self._older_connections):
            if connection is not origin and connection.protocol_version not in (
                MODERN_PROTOCOL_VERSIONS
            ):
                await connection.send_tool_list_changed()

    def _snapshot(self) -> list[tuple[str, Any]]:
        return [(tool.name, tool) for tool in self.registry]

    def _changed_since(self, before: list[tuple[str, Any]]) -> bool:
        now = self._snapshot()
        return len(now) != len(before) or any(
            name != old_name or tool is not old_tool
            for (name, tool), (old_name, old_tool) in zip(now, before, strict=True)
        )

    # -- schemas -------------------------------------------------------------

    def _offered(self, tool: Any) -> _Offer:
        """How `tool` is offered. Reading a source costs a parse, so each is read
        once per version: a listing of many tools is then a `stat` each."""
        version = _source_version(tool)
        cached = self._offers.get(tool.name)
        if cached is not None and cached.tool is tool and cached.version == version:
            return cached
        offer = self._offers[tool.name] = _offer(tool, version)
        return offer

    def _read_sources(self, tools: list[Any]) -> None:
        for tool in tools:
            try:
                self._offered(tool)
            except Exception:  # the listing itself reports it, tool by tool
                pass

    def _input_check(self, tool: Any) -> InputCheck:
        return self._offered(tool).check

    def _tool_input_schema(self, name: str) -> Mapping[str, Any] | None:
        tool = self.registry.get(name)
        return None if tool is None else self._input_check(tool).schema

    # -- the handlers --------------------------------------------------------

    async def _list_tools(self, ctx: Any, params: Any) -> types.ListToolsResult:
        if self.store is not None and self.store.sync():
            await self._announce()
        tools = list(self.registry)
        for name in set(self._offers) - {tool.name for tool in tools}:
            del self._offers[name]
        # The sources a listing has yet to read (all of them at the start, a
        # few milliseconds each) are read on a worker thread, so that the
        # server goes on answering its other calls and clients meanwhile.
        await anyio.to_thread.run_sync(self._read_sources, tools)
        offered = []
        for tool in tools:
            try:
                offer = self._offered(tool)
                offered.append(
                    types.Tool(
                        name=safe_text(tool.name),
                        description=safe_text(offer.description),
                        input_schema=safe_json(offer.check.schema),
                    )
                )
            except Exception:  # one tool that cannot be described must not hide the others
                logger.exception("Tool %s left out of the listing", safe_text(tool.name))
        return types.ListToolsResult(tools=offered)

    async def _call_tool(
        self, ctx: Any, params: types.CallToolRequestParams
    ) -> types.CallToolResult:
        try:
            return await self._checked_call(ctx, params)
        except Exception:
            # The SDK would answer an exception with its text (paths, types):
            # the client learns only that the call failed, the log has the rest.
            logger.exception("Call of %s failed", safe_text(params.name))
            return _error("the call failed inside the server; the server log has details")

    async def _checked_call(
        self, ctx: Any, params: types.CallToolRequestParams
    ) -> types.CallToolResult:
        name = params.name
        store_changed = self.store is not None and self.store.refresh(name)
        tool = self.registry.get(name)
        if tool is None:
            result = _error(f"Unknown tool: {name}")
        else:
            check = self._input_check(tool)
            arguments = params.arguments or {}
            problems: list[str] = []
            if isinstance(tool, DynamicTool):
                # Inputs sent flat are taken as args; args with keys beside it is refused.
                try:
                    arguments = custom_tool_arguments(arguments, check.schema["properties"][ARGS])
                except InvalidArguments as exc:
                    problems = [str(exc)]
            if not problems:
                arguments, problems = check(arguments)
            if problems:
                result = _error("Invalid arguments: " + "; ".join(problems))
            else:
                before = self._snapshot()
                result = await self._execute(tool, arguments)
                store_changed = store_changed or self._changed_since(before)
        if store_changed:
            await self._announce(ctx)
        return result

    async def _execute(self, tool: Any, arguments: dict[str, Any]) -> types.CallToolResult:
        try:
            answer = await tool.execute(**arguments)
        except Exception:  # one failing call must not end the server
            logger.exception("Tool %s raised", tool.name)
            if isinstance(tool, ToolCreatorTool) and arguments.get("operation") in (
                METADATA_READERS
            ):
                damaged = find_damaged_metadata(root_of(tool), arguments.get("tool_name"))
                if damaged is not None:
                    return _error(f"Damaged metadata: {damaged.path}: {damaged.reason}")
            # The exception (its type, its text) tells of the server's insides,
            # not of the call: it stays in the server's log.
            return _error(f"{tool.name} failed; the server log has details")
        return _answer_result(answer)


def build_registry(subprocess_manager: Any = None) -> tuple[ToolRegistry, ToolCreatorTool]:
    """A registry holding the tool creator and every saved tool, as the server offers them."""
    registry = ToolRegistry()
    creator = ToolCreatorTool(subprocess_manager, registry)
    registry.register(creator)
    load_saved_tools(registry, manager_of(creator))
    return registry, creator


def _package_version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("velmor")
    except PackageNotFoundError:
        return ""


async def serve(http: Any = None) -> None:
    """Serve the user's tools until stopped: over stdin and stdout, or over HTTP.

    `http`, when given, is a `velmor.mcp_http.HttpSettings`; over stdio the
    server ends when the client goes away.
    """
    registry, creator = build_registry()
    try:
        follower = StoreFollower(registry, manager_of(creator), store=root_of(creator))
        server = ToolServer(registry, version=_package_version(), store=follower)
        async with anyio.create_task_group() as group:
            group.start_soon(server.follow_store)
            if http is None:
                from velmor.mcp_stdio import stdio_streams

                async with stdio_streams() as (read_stream, write_stream):
                    await server.run(read_stream, write_stream)
            else:
                from velmor.mcp_http import serve_http

                await serve_http(server, http)
            group.cancel_scope.cancel()
    finally:
        await manager_of(creator).aclose()
