"""A worker in a new interpreter, started by the host itself (no warm helper)."""

from __future__ import annotations

import asyncio
import os
import resource
import signal
import subprocess
import sys
from pathlib import Path

from velmor.core.job_io import Job, Limits, wait_for_future

_KILL_WAIT = 10.0  # seconds a SIGKILLed worker gets to be gone before we stop waiting


class SpawnedJob(Job):
    """A worker in a new interpreter, started by this process.

    Exit is watched through a pidfd, which reports it without reaping the
    worker: the group is then killed while the unreaped leader still pins the
    group id, so the kill can never reach an unrelated process.

    With a `launcher` (the sandbox's), the interpreter runs the launcher,
    which confines itself, then loads and runs the worker.
    """

    def __init__(
        self,
        loop: asyncio.AbstractEventLoop,
        output_cap: int,
        launcher: list[str] | None = None,
    ) -> None:
        super().__init__(loop, output_cap)
        self.proc: subprocess.Popen[bytes] | None = None
        self._pidfd: int | None = None
        self._launcher = launcher or []

    async def start(
        self, worker: Path, env: dict[str, str], cwd: str, limits: Limits, command: bytes
    ) -> None:
        command_r, result_w, out_w, err_w = child_ends = self._make_pipes()
        try:
            self.proc = subprocess.Popen(
                [sys.executable, "-I", *self._launcher, str(worker), str(command_r), str(result_w)],
                stdin=subprocess.DEVNULL,
                stdout=out_w,
                stderr=err_w,
                pass_fds=(command_r, result_w),
                cwd=cwd,
                env=env,
                start_new_session=True,
            )
        finally:
            for fd in child_ends:
                os.close(fd)
        pid = self.proc.pid
        # The worker blocks on the command pipe until it is written, so these
        # limits are in force before any job code runs.
        for which, limit in limits:
            resource.prlimit(pid, which, limit)
        self._pidfd = os.pidfd_open(pid)
        self._loop.add_reader(self._pidfd, self._on_exit)
        self._watch_pipes()
        self._send_command(command)

    def _on_exit(self) -> None:
        if self._pidfd is not None:
            self._loop.remove_reader(self._pidfd)
        if not self.exited.done():
            self.exited.set_result(None)

    def kill_group(self) -> None:
        """SIGKILL the worker's whole group, while the worker is unreaped."""
        proc = self.proc
        if proc is None or proc.returncode is not None:
            return  # once reaped, the group id may belong to someone else
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    async def settle(self) -> None:
        proc = self.proc
        if proc is None or proc.returncode is not None:
            return
        self.kill_group()
        if self._pidfd is not None:
            await wait_for_future(self.exited, _KILL_WAIT)
        # Killed and (normally) already exited: this wait does not block.
        self.kill_group()
        proc.wait()

    @property
    def settled(self) -> bool:
        return self.proc is None or self.proc.returncode is not None

    def returncode(self) -> int | None:
        return self.proc.returncode if self.proc is not None else None

    def close(self) -> None:
        super().close()
        if self._pidfd is not None:
            self._loop.remove_reader(self._pidfd)
            os.close(self._pidfd)
            self._pidfd = None
