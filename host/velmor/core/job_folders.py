"""Each job's working folder, and the folders that hosts which died left behind.

A job works in a fresh folder in the system's temporary folder
(`tempfile.gettempdir()`), named after the host process that made it:

    velmor-job-PID-START-PIDNS-XXXXXXXX

PID and START (its start time, in clock ticks since boot, field 22 of
/proc/PID/stat) name the host even once the pid is reused, and PIDNS (the
inode of its pid namespace) says which processes that pid is counted among.
The host removes the folder when the job ends; a host that dies in the middle
of a job cannot, so each manager that starts removes the folders of hosts
that are gone.

The temporary folder is shared with every user: only real folders (never a
symbolic link) owned by this user are removed, and without following any
link inside them.
"""

from __future__ import annotations

import asyncio
import collections
import concurrent.futures
import os
import re
import shutil
import stat
import tempfile
from collections.abc import Callable
from functools import partial
from typing import Any

PREFIX = "velmor-job-"
_NAME = re.compile(r"velmor-job-(\d+)-(\d+)-(\d+)-[A-Za-z0-9_]+")

_tag: tuple[int, str] | None = None  # (pid, "PID-START-PIDNS-") of this process
# The thread that makes and removes job folders. One: it works through each
# batch with a system call between every few lines of Python, and every other
# thread that wants the interpreter's lock makes an event loop wait longer.
_thread: tuple[int, concurrent.futures.ThreadPoolExecutor] | None = None


def folder_thread() -> concurrent.futures.ThreadPoolExecutor:
    """The thread of this process (a forked copy of the host starts its own)."""
    global _thread
    if _thread is None or _thread[0] != os.getpid():
        executor = concurrent.futures.ThreadPoolExecutor(1, "velmor-folders")
        _thread = (os.getpid(), executor)
    return _thread[1]


# Folder requests the thread takes at a time: the loop hears of each batch
# as a whole, so a long one would hold back the removals that wait behind it.
BATCH_MAX = 32
# One request: what to do, with what, and who waits for it.
_Request = tuple[Callable[..., object], tuple[str, ...], "asyncio.Future[Any]"]
# What one request comes back as: the value, or the error it raised.
_Outcome = tuple[object, BaseException | None]


class FolderWork:
    """Makes and removes the job folders of one event loop, on the folder thread.

    Making or removing a folder in a busy temporary folder can wait for the
    disk far longer than a loop may stall, so neither happens on the loop.
    Requests go to the thread together, up to BATCH_MAX at a time, and come
    back together, with one wake-up of the loop: hundreds of jobs that start
    or end at once cost it a few wake-ups instead of one each. Removals go
    first, since a job that has ended waits for its folder to go before it
    answers; a folder whose job stopped waiting before it was made is not
    made. Each answer is handed to `deliver` (a callable that runs it now or
    in a later turn).
    """

    def __init__(
        self, loop: asyncio.AbstractEventLoop, deliver: Callable[[Callable[[], object]], None]
    ) -> None:
        self._loop = loop
        self._deliver = deliver
        self._makes: collections.deque[_Request] = collections.deque()
        self._removals: collections.deque[_Request] = collections.deque()
        self._busy = False  # a batch is on the thread, or about to go

    def make(self) -> asyncio.Future[str]:
        """A new folder for a job; one whose waiter has gone is removed."""
        return self._ask(self._makes, make_job_folder)

    def remove(self, path: str) -> asyncio.Future[None]:
        """Removes `path`, whether or not anyone still waits for it."""
        return self._ask(self._removals, remove_job_folder, path)

    def _ask(
        self, queue: collections.deque[_Request], work: Callable[..., object], *args: str
    ) -> asyncio.Future[Any]:
        future = self._loop.create_future()
        queue.append((work, args, future))
        if not self._busy:
            self._busy = True
            self._loop.call_soon(self._send)  # once this turn's requests are in
        return future

    def _send(self) -> None:
        batch: list[_Request] = []
        while self._removals and len(batch) < BATCH_MAX:
            batch.append(self._removals.popleft())
        while self._makes and len(batch) < BATCH_MAX:
            request = self._makes.popleft()
            if not request[2].cancelled():
                batch.append(request)
        if not batch:
            self._busy = False
            return
        try:
            done = folder_thread().submit(_do_all, [(work, args) for work, args, _ in batch])
        except RuntimeError as exc:  # the interpreter is shutting down
            self._answer(batch, [(None, exc)] * len(batch))
            return
        done.add_done_callback(lambda _: self._answer_soon(batch, done))

    def _answer_soon(self, batch: list[_Request], done: concurrent.futures.Future[Any]) -> None:
        try:
            self._loop.call_soon_threadsafe(self._answer, batch, done.result())
        except RuntimeError:
            # The loop has closed: nobody waits any longer, but the folders
            # it made must not outlive their jobs.
            for (work, _, _), (value, error) in zip(batch, done.result(), strict=True):
                if work is make_job_folder and error is None:
                    remove_job_folder(str(value))

    def _answer(self, batch: list[_Request], outcomes: list[_Outcome]) -> None:
        for (work, _, future), outcome in zip(batch, outcomes, strict=True):
            self._deliver(partial(self._settle, work, future, outcome))
        self._send()  # the next batch, if any is asked for

    def _settle(
        self, work: Callable[..., object], future: asyncio.Future[Any], outcome: _Outcome
    ) -> None:
        value, error = outcome
        if future.cancelled():
            if work is make_job_folder and error is None:
                self.remove(str(value))  # its job stopped waiting for it
        elif error is not None:
            future.set_exception(error)
        else:
            future.set_result(value)


def _do_all(batch: list[tuple[Callable[..., object], tuple[str, ...]]]) -> list[_Outcome]:
    outcomes: list[_Outcome] = []
    for work, args in batch:
        try:
            outcomes.append((work(*args), None))
        except Exception as exc:
            outcomes.append((None, exc))
    return outcomes


def make_job_folder() -> str:
    """A new, private folder for one job, named after this process."""
    return tempfile.mkdtemp(prefix=PREFIX + _owner_tag())


def remove_job_folder(path: str) -> None:
    """Remove a job's folder and whatever the job left in it."""
    try:
        os.rmdir(path)  # empty, as a sandboxed job's folder is here: far quicker
    except OSError:
        shutil.rmtree(path, ignore_errors=True)


def _owner_tag() -> str:
    global _tag
    pid = os.getpid()
    if _tag is None or _tag[0] != pid:  # a forked copy of the host is another owner
        start, namespace = _start_time(pid), _pid_namespace()
        if start is None or namespace is None:
            return ""  # without /proc no owner can be checked: never removed for it
        _tag = (pid, f"{pid}-{start}-{namespace}-")
    return _tag[1]


def remove_leftovers(folder: str | None = None) -> list[str]:
    """Remove the job folders of hosts that are gone; the paths removed come back.

    A folder is kept whenever its owner may still run: the pid lives with
    the same start time, its state cannot be read, or it belongs to another
    pid namespace, whose pids are not ours to judge.
    """
    folder = tempfile.gettempdir() if folder is None else folder
    namespace = _pid_namespace()
    if namespace is None:
        return []
    removed = []
    uid = os.geteuid()
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return []
    for entry in entries:
        match = _NAME.fullmatch(entry.name)
        if match is None or int(match[3]) != namespace:
            continue
        try:
            info = entry.stat(follow_symlinks=False)
        except OSError:
            continue
        if not stat.S_ISDIR(info.st_mode) or info.st_uid != uid:
            continue
        if not _owner_gone(int(match[1]), int(match[2])):
            continue
        # rmtree refuses a link put in the folder's place since the check
        # and follows none inside it.
        shutil.rmtree(entry.path, ignore_errors=True)
        if not os.path.lexists(entry.path):
            removed.append(entry.path)
    return removed


def _owner_gone(pid: int, start: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat", "rb") as file:
            fields = file.read().rsplit(b")", 1)[1].split()
    except FileNotFoundError:
        return True
    except (OSError, IndexError):
        return False  # cannot tell: keep it
    # fields[0] is field 3 of the line (the state), so field 22 is fields[19].
    if fields[0] in (b"Z", b"X"):
        return True  # dead, only not yet reaped: it will remove nothing more
    return len(fields) > 19 and int(fields[19]) != start


def _start_time(pid: int) -> int | None:
    try:
        with open(f"/proc/{pid}/stat", "rb") as file:
            return int(file.read().rsplit(b")", 1)[1].split()[19])
    except (OSError, IndexError, ValueError):
        return None


def _pid_namespace() -> int | None:
    try:
        return os.stat("/proc/self/ns/pid").st_ino
    except OSError:
        return None
