"""An HTTP answer that is the first thing on its event stream goes out as one JSON body."""

import json

import anyio
import pytest

pytest.importorskip("mcp")

from velmor.mcp_replies import LONE_ANSWER_LIMIT, SingleAnswers, lone_answer  # noqa: E402

ANSWER = {"jsonrpc": "2.0", "id": 3, "result": {"content": [], "isError": False}}
ANSWER_TEXT = json.dumps(ANSWER).encode()
NOTICE = (
    b'event: message\r\ndata: {"jsonrpc":"2.0","method":"notifications/tools/list_changed"}\r\n\r\n'
)
STREAM_START = {
    "type": "http.response.start",
    "status": 200,
    "headers": [
        (b"content-type", b"text/event-stream; charset=utf-8"),
        (b"cache-control", b"no-cache, no-transform"),
        (b"connection", b"keep-alive"),
        (b"mcp-session-id", b"abc"),
    ],
}

EVENTS = [
    (b"event: message\r\ndata: " + ANSWER_TEXT + b"\r\n\r\n", ANSWER_TEXT),
    (b"event: message\ndata: " + ANSWER_TEXT + b"\n\n", ANSWER_TEXT),
    (b"data:" + ANSWER_TEXT + b"\r\n\r\n", ANSWER_TEXT),  # no event name: a message
    (
        b'event: message\r\ndata: {"jsonrpc":"2.0","id":1,\r\ndata: "error":{}}\r\n\r\n',
        b'{"jsonrpc":"2.0","id":1,\n"error":{}}',
    ),
    (
        b'data: {"jsonrpc":"2.0","id":"x","error":{"code":1}}\r\n\r\n',
        b'{"jsonrpc":"2.0","id":"x","error":{"code":1}}',
    ),
    # Not an answer, or not only one:
    (NOTICE, None),
    (b": ping - 2026-12-08\r\n\r\n", None),
    (b"id: 7\r\nevent: message\r\ndata: " + ANSWER_TEXT + b"\r\n\r\n", None),
    (b"event: other\r\ndata: " + ANSWER_TEXT + b"\r\n\r\n", None),
    (b"event: message\r\ndata: " + ANSWER_TEXT + b"\r\n", None),  # not ended yet
    (b"event: message\r\ndata: " + ANSWER_TEXT + b"\r\n\r\n" + NOTICE, None),
    (b'data: {"jsonrpc":"2.0","id":1,"method":"sampling/createMessage"}\r\n\r\n', None),
    (b'data: {"jsonrpc":"2.0","id":1,"result":{},"error":{}}\r\n\r\n', None),
    (b'data: {"jsonrpc":"2.0","result":{}}\r\n\r\n', None),
    (b"data: [1]\r\n\r\n", None),
    (b"data: {not json\r\n\r\n", None),
    (b"event: message\r\n\r\n", None),
    (b"", None),
    # Too long to be worth reading: left a stream.
    (
        b"data: " + json.dumps({**ANSWER, "result": "x" * LONE_ANSWER_LIMIT}).encode() + b"\n\n",
        None,
    ),
]


@pytest.mark.parametrize(("chunk", "expected"), EVENTS)
def test_only_one_whole_answer_event_is_taken_as_the_answer(chunk, expected):
    assert lone_answer(chunk) == expected


async def respond(app, method="POST"):
    """What `app`, wrapped, sends for one request."""
    sent = []

    async def receive():
        await anyio.sleep_forever()

    async def send(message):
        sent.append(message)

    await SingleAnswers(app)({"type": "http", "method": method}, receive, send)
    return sent


def stream_of(*bodies):
    async def app(scope, receive, send):
        await send(STREAM_START)
        for body in bodies:
            await send({"type": "http.response.body", "body": body, "more_body": True})
        await send({"type": "http.response.body", "body": b"", "more_body": False})

    return app


async def test_an_answer_first_on_its_stream_goes_out_as_json_with_its_length():
    sent = await respond(stream_of(b"event: message\r\ndata: " + ANSWER_TEXT + b"\r\n\r\n"))
    start, body = sent
    headers = dict(start["headers"])
    assert headers == {
        b"mcp-session-id": b"abc",
        b"content-type": b"application/json",
        b"content-length": str(len(ANSWER_TEXT)).encode(),
    }
    assert start["status"] == 200
    assert json.loads(body["body"]) == ANSWER and not body.get("more_body", False)


@pytest.mark.parametrize(
    "bodies",
    [
        (NOTICE, b"event: message\r\ndata: " + ANSWER_TEXT + b"\r\n\r\n"),
        (b": ping\r\n\r\n", b"event: message\r\ndata: " + ANSWER_TEXT + b"\r\n\r\n"),
        (),
    ],
)
async def test_anything_else_first_sends_the_stream_unchanged(bodies):
    sent = await respond(stream_of(*bodies))
    assert sent[0] is STREAM_START
    assert [m["body"] for m in sent[1:]] == [*bodies, b""]


async def test_a_stream_the_application_never_ended_still_gets_its_start():
    async def app(scope, receive, send):
        await send(STREAM_START)

    sent = await respond(app)
    assert sent == [STREAM_START, {"type": "http.response.body", "body": b""}]


async def test_other_responses_and_requests_pass_untouched():
    json_start = {"type": "http.response.start", "status": 202, "headers": []}

    async def plain(scope, receive, send):
        await send(json_start)
        await send({"type": "http.response.body", "body": b"{}"})

    assert await respond(plain) == [json_start, {"type": "http.response.body", "body": b"{}"}]
    answer = b"event: message\r\ndata: " + ANSWER_TEXT + b"\r\n\r\n"
    sent = await respond(stream_of(answer), method="GET")  # a standalone stream stays one
    assert sent[0] is STREAM_START and sent[1]["body"] == answer
