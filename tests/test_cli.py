"""The velmor-tools command line, end to end on the store of a temporary HOME, with real workers."""

import io
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from velmor import cli

DOUBLER = "def main(args):\n    return {'twice': args.get('n', 0) * 2}\n"
BROKEN = "def main(args:\n"
LONG = "".join(f"# line {i}\n" for i in range(60)) + DOUBLER
SCRIPT = Path(sys.executable).with_name("velmor-tools")


def run(capsys, *argv):
    """(exit status, stdout, stderr) of one command; argparse's own exits count too."""
    try:
        status = cli.main(list(argv))
    except SystemExit as exc:
        status = exc.code
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture
def store(home):
    return home / ".velmor" / "custom_tools"


@pytest.fixture
def code_file(tmp_path):
    def write(code, name="tool.py"):
        path = tmp_path / name
        path.write_text(code, encoding="utf-8")
        return str(path)

    return write


@pytest.fixture
def doubler(capsys, code_file):
    status, _, _ = run(
        capsys, "create", "doubler", "--file", code_file(DOUBLER), "--description", "Doubles n."
    )
    assert status == 0
    return "doubler"


class Terminal(io.StringIO):
    """Standard input as a person at a terminal types it."""

    def isatty(self):
        return True


class TestReading:
    def test_empty_store(self, capsys):
        assert run(capsys, "list") == (0, "No custom tools found. Use 'create' to make one.\n", "")
        status, out, _ = run(capsys, "list", "--json")
        assert status == 0 and json.loads(out) == {"tools": [], "count": 0}

    def test_list(self, capsys, store, doubler):
        status, out, _ = run(capsys, "list")
        assert status == 0
        assert out.splitlines() == [f"1 custom tool(s) in {store}:", "  doubler  Doubles n."]
        listing = json.loads(run(capsys, "list", "--json")[1])
        assert listing == {
            "tools": [
                {
                    "name": "doubler",
                    "description": "Doubles n.",
                    "path": str(store / "doubler" / "tool.py"),
                }
            ],
            "count": 1,
        }

    def test_show(self, capsys, store, doubler):
        status, out, _ = run(capsys, "show", "doubler")
        assert status == 0
        assert "description: Doubles n.\n" in out and "code: 2 lines, " in out
        assert out.endswith("\n\n" + DOUBLER)
        shown = json.loads(run(capsys, "show", "doubler", "--json")[1])
        assert shown["name"] == "doubler" and shown["created_by"] == "agent"
        assert shown["code"] == DOUBLER and "code_preview" not in shown

    def test_show_gives_all_of_a_long_script(self, capsys, code_file):
        assert run(capsys, "create", "long", "--file", code_file(LONG))[0] == 0
        shown = json.loads(run(capsys, "show", "long", "--json")[1])
        assert shown["code"] == LONG and shown["code_lines"] == 62

    def test_show_missing(self, capsys):
        status, out, err = run(capsys, "show", "nope")
        assert (status, out, err) == (1, "", "[ERROR] Tool not found: nope\n")
        status, out, _ = run(capsys, "show", "nope", "--json")
        assert status == 1 and json.loads(out) == {"error": "[ERROR] Tool not found: nope"}

    def test_damaged_store_reported_without_traceback(self, capsys, store, doubler):
        (store / "doubler" / "metadata.json").write_text("{broken")
        status, out, err = run(capsys, "list")
        assert status == 1 and out == ""
        assert err.startswith("velmor-tools list: JSONDecodeError:") and "Traceback" not in err


class TestWriting:
    def test_create(self, capsys, store, code_file):
        status, out, _ = run(capsys, "create", "adder", "--file", code_file(DOUBLER))
        assert status == 0
        assert out == f"Created custom tool adder: {store / 'adder' / 'tool.py'}\n"
        assert (store / "adder" / "tool.py").read_text() == DOUBLER
        status, out, _ = run(capsys, "create", "other", "--file", code_file(DOUBLER), "--json")
        assert json.loads(out) == {
            "created": "other",
            "path": str(store / "other" / "tool.py"),
            "registered": False,
            "description": "",
        }

    @pytest.mark.parametrize(
        "name, code, error",
        [
            ("word count", DOUBLER, "[ERROR] Invalid tool_name: 'word count'. A new tool's name"),
            ("broken", BROKEN, "[ERROR] Invalid code: SyntaxError"),
        ],
    )
    def test_create_refused(self, capsys, store, code_file, name, code, error):
        status, out, err = run(capsys, "create", name, "--file", code_file(code))
        assert status == 1 and out == "" and err.startswith(error)
        assert list(store.iterdir()) == []

    def test_validate(self, capsys, code_file):
        assert run(capsys, "validate", code_file(DOUBLER)) == (0, "Valid: Code is valid.\n", "")
        status, out, err = run(capsys, "validate", code_file(BROKEN))
        assert status == 1 and out == "" and err.startswith("Invalid: SyntaxError")
        status, out, _ = run(capsys, "validate", code_file(BROKEN), "--json")
        assert status == 1 and json.loads(out)["valid"] is False

    def test_validate_reads_stdin(self, capsys, monkeypatch):
        monkeypatch.setattr(sys, "stdin", io.StringIO(DOUBLER))
        assert run(capsys, "validate", "-")[0] == 0

    def test_run(self, capsys, doubler):
        status, out, _ = run(capsys, "run", "doubler", "--args", '{"n": 21}')
        assert status == 0 and out == '{\n  "twice": 42\n}\n'
        status, out, _ = run(capsys, "run", "doubler", "--json")
        assert status == 0 and json.loads(out) == {"twice": 0}

    def test_run_failures(self, capsys, store, code_file):
        run(capsys, "create", "failing", "--file", code_file("def main(args):\n    return 1 / 0\n"))
        status, out, err = run(capsys, "run", "failing")
        assert status == 1 and out == "" and err.startswith("[ERROR] ZeroDivisionError")
        status, out, _ = run(capsys, "run", "missing", "--json")
        assert status == 1
        assert json.loads(out)["error"] == (
            f"[ERROR] Tool script not found: {store / 'missing' / 'tool.py'}"
        )


class TestDelete:
    def test_yes_deletes_without_asking(self, capsys, store, doubler):
        assert run(capsys, "delete", "doubler", "--yes") == (
            0,
            "Deleted custom tool: doubler\n",
            "",
        )
        assert not (store / "doubler").exists()

    def test_refused_without_a_terminal(self, capsys, store, doubler, monkeypatch):
        monkeypatch.setattr(sys, "stdin", io.StringIO("y\n"))
        status, out, err = run(capsys, "delete", "doubler")
        assert status == 2 and "pass --yes" in err
        assert (store / "doubler").exists()

    @pytest.mark.parametrize(
        "typed, status", [("y\n", 0), ("yes\n", 0), ("n\n", 1), ("\n", 1), ("", 1)]
    )
    def test_asks_at_a_terminal(self, capsys, store, doubler, monkeypatch, typed, status):
        monkeypatch.setattr(sys, "stdin", Terminal(typed))
        result, out, err = run(capsys, "delete", "doubler")
        assert result == status
        assert out.startswith("Delete custom tool 'doubler' from ")
        assert (store / "doubler").exists() is (status != 0)
        if status:
            assert err == "Nothing deleted.\n"

    def test_interrupted_at_the_question(self, capsys, store, doubler, monkeypatch):
        def interrupt(question):
            raise KeyboardInterrupt

        monkeypatch.setattr(sys, "stdin", Terminal())
        monkeypatch.setattr("builtins.input", interrupt)
        assert run(capsys, "delete", "doubler")[0] == 130
        assert (store / "doubler").exists()

    def test_missing(self, capsys):
        assert run(capsys, "delete", "nope", "--yes") == (1, "", "[ERROR] Tool not found: nope\n")


class TestUsage:
    @pytest.mark.parametrize(
        "argv",
        [
            [],
            ["bogus"],
            ["show"],
            ["create", "t"],  # no --file
            ["run", "t", "--args", "{not json"],
            ["run", "t", "--args", "[1, 2]"],
            ["validate", "/no/such/file.py"],
            ["list", "--verbose"],
        ],
        ids=[
            "nothing",
            "unknown",
            "no-name",
            "no-file",
            "args-not-json",
            "args-not-object",
            "unreadable",
            "unknown-option",
        ],
    )
    def test_wrong_usage_exits_2(self, capsys, argv):
        status, out, err = run(capsys, *argv)
        assert status == 2 and out == "" and err

    def test_serve_without_the_sdk_says_how_to_install_it(self, capsys, monkeypatch):
        monkeypatch.setitem(sys.modules, "mcp", None)  # import mcp now fails
        monkeypatch.delitem(sys.modules, "velmor.mcp_server", raising=False)
        status, out, err = run(capsys, "serve")
        assert status == 1 and out == ""
        assert "pip install 'velmor[mcp]'" in err


class TestConsoleScript:
    def test_installed_and_on_the_home_store(self, home, tmp_path, code_file):
        env = {**os.environ, "HOME": str(home)}

        def script(*argv, stdin=subprocess.DEVNULL):
            return subprocess.run(
                [str(SCRIPT), *argv],
                env=env,
                stdin=stdin,
                capture_output=True,
                text=True,
                timeout=60,
            )

        assert script("create", "t", "--file", code_file(DOUBLER)).returncode == 0
        listed = script("list", "--json")
        assert listed.returncode == 0 and json.loads(listed.stdout)["count"] == 1
        refused = script("delete", "t")  # stdin is not a terminal
        assert refused.returncode == 2 and "--yes" in refused.stderr
        assert (home / ".velmor" / "custom_tools" / "t" / "tool.py").exists()
