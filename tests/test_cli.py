"""The velmor-tools command line, end to end on the store of a temporary HOME, with real workers."""

import io
import json
import subprocess
import sys
from pathlib import Path

import pytest

from tests.commands import run_command
from velmor import cli

DOUBLER = "def main(args):\n    return {'twice': args.get('n', 0) * 2}\n"
DOUBLER_ARGS = {
    "type": "object",
    "properties": {"n": {"type": "integer", "default": 0}},
    "additionalProperties": False,
}
CHATTY = (
    "import sys\n"
    "def main(args):\n"
    "    print('to stdout', args.get('word', ''))\n"
    "    print('to stderr', file=sys.stderr)\n"
    "    if args.get('fail'):\n"
    "        raise RuntimeError('failed')\n"
    "    return {'error': 'a result that holds an error key'}\n"
)
# A tool whose texts would act on a terminal: escape sequences, a lone surrogate.
HOSTILE = (
    "def main(args):\n"
    "    print('\\x1b]0;owned\\x07\\x1b[2J')\n"
    "    raise RuntimeError('bad \\udcff \\x1b[31mred\\r')\n"
)
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
        assert f"\nargs schema: {json.dumps(DOUBLER_ARGS)}\n\n" in out
        assert out.endswith("\n\n" + DOUBLER)
        shown = json.loads(run(capsys, "show", "doubler", "--json")[1])
        assert shown["name"] == "doubler" and shown["created_by"] == "agent"
        assert shown["code"] == DOUBLER and "code_preview" not in shown
        assert shown["args_schema"] == DOUBLER_ARGS

    def test_show_gives_all_of_a_long_script(self, capsys, code_file):
        assert run(capsys, "create", "long", "--file", code_file(LONG))[0] == 0
        shown = json.loads(run(capsys, "show", "long", "--json")[1])
        assert shown["code"] == LONG and shown["code_lines"] == 62

    def test_show_missing(self, capsys):
        status, out, err = run(capsys, "show", "nope")
        assert (status, out, err) == (1, "", "[ERROR] Tool not found: nope\n")
        status, out, _ = run(capsys, "show", "nope", "--json")
        assert status == 1 and json.loads(out) == {"error": "[ERROR] Tool not found: nope"}

    @pytest.mark.parametrize("argv", [["list"], ["show", "doubler"]], ids=["list", "show"])
    @pytest.mark.parametrize(
        "text, reason",
        [("{broken", "not JSON: Expecting property name"), ("[1, 2]", "not a JSON object")],
        ids=["not-json", "not-an-object"],
    )
    def test_damaged_metadata_is_named(self, capsys, store, doubler, code_file, argv, text, reason):
        assert run(capsys, "create", "another", "--file", code_file(DOUBLER))[0] == 0
        meta = store / "doubler" / "metadata.json"
        meta.write_text(text)
        status, out, err = run(capsys, *argv)
        assert status == 1 and out == "" and "Traceback" not in err
        assert err.startswith(
            f"[ERROR] Damaged store: the metadata.json of tool folder 'doubler' is damaged ({reason}"
        )
        assert err.endswith(f"): {meta}\n")
        status, out, _ = run(capsys, *argv, "--json")
        assert status == 1 and str(meta) in json.loads(out)["error"]
        assert run(capsys, "show", "another")[0] == 0  # the rest of the store still reads


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

    def test_create_reads_stdin(self, capsys, store, monkeypatch):
        assert "- reads standard input" in " ".join(run(capsys, "create", "--help")[1].split())
        monkeypatch.setattr(sys, "stdin", io.StringIO(DOUBLER))
        assert run(capsys, "create", "piped", "--file", "-")[0] == 0
        assert (store / "piped" / "tool.py").read_text() == DOUBLER


class TestRun:
    def test_answer(self, capsys, doubler):
        status, out, _ = run(capsys, "run", "doubler", "--args", '{"n": 21}')
        assert status == 0 and out == '{\n  "twice": 42\n}\n'

    def test_json_says_whether_the_answer_is_an_error(self, capsys, store, code_file):
        run(capsys, "create", "chatty", "--file", code_file(CHATTY))
        status, out, _ = run(capsys, "run", "chatty", "--json")
        assert status == 0
        assert json.loads(out) == {
            "ok": True,
            "error": None,
            "answer": {"error": "a result that holds an error key"},
            "stdout": None,
            "stderr": None,
        }
        status, out, _ = run(capsys, "run", "missing", "--json")
        assert status == 1
        assert json.loads(out) == {
            "ok": False,
            "error": f"[ERROR] Tool script not found: {store / 'missing' / 'tool.py'}",
            "answer": None,
            "stdout": None,
            "stderr": None,
        }

    def test_failure(self, capsys, code_file):
        run(capsys, "create", "failing", "--file", code_file("def main(args):\n    return 1 / 0\n"))
        status, out, err = run(capsys, "run", "failing")
        assert status == 1 and out == "" and err.startswith("[ERROR] ZeroDivisionError")

    def test_show_output(self, capsys, code_file):
        run(capsys, "create", "chatty", "--file", code_file(CHATTY))
        status, out, err = run(capsys, "run", "chatty", "--args", '{"word": "hi"}', "--show-output")
        assert status == 0 and err == ""
        assert out == (
            '{\n  "error": "a result that holds an error key"\n}\n'
            "--- the tool's stdout ---\nto stdout hi\n"
            "--- the tool's stderr ---\nto stderr\n"
        )
        status, out, err = run(capsys, "run", "chatty", "--args", '{"fail": 1}', "--show-output")
        assert status == 1 and out == ""
        assert err.startswith("[ERROR] RuntimeError: failed")
        assert err.endswith(
            "--- the tool's stdout ---\nto stdout \n--- the tool's stderr ---\nto stderr\n"
        )
        status, out, _ = run(capsys, "run", "chatty", "--show-output", "--json")
        document = json.loads(out)
        assert document["ok"] is True
        assert (document["stdout"], document["stderr"]) == ("to stdout \n", "to stderr\n")

    def test_show_output_of_a_run_that_never_started(self, capsys):
        status, out, err = run(capsys, "run", "missing", "--show-output")
        assert status == 1 and err.startswith("[ERROR] Tool script not found") and "---" not in err

    def test_texts_that_would_act_on_a_terminal_are_escaped(self, capsys, code_file):
        run(capsys, "create", "hostile", "--file", code_file(HOSTILE))
        status, out, err = run(capsys, "run", "hostile", "--show-output")
        assert status == 1 and out == ""
        assert "[ERROR] RuntimeError: bad \\udcff \\x1b[31mred\\x0d (tool.py, line 3)" in err
        assert "\\x1b]0;owned\\x07\\x1b[2J" in err
        assert "\x1b" not in err and "\x07" not in err and "\r" not in err
        err.encode("utf-8")  # no lone surrogate left
        # --json carries the texts themselves, JSON-escaped.
        status, out, _ = run(capsys, "run", "hostile", "--show-output", "--json")
        document = json.loads(out)
        assert out.isascii()
        assert document["error"].startswith("[ERROR] RuntimeError: bad \udcff \x1b[31mred\r")
        assert document["stdout"] == "\x1b]0;owned\x07\x1b[2J\n"

    def test_descriptions_are_escaped_in_listings(self, capsys, code_file):
        run(capsys, "create", "t", "--file", code_file(DOUBLER), "--description", "\x1b[2Jgone")
        assert run(capsys, "list")[1].endswith("  t  \\x1b[2Jgone\n")
        assert json.loads(run(capsys, "list", "--json")[1])["tools"][0]["description"] == (
            "\x1b[2Jgone"
        )


@pytest.mark.parametrize(
    "text, expected",
    [
        ("plain \u00e9 \u4e2d \U0001f600", "plain \u00e9 \u4e2d \U0001f600"),
        ("lines\n\tand tabs", "lines\n\tand tabs"),
        ("\x1b[31m\x07\x08\r\x00\x7f", "\\x1b[31m\\x07\\x08\\x0d\\x00\\x7f"),
        ("\x9b2J \x85", "\\x9b2J \\x85"),  # C1 controls: CSI, NEL
        ("abc\u202edef \u2066x\u2069", "abc\\u202edef \\u2066x\\u2069"),  # reordering
        ("\udcff\ud800", "\\udcff\\ud800"),
    ],
    ids=["printable", "newline-tab", "c0", "c1", "bidi", "surrogates"],
)
def test_shown(text, expected):
    assert cli.shown(text) == expected


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
    def test_version(self, capsys):
        from importlib.metadata import version

        assert run(capsys, "--version") == (0, f"velmor-tools {version('velmor')}\n", "")

    @pytest.mark.parametrize(
        "argv",
        [
            [],
            ["bogus"],
            ["show"],
            ["create", "t"],  # no --file
            ["run", "t", "--args", "{not json"],
            ["run", "t", "--args", "[1, 2]"],
            ["run", "t", "--args", '{"n": ' + "9" * 5000 + "}"],
            ["run", "t", "--args", '{"a": ' + "[" * 50_000 + "]" * 50_000 + "}"],
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
            "args-number-too-long",
            "args-too-deep",
            "unreadable",
            "unknown-option",
        ],
    )
    def test_wrong_usage_exits_2(self, capsys, argv):
        status, out, err = run(capsys, *argv)
        assert status == 2 and out == "" and err
        assert "Error:" not in err and len(err) < 2000  # said in our words, not an exception's

    @pytest.mark.parametrize(
        ("argv", "document_keys"),
        [
            (["run", "n" * 5000], ["ok", "error", "answer", "stdout", "stderr"]),
            (["run", "n" * 5000, "--show-output"], ["ok", "error", "answer", "stdout", "stderr"]),
            (["show", "n" * 5000], ["error"]),
            (["delete", "n" * 5000, "--yes"], ["error"]),
        ],
        ids=["run", "run-show-output", "show", "delete"],
    )
    def test_an_operation_that_raises_still_gives_scripts_one_document(
        self, capsys, argv, document_keys
    ):
        # A name longer than a folder's: the operation raises (OSError).
        status, out, err = run(capsys, *argv, "--json")
        document = json.loads(out)
        assert status == 1 and err == "" and list(document) == document_keys
        assert document["error"].startswith("[ERROR] OSError: ")
        assert document.get("ok", False) is False
        status, out, err = run(capsys, *argv)
        assert status == 1 and out == "" and f"velmor-tools {argv[0]}: OSError: " in err

    def test_serve_without_the_sdk_says_how_to_install_it(self, capsys, monkeypatch):
        import velmor

        monkeypatch.setitem(sys.modules, "mcp", None)  # import mcp now fails
        # Imported by an earlier test, the server is also the package's attribute,
        # which `from velmor import mcp_server` would take without importing.
        monkeypatch.delitem(sys.modules, "velmor.mcp_server", raising=False)
        monkeypatch.delattr(velmor, "mcp_server", raising=False)
        status, out, err = run(capsys, "serve")
        assert status == 1 and out == ""
        assert "pip install 'velmor[mcp]'" in err


class TestConsoleScript:
    def test_installed_and_on_the_home_store(self, home, tmp_path, code_file):
        def script(*argv, stdin=subprocess.DEVNULL):
            return run_command([SCRIPT, *argv], home, stdin=stdin)

        assert script("create", "t", "--file", code_file(DOUBLER)).returncode == 0
        listed = script("list", "--json")
        assert listed.returncode == 0 and json.loads(listed.stdout)["count"] == 1
        refused = script("delete", "t")  # stdin is not a terminal
        assert refused.returncode == 2 and "--yes" in refused.stderr
        assert (home / ".velmor" / "custom_tools" / "t" / "tool.py").exists()
