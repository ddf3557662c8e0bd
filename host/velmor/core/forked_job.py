"""Jobs forked by the warm helper: one job's side of the helper protocol.

The helper forks the job's process and alone can wait for it; the job talks
to it over a socket of its own, handed over by the HelperClient
(helper_client.py), which also replaces a helper that dies or hangs. The
protocol is in inside/helper_protocol.py.
"""

from __future__ import annotations

import asyncio
import os
import signal
import socket
from pathlib import Path

from velmor.core.helper_client import KILL_GRACE, HelperClient, Submission
from velmor.core.inside import helper_protocol as protocol
from velmor.core.job_io import Job, Limits, NotStarted, wait_for_future

_LOST_WAIT = 10.0  # seconds to wait for a killed helper's end-of-file


class ForkedJob(Job):
    """A worker forked by the warm helper, which alone can wait for it.

    The job's own socket to the helper carries "started PID", "exited STATUS"
    or "refused REASON" back and "kill" there; the helper kills the group
    before it reaps the worker, so "exited" also means the group is dead.
    End-of-file on the socket before any answer means the helper dropped the
    job (or died, or the manager could not hand it over); after "started", the
    helper died. A helper that does not answer a kill in time is killed from
    here. A job stopped before it started is let go at once: its command is
    sent only once it has started, so nothing of it ran.
    """

    def __init__(
        self,
        loop: asyncio.AbstractEventLoop,
        output_cap: int,
        helper: HelperClient,
        sandbox: protocol.JobSandbox | None = None,
    ) -> None:
        super().__init__(loop, output_cap)
        self._helper = helper
        self._sandbox = sandbox
        self._submission: Submission | None = None
        self._sock: socket.socket | None = None
        self._started: asyncio.Future[None] = loop.create_future()
        self._kill_check: asyncio.TimerHandle | None = None
        self.pid: int | None = None
        self._returncode: int | None = None
        self._refusal: str | None = None
        self._answered = False  # the helper said something, end-of-file included
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
        if len(request) > protocol.REQUEST_MAX:
            # The helper would drop it unread, and any other helper too.
            raise NotStarted(
                f"the job's request takes {len(request)} bytes, more than the warm "
                f"helper's {protocol.REQUEST_MAX}",
                retry=False,
            )
        await self._wait_for_room()
        child_ends = self._make_pipes()
        try:
            self._sock, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        except BaseException:
            for fd in child_ends:
                os.close(fd)
            raise
        self._sock.setblocking(False)
        self._loop.add_reader(self._sock.fileno(), self._on_message)
        self._watch_pipes()
        # The submission owns these descriptors from here, whatever happens.
        self._submission = self._helper.submit(request, [theirs.detach(), *child_ends])
        await asyncio.shield(self._started)
        if self.pid is None:
            if self._refusal is not None:
                raise NotStarted(f"the warm helper refused the job: {self._refusal}", retry=False)
            if self._submission.error is not None:
                raise self._submission.error
            raise NotStarted("the warm helper exited before it started the job", retry=True)
        # Sent only now: a job whose start was never confirmed has run nothing
        # and can safely go to another helper.
        self._send_command(command)

    async def _wait_for_room(self) -> None:
        while (waiter := self._helper.wait_for_room()) is not None:
            room = asyncio.wrap_future(waiter, loop=self._loop)
            try:
                await asyncio.wait([room, self._started], return_when=asyncio.FIRST_COMPLETED)
            finally:
                room.cancel()
            if self._started.done():  # stopped (timed out, cancelled) while it waited
                raise NotStarted("the job was stopped before the warm helper took it", retry=False)

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
        submission = self._submission
        assert submission is not None
        first = not self._answered
        self._answered = True
        word, _, value = message.partition(b" ")
        if word == protocol.STARTED:
            self.pid = int(value)
            self._helper.answered(submission, started=True)
            if not self._started.done():
                self._started.set_result(None)
        elif word == protocol.EXITED:
            self._returncode = int(value)
            self._end()
        elif word == protocol.REFUSED:
            self._refusal = value.decode(errors="replace")
            # A refusal for want of a resource (it carries an errno) is this
            # helper failing, as a dropped request is; other refusals are not.
            self._helper.answered(submission, started=False, failed="[Errno " in self._refusal)
            self._end()
        elif not message:
            if self.pid is not None:
                self._lose("The warm helper that ran the worker exited during the job")
            elif first and submission.error is None:
                self._helper.answered(submission, started=False, failed=True)
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
        if not self._ended:
            self._ended = True
            if self._submission is not None:
                # Withdrawn if still queued; a helper that has not even answered
                # a job handed to it is watched for signs of life.
                self._helper.job_over(self._submission, unanswered=not self._answered)
        if self._kill_check is not None:
            self._kill_check.cancel()
            self._kill_check = None
        if self._sock is not None:
            self._loop.remove_reader(self._sock.fileno())
            self._sock.close()
            self._sock = None
        if self.pid is None:
            # Nothing of it ran, so its pipes hold nothing: closed now, before
            # the ends it never got are closed and wake the loop for each.
            super().close()
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
        if self._ended:
            return
        if self.pid is None:
            self._on_message()  # its "started" may be waiting unread
        if self.pid is None:
            # Not started, so nothing of it ran: let it go now rather than
            # wait on the helper. A helper that gets to it later finds its
            # socket closed and kills the child it made.
            self._end()
            return
        self._tell(protocol.KILL)
        if self._kill_check is None:
            self._kill_check = self._loop.call_later(KILL_GRACE, self._kill_unresponsive_helper)

    def _kill_unresponsive_helper(self) -> None:
        """The helper did not end the job in time: it is stopped or hung."""
        self._kill_check = None
        if not self._ended and self._submission is not None:
            self._helper.kill(self._submission)  # its end-of-file follows

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

    @property
    def settled(self) -> bool:
        return self._ended

    def returncode(self) -> int | None:
        return self._returncode

    def close(self) -> None:
        super().close()
        self._end()
