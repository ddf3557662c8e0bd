"""`velmor-tools serve` under the official MCP client, over stdio, with a temporary HOME."""

import contextlib
import json
import os
import re
import select
import shutil
import subprocess
import sys
import time
from pathlib import Path

import anyio
import pytest

mcp = pytest.importorskip("mcp")

import httpx2  # noqa: E402
from mcp import Client, ClientSession, StdioServerParameters, stdio_client  # noqa: E402
from mcp.client.streamable_http import streamable_http_client  # noqa: E402
from mcp.shared._httpx_utils import create_mcp_http_client  # noqa: E402
from mcp.shared.subscriptions import ToolsListChanged  # noqa: E402
from mcp.shared.tool_name_validation import validate_tool_name  # noqa: E402
from mcp_types.version import MODERN_PROTOCOL_VERSIONS  # noqa: E402

from velmor.tools.tool_creator import DynamicTool, ToolCreatorTool  # noqa: E402

# Real servers over stdio and HTTP, one process each: left out of `make test-fast`.
pytestmark = pytest.mark.slow

SCRIPT = Path(sys.executable).with_name("velmor-tools")
ADDER = "def main(args):\n    return {'sum': args['a'] + args['b']}\n"
CREATOR_SCHEMA = ToolCreatorTool(object()).parameters
CUSTOM_SCHEMA = DynamicTool("t", "", "", object()).parameters
# The adder's args, as its code reads them.
ADDER_SCHEMA = {
    "type": "object",
    "properties": {
        "args": {
            **CUSTOM_SCHEMA["properties"]["args"],
            "properties": {"a": {}, "b": {}},
            "required": ["a", "b"],
            "additionalProperties": False,
        }
    },
}


def server_parameters(home):
    # The whole environment, so that a sanitizer run reaches the server too.
    env = {**os.environ, "HOME": str(home)}
    return StdioServerParameters(command=str(SCRIPT), args=["serve"], env=env)


class Changes:
    """The tools/list_changed notifications a session received."""

    def __init__(self):
        self.count = 0

    async def __call__(self, message):
        if isinstance(message, mcp.types.ToolListChangedNotification):
            self.count += 1

    async def reach(self, count):
        with anyio.fail_after(10):
            while self.count < count:
                await anyio.sleep(0.01)


@contextlib.asynccontextmanager
async def session(home, tmp_path):
    changes = Changes()
    with open(tmp_path / "server.log", "w") as log:
        async with (
            stdio_client(server_parameters(home), errlog=log) as (read, write),
            ClientSession(read, write, message_handler=changes) as client,
        ):
            init = await client.initialize()
            assert init.capabilities.tools.list_changed is True
            yield client, changes


async def offered(client):
    return {tool.name: tool for tool in (await client.list_tools()).tools}


def text(result):
    (content,) = result.content
    return content.text


def assert_names_pass_the_sdk_check(tools):
    for name in tools:
        checked = validate_tool_name(name)
        assert checked.is_valid and checked.warnings == [], (name, checked.warnings)


async def test_a_tool_made_called_and_removed_through_mcp(home, tmp_path):
    async with session(home, tmp_path) as (client, changes):
        tools = await offered(client)
        assert list(tools) == ["tool_creator"]
        assert tools["tool_creator"].input_schema == CREATOR_SCHEMA

        created = await client.call_tool(
            "tool_creator",
            {"operation": "create", "tool_name": "adder", "description": "Adds.", "code": ADDER},
        )
        assert created.is_error is False and json.loads(text(created))["registered"] is True
        await changes.reach(1)
        tools = await offered(client)
        assert list(tools) == ["tool_creator", "custom_adder"]
        assert tools["custom_adder"].description == "Adds."
        assert tools["custom_adder"].input_schema == ADDER_SCHEMA
        assert_names_pass_the_sdk_check(tools)

        called = await client.call_tool("custom_adder", {"args": {"a": 40, "b": 2}})
        assert called.is_error is False and json.loads(text(called)) == {"sum": 42}
        failed = await client.call_tool("custom_adder", {"args": {"a": 1}})
        assert (failed.is_error, text(failed)) == (
            True,
            "[ERROR] Invalid arguments: args.b: missing, but required",
        )

        missing = await client.call_tool("custom_nothing", {})
        assert missing.is_error is True and text(missing) == "[ERROR] Unknown tool: custom_nothing"
        not_found = await client.call_tool("tool_creator", {"operation": "info", "tool_name": "x"})
        assert not_found.is_error is True and text(not_found) == "[ERROR] Tool not found: x"
        assert changes.count == 1  # calls that change nothing announce nothing

        deleted = await client.call_tool(
            "tool_creator", {"operation": "delete", "tool_name": "adder"}
        )
        assert (deleted.is_error, text(deleted)) == (False, "Deleted custom tool: adder")
        await changes.reach(2)
        assert list(await offered(client)) == ["tool_creator"]


async def test_an_exception_in_a_tool_is_an_error_result(home, tmp_path):
    store = home / ".velmor" / "custom_tools"
    (store / "damaged").mkdir(parents=True)
    (store / "damaged" / "metadata.json").write_text("{broken")
    async with session(home, tmp_path) as (client, _):
        raised = await client.call_tool("tool_creator", {"operation": "list"})
        assert raised.is_error is True
        damaged = store / "damaged" / "metadata.json"
        assert text(raised).startswith(f"[ERROR] Damaged metadata: {damaged}: not JSON: Expecting")
        info = await client.call_tool("tool_creator", {"operation": "info", "tool_name": "damaged"})
        assert text(info).startswith(f"[ERROR] Damaged metadata: {damaged}: not JSON: Expecting")
        (store / "damaged" / "metadata.json").unlink()
        listed = await client.call_tool("tool_creator", {"operation": "list"})  # still serving
        assert listed.is_error is False and json.loads(text(listed))["count"] == 1
    assert "JSONDecodeError" in (tmp_path / "server.log").read_text()


async def test_a_restarted_server_offers_what_was_saved(home, tmp_path):
    async with session(home, tmp_path) as (client, changes):
        for name in ["adder", "second"]:
            await client.call_tool(
                "tool_creator", {"operation": "create", "tool_name": name, "code": ADDER}
            )
        await changes.reach(2)
    (home / ".velmor" / "custom_tools" / "word count").mkdir()  # not a usable name: not offered
    async with session(home, tmp_path) as (client, _):
        tools = await offered(client)
        assert list(tools) == ["tool_creator", "custom_adder", "custom_second"]
        assert_names_pass_the_sdk_check(tools)
        called = await client.call_tool("custom_adder", {"args": {"a": 1, "b": 2}})
        assert json.loads(text(called)) == {"sum": 3}
    assert "Skipped saved tool 'word count'" in (tmp_path / "server.log").read_text()


async def test_a_current_protocol_client_hears_changes_on_its_listen_stream(home):
    params = server_parameters(home)
    async with Client(params) as client:
        assert client.protocol_version in MODERN_PROTOCOL_VERSIONS
        async with client.listen(tools_list_changed=True) as events:
            await client.call_tool(
                "tool_creator", {"operation": "create", "tool_name": "adder", "code": ADDER}
            )
            with anyio.fail_after(10):
                event = await anext(aiter(events))
        assert isinstance(event, ToolsListChanged)
        assert "custom_adder" in {tool.name for tool in (await client.list_tools()).tools}


def creating(name, code=ADDER, **extra):
    return {"operation": "create", "tool_name": name, "code": code, **extra}


async def test_a_current_protocol_client_without_a_listen_stream_hears_its_own_changes(home):
    changes = Changes()
    async with Client(server_parameters(home), message_handler=changes) as client:
        assert client.protocol_version in MODERN_PROTOCOL_VERSIONS
        await client.call_tool("tool_creator", creating("adder"))
        await changes.reach(1)
        await client.call_tool("custom_adder", {"args": {"a": 1, "b": 2}})
        await client.call_tool("tool_creator", {"operation": "delete", "tool_name": "adder"})
        await changes.reach(2)
        assert changes.count == 2


async def test_the_server_follows_changes_other_processes_make_in_the_store(home, tmp_path):
    store = home / ".velmor" / "custom_tools"
    async with session(home, tmp_path) as (client, changes):
        # Made by another process, in the order create writes: a folder with
        # work in progress is not a tool yet.
        folder = store / "outside"
        folder.mkdir(parents=True)
        (folder / f".tool.py.{os.getpid()}.x.tmp").write_text(ADDER)
        (store / "not usable").mkdir()
        (store / ".staging").mkdir()
        assert list(await offered(client)) == ["tool_creator"]
        (folder / "tool.py").write_text(ADDER)
        (folder / "metadata.json").write_text('{"description": "From outside."}')
        with anyio.fail_after(2.5):  # announced within two seconds, unasked
            await changes.reach(1)
        tools = await offered(client)
        assert list(tools) == ["tool_creator", "custom_outside"]
        assert tools["custom_outside"].description == "From outside."

        # A tool deleted elsewhere is withdrawn as soon as anyone looks.
        for path in folder.iterdir():
            path.unlink()
        folder.rmdir()
        assert list(await offered(client)) == ["tool_creator"]
        await changes.reach(2)

        # One saved a moment ago can be called before any announcement.
        (store / "fresh").mkdir()
        (store / "fresh" / "tool.py").write_text(ADDER)
        called = await client.call_tool("custom_fresh", {"args": {"a": 2, "b": 3}})
        assert json.loads(text(called)) == {"sum": 5}
        await changes.reach(3)
        shutil.rmtree(store / "fresh")
        gone = await client.call_tool("custom_fresh", {"args": {"a": 2, "b": 3}})
        assert (gone.is_error, text(gone)) == (True, "[ERROR] Unknown tool: custom_fresh")
        await changes.reach(4)
        await anyio.sleep(1.5)  # nothing more changed: nothing more announced
        assert changes.count == 4
    assert (tmp_path / "server.log").read_text().count("Skipped saved tool 'not usable'") == 1


# Arguments the door refuses, and what it answers: each argument, what it got, what it expects.
REFUSED = [
    ("tool_creator", {}, "operation: missing, but required"),
    (
        "tool_creator",
        {"operation": "info", "tool_name": 5},
        "tool_name: got 5 (integer), expected a string",
    ),
    (
        "tool_creator",
        creating("x", register="false"),
        'register: got "false" (string), expected a boolean',
    ),
    (
        "tool_creator",
        {"operation": "frobnicate", "args": []},
        'args: got [] (array), expected an object; operation: got "frobnicate" (string), expected one of "create", ',
    ),
    ("custom_adder", {"args": "a=1"}, 'args: got "a=1" (string), expected an object'),
]


async def test_arguments_are_checked_against_the_offered_schema(home, tmp_path):
    async with session(home, tmp_path) as (client, changes):
        # Null stands for "not given": the tool is registered, with no description.
        created = await client.call_tool(
            "tool_creator", creating("adder", description=None, register=None, args=None)
        )
        assert created.is_error is False, text(created)
        assert json.loads(text(created))["registered"] is True
        await changes.reach(1)
        assert (await offered(client))["custom_adder"].description == ""

        for tool, arguments, expected in REFUSED:
            refused = await client.call_tool(tool, arguments)
            assert refused.is_error is True
            assert text(refused).startswith("[ERROR] Invalid arguments: " + expected), text(refused)
        assert list(await offered(client)) == ["tool_creator", "custom_adder"]  # nothing made


SURROGATE_AT_RUN = "def main(args):\n    raise RuntimeError('bad \\udcff')\n"
SURROGATE_AT_CREATE = "raise RuntimeError('bad \\udcff')\ndef main(args):\n    return 1\n"
SURROGATE_ANSWER = "def main(args):\n    return {'s': '\\udcff', 'k': 1}\n"
ESCAPES = (
    "def main(args):\n    print('\\x1b[2J\\x1b]0;owned\\x07')\n    return '\\x1b[31mred\\x1b[0m'\n"
)


async def test_whatever_a_tool_answers_the_server_keeps_serving(home, tmp_path):
    async with session(home, tmp_path) as (client, _):
        for name, code in [
            ("run", SURROGATE_AT_RUN),
            ("answer", SURROGATE_ANSWER),
            ("esc", ESCAPES),
        ]:
            made = await client.call_tool("tool_creator", creating(name, code))
            assert made.is_error is False, text(made)
        at_create = await client.call_tool("tool_creator", creating("create", SURROGATE_AT_CREATE))
        assert at_create.is_error is True and "\\udcff" in text(at_create)

        at_run = await client.call_tool("custom_run", {"args": {}})
        assert at_run.is_error is True and "bad \\udcff" in text(at_run)
        answer = await client.call_tool("custom_answer", {"args": {}})
        assert answer.structured_content == {"s": "\\udcff", "k": 1}
        escapes = await client.call_tool("custom_esc", {"args": {}})
        assert json.loads(text(escapes)) == "\x1b[31mred\x1b[0m"  # data, passed on as data
        assert escapes.structured_content is None

        adder = await client.call_tool("tool_creator", creating("adder"))
        assert adder.structured_content["registered"] is True
        called = await client.call_tool("custom_adder", {"args": {"a": 40, "b": 2}})
        assert called.structured_content == {"sum": 42}
        failed = await client.call_tool("tool_creator", {"operation": "info", "tool_name": "none"})
        assert failed.is_error is True and failed.structured_content is None


def test_lines_that_are_no_message_are_answered_and_the_server_reads_on(home):
    """Over the pipes, what is no JSON-RPC message is answered with its error,
    under no id when it names none of a request's, a byte that is not UTF-8 is
    replaced, and every reply is one whole line."""
    initialize = {
        "jsonrpc": "2.0",
        "id": 1,
        "method": "initialize",
        "params": {
            "protocolVersion": "2025-11-25",
            "capabilities": {},
            "clientInfo": {"name": "t", "version": "1"},
        },
    }
    requests = [
        b"not json\n",
        b'{"jsonrpc": "2.0", "id": 9, "method": "ping", "params": {"\xff": 1}}\n',
        b'{"jsonrpc": "2.0", "id": 8}\n',
        json.dumps(initialize).encode() + b"\n",
        b'{"jsonrpc": "2.0", "method": "notifications/initialized"}\n',
        b'{"jsonrpc": "2.0", "id": 2, "method": "tools/list"}\n',
    ]
    server = subprocess.Popen(
        [str(SCRIPT), "serve"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        env={**os.environ, "HOME": str(home)},
        bufsize=0,  # unbuffered: what select() sees is all there is
    )
    answered = {}
    try:
        server.stdin.write(b"".join(requests))
        server.stdin.flush()
        deadline = time.monotonic() + 30
        while 2 not in answered:
            ready, _, _ = select.select([server.stdout], [], [], deadline - time.monotonic())
            assert ready, f"no reply within 30 s; so far {sorted(answered)}"
            line = server.stdout.readline()
            assert line.endswith(b"\n"), line
            reply = json.loads(line)
            answered.setdefault(reply["id"], []).append(reply)
    finally:
        server.stdin.close()
        server.wait(timeout=30)
        server.stdout.close()
    assert set(answered) == {None, 1, 2, 9}
    assert [reply["error"]["message"].split(":")[0] for reply in answered[None]] == [
        "Parse error",  # not JSON
        "Invalid request",  # an id alone: neither a request nor a reply
    ]
    assert answered[9] == [{"jsonrpc": "2.0", "id": 9, "result": {}}]
    assert answered[1][0]["result"]["serverInfo"]["name"] == "velmor-tools"
    assert [tool["name"] for tool in answered[2][0]["result"]["tools"]] == ["tool_creator"]


class RawClient:
    """A client that writes whatever bytes it likes to `velmor-tools serve` over pipes."""

    def __init__(self, home, log):
        env = {**os.environ, "HOME": str(home)}
        self.server = subprocess.Popen(
            [str(SCRIPT), "serve"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=log,
            env=env,
        )
        self.send(
            b'{"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":'
            b'"2025-11-25","capabilities":{},"clientInfo":{"name":"raw","version":"0"}}}'
        )
        assert self.answer()["id"] == 0
        self.send(b'{"jsonrpc":"2.0","method":"notifications/initialized"}')

    def send(self, line):
        self.server.stdin.write(line + b"\n")
        self.server.stdin.flush()

    def answer(self):
        """The next message, within 30 s: a request the server drops would hang here."""
        ready, _, _ = select.select([self.server.stdout], [], [], 30)
        assert ready, "no answer within 30 s"
        return json.loads(self.server.stdout.readline())

    def close(self):
        self.server.stdin.close()
        self.server.wait(timeout=30)


def tools_call(request_id, arguments_json, name=b"tool_creator"):
    return (
        b'{"jsonrpc":"2.0","id":%d,"method":"tools/call","params":{"name":"%s","arguments":%s}}'
        % (request_id, name, arguments_json)
    )


DEEP = b"[" * 100_000 + b"]" * 100_000
# What a client may send that the SDK cannot read: each is answered under its id.
UNREADABLE = [
    (tools_call(1, b'{"operation":"list","x":' + DEEP + b"}"), "recursion limit"),
    (tools_call(2, b'{"operation":"info","tool_name":"\\udcff"}'), "surrogate"),
    (tools_call(3, b'{"operation":"info","tool_name":' + b"9" * 5000 + b"}"), "out of range"),
    (tools_call(4, b'{"operation":"info","tool_name":"\xff\xfe'), "while parsing a string"),
]


def test_every_request_is_answered_whatever_its_bytes(home, tmp_path):
    store = home / ".velmor" / "custom_tools"
    (store / "deep").mkdir(parents=True)
    (store / "deep" / "tool.py").write_text(ADDER)
    (store / "deep" / "metadata.json").write_bytes(DEEP)  # read at start: must not stop it
    with open(tmp_path / "server.log", "w") as log:
        client = RawClient(home, log)
        try:
            for request_id, (line, words) in enumerate(UNREADABLE, start=1):
                client.send(line)
                client.send(b"")  # a blank line is no message: nothing answers it
                answer = client.answer()
                assert answer["id"] == request_id and words in answer["error"]["message"]
            # A name too long for a folder: the tool creator's OSError stays in the log.
            client.send(tools_call(5, b'{"operation":"info","tool_name":"%s"}' % (b"n" * 5000)))
            answer = client.answer()["result"]
            assert answer["isError"] is True
            assert answer["content"][0]["text"] == (
                "[ERROR] tool_creator failed; the server log has details"
            )
            client.send(tools_call(6, b"{}", name=b"custom_deep"))
            answer = client.answer()["result"]
            assert answer["content"][0]["text"].startswith("[ERROR] Invalid arguments: ")
            client.send(tools_call(7, b'{"args":{"a":1,"b":2}}', name=b"custom_deep"))
            assert client.answer()["result"]["structuredContent"] == {"sum": 3}
        finally:
            client.close()
    assert "File name too long" in (tmp_path / "server.log").read_text()


# -- over streamable HTTP ------------------------------------------------------

TOKEN = "test-token-" + "x" * 20


@pytest.fixture
def http_url(home, tmp_path):
    """The URL of `velmor-tools serve --http 127.0.0.1:0`, which picks a free port."""
    env = {**os.environ, "HOME": str(home), "VELMOR_TOKEN": TOKEN}
    log_path = tmp_path / "http-server.log"
    with open(log_path, "w") as log:
        server = subprocess.Popen(
            [str(SCRIPT), "serve", "--http", "127.0.0.1:0"], env=env, stderr=log
        )
    try:
        deadline = time.monotonic() + 30
        while not (found := re.search(r"at (http://\S+/mcp)", log_path.read_text())):
            assert server.poll() is None and time.monotonic() < deadline, log_path.read_text()
            time.sleep(0.05)
        yield found[1]
    finally:
        server.terminate()
        server.wait(timeout=30)


def http_client(url, headers=None):
    headers = {"Authorization": f"Bearer {TOKEN}"} | (headers or {})
    return streamable_http_client(url, http_client=create_mcp_http_client(headers=headers))


async def test_two_http_clients_share_the_store_and_hear_each_others_changes(http_url, tmp_path):
    older = Changes()
    async with (
        http_client(http_url) as (read, write),
        ClientSession(read, write, message_handler=older) as second,
        Client(http_client(http_url)) as first,
        first.listen(tools_list_changed=True) as events,
    ):
        assert (await second.initialize()).capabilities.tools.list_changed is True
        assert first.protocol_version in MODERN_PROTOCOL_VERSIONS
        await first.call_tool("tool_creator", creating("adder"))
        await older.reach(1)  # the other client, of the older protocol, heard it
        await second.call_tool("tool_creator", creating("second"))
        with anyio.fail_after(10):
            while not isinstance(await anext(aiter(events)), ToolsListChanged):
                pass
        for client in (first, second):
            tools = await offered(client)
            assert list(tools) == ["tool_creator", "custom_adder", "custom_second"]
        called = await second.call_tool("custom_adder", {"args": {"a": 1, "b": 1}})
        assert called.structured_content == {"sum": 2}


class Answers:
    """The content type each tool call of a client was answered with, and the
    connections that carried the client's requests."""

    def __init__(self):
        self.kinds = []
        self.connections = set()

    async def __call__(self, response):
        if response.request.method == "POST":
            if json.loads(response.request.content).get("method") == "tools/call":
                self.kinds.append(response.headers["content-type"].split(";")[0])
            self.connections.add(id(response.extensions.get("network_stream")))


async def test_an_older_client_gets_plain_answers_on_one_connection_and_notices_on_streams(
    http_url,
):
    answers, changes = Answers(), Changes()
    client = create_mcp_http_client(headers={"Authorization": f"Bearer {TOKEN}"})
    client.event_hooks["response"].append(answers)
    async with (
        streamable_http_client(http_url, http_client=client) as (read, write),
        ClientSession(read, write, message_handler=changes) as session,
    ):
        await session.initialize()
        created = await session.call_tool("tool_creator", creating("adder"))
        assert created.is_error is False
        assert changes.count == 1  # heard on the call's own stream, before its answer
        assert answers.kinds[-1] == "text/event-stream"
        answers.kinds.clear()
        answers.connections.clear()
        for a in range(5):
            called = await session.call_tool("custom_adder", {"args": {"a": a, "b": 1}})
            assert called.structured_content == {"sum": a + 1}
        failed = await session.call_tool("custom_adder", {"args": {"a": 1}})
        assert text(failed) == "[ERROR] Invalid arguments: args.b: missing, but required"
        assert answers.kinds == ["application/json"] * 6
        assert len(answers.connections) == 1  # each answer read whole: the connection kept
        deleted = await session.call_tool(
            "tool_creator", {"operation": "delete", "tool_name": "adder"}
        )
        assert deleted.is_error is False and changes.count == 2
        assert answers.kinds[-1] == "text/event-stream"


REFUSED_REQUESTS = [
    ({}, 401),
    ({"Authorization": "Bearer wrong"}, 401),
    ({"Authorization": f"bearer {TOKEN}x"}, 401),
    ({"Authorization": f"Bearer {TOKEN}", "Origin": "http://evil.example"}, 403),
    (
        {
            "Authorization": f"Bearer {TOKEN}",
            "Host": "evil.example",
            "Origin": "http://evil.example",
        },
        421,
    ),
]


async def test_http_refuses_requests_without_the_token_or_from_elsewhere(http_url):
    initialize = {
        "jsonrpc": "2.0",
        "id": 1,
        "method": "initialize",
        "params": {
            "protocolVersion": "2025-06-18",
            "capabilities": {},
            "clientInfo": {"name": "t", "version": "1"},
        },
    }
    accept = {"Accept": "application/json, text/event-stream"}
    async with httpx2.AsyncClient() as raw:
        for headers, status in REFUSED_REQUESTS:
            answer = await raw.post(http_url, json=initialize, headers=accept | headers)
            assert answer.status_code == status, (headers, answer.text)
            if status == 401:
                assert answer.headers["www-authenticate"].startswith("Bearer ")
        accepted = await raw.post(
            http_url, json=initialize, headers=accept | {"Authorization": f"Bearer {TOKEN}"}
        )
        assert accepted.status_code == 200
        # No WebSocket either: an upgrade is a plain request, and needs the token.
        upgrade = {
            "Upgrade": "websocket",
            "Connection": "Upgrade",
            "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ==",
            "Sec-WebSocket-Version": "13",
        }
        assert (await raw.get(http_url, headers=upgrade)).status_code == 401


ADDRESSES = [
    ("8000", ("127.0.0.1", 8000), True),
    ("localhost:0", ("localhost", 0), True),
    ("[::1]:65535", ("::1", 65535), True),
    ("127.1.2.3:80", ("127.1.2.3", 80), True),
    ("0.0.0.0:8000", ("0.0.0.0", 8000), False),
    ("192.0.2.7:8000", ("192.0.2.7", 8000), False),
    ("example.org:8000", ("example.org", 8000), False),
]


@pytest.mark.parametrize(("text", "address", "loopback"), ADDRESSES)
def test_an_http_address_is_read_as_host_and_port(text, address, loopback):
    from velmor.mcp_http import is_loopback, parse_address

    assert parse_address(text) == address
    assert is_loopback(address[0]) is loopback


def test_the_printed_address_already_takes_connections():
    # The address is printed before the server's loop runs: a client that
    # connects on reading it must get through, not be refused.
    import socket

    from velmor.mcp_http import _listening_socket

    with _listening_socket("127.0.0.1", 0) as sock:
        socket.create_connection(sock.getsockname(), timeout=5).close()


@pytest.mark.parametrize(
    "text", ["", "port", "::1:80", "127.0.0.1:65536", "127.0.0.1:", ":80", "h:-1"]
)
def test_an_address_that_is_not_host_and_port_is_refused(text):
    from velmor.mcp_http import parse_address

    with pytest.raises(ValueError):
        parse_address(text)


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (["--http", "192.0.2.7:8000"], "is not a loopback address"),
        (["--http", "0.0.0.0:8000"], "add --allow-remote"),
        (["--http", "nowhere"], "--http: 'nowhere' has no port number"),
    ],
)
def test_serve_over_http_needs_a_loopback_host_or_an_explicit_flag(arguments, message):
    done = subprocess.run(
        [str(SCRIPT), "serve", *arguments], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 2 and message in done.stderr, done.stderr


def test_a_remote_host_is_served_with_a_warning_and_a_made_token_is_printed_once(home, tmp_path):
    env = {key: value for key, value in os.environ.items() if key != "VELMOR_TOKEN"}
    env["HOME"] = str(home)
    with open(tmp_path / "log", "w") as log:
        server = subprocess.Popen(
            [str(SCRIPT), "serve", "--http", "0.0.0.0:0", "--allow-remote"], env=env, stderr=log
        )
    try:
        deadline = time.monotonic() + 30
        while "MCP over HTTP at" not in (text := (tmp_path / "log").read_text()):
            assert server.poll() is None and time.monotonic() < deadline, text
            time.sleep(0.05)
    finally:
        server.terminate()
        server.wait(timeout=30)
    assert "WARNING: serving on 0.0.0.0, reachable from other machines" in text
    (token,) = re.findall(r"'Authorization: Bearer (\S+)'", text)
    assert len(token) >= 32


class QuickDeadline:
    """A uvicorn server with the request-head deadline at 0.3 s, on the test's own loop.

    Its app answers "/slow" after 1 s and anything else at once."""

    def __init__(self):
        import socket

        import uvicorn

        from velmor.mcp_http import RequestHeadDeadline

        class Quick(RequestHeadDeadline):
            head_seconds = 0.3

        async def app(scope, receive, send):
            if scope["type"] != "http":
                return
            if scope["path"] == "/slow":
                await anyio.sleep(1)
            await send({"type": "http.response.start", "status": 200, "headers": []})
            await send({"type": "http.response.body", "body": b"ok"})

        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen()
        self.port = self.sock.getsockname()[1]
        config = uvicorn.Config(app, http=Quick, log_level="error", lifespan="off")
        self.server = uvicorn.Server(config)

    async def connect(self):
        return await anyio.connect_tcp("127.0.0.1", self.port)


GET = b"GET /%s HTTP/1.1\r\nHost: x\r\n\r\n"


async def closed_within(stream, seconds):
    """Whether the server closes `stream` within `seconds` (reading what it answers meanwhile)."""
    with anyio.move_on_after(seconds):
        try:
            while await stream.receive():
                pass
        except (anyio.EndOfStream, anyio.BrokenResourceError):
            return True
    return False


async def test_a_client_that_trickles_its_request_head_is_let_go():
    quick = QuickDeadline()
    async with anyio.create_task_group() as group:
        group.start_soon(quick.server.serve, [quick.sock])
        while not quick.server.started:
            await anyio.sleep(0.01)
        silent, trickling = await quick.connect(), await quick.connect()
        await trickling.send(b"GET / HTTP/1.1\r\n")
        for _ in range(4):  # a byte every 0.1 s: uvicorn's own timer restarts at each
            await anyio.sleep(0.1)
            with contextlib.suppress(anyio.BrokenResourceError):
                await trickling.send(b"X")
        assert await closed_within(trickling, 0.5)
        assert await closed_within(silent, 0.1)
        # A connection that got its answer has the same time again for its next head.
        answered = await quick.connect()
        await answered.send(GET % b"")
        assert b"200 OK" in await answered.receive()
        assert not await closed_within(answered, 0.15)
        assert await closed_within(answered, 0.5)
        # A request still being answered is never cut.
        slow = await quick.connect()
        await slow.send(GET % b"slow")
        with anyio.fail_after(3):
            assert b"200 OK" in await slow.receive()
        quick.server.should_exit = True
    quick.sock.close()


async def test_a_look_at_the_store_that_fails_does_not_end_the_server(caplog):
    from velmor.mcp_server import ToolServer
    from velmor.tools.base import ToolRegistry

    class Store:
        looks = 0

        def sync(self):
            self.looks += 1
            if self.looks == 1:
                raise PermissionError("the store went away")
            return self.looks == 3

    server = ToolServer(ToolRegistry(), store=Store())
    announced = []

    async def announce(ctx=None):
        announced.append(server.store.looks)

    server._announce = announce
    with anyio.move_on_after(0.5):
        await server.follow_store(interval=0.01)
    assert server.store.looks > 3 and announced == [3]
    assert "Could not bring the tools in step with the store" in caplog.text
