"""The documentation's examples run as pasted, and the demo session passes."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DOCS = [ROOT / "README.md", ROOT / "docs" / "integrating.md"]


def blocks(language):
    found = []
    for doc in DOCS:
        for number, block in enumerate(
            re.findall(rf"^```{language}\n(.*?)^```", doc.read_text(), re.M | re.S), 1
        ):
            found.append(pytest.param(block, id=f"{doc.name}-{number}"))
    return found


def run_python(code, home, *argv):
    env = {
        **os.environ,
        "HOME": str(home),
        # As in an activated virtual environment: its scripts are on PATH.
        "PATH": f"{Path(sys.executable).parent}{os.pathsep}{os.environ.get('PATH', '')}",
    }
    return subprocess.run(
        [sys.executable, *(["-c", code] if code else []), *argv],
        env=env,
        cwd=home,
        capture_output=True,
        text=True,
        timeout=120,
    )


@pytest.mark.parametrize("code", blocks("python"))
def test_python_examples_run_as_pasted(home, code):
    if "from mcp import" in code:
        pytest.importorskip("mcp")
    done = run_python(code, home)
    assert done.returncode == 0, done.stderr
    assert "[ERROR]" not in done.stdout and "Traceback" not in done.stderr


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
