"""Standard input and output as the MCP server's wire, read and written on the event loop.

The SDK's stdio transport hands every line read, every write and every flush
to a worker thread; on a small, busy machine those three thread round trips
are most of what the server adds to a call. When the client talks over pipes
or sockets (as MCP clients do), the event loop can watch them directly, so
these streams are handed to the SDK's transport instead of its threaded
file wrappers. Anything else (a terminal, a file) keeps the SDK's own.

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
from collections.abc import AsyncIterator, Awaitable, Callable
from typing import Any

from mcp.server.stdio import stdio_server

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


class _Lines:
    """The client's messages, one line of text each, for the SDK's reader.

    A line the SDK cannot read as a message it drops unanswered, and the
    client would wait for ever: such a line is answered here with a JSON-RPC
    error (see `refusal`) and not passed on. So is a line longer than the
    reader's limit, which is skipped up to its end.
    """

    def __init__(
        self,
        reader: asyncio.StreamReader,
        answer: Callable[[bytes], Awaitable[None]],
        limit: int = LINE_LIMIT,
    ) -> None:
        self._reader = reader
        self._answer = answer
        self._limit = limit  # the reader's

    def __aiter__(self) -> _Lines:
        return self

    async def __anext__(self) -> str:
        while True:
            try:
                line = await self._reader.readuntil(b"\n")
            except asyncio.IncompleteReadError as exc:  # the last line may lack its newline
                if not exc.partial:
                    raise StopAsyncIteration from None
                line = exc.partial
            except asyncio.LimitOverrunError as exc:
                start = await self._reader.readexactly(min(exc.consumed, OVERLONG_START))
                await self._skip_line(exc.consumed - len(start))
                await self._refuse(refusal(start.decode("utf-8", errors="replace"), self._limit))
                continue
            if line.isspace():
                continue  # no message: nothing to answer, nothing for the SDK
            text = line.decode("utf-8", errors="replace")
            refused = refusal(text)
            if refused is None:
                return text
            await self._refuse(refused)

    async def _refuse(self, answer: bytes | None) -> None:
        if answer is not None:
            await self._answer(answer)

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


class _Output:
    """The SDK writer's `write` and `flush`, straight onto the pipe."""

    def __init__(self, writer: asyncio.StreamWriter) -> None:
        self._writer = writer

    async def write(self, text: str) -> None:
        # A character UTF-8 cannot carry (a lone surrogate) goes out as its
        # JSON escape rather than ending the server.
        self._writer.write(text.encode("utf-8", errors="backslashreplace"))

    async def write_line(self, line: bytes) -> None:
        """One whole line of the server's own (in one write: never inside another)."""
        self._writer.write(line)
        await self._writer.drain()

    async def flush(self) -> None:
        await self._writer.drain()  # waits only while the client is behind


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
        output = _Output(writer)

        async def answer(line: bytes) -> None:
            await output.write_line(line)

        async with stdio_server(_Lines(reader, answer), output) as streams:  # type: ignore[arg-type]
            yield streams
    finally:
        for fd, wire in ((0, wire_in), (1, wire_out)):
            # A pipe the client closed is closed here too: nothing to put back.
            with contextlib.suppress(OSError):
                os.set_blocking(wire, True)
                os.dup2(wire, fd)
        read_transport.close()
        write_transport.close()
