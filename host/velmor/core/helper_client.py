"""The client side of the warm helper: hands it jobs, watches and replaces it.

The helper (inside/helper_server.py) is a `python -I` that has the workers
loaded already: a job then costs a fork instead of an interpreter start. It is
started on first use and replaced when it dies, hangs or can no longer start
jobs; `close()` ends it, and jobs still running in it with it. The protocol
is in inside/helper_protocol.py; one job's side of it is forked_job.py.

No event loop ever waits on the helper. A job is handed over with a
non-blocking send when the helper's socket has room; otherwise it waits in a
bounded queue that a thread of the HelperClient drains, and that thread also
starts, watches, retires and reaps helper processes. Every answer comes back
on the job's own socket, read on the job's loop, so one HelperClient serves any
number of loops and threads.
"""

from __future__ import annotations

import collections
import concurrent.futures
import fcntl
import os
import selectors
import signal
import socket
import struct
import subprocess
import sys
import termios
import threading
import time
import weakref
from pathlib import Path

from velmor.core.job_io import NotStarted

HELPER_SCRIPT = Path(__file__).resolve().parent / "inside" / "helper_server.py"

_HELPER_EXIT_GRACE = 5.0  # seconds a closed helper has to end its jobs and exit
# A helper that has read none of the jobs waiting in its socket for this long
# is hung (stopped, or stuck) and is replaced, with the jobs it runs.
HUNG_AFTER = 10.0
# Seconds the helper has to confirm a kill before the manager counts it as
# hung and kills it, with every job in it; the deadline is the manager's own.
# A helper that reads none of its waiting jobs for as long after one of them
# timed out unstarted is killed the same way.
KILL_GRACE = 1.5
# Jobs in a row a helper may fail to start (it let their requests drop, as a
# helper out of descriptors does, or refused them for want of a resource)
# before it takes no more and is replaced.
FAILURES_TO_RETIRE = 3
# Jobs that may wait for the helper to take them; beyond that a job waits for
# room before it opens its pipes.
QUEUE_MAX = 1024
_LOOK_INTERVAL = 0.25  # seconds between looks at a helper with jobs unread
_IDLE_INTERVAL = 1.0  # seconds between looks at a running helper otherwise


class Submission:
    """One job's request and descriptors on their way to a helper.

    The descriptors are owned here until they are sent (the kernel and the
    helper then hold them) or the job is withdrawn or failed; closing them
    is what tells a job that waits on its socket that it will not start.
    """

    __slots__ = ("error", "fds", "helper", "request")

    def __init__(self, request: bytes, fds: list[int]) -> None:
        self.request = request
        self.fds = fds
        self.helper: _Process | None = None  # the helper that took it, once sent
        self.error: Exception | None = None  # why no helper could take it

    def release(self, error: Exception | None = None) -> None:
        if error is not None:
            self.error = error  # set before the close that the job hears
        for fd in self.fds:
            os.close(fd)
        self.fds = []


class _Process:
    """One helper process, its control socket, and what is known of its health."""

    def __init__(self, process: subprocess.Popen[bytes], control: socket.socket) -> None:
        self.process = process
        self.control = control
        self.controlfd = control.fileno()
        self.pidfd = os.pidfd_open(process.pid)  # before anyone can reap it
        self.failures = 0  # jobs in a row it failed to start
        self.jobs = 0  # handed to it and not yet over
        self.retired = False  # takes no more jobs; closed once its jobs are over
        self.closed_at: float | None = None  # when its control socket was closed
        self.unread = 0  # bytes of requests it had not read at the last look
        self.reading_at = time.monotonic()  # when it was last seen reading (or idle)
        self.suspect_since: float | None = None  # a job of it ended unanswered then

    def look(self, now: float) -> int:
        """Note how much of what was sent it has read since the last look."""
        if self.closed_at is not None:
            return 0
        try:
            buffer = fcntl.ioctl(self.controlfd, termios.TIOCOUTQ, b"\0\0\0\0")
            unread: int = struct.unpack("i", buffer)[0]
        except OSError:
            unread = 0
        if unread == 0 or unread < self.unread:
            self.reading_at = now
        self.unread = unread
        return unread

    def signal(self, signum: int) -> None:
        if self.pidfd >= 0:
            try:
                signal.pidfd_send_signal(self.pidfd, signum)
            except OSError:
                pass  # it has exited

    def close_control(self, now: float) -> None:
        if self.closed_at is None:
            self.closed_at = now
            self.control.close()  # end-of-file: the helper ends its jobs and exits

    def release(self) -> None:
        """After it has been reaped: let go of its descriptors."""
        self.close_control(time.monotonic())
        if self.pidfd >= 0:
            os.close(self.pidfd)
            self.pidfd = -1


class HelperClient:
    """The warm helper process and the socket that hands it jobs.

    Any loop or thread may submit through it. `submit` never blocks: it sends
    at once when the helper has room, and queues the job for the HelperClient's
    thread otherwise. The lock guards only steps that cannot block.
    `arguments` go to the helper's command line before the worker scripts.
    """

    def __init__(self, workers: list[Path], arguments: list[str] | None = None) -> None:
        self._workers = [str(worker) for worker in workers]
        self._arguments = arguments or []
        self._reset()
        _live_helpers.add(self)

    def _reset(self) -> None:
        self._lock = threading.Lock()
        self._current: _Process | None = None  # the one that takes new jobs
        self._processes: list[_Process] = []  # not yet reaped, the current one included
        self._queue: collections.deque[Submission] = collections.deque()
        self._room: collections.deque[concurrent.futures.Future[None]] = collections.deque()
        self._thread: threading.Thread | None = None
        self._wake_fds: tuple[int, int] | None = None
        self._closing = False

    @property
    def pid(self) -> int | None:
        current = self._current
        if current is None or current.process.poll() is not None:
            return None
        return current.process.pid

    # -- on any loop or thread: none of these blocks ------------------------

    def wait_for_room(self) -> concurrent.futures.Future[None] | None:
        """None when a job may be submitted now, else a future set when there is room."""
        with self._lock:
            if len(self._queue) < QUEUE_MAX:
                return None
            waiter: concurrent.futures.Future[None] = concurrent.futures.Future()
            self._room.append(waiter)
            return waiter

    def submit(self, request: bytes, fds: list[int]) -> Submission:
        """Hand one job to the helper, now or as soon as a helper can take it."""
        submission = Submission(request, fds)
        with self._lock:
            if self._closing:
                submission.release(NotStarted("the warm helper is closing", retry=False))
                return submission
            current = self._current
            if current is not None and not self._queue:
                try:
                    self._send(current, submission)
                    return submission
                except (BrokenPipeError, ConnectionError):
                    self._drop_current("kill")  # it has died, or is dying
                except OSError:
                    pass  # full, or short of a resource: the thread sends it later
            self._queue.append(submission)
            if self._thread is None:
                self._start_thread()
            elif len(self._queue) == 1:
                self._wake()  # a queue it found empty: it waits for nothing now
        return submission

    def answered(self, submission: Submission, *, started: bool, failed: bool = False) -> None:
        """The helper that took `submission` answered it, or dropped it (`failed`)."""
        with self._lock:
            process = submission.helper
            if process is None:
                return
            if started:
                process.failures = 0
            elif failed:
                process.failures += 1
                if process.failures >= FAILURES_TO_RETIRE and not process.retired:
                    if process is self._current:
                        self._drop_current("retire")
                    else:
                        process.retired = True
                    self._wake()

    def job_over(self, submission: Submission, *, unanswered: bool) -> None:
        """The job no longer waits on the helper: withdraw it or count it out."""
        with self._lock:
            process = submission.helper
            if process is None:
                if submission in self._queue:
                    self._queue.remove(submission)
                    submission.release()
                    self._make_room()
                return
            process.jobs -= 1
            if unanswered and process.suspect_since is None:
                process.suspect_since = time.monotonic()
                self._wake()
            elif process.retired and process.jobs == 0:
                self._wake()

    def kill(self, submission: Submission) -> None:
        """SIGKILL the helper that took `submission`, unless it has gone already.

        Its jobs die with it (parent-death signal); its thread reaps it and
        the next job goes to a new helper.
        """
        with self._lock:
            process = submission.helper
            if process is None:
                return
            if process is self._current:
                self._drop_current("kill")
            else:
                process.signal(signal.SIGKILL)
            self._wake()

    def close(self) -> None:
        """End the helper (it ends its jobs) and wait until it has gone."""
        with self._lock:
            thread = self._thread
            if thread is None:
                return
            self._closing = True
            self._wake()
        if thread is not threading.current_thread():  # a finalizer may run anywhere
            thread.join()

    # -- under the lock -----------------------------------------------------

    def _send(self, process: _Process, submission: Submission) -> None:
        now = time.monotonic()
        process.look(now)
        socket.send_fds(process.control, [submission.request], submission.fds, socket.MSG_NOSIGNAL)
        submission.helper = process
        process.jobs += 1
        submission.release()  # the kernel holds them now
        process.look(now)

    def _drop_current(self, how: str) -> None:
        """Take no more jobs to the current helper; kill it, or retire it."""
        process, self._current = self._current, None
        if process is None:
            return
        if how == "kill":
            process.signal(signal.SIGKILL)
        process.retired = True

    def _make_room(self) -> None:
        while self._room and len(self._queue) < QUEUE_MAX:
            _notify(self._room.popleft())

    def _start_thread(self) -> None:
        read, write = os.pipe()
        os.set_blocking(read, False)
        os.set_blocking(write, False)
        self._wake_fds = (read, write)
        self._thread = threading.Thread(target=self._serve, name="velmor-warm-helper", daemon=True)
        self._thread.start()

    def _wake(self) -> None:
        if self._wake_fds is not None:
            try:
                os.write(self._wake_fds[1], b"\0")
            except BlockingIOError:
                pass  # awake already

    # -- on the HelperClient's thread -----------------------------------------

    def _serve(self) -> None:
        assert self._wake_fds is not None
        wake = self._wake_fds[0]
        selector = selectors.DefaultSelector()
        selector.register(wake, selectors.EVENT_READ)
        try:
            while True:
                with self._lock:
                    if self._closing:
                        break
                    start = bool(self._queue) and self._current is None
                if start:
                    self._start_process()
                with self._lock:
                    now = time.monotonic()
                    full = self._flush()
                    timeout = self._tend(now)
                    if self._queue and self._current is None:
                        timeout = 0.0  # start the next helper now
                    elif self._queue and not full:
                        timeout = (
                            _LOOK_INTERVAL if timeout is None else min(timeout, _LOOK_INTERVAL)
                        )
                    wanted: dict[int, tuple[int, object]] = {wake: (selectors.EVENT_READ, None)}
                    for process in self._processes:
                        wanted[process.pidfd] = (selectors.EVENT_READ, process)
                    if full and self._current is not None:
                        wanted[self._current.controlfd] = (selectors.EVENT_WRITE, self._current)
                _watch(selector, wanted)
                selector.select(timeout)
                try:
                    while os.read(wake, 512):
                        pass
                except BlockingIOError:
                    pass
                with self._lock:
                    for process in list(self._processes):
                        if process.process.poll() is not None:
                            for fd in (process.pidfd, process.controlfd):
                                if fd in selector.get_map():
                                    selector.unregister(fd)
                            self._forget(process)
        finally:
            selector.close()
            self._shut_down()

    def _start_process(self) -> None:
        """Start a helper, outside the lock; if none can start, fail the queued jobs."""
        try:
            popen, control = self._launch()
            try:
                process = _Process(popen, control)
            except OSError:
                popen.kill()
                popen.wait()
                control.close()
                raise
        except OSError as exc:
            with self._lock:
                while self._queue:
                    self._queue.popleft().release(exc)
                self._make_room()
            return
        with self._lock:
            self._processes.append(process)
            if self._closing:
                process.retired = True
            else:
                self._current = process

    def _launch(self) -> tuple[subprocess.Popen[bytes], socket.socket]:
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
        mine.setblocking(False)
        return process, mine

    def _flush(self) -> bool:
        """Send queued jobs while the current helper has room for them; True
        when the rest wait for room in its socket."""
        full = False
        while self._queue and self._current is not None:
            try:
                self._send(self._current, self._queue[0])
            except BlockingIOError:
                full = True
                break
            except (BrokenPipeError, ConnectionError):
                self._drop_current("kill")
                break
            except OSError:
                # Short of a resource (too many descriptors in flight, say):
                # tried again at the next look, not when the socket has room.
                break
            self._queue.popleft()
        self._make_room()
        return full

    def _tend(self, now: float) -> float | None:
        """Replace hung helpers, close retired ones; seconds until the next look."""
        timeout: float | None = None

        def soon(seconds: float) -> None:
            nonlocal timeout
            timeout = seconds if timeout is None else min(timeout, seconds)

        for process in self._processes:
            if process.closed_at is not None:
                # Closed: it has this long to end its jobs and exit.
                left = process.closed_at + _HELPER_EXIT_GRACE - now
                if left <= 0:
                    process.signal(signal.SIGKILL)
                soon(max(left, _LOOK_INTERVAL))
                continue
            if process.retired and process.jobs <= 0:
                process.close_control(now)
                soon(_HELPER_EXIT_GRACE)
                continue
            unread = process.look(now)
            suspect = process.suspect_since
            if suspect is not None and now >= suspect + KILL_GRACE:
                process.suspect_since = None
                if unread and process.reading_at <= suspect:
                    self._kill(process)  # it read nothing since a job went unanswered
                    continue
            if unread and now - process.reading_at >= HUNG_AFTER:
                self._kill(process)
                continue
            if process.suspect_since is not None:
                soon(max(process.suspect_since + KILL_GRACE - now, 0.0))
            soon(_LOOK_INTERVAL if unread else _IDLE_INTERVAL)
        return timeout

    def _kill(self, process: _Process) -> None:
        if process is self._current:
            self._drop_current("kill")
        else:
            process.signal(signal.SIGKILL)
            process.retired = True

    def _forget(self, process: _Process) -> None:
        """A helper has exited and been reaped."""
        if process is self._current:
            self._current = None
        self._processes.remove(process)
        process.release()

    def _shut_down(self) -> None:
        """Close every helper, give each the grace to end its jobs, reap them."""
        with self._lock:
            while self._queue:
                self._queue.popleft().release(
                    NotStarted("the warm helper was closed before it took the job", retry=False)
                )
            while self._room:
                _notify(self._room.popleft())
            self._current = None
            processes = list(self._processes)
            now = time.monotonic()
            for process in processes:
                process.close_control(now)
        for process in processes:
            assert process.closed_at is not None
            try:
                process.process.wait(max(0.0, process.closed_at + _HELPER_EXIT_GRACE - now))
            except subprocess.TimeoutExpired:
                with self._lock:
                    process.signal(signal.SIGKILL)
                process.process.wait()
        with self._lock:
            for process in processes:
                self._processes.remove(process)
                process.release()
            assert self._wake_fds is not None
            for fd in self._wake_fds:
                os.close(fd)
            self._wake_fds = None
            self._thread = None
            self._closing = False

    def _forget_after_fork(self) -> None:
        """In a forked copy of the host, let go of the parent's helpers.

        Our copy of a control socket would otherwise keep a helper alive as
        long as this process lives, however long ago the host itself exited.
        The thread did not come along, and its lock may have been held.
        """
        for process in self._processes:
            process.control.close()
            if process.pidfd >= 0:
                os.close(process.pidfd)
            # Not ours to wait for: it is a child of the process we were forked from.
            process.process.returncode = 0
        for submission in self._queue:
            submission.release()
        if self._wake_fds is not None:
            for fd in self._wake_fds:
                os.close(fd)
        self._reset()


def _watch(selector: selectors.BaseSelector, wanted: dict[int, tuple[int, object]]) -> None:
    """Bring the thread's selector in line with `wanted` (fd: events, owner):
    the wake pipe, every helper's exit, and the current helper's room while
    jobs wait for it. A number seen with another owner is a new descriptor."""
    for fd, key in list(selector.get_map().items()):
        if wanted.get(key.fd) != (key.events, key.data):
            selector.unregister(fd)
    for fd, (events, owner) in wanted.items():
        if fd not in selector.get_map():
            selector.register(fd, events, owner)


def _notify(waiter: concurrent.futures.Future[None]) -> None:
    try:
        waiter.set_result(None)
    except concurrent.futures.InvalidStateError:
        pass  # its job stopped waiting


def helper_environment() -> dict[str, str]:
    # Each forked worker gets its own HOME and TMPDIR in place of these.
    return {"PATH": os.defpath, "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"}


_live_helpers: weakref.WeakSet[HelperClient] = weakref.WeakSet()


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
        and hasattr(signal, "pidfd_send_signal")
        and hasattr(socket, "send_fds")
        and hasattr(socket, "SOCK_SEQPACKET")
    )
