"""The subprocess manager with real worker processes: how jobs fail, isolation,
clean-up and concurrency, warm and spawning."""

from __future__ import annotations

import asyncio
import gc
import json
import os
import resource
import subprocess
import sys
import time
import weakref
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import pytest

from tests.processes import (
    cmdline,
    group_members,
    helper_processes,
    is_spare,
    processes,
    wait_until,
    worker_children,
)
from tests.tasks import run
from velmor.core import subprocess_manager
from velmor.core.subprocess_manager import (
    SubprocessResult,
    SubprocessTask,
    format_seconds,
)


def sleeping(marker: str) -> list[int]:
    """Processes running `sleep MARKER`."""
    return [
        pid for pid, _, _, _ in processes() if cmdline(pid) == b"sleep\0" + marker.encode() + b"\0"
    ]


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

    def test_the_descriptor_table_is_grown_ahead_of_the_jobs(self):
        # In a fresh process: the table never shrinks, so this one's says nothing.
        code = """
import json, os, resource
from velmor.core.job_io import DESCRIPTORS_PER_JOB, reserve_descriptors
def table():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("FDSize:"))
resource.setrlimit(resource.RLIMIT_NOFILE, (4096, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
before, open_before = table(), sorted(os.listdir("/proc/self/fd"))
wanted = 100 * DESCRIPTORS_PER_JOB + 256
spare = os.open(os.devnull, os.O_RDONLY)
kept = os.dup2(spare, wanted)  # in use where it would go
os.close(spare)
reserve_descriptors(100)
grown = table()
reserve_descriptors(1000)  # beyond the limit: as far as it goes
print(json.dumps([before, grown, table(), wanted, os.fstat(kept).st_ino == os.stat(os.devnull).st_ino,
                  sorted(os.listdir("/proc/self/fd")) == sorted(open_before + [str(wanted)])]))
"""
        found = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        assert found.returncode == 0, found.stderr
        before, grown, capped, wanted, kept_intact, nothing_left_open = json.loads(found.stdout)
        assert before < wanted < grown and capped == 4096
        assert kept_intact and nothing_left_open

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


class TestTurns:
    """Jobs that set up or tear down at once share the loop's turns."""

    async def test_a_turn_cut_short_holds_back_no_later_one(self, monkeypatch):
        clock = [0.0]
        monkeypatch.setattr(subprocess_manager, "time", SimpleNamespace(monotonic=lambda: clock[0]))
        turns = subprocess_manager._Turns(asyncio.get_running_loop())
        turn = [0]
        next_turn = turns._next_turn

        def counted() -> None:
            turn[0] += 1
            next_turn()

        monkeypatch.setattr(turns, "_next_turn", counted)
        passed: list[int] = []

        async def job(first: bool) -> None:
            await turns.take()
            passed.append(turn[0])
            if first:
                clock[0] += 1.0  # the scheduler takes the CPU away mid-turn

        await asyncio.gather(*(job(i == 0) for i in range(32)))
        per_turn = [passed.count(number) for number in sorted(set(passed))]
        # One in the turn cut short and the one after, then twice as many
        # each turn that had time to spare, not one a turn from then on.
        assert per_turn == [1, 1, 2, 4, 8, 16]
