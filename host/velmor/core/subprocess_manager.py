"""Runs worker jobs in fresh, isolated, resource-limited processes.

Each job gets a process of its own, in its own session and process group,
with stdin at end-of-file, a minimal environment, resource limits and a fresh
temporary working directory, and (unless `sandbox=False`) inside the sandbox
of sandbox.py. The command travels to the worker and the result back over two
extra pipes; the worker's fds 1 and 2 are captured apart (job_io.py).

Where fork is available, that process is forked by a warm helper
(forked_job.py, helper_client.py, inside/helper_server.py): a job then costs a fork instead of an
interpreter start. Without fork, or with `warm=False`, every job starts a new
`python -I` that runs the worker script (spawned_job.py).

Every way a job can go wrong (timeout, crash, signal, early exit, silence, a
garbled or oversized result, a helper that died or hung under it) comes back
as a readable `error` (outcome.py); `spawn` itself does not raise for them.
The deadline is kept here, whatever the helper does. Whatever path a job
takes, the whole process group is killed and the worker reaped before
`spawn` returns or lets a cancellation through, without blocking the loop.
"""

from __future__ import annotations

import asyncio
import collections
import json
import math
import os
import resource
import threading
import time
import weakref
from collections.abc import Callable
from dataclasses import dataclass
from functools import partial
from pathlib import Path
from typing import Any

from velmor.core import job_folders
from velmor.core import sandbox as sandboxing
from velmor.core.forked_job import ForkedJob
from velmor.core.helper_client import (
    FAILURES_TO_RETIRE,
    HELPER_SCRIPT,
    HelperClient,
    fork_available,
)
from velmor.core.inside import custom_worker
from velmor.core.job_io import Job, Limits, NotStarted, reserve_descriptors
from velmor.core.outcome import SubprocessResult, describe_exit, interpret
from velmor.core.sandbox import SandboxPolicy, SandboxStatus
from velmor.core.spawned_job import SpawnedJob
from velmor.core.units import format_bytes, format_seconds

__all__ = [
    "WORKERS",
    "SandboxPolicy",
    "SandboxStatus",
    "SubprocessManager",
    "SubprocessResult",
    "SubprocessTask",
    "describe_exit",
    "format_bytes",
    "format_seconds",
]

# Worker scripts by worker type. Each is run by absolute path, so the process
# runs exactly the file that sits beside this module, whatever sys.path says.
WORKERS: dict[str, Path] = {
    "custom": Path(__file__).resolve().parent / "inside" / "custom_worker.py",
}

# What each worker type's commands read of the host (its own rule, so that
# the sandbox need not know any command's shape).
_FILES_READ = {"custom": custom_worker.files_read}

# Scripts of ours whose frames are left out of the stderr quoted in errors.
_OUR_SCRIPTS = (str(HELPER_SCRIPT), str(sandboxing.CONFINEMENT_SCRIPT))

_DEFAULT_MEMORY_LIMIT = 1 << 30  # 1 GiB of address space per worker
_DEFAULT_OUTPUT_CAP = 4 << 20  # 4 MiB per channel
_PIPE_GRACE = 1.0  # seconds to wait for pipes to drain after the group is dead
# Tries to start one job. A job not yet started ran nothing and may go to
# another helper; one more try than the failures that retire a helper lets a
# job whose helper failed it again and again still run on the next one.
_START_ATTEMPTS = FAILURES_TO_RETIRE + 1
# Seconds of one turn of the loop that jobs may spend setting up or tearing
# down before the rest wait for a later turn. What they start in a turn runs
# on in the next one or two, so anything else waiting on the loop (a timer
# that fell due, then the task it wakes) may wait a few slices, not one.
_TURN_SLICE = 0.0025


@dataclass(frozen=True, slots=True)
class SubprocessTask:
    """One job: which worker, the JSON-encodable command it gets, and a timeout.

    `timeout` is in seconds; None means the job may run as long as it likes.
    `read_paths`: the files of the host the job reads, which a sandboxed job
    sees read-only; None asks the worker type what its command reads.
    """

    worker_type: str
    command: dict[str, Any]
    timeout: float | None = None
    read_paths: tuple[str, ...] | None = None

    def __post_init__(self) -> None:
        if self.timeout is not None and not self.timeout >= 0:  # also refuses NaN
            raise ValueError(
                f"timeout must be None or a number of seconds >= 0, not {self.timeout!r}"
            )


def _sandbox_policy(sandbox: object) -> SandboxPolicy | None:
    if sandbox is True:
        return SandboxPolicy()
    if sandbox is False:
        return None
    if isinstance(sandbox, SandboxPolicy):
        return sandbox
    raise TypeError(f"sandbox must be True, False or a SandboxPolicy, not {type(sandbox).__name__}")


class SubprocessManager:
    """Runs each job in a fresh worker process, at most `max_concurrency` at a time.

    `memory_limit` caps each worker's address space in bytes, `output_cap` the
    bytes kept of its result and of each of its stdout and stderr; None for
    `memory_limit` lifts that limit. The concurrency limit holds per running
    event loop, so one manager can serve loop after loop.

    With `warm` (the default, where fork is available) workers are forked by
    a warm helper process; `close()` or leaving `async with` ends it, and the
    next `spawn` starts a new one, so a closed manager stays usable.

    `sandbox`: True (the default) runs every job in the default SandboxPolicy,
    a SandboxPolicy in that policy, False without a sandbox. `manager.sandbox`
    tells which layers are in force (None without a sandbox).

    Each job works in a fresh folder in the system's temporary folder, removed
    when it ends; a new manager removes, on a thread of its own, the folders
    that hosts which died left there (job_folders.py).
    """

    def __init__(
        self,
        *,
        max_concurrency: int | None = None,
        memory_limit: int | None = _DEFAULT_MEMORY_LIMIT,
        output_cap: int = _DEFAULT_OUTPUT_CAP,
        warm: bool = True,
        sandbox: bool | SandboxPolicy = True,
    ) -> None:
        policy = _sandbox_policy(sandbox)
        if max_concurrency is None:
            max_concurrency = _default_concurrency(policy)
        if max_concurrency < 1:
            raise ValueError("max_concurrency must be at least 1")
        if output_cap < 1:
            raise ValueError("output_cap must be at least 1 byte")
        self.max_concurrency = max_concurrency
        self.memory_limit = memory_limit
        self.output_cap = output_cap
        self._sandbox = sandboxing.probe(policy) if policy is not None else None
        reserve_descriptors(max_concurrency)
        self.warm = warm and fork_available()
        self._helper: HelperClient | None = None
        if self.warm:
            arguments = []
            if self._sandbox is not None and self._sandbox.missing is None:
                arguments = sandboxing.helper_arguments(self._sandbox)
            self._helper = HelperClient(list(WORKERS.values()), arguments)
            # A manager dropped without close(), or alive at exit, ends its helper.
            weakref.finalize(self, self._helper.close)
        # asyncio primitives bind to the loop they first wait on, so each loop
        # gets its own semaphore. A semaphore that has waited holds its loop,
        # so a weak mapping could not let go of it: the semaphores of closed
        # loops are dropped instead. The lock serves loops in other threads.
        self._semaphores: dict[asyncio.AbstractEventLoop, _PerLoop] = {}
        self._lock = threading.Lock()
        self._leftovers = threading.Thread(
            target=job_folders.remove_leftovers, name="velmor-leftovers", daemon=True
        )
        self._leftovers.start()

    @property
    def sandbox(self) -> SandboxStatus | None:
        """The sandbox's policy and active layers; None when jobs run without one."""
        return self._sandbox

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

    def _per_loop(self) -> _PerLoop:
        loop = asyncio.get_running_loop()
        found = self._semaphores.get(loop)
        if found is not None:
            return found
        with self._lock:
            for closed in [other for other in self._semaphores if other.is_closed()]:
                del self._semaphores[closed]
            found = self._semaphores.get(loop)
            if found is None:
                found = _PerLoop(loop, self.max_concurrency)
                self._semaphores[loop] = found
            return found

    async def spawn(self, task: SubprocessTask) -> SubprocessResult:
        """Run `task` in a fresh worker and return what came of it."""
        worker = WORKERS.get(task.worker_type)
        if worker is None:
            known = ", ".join(sorted(WORKERS))
            return SubprocessResult(
                error=f"Unknown worker type {task.worker_type!r} (known: {known})"
            )
        if self._sandbox is not None and self._sandbox.missing is not None:
            return SubprocessResult(error=self._sandbox.missing)
        here = self._per_loop()
        # Preparing the job is work for the loop too: jobs submitted by the
        # hundred at once take turns at it. The wait counts toward the deadline.
        submitted = here.loop.time()
        await here.turns.take()
        try:
            command = json.dumps(task.command).encode()
        except (TypeError, ValueError, RecursionError) as exc:
            return SubprocessResult(error=f"Command is not JSON-encodable: {exc}")
        timeout = None if task.timeout is None or math.isinf(task.timeout) else task.timeout
        read_paths = task.read_paths
        if read_paths is None:
            files_read = _FILES_READ.get(task.worker_type)
            read_paths = files_read(task.command) if files_read is not None else ()
        # Waiting for a place takes a turn of its own: the turn taken covers
        # only what the job does next, without waiting.
        waits = here.semaphore.locked()
        spent = here.loop.time() - submitted
        async with here.semaphore:
            return await self._run(worker, tuple(read_paths), command, timeout, here, waits, spent)

    def _limits(self, timeout: float | None) -> Limits:
        limits = [(resource.RLIMIT_CORE, (0, 0))]  # a crash leaves no core file behind
        if timeout is not None:
            # A backstop for CPU burnt where the wall-clock timer cannot look,
            # set a little above the timeout so that the timer normally wins.
            soft = max(1, math.ceil(timeout) + 1)
            limits.append((resource.RLIMIT_CPU, (soft, soft + 1)))
        if self.memory_limit is not None:
            limits.append((resource.RLIMIT_AS, (self.memory_limit, self.memory_limit)))
        if self._sandbox is not None:
            size = self._sandbox.policy.max_file_size
            limits.append((resource.RLIMIT_FSIZE, (size, size)))
            files = sandboxing.descriptor_cap(self.memory_limit)
            limits.append((resource.RLIMIT_NOFILE, (files, files)))
        return limits

    def _namespace_limits(self) -> Limits:
        """Limits set in the job's process only once its user namespace is
        made: the namespace keeps its maker's limit on signals queued as the
        bound of the count every job's uid shares in the host's namespace."""
        if self._sandbox is None:
            return []
        pending = sandboxing.PENDING_SIGNALS
        return [(resource.RLIMIT_SIGPENDING, (pending, pending))]

    def _new_job(
        self,
        loop: asyncio.AbstractEventLoop,
        workdir: str,
        read_paths: tuple[str, ...],
        limits: Limits,
    ) -> Job:
        job_sandbox = None
        if self._sandbox is not None:
            job_sandbox = sandboxing.job_sandbox(workdir, read_paths)
        if self._helper is not None:
            return ForkedJob(loop, self.output_cap, self._helper, job_sandbox)
        launcher = None
        if self._sandbox is not None and job_sandbox is not None:
            # The launcher sets these itself, after its namespaces are made.
            rows = [[which, *limit] for which, limit in [*limits, *self._namespace_limits()]]
            launcher = sandboxing.spawn_launcher(self._sandbox, job_sandbox, rows)
        return SpawnedJob(loop, self.output_cap, launcher)

    async def _run(
        self,
        worker: Path,
        task_read_paths: tuple[str, ...],
        command: bytes,
        timeout: float | None,
        here: _PerLoop,
        waited: bool,
        spent: float,
    ) -> SubprocessResult:
        loop = asyncio.get_running_loop()
        turns = here.turns
        # The deadline runs from the job's submission (`spent` seconds ago,
        # leaving out a wait for a place), across its folder, its turns and
        # every try to start it, and is kept here: a helper that never starts
        # or never ends the job cannot hold it.
        deadline = loop.time() + timeout - spent if timeout is not None else None
        workdir: str | None = None
        try:
            try:
                async with asyncio.timeout_at(deadline):
                    # A turn to ask for the folder (the one spawn() took,
                    # unless it waited since), and another to set the job up
                    # once it is made: both are work for the loop.
                    if waited:
                        await turns.take()
                    workdir = await here.folders.make()
                    await turns.take()
            except TimeoutError:
                return _timed_out(timeout)
            except OSError as exc:
                return SubprocessResult(error=f"Could not start the worker: {exc}")
            env, limits = _worker_environment(workdir), self._limits(timeout)
            for attempt in range(_START_ATTEMPTS):
                job = self._new_job(loop, workdir, task_read_paths, limits)
                timer = None
                if deadline is not None:
                    # Many deadlines may fall at once: each job's turn to act
                    # on its own, unless it has ended meanwhile.
                    timer = loop.call_at(deadline, turns.call, partial(_time_out, job))
                try:
                    started = time.monotonic()
                    try:
                        # The warm helper sets a job's limits in its spare, whose
                        # namespaces are made; a new process is limited before it
                        # makes its own.
                        given = limits
                        if isinstance(job, ForkedJob):
                            given = [*limits, *self._namespace_limits()]
                        await job.start(worker, env, workdir, given, command)
                    except NotStarted as exc:
                        if job.timed_out:
                            return _timed_out(timeout)
                        if exc.retry and attempt + 1 < _START_ATTEMPTS:
                            continue
                        return SubprocessResult(error=f"Could not start the worker: {exc}")
                    except OSError as exc:
                        return SubprocessResult(error=f"Could not start the worker: {exc}")
                    # Shielded: a cancellation must not cancel the future itself,
                    # which settle() still waits on.
                    await asyncio.shield(job.exited)
                    if timer is not None:
                        timer.cancel()
                    await job.settle()
                    duration = time.monotonic() - started
                    await job.drain(_PIPE_GRACE)
                    result = interpret(
                        job,
                        worker,
                        job.returncode(),
                        timeout,
                        self.output_cap,
                        _OUR_SCRIPTS,
                        self._sandbox.policy.max_memory if self._sandbox is not None else None,
                    )
                    result.duration = duration
                    return result
                finally:
                    if timer is not None:
                        timer.cancel()
                    try:
                        if not job.settled:
                            try:
                                await turns.take()
                            finally:
                                # On every path, a cancellation included: the job
                                # is gone before we go on, waited for on the loop,
                                # not blocking it.
                                await asyncio.shield(job.settle())
                    finally:
                        job.close()
            raise AssertionError("a job is tried a bounded number of times")
        finally:
            if workdir is not None:
                # Cancelled, it is still removed, only not waited for.
                await here.folders.remove(workdir)


class _PerLoop:
    """What the manager keeps for each loop its jobs run on."""

    def __init__(self, loop: asyncio.AbstractEventLoop, max_concurrency: int) -> None:
        self.loop = loop
        self.semaphore = asyncio.Semaphore(max_concurrency)
        self.turns = _Turns(loop)
        # Answers come back in turns too: a batch of them wakes many jobs.
        self.folders = job_folders.FolderWork(loop, self.turns.call)


class _Turns:
    """Spreads the setting up and tearing down of jobs over turns of one loop.

    Hundreds of jobs that start (or time out) at once would otherwise each do
    their share of system calls in the same turn of the loop, and stall it
    for as long as all of them take. A job goes ahead while the current turn
    has spent less than _TURN_SLICE on jobs; the rest wait, first come first
    served. Each later turn lets through as many as the last one managed when
    that one ran out of time, and twice as many when it did not: a turn cut
    short (the scheduler took the CPU away in the middle of it, say) must not
    hold every later one to its count while a backlog waits.
    """

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self._loop = loop
        self._began: float | None = None  # when the current turn's first job went ahead
        self._let_through = 0
        self._ran_out = False  # the current turn has turned a job away
        self._waiting: collections.deque[asyncio.Future[None]] = collections.deque()

    async def take(self) -> None:
        if not self._waiting and self._fits():
            return
        first = True
        while True:
            waiter = self._loop.create_future()
            if first:
                self._waiting.append(waiter)
            else:
                self._waiting.appendleft(waiter)  # woken, but the turn was spent already
            first = False
            try:
                await waiter
            except asyncio.CancelledError:
                if waiter.done() and not waiter.cancelled():
                    self._let_in(1)  # let through, but gone: another goes in its place
                raise
            if self._fits():
                return

    def call(self, callback: Callable[[], object]) -> None:
        """Run `callback` in this turn if it has time left, else in a later one."""
        if not self._waiting and self._fits():
            callback()
        else:
            self._queue_call(callback, self._waiting.append)

    def _queue_call(
        self, callback: Callable[[], object], put: Callable[[asyncio.Future[None]], None]
    ) -> None:
        waiter = self._loop.create_future()
        waiter.add_done_callback(lambda _: self._resume(waiter, callback))
        put(waiter)

    def _resume(self, waiter: asyncio.Future[None], callback: Callable[[], object]) -> None:
        if waiter.cancelled():
            return
        if self._fits():
            callback()
        else:
            self._queue_call(callback, self._waiting.appendleft)

    def _fits(self) -> bool:
        now = time.monotonic()
        if self._began is None:
            self._began, self._let_through, self._ran_out = now, 0, False
            self._loop.call_soon(self._next_turn)
        elif now - self._began >= _TURN_SLICE:
            self._ran_out = True
            return False
        self._let_through += 1
        return True

    def _next_turn(self) -> None:
        self._began = None
        count = max(1, self._let_through)
        self._let_in(count if self._ran_out else 2 * count)

    def _let_in(self, count: int) -> None:
        while count and self._waiting:
            waiter = self._waiting.popleft()
            if not waiter.done():
                waiter.set_result(None)  # wakes a job, or runs a queued call
                count -= 1


def _default_concurrency(policy: SandboxPolicy | None) -> int:
    """One job per CPU, but no more than the machine's memory holds at each
    job's memory budget, so that the jobs at once cannot exhaust it."""
    jobs = os.cpu_count() or 1
    if policy is not None:
        try:
            memory = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
        except (ValueError, OSError):
            return jobs
        jobs = min(jobs, memory // policy.max_memory)
    return max(1, jobs)


def _time_out(job: Job) -> None:
    if not job.exited.done():
        job.time_out()


def _timed_out(timeout: float | None) -> SubprocessResult:
    assert timeout is not None
    return SubprocessResult(error=f"Timed out after {format_seconds(timeout)} s")


def _worker_environment(workdir: str) -> dict[str, str]:
    """Just enough for a well-behaved interpreter; nothing of the host's."""
    return {
        "PATH": os.defpath,
        "HOME": workdir,
        "TMPDIR": workdir,
        "LANG": "C.UTF-8",
        "LC_ALL": "C.UTF-8",
    }
