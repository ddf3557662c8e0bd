"""The manager's side of the warm helper: started on first use, ended by close(),
and by the host's end however it ends; a helper that dies, stops, hangs or can
no longer start jobs holds neither the event loop nor any job's deadline, and
is replaced."""

from __future__ import annotations

import asyncio
import gc
import os
import resource
import signal
import subprocess
import sys
import time

import pytest

from tests.processes import (
    alive,
    group_members,
    helper_processes,
    is_spare,
    processes,
    wait_until,
    worker_children,
)
from tests.tasks import run
from velmor.core import helper_client, job_folders
from velmor.core.subprocess_manager import SubprocessManager

KILL_GRACE = helper_client.KILL_GRACE
# The longest the loop may go without a turn while a stopped helper holds
# hundreds of jobs: a helper that blocked the loop held it for seconds, while
# a loop that never waits on it shows 25-60 ms on a 2-CPU machine shared with
# other work (the ticker's own 20 ms included), and 30-110 ms when two more
# processes keep both CPUs busy: then it is the scheduler that makes the loop
# wait, in 4 ms ticks. A sanitizer build slows every step of the loop, so its
# bound is wider there.
LONGEST_STALL = 0.25 if "libasan" in os.environ.get("LD_PRELOAD", "") else 0.1
QUICK = "def main(args):\n    return args\n"
SLOW = "import time\ndef main(args):\n    time.sleep(30)\n"


class Ticker:
    """Ticks every 20 ms on the loop and remembers the longest gap between ticks."""

    def __init__(self) -> None:
        self.stamps: list[float] = []
        self._task = asyncio.create_task(self._tick())

    async def _tick(self) -> None:
        while True:
            self.stamps.append(time.monotonic())
            await asyncio.sleep(0.02)

    def stop(self) -> float:
        self._task.cancel()
        return max(b - a for a, b in zip(self.stamps, self.stamps[1:], strict=False))


@pytest.fixture
def stopped(make_manager, tool):
    """A manager whose warm helper has run one job and is then stopped (SIGSTOP);
    continued at the end, should it still be there."""
    stopped: list[int] = []

    async def make(**options) -> SubprocessManager:
        manager = make_manager(**options)
        assert (await manager.spawn(run(tool(QUICK, "warm"), "warm"))).output == "warm"
        stopped.append(manager.helper_pid)
        os.kill(manager.helper_pid, signal.SIGSTOP)
        return manager

    yield make
    for pid in stopped:
        try:
            os.kill(pid, signal.SIGCONT)
        except ProcessLookupError:
            pass


def enough_descriptors(needed: int) -> None:
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < needed:
        if hard != resource.RLIM_INFINITY and hard < needed:
            pytest.skip(f"needs {needed} descriptors, the hard limit is {hard}")
        resource.setrlimit(resource.RLIMIT_NOFILE, (needed, hard))


class TestStoppedHelper:
    @pytest.mark.parametrize(
        ("jobs", "queue_max"),
        [(400, helper_client.QUEUE_MAX), (12, 4)],
        ids=["400 jobs", "beyond a queue of 4"],
    )
    async def test_no_deadline_waits_on_it_nor_does_the_loop(
        self, stopped, tool, monkeypatch, jobs, queue_max
    ):
        enough_descriptors(20 * jobs + 1000)
        monkeypatch.setattr(helper_client, "QUEUE_MAX", queue_max)
        manager = await stopped(max_concurrency=jobs)
        helper = manager.helper_pid
        path = tool(SLOW)
        # The test run's own heap is no part of the manager: the collector's
        # passes over it would show as stalls of the loop.
        gc.collect()
        gc.freeze()
        ticker = Ticker()
        await asyncio.sleep(0.05)
        submitted = time.monotonic()

        async def timed() -> tuple[str | None, float]:
            result = await manager.spawn(run(path, timeout=1.0))
            return result.error, time.monotonic() - submitted

        try:
            answers = await asyncio.gather(*(timed() for _ in range(jobs)))
            all_answered = time.monotonic() - submitted
            longest_stall = ticker.stop()
        finally:
            gc.unfreeze()
        print(f"\n{jobs} jobs answered in {all_answered:.3f} s, longest gap {longest_stall:.3f} s")
        assert {error for error, _ in answers} == {"Timed out after 1 s"}
        assert max(elapsed for _, elapsed in answers) <= 1.0 + KILL_GRACE
        assert longest_stall <= LONGEST_STALL
        # It read none of them: killed for that, or continued here, the next job runs.
        try:
            os.kill(helper, signal.SIGCONT)
        except ProcessLookupError:
            pass
        later = await manager.spawn(run(tool(QUICK, "later"), "later"))
        assert later.error is None and later.output == "later"

    async def test_a_started_job_times_out_and_the_helper_is_replaced(self, make_manager, tool):
        manager = make_manager()
        job = asyncio.create_task(manager.spawn(run(tool(SLOW), timeout=1.0)))
        assert await wait_until(lambda: manager.helper_pid is not None)
        helper = manager.helper_pid
        # Started: the helper has forked it (a child other than its spare).
        assert await wait_until(lambda: any(not is_spare(pid) for pid in _children(helper)))
        await asyncio.sleep(0.2)
        os.kill(helper, signal.SIGSTOP)
        result = await asyncio.wait_for(job, 1.0 + KILL_GRACE + 3)
        assert result.error == "Timed out after 1 s"
        assert await wait_until(lambda: not alive(helper))  # killed and reaped
        after = await manager.spawn(run(tool(QUICK, "after"), "after"))
        assert after.output == "after" and manager.helper_pid != helper

    async def test_a_helper_that_reads_no_job_for_long_is_replaced(
        self, stopped, tool, monkeypatch
    ):
        monkeypatch.setattr(helper_client, "HUNG_AFTER", 0.5)
        manager = await stopped()
        helper = manager.helper_pid
        # No deadline: only the helper's watch can end the wait, and the job,
        # not yet started, goes to the next helper.
        result = await asyncio.wait_for(manager.spawn(run(tool(QUICK), "waited", None)), 10)
        assert result.error is None and result.output == "waited"
        assert manager.helper_pid != helper
        assert await wait_until(lambda: not alive(helper))


def _children(pid: int) -> list[int]:
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as file:
            return [int(child) for child in file.read().split()]
    except OSError:
        return []


class TestFailingHelper:
    @pytest.mark.parametrize("sandbox", [True, False], ids=["sandboxed", "bare"])
    async def test_one_that_cannot_start_jobs_is_replaced_and_no_job_is_lost(
        self, make_manager, tool, sandbox
    ):
        manager = make_manager(sandbox=sandbox, max_concurrency=8)
        path = tool(QUICK)
        assert (await manager.spawn(run(path, "first"))).output == "first"
        helper = manager.helper_pid
        # As a hostile job with the rights to might: the helper can no longer
        # receive a job's descriptors, nor make its next child's channel.
        resource.prlimit(helper, resource.RLIMIT_NOFILE, (8, 8))
        in_flight = await asyncio.wait_for(
            asyncio.gather(*(manager.spawn(run(path, i)) for i in range(8))), 30
        )
        assert [(result.error, result.output) for result in in_flight] == [
            (None, i) for i in range(8)
        ]
        assert manager.helper_pid not in (None, helper)
        assert await wait_until(lambda: not alive(helper))  # retired, ended and reaped
        later = await manager.spawn(run(path, "later"))
        assert later.error is None and later.output == "later"
        assert helper_processes() == [manager.helper_pid]

    async def test_a_helper_that_will_not_start_says_why(self, make_manager, tool, monkeypatch):
        manager = make_manager()
        monkeypatch.setattr(helper_client.sys, "executable", "/nonexistent/python")
        result = await manager.spawn(run(tool(QUICK)))
        assert result.error.startswith("Could not start the worker: [Errno 2]")
        monkeypatch.undo()
        assert (await manager.spawn(run(tool(QUICK), "then"))).output == "then"


def running_members(pgid: int) -> list[int]:
    """Members still running; orphans that died wait here for init, which takes its time."""
    return [pid for pid, _, group, state in processes() if group == pgid and state != "Z"]


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


class TestHelperLifetime:
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
