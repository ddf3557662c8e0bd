"""One job's process and its pipes, driven from the running event loop.

The command goes to the worker over one pipe and the result comes back over
another; the worker's fds 1 and 2 are captured apart, so nothing a tool
prints can corrupt the result. The subclasses (spawned_job.py, forked_job.py)
start the process, notice its end, kill its group and reap it.
"""

from __future__ import annotations

import asyncio
import fcntl
import os
import resource
from pathlib import Path

from velmor.core.units import format_bytes

READ_CHUNK = 1 << 16
# Descriptors the host holds for one job at most: the four pipes' two ends
# and the helper channel's two, with a little to spare.
DESCRIPTORS_PER_JOB = 12

# (resource, (soft, hard)) pairs, as resource.setrlimit takes them.
Limits = list[tuple[int, tuple[int, int]]]


class Capture:
    """Bytes read from one pipe, capped at `cap`; keeps the head or the tail."""

    def __init__(self, cap: int, keep_tail: bool = False) -> None:
        self.cap = cap
        self.keep_tail = keep_tail
        self.data = bytearray()
        self.total = 0

    def feed(self, chunk: bytes) -> None:
        self.total += len(chunk)
        if self.keep_tail:
            self.data += chunk
            if len(self.data) > self.cap:
                del self.data[: len(self.data) - self.cap]
        elif len(self.data) < self.cap:
            self.data += chunk[: self.cap - len(self.data)]

    @property
    def overflowed(self) -> bool:
        return self.total > self.cap

    def text(self) -> str:
        text = self.data.decode("utf-8", errors="replace")
        dropped = self.total - len(self.data)
        if not dropped:
            return text
        note = f"[... {dropped} bytes beyond the {format_bytes(self.cap)} cap not kept ...]"
        return f"{note}\n{text}" if self.keep_tail else f"{text}\n{note}"


class NotStarted(Exception):
    """The job's process never started; `retry` when another helper may manage it."""

    def __init__(self, reason: str, retry: bool) -> None:
        super().__init__(reason)
        self.retry = retry


class Job:
    """One worker process and its four pipes.

    This part feeds the command in and reads the result, stdout and stderr
    out. `exited` resolves once the worker has ended (or can no longer be
    watched); `settle()` makes sure of it on any path without blocking the
    loop, and `close()` releases what is left.
    """

    def __init__(self, loop: asyncio.AbstractEventLoop, output_cap: int) -> None:
        self._loop = loop
        self.result = Capture(output_cap)
        self.stdout = Capture(output_cap)
        self.stderr = Capture(output_cap, keep_tail=True)
        self.exited: asyncio.Future[None] = loop.create_future()
        self.timed_out = False
        # Why the job's end could not be watched to the last, when it could not.
        self.lost: str | None = None
        self._readers: dict[int, tuple[Capture, asyncio.Future[None]]] = {}
        self._command_fd: int | None = None
        self._pending = memoryview(b"")

    async def start(
        self, worker: Path, env: dict[str, str], cwd: str, limits: Limits, command: bytes
    ) -> None:
        raise NotImplementedError

    def kill_group(self) -> None:
        raise NotImplementedError

    async def settle(self) -> None:
        """Kill what is left of the job and wait, on the loop, until it is gone."""
        raise NotImplementedError

    @property
    def settled(self) -> bool:
        """True once settle() has nothing left to do: the job is gone."""
        raise NotImplementedError

    def returncode(self) -> int | None:
        """The worker's exit status once it has been reaped, else None."""
        raise NotImplementedError

    def _make_pipes(self) -> list[int]:
        """Open the pipes; keep this side's ends, return the worker's.

        The worker's ends come in the order command, result, stdout, stderr,
        and the caller closes them once the worker holds its copies.
        """
        fds: list[int] = []
        try:
            for _ in range(4):
                fds.extend(os.pipe())
        except BaseException:
            for fd in fds:
                os.close(fd)
            raise
        command_r, command_w, result_r, result_w, out_r, out_w, err_r, err_w = fds
        self._command_fd = command_w
        for fd, capture in ((result_r, self.result), (out_r, self.stdout), (err_r, self.stderr)):
            self._readers[fd] = (capture, self._loop.create_future())
        return [command_r, result_w, out_w, err_w]

    def _watch_pipes(self) -> None:
        for fd in self._readers:
            os.set_blocking(fd, False)
            self._loop.add_reader(fd, self._on_readable, fd)

    def _send_command(self, command: bytes) -> None:
        fd = self._command_fd
        assert fd is not None
        os.set_blocking(fd, False)
        self._pending = memoryview(command)
        self._on_writable()  # most commands fit the pipe at once
        if self._command_fd is not None:
            self._loop.add_writer(fd, self._on_writable)

    # -- event callbacks ----------------------------------------------------

    def _on_readable(self, fd: int) -> None:
        capture = self._readers[fd][0]
        try:
            chunk = os.read(fd, READ_CHUNK)
        except BlockingIOError:
            return
        except OSError:
            chunk = b""
        if not chunk:
            self._close_reader(fd)
            return
        capture.feed(chunk)
        if capture is self.result and capture.overflowed:
            # An oversized result is a failed job already; stop it now.
            self.kill_group()
            self._close_reader(fd)

    def _on_writable(self) -> None:
        fd = self._command_fd
        if fd is None:
            return
        try:
            written = os.write(fd, self._pending)
        except BlockingIOError:
            return
        except OSError:  # the worker is gone; its exit tells the story
            written = len(self._pending)
        self._pending = self._pending[written:]
        if not self._pending:
            self._close_command()

    def _close_command(self) -> None:
        if self._command_fd is not None:
            self._loop.remove_writer(self._command_fd)
            os.close(self._command_fd)
            self._command_fd = None

    def _close_reader(self, fd: int) -> None:
        entry = self._readers.pop(fd, None)
        if entry is None:
            return
        self._loop.remove_reader(fd)
        os.close(fd)
        if not entry[1].done():
            entry[1].set_result(None)

    # -- lifetime -----------------------------------------------------------

    def time_out(self) -> None:
        self.timed_out = True
        self.kill_group()

    async def drain(self, grace: float) -> None:
        """Read what is left in the pipes; give up on ones a runaway holds open."""
        waiting = [closed for _, closed in self._readers.values() if not closed.done()]
        if waiting:
            await asyncio.wait(waiting, timeout=grace)

    def close(self) -> None:
        """Release the pipes; safe to call more than once, after settle()."""
        self._close_command()
        for fd in list(self._readers):
            self._close_reader(fd)


async def wait_for_future(future: asyncio.Future[None], timeout: float) -> bool:
    """Wait up to `timeout` seconds for `future` without cancelling it; True if done."""
    if not future.done():
        await asyncio.wait([future], timeout=timeout)
    return future.done()


def reserve_descriptors(jobs: int) -> None:
    """Grow this process's descriptor table, now, to hold `jobs` jobs' descriptors.

    The kernel grows the table by doubling as descriptors are opened, and in
    a process with threads each growth waits for a grace period of the
    kernel's (milliseconds, more on a busy machine) in the thread that opens
    the descriptor, and in any other that opens one meanwhile: hundreds of
    jobs set up at once on the loop would meet several of those. The table
    never shrinks, so one growth made here, ahead of them, is the only one.
    """
    soft, _ = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = jobs * DESCRIPTORS_PER_JOB + 256  # and the host's own, roughly
    if soft != resource.RLIM_INFINITY:
        wanted = min(wanted, soft - 1)
    try:
        probe = os.open(os.devnull, os.O_RDONLY | os.O_CLOEXEC)
    except OSError:
        return
    try:
        # The lowest free number at or above `wanted`: never one in use.
        os.close(fcntl.fcntl(probe, fcntl.F_DUPFD_CLOEXEC, wanted))
    except OSError:
        pass  # out of descriptors or memory: the table grows as jobs come
    finally:
        os.close(probe)
