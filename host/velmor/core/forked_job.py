"""Jobs forked by the warm helper, and the client side of that helper.

The helper (warm_helper.py) is a `python -I` that has the workers loaded
already: a job then costs a fork instead of an interpreter start. It is
started on first use and restarted when it dies; `close()` ends it, and jobs
still running in it with it. The protocol is in helper_protocol.py.
"""

from __future__ import annotations

import asyncio
import os
import signal
import socket
import subprocess
import sys
import threading
import weakref
from pathlib import Path

from velmor.core import helper_protocol as protocol
from velmor.core.job_io import Job, Limits, NotStarted, wait_for_future

HELPER_SCRIPT = Path(__file__).resolve().with_name("warm_helper.py")

_HELPER_EXIT_GRACE = 5.0  # seconds a closed helper has to end its jobs and exit
_HELPER_SEND_TIMEOUT = 10.0  # a helper that takes no job for this long is hung
# Seconds the helper has to confirm a kill before the manager counts it as
# hung and kills it, with every job in it; the deadline is the manager's own.
KILL_GRACE = 1.5
_LOST_WAIT = 10.0  # seconds to wait for a killed helper's end-of-file


class ForkedJob(Job):
    """A worker forked by the warm helper, which alone can wait for it.

    The job's own socket to the helper carries "started PID", "exited STATUS"
    or "refused REASON" back and "kill" there; the helper kills the group
    before it reaps the worker, so "exited" also means the group is dead.
    End-of-file on the socket means the helper died. A helper that does not
    answer a kill in time is killed from here.
    """

    def __init__(
        self,
        loop: asyncio.AbstractEventLoop,
        output_cap: int,
        helper: WarmHelper,
        sandbox: protocol.JobSandbox | None = None,
    ) -> None:
        super().__init__(loop, output_cap)
        self._helper = helper
        self._sandbox = sandbox
        self._process: subprocess.Popen[bytes] | None = None  # the helper that took the job
        self._sock: socket.socket | None = None
        self._started: asyncio.Future[None] = loop.create_future()
        self._kill_check: asyncio.TimerHandle | None = None
        self.pid: int | None = None
        self._returncode: int | None = None
        self._refusal: str | None = None
        self._ended = False

    async def start(
        self, worker: Path, env: dict[str, str], cwd: str, limits: Limits, command: bytes
    ) -> None:
        request = protocol.JobRequest(
            str(worker),
            cwd,
            env,
            tuple((which, *limit) for which, limit in limits),
            self._sandbox,
        ).to_json()
        child_ends = self._make_pipes()
        try:
            self._sock, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
            try:
                self._process = self._helper.submit(request, [theirs.fileno(), *child_ends])
            finally:
                theirs.close()
        finally:
            for fd in child_ends:
                os.close(fd)
        self._sock.setblocking(False)
        self._loop.add_reader(self._sock.fileno(), self._on_message)
        self._watch_pipes()
        await asyncio.shield(self._started)
        if self.pid is None:
            if self._refusal is not None:
                raise NotStarted(f"the warm helper refused the job: {self._refusal}", retry=False)
            raise NotStarted("the warm helper exited before it started the job", retry=True)
        # Sent only now: a job whose start was never confirmed has run nothing
        # and can safely go to another helper.
        self._send_command(command)

    def _on_message(self) -> None:
        while self._sock is not None:
            try:
                message = self._sock.recv(protocol.MESSAGE_MAX)
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
        if word == protocol.STARTED:
            self.pid = int(value)
            if not self._started.done():
                self._started.set_result(None)
        elif word == protocol.EXITED:
            self._returncode = int(value)
            self._end()
        elif word == protocol.REFUSED:
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
        if self._kill_check is not None:
            self._kill_check.cancel()
            self._kill_check = None
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
        self._tell(protocol.KILL)
        if self._kill_check is None and not self._ended:
            self._kill_check = self._loop.call_later(KILL_GRACE, self._kill_unresponsive_helper)

    def _kill_unresponsive_helper(self) -> None:
        """The helper did not end the job in time: it is stopped or hung."""
        self._kill_check = None
        if not self._ended and self._process is not None:
            self._helper.kill_if_current(self._process)  # its end-of-file follows

    async def settle(self) -> None:
        if self._ended or self._sock is None:
            self._end()
            return
        self.kill_group()
        if await wait_for_future(self.exited, KILL_GRACE + _LOST_WAIT):
            return
        if self.pid is not None:
            self._lose("The warm helper did not confirm the end of the worker")
        self._end()

    def returncode(self) -> int | None:
        return self._returncode

    def close(self) -> None:
        super().close()
        self._end()


class WarmHelper:
    """The warm helper process and the socket that hands it jobs.

    Any loop or thread may submit through it: it is only written to, under a
    lock, and each job's answers come back on a socket of the job's own.
    `arguments` go to the helper's command line before the worker scripts.
    """

    def __init__(self, workers: list[Path], arguments: list[str] | None = None) -> None:
        self._lock = threading.Lock()
        self._workers = [str(worker) for worker in workers]
        self._arguments = arguments or []
        self._process: subprocess.Popen[bytes] | None = None
        self._control: socket.socket | None = None
        _live_helpers.add(self)

    @property
    def pid(self) -> int | None:
        process = self._process
        return process.pid if process is not None and process.poll() is None else None

    def submit(self, request: bytes, fds: list[int]) -> subprocess.Popen[bytes]:
        """Hand one job to the helper, starting (or restarting) it as needed; the
        helper process that took it comes back."""
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
            assert self._process is not None
            return self._process

    def kill_if_current(self, process: subprocess.Popen[bytes]) -> None:
        """SIGKILL a hung helper, unless it has been replaced already; never waits.

        Its jobs die with it (parent-death signal); the next submit starts a
        new helper and reaps this one.
        """
        with self._lock:
            if process is self._process and process.poll() is None:
                process.kill()

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
                    *self._arguments,
                    *self._workers,
                ],
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
                pass_fds=(theirs.fileno(),),
                cwd="/",
                env=helper_environment(),
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


def helper_environment() -> dict[str, str]:
    # Each forked worker gets its own HOME and TMPDIR in place of these.
    return {"PATH": os.defpath, "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"}


_live_helpers: weakref.WeakSet[WarmHelper] = weakref.WeakSet()


def _forget_inherited_helpers() -> None:
    for helper in list(_live_helpers):
        helper._forget_after_fork()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_inherited_helpers)


def fork_available() -> bool:
    return (
        os.name == "posix"
        and hasattr(os, "fork")
        and hasattr(os, "pidfd_open")
        and hasattr(socket, "send_fds")
        and hasattr(socket, "SOCK_SEQPACKET")
    )
