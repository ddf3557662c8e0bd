"""The custom worker script on its own: its command-line and pipe protocol."""

from __future__ import annotations

import json
import os
import subprocess
import sys

import pytest

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
