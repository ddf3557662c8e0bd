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

from velmor.mcp_checks import refusal

__all__ = ["stdio_streams"]

# Messages are lines; a tool's code travels in one, so lines may be long.
LINE_LIMIT = 256 * 1024 * 1024
# Of a longer line, this much is read to find the request's id for the answer.
OVERLONG_START = 64 * 1024


def _is_pipe_or_socket(fd: int) -> bool:
    try:
        mode = os.fstat(fd).st_mode
    except OSError:
        return False
    return stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode)


class _Messages:
    """The client's messages, one line each, parsed as the SDK's reader parses them.

    A line the SDK cannot read as a message it would drop unanswered, and the
    client would wait for ever: such a line is answered here with a JSON-RPC
    error (see `refusal`) and not passed on. So is a line longer than the
    reader's limit, which is skipped up to its end.
    """

    def __init__(
        self, reader: asyncio.StreamReader, replies: _Replies, limit: int = LINE_LIMIT
    ) -> None:
        self._reader = reader
        self._replies = replies
        self._limit = limit  # the reader's
        self._closed = False

    async def receive(self) -> SessionMessage:
        if self._closed:
            raise anyio.ClosedResourceError
        while True:
            try:
                line = await self._reader.readuntil(b"\n")
            except asyncio.IncompleteReadError as exc:  # the last line may lack its newline
                if not exc.partial:
                    raise anyio.EndOfStream from None
                line = exc.partial
            except asyncio.LimitOverrunError as exc:
                start = await self._reader.readexactly(min(exc.consumed, OVERLONG_START))
                await self._skip_line(exc.consumed - len(start))
                await self._refuse(refusal(start.decode("utf-8", errors="replace"), self._limit))
                continue
            if line.isspace():
                continue  # no message: nothing to answer, nothing for the server
            text = line.decode("utf-8", errors="replace")
            try:
                message = types.jsonrpc_message_adapter.validate_json(text, by_name=False)
            except Exception:  # answered with what made it no message, and read on
                await self._refuse(refusal(text))
                continue
            return SessionMessage(message)

    async def _refuse(self, answer: bytes | None) -> None:
        if answer is not None:
            await self._replies.write_line(answer)

    async def _skip_line(self, buffered: int) -> None:
        """Drop the rest of an overlong line, `buffered` bytes of it already read in."""
        await self._reader.readexactly(buffered)
        while True:
            try:
                await self._reader.readuntil(b"\n")
                return
            except asyncio.IncompleteReadError:
                return  # the client closed in the middle of it
            except asyncio.LimitOverrunError as exc:
                await self._reader.readexactly(exc.consumed)

    def __aiter__(self) -> _Messages:
        return self

    async def __anext__(self) -> SessionMessage:
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
        # A character UTF-8 cannot carry (a lone surrogate) goes out as its
        # JSON escape rather than ending the server.
        await self.write_line(line.encode("utf-8", errors="backslashreplace"))

    async def write_line(self, line: bytes) -> None:
        """One whole line, in one write: never torn by another message."""
        self._writer.write(line)
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
        replies = _Replies(writer)
        yield _Messages(reader, replies), replies
    finally:
        for fd, wire in ((0, wire_in), (1, wire_out)):
            # A pipe the client closed is closed here too: nothing to put back.
            with contextlib.suppress(OSError):
                os.set_blocking(wire, True)
                os.dup2(wire, fd)
        read_transport.close()
        write_transport.close()
