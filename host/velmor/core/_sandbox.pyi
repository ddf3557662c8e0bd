"""Per-job confinement steps of the sandbox.

Every function raises OSError, with the errno and the step that failed, when
the kernel refuses a step; the arguments are positional only.
"""

from collections.abc import Iterable
from typing import Any, Final, Literal

from _typeshed import StrOrBytesPath

# The uid and gid a job runs as in its user namespace under a root host.
JOB_UID_UNDER_ROOT: Final[int]

def landlock_abi() -> int:
    """The running kernel's Landlock ABI version; 0 when Landlock is unavailable."""

def restrict_paths(
    grants: Iterable[tuple[StrOrBytesPath | int, Literal["read", "execute", "write"]]],
    network: bool,
    /,
) -> None:
    """Confine this process to the granted paths with Landlock; grants are
    (path or O_PATH fd, 'read' | 'execute' | 'write')."""

def confine(
    stage: Literal["helper", "spare", "job"], description: dict[str, Any], /
) -> list[tuple[str, float]]:
    """Take the steps of stage 'helper', 'spare' or 'job' of the confinement
    sequence; raises OSError naming the step that failed. Returns each step's
    name and the seconds it took, in order.

    The description's keys, each optional: "network" (bool); "user_namespace",
    "uid", "gid", "scratch_size", "max_processes", "shm_size" (int); "scratch"
    (a path); "world", a sequence of (path, kind, target) with kind one of
    'read', 'write', 'device', 'link', 'file', 'tree'; and for the job stage
    "own", a sequence of (path, fd).
    """

def pid_namespace(uid: int, gid: int, /) -> tuple[int, int]:
    """Start the init of a new pid namespace, in a new user namespace with only
    uid and gid mapped, and make this process's next children there; (init's
    pid, the user namespace's fd). The init reaps orphans and dies with its
    parent."""

def detached_file(path: StrOrBytesPath, /) -> int:
    """A detached read-only copy of the mount of the file at path, as an fd a
    job's confinement attaches in its world."""

def install_seccomp(network: bool, /) -> None:
    """Install the job's system-call filter, an allow-list; the last step of
    confining a job."""

def seccomp_supported() -> bool:
    """Whether the system-call filter knows this architecture."""

def filter_program(network: bool, /) -> bytes:
    """The job's filter as the kernel gets it, 8 bytes an instruction."""

def describe_filter(network: bool, /) -> str:
    """The job's filter as text, one line a call."""

def drop_capability_bounds() -> None:
    """Empty the bounding and ambient capability sets."""

def drop_capabilities() -> None:
    """Drop the effective, permitted and inheritable capabilities."""

def no_new_privileges() -> None:
    """Set no_new_privs: no exec can raise privileges from here on."""

def make_mounts_private() -> None:
    """Make every mount of this mount namespace private."""

def idmapped_tree(path: StrOrBytesPath, uid: int, gid: int, /) -> int:
    """A detached copy of path's mount on which root's files are uid's and
    gid's, as an fd (for a writable path of a job under a root host)."""

def probe_id_mappers(id_map: dict[str, Any], /) -> str:
    """'' if newuidmap and newgidmap map a throw-away user namespace as id_map
    asks ({"newuidmap": path, "newgidmap": path, "uids": ranges, "gids":
    ranges}, ranges being (inside, outside, count) triples), else why not."""

def probe_namespaces(flags: int, /) -> int:
    """0 if a child can be cloned with these CLONE_NEW* flags, else the errno."""
