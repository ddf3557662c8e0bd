"""A job's deadline is the manager's own: it holds while the warm helper is
stopped, and neither a timeout nor a cancellation waits on the helper."""

from __future__ import annotations

import asyncio
import os
import signal
import time

import pytest

from tests.processes import is_spare, processes, wait_until
from tests.tasks import run
from velmor.core import helper_client

SLOW = "import time\ndef main(args):\n    time.sleep(30)\n"


class TestDeadline:
    async def test_timeout_holds_while_the_helper_is_stopped(self, make_manager, tool):
        manager = make_manager()
        path = tool(SLOW)
        job = asyncio.create_task(manager.spawn(run(path, timeout=1.0)))
        while manager.helper_pid is None:
            await asyncio.sleep(0.01)
        await asyncio.sleep(0.3)
        os.kill(manager.helper_pid, signal.SIGSTOP)
        started = time.monotonic()
        result = await asyncio.wait_for(job, 10)
        assert result.error == "Timed out after 1 s"
        assert time.monotonic() - started < 5  # the timeout and the grace to kill the helper
        after = await manager.spawn(run(tool("def main(args):\n    return 'fine'\n")))
        assert after.output == "fine"  # a new helper took over

    async def test_job_submitted_to_a_stopped_helper_times_out(
        self, monkeypatch, make_manager, tool
    ):
        # The helper stays stopped, so closing the manager waits out the whole
        # exit grace before killing it: shortened here, where nothing measures it.
        # (monkeypatch comes first, so it is undone after the manager is closed.)
        monkeypatch.setattr(helper_client, "_HELPER_EXIT_GRACE", 0.2)
        manager = make_manager()
        assert (await manager.spawn(run(tool("def main(args):\n    return 1\n")))).output == 1
        os.kill(manager.helper_pid, signal.SIGSTOP)
        result = await asyncio.wait_for(manager.spawn(run(tool(SLOW), timeout=0.5)), 10)
        assert result.error == "Timed out after 0.5 s"

    async def test_cancelling_with_a_stopped_helper_does_not_block_the_loop(
        self, make_manager, tool
    ):
        manager = make_manager()
        job = asyncio.create_task(manager.spawn(run(tool(SLOW), timeout=30)))
        # Under way: a job not yet started is let go at once, without the helper.
        assert await wait_until(lambda: job_children(manager.helper_pid))
        await asyncio.sleep(0.3)
        os.kill(manager.helper_pid, signal.SIGSTOP)
        stamps: list[float] = []

        async def tick() -> None:
            while True:
                stamps.append(time.monotonic())
                await asyncio.sleep(0.01)

        ticker = asyncio.create_task(tick())
        job.cancel()
        with pytest.raises(asyncio.CancelledError):
            await asyncio.wait_for(job, 10)
        ticker.cancel()
        # A blocked loop would stall for the helper's kill grace (1.5 s) or more;
        # half a second leaves room for a loaded machine.
        assert max(b - a for a, b in zip(stamps, stamps[1:], strict=False)) < 0.5


def job_children(helper: int | None) -> list[int]:
    """The helper's children that have taken a job (not the spare forked ahead)."""
    return [
        pid
        for pid, parent, _, _ in processes()
        if helper and parent == helper and not is_spare(pid)
    ]
