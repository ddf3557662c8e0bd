"""Entering the sandbox, inside the processes that run jobs.

Standard library only, loaded by path: it runs in the warm helper and in a
spawned worker's launcher, both under `python -I`, where this package is not
importable. The steps themselves are the native confinement sequence
(velmor.core._sandbox, also loaded by path, `confine(stage, description)`),
taken in three stages the same way in both modes:

- `helper`: the helper's own mount, IPC and (unless the policy allows
  networking) network namespaces, and a user namespace when not root;
- `spare`: in a child forked into a pid namespace of its own (made with
  `pid_namespace`, whose init reaps orphans and ends the namespace when
  killed), joining its user namespace, where only the job's ids are mapped,
  and making its own mount namespace there: the
  job's world as its new root, the job's ids, an empty standard input, the
  scratch tmpfs and the Landlock ruleset made ahead, no_new_privs and the
  long part of the system-call filter;
- `job`: once the job is known: its own files and scratch folder attached,
  the root sealed read-only, the process cap, no capabilities (the bounding
  set emptied), Landlock, and the job's part of the filter.

The warm helper takes `helper` once and forks each child ahead of its job
(a spare), which takes `spare` then and `job` when its job comes. A spawned
worker runs this file as its launcher:

    python -I /abs/path/confinement.py SPEC_JSON WORKER_SCRIPT COMMAND_FD RESULT_FD

which takes `helper`, forks the job's process into its pid namespace,
waits for it and ends as it ended; the job's process takes `spare` and `job` and runs the worker's
`serve()`.
"""

from __future__ import annotations

import importlib.util
import json
import os
import resource
import select
import signal
import sys
import time
import types
import typing

# Exit status of a launcher or job process that could not confine itself.
STATUS_SETUP_FAILED = 71


def own_mounts(native: types.ModuleType, paths: list[str]) -> list[tuple[str, int]]:
    """The job's own files as detached read-only mounts, made where the host's
    paths can still be seen: (path, fd) pairs the job stage attaches."""
    mounts: list[tuple[str, int]] = []
    try:
        for path in paths:
            mounts.append((path, native.detached_file(path)))
    except BaseException:
        for _, fd in mounts:
            os.close(fd)
        raise
    return mounts


def spare_description(
    native: types.ModuleType, shared: dict[str, typing.Any]
) -> tuple[dict[str, typing.Any], list[int]]:
    """The description one spare takes, and the descriptors to close once it
    is forked. Under a root host the job's uid owns nothing, so each
    writable path becomes an id-mapped copy on which root's files are the
    job's (made here, where the host's paths can be seen)."""
    if shared["uid"] == os.geteuid():
        return shared, []
    fds: list[int] = []
    world = []
    try:
        for path, kind, target in shared["world"]:
            if kind == "write":
                fds.append(native.idmapped_tree(path, shared["uid"], shared["gid"]))
                kind, target = "tree", str(fds[-1])
            world.append((path, kind, target))
    except BaseException:
        for fd in fds:
            os.close(fd)
        raise
    return {**shared, "world": world}, fds


def fork_job_process(
    native: types.ModuleType,
    shared: dict[str, typing.Any],
    on_job: typing.Callable[[], None] | None = None,
) -> dict[str, typing.Any]:
    """Fork the job's process into a pid namespace of its own and return, in
    it, the description its `spare` stage takes. This process never returns:
    it waits for the job's process and ends as it ended, so that its parent
    sees the job's own status (the namespace's init could not die by most
    signals a job sends itself, the reason the job is not the init).
    The job's process dies with this one, by the namespace's end.

    With `on_job`, the job's description comes with "started", an fd the
    job's process closes once it has its job; this process then calls
    `on_job` (the warm helper's child takes the job's name there)."""
    description, _ = spare_description(native, shared)
    # Before the job's processes exist, so that each of them is counted.
    cgroup = _enter_memory_cgroup(shared)
    budget = None if cgroup is not None else shared.get("max_memory")
    init, user_namespace = native.pid_namespace(description["uid"], description["gid"])
    started = os.pipe() if on_job is not None else None
    pid = os.fork()
    if pid == 0:
        description = {**description, "user_namespace": user_namespace, "watched": bool(budget)}
        if started is not None:
            os.close(started[0])
            description["started"] = started[1]
        else:
            _yield_to_watch(description)
        return description
    if started is not None and on_job is not None:
        os.close(started[1])
        os.read(started[0], 1)  # end-of-file: the job came, or the process ended
        on_job()
    _wait_and_mirror(pid, init, cgroup, budget)


def job_started(description: dict[str, typing.Any]) -> None:
    """In the job's process of a description with "started", once its job
    has come: let the waiting process go on, and yield to its watch."""
    os.close(description["started"])
    _yield_to_watch(description)


def poll_for_selectors() -> None:
    """In a job's process, once its filter is in: the filter leaves it no
    epoll, and the selectors module, when the helper imported it before,
    chose epoll for every later selector (asyncio's among them); poll then."""
    selectors: typing.Any = sys.modules.get("selectors")
    if selectors is not None:
        selectors.DefaultSelector = selectors.PollSelector


# How much less CPU a watched job's processes get than the process that
# watches their memory: past the budget, they must not outrun the watch.
WATCHED_JOB_NICENESS = 10


def _yield_to_watch(description: dict[str, typing.Any]) -> None:
    """With no memory cgroup, the job's memory is only as bounded as the
    watch is prompt: at equal priority, a few busy processes of the job's
    leave its waiter a share of the CPU so small that its looks come tens of
    milliseconds late, while they allocate. So the job's processes (its
    children inherit it) run at a lower priority, which a job cannot raise
    again: its nice limit is emptied first, and no capability is left."""
    if description.get("watched"):
        resource.setrlimit(resource.RLIMIT_NICE, (0, 0))
        os.setpriority(os.PRIO_PROCESS, 0, WATCHED_JOB_NICENESS)


# Exit status of a job whose processes went beyond the policy's max_memory.
STATUS_MEMORY_LIMIT = 73


def _enter_memory_cgroup(shared: dict[str, typing.Any]) -> str | None:
    """Move this process into a memory cgroup of its own, bounded by the
    policy's max_memory, when the host gives one; its children inherit it."""
    parent = shared.get("memory_cgroups")
    if not parent:
        return None
    os.makedirs(parent, exist_ok=True)
    _remove_ended_cgroups(parent)
    # Unique, not merely this pid: hosts in other pid namespaces share the
    # parent, and an ended job's cgroup keeps its counts until it is removed.
    path = os.path.join(parent, f"{os.getpid()}-{os.urandom(6).hex()}")
    os.mkdir(path)
    _write(os.path.join(path, "memory.limit_in_bytes"), str(shared["max_memory"]))
    with_swap = os.path.join(path, "memory.memsw.limit_in_bytes")
    if os.path.exists(with_swap):  # swap counted too, where the kernel accounts it
        _write(with_swap, str(shared["max_memory"]))
    _write(os.path.join(path, "cgroup.procs"), str(os.getpid()))
    return path


def _write(path: str, text: str) -> None:
    with open(path, "w") as file:
        file.write(text)


def _memory_exceeded(cgroup: str) -> bool:
    """Whether the kernel killed a process of the cgroup for its limit."""
    try:
        with open(os.path.join(cgroup, "memory.oom_control")) as file:
            for line in file:
                name, _, value = line.partition(" ")
                if name == "oom_kill":
                    return int(value) > 0
    except OSError:
        pass
    return False


# A cgroup younger than this may be one that a spare has made and not yet
# entered; older and empty, its job has ended.
_CGROUP_SETTLED_SECONDS = 2.0


def _remove_ended_cgroups(parent: str) -> None:
    """Remove the cgroups that ended jobs left. A waiter leaves its cgroup as
    it exits rather than moving out first: moving a process between cgroups
    waits for the kernel's read-copy-update grace period, milliseconds that
    would fall on every job's answer. So a later job's spare, ahead of its
    own job, removes them: the kernel refuses to remove a cgroup that still
    holds a process, so a running job's stays."""
    try:
        entries = list(os.scandir(parent))
    except OSError:
        return
    settled = time.time() - _CGROUP_SETTLED_SECONDS
    for entry in entries:
        try:
            if entry.is_dir(follow_symlinks=False) and entry.stat().st_mtime < settled:
                os.rmdir(entry.path)
        except OSError:
            pass  # in use, or removed by another spare meanwhile


def _launch(argv: list[str], loader: types.ModuleType) -> None:
    spec_text, worker_path, command_fd, result_fd = argv[1:]
    try:
        spec = json.loads(spec_text)
        native = loader.load_native(spec["native"])
        worker = loader.load_worker(worker_path, "_velmor_sandboxed_worker")
        native.confine("helper", spec)
        own = own_mounts(native, spec["own"])
        spec = fork_job_process(native, spec)
    except BaseException as exc:
        _fail(exc)
    try:
        for which, soft, hard in spec["limits"]:
            resource.setrlimit(which, (soft, hard))
        native.confine("spare", spec)
        native.confine("job", {**spec, "own": own})
        poll_for_selectors()
        for _, fd in own:
            os.close(fd)
    except BaseException as exc:
        _fail(exc)
    sys.argv = [worker_path]
    worker.serve(int(command_fd), int(result_fd))


def _fail(exc: BaseException) -> None:
    os.write(2, f"The worker could not enter its sandbox: {exc!r}\n".encode())
    os._exit(STATUS_SETUP_FAILED)


def _wait_and_mirror(
    pid: int, init: int, cgroup: str | None = None, budget: int | None = None
) -> typing.NoReturn:
    """Hold nothing of the job's, wait for it, end what it left in its pid
    namespace (with the namespace's init), end as it ended, or with
    STATUS_MEMORY_LIMIT when its processes went beyond the memory budget:
    the kernel killed one of them for the memory cgroup's limit, or, with no
    cgroup, `budget` is watched here and the whole namespace killed."""
    os.closerange(0, os.sysconf("SC_OPEN_MAX"))
    exceeded = budget is not None and _watch_memory(pid, init, budget)
    _, status = os.waitpid(pid, 0)
    os.kill(init, signal.SIGKILL)
    os.waitpid(init, 0)
    if cgroup is not None:
        exceeded = _memory_exceeded(cgroup)
    if exceeded:
        os._exit(STATUS_MEMORY_LIMIT)
    if os.WIFSIGNALED(status):
        signal.signal(os.WTERMSIG(status), signal.SIG_DFL)
        os.kill(os.getpid(), os.WTERMSIG(status))
    os._exit(os.waitstatus_to_exitcode(status) if os.WIFEXITED(status) else 1)


# How often the memory of a job without a cgroup is summed. Between two looks
# one process can grow at most to its own address-space limit.
WATCH_INTERVAL_MS = 10


def _watch_memory(pid: int, init: int, budget: int) -> bool:
    """Until the job's process ends, sum the memory of every process of its pid
    namespace every WATCH_INTERVAL_MS; past `budget`, kill the namespace's
    init (which ends them all) and say so.

    What counts is a process's own memory: anonymous and shared-memory pages,
    resident or swapped out. Pages of files it maps are the page cache of the
    read-only world, the host's own; the job's scratch and /dev/shm tmpfs are
    bounded by their own sizes. The counts of /proc/PID/status, cheap to read,
    are summed first: they count a page a fork shares once per process, so
    they never say less than the truth. Only past the budget is the exact sum
    taken (smaps_rollup, a walk of each process's mappings, tens of
    milliseconds for a few hundred MiB), which counts a shared page by its
    shares.

    How much the cheap sum of anonymous pages overstates the exact one can
    only shrink while the processes stay the same (a page stops being shared
    when one of them writes it; only a fork shares more), so the cheap sum
    less the overstatement of the last walk is a lower bound: past the
    budget, the job is over it, without a walk of its growing memory."""
    ended = select.poll()
    ended.register(os.pidfd_open(pid), select.POLLIN)
    walked: tuple[frozenset[int], int] | None = None  # the processes, the overstatement
    while not ended.poll(WATCH_INTERVAL_MS):
        processes = namespace_processes((init, pid))
        counts = [_own_pages(process) for process in processes]
        anonymous = sum(anon for anon, _ in counts)
        if anonymous + sum(shared for _, shared in counts) <= budget:
            continue
        same = walked is not None and walked[0] == frozenset(processes)
        if not (same and walked is not None and anonymous - walked[1] > budget):
            exact = [_own_share(process) for process in processes]
            walked = (frozenset(processes), anonymous - sum(anon for anon, _ in exact))
            if sum(anon + shared for anon, shared in exact) <= budget:
                continue
        os.kill(init, signal.SIGKILL)
        return True
    return False


def namespace_memory(processes: list[int]) -> int:
    """The memory of `processes` in all, in bytes, a shared page counted once."""
    return sum(sum(_own_share(process)) for process in processes)


def namespace_processes(roots: tuple[int, ...]) -> list[int]:
    """The `roots` and all their descendants. The roots are a namespace's
    init, which inherits its orphans, and the job's process, forked in from
    outside, so the trees hold all the namespace's processes; one that forks
    while they are read is found at the next look."""
    found, pending = [], list(roots)
    while pending:
        process = pending.pop()
        found.append(process)
        try:
            threads = os.listdir(f"/proc/{process}/task")
        except OSError:
            continue  # ended meanwhile
        for thread in threads:
            try:
                with open(f"/proc/{process}/task/{thread}/children", "rb") as file:
                    pending += [int(child) for child in file.read().split()]
            except OSError:
                continue
    return found


def _own_share(pid: int) -> tuple[int, int]:
    """A process's share of its own anonymous and of its shared-memory pages:
    one mapped by n processes counts 1/n in each."""
    try:
        rollup = _kibibytes(f"/proc/{pid}/smaps_rollup", (b"Pss_Anon", b"SwapPss", b"Pss_Shmem"))
    except PermissionError:
        return _own_pages(pid)  # more than the share, never less
    return rollup[0] + rollup[1], rollup[2]


def _own_pages(pid: int) -> tuple[int, int]:
    """A process's own anonymous and shared-memory pages, each counted whole,
    whoever else maps it."""
    status = _kibibytes(f"/proc/{pid}/status", (b"RssAnon", b"VmSwap", b"RssShmem"))
    return status[0] + status[1], status[2]


def _kibibytes(path: str, names: tuple[bytes, ...]) -> list[int]:
    """The named "Name: N kB" lines of a /proc file, in bytes, in the order
    of `names`; zeros for a process that has ended."""
    try:
        with open(path, "rb") as file:
            text = file.read()
    except PermissionError:
        raise
    except OSError:
        return [0] * len(names)
    values = [0] * len(names)
    for line in text.splitlines():
        name, _, value = line.partition(b":")
        if name in names:
            values[names.index(name)] = int(value.split()[0]) << 10
    return values


if __name__ == "__main__":
    if len(sys.argv) != 5:
        print(
            f"usage: {os.path.basename(sys.argv[0])} SPEC_JSON WORKER_SCRIPT COMMAND_FD RESULT_FD",
            file=sys.stderr,
        )
        raise SystemExit(2)
    # Nothing of ours is importable under -I: this folder's loader comes by
    # path and loads the rest (see loader.py).
    _spec = importlib.util.spec_from_file_location(
        "_velmor_loader", os.path.join(os.path.dirname(os.path.abspath(__file__)), "loader.py")
    )
    assert _spec is not None and _spec.loader is not None
    _loader = importlib.util.module_from_spec(_spec)
    _spec.loader.exec_module(_loader)
    _launch(sys.argv, _loader)
