"""A call's answer over HTTP as one JSON body when nothing else comes before it.

Clients of the older protocol get each answer on an event stream opened for
their request. They stop reading it at the answer and drop the connection,
since the stream's end is still to come, so every call pays for a new TCP
connection on both sides. The SDK's current-protocol path already answers
with a plain JSON body when the handler ends without sending anything first;
`SingleAnswers` does the same for the older path: it holds back the start of
an event stream, and when the stream's first event is the request's answer it
sends that answer as `application/json` with its length, which the client
reads to the end and so keeps its connection. Anything else first (a change
notice, a keep-alive ping while a long call runs) commits the stream as it was,
held parts first, so that nothing is lost, reordered or delayed past it.
"""

from __future__ import annotations

import json
import re
from typing import Any

import anyio

__all__ = ["SingleAnswers", "lone_answer"]

EVENT_STREAM = b"text/event-stream"
# An event longer than this goes out as a stream, unchanged: telling an answer
# from other messages takes reading its JSON, which for a long one costs more
# than the new connection it would save.
LONE_ANSWER_LIMIT = 64 * 1024
# Headers that describe the event stream, not the answer in it.
STREAM_HEADERS = frozenset(
    (b"content-type", b"content-length", b"transfer-encoding", b"connection", b"cache-control")
)
_LINE_BREAK = re.compile(rb"\r\n|\r|\n")


def lone_answer(chunk: bytes) -> bytes | None:
    """The JSON text of a JSON-RPC answer when `chunk` is exactly one whole event
    carrying it (a `message` event without an id); None for anything else."""
    if len(chunk) > LONE_ANSWER_LIMIT:
        return None
    lines = _LINE_BREAK.split(chunk)
    # One whole event ends with an empty line: its last two pieces are empty.
    if len(lines) < 3 or lines[-1] or lines[-2] or not all(lines[:-2]):
        return None
    data: list[bytes] = []
    for line in lines[:-2]:
        field, _, value = line.partition(b":")
        value = value.removeprefix(b" ")
        if field == b"data":
            data.append(value)
        elif field != b"event" or value != b"message":
            return None  # a comment (a ping), an id, a retry time or another kind of event
    if not data:
        return None
    text = b"\n".join(data)
    try:
        message = json.loads(text)
    except ValueError:
        return None
    if not isinstance(message, dict) or "method" in message or "id" not in message:
        return None
    return text if ("result" in message) != ("error" in message) else None


class SingleAnswers:
    """ASGI middleware: a POST whose event stream starts with its answer gets the
    answer as a JSON body instead."""

    def __init__(self, app: Any) -> None:
        self.app = app

    async def __call__(self, scope: dict[str, Any], receive: Any, send: Any) -> None:
        if scope["type"] != "http" or scope.get("method") != "POST":
            await self.app(scope, receive, send)
            return
        reply = _Reply(send)
        await self.app(scope, receive, reply.send)
        await reply.finish()


class _Reply:
    """One response on its way out: passed on, held back, or answered in JSON."""

    def __init__(self, send: Any) -> None:
        self._send = send
        self._held: dict[str, Any] | None = None  # the start of an event stream, held back
        self._answered = False  # the answer went out as JSON: the stream's rest is dropped
        # Taken by each part of an event stream, so that parts sent from other
        # tasks (keep-alive pings) cannot pass the held start on its way out.
        self._lock: anyio.Lock | None = None

    async def send(self, message: dict[str, Any]) -> None:
        if self._lock is None:
            if message["type"] == "http.response.start" and _is_event_stream(message):
                self._held, self._lock = message, anyio.Lock()
                return
            await self._send(message)
            return
        async with self._lock:
            await self._pass_on(message)

    async def finish(self) -> None:
        """Send a start still held when the application ended: an empty stream."""
        if self._lock is not None:
            async with self._lock:
                if self._held is not None:
                    await self._pass_on({"type": "http.response.body", "body": b""})

    async def _pass_on(self, message: dict[str, Any]) -> None:
        if self._answered:
            return
        if self._held is None:
            await self._send(message)
            return
        start, self._held = self._held, None
        answer = None
        if message["type"] == "http.response.body":
            answer = lone_answer(message.get("body", b""))
        if answer is None:
            await self._send(start)  # committed: the stream goes out as it is
            await self._send(message)
            return
        self._answered = True
        headers = [
            (name, value)
            for name, value in start.get("headers", ())
            if name.lower() not in STREAM_HEADERS
        ]
        headers += [
            (b"content-type", b"application/json"),
            (b"content-length", str(len(answer)).encode()),
        ]
        await self._send(
            {"type": "http.response.start", "status": start["status"], "headers": headers}
        )
        await self._send({"type": "http.response.body", "body": answer})


def _is_event_stream(start: dict[str, Any]) -> bool:
    return any(
        name.lower() == b"content-type" and value.lower().startswith(EVENT_STREAM)
        for name, value in start.get("headers", ())
    )
