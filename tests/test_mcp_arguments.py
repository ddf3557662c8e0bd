"""A custom tool's call arguments as MCP clients send them: nested, flat, with nulls."""

import pytest

from velmor.mcp_arguments import InvalidArguments, custom_tool_arguments

SCHEMA = {
    "type": "object",
    "properties": {"text": {}, "sep": {"type": "string"}, "note": {"type": ["string", "null"]}},
    "required": ["text"],
}


@pytest.mark.parametrize(
    "arguments, expected",
    [
        (None, {}),
        ({}, {}),
        ({"args": {"text": "a b"}}, {"text": "a b"}),
        ({"text": "a b", "sep": "-"}, {"text": "a b", "sep": "-"}),  # flat
        ({"args": None}, {}),
        ({"args": {"text": "a"}, "other": None}, {"text": "a"}),  # a null beside counts as absent
        ({"args": {"text": None, "sep": None}}, {"text": None}),  # required stays, optional goes
        ({"args": {"text": "a", "note": None}}, {"text": "a", "note": None}),  # null is a value
        ({"args": {"text": "a", "unlisted": None}}, {"text": "a", "unlisted": None}),
        ({"args": "not an object"}, "not an object"),  # left for the schema check to answer
        ({"text": "a", "sep": None, "other": None}, {"text": "a", "other": None}),
        ({"args": None, "text": "a"}, {"text": "a"}),
    ],
    ids=[
        "none",
        "empty",
        "nested",
        "flat",
        "null-args",
        "null-beside",
        "null-optional",
        "nullable-key",
        "unlisted-null",
        "not-an-object",
        "flat-with-nulls",
        "flat-beside-null-args",
    ],
)
def test_arguments(arguments, expected):
    assert custom_tool_arguments(arguments, SCHEMA) == {"args": expected}


def test_without_a_schema_nothing_is_dropped():
    assert custom_tool_arguments({"args": {"sep": None}}) == {"args": {"sep": None}}


def test_args_with_keys_beside_it_names_the_shape():
    with pytest.raises(InvalidArguments) as raised:
        custom_tool_arguments({"args": {"text": "a"}, "text": "b", "n\udcff\x1b": 1}, SCHEMA)
    assert str(raised.value) == (
        'pass the tool\'s inputs inside "args" ({"args": {...}}), '
        'not beside it: got "args" and "text", "n\\udcff\\u001b"'
    )
    str(raised.value).encode("utf-8")  # a client's odd key never makes the answer unsendable
