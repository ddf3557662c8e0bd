"""The memory watch's decisions (a job's memory in all, without a cgroup),
against scripted counts, with real processes standing for the job and its
namespace's init."""

from __future__ import annotations

import os
import signal
import subprocess

import pytest

from velmor.core.inside import confinement

MiB = 1 << 20
BUDGET = 100 * MiB

# Each look: the processes seen, and per process its counts from status
# (anonymous, shared memory) and from smaps_rollup (the same, by shares).
A, B, C = 11, 12, 13
SCENARIOS = {
    "under the budget: never walked": (
        [({A: (60, 0), B: (30, 5)}, {})] * 3,
        False,
        0,
    ),
    # A fork's shared pages count once per process in status: walked on each
    # look while the cheap sum is past the budget, and never killed.
    "shared pages only": (
        [({A: (60, 0), B: (60, 0)}, {A: (30, 0), B: (30, 0)})] * 3,
        False,
        3,
    ),
    "over by its shares": (
        [({A: (60, 0), B: (60, 10)}, {A: (50, 0), B: (50, 10)})],
        True,
        1,
    ),
    # Past the budget by the last walk's overstatement (40) and the same
    # processes: over without walking again.
    "grown past, same processes": (
        [
            ({A: (60, 0), B: (60, 0)}, {A: (40, 0), B: (40, 0)}),
            ({A: (80, 0), B: (70, 0)}, {}),
        ],
        True,
        1,
    ),
    # A new process may share more pages than before: walked again.
    "grown past, one more process": (
        [
            ({A: (60, 0), B: (60, 0)}, {A: (40, 0), B: (40, 0)}),
            ({A: (60, 0), B: (60, 0), C: (30, 0)}, {A: (30, 0), B: (30, 0), C: (30, 0)}),
        ],
        False,
        2,
    ),
    # Shared memory does not enter the lower bound: its pages can be shared
    # anew without a fork, by another process mapping them.
    "shared memory grown": (
        [
            ({A: (60, 0), B: (60, 0)}, {A: (40, 0), B: (40, 0)}),
            ({A: (60, 30), B: (60, 30)}, {A: (40, 15), B: (40, 15)}),
        ],
        True,
        2,
    ),
}


@pytest.fixture
def processes():
    """Two sleeping processes: the job's and its namespace's init."""
    started = [subprocess.Popen(["sleep", "30"]) for _ in range(2)]
    yield started
    for process in started:
        process.kill()
        process.wait()


@pytest.mark.parametrize(("looks", "killed", "walks"), SCENARIOS.values(), ids=SCENARIOS)
def test_watch_decides_from_the_counts(monkeypatch, processes, looks, killed, walks):
    job, init = processes
    script = iter(looks)
    look = [0]
    current: dict[int, tuple[int, int]] = {}
    exact: dict[int, tuple[int, int]] = {}
    walked = []

    def seen(roots):
        assert roots == (init.pid, job.pid)
        try:
            status, rollup = next(script)
        except StopIteration:
            job.kill()  # the job ends after its last look
            job.wait()
            status, rollup = {}, {}
        look[0] += 1
        current.clear()
        current.update(status)
        exact.clear()
        exact.update(rollup)
        return list(status)

    def own_share(pid):
        walked.append(look[0])
        return tuple(value * MiB for value in exact[pid])

    monkeypatch.setattr(confinement, "WATCH_INTERVAL_MS", 1)
    monkeypatch.setattr(confinement, "namespace_processes", seen)
    monkeypatch.setattr(
        confinement, "_own_pages", lambda pid: tuple(value * MiB for value in current[pid])
    )
    monkeypatch.setattr(confinement, "_own_share", own_share)

    assert confinement._watch_memory(job.pid, init.pid, BUDGET) is killed
    if killed:
        assert init.wait(timeout=5) == -signal.SIGKILL
    else:
        assert init.poll() is None
    assert len(set(walked)) == walks


def test_counts_of_a_live_process_are_its_own():
    """The counts the watch reads, from this very process: the cheap ones
    never say less than the shares. This process's other threads (and a
    sanitizer's) may touch a few pages between the two reads: a megabyte of
    slack covers them, far less than the 32 MiB the counts must show."""
    held = bytearray(32 * MiB)
    for i in range(0, len(held), 4096):
        held[i] = 1
    by_shares = confinement._own_share(os.getpid())
    anonymous, shared = confinement._own_pages(os.getpid())
    assert anonymous >= 32 * MiB
    assert anonymous + MiB >= by_shares[0] >= 32 * MiB
    assert shared + MiB >= by_shares[1] >= 0
    assert confinement._own_pages(2**22 + 1) == (0, 0)  # no such process: nothing
