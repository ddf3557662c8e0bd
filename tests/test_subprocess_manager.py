"""The subprocess manager and the custom worker, with real worker processes."""

from __future__ import annotations

import asyncio
import gc
import os
import resource
import signal
import subprocess
import sys
import textwrap
import time
import weakref
from pathlib import Path
from typing import Any

import pytest

from tests.processes import cmdline, helper_processes, is_spare, processes, wait_until
from velmor.core import job_folders
from velmor.core.inside.helper_protocol import SPARE_NAME
from velmor.core.subprocess_manager import (
    SubprocessManager,
    SubprocessResult,
    SubprocessTask,
    format_seconds,
)


@pytest.fixture(scope="module", params=["warm", "spawning"])
def manager(request):
    # Made outside any loop and shared by tests that each run on their own loop.
    manager = SubprocessManager(warm=request.param == "warm")
    assert manager.warm == (request.param == "warm")
    yield manager
    manager.close()


@pytest.fixture
def tool(tmp_path):
    """Writes a tool script and gives its absolute path."""
    counter = iter(range(1000))

    def write(source: str) -> str:
        folder = tmp_path / f"tool{next(counter)}"
        folder.mkdir()
        path = folder / "tool.py"
        path.write_text(textwrap.dedent(source), encoding="utf-8")
        return str(path)

    return write


def validate(code: str) -> SubprocessTask:
    return SubprocessTask(
        worker_type="custom",
        command={"action": "validate", "code": textwrap.dedent(code)},
        timeout=10.0,
    )


def run(
    path: str, args: Any = None, timeout: float | None = 10.0, function: str = "main"
) -> SubprocessTask:
    command = {
        "action": "run_function",
        "path": path,
        "function": function,
        "args": args if args is not None else {},
    }
    return SubprocessTask(worker_type="custom", command=command, timeout=timeout)


def worker_children() -> list[int]:
    """Live job processes: children of this process or of its warm helpers
    (other than the child a helper keeps forked ahead of the next job)."""
    helpers = set(helper_processes())
    return [
        pid
        for pid, ppid, _, state in processes()
        if (ppid == os.getpid() or ppid in helpers)
        and pid not in helpers
        and state != "Z"
        and not is_spare(pid)
    ]


def helper_spares(helper: int) -> list[int]:
    return [pid for pid, ppid, _, _ in processes() if ppid == helper and is_spare(pid)]


def alive(pid: int) -> bool:
    """Running, or dead but not yet reaped by its parent."""
    return os.path.exists(f"/proc/{pid}")


def sleeping(marker: str) -> list[int]:
    """Processes running `sleep MARKER`."""
    return [
        pid for pid, _, _, _ in processes() if cmdline(pid) == b"sleep\0" + marker.encode() + b"\0"
    ]


def group_members(pgid: int) -> list[int]:
    return [pid for pid, _, group, _ in processes() if group == pgid]


def running_members(pgid: int) -> list[int]:
    """Members still running; orphans that died wait here for init, which takes its time."""
    return [pid for pid, _, group, state in processes() if group == pgid and state != "Z"]


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


class TestJobFailures:
    async def test_timeout_kills_the_job(self, manager, tool):
        path = tool("def main(args):\n    while True:\n        pass\n")
        started = time.monotonic()
        result = await manager.spawn(run(path, timeout=0.5))
        assert result.error == "Timed out after 0.5 s"
        assert time.monotonic() - started < 3
        assert result.returncode == -9

    @pytest.mark.parametrize(
        "timeout, text", [(60.0, "60"), (0.5, "0.5"), (10, "10"), (1.25, "1.25")]
    )
    def test_timeout_is_named_as_given(self, timeout, text):
        assert format_seconds(timeout) == text

    @pytest.mark.parametrize(
        "source, error",
        [
            (
                "import os\ndef main(args):\n    os._exit(3)\n",
                "Worker exited with status 3 without sending a result",
            ),
            (
                "import os\ndef main(args):\n    os._exit(0)\n",
                "Worker exited with status 0 without sending a result",
            ),
            (
                "import os, signal\ndef main(args):\n    os.kill(os.getpid(), signal.SIGTERM)\n",
                "Worker was killed by SIGTERM (Terminated) without sending a result",
            ),
            (
                "import ctypes\ndef main(args):\n    return ctypes.string_at(0)\n",
                "Worker was killed by SIGSEGV (Segmentation fault) without sending a result",
            ),
        ],
        ids=["exit-status", "silent-exit", "signal", "segfault"],
    )
    async def test_crashes_say_what_happened(self, manager, tool, source, error):
        result = await manager.spawn(run(tool(source)))
        assert result.error is not None and result.error.startswith(error)
        assert result.output is None

    async def test_crash_quotes_the_end_of_stderr(self, manager, tool):
        path = tool(
            """
            import os, sys
            def main(args):
                print("about to crash", file=sys.stderr, flush=True)
                os._exit(9)
            """
        )
        result = await manager.spawn(run(path))
        assert result.error == (
            "Worker exited with status 9 without sending a result. Last lines of stderr:\nabout to crash"
        )

    async def test_segfault_points_at_the_tool(self, manager, tool):
        path = tool("import ctypes\ndef main(args):\n    return ctypes.string_at(0)\n")
        result = await manager.spawn(run(path))
        assert f'File "{path}", line 3 in main' in result.error
        assert "custom_worker.py" not in result.error

    async def test_undecodable_result(self, manager, tool):
        # The reply channel is the one pipe the worker holds besides stdout and stderr.
        path = tool(
            """
            import os, stat
            def is_pipe(fd):
                try:
                    return stat.S_ISFIFO(os.fstat(fd).st_mode)
                except OSError:
                    return False
            def main(args):
                (fd,) = [fd for fd in range(3, 256) if is_pipe(fd)]
                os.write(fd, b"not json")
                os._exit(0)
            """
        )
        result = await manager.spawn(run(path))
        assert result.error.startswith("Worker sent an undecodable result (")

    async def test_memory_beyond_the_limit(self, tool, make_manager):
        manager = make_manager(memory_limit=256 << 20)
        path = tool("def main(args):\n    block = bytearray(512 << 20)\n    return len(block)\n")
        result = await manager.spawn(run(path))
        assert result.error == "MemoryError (tool.py, line 2)"

    async def test_result_above_the_output_cap(self, tool, make_manager):
        manager = make_manager(output_cap=64 << 10)
        path = tool("def main(args):\n    return 'x' * 100_000\n")
        result = await manager.spawn(run(path))
        assert result.error == "Result exceeds the output cap of 64 KiB"

    async def test_result_above_the_cap_whenever_the_worker_dies(self, tool, make_manager):
        # The worker often dies of the closed result pipe before the manager's
        # kill reaches the helper; that must not read as a lost helper.
        manager = make_manager(output_cap=4 << 10)
        path = tool("def main(args):\n    return 'x' * 100_000\n")
        errors = {(await manager.spawn(run(path))).error for _ in range(100)}
        assert errors == {"Result exceeds the output cap of 4 KiB"}

    async def test_printing_above_the_cap_is_truncated_not_an_error(self, tool, make_manager):
        manager = make_manager(output_cap=64 << 10)
        path = tool(
            """
            import sys
            def main(args):
                for i in range(20000):
                    print(i)
                sys.stderr.write("e" * 100_000 + "END")
                return "done"
            """
        )
        result = await manager.spawn(run(path))
        assert result.error is None and result.output == "done"
        assert result.stdout.startswith("0\n1\n2\n")
        assert result.stdout.endswith("bytes beyond the 64 KiB cap not kept ...]")
        assert result.stderr.endswith("eeeEND")
        assert len(result.stdout) < 70_000 and len(result.stderr) < 70_000

    async def test_unknown_worker_type_starts_no_process(self, manager, monkeypatch):
        def refuse(*args, **kwargs):
            raise AssertionError("no process may be started")

        monkeypatch.setattr(subprocess, "Popen", refuse)
        result = await manager.spawn(
            SubprocessTask(worker_type="shell", command={"action": "run"}, timeout=1.0)
        )
        assert result.error == "Unknown worker type 'shell' (known: custom)"
        assert result.returncode is None

    async def test_unknown_action(self, manager):
        result = await manager.spawn(
            SubprocessTask(worker_type="custom", command={"action": "format"}, timeout=5.0)
        )
        assert (
            result.error
            == "Unknown action 'format' for the custom worker (known: run_function, validate)"
        )

    async def test_command_that_json_cannot_encode(self, manager):
        result = await manager.spawn(
            SubprocessTask(
                worker_type="custom", command={"action": "validate", "code": object()}, timeout=5.0
            )
        )
        assert result.error.startswith("Command is not JSON-encodable: ")


class TestIsolation:
    async def test_worker_surroundings(self, manager, tool, home):
        path = tool(
            """
            import os, resource, sys
            def main(args):
                return {
                    "isolated": sys.flags.isolated,
                    "executable": sys.executable,
                    "env": sorted(os.environ),
                    "home": os.environ.get("HOME"),
                    "cwd": os.getcwd(),
                    "stdin": sys.stdin.read(),
                    # 0 in the sandbox: the leader is the process that waits
                    # for the job, outside its pid namespace.
                    "session_leader": os.getsid(0) in (0, os.getpid()),
                    "group_leader": os.getpgid(0) in (0, os.getpid()),
                    "cpu": resource.getrlimit(resource.RLIMIT_CPU),
                    "memory": resource.getrlimit(resource.RLIMIT_AS),
                    "fds": [fd for fd in range(1024) if _is_open(fd)],
                }
            def _is_open(fd):
                # /proc is out of a sandboxed job's reach: ask each descriptor.
                try:
                    os.fstat(fd)
                except OSError:
                    return False
                return True
            """
        )
        result = await manager.spawn(run(path, timeout=2.5))
        seen = result.output
        assert seen["isolated"] == 1
        assert seen["executable"] == sys.executable
        assert seen["env"] == ["HOME", "LANG", "LC_ALL", "PATH", "TMPDIR"]
        assert seen["home"] != str(home) and seen["home"] == seen["cwd"]
        assert seen["stdin"] == ""
        assert seen["session_leader"] and seen["group_leader"]
        assert seen["cpu"] == [4, 5]
        assert seen["memory"] == [1 << 30, 1 << 30]
        # 0-2 and the reply channel: no fd of the host leaked in
        assert len(seen["fds"]) == 4
        assert not Path(seen["cwd"]).exists()

    async def test_nothing_carries_over_from_one_job_to_the_next(self, manager, tool):
        # Whatever a job does to its interpreter, the next one starts as if new.
        path = tool(
            """
            import json, linecache, os, random, sys, tempfile
            leftover = "from an earlier job"
            def main(args):
                seen = {
                    # Nothing of an earlier job lives in its pid namespace.
                    "processes": sorted(p for p in os.listdir("/proc") if p.isdigit()),
                    "random": random.getrandbits(64),
                    "json_marked": hasattr(json, "marked"),
                    "env_marked": "MARKED" in os.environ,
                    "path_marked": "/marked" in sys.path,
                    "cwd_files": os.listdir("."),
                    "tmp": tempfile.gettempdir() == os.getcwd(),
                    "own_module": sys.modules["custom_tool"].__dict__.get("main") is main,
                    "rehearsal_lines": "<tool code>" in linecache.cache,
                }
                json.marked = True
                os.environ["MARKED"] = "1"
                sys.path.append("/marked")
                open("left-behind", "w").close()
                return seen
            """
        )
        first, second = [(await manager.spawn(run(path))).output for _ in range(2)]
        assert first["processes"] == second["processes"] == ["1", "2"]
        assert first["random"] != second["random"]
        for seen in (first, second):
            assert seen["json_marked"] is seen["env_marked"] is seen["path_marked"] is False
            assert seen["cwd_files"] == [] and seen["tmp"] and seen["own_module"]
            assert seen["rehearsal_lines"] is False

    @pytest.mark.parametrize("timeout", [None, float("inf")])
    async def test_no_cpu_limit_without_timeout(self, manager, tool, timeout):
        path = tool(
            "import resource\ndef main(args):\n    return resource.getrlimit(resource.RLIMIT_CPU)\n"
        )
        result = await manager.spawn(run(path, timeout=timeout))
        assert result.output == [resource.RLIM_INFINITY, resource.RLIM_INFINITY]

    @pytest.mark.parametrize("timeout", [-1.0, float("nan")])
    def test_timeout_must_be_a_duration(self, timeout):
        with pytest.raises(ValueError, match="timeout must be None or a number of seconds >= 0"):
            SubprocessTask(worker_type="custom", command={}, timeout=timeout)


class TestProcessCleanup:
    async def test_timeout_kills_the_whole_group(self, manager, tool):
        # The job's pids are those of its pid namespace: what it started is
        # found on the host by the duration it sleeps for.
        marker = str(60 + time.time_ns() % 10**6)
        path = tool(
            f"""
            import subprocess, time
            def main(args):
                subprocess.Popen(["sleep", "{marker}"])
                time.sleep(60)
            """
        )
        job = asyncio.create_task(manager.spawn(run(path, timeout=1.0)))
        assert await wait_until(lambda: bool(sleeping(marker)))
        (straggler,) = sleeping(marker)
        group = os.getpgid(straggler)
        result = await job
        assert result.error == "Timed out after 1 s"
        assert not os.path.exists(f"/proc/{group}")  # reaped, not a zombie
        assert await wait_until(lambda: not group_members(group))

    async def test_stragglers_are_killed_after_a_normal_end(self, manager, tool):
        path = tool(
            """
            import os, subprocess
            def main(args):
                subprocess.Popen(["sleep", "60"])
                return os.getpid()
            """
        )
        result = await manager.spawn(run(path))
        assert await wait_until(lambda: not group_members(result.output))

    async def test_cancellation_kills_and_reaps_the_worker(self, manager, tool):
        path = tool(
            """
            import subprocess, time
            def main(args):
                subprocess.Popen(["sleep", "60"])
                time.sleep(60)
            """
        )
        job = asyncio.create_task(manager.spawn(run(path, timeout=30)))
        assert await wait_until(
            lambda: any(len(group_members(pid)) >= 2 for pid in worker_children())
        )
        (worker,) = worker_children()
        job.cancel()
        with pytest.raises(asyncio.CancelledError):
            await job
        assert not os.path.exists(f"/proc/{worker}")
        assert worker_children() == []
        assert await wait_until(lambda: not group_members(worker))

    async def test_wait_for_expiry_cancels_cleanly(self, manager, tool):
        path = tool("def main(args):\n    while True:\n        pass\n")
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(manager.spawn(run(path, timeout=30)), 0.3)
        assert worker_children() == []


class TestConcurrency:
    async def test_fifty_jobs_at_once(self, manager, tool):
        path = tool("def main(args):\n    return args['i'] * 2\n")
        results = await asyncio.gather(*(manager.spawn(run(path, {"i": i})) for i in range(50)))
        assert [r.error for r in results] == [None] * 50
        assert [r.output for r in results] == [i * 2 for i in range(50)]
        assert worker_children() == []
        helpers = helper_processes()
        left = [pid for pid, ppid, _, _ in processes() if ppid in helpers and not is_spare(pid)]
        assert left == []  # not even zombies

    async def test_concurrency_limit_is_kept(self, tool, make_manager):
        manager = make_manager(max_concurrency=2)
        path = tool(
            """
            import time
            def main(args):
                start = time.time()
                time.sleep(0.15)
                return [start, time.time()]
            """
        )
        results: list[SubprocessResult] = await asyncio.gather(
            *(manager.spawn(run(path)) for _ in range(6))
        )
        spans = [r.output for r in results]
        most = max(sum(1 for start, end in spans if start <= moment < end) for moment, _ in spans)
        assert most == 2

    def test_one_manager_serves_loop_after_loop(self, tool, make_manager):
        # A limit of one makes jobs queue, which would tie a single shared
        # asyncio primitive to the first loop.
        manager = make_manager(max_concurrency=1)
        path = tool("def main(args):\n    return args\n")

        async def batch(tag: str) -> list[Any]:
            results = await asyncio.gather(*(manager.spawn(run(path, [tag, i])) for i in range(3)))
            return [r.output for r in results]

        for tag in ("first", "second", "third"):
            assert asyncio.run(batch(tag)) == [[tag, i] for i in range(3)]

    def test_finished_loops_are_not_kept_alive(self, tool, make_manager):
        manager = make_manager(max_concurrency=1)
        path = tool("def main(args):\n    return args\n")

        async def batch() -> None:
            await asyncio.gather(*(manager.spawn(run(path)) for _ in range(2)))

        with asyncio.Runner() as runner:
            runner.run(batch())
            old_loop = weakref.ref(runner.get_loop())
        asyncio.run(batch())
        gc.collect()
        assert old_loop() is None


def gone(pid: int) -> bool:
    """No longer running: absent, or a zombie waiting for its parent."""
    for found, _, _, state in processes():
        if found == pid:
            return state == "Z"
    return True


SLOW_TOOL = """
import os, subprocess, time
def main(args):
    subprocess.Popen(["sleep", "60"])
    print(os.getpid(), flush=True)
    time.sleep(60)
"""


async def running_job() -> int:
    """The pid of the one job running here, once it has started its straggler."""
    assert await wait_until(lambda: any(len(group_members(pid)) >= 2 for pid in worker_children()))
    (job,) = worker_children()
    return job


class TestWarmHelper:
    async def test_one_helper_forks_every_job_and_runs_none(self, make_manager, tool):
        manager = make_manager(sandbox=False)  # a sandboxed job's pids are its namespace's
        assert manager.helper_pid is None  # started on first use
        path = tool("import os\ndef main(args):\n    return [os.getpid(), os.getppid()]\n")
        results = [(await manager.spawn(run(path))).output for _ in range(3)]
        helper = manager.helper_pid
        assert helper_processes() == [helper]
        assert all(parent == helper and pid != helper for pid, parent in results)
        assert len({pid for pid, _ in results}) == 3

    @pytest.mark.parametrize("sandbox", [True, False], ids=["sandboxed", "bare"])
    async def test_the_next_job_runs_in_the_child_forked_ahead(self, make_manager, tool, sandbox):
        manager = make_manager(sandbox=sandbox)
        path = tool("import os\ndef main(args):\n    return [os.getpid(), os.getpgid(0)]\n")
        assert (await manager.spawn(run(path))).error is None
        helper = manager.helper_pid
        assert await wait_until(lambda: len(helper_spares(helper)) == 1)
        (spare,) = helper_spares(helper)
        # In a session of its own already, as every job is (soon after its fork).
        assert await wait_until(lambda: os.getpgid(spare) == os.getsid(spare) == spare)
        pid, group = (await manager.spawn(run(path))).output
        # Sandboxed, the spare waits for the job's process, pid 2 of its own
        # pid namespace, in the spare's group.
        assert [pid, group] == ([2, 0] if sandbox else [spare, spare])
        assert not alive(spare)
        assert await wait_until(lambda: len(helper_spares(helper)) == 1)
        assert helper_spares(helper) != [spare]
        manager.close()
        assert helper_spares(helper) == [] and not alive(helper)

    async def test_a_job_runs_under_the_helpers_name_not_the_spares(self, make_manager, tool):
        manager = make_manager(sandbox=False)  # /proc is out of a sandboxed job's reach
        path = tool("def main(args):\n    return open('/proc/self/comm').read().strip()\n")
        name = (await manager.spawn(run(path))).output
        # The kernel's name of a process started from the interpreter's file.
        assert name == os.path.basename(sys.executable)[:15] != SPARE_NAME.decode()

    async def test_a_spare_killed_before_its_job_is_replaced(self, make_manager, tool):
        manager = make_manager()
        path = tool("def main(args):\n    return args\n")
        assert (await manager.spawn(run(path, 1))).output == 1
        helper = manager.helper_pid
        assert await wait_until(lambda: len(helper_spares(helper)) == 1)
        (spare,) = helper_spares(helper)
        os.kill(spare, signal.SIGKILL)
        assert await wait_until(lambda: not alive(spare))  # reaped, not left a zombie
        result = await manager.spawn(run(path, 2))
        assert result.error is None and result.output == 2
        assert manager.helper_pid == helper

    async def test_helper_killed_between_jobs_is_replaced(self, make_manager, tool):
        manager = make_manager()
        path = tool("def main(args):\n    return args\n")
        assert (await manager.spawn(run(path, 1))).output == 1
        old = manager.helper_pid
        os.kill(old, signal.SIGKILL)
        result = await manager.spawn(run(path, 2))
        assert result.error is None and result.output == 2
        assert manager.helper_pid not in (None, old)
        assert not alive(old)  # reaped, not left a zombie

    async def test_helper_killed_during_a_job(self, make_manager, tool):
        manager = make_manager()
        job = asyncio.create_task(manager.spawn(run(tool(SLOW_TOOL), timeout=30)))
        worker = await running_job()
        os.kill(manager.helper_pid, signal.SIGKILL)
        result = await asyncio.wait_for(job, 5)
        assert result.error == "The warm helper that ran the worker exited during the job"
        assert await wait_until(lambda: not running_members(worker))
        after = await manager.spawn(run(tool("def main(args):\n    return 'fine'\n")))
        assert after.error is None and after.output == "fine"

    async def test_close_ends_the_helper_and_a_later_spawn_starts_another(self, make_manager, tool):
        manager = make_manager()
        path = tool("def main(args):\n    return args\n")
        await manager.spawn(run(path))
        first = manager.helper_pid
        manager.close()
        assert not alive(first) and manager.helper_pid is None
        assert (await manager.spawn(run(path, "again"))).output == "again"
        assert manager.helper_pid not in (None, first)

    async def test_closing_ends_jobs_still_running(self, make_manager, tool):
        manager = make_manager()
        job = asyncio.create_task(manager.spawn(run(tool(SLOW_TOOL), timeout=30)))
        worker = await running_job()
        await manager.aclose()
        result = await asyncio.wait_for(job, 5)
        assert result.error.startswith("Worker was killed by SIGKILL")
        assert not alive(worker)
        assert await wait_until(lambda: not running_members(worker))

    async def test_async_with_ends_the_helper(self, tool):
        async with SubprocessManager() as manager:
            assert (await manager.spawn(run(tool("def main(args):\n    return 1\n")))).output == 1
            helper = manager.helper_pid
        assert not alive(helper)

    async def test_spawning_when_fork_is_missing(self, make_manager, tool, monkeypatch):
        monkeypatch.delattr(os, "fork")
        manager = make_manager(sandbox=False)  # a sandboxed job's parent is outside its view
        assert not manager.warm
        result = await manager.spawn(
            run(tool("import os\ndef main(args):\n    return os.getppid()\n"))
        )
        assert result.output == os.getpid()
        assert helper_processes() == []


HOST = """
import asyncio, os, signal, sys, time
from velmor.core.subprocess_manager import SubprocessManager, SubprocessTask

how, tool = sys.argv[1], sys.argv[2]
manager = SubprocessManager()

async def main():
    job = asyncio.create_task(manager.spawn(SubprocessTask(
        worker_type="custom",
        command={"action": "run_function", "path": tool, "function": "main", "args": {}},
        timeout=60,
    )))
    while manager.helper_pid is None:
        await asyncio.sleep(0.01)
    print(manager.helper_pid, flush=True)
    await asyncio.to_thread(sys.stdin.readline)  # the test has seen the job under way
    if how == "crashes":
        os._exit(1)
    if how == "forks":
        if os.fork() == 0:
            time.sleep(30)  # a copy of the host that lives on
            os._exit(0)
        os._exit(0)
    if how == "is killed":
        await job
    # "returns": leave with the job still running, without closing the manager

asyncio.run(main())
"""


@pytest.mark.parametrize("how", ["returns", "crashes", "forks", "is killed"])
def test_a_host_that_goes_away_leaves_no_helper_or_job_behind(tool, tmp_path, how):
    script = tmp_path / "host.py"
    script.write_text(HOST, encoding="utf-8")
    folders = tmp_path / "tmp"  # where the host makes its job folders
    folders.mkdir()
    host = subprocess.Popen(
        [sys.executable, str(script), how, tool(SLOW_TOOL)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        # The installed package: the source tree lacks the sandbox's native part.
        env={**os.environ, "TMPDIR": str(folders)},
        start_new_session=True,
    )
    try:
        helper = int(host.stdout.readline())
        jobs = lambda: [pid for pid, parent, _, _ in processes() if parent == helper]  # noqa: E731
        assert asyncio.run(wait_until(lambda: any(len(group_members(job)) >= 2 for job in jobs())))
        (job,) = jobs()
        host.stdin.write(b"go\n")
        host.stdin.flush()
        if how == "is killed":
            host.kill()
        host.wait(timeout=10)
        assert asyncio.run(wait_until(lambda: gone(helper) and not running_members(job)))
        # A host that could not remove its job's folder left it to the next manager.
        left = [folder.name for folder in folders.iterdir()]
        assert len(left) == (1 if how in ("crashes", "is killed", "forks") else 0)
        job_folders.remove_leftovers(str(folders))
        assert list(folders.iterdir()) == []
    finally:
        try:
            os.killpg(
                host.pid, signal.SIGKILL
            )  # the copy that lived on, or everything if the test failed
        except ProcessLookupError:
            pass
        host.wait()
        host.stdin.close()
        host.stdout.close()
