"""The manager's side of the warm helper: a helper that stops, hangs or can no
longer start jobs holds neither the event loop nor any job's deadline, and is
replaced; and the job folders that hosts which died leave behind."""

from __future__ import annotations

import asyncio
import gc
import os
import resource
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

from tests.processes import helper_processes, is_spare, wait_until
from velmor.core import helper_client, job_folders
from velmor.core.subprocess_manager import SubprocessManager, SubprocessTask

KILL_GRACE = helper_client.KILL_GRACE
# The longest the loop may go without a turn while a stopped helper holds
# hundreds of jobs: a helper that blocked the loop held it for seconds, while
# a loop that never waits on it shows 30-65 ms on a 2-CPU machine, scheduling
# included. A sanitizer build slows every step of the loop, so its bound is
# wider there.
LONGEST_STALL = 0.25 if "libasan" in os.environ.get("LD_PRELOAD", "") else 0.1
QUICK = "def main(args):\n    return args\n"
SLOW = "import time\ndef main(args):\n    time.sleep(30)\n"


@pytest.fixture
def tool(tmp_path):
    def write(source: str, name: str = "tool") -> str:
        path = tmp_path / f"{name}.py"
        path.write_text(source, encoding="utf-8")
        return str(path)

    return write


def run(path: str, args: object = None, timeout: float | None = 10.0) -> SubprocessTask:
    command = {"action": "run_function", "path": path, "function": "main", "args": args}
    return SubprocessTask(worker_type="custom", command=command, timeout=timeout)


def alive(pid: int) -> bool:
    return os.path.exists(f"/proc/{pid}")


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


def _folder_of(pid: int, start: int, namespace: int, root: Path) -> Path:
    folder = root / f"velmor-job-{pid}-{start}-{namespace}-abcd1234"
    folder.mkdir()
    (folder / "left.txt").write_text("left behind", encoding="utf-8")
    return folder


class TestLeftoverFolders:
    @pytest.fixture
    def gone(self):
        """A process that has exited and been reaped, and its start time."""
        child = subprocess.Popen([sys.executable, "-c", "pass"])
        start = job_folders._start_time(child.pid)
        child.wait()
        return child.pid, start

    def test_a_job_folder_is_named_after_its_host(self, tmp_path, monkeypatch):
        monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
        folder = Path(job_folders.make_job_folder())
        pid, start, namespace = folder.name.split("-")[2:5]
        assert folder.parent == tmp_path and folder.is_dir()
        assert int(pid) == os.getpid()
        assert int(start) == job_folders._start_time(os.getpid())
        assert int(namespace) == os.stat("/proc/self/ns/pid").st_ino

    def test_only_folders_of_hosts_that_are_gone_are_removed(self, tmp_path, gone, monkeypatch):
        namespace = os.stat("/proc/self/ns/pid").st_ino
        me, my_start = os.getpid(), job_folders._start_time(os.getpid())
        dead = _folder_of(*gone, namespace, tmp_path)
        reused = _folder_of(me, my_start + 1, namespace, tmp_path)  # this pid, another start
        live = _folder_of(me, my_start, namespace, tmp_path)
        elsewhere = _folder_of(*gone, namespace + 1, tmp_path)  # another pid namespace's
        unrelated = tmp_path / "velmor-job-x7yz"
        unrelated.mkdir()
        target = tmp_path / "target"
        target.mkdir()
        (target / "keep.txt").write_text("kept", encoding="utf-8")
        link = tmp_path / f"velmor-job-{gone[0]}-{gone[1]}-{namespace}-link0000"
        link.symlink_to(target)
        # A dead host's folder with a link in it: the link goes, not what it names.
        (dead / "out").symlink_to(target)
        monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
        manager = SubprocessManager(warm=False, sandbox=False)
        manager._leftovers.join(10)
        assert not dead.exists() and not reused.exists()
        assert live.exists() and elsewhere.exists() and unrelated.exists()
        assert link.is_symlink() and (target / "keep.txt").read_text(encoding="utf-8") == "kept"

    @pytest.mark.skipif(os.geteuid() != 0, reason="needs to give a folder to another user")
    def test_folders_of_other_users_are_not_touched(self, tmp_path, gone):
        namespace = os.stat("/proc/self/ns/pid").st_ino
        theirs = _folder_of(*gone, namespace, tmp_path)
        os.chown(theirs, 65534, 65534)
        assert job_folders.remove_leftovers(str(tmp_path)) == []
        assert theirs.exists()

    async def test_a_job_leaves_no_folder_behind(self, tmp_path, tool, monkeypatch):
        monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
        async with SubprocessManager() as manager:
            script = tool("import os\ndef main(args):\n    return os.getcwd()\n")
            results = await asyncio.gather(*(manager.spawn(run(script)) for _ in range(4)))
        assert all(result.error is None for result in results)
        assert [entry for entry in tmp_path.iterdir() if entry.name.startswith("velmor-job-")] == []
