"""Custom tools through `velmor-tools serve`: the args schema read from their code, and
calls as models send them (flat, with nulls, with keys beside args), under the SDK's client."""

import contextlib
import json
import os
import sys
import threading
from pathlib import Path

import pytest

mcp = pytest.importorskip("mcp")

from mcp import Client, StdioServerParameters  # noqa: E402

SCRIPT = Path(sys.executable).with_name("velmor-tools")
JOINER = '''
def main(args):
    """Join `words` with `sep`."""
    sep = args.get("sep", " ")
    if args.get("shout", False):
        return sep.join(args["words"]).upper()
    return sep.join(args["words"])
'''
JOINER_ARGS = {
    "type": "object",
    "properties": {
        "sep": {"type": "string", "default": " "},
        "shout": {"type": "boolean", "default": False},
        "words": {},
    },
    "additionalProperties": False,
}
PASSES_ON = "import json\ndef main(args):\n    return json.dumps(args, sort_keys=True)\n"
ADDER = "def main(args):\n    return args['a'] + args['b']\n"


def text(result):
    (content,) = result.content
    return content.text


@contextlib.asynccontextmanager
async def served(home):
    """A client of a server whose store holds the two tools above."""
    env = {**os.environ, "HOME": str(home)}
    async with Client(StdioServerParameters(command=str(SCRIPT), args=["serve"], env=env)) as c:
        for name, code in [("joiner", JOINER), ("passes_on", PASSES_ON), ("adder", ADDER)]:
            made = await c.call_tool(
                "tool_creator",
                {"operation": "create", "tool_name": name, "code": code, "description": "Joins."},
            )
            assert made.is_error is False, text(made)
        yield c


async def offered(client):
    return {tool.name: tool for tool in (await client.list_tools()).tools}


async def test_offered_with_the_args_its_code_reads_and_its_docstring(home):
    async with served(home) as client:
        tools = await offered(client)
        joiner = tools["custom_joiner"]
        args = joiner.input_schema["properties"]["args"]
        assert {key: value for key, value in args.items() if key != "description"} == JOINER_ARGS
        assert "required" not in joiner.input_schema  # args itself stays optional
        assert joiner.description == "Joins.\n\nJoin `words` with `sep`."
        opened = tools["custom_passes_on"].input_schema["properties"]["args"]
        assert "additionalProperties" not in opened and "properties" not in opened

        # pydantic-ai's rewrite for OpenAI's strict mode keeps the keys.
        openai = pytest.importorskip("pydantic_ai.profiles.openai")
        strict = openai.OpenAIJsonSchemaTransformer(joiner.input_schema, strict=True).walk()
        assert sorted(strict["properties"]["args"]["properties"]) == ["sep", "shout", "words"]

        # The schema follows the saved code.
        script = home / ".velmor" / "custom_tools" / "joiner" / "tool.py"
        script.write_text("def main(args):\n    return args['other']\n")
        args = (await offered(client))["custom_joiner"].input_schema["properties"]["args"]
        assert args["required"] == ["other"]


ACCEPTED = [
    ({"args": {"words": ["a", "b"]}}, "a b"),
    ({"words": ["a", "b"], "sep": "-"}, "a-b"),  # flat
    ({"args": {"words": ["a"], "sep": None, "shout": None}}, "a"),  # nulls of a strict model
    ({"words": ["x", "y"], "sep": None, "shout": True}, "X Y"),
]
REFUSED = [
    (
        {"args": {"words": ["a"]}, "sep": "-"},
        '[ERROR] Invalid arguments: pass the tool\'s inputs inside "args" '
        '({"args": {...}}), not beside it: got "args" and "sep"',
    ),
    (
        {"args": {"words": ["a"], "sepp": "-", "n": 1}},  # misspelt keys of a closed args
        '[ERROR] Invalid arguments: args.sepp: got "-" (string), expected no such key '
        '(args takes "sep", "shout", "words"); args.n: got 1 (integer), expected no such key',
    ),
    (
        {"args": {"words": ["a"], "sep": 5}},
        "[ERROR] Invalid arguments: args.sep: got 5 (integer), expected a string",
    ),
    (
        {"words": ["a"], "sepp": "-"},  # misspelt, and flat
        '[ERROR] Invalid arguments: args.sepp: got "-" (string), expected no such key '
        '(args takes "sep", "shout", "words")',
    ),
]


async def test_calls_as_models_send_them(home):
    async with served(home) as client:
        for arguments, answer in ACCEPTED:
            called = await client.call_tool("custom_joiner", arguments)
            assert (called.is_error, json.loads(text(called))) == (False, answer), arguments
        for arguments, answer in REFUSED:
            refused = await client.call_tool("custom_joiner", arguments)
            assert refused.is_error is True and text(refused).startswith(answer), text(refused)
        # Required keys are asked for even when args is left out.
        for arguments in [{}, {"args": None}, {"a": 1}]:
            refused = await client.call_tool("custom_adder", arguments)
            assert refused.is_error is True and text(refused).startswith(
                "[ERROR] Invalid arguments: "
            )
            assert "args.b: missing, but required" in text(refused)
        # An open args passes any key on, nulls included.
        called = await client.call_tool("custom_passes_on", {"z": 1, "a": None, "b": [2]})
        assert json.loads(json.loads(text(called))) == {"a": None, "b": [2], "z": 1}


async def test_each_source_is_read_once_per_version_however_many_tools(tmp_path, monkeypatch):
    from velmor import mcp_server
    from velmor.tools.base import ToolRegistry
    from velmor.tools.tool_creator import DynamicTool

    reads = []
    readers = set()
    derive = mcp_server.derive_args_from_file

    def counted(path):
        reads.append(path)
        readers.add(threading.get_ident())
        return derive(path)

    monkeypatch.setattr(mcp_server, "derive_args_from_file", counted)
    registry = ToolRegistry()
    for i in range(300):  # more than any cache of parsed sources keeps
        script = tmp_path / f"t{i}.py"
        script.write_text(ADDER)
        registry.register(DynamicTool(f"t{i}", "Adds.", str(script), object()))
    server = mcp_server.ToolServer(registry)

    async def listing():
        return {tool.name: tool for tool in (await server._list_tools(None, None)).tools}

    first = await listing()
    assert len(reads) == 300 and first["custom_t7"].input_schema["properties"]["args"]["required"]
    # Read off the event loop's thread: the server answers other calls meanwhile.
    assert threading.get_ident() not in readers
    assert await listing() == first and len(reads) == 300
    replacement = tmp_path / "new.py"
    replacement.write_text("def main(args):\n    return args['x']\n")
    replacement.replace(tmp_path / "t7.py")  # as the module replaces a tool's source: whole
    changed = await listing()
    assert len(reads) == 301 and changed["custom_t7"].input_schema["properties"]["args"][
        "required"
    ] == ["x"]
