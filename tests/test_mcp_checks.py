"""The MCP server's door: each line a client sends is read as a message or answered."""

import asyncio
import json

import pytest

pytest.importorskip("mcp")

from velmor.mcp_checks import InputCheck, refusal, request_id  # noqa: E402
from velmor.mcp_stdio import _Messages  # noqa: E402

PARSE_ERROR, INVALID_REQUEST = -32700, -32600


def call(arguments_json, head='"jsonrpc":"2.0","id":7,"method":"tools/call"'):
    return "{" + head + ',"params":{"name":"t","arguments":' + arguments_json + "}}"


DEEP = "[" * 100_000 + "]" * 100_000
# line, the id answered, the code, words the message holds
REFUSED = [
    (call('{"a":' + DEEP + "}"), 7, PARSE_ERROR, "recursion limit"),
    (call('{"a":' + "[" * 300 + "]" * 300 + "}"), 7, PARSE_ERROR, "recursion limit"),
    (call('{"a":"\\udcff"}'), 7, PARSE_ERROR, "surrogate"),
    (call('{"n":' + "9" * 5000 + "}"), 7, PARSE_ERROR, "number out of range"),
    (call('{"a":'), 7, PARSE_ERROR, "expected value"),
    (
        call("{}", '"jsonrpc":"2.0","method":"tools/call","id":"r-1"')[:-1],
        "r-1",
        PARSE_ERROR,
        "EOF",
    ),
    # The method after the params; the params hold an "id" and a "method" of their own.
    (
        '{"params":{"id":1,"method":2},"id":8,"method":"x","jsonrpc":"2.0","x":' + DEEP + "}",
        8,
        PARSE_ERROR,
        "recursion",
    ),
    ('{"jsonrpc":"2.0","id":9,"method":5}', 9, INVALID_REQUEST, "not a JSON-RPC"),
    # No method: a reply of the client's, whose id is one of the server's own requests.
    ('{"jsonrpc":"2.0","id":3,"result":' + DEEP + "}", None, PARSE_ERROR, "recursion"),
    ('{"jsonrpc":"2.0","id":{"a":1},"method":"x","params":' + DEEP + "}", None, PARSE_ERROR, ""),
    ('{"jsonrpc":"2.0","id":"\\udcff","method":"x"}', None, PARSE_ERROR, "surrogate"),
    ('{"jsonrpc":"2.0","id":1e3,"method":"x","params":[' + DEEP + "]}", None, PARSE_ERROR, ""),
    ("garbage \xff", None, PARSE_ERROR, "expected value"),
    ("[1, 2]", None, INVALID_REQUEST, "not a JSON-RPC"),
    ("null", None, INVALID_REQUEST, ""),
]


REFUSED_IDS = [
    "deep-100k",
    "deep-300",
    "lone-surrogate",
    "huge-integer",
    "no-value",
    "cut-short",
    "method-after-params",
    "method-not-text",
    "reply-of-the-client",
    "compound-id",
    "surrogate-id",
    "float-id",
    "garbage",
    "an-array",
    "null",
]


@pytest.mark.parametrize(("line", "answered_id", "code", "words"), REFUSED, ids=REFUSED_IDS)
def test_a_line_the_sdk_cannot_read_is_answered(line, answered_id, code, words):
    answer = refusal(line)
    assert answer is not None and answer.endswith(b"\n") and answer.count(b"\n") == 1
    message = json.loads(answer)
    assert message["jsonrpc"] == "2.0" and message["id"] == answered_id
    assert message["error"]["code"] == code and words in message["error"]["message"]
    assert len(answer) < 300  # the line itself is never sent back


@pytest.mark.parametrize(
    "line",
    [
        '{"jsonrpc":"2.0","id":1,"method":"ping"}',
        '{"jsonrpc":"2.0","method":"notifications/initialized"}',
        call('{"a":' + "[" * 100 + "]" * 100 + "}"),
        "",
        "  \r\n",
    ],
    ids=["request", "notification", "nested-100", "empty", "blank"],
)
def test_what_the_sdk_reads_is_left_to_it(line):
    assert refusal(line) is None


def test_an_id_is_found_however_long_the_line():
    line = '{"jsonrpc":"2.0","id":12,"method":"x","params":' + "[" * 1_000_000
    assert request_id(line) == 12
    assert request_id('{"method":"x","id":"a\\"b"}') == 'a"b'
    assert request_id('{"id":' + "9" * 40 + ',"method":"x"}') is None  # no plain id


def read_all(data, limit=64):
    """The messages `_Messages` passes on from `data`, and what it answered by itself."""

    class Replies:
        def __init__(self):
            self.answers = []

        async def write_line(self, line):
            self.answers.append(json.loads(line))

    async def main():
        reader = asyncio.StreamReader(limit=limit)
        reader.feed_data(data)
        reader.feed_eof()
        replies = Replies()
        messages = [
            item.message.model_dump(by_alias=True, exclude_unset=True)
            async for item in _Messages(reader, replies, limit=limit)
        ]
        return messages, replies.answers

    return asyncio.run(main())


def test_lines_pass_on_what_the_sdk_reads_and_answer_the_rest():
    ping = b'{"jsonrpc":"2.0","id":1,"method":"ping"}\n'
    overlong = b'{"jsonrpc":"2.0","id":2,"method":"x","params":"' + b"y" * 500 + b'"}\n'
    lines, answers = read_all(
        ping + b"{bad\n" + overlong + b"\n" + ping + b'{"jsonrpc":"2.0","id":3,"method":"ping"}'
    )
    # The overlong line is skipped to its end: the ping after it is read whole.
    assert lines == [
        json.loads(ping),
        json.loads(ping),
        {"jsonrpc": "2.0", "id": 3, "method": "ping"},
    ]
    assert [(a["id"], a["error"]["code"]) for a in answers] == [
        (None, PARSE_ERROR),
        (2, INVALID_REQUEST),
    ]
    assert "at most 64 bytes" in answers[1]["error"]["message"]


@pytest.mark.parametrize(
    "data",
    [b"z" * 1000, b"z" * 65 + b"\n", b"z" * 65],
    ids=["overlong-at-eof", "newline-past-limit", "one-past-limit"],
)
def test_an_overlong_line_at_the_end_ends_the_stream_cleanly(data):
    lines, answers = read_all(data)
    assert lines == [] and len(answers) == 1 and answers[0]["error"]["code"] == INVALID_REQUEST


CLOSED = InputCheck(
    {
        "type": "object",
        "properties": {
            "args": {"type": "object", "properties": {"a": {}}, "additionalProperties": False}
        },
    }
)


@pytest.mark.parametrize(
    ("args", "problems"),
    [
        ({"a": 1, "b": 2}, ['args.b: got 2 (integer), expected no such key (args takes "a")']),
        (
            {"\udcff\x1b" + "k" * 100: "v" * 100},
            [
                'args."\\udcff\\u001b'
                + "k" * 55
                + '...": got "'
                + "v" * 56
                + '... (string), expected no such key (args takes "a")'
            ],
        ),
    ],
    ids=["misspelt", "hostile-key"],
)
def test_each_key_a_tool_does_not_take_is_named(args, problems):
    assert CLOSED({"args": args})[1] == problems


def test_a_flood_of_keys_is_named_in_a_few_lines():
    _, problems = CLOSED({"args": {f"k{i}": i for i in range(100_000)}})
    assert len(problems) == 11 and problems[-1] == "args....: 99990 more keys it does not take"
    assert sum(map(len, problems)) < 2000
