"""The sandbox every job runs in: the policy a host sets, and what is in force.

A job's code is written by a language model and steered by whatever text the
agent read, so it gets nothing but its own job: a world of its own (a new
root holding read-only copies of what the interpreter and common tools need,
its own tool.py, its scratch folder, a fresh size-capped tmpfs, its own
/dev/shm and /proc), a pid namespace where it names only its own processes,
a uid that owns no file of the host when the host is root (or the user has
subordinate ids to give it), no network and no
UNIX socket of the host, no way out of its process group, and resource
limits that bound the job as a whole.

The layers, in the order the native sequence takes them (see README.md and
host/native/sandbox/sequence.cpp): the helper's mount, IPC and network
namespaces; the job's user, pid and mount namespaces; the new root
(pivot_root); the job's ids; no_new_privs and the long part of the
system-call filter; its own files and scratch folder attached and the root
sealed read-only; the process cap; no capabilities (the bounding set
emptied); Landlock; the job's part of the filter.

This module decides what the world holds (`world_entries`) and which ids a
job has (`job_ids`); inside/confinement.py takes the stages inside the processes.
"""

from __future__ import annotations

import os
import pwd
import sys
import sysconfig
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from velmor.core.inside.helper_protocol import JobSandbox

__all__ = ["SandboxPolicy", "SandboxStatus", "describe_job_filter"]

CONFINEMENT_SCRIPT = Path(__file__).resolve().parent / "inside" / "confinement.py"

# Landlock ABI 6 brings the scoping of signals and abstract UNIX sockets.
REQUIRED_LANDLOCK_ABI = 6

WAY_OUT = "SubprocessManager(sandbox=False) runs jobs without the sandbox"

_MiB = 1 << 20

# What a job's world holds of the host, read-only at the same paths: the
# interpreter's prefixes and standard library are added from sys, and the
# policy's paths. Programs and system libraries (git, file, sh and what
# they load), time zones, the magic numbers `file` reads, git's templates.
_SYSTEM = (
    "/bin",
    "/sbin",
    "/lib",
    "/lib64",
    "/usr/bin",
    "/usr/sbin",
    "/usr/lib",
    "/usr/lib64",
    "/usr/libexec",
    "/usr/share/zoneinfo",
    "/usr/share/misc",
    "/usr/share/file",
    "/usr/share/git-core",
)
# The few files of /etc the C library, Python's standard library and those
# tools read; passwd and group are the world's own.
_ETC = ("/etc/ld.so.cache", "/etc/localtime", "/etc/mime.types", "/etc/nsswitch.conf", "/etc/magic")
# What name resolution and TLS read, in the world only with network.
_NETWORK = (
    "/etc/hosts",
    "/etc/resolv.conf",
    "/etc/host.conf",
    "/etc/gai.conf",
    "/etc/services",
    "/etc/protocols",
    "/etc/ssl",
    "/etc/ca-certificates",
    "/usr/share/ca-certificates",
)
_DEVICES = ("/dev/null", "/dev/zero", "/dev/full", "/dev/random", "/dev/urandom")
# The uid and gid of jobs under a root host: owners of nothing (the native
# part's JOB_UID_UNDER_ROOT).
JOB_ID_UNDER_ROOT = 2_000_000_000
# The name a job's uid and gid have in its world.
JOB_USER = "velmor-job"
# Where the setuid helpers that map an ordinary user's subordinate ids are
# looked for: the system's own folders, never a PATH the user can change.
ID_MAPPER_FOLDERS = ("/usr/bin", "/bin", "/usr/sbin", "/sbin")
SUBUID_FILE = "/etc/subuid"
SUBGID_FILE = "/etc/subgid"


def _paths(name: str, value: object) -> tuple[str, ...]:
    if isinstance(value, (str, bytes, os.PathLike)) or not isinstance(value, (tuple, list)):
        raise TypeError(f"{name} must be a tuple of paths, not {type(value).__name__}")
    paths = []
    for item in value:
        if not isinstance(item, (str, os.PathLike)):
            raise TypeError(f"{name} holds {item!r}, which is not a path")
        path = os.fspath(item)
        if not isinstance(path, str) or not path or "\0" in path:
            raise ValueError(f"{name} holds {item!r}, which is not a usable path")
        paths.append(os.path.abspath(path))
    return tuple(paths)


def _count(name: str, value: object, least: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < least:
        raise ValueError(f"{name} must be at least {least}, not {value}")
    return value


@dataclass(frozen=True, slots=True)
class SandboxPolicy:
    """What a host lets its jobs do beyond the default.

    `network`: True allows IP networking (the host's UNIX sockets stay shut).
    `read_only_paths`, `writable_paths`: extra files or folders a job may read,
    or read and write (made absolute at construction).
    `max_processes`: processes and threads per job, the job's first included.
    `max_file_size`: the largest file a job may write, in bytes.
    `max_scratch_bytes`: the most a job may store in its scratch folder (the
    total it can write there), in bytes.
    `max_memory`: the memory of all the job's processes together, in bytes;
    beyond it the job ends with "Exceeded the memory limit of ...". A memory
    cgroup holds it where one can be had (a host running as root), else the
    job's waiter sums its processes' memory every few milliseconds
    (layer "memory-watch"), where a process can overshoot by its own
    address-space limit between two looks.
    """

    network: bool = False
    read_only_paths: tuple[str | os.PathLike[str], ...] = ()
    writable_paths: tuple[str | os.PathLike[str], ...] = ()
    max_processes: int = 16
    max_file_size: int = 64 * _MiB
    max_scratch_bytes: int = 64 * _MiB
    max_memory: int = 2048 * _MiB

    def __post_init__(self) -> None:
        if not isinstance(self.network, bool):
            raise TypeError(f"network must be True or False, not {self.network!r}")
        for name in ("read_only_paths", "writable_paths"):
            object.__setattr__(self, name, _paths(name, getattr(self, name)))
        _count("max_processes", self.max_processes, 1)
        _count("max_file_size", self.max_file_size, 1)
        _count("max_scratch_bytes", self.max_scratch_bytes, 1)
        _count("max_memory", self.max_memory, 16 * _MiB)


@dataclass(frozen=True, slots=True)
class SandboxStatus:
    """What the sandbox of a manager is: its policy, the layers in force and,
    when a layer the policy needs is missing, why no job can run."""

    policy: SandboxPolicy
    layers: frozenset[str]
    missing: str | None = None
    _native_path: str | None = field(default=None, repr=False)
    # The ids its jobs run under, as probed: jobs never change to others later.
    _ids: JobIds | None = field(default=None, repr=False)


def _native_module() -> Any:
    from velmor.core import _sandbox

    return _sandbox


def probe(policy: SandboxPolicy) -> SandboxStatus:
    """Which layers this kernel can give the policy; fail-closed text if one is missing."""
    try:
        native = _native_module()
    except ImportError as exc:
        return SandboxStatus(policy, frozenset(), _missing(f"the sandbox's native part ({exc})"))
    layers = {"no-new-privileges", "rlimits"}
    missing = []
    abi = native.landlock_abi()
    if abi >= REQUIRED_LANDLOCK_ABI:
        layers.add("landlock")
    else:
        found = f"ABI {abi}" if abi else "not enabled"
        missing.append(f"Landlock ABI {REQUIRED_LANDLOCK_ABI} or later ({found})")
    if native.seccomp_supported():
        layers.add("seccomp")
    else:
        missing.append("a seccomp filter for this architecture")
    flags = os.CLONE_NEWUSER | os.CLONE_NEWNS | os.CLONE_NEWIPC | os.CLONE_NEWPID
    flags |= 0 if policy.network else os.CLONE_NEWNET
    error = native.probe_namespaces(flags)
    if error == 0:
        layers.update({"user-namespace", "mount-namespace", "ipc-namespace", "pid-namespace"})
        layers.add("own-root")
        if not policy.network:
            layers.add("network-namespace")
    else:
        missing.append(f"unprivileged user namespaces ({os.strerror(error)})")
    layers.add("memory-cgroup" if memory_cgroups_usable() else "memory-watch")
    ids = choose_job_ids(policy)
    mapping = id_map(ids)
    if mapping is not None:
        why = native.probe_id_mappers(mapping)
        if why:
            missing.append(f"the user's subordinate ids mapped by newuidmap and newgidmap ({why})")
        else:
            layers.add("subordinate-uid")
    if missing:
        return SandboxStatus(policy, frozenset(layers), _missing(" and ".join(missing)))
    return SandboxStatus(policy, frozenset(layers), None, native.__file__, ids)


def describe_job_filter(network: bool = False) -> str:
    """The system-call filter every job runs under, as text: one line a call
    with its number, the conditions on its arguments and the answers, then
    the answer to every other call (tests/golden holds the reviewed copy)."""
    text: str = _native_module().describe_filter(network)
    return text


def _missing(feature: str) -> str:
    return f"The sandbox cannot run here: it needs {feature}. {WAY_OUT}."


# What one open descriptor can hold outside the address space at most: the
# send buffer of a socket (twice the kernel's largest setting, 208 KiB).
_BYTES_PER_DESCRIPTOR = 512 << 10
_MOST_DESCRIPTORS = 1024
_FEWEST_DESCRIPTORS = 64


def descriptor_cap(memory_limit: int | None) -> int:
    """Open files per job process: what its sockets can hold in buffers, which
    no address-space limit counts, stays within its memory limit."""
    if memory_limit is None:
        return _MOST_DESCRIPTORS
    return max(_FEWEST_DESCRIPTORS, min(_MOST_DESCRIPTORS, memory_limit // _BYTES_PER_DESCRIPTOR))


# Signals queued to a job's processes at once, all of them together (they
# share their user namespace's count). Each queued signal also counts for
# the job's uid in the host's namespace, against the limit of that uid's
# every process: all jobs under a root host, the user's own processes under
# its uid, whose real-time signals past it are lost. Without a cap of its
# own, one job queues them all.
PENDING_SIGNALS = 1024


# Where each job's memory cgroup is made (cgroup v1, writable by root).
MEMORY_CGROUPS = "/sys/fs/cgroup/memory/velmor-jobs"


def memory_cgroups_usable() -> bool:
    """Whether jobs can each get a memory cgroup: the v1 memory hierarchy,
    writable by this process (a host running as root)."""
    parent = os.path.dirname(MEMORY_CGROUPS)
    return os.geteuid() == 0 and os.access(os.path.join(parent, "cgroup.procs"), os.W_OK)


@dataclass(frozen=True, slots=True)
class SubordinateIds:
    """A uid and gid of the user's subordinate ranges for its jobs, and the
    setuid helpers that may map them (only they, from outside the namespace)."""

    uid: int
    gid: int
    newuidmap: str
    newgidmap: str


def _subordinate_range(path: str, user: pwd.struct_passwd) -> tuple[int, int] | None:
    """The first range (start, count) of `path` that names the user, by name
    or by uid as the helpers accept, and does not hold the user's own id."""
    try:
        with open(path, encoding="utf-8", errors="replace") as file:
            lines = file.read().splitlines()
    except OSError:
        return None
    for line in lines:
        owner, _, rest = line.strip().partition(":")
        start, _, count = rest.partition(":")
        if owner not in (user.pw_name, str(user.pw_uid)):
            continue
        if not (start.isdigit() and count.isdigit()) or int(count) < 1:
            continue
        first, last = int(start), int(start) + int(count) - 1
        if first > 0 and last < (1 << 32) - 1 and not first <= user.pw_uid <= last:
            return int(start), int(count)
    return None


def _id_mapper(name: str) -> str | None:
    for folder in ID_MAPPER_FOLDERS:
        path = os.path.join(folder, name)
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    return None


def subordinate_ids() -> SubordinateIds | None:
    """The subordinate ids jobs of this (non-root) user run under, when it
    has a range in /etc/subuid and /etc/subgid and the helpers are installed.

    The last id of each range: containers a user runs without root map their
    ids onto its ranges from the start, so the first ids may own the files of
    their images, and the last, their uid 65536, seldom anything."""
    if os.geteuid() == 0:
        return None
    try:
        user = pwd.getpwuid(os.geteuid())
    except KeyError:
        return None
    uids = _subordinate_range(SUBUID_FILE, user)
    gids = _subordinate_range(SUBGID_FILE, user)
    newuidmap, newgidmap = _id_mapper("newuidmap"), _id_mapper("newgidmap")
    if uids is None or gids is None or newuidmap is None or newgidmap is None:
        return None
    return SubordinateIds(sum(uids) - 1, sum(gids) - 1, newuidmap, newgidmap)


@dataclass(frozen=True, slots=True)
class JobIds:
    """The ids a manager's jobs run under, chosen once (by `probe`), and the
    helpers that map them when they are the user's subordinate ids."""

    uid: int
    gid: int
    mappers: SubordinateIds | None = None


def choose_job_ids(policy: SandboxPolicy) -> JobIds:
    """The ids jobs of `policy` run under: under root, ones that own no file;
    under a user with subordinate ids, the last of its ranges; otherwise the
    user's own. A policy with writable paths keeps the user's own: only an
    id-mapped mount lets another uid write the user's files as the user, and
    only root can make one."""
    if os.geteuid() == 0:
        return JobIds(JOB_ID_UNDER_ROOT, JOB_ID_UNDER_ROOT)
    subordinate = subordinate_ids()
    if subordinate is not None and not policy.writable_paths:
        return JobIds(subordinate.uid, subordinate.gid, subordinate)
    return JobIds(os.geteuid(), os.getegid())


def job_ids(policy: SandboxPolicy | None = None) -> tuple[int, int]:
    """The uid and gid jobs of `policy` (by default the default one) run under."""
    ids = choose_job_ids(policy if policy is not None else SandboxPolicy())
    return ids.uid, ids.gid


def id_map(ids: JobIds) -> dict[str, Any] | None:
    """What the helper's user namespace maps when jobs run under subordinate
    ids: the user's own ids, to reach its files, and the job's, each to
    itself; None when the helper maps the user's ids itself."""
    if ids.mappers is None:
        return None
    return {
        "newuidmap": ids.mappers.newuidmap,
        "newgidmap": ids.mappers.newgidmap,
        "uids": [[os.geteuid(), os.geteuid(), 1], [ids.uid, ids.uid, 1]],
        "gids": [[os.getegid(), os.getegid(), 1], [ids.gid, ids.gid, 1]],
    }


def world_entries(policy: SandboxPolicy, uid: int, gid: int) -> list[tuple[str, str, str]]:
    """The job's world as (path, kind, target): what the native part binds,
    links or writes in the new root, parents before what lies beneath them."""
    prefixes = [sys.base_prefix, sys.base_exec_prefix, sys.prefix, sys.exec_prefix]
    prefixes += [sysconfig.get_path(name) for name in ("stdlib", "platstdlib", "purelib")]
    wanted = [
        *((path, "read") for path in (*_SYSTEM, *prefixes, *_ETC)),
        *((path, "read") for path in (_NETWORK if policy.network else ())),
        *((path, "device") for path in _DEVICES),
        *((os.fspath(path), "read") for path in policy.read_only_paths),
        *((os.fspath(path), "write") for path in policy.writable_paths),
    ]
    rank = {"read": 0, "device": 1, "write": 2}
    chosen: dict[str, str] = {}
    links: dict[str, str] = {}
    for path, kind in wanted:
        if not path:
            continue
        if os.path.islink(path):
            # Made as a link in the world (/bin -> usr/bin); what it points to is bound.
            links[path] = os.readlink(path)
        if not os.path.exists(path):
            continue
        real = os.path.realpath(path)
        if real not in chosen or rank[kind] > rank[chosen[real]]:
            chosen[real] = kind
    entries: list[tuple[str, str, str]] = []
    for path, kind in sorted(chosen.items()):
        covered = any(
            other != path and path.startswith(other.rstrip("/") + "/") and chosen[other] == kind
            for other in chosen
        )
        if not covered:
            entries.append((path, kind, ""))
    entries += [(path, "link", target) for path, target in sorted(links.items())]
    name = JOB_USER
    entries.append(
        (
            "/etc/passwd",
            "file",
            f"root:x:0:0:root:/root:/bin/sh\n"
            f"{name}:x:{uid}:{gid}:{name}:/nonexistent:/bin/sh\n"
            f"nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n",
        )
    )
    entries.append(("/etc/group", "file", f"root:x:0:\n{name}:x:{gid}:\nnogroup:x:65534:\n"))
    return entries


def world_description(policy: SandboxPolicy, ids: JobIds | None = None) -> dict[str, Any]:
    """What every job of the policy shares: the native stages take it. `ids`:
    as the manager's probe chose them (else chosen now)."""
    ids = ids if ids is not None else choose_job_ids(policy)
    return {
        "network": policy.network,
        "uid": ids.uid,
        "gid": ids.gid,
        "id_map": id_map(ids),
        "world": world_entries(policy, ids.uid, ids.gid),
        "shm_size": policy.max_scratch_bytes,
        "scratch_size": policy.max_scratch_bytes,
        "max_processes": policy.max_processes,
        "max_memory": policy.max_memory,
        "memory_cgroups": MEMORY_CGROUPS if memory_cgroups_usable() else None,
    }


def helper_arguments(status: SandboxStatus) -> list[str]:
    """The warm helper's command-line arguments for the sandbox."""
    import json

    setup = {
        "native": status._native_path,
        **world_description(status.policy, status._ids),
    }
    return ["--sandbox", json.dumps(setup)]


def job_sandbox(scratch: str, read_paths: tuple[str, ...]) -> JobSandbox:
    """What one job adds to the shared description: its scratch folder and
    the files the task says it reads (those that exist)."""
    own = tuple(path for path in read_paths if os.path.isabs(path) and os.path.isfile(path))
    return JobSandbox(scratch, own)


def spawn_launcher(status: SandboxStatus, job: JobSandbox, limits: list[list[int]]) -> list[str]:
    """The launcher a spawned worker runs: confinement.py with the job's whole spec."""
    import json

    spec = {
        **world_description(status.policy, status._ids),
        "scratch": job.scratch,
        "own": list(job.own),
        "limits": limits,
        "native": status._native_path,
    }
    return [str(CONFINEMENT_SCRIPT), json.dumps(spec)]
