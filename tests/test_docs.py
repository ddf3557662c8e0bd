"""The documentation's examples run as pasted, and the demo session passes."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

# Every snippet and the demo in fresh interpreters: left out of `make test-fast`.
pytestmark = pytest.mark.slow

ROOT = Path(__file__).resolve().parent.parent
DOCS = [ROOT / "README.md", ROOT / "docs" / "integrating.md"]


# Clients that cannot share a venv with the server: their snippets run in a venv
# of their own, in tests/test_mcp_clients.py.
CLIENT_VENV_IMPORTS = ("from langchain_mcp_adapters", "from smolagents")


def blocks(language):
    found = []
    for doc in DOCS:
        for number, block in enumerate(
            re.findall(rf"^```{language}\n(.*?)^```", doc.read_text(), re.M | re.S), 1
        ):
            found.append(pytest.param(block, id=f"{doc.name}-{number}"))
    return found


def needs_client_venv(code):
    return any(line in code for line in CLIENT_VENV_IMPORTS)


def run_python(code, home, *argv, activated=True):
    """Runs `code` (or a script in `argv`) as a user would, with a fresh HOME; with
    `activated`, the virtual environment's scripts are on PATH as after `activate`."""
    venv_bin = str(Path(sys.executable).parent)
    path = [entry for entry in os.environ.get("PATH", "").split(os.pathsep) if entry != venv_bin]
    env = {
        **os.environ,
        "HOME": str(home),
        "PATH": os.pathsep.join([venv_bin, *path] if activated else path),
    }
    return subprocess.run(
        [sys.executable, *(["-c", code] if code else []), *argv],
        env=env,
        cwd=home,
        capture_output=True,
        text=True,
        timeout=120,
    )


@pytest.mark.parametrize(
    "code", [block for block in blocks("python") if not needs_client_venv(block.values[0])]
)
def test_python_examples_run_as_pasted(home, code):
    if "from mcp import" in code:
        pytest.importorskip("mcp")
    # Not activated: an example must find what it needs without the venv on PATH.
    done = run_python(code, home, activated=False)
    assert done.returncode == 0, done.stderr
    assert "[ERROR]" not in done.stdout and "Traceback" not in done.stderr


def test_the_guide_shows_the_agent_loop_example_whole_and_it_uses_the_tool_it_made(home):
    example = (ROOT / "examples" / "agent_loop.py").read_text()
    assert example in [block.values[0] for block in blocks("python")]
    out = run_python(None, home, str(ROOT / "examples" / "agent_loop.py")).stdout
    assert '"created": "word_count"' in out and '"words": 4' in out
    assert out.rstrip().endswith("Deleted custom tool: word_count\nThe text has 4 words.")


def test_readme_example_shows_the_tool_at_work(home):
    (code,) = blocks("python")[0].values
    out = run_python(code, home).stdout
    assert '"created": "word_count"' in out and '"words": 3' in out
    assert out.rstrip().endswith("Deleted custom tool: word_count")


@pytest.mark.parametrize("snippet", blocks("json"))
def test_client_configurations_name_the_server(snippet):
    (server,) = json.loads(snippet)["mcpServers"].values()
    assert Path(server["command"]).name == "velmor-tools" and server["args"] == ["serve"]


def test_demo_session_passes(home):
    done = run_python(None, home, str(ROOT / "examples" / "agent_session.py"))
    assert done.returncode == 0, done.stdout + done.stderr
    assert "steps answered as expected" in done.stdout
