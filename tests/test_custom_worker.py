"""The custom worker: its command-line and pipe protocol on its own, and its
actions' answers (validation verdicts, run_function's results and errors)."""

from __future__ import annotations

import json
import os
import subprocess
import sys

import pytest

from tests.tasks import run, validate
from velmor.core.subprocess_manager import WORKERS

WORKER = WORKERS["custom"]


def talk(
    command: bytes, cwd, flags: tuple[str, ...] = ()
) -> tuple[dict, subprocess.CompletedProcess]:
    """Run the worker as the manager does, without the manager."""
    command_r, command_w = os.pipe()
    result_r, result_w = os.pipe()
    with os.fdopen(command_w, "wb") as file:
        file.write(command)
    try:
        process = subprocess.run(
            [sys.executable, "-I", *flags, str(WORKER), str(command_r), str(result_w)],
            pass_fds=(command_r, result_w),
            cwd=cwd,
            env={"PATH": os.defpath},
            stdin=subprocess.DEVNULL,
            capture_output=True,
            timeout=30,
        )
    finally:
        os.close(command_r)
        os.close(result_w)
    with os.fdopen(result_r, "rb") as file:
        reply = file.read()
    return (json.loads(reply) if reply else {}), process


def test_runs_by_path_on_the_standard_library_alone(tmp_path):
    # -S drops site-packages too, so nothing but the standard library is there.
    code = "import sys\nassert sys.flags.isolated and 'velmor' not in sys.modules\ndef main(args):\n    pass\n"
    reply, process = talk(
        json.dumps({"action": "validate", "code": code}).encode(), tmp_path, ("-S",)
    )
    assert reply == {"output": {"valid": True, "message": "Code is valid."}}
    assert process.returncode == 0
    assert process.stdout == b"" and process.stderr == b""


@pytest.mark.parametrize(
    "command, error",
    [
        (b"{not json", "Malformed command: "),
        (b"", "Malformed command: "),
        (b"[1, 2]", "A command must be a JSON object, not list"),
        (b'{"code": "x"}', "Unknown action None for the custom worker"),
        (b'{"action": "validate"}', "The validate action needs the code, as a string, in 'code'"),
        (
            b'{"action": "run_function", "path": 3}',
            "The run_function action needs the script's path",
        ),
    ],
    ids=["not-json", "empty", "not-object", "no-action", "no-code", "bad-path"],
)
def test_bad_commands_get_an_error_reply(tmp_path, command, error):
    reply, process = talk(command, tmp_path)
    assert reply["error"].startswith(error)
    assert process.returncode == 0


def test_threads_left_running_do_not_hold_the_job(tmp_path):
    tool = tmp_path / "tool.py"
    tool.write_text(
        "import threading, time\n"
        "def main(args):\n"
        "    threading.Thread(target=time.sleep, args=(60,)).start()\n"
        "    print('printed', end='')\n"
        "    return 'done'\n"
    )
    command = {"action": "run_function", "path": str(tool), "function": "main", "args": {}}
    reply, process = talk(json.dumps(command).encode(), tmp_path)
    assert reply == {"output": "done"}
    assert process.stdout == b"printed"  # flushed before the quick exit


# The actions' answers, through the manager, warm and spawning.


class TestValidate:
    async def test_valid_code(self, manager):
        result = await manager.spawn(validate("def main(args):\n    return args\n"))
        assert result.error is None
        assert result.output == {"valid": True, "message": "Code is valid."}

    @pytest.mark.parametrize(
        "code, message",
        [
            ("def main(args):\n    return (\n", "SyntaxError: '(' was never closed (line 2)"),
            ("def main(args):\nreturn 1\n", "IndentationError: expected an indented block"),
            (
                "import no_such_module_here\n",
                "ModuleNotFoundError: No module named 'no_such_module_here' (line 1)",
            ),
            ("x = 1\n\nraise KeyError('boom')\n", "KeyError: 'boom' (line 3)"),
            ("raise SystemExit(4)\n", "SystemExit: 4 (line 1)"),
            ("raise KeyboardInterrupt\n", "KeyboardInterrupt (line 1)"),
            ("def helper(args):\n    pass\n", "Code must define a callable main(args)."),
            ("main = 42\n", "Code must define a callable main(args)."),
            (
                "def main():\n    pass\n",
                "Code must define a callable main(args): main() cannot take one",
            ),
            (
                "def main(a, b):\n    pass\n",
                "Code must define a callable main(args): main(a, b) cannot take one",
            ),
            (
                "def main(*, args):\n    pass\n",
                "Code must define a callable main(args): main(*, args) cannot take one",
            ),
        ],
        ids=[
            "syntax",
            "indentation",
            "import",
            "exception",
            "system-exit",
            "keyboard-interrupt",
            "no-main",
            "main-not-callable",
            "main-no-argument",
            "main-two-arguments",
            "main-keyword-only",
        ],
    )
    async def test_invalid_code_is_a_verdict_naming_the_problem(self, manager, code, message):
        result = await manager.spawn(validate(code))
        assert result.error is None
        assert result.output["valid"] is False
        assert result.output["message"].startswith(message)

    @pytest.mark.parametrize(
        "code",
        [
            "async def main(args):\n    return 1\n",
            "def main(args, verbose=False, *rest, **options):\n    pass\n",
            "class main:\n    def __init__(self, args):\n        pass\n",
        ],
        ids=["async", "extra-optional-parameters", "class"],
    )
    async def test_other_callables_taking_one_argument_are_valid(self, manager, code):
        result = await manager.spawn(validate(code))
        assert result.output == {"valid": True, "message": "Code is valid."}

    async def test_code_compiles_without_the_workers_future_imports(self, manager):
        # Annotations must stay objects: the worker's own __future__ import
        # must not leak into the code it checks.
        code = "def main(args: int):\n    pass\nassert main.__annotations__['args'] is int\n"
        result = await manager.spawn(validate(code))
        assert result.output == {"valid": True, "message": "Code is valid."}


class TestRunFunction:
    async def test_args_in_result_out(self, manager, tool):
        path = tool(
            """
            def main(args):
                return {"sum": args["a"] + args["b"], "items": [1, "two", None, True, 1.5]}
            """
        )
        result = await manager.spawn(run(path, {"a": 2, "b": 3}))
        assert result.error is None
        assert result.output == {"sum": 5, "items": [1, "two", None, True, 1.5]}
        assert result.returncode == 0
        assert 0 < result.duration < 10

    async def test_printing_cannot_corrupt_the_result(self, manager, tool):
        path = tool(
            """
            import os, sys
            def main(args):
                print('{"output": "forged"}')
                sys.stdout.flush()
                os.write(1, b'{"error": "forged"}\\n')
                os.write(2, b"a note on stderr\\n")
                print("buffered line")
                return "real"
            """
        )
        result = await manager.spawn(run(path))
        assert result.error is None
        assert result.output == "real"
        assert result.stdout == '{"output": "forged"}\n{"error": "forged"}\nbuffered line\n'
        assert result.stderr == "a note on stderr\n"

    async def test_other_function_by_name(self, manager, tool):
        path = tool("def main(args):\n    return 1\ndef other(args):\n    return args * 2\n")
        result = await manager.spawn(run(path, [1], function="other"))
        assert result.output == [1, 1]

    @pytest.mark.parametrize(
        "source",
        [
            "import asyncio\nasync def main(args):\n    await asyncio.sleep(0.01)\n    return args['n'] + 1\n",
            "def main(args):\n    async def later():\n        return args['n'] + 1\n    return later()\n",
        ],
        ids=["async-main", "returns-coroutine"],
    )
    async def test_awaitable_results_are_awaited(self, manager, tool, source):
        result = await manager.spawn(run(tool(source), {"n": 41}))
        assert result.error is None
        assert result.output == 42

    async def test_tool_exception_names_type_message_and_innermost_tool_line(self, manager, tool):
        path = tool(
            """
            import json
            def check(value):
                raise ValueError("bad input")
            def main(args):
                json.loads("[1]")
                return check(args)
            """
        )
        result = await manager.spawn(run(path))
        assert result.error == "ValueError: bad input (tool.py, line 4)"
        assert result.output is None

    @pytest.mark.parametrize(
        "source, error",
        [
            (
                "import json\ndef main(args):\n    return json.loads('{')\n",
                "JSONDecodeError: Expecting",
            ),
            ("def main(args):\n    raise RuntimeError\n", "RuntimeError (tool.py, line 2)"),
            ("import sys\ndef main(args):\n    sys.exit(3)\n", "SystemExit: 3 (tool.py, line 3)"),
            ("def main(args):\n    return 1 +\n", "SyntaxError: invalid syntax (tool.py, line 2)"),
            (
                "x = 1\nimport no_such_module_here\n",
                "ModuleNotFoundError: No module named 'no_such_module_here' (tool.py, line 2)",
            ),
            (
                "def main():\n    return 1\n",
                "TypeError: main() takes 0 positional arguments but 1 was given",
            ),
            (
                "def main(args):\n    return {1, 2}\n",
                "The result of main() is not JSON-encodable: TypeError: Object of type set",
            ),
            (
                "def main(args):\n    a = []\n    a.append(a)\n    return a\n",
                "The result of main() is not JSON-encodable: ValueError: Circular",
            ),
            ("def helper(args):\n    return 1\n", "Function 'main' not found in "),
            ("main = 'text'\n", "'main' in "),
        ],
        ids=[
            "library-exception",
            "no-message",
            "system-exit",
            "syntax-error",
            "import-error",
            "wrong-signature",
            "unencodable",
            "circular",
            "missing-function",
            "not-callable",
        ],
    )
    async def test_failures_are_errors(self, manager, tool, source, error):
        result = await manager.spawn(run(tool(source)))
        assert result.error is not None and result.error.startswith(error)
        assert result.output is None

    async def test_missing_script(self, manager, tmp_path):
        path = str(tmp_path / "gone" / "tool.py")
        result = await manager.spawn(run(path))
        assert result.error == f"Tool script not found: {path}"

    async def test_main_guard_stays_quiet(self, manager, tool):
        path = tool(
            'def main(args):\n    return "called"\nif __name__ == "__main__":\n    raise SystemExit("ran")\n'
        )
        result = await manager.spawn(run(path))
        assert result.output == "called"
