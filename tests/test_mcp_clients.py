"""`velmor-tools serve` under agent frameworks' own MCP clients, each with its default
settings: the agent makes a tool, uses it in its very next step, deletes it and
sees it gone.

pydantic-ai and fastmcp share the server's `mcp` 2.x and run here; the clients
that pin `mcp<2` (langchain-mcp-adapters, smolagents) run in a venv of their
own (tests/client_venv.py), driven by the scripts in tests/mcp1_clients/.
"""

import json
import os
import sys
from pathlib import Path

import pytest

from tests.client_venv import client_venv, server_on_path, without_preload
from tests.commands import run_command
from tests.test_docs import blocks, needs_client_venv

pytest.importorskip("mcp")
pydantic_ai = pytest.importorskip("pydantic_ai")
fastmcp = pytest.importorskip("fastmcp")

from fastmcp.client.messages import MessageHandler  # noqa: E402
from fastmcp.client.transports import StdioTransport  # noqa: E402
from fastmcp.exceptions import ToolError  # noqa: E402
from pydantic_ai import Agent  # noqa: E402
from pydantic_ai.exceptions import UnexpectedModelBehavior  # noqa: E402
from pydantic_ai.mcp import MCPToolset  # noqa: E402
from pydantic_ai.messages import ModelResponse, TextPart, ToolCallPart, ToolReturnPart  # noqa: E402
from pydantic_ai.models.function import FunctionModel  # noqa: E402

# Sessions of real agent frameworks, one in a venv of its own: left out of `make test-fast`.
pytestmark = pytest.mark.slow

SERVER = Path(sys.executable).with_name("velmor-tools")
DRIVERS = Path(__file__).resolve().parent / "mcp1_clients"
WORD_COUNT = "def main(args):\n    return {'words': len(args['text'].split())}\n"
CREATE = {"operation": "create", "tool_name": "word_count", "code": WORD_COUNT}
DELETE = {"operation": "delete", "tool_name": "word_count"}
COUNT = {"args": {"text": "one two three"}}


def transport(home):
    # The whole environment, so that a sanitizer run reaches the server too.
    return StdioTransport(str(SERVER), ["serve"], env={**os.environ, "HOME": str(home)})


class ScriptedModel:
    """A model that makes the given tool calls, one per request, then answers "done";
    it records the tools it was offered and the tool answers it read at each request."""

    def __init__(self, calls):
        self.calls = calls
        self.offered = []
        self.answers = []

    def __call__(self, messages, info):
        self.offered.append([tool.name for tool in info.function_tools])
        self.answers.extend(part for part in messages[-1].parts if isinstance(part, ToolReturnPart))
        step = len(self.offered) - 1
        if step < len(self.calls):
            return ModelResponse(parts=[ToolCallPart(*self.calls[step])])
        return ModelResponse(parts=[TextPart("done")])


# pydantic-ai gives a server 5 s to start; a sanitizer build, or a busy machine, takes longer.
SLOW_START = {"init_timeout": 60}


class TestPydanticAI:
    async def test_an_agent_calls_the_tool_it_made_in_its_next_step(self, home):
        model = ScriptedModel(
            [("tool_creator", CREATE), ("custom_word_count", COUNT), ("tool_creator", DELETE)]
        )
        agent = Agent(FunctionModel(model), toolsets=[MCPToolset(transport(home), **SLOW_START)])
        result = await agent.run("Make a word counter and count 'one two three'.")
        assert result.output == "done"
        assert model.offered == [
            ["tool_creator"],
            ["tool_creator", "custom_word_count"],
            ["tool_creator", "custom_word_count"],
            ["tool_creator"],
        ]
        created, counted, deleted = (answer.content for answer in model.answers)
        assert created["created"] == "word_count" and created["registered"] is True
        assert counted == {"words": 3}
        assert deleted == "Deleted custom tool: word_count"

    @pytest.mark.parametrize(
        ("options", "finishes"),
        [({}, False), ({"tool_error_behavior": "failed"}, True)],
        ids=["default", "failed"],
    )
    async def test_two_error_answers_in_a_row_end_a_run_unless_errors_are_failures(
        self, home, options, finishes
    ):
        info = ("tool_creator", {"operation": "info", "tool_name": "missing"})
        model = ScriptedModel([info, info])
        agent = Agent(
            FunctionModel(model), toolsets=[MCPToolset(transport(home), **SLOW_START, **options)]
        )
        if not finishes:
            with pytest.raises(UnexpectedModelBehavior, match="exceeded max retries"):
                await agent.run("Look at the tool 'missing'.")
            return
        assert (await agent.run("Look at the tool 'missing'.")).output == "done"
        assert [answer.content for answer in model.answers] == 2 * [
            "[ERROR] Tool not found: missing"
        ]


class ChangeCounter(MessageHandler):
    def __init__(self):
        self.heard = 0

    async def on_tool_list_changed(self, message):
        self.heard += 1


async def test_fastmcp_client_hears_each_change_and_calls_the_new_tool(home):
    changes = ChangeCounter()
    async with fastmcp.Client(transport(home), message_handler=changes) as client:
        assert [tool.name for tool in await client.list_tools()] == ["tool_creator"]
        created = await client.call_tool("tool_creator", CREATE)
        assert json.loads(created.content[0].text)["registered"] is True
        assert changes.heard == 1
        assert [tool.name for tool in await client.list_tools()] == [
            "tool_creator",
            "custom_word_count",
        ]
        counted = await client.call_tool("custom_word_count", COUNT)
        assert json.loads(counted.content[0].text) == {"words": 3}
        deleted = await client.call_tool("tool_creator", DELETE)
        assert deleted.content[0].text == "Deleted custom tool: word_count"
        assert changes.heard == 2
        assert [tool.name for tool in await client.list_tools()] == ["tool_creator"]
        with pytest.raises(ToolError, match=r"^\[ERROR\] Unknown tool: custom_word_count$"):
            await client.call_tool("custom_word_count", COUNT)


@pytest.fixture(scope="session")
def mcp1_python():
    """The interpreter of the clients' own venv (installed on first use, then reused)."""
    return client_venv()


@pytest.fixture
def run_in_client_venv(mcp1_python, home, tmp_path):
    """Runs a script (a file, or code with `-c`) in the clients' venv, with a fresh HOME
    and the server's executable on PATH; answers the finished process."""
    bin_dir = server_on_path(tmp_path / "bin")

    def run(*argv):
        env = {
            **without_preload(os.environ),
            "PATH": f"{bin_dir}{os.pathsep}{os.environ.get('PATH', '')}",
        }
        return run_command([mcp1_python, *argv], home, env=env, cwd=home, timeout=300)

    return run


def run_driver(run, name):
    done = run(str(DRIVERS / name))
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_langchain_adapter_offers_and_calls_the_new_tool_at_its_next_listing(
    run_in_client_venv,
):
    created, counted, deleted, gone = run_driver(run_in_client_venv, "langchain_session.py")
    assert created["offered"] == ["tool_creator"]
    assert json.loads(created["answer"])["registered"] is True
    assert counted["offered"] == ["tool_creator", "custom_word_count"]
    assert (json.loads(counted["answer"]), counted["status"]) == ({"words": 3}, "success")
    assert deleted["answer"] == "Deleted custom tool: word_count"
    assert gone == {"offered": ["tool_creator"], "called": "custom_word_count"}


def test_smolagents_client_runs_the_new_tool_at_once_and_offers_it_on_its_next_connection(
    run_in_client_venv,
):
    first, second, third = run_driver(run_in_client_venv, "smolagents_session.py")
    assert first["offered"] == ["tool_creator"]
    created, ran = (call["answer"] for call in first["calls"])
    assert json.loads(created)["registered"] is True and json.loads(ran) == {"words": 3}
    assert second["offered"] == ["tool_creator", "custom_word_count"]
    counted, deleted, stale = (call["answer"] for call in second["calls"])
    assert json.loads(counted) == {"words": 3}
    assert deleted == "Deleted custom tool: word_count"
    # The connection still holds the tool it listed; the server refuses it.
    assert stale == "[ERROR] Unknown tool: custom_word_count"
    assert third == {"offered": ["tool_creator"], "calls": []}


@pytest.mark.parametrize(
    "code", [block for block in blocks("python") if needs_client_venv(block.values[0])]
)
def test_the_guide_snippets_for_these_clients_run_as_pasted(run_in_client_venv, code):
    done = run_in_client_venv("-c", code)
    assert done.returncode == 0, done.stderr
    assert "Traceback" not in done.stderr and "[ERROR]" not in done.stdout
    assert "Deleted custom tool: word_count" in done.stdout
    assert "'words': 3" in done.stdout or '"words": 3' in done.stdout
