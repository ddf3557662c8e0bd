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

import concurrent.futures
import os
import re
import shutil
import stat
import tempfile

PREFIX = "velmor-job-"
_NAME = re.compile(r"velmor-job-(\d+)-(\d+)-(\d+)-[A-Za-z0-9_]+")

_tag: tuple[int, str] | None = None  # (pid, "PID-START-PIDNS-") of this process
# Threads that make and remove job folders: enough to keep up with a busy
# disk, few, since each takes the interpreter's lock for its bit of Python
# and an event loop waits for that lock too.
FOLDER_THREADS = 2
_threads: tuple[int, concurrent.futures.ThreadPoolExecutor] | None = None


def folder_threads() -> concurrent.futures.ThreadPoolExecutor:
    """The threads of this process (a forked copy of the host starts its own)."""
    global _threads
    if _threads is None or _threads[0] != os.getpid():
        executor = concurrent.futures.ThreadPoolExecutor(FOLDER_THREADS, "velmor-folders")
        _threads = (os.getpid(), executor)
    return _threads[1]


def make_job_folder() -> str:
    """A new, private folder for one job, named after this process."""
    return tempfile.mkdtemp(prefix=PREFIX + _owner_tag())


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
