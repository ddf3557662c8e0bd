"""Runs worker jobs in fresh, isolated, resource-limited processes.

Each job gets a new process of the host's own interpreter in isolated mode,
in its own session and process group, with stdin at end-of-file, a minimal
environment and a fresh temporary working directory. The command travels to
the worker and the result back over two extra pipes; the worker's fds 1 and 2
are captured apart, so nothing a tool prints can corrupt the result.

Every way a job can go wrong (timeout, crash, signal, early exit, silence, a
garbled or oversized result) comes back as a readable `error`; `spawn` itself
does not raise for them. Whatever path a job takes, the whole process group is
killed and the worker reaped before `spawn` returns or lets a cancellation
through.
"""

from __future__ import annotations

import asyncio
import json
import math
import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any

__all__ = ["WORKERS", "SubprocessManager", "SubprocessResult", "SubprocessTask"]

# Worker scripts by worker type. Each is run by absolute path, so the process
# runs exactly the file that sits beside this module, whatever sys.path says.
WORKERS: dict[str, Path] = {
    "custom": Path(__file__).resolve().with_name("custom_worker.py"),
}

_DEFAULT_MEMORY_LIMIT = 1 << 30  # 1 GiB of address space per worker
_DEFAULT_OUTPUT_CAP = 4 << 20  # 4 MiB per channel
_STDERR_TAIL_LINES = 6  # stderr lines quoted in an error
_PIPE_GRACE = 1.0  # seconds to wait for pipes to drain after the group is dead
_READ_CHUNK = 1 << 16


@dataclass(frozen=True, slots=True)
class SubprocessTask:
    """One job: which worker, the JSON-encodable command it gets, and a timeout.

    `timeout` is in seconds; None means the job may run as long as it likes.
    """

    worker_type: str
    command: dict[str, Any]
    timeout: float | None = None

    def __post_init__(self) -> None:
        if self.timeout is not None and not self.timeout >= 0:  # also refuses NaN
            raise ValueError(f"timeout must be None or a number of seconds >= 0, not {self.timeout!r}")


@dataclass(slots=True)
class SubprocessResult:
    """What a job came back with.

    `error` is None for a job that succeeded, whose payload is `output`;
    otherwise it is a readable sentence saying what went wrong. `stdout` and
    `stderr` hold what the job printed (capped), `duration` how long the
    worker ran in seconds, `returncode` its exit status (negative: the signal
    that ended it; None: no process was started).
    """

    output: Any = None
    error: str | None = None
    stdout: str = ""
    stderr: str = ""
    duration: float = 0.0
    returncode: int | None = None


def format_seconds(seconds: float) -> str:
    """60.0 -> "60", 0.5 -> "0.5": a timeout as a person wrote it."""
    value = float(seconds)
    if value.is_integer() and abs(value) < 1e15:
        return str(int(value))
    return repr(value)


def format_bytes(size: int) -> str:
    for unit, shift in (("GiB", 30), ("MiB", 20), ("KiB", 10)):
        if size >= 1 << shift and size % (1 << shift) == 0:
            return f"{size >> shift} {unit}"
    return f"{size} bytes"


def describe_exit(returncode: int) -> str:
    """How a worker ended: "Worker exited with status 3", "Worker was killed by SIGSEGV (...)"."""
    if returncode < 0:
        number = -returncode
        try:
            name = signal.Signals(number).name
        except ValueError:
            name = f"signal {number}"
        meaning = signal.strsignal(number)
        return f"Worker was killed by {name}" + (f" ({meaning})" if meaning else "")
    return f"Worker exited with status {returncode}"


class _Capture:
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


class _WorkerJob:
    """One worker process and its four pipes, driven from the running loop.

    Exit is watched through a pidfd, which reports it without reaping the
    worker: the group is then killed while the unreaped leader still pins the
    group id, so the kill can never reach an unrelated process.
    """

    def __init__(self, loop: asyncio.AbstractEventLoop, output_cap: int) -> None:
        self._loop = loop
        self.proc: subprocess.Popen[bytes] | None = None
        self.result = _Capture(output_cap)
        self.stdout = _Capture(output_cap)
        self.stderr = _Capture(output_cap, keep_tail=True)
        self.exited: asyncio.Future[None] = loop.create_future()
        self.timed_out = False
        self._pidfd: int | None = None
        self._readers: dict[int, tuple[_Capture, asyncio.Future[None]]] = {}
        self._command_fd: int | None = None
        self._pending = memoryview(b"")

    def start(
        self,
        argv: list[str],
        env: dict[str, str],
        cwd: str,
        limits: list[tuple[int, tuple[int, int]]],
        command: bytes,
    ) -> None:
        command_r, command_w = os.pipe()
        result_r, result_w = os.pipe()
        out_r, out_w = os.pipe()
        err_r, err_w = os.pipe()
        parent_ends = [command_w, result_r, out_r, err_r]
        child_ends = [command_r, result_w, out_w, err_w]
        try:
            self.proc = subprocess.Popen(
                [*argv, str(command_r), str(result_w)],
                stdin=subprocess.DEVNULL,
                stdout=out_w,
                stderr=err_w,
                pass_fds=(command_r, result_w),
                cwd=cwd,
                env=env,
                start_new_session=True,
            )
        except BaseException:
            for fd in parent_ends:
                os.close(fd)
            raise
        finally:
            for fd in child_ends:
                os.close(fd)
        # From here on close() owns every fd and the process.
        self._command_fd = command_w
        for fd, capture in ((result_r, self.result), (out_r, self.stdout), (err_r, self.stderr)):
            self._readers[fd] = (capture, self._loop.create_future())
        pid = self.proc.pid
        # The worker blocks on the command pipe until it is written, so these
        # limits are in force before any job code runs.
        for which, limit in limits:
            resource.prlimit(pid, which, limit)
        self._pidfd = os.pidfd_open(pid)
        self._loop.add_reader(self._pidfd, self._on_exit)
        for fd in self._readers:
            os.set_blocking(fd, False)
            self._loop.add_reader(fd, self._on_readable, fd)
        os.set_blocking(command_w, False)
        self._pending = memoryview(command)
        self._loop.add_writer(command_w, self._on_writable)

    # -- event callbacks ----------------------------------------------------

    def _on_exit(self) -> None:
        if self._pidfd is not None:
            self._loop.remove_reader(self._pidfd)
        if not self.exited.done():
            self.exited.set_result(None)

    def _on_readable(self, fd: int) -> None:
        capture = self._readers[fd][0]
        try:
            chunk = os.read(fd, _READ_CHUNK)
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

    def kill_group(self) -> None:
        """SIGKILL the worker's whole group, while the worker is unreaped."""
        proc = self.proc
        if proc is None or proc.returncode is not None:
            return  # once reaped, the group id may belong to someone else
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def reap(self) -> int:
        """Kill what is left of the group, then collect the worker's status."""
        assert self.proc is not None
        if self.proc.returncode is None:
            self.kill_group()
            self.proc.wait()
        return self.proc.returncode

    async def drain(self, grace: float) -> None:
        """Read what is left in the pipes; give up on ones a runaway holds open."""
        waiting = [closed for _, closed in self._readers.values()]
        if waiting:
            await asyncio.wait(waiting, timeout=grace)

    def close(self) -> None:
        """Release everything, on any path; safe to call more than once."""
        if self.proc is not None:
            self.reap()
        if self._pidfd is not None:
            self._loop.remove_reader(self._pidfd)
            os.close(self._pidfd)
            self._pidfd = None
        self._close_command()
        for fd in list(self._readers):
            self._close_reader(fd)


class SubprocessManager:
    """Starts one worker process per job, at most `max_concurrency` at a time.

    `memory_limit` caps each worker's address space in bytes, `output_cap` the
    bytes kept of its result and of each of its stdout and stderr; None for
    `memory_limit` lifts that limit. The concurrency limit holds per running
    event loop, so one manager can serve loop after loop.
    """

    def __init__(
        self,
        *,
        max_concurrency: int | None = None,
        memory_limit: int | None = _DEFAULT_MEMORY_LIMIT,
        output_cap: int = _DEFAULT_OUTPUT_CAP,
    ) -> None:
        if max_concurrency is None:
            max_concurrency = os.cpu_count() or 1
        if max_concurrency < 1:
            raise ValueError("max_concurrency must be at least 1")
        if output_cap < 1:
            raise ValueError("output_cap must be at least 1 byte")
        self.max_concurrency = max_concurrency
        self.memory_limit = memory_limit
        self.output_cap = output_cap
        # asyncio primitives bind to the loop they first wait on, so each loop
        # gets its own semaphore. A semaphore that has waited holds its loop,
        # so a weak mapping could not let go of it: the semaphores of closed
        # loops are dropped instead. The lock serves loops in other threads.
        self._semaphores: dict[asyncio.AbstractEventLoop, asyncio.Semaphore] = {}
        self._lock = threading.Lock()

    def _semaphore(self) -> asyncio.Semaphore:
        loop = asyncio.get_running_loop()
        with self._lock:
            for closed in [other for other in self._semaphores if other.is_closed()]:
                del self._semaphores[closed]
            semaphore = self._semaphores.get(loop)
            if semaphore is None:
                semaphore = self._semaphores[loop] = asyncio.Semaphore(self.max_concurrency)
            return semaphore

    async def spawn(self, task: SubprocessTask) -> SubprocessResult:
        """Run `task` in a fresh worker and return what came of it."""
        worker = WORKERS.get(task.worker_type)
        if worker is None:
            known = ", ".join(sorted(WORKERS))
            return SubprocessResult(error=f"Unknown worker type {task.worker_type!r} (known: {known})")
        try:
            command = json.dumps(task.command).encode()
        except (TypeError, ValueError) as exc:
            return SubprocessResult(error=f"Command is not JSON-encodable: {exc}")
        timeout = None if task.timeout is None or math.isinf(task.timeout) else task.timeout
        async with self._semaphore():
            return await self._run(worker, command, timeout)

    def _limits(self, timeout: float | None) -> list[tuple[int, tuple[int, int]]]:
        limits = [(resource.RLIMIT_CORE, (0, 0))]  # a crash leaves no core file behind
        if timeout is not None:
            # A backstop for CPU burnt where the wall-clock timer cannot look,
            # set a little above the timeout so that the timer normally wins.
            soft = max(1, math.ceil(timeout) + 1)
            limits.append((resource.RLIMIT_CPU, (soft, soft + 1)))
        if self.memory_limit is not None:
            limits.append((resource.RLIMIT_AS, (self.memory_limit, self.memory_limit)))
        return limits

    async def _run(self, worker: Path, command: bytes, timeout: float | None) -> SubprocessResult:
        loop = asyncio.get_running_loop()
        workdir = tempfile.mkdtemp(prefix="velmor-job-")
        job = _WorkerJob(loop, self.output_cap)
        try:
            started = time.monotonic()
            try:
                job.start(
                    [sys.executable, "-I", str(worker)],
                    _worker_environment(workdir),
                    workdir,
                    self._limits(timeout),
                    command,
                )
            except OSError as exc:
                return SubprocessResult(error=f"Could not start the worker: {exc}")
            timer = loop.call_later(timeout, job.time_out) if timeout is not None else None
            try:
                await job.exited
            finally:
                if timer is not None:
                    timer.cancel()
            returncode = job.reap()
            duration = time.monotonic() - started
            await job.drain(_PIPE_GRACE)
            result = _interpret(job, worker, returncode, timeout, self.output_cap)
            result.duration = duration
            return result
        finally:
            job.close()
            shutil.rmtree(workdir, ignore_errors=True)


def _worker_environment(workdir: str) -> dict[str, str]:
    """Just enough for a well-behaved interpreter; nothing of the host's."""
    return {
        "PATH": os.defpath,
        "HOME": workdir,
        "TMPDIR": workdir,
        "LANG": "C.UTF-8",
        "LC_ALL": "C.UTF-8",
    }


def _interpret(
    job: _WorkerJob, worker: Path, returncode: int, timeout: float | None, cap: int
) -> SubprocessResult:
    result = SubprocessResult(
        stdout=job.stdout.text(),
        stderr=job.stderr.text(),
        returncode=returncode,
    )
    if job.timed_out:
        assert timeout is not None
        result.error = f"Timed out after {format_seconds(timeout)} s"
    elif job.result.overflowed:
        result.error = f"Result exceeds the output cap of {format_bytes(cap)}"
    elif not job.result.data:
        result.error = _with_stderr(f"{describe_exit(returncode)} without sending a result", job.stderr, worker)
    else:
        try:
            reply = json.loads(job.result.data)
            if not isinstance(reply, dict) or not ("output" in reply or "error" in reply):
                raise ValueError("not a reply object")
        except ValueError as exc:
            what = f"Worker sent an undecodable result ({exc})"
            if returncode != 0:
                what += f"; {describe_exit(returncode)}"
            result.error = _with_stderr(what, job.stderr, worker)
        else:
            error = reply.get("error")
            if error:
                result.error = str(error)
            else:
                result.output = reply.get("output")
    return result


def _with_stderr(message: str, stderr: _Capture, worker: Path) -> str:
    """`message` and the last lines of stderr that say something about the job.

    Lines naming the worker script are its own frames in a crash dump: they
    would crowd out the tool's frames and tell the reader nothing.
    """
    worker_file = str(worker)
    lines = [
        line
        for line in stderr.data.decode("utf-8", errors="replace").splitlines()
        if line.strip() and worker_file not in line
    ]
    if not lines:
        return message
    tail = "\n".join(lines[-_STDERR_TAIL_LINES:])
    return f"{message}. Last lines of stderr:\n{tail}"
