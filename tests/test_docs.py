"""The documentation's examples run as pasted, and the demo session passes."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from tests.commands import run_command

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
    env = {**os.environ, "PATH": os.pathsep.join([venv_bin, *path] if activated else path)}
    return run_command(
        [sys.executable, *(["-c", code] if code else []), *argv],
        home,
        env=env,
        cwd=home,
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


# -- the design document: its layout is the repository's ----------------------

ARCHITECTURE = ROOT / "docs" / "architecture.md"
SOURCE_SUFFIXES = (".py", ".cpp", ".hpp")


def tracked_files():
    try:
        listed = subprocess.run(
            ["git", "ls-files", "-z"], cwd=ROOT, capture_output=True, text=True, check=True
        )
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("not a git checkout: the tracked folders are unknown")
    return [name for name in listed.stdout.split("\0") if name]


def layout_folders():
    """The folders of the design's layout table, as `path/`."""
    section = ARCHITECTURE.read_text().split("\n## Layout\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"^\| `([^`]+/)` \|", section, re.M)


def repository_paths():
    """Every path in backquotes that starts at the repository's top (a folder or
    file of its top level), with `<placeholder>` parts as wildcards."""
    top = {name.split("/", 1)[0] for name in tracked_files() if "/" in name}
    quoted = re.findall(r"`([^`\s]+)`", ARCHITECTURE.read_text())
    return sorted(
        {
            re.sub(r"<[^>]+>", "*", path)
            for path in quoted
            if "/" in path and path.split("/", 1)[0] in top
        }
    )


def test_the_layout_names_every_source_folder():
    sources = {
        os.path.dirname(name) + "/"
        for name in tracked_files()
        if name.endswith(SOURCE_SUFFIXES) and "/" in name
    }
    missing = sources - set(layout_folders())
    assert not missing, f"docs/architecture.md's layout lacks {sorted(missing)}"


def test_every_path_the_design_names_exists():
    paths = repository_paths()
    assert "tools/tool_creator/runtime/steps.hpp" in paths  # the parsing finds them
    assert set(layout_folders()) <= set(paths)
    gone = [path for path in paths if not list(ROOT.glob(path.rstrip("/")))]
    assert not gone, f"docs/architecture.md names what is not there: {gone}"


# -- the README's table of what a tool may and may not do ----------------------


def sandbox_table():
    """(may, what, [cases]) for each row of the README's may / may-not table."""
    rows = re.findall(r"^\| (may|may not) \| (.+) \| (.+) \|$", DOCS[0].read_text(), re.M)
    return [(kind == "may", what, re.findall(r"`([^`]+)`", cases)) for kind, what, cases in rows]


def escape_probe_names():
    from tests import escape_probes

    return {
        name
        for name, value in vars(escape_probes).items()
        if name.isupper() and isinstance(value, str) and "def attack(" in value
    }


def test_each_row_is_shown_by_cases_that_exist():
    from tests.legitimate_tools import TOOLS

    tools, probes = {tool.name for tool in TOOLS}, escape_probe_names()
    escapes = (ROOT / "tests" / "test_sandbox_escapes.py").read_text()
    rows = sandbox_table()
    assert any(may for may, _, _ in rows) and any(not may for may, _, _ in rows)
    for may, what, cases in rows:
        assert cases, f"no case shows: {what}"
        known = tools if may else probes
        assert set(cases) <= known, f"{set(cases) - known} are not cases ({what})"
        if not may:
            for probe in cases:  # a probe the escape suite never runs shows nothing
                assert f"probes.{probe}" in escapes or f'"{probe}"' in escapes, probe
    cited = {case for _, _, cases in rows for case in cases}
    assert tools - cited == set(), "legitimate tools without a row in the README"
    assert probes - cited == set(), "escape probes without a row in the README"
