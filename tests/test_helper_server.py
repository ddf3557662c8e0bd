"""The warm helper's server: one helper forks every job, each into a child
forked ahead of it (a spare), under the helper's name."""

from __future__ import annotations

import os
import signal
import sys

import pytest

from tests.processes import alive, helper_processes, is_spare, processes, wait_until
from tests.tasks import run
from velmor.core.inside.helper_protocol import SPARE_NAME


def helper_spares(helper: int) -> list[int]:
    return [pid for pid, ppid, _, _ in processes() if ppid == helper and is_spare(pid)]


class TestJobsForkedAhead:
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
