"""The MCP server over streamable HTTP: several clients at once, one store.

Whoever can reach the server can create and run code as the user, so every
request must carry the server's bearer token (`VELMOR_TOKEN`, or one made at
start and printed once to standard error), and a request a web page's script
sends (its `Origin` is not the server's own) is refused, as is one naming
another host (a DNS-rebinding page). The server listens on the loopback
interface unless told otherwise.
"""

from __future__ import annotations

import hmac
import ipaddress
import json
import os
import secrets
import socket
import sys
from dataclasses import dataclass
from typing import Any

import uvicorn
from mcp.server.transport_security import TransportSecuritySettings
from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol

from velmor.mcp_replies import SingleAnswers

__all__ = [
    "DEFAULT_HOST",
    "TOKEN_VARIABLE",
    "HttpSettings",
    "is_loopback",
    "parse_address",
    "serve_http",
]

DEFAULT_HOST = "127.0.0.1"
TOKEN_VARIABLE = "VELMOR_TOKEN"
MCP_PATH = "/mcp"
LOOPBACK_NAMES = ("127.0.0.1", "localhost", "[::1]")
# A connection must send each request's head (its line and headers) within
# this long of connecting or of its last answer: a client that trickles them
# in would otherwise hold its connection, unanswered and unchecked, for ever.
REQUEST_HEAD_SECONDS = 10.0
WILDCARD_HOSTS = ("0.0.0.0", "::")


@dataclass(frozen=True)
class HttpSettings:
    host: str
    port: int
    token: str


def parse_address(text: str) -> tuple[str, int]:
    """`[HOST:]PORT` (an IPv6 host in brackets) as (host, port); ValueError when it is not one."""
    host, colon, port_text = text.rpartition(":")
    if not colon:
        host = DEFAULT_HOST
    elif host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    elif ":" in host or not host:
        raise ValueError(f"{text!r} is not [HOST:]PORT (write an IPv6 host in brackets)")
    if not port_text.isdigit() or not 0 <= int(port_text) <= 65535:
        raise ValueError(f"{text!r} has no port number from 0 to 65535")
    return host, int(port_text)


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def token_from_environment() -> tuple[str, bool]:
    """The token clients must send, and whether it was made here (none was set)."""
    token = os.environ.get(TOKEN_VARIABLE, "")
    if token:
        return token, False
    return secrets.token_urlsafe(32), True


def _url_host(host: str) -> str:
    return f"[{host}]" if ":" in host else host


def _transport_security(host: str, port: int) -> TransportSecuritySettings:
    """Only the server's own names in `Host` (and `Origin`): no DNS-rebinding page gets in."""
    if host in WILDCARD_HOSTS:
        # Every name of the machine is the server's own; the Guard still
        # refuses an Origin that is not the Host the request names.
        return TransportSecuritySettings(enable_dns_rebinding_protection=False)
    names = LOOPBACK_NAMES if is_loopback(host) else (_url_host(host),)
    hosts = [f"{name}:{port}" for name in names]
    return TransportSecuritySettings(
        enable_dns_rebinding_protection=True,
        allowed_hosts=hosts,
        allowed_origins=[f"http://{name}" for name in hosts],
    )


class Guard:
    """ASGI middleware in front of the MCP endpoint: same origin and the bearer token."""

    def __init__(self, app: Any, token: str) -> None:
        self.app = app
        self._expected = f"Bearer {token}".encode()

    async def __call__(self, scope: dict[str, Any], receive: Any, send: Any) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        headers = dict(scope.get("headers") or ())
        origin = headers.get(b"origin")
        if origin is not None and origin != b"http://" + headers.get(b"host", b""):
            await _refuse(send, 403, "forbidden_origin", "Requests from other origins are refused")
            return
        if not hmac.compare_digest(headers.get(b"authorization", b""), self._expected):
            await _refuse(send, 401, "invalid_token", "A valid bearer token is required")
            return
        await self.app(scope, receive, send)


class RequestHeadDeadline(HttpToolsProtocol):
    """uvicorn's HTTP/1.1 connection, closed when a request's head is not all
    there in time (`head_seconds`) while no request is being answered.

    uvicorn's keep-alive timer restarts at every byte received, so a client
    sending one byte a second would never meet it; and the token and origin
    checks run only once the head is complete.
    """

    head_seconds = REQUEST_HEAD_SECONDS

    def connection_made(self, transport: Any) -> None:
        super().connection_made(transport)
        self._head_deadline = self.loop.call_later(self.head_seconds, self._head_late)

    def on_response_complete(self) -> None:
        super().on_response_complete()
        self._head_deadline.cancel()
        if not self.transport.is_closing():
            self._head_deadline = self.loop.call_later(self.head_seconds, self._head_late)

    def connection_lost(self, exc: Exception | None) -> None:
        self._head_deadline.cancel()
        super().connection_lost(exc)

    def _head_late(self) -> None:
        answering = self.cycle is not None and not self.cycle.response_complete
        if not answering and not self.transport.is_closing():
            self.transport.close()


async def _refuse(send: Any, status: int, error: str, description: str) -> None:
    body = json.dumps({"error": error, "error_description": description}).encode()
    headers = [(b"content-type", b"application/json"), (b"content-length", str(len(body)).encode())]
    if status == 401:
        headers.append((b"www-authenticate", f'Bearer error="{error}"'.encode()))
    await send({"type": "http.response.start", "status": status, "headers": headers})
    await send({"type": "http.response.body", "body": body})


def _listening_socket(host: str, port: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    if host == "localhost":
        host = DEFAULT_HOST
    # Named as TCP, so that the event loop turns Nagle's algorithm off on every
    # connection: otherwise each answer waits out the client's delayed ACK (~40 ms).
    sock = socket.socket(family, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    try:
        sock.bind((host, port))
        # Listening before the address is printed: a client that reads it and
        # connects at once must not be refused while the server still starts.
        sock.listen()
    except OSError:
        sock.close()
        raise
    return sock


async def serve_http(server: Any, settings: HttpSettings) -> None:
    """Serve `server` (a `ToolServer`) over streamable HTTP until interrupted."""
    sock = _listening_socket(settings.host, settings.port)
    port = sock.getsockname()[1]
    app = server.server.streamable_http_app(
        streamable_http_path=MCP_PATH,
        host=settings.host,
        transport_security=_transport_security(settings.host, port),
    )
    # MCP has no use for WebSockets: an upgrade stays a plain request, which the Guard checks.
    config = uvicorn.Config(
        Guard(SingleAnswers(app), settings.token),
        http=RequestHeadDeadline,
        ws="none",
        log_level="warning",
        access_log=False,
    )
    print(
        f"velmor-tools serve: MCP over HTTP at http://{_url_host(settings.host)}:{port}{MCP_PATH}",
        file=sys.stderr,
        flush=True,
    )
    try:
        await uvicorn.Server(config).serve(sockets=[sock])
    finally:
        sock.close()
