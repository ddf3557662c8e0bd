"""Standard input and output as the MCP server's wire, read and written on the event loop.

The SDK's stdio transport hands every line read, every write and every flush
to a worker thread, and passes each message between the wire and the server
through a task of its own and a memory stream; on a small, busy machine those
round trips are much of what the server adds to a call. When the client talks
over pipes or sockets (as MCP clients do), the event loop can watch them
directly: the server then reads each message straight off the pipe and writes
each reply straight onto it, through the SDK's stream protocols. Anything else
(a terminal, a file) keeps the SDK's own transport.

As with the SDK's own, descriptors 0 and 1 point at the null device and at
standard error while serving, so that nothing else in the process (or a
child it starts) reads the client's messages or writes into the protocol.
"""

from __future__ import annotations

import asyncio
import contextlib
import fcntl
import os
import stat
from collections.abc import AsyncIterator
from typing import Any

import anyio
import mcp.types as types
from mcp.server.stdio import stdio_server
from mcp.shared.message import SessionMessage

__all__ = ["stdio_streams"]

# Messages are lines; a tool's code travels in one, so lines may be long.
LINE_LIMIT = 256 * 1024 * 1024


def _is_pipe_or_socket(fd: int) -> bool:
    try:
        mode = os.fstat(fd).st_mode
    except OSError:
        return False
    return stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode)


class _Messages:
    """The client's messages, one line each, parsed as the SDK's reader parses
    them; a line that is no message is passed on as its error, as there."""

    def __init__(self, reader: asyncio.StreamReader) -> None:
        self._reader = reader
        self._closed = False

    async def receive(self) -> SessionMessage | Exception:
        if self._closed:
            raise anyio.ClosedResourceError
        line = await self._reader.readline()
        if not line:
            raise anyio.EndOfStream
        try:
            message = types.jsonrpc_message_adapter.validate_json(
                line.decode("utf-8", errors="replace"), by_name=False
            )
        except Exception as exc:  # the server answers it (or logs it), and reads on
            return exc
        return SessionMessage(message)

    def __aiter__(self) -> _Messages:
        return self

    async def __anext__(self) -> SessionMessage | Exception:
        try:
            return await self.receive()
        except anyio.EndOfStream:
            raise StopAsyncIteration from None

    async def aclose(self) -> None:
        self._closed = True

    async def __aenter__(self) -> _Messages:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.aclose()


class _Replies:
    """The server's messages, each written as one line straight onto the pipe."""

    def __init__(self, writer: asyncio.StreamWriter) -> None:
        self._writer = writer
        self._closed = False

    async def send(self, item: SessionMessage, /) -> None:
        if self._closed:
            raise anyio.ClosedResourceError
        line = item.message.model_dump_json(by_alias=True, exclude_unset=True) + "\n"
        # Written whole before any other message can be (a line is never torn).
        # A character UTF-8 cannot carry (a lone surrogate) goes out as its
        # JSON escape rather than ending the server.
        self._writer.write(line.encode("utf-8", errors="backslashreplace"))
        await self._writer.drain()  # waits only while the client is behind

    async def aclose(self) -> None:
        self._closed = True

    async def __aenter__(self) -> _Replies:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.aclose()


@contextlib.asynccontextmanager
async def stdio_streams() -> AsyncIterator[tuple[Any, Any]]:
    """The SDK's (read, write) message streams over this process's stdin and stdout."""
    if not (_is_pipe_or_socket(0) and _is_pipe_or_socket(1)):
        async with stdio_server() as streams:
            yield streams
        return
    loop = asyncio.get_running_loop()
    wire_in = fcntl.fcntl(0, fcntl.F_DUPFD_CLOEXEC, 3)
    wire_out = fcntl.fcntl(1, fcntl.F_DUPFD_CLOEXEC, 3)
    null = os.open(os.devnull, os.O_RDONLY | os.O_CLOEXEC)
    os.dup2(null, 0)
    os.close(null)
    os.dup2(2, 1)
    reader = asyncio.StreamReader(limit=LINE_LIMIT)
    read_transport, _ = await loop.connect_read_pipe(
        lambda: asyncio.StreamReaderProtocol(reader), os.fdopen(wire_in, "rb", buffering=0)
    )
    write_transport, write_protocol = await loop.connect_write_pipe(
        asyncio.streams.FlowControlMixin, os.fdopen(wire_out, "wb", buffering=0)
    )
    writer = asyncio.StreamWriter(write_transport, write_protocol, None, loop)
    try:
        yield _Messages(reader), _Replies(writer)
    finally:
        for fd, wire in ((0, wire_in), (1, wire_out)):
            # A pipe the client closed is closed here too: nothing to put back.
            with contextlib.suppress(OSError):
                os.set_blocking(wire, True)
                os.dup2(wire, fd)
        read_transport.close()
        write_transport.close()
