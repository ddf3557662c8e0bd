"""Runs worker jobs in fresh, isolated, resource-limited processes.

Each job gets a process of its own, in its own session and process group,
with stdin at end-of-file, a minimal environment, resource limits and a fresh
temporary working directory. The command travels to the worker and the result
back over two extra pipes; the worker's fds 1 and 2 are captured apart, so
nothing a tool prints can corrupt the result.

Where fork is available, that process is forked by a warm helper
(warm_helper.py), a `python -I` that has the workers loaded already: a job
then costs a fork instead of an interpreter start. The helper is started on
first use and restarted when it dies; `close()`, `async with`, losing the
manager or the host's exit end it, and jobs still running in it with it.
Without fork, or with `warm=False`, every job starts a new `python -I` that
runs the worker script.

Every way a job can go wrong (timeout, crash, signal, early exit, silence, a
garbled or oversized result, a helper that died under it) comes back as a
readable `error`; `spawn` itself does not raise for them. Whatever path a job
takes, the whole process group is killed and the worker reaped before `spawn`
returns or lets a cancellation through.
"""

from __future__ import annotations

import asyncio
import json
import math
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import weakref
from dataclasses import dataclass
from pathlib import Path
from typing import Any

__all__ = ["WORKERS", "SubprocessManager", "SubprocessResult", "SubprocessTask"]

# Worker scripts by worker type. Each is run by absolute path, so the process
# runs exactly the file that sits beside this module, whatever sys.path says.
WORKERS: dict[str, Path] = {
    "custom": Path(__file__).resolve().with_name("custom_worker.py"),
}

# The warm helper, also run by absolute path with `python -I`.
HELPER_SCRIPT = Path(__file__).resolve().with_name("warm_helper.py")

_DEFAULT_MEMORY_LIMIT = 1 << 30  # 1 GiB of address space per worker
_DEFAULT_OUTPUT_CAP = 4 << 20  # 4 MiB per channel
_STDERR_TAIL_LINES = 6  # stderr lines quoted in an error
_PIPE_GRACE = 1.0  # seconds to wait for pipes to drain after the group is dead
_READ_CHUNK = 1 << 16
_HELPER_EXIT_GRACE = 5.0  # seconds a closed helper has to end its jobs and exit
_HELPER_SEND_TIMEOUT = 10.0  # a helper that takes no job for this long is hung
_REAP_TIMEOUT = 10.0  # seconds to wait for the helper to confirm a killed job is gone


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
            raise ValueError(
                f"timeout must be None or a number of seconds >= 0, not {self.timeout!r}"
            )


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


class _NotStarted(Exception):
    """The job's process never started; `retry` when another helper may manage it."""

    def __init__(self, reason: str, retry: bool) -> None:
        super().__init__(reason)
        self.retry = retry


class _Job:
    """One worker process and its four pipes, driven from the running loop.

    This part feeds the command in and reads the result, stdout and stderr
    out; the subclasses start the process, notice its end, kill its group and
    reap it.
    """

    def __init__(self, loop: asyncio.AbstractEventLoop, output_cap: int) -> None:
        self._loop = loop
        self.result = _Capture(output_cap)
        self.stdout = _Capture(output_cap)
        self.stderr = _Capture(output_cap, keep_tail=True)
        self.exited: asyncio.Future[None] = loop.create_future()
        self.timed_out = False
        # Why the job's end could not be watched to the last, when it could not.
        self.lost: str | None = None
        self._readers: dict[int, tuple[_Capture, asyncio.Future[None]]] = {}
        self._command_fd: int | None = None
        self._pending = memoryview(b"")

    async def start(
        self,
        worker: Path,
        env: dict[str, str],
        cwd: str,
        limits: list[tuple[int, tuple[int, int]]],
        command: bytes,
    ) -> None:
        raise NotImplementedError

    def kill_group(self) -> None:
        raise NotImplementedError

    def reap(self) -> int | None:
        """Kill what is left of the group and give the worker's exit status."""
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

    async def drain(self, grace: float) -> None:
        """Read what is left in the pipes; give up on ones a runaway holds open."""
        waiting = [closed for _, closed in self._readers.values() if not closed.done()]
        if waiting:
            await asyncio.wait(waiting, timeout=grace)

    def close(self) -> None:
        """Release everything, on any path; safe to call more than once."""
        self.reap()
        self._close_command()
        for fd in list(self._readers):
            self._close_reader(fd)


class _SpawnedJob(_Job):
    """A worker in a new interpreter, started by this process.

    Exit is watched through a pidfd, which reports it without reaping the
    worker: the group is then killed while the unreaped leader still pins the
    group id, so the kill can never reach an unrelated process.
    """

    def __init__(self, loop: asyncio.AbstractEventLoop, output_cap: int) -> None:
        super().__init__(loop, output_cap)
        self.proc: subprocess.Popen[bytes] | None = None
        self._pidfd: int | None = None

    async def start(
        self,
        worker: Path,
        env: dict[str, str],
        cwd: str,
        limits: list[tuple[int, tuple[int, int]]],
        command: bytes,
    ) -> None:
        command_r, result_w, out_w, err_w = child_ends = self._make_pipes()
        try:
            self.proc = subprocess.Popen(
                [sys.executable, "-I", str(worker), str(command_r), str(result_w)],
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

    def reap(self) -> int | None:
        if self.proc is None:
            return None
        if self.proc.returncode is None:
            self.kill_group()
            self.proc.wait()
        return self.proc.returncode

    def close(self) -> None:
        super().close()
        if self._pidfd is not None:
            self._loop.remove_reader(self._pidfd)
            os.close(self._pidfd)
            self._pidfd = None


class _ForkedJob(_Job):
    """A worker forked by the warm helper, which alone can wait for it.

    The job's own socket to the helper carries "started PID", "exited STATUS"
    or "refused REASON" back and "kill" there; the helper kills the group
    before it reaps the worker, so "exited" also means the group is dead.
    End-of-file on the socket means the helper died.
    """

    def __init__(
        self, loop: asyncio.AbstractEventLoop, output_cap: int, helper: _WarmHelper
    ) -> None:
        super().__init__(loop, output_cap)
        self._helper = helper
        self._sock: socket.socket | None = None
        self._started: asyncio.Future[None] = loop.create_future()
        self.pid: int | None = None
        self.returncode: int | None = None
        self._refusal: str | None = None
        self._ended = False

    async def start(
        self,
        worker: Path,
        env: dict[str, str],
        cwd: str,
        limits: list[tuple[int, tuple[int, int]]],
        command: bytes,
    ) -> None:
        request = json.dumps(
            {
                "worker": str(worker),
                "cwd": cwd,
                "env": env,
                "limits": [[which, *limit] for which, limit in limits],
            }
        ).encode()
        child_ends = self._make_pipes()
        try:
            self._sock, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
            try:
                self._helper.submit(request, [theirs.fileno(), *child_ends])
            finally:
                theirs.close()
        finally:
            for fd in child_ends:
                os.close(fd)
        self._sock.setblocking(False)
        self._loop.add_reader(self._sock.fileno(), self._on_message)
        self._watch_pipes()
        await self._started
        if self.pid is None:
            if self._refusal is not None:
                raise _NotStarted(f"the warm helper refused the job: {self._refusal}", retry=False)
            raise _NotStarted("the warm helper exited before it started the job", retry=True)
        # Sent only now: a job whose start was never confirmed has run nothing
        # and can safely go to another helper.
        self._send_command(command)

    def _on_message(self) -> None:
        while self._sock is not None:
            try:
                message = self._sock.recv(256)
            except BlockingIOError:
                return
            except ConnectionResetError:
                # The helper closed the socket with a "kill" of ours unread;
                # the kernel reports that once, ahead of what it sent before.
                continue
            except OSError:
                message = b""
            self._take(message)

    def _take(self, message: bytes) -> None:
        word, _, value = message.partition(b" ")
        if word == b"started":
            self.pid = int(value)
            if not self._started.done():
                self._started.set_result(None)
        elif word == b"exited":
            self.returncode = int(value)
            self._end()
        elif word == b"refused":
            self._refusal = value.decode(errors="replace")
            self._end()
        elif not message:
            if self.pid is not None:
                self._lose("The warm helper that ran the worker exited during the job")
            self._end()

    def _lose(self, why: str) -> None:
        """Without the helper, kill the group from here, as well as it can be done.

        The worker itself dies with its helper; what it started may live on in
        its group, whose id stays reserved while any member does.
        """
        self.lost = why
        assert self.pid is not None
        try:
            os.killpg(self.pid, signal.SIGKILL)
        except OSError:
            pass

    def _end(self) -> None:
        self._ended = True
        if self._sock is not None:
            self._loop.remove_reader(self._sock.fileno())
            self._sock.close()
            self._sock = None
        for future in (self._started, self.exited):
            if not future.done():
                future.set_result(None)

    def _tell(self, message: bytes) -> None:
        if self._sock is not None:
            try:
                self._sock.send(message, socket.MSG_NOSIGNAL)
            except OSError:
                pass  # the helper is gone, which its end-of-file reports

    def kill_group(self) -> None:
        self._tell(b"kill")

    def reap(self) -> int | None:
        if not self._ended and self._sock is not None:
            # Off the normal path (cancellation, a failed start): wait here,
            # briefly, for the helper to confirm that the job is gone.
            self._tell(b"kill")
            self._loop.remove_reader(self._sock.fileno())
            self._sock.settimeout(_REAP_TIMEOUT)
            while self._sock is not None:
                try:
                    message = self._sock.recv(256)
                except ConnectionResetError:
                    continue  # as in _on_message: what the helper sent is still to be read
                except TimeoutError:
                    if self.pid is not None:
                        self._lose("The warm helper did not confirm the end of the worker")
                    self._end()
                    break
                except OSError:
                    message = b""  # as good as end-of-file: the helper is gone
                self._take(message)
        return self.returncode


class _WarmHelper:
    """The warm helper process and the socket that hands it jobs.

    Any loop or thread may submit through it: it is only written to, under a
    lock, and each job's answers come back on a socket of the job's own.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._process: subprocess.Popen[bytes] | None = None
        self._control: socket.socket | None = None
        _live_helpers.add(self)

    @property
    def pid(self) -> int | None:
        process = self._process
        return process.pid if process is not None and process.poll() is None else None

    def submit(self, request: bytes, fds: list[int]) -> None:
        """Hand one job to the helper, starting (or restarting) it as needed."""
        with self._lock:
            if self._process is not None and self._process.poll() is not None:
                self._stop()
            if self._process is None:
                self._start()
            try:
                socket.send_fds(self._control, [request], fds, socket.MSG_NOSIGNAL)
            except OSError:
                # It died (or hung) since the check above: a new one takes the job.
                self._stop()
                self._start()
                socket.send_fds(self._control, [request], fds, socket.MSG_NOSIGNAL)

    def close(self) -> None:
        with self._lock:
            self._stop()

    def _start(self) -> None:
        mine, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        try:
            process = subprocess.Popen(
                [
                    sys.executable,
                    "-I",
                    str(HELPER_SCRIPT),
                    str(theirs.fileno()),
                    *map(str, WORKERS.values()),
                ],
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
                pass_fds=(theirs.fileno(),),
                cwd="/",
                env=_helper_environment(),
                # Out of the host's group, so that a Ctrl-C meant for the host
                # does not kill the helper under the jobs it is running.
                start_new_session=True,
            )
        except BaseException:
            mine.close()
            raise
        finally:
            theirs.close()
        mine.settimeout(_HELPER_SEND_TIMEOUT)
        self._process, self._control = process, mine

    def _stop(self) -> None:
        control, process = self._control, self._process
        self._control = self._process = None
        if control is not None:
            control.close()  # end-of-file: the helper ends its jobs and exits
        if process is not None:
            try:
                process.wait(_HELPER_EXIT_GRACE)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()

    def _forget_after_fork(self) -> None:
        """In a forked copy of the host, let go of the parent's helper.

        Our copy of the socket would otherwise keep the helper alive as long
        as this process lives, however long ago the host itself exited.
        """
        self._lock = threading.Lock()
        if self._control is not None:
            self._control.close()
        if self._process is not None:
            # Not ours to wait for: it is a child of the process we were forked from.
            self._process.returncode = 0
        self._control = self._process = None


_live_helpers: weakref.WeakSet[_WarmHelper] = weakref.WeakSet()


def _forget_inherited_helpers() -> None:
    for helper in list(_live_helpers):
        helper._forget_after_fork()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_inherited_helpers)


def _fork_available() -> bool:
    return (
        os.name == "posix"
        and hasattr(os, "fork")
        and hasattr(os, "pidfd_open")
        and hasattr(socket, "send_fds")
        and hasattr(socket, "SOCK_SEQPACKET")
    )


class SubprocessManager:
    """Runs each job in a fresh worker process, at most `max_concurrency` at a time.

    `memory_limit` caps each worker's address space in bytes, `output_cap` the
    bytes kept of its result and of each of its stdout and stderr; None for
    `memory_limit` lifts that limit. The concurrency limit holds per running
    event loop, so one manager can serve loop after loop.

    With `warm` (the default, where fork is available) workers are forked by
    a warm helper process; `close()` or leaving `async with` ends it, and the
    next `spawn` starts a new one, so a closed manager stays usable.
    """

    def __init__(
        self,
        *,
        max_concurrency: int | None = None,
        memory_limit: int | None = _DEFAULT_MEMORY_LIMIT,
        output_cap: int = _DEFAULT_OUTPUT_CAP,
        warm: bool = True,
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
        self.warm = warm and _fork_available()
        self._helper = _WarmHelper() if self.warm else None
        if self._helper is not None:
            # A manager dropped without close(), or alive at exit, ends its helper.
            weakref.finalize(self, self._helper.close)
        # asyncio primitives bind to the loop they first wait on, so each loop
        # gets its own semaphore. A semaphore that has waited holds its loop,
        # so a weak mapping could not let go of it: the semaphores of closed
        # loops are dropped instead. The lock serves loops in other threads.
        self._semaphores: dict[asyncio.AbstractEventLoop, asyncio.Semaphore] = {}
        self._lock = threading.Lock()

    @property
    def helper_pid(self) -> int | None:
        """The warm helper's process id while it runs, else None."""
        return self._helper.pid if self._helper is not None else None

    def close(self) -> None:
        """End the warm helper; jobs still running in it come back with an error."""
        if self._helper is not None:
            self._helper.close()

    async def aclose(self) -> None:
        # The helper may take a moment to end its jobs: not on the loop's time.
        await asyncio.to_thread(self.close)

    async def __aenter__(self) -> SubprocessManager:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.aclose()

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
            return SubprocessResult(
                error=f"Unknown worker type {task.worker_type!r} (known: {known})"
            )
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

    def _new_job(self, loop: asyncio.AbstractEventLoop) -> _Job:
        if self._helper is not None:
            return _ForkedJob(loop, self.output_cap, self._helper)
        return _SpawnedJob(loop, self.output_cap)

    async def _run(self, worker: Path, command: bytes, timeout: float | None) -> SubprocessResult:
        loop = asyncio.get_running_loop()
        workdir = tempfile.mkdtemp(prefix="velmor-job-")
        try:
            env, limits = _worker_environment(workdir), self._limits(timeout)
            for attempt in range(2):
                job = self._new_job(loop)
                try:
                    started = time.monotonic()
                    try:
                        await job.start(worker, env, workdir, limits, command)
                    except _NotStarted as exc:
                        if exc.retry and attempt == 0:
                            continue
                        return SubprocessResult(error=f"Could not start the worker: {exc}")
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
            raise AssertionError("a job is started at most twice")
        finally:
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


def _helper_environment() -> dict[str, str]:
    # Each forked worker gets its own HOME and TMPDIR in place of these.
    return {"PATH": os.defpath, "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"}


def _interpret(
    job: _Job, worker: Path, returncode: int | None, timeout: float | None, cap: int
) -> SubprocessResult:
    result = SubprocessResult(
        stdout=job.stdout.text(),
        stderr=job.stderr.text(),
        returncode=returncode,
    )
    if job.timed_out:
        assert timeout is not None
        result.error = f"Timed out after {format_seconds(timeout)} s"
    elif job.lost is not None or returncode is None:
        result.error = _with_stderr(
            job.lost or "The worker's end went unobserved", job.stderr, worker
        )
    elif job.result.overflowed:
        result.error = f"Result exceeds the output cap of {format_bytes(cap)}"
    elif not job.result.data:
        result.error = _with_stderr(
            f"{describe_exit(returncode)} without sending a result", job.stderr, worker
        )
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

    Lines naming the worker script or the warm helper are their own frames in
    a crash dump: they would crowd out the tool's frames and tell the reader
    nothing.
    """
    ours = (str(worker), str(HELPER_SCRIPT))
    lines = [
        line
        for line in stderr.data.decode("utf-8", errors="replace").splitlines()
        if line.strip() and not any(name in line for name in ours)
    ]
    if not lines:
        return message
    tail = "\n".join(lines[-_STDERR_TAIL_LINES:])
    return f"{message}. Last lines of stderr:\n{tail}"
