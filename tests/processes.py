"""The process table, read from /proc: what the tests check is left running."""

from __future__ import annotations

import asyncio
import os
import time

from velmor.core.inside.helper_protocol import SPARE_NAME
from velmor.core.subprocess_manager import HELPER_SCRIPT


def processes() -> list[tuple[int, int, int, str]]:
    """(pid, ppid, pgid, state) of every process in /proc."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as file:
                stat = file.read()
        except OSError:
            continue
        fields = stat.rsplit(")", 1)[1].split()  # the name may hold spaces and parentheses
        found.append((int(entry), int(fields[1]), int(fields[2]), fields[0]))
    return found


def cmdline(pid: int) -> bytes:
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as file:
            return file.read()
    except OSError:
        return b""


def is_spare(pid: int) -> bool:
    """A child a warm helper forked ahead of the next job (none of a job's).

    Judged per process, in the same pass that lists it: a helper forks the next
    spare while a test looks, so a set of spares read beforehand goes stale."""
    return process_name(pid) == SPARE_NAME


def process_name(pid: int) -> bytes:
    try:
        with open(f"/proc/{pid}/comm", "rb") as file:
            return file.read().rstrip(b"\n")
    except OSError:
        return b""


def helper_processes(parent: int | None = None) -> list[int]:
    """Warm helpers started by `parent` (this process by default), zombies included."""
    parent = os.getpid() if parent is None else parent
    helper = str(HELPER_SCRIPT).encode()
    return [pid for pid, ppid, _, _ in processes() if ppid == parent and helper in cmdline(pid)]


def alive(pid: int) -> bool:
    """Running, or dead but not yet reaped by its parent."""
    return os.path.exists(f"/proc/{pid}")


def group_members(pgid: int) -> list[int]:
    return [pid for pid, _, group, _ in processes() if group == pgid]


def worker_children() -> list[int]:
    """Live job processes: children of this process or of its warm helpers
    (other than the child a helper keeps forked ahead of the next job)."""
    helpers = set(helper_processes())
    return [
        pid
        for pid, ppid, _, state in processes()
        if (ppid == os.getpid() or ppid in helpers)
        and pid not in helpers
        and state != "Z"
        and not is_spare(pid)
    ]


async def wait_until(condition, timeout: float = 5.0) -> bool:
    """Whether `condition()` came true within `timeout` seconds, polled on the loop."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        await asyncio.sleep(0.02)
    return condition()


def with_argument(argument: str) -> list[int]:
    """Running processes that carry `argument` as one of their command-line arguments."""
    wanted = argument.encode()
    return [
        pid
        for pid, _, _, state in processes()
        if state != "Z" and wanted in cmdline(pid).split(b"\0")[1:]
    ]
