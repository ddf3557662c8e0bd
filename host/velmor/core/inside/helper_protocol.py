"""The protocol between the subprocess manager and its warm helper, in one place.

The manager starts the helper as

    python -I /abs/path/helper_server.py CONTROL_FD [--sandbox SETUP_JSON] WORKER_SCRIPT...

CONTROL_FD is an AF_UNIX SOCK_SEQPACKET socket. Each message on it is one job:
a JobRequest in its JSON form carrying JOB_FDS descriptors, the job's
own seqpacket socket and the child's ends of the command, result, stdout and
stderr pipes. On the job socket the helper answers STARTED PID (or REFUSED
REASON) and, once the child has exited and its group has been killed, EXITED
STATUS with the status as subprocess reports it. The manager may send KILL on
it at any time; closing it also ends the job. End-of-file on CONTROL_FD ends
every job and the helper.

Between jobs the helper keeps one child forked ahead (a spare) that has taken
every step no job changes; it takes the next job's request and pipes from the
helper, not from the manager, and runs under the name SPARE_NAME until then.
A sandboxed job's own files (at most MAX_OWN_FILES) follow its pipes, as
detached read-only mounts the helper makes.

The helper runs under `python -I`, where this package is not importable: it
loads this file by path. Standard library only.
"""

from __future__ import annotations

import json
import os
from dataclasses import dataclass

JOB_FDS = 5  # job socket, command_r, result_w, stdout_w, stderr_w
REQUEST_MAX = 1 << 16  # bytes of one job request
MAX_OWN_FILES = 8  # files of a sandboxed job's own, sent to its child as detached mounts
MESSAGE_MAX = 256  # bytes of one message on a job socket


@dataclass(frozen=True, slots=True)
class JobSandbox:
    """What one sandboxed job adds to its helper's shared description: its
    scratch folder (its working folder, at the same path in its world) and
    the files of its own it reads (its tool.py), as the task names them."""

    scratch: str
    own: tuple[str, ...] = ()

    def __post_init__(self) -> None:
        _check(isinstance(self.scratch, str) and os.path.isabs(self.scratch), "scratch")
        _check(
            isinstance(self.own, tuple)
            and len(self.own) <= MAX_OWN_FILES
            and all(isinstance(path, str) and os.path.isabs(path) for path in self.own),
            "own",
        )


@dataclass(frozen=True, slots=True)
class JobRequest:
    """One job, as the manager hands it to the helper: the worker script, the
    job's working folder, its environment, its resource limits as
    (which, soft, hard) and its sandbox (None without one)."""

    worker: str
    cwd: str
    env: dict[str, str]
    limits: tuple[tuple[int, int, int], ...] = ()
    sandbox: JobSandbox | None = None

    def __post_init__(self) -> None:
        _check(isinstance(self.worker, str) and os.path.isabs(self.worker), "worker")
        _check(isinstance(self.cwd, str), "cwd")
        _check(
            isinstance(self.env, dict)
            and all(isinstance(k, str) and isinstance(v, str) for k, v in self.env.items()),
            "env",
        )
        _check(
            all(len(limit) == 3 and all(type(n) is int for n in limit) for limit in self.limits),
            "limits",
        )

    def to_json(self) -> bytes:
        sandbox = None
        if self.sandbox is not None:
            sandbox = {"scratch": self.sandbox.scratch, "own": list(self.sandbox.own)}
        fields = {
            "worker": self.worker,
            "cwd": self.cwd,
            "env": self.env,
            "limits": [list(limit) for limit in self.limits],
            "sandbox": sandbox,
        }
        return json.dumps(fields).encode()

    @classmethod
    def from_json(cls, data: bytes) -> JobRequest:
        """The request a JSON text holds; ValueError when it holds none."""
        try:
            fields = json.loads(data)
            sandbox = fields["sandbox"]
            if sandbox is not None:
                sandbox = JobSandbox(sandbox["scratch"], tuple(sandbox["own"]))
            return cls(
                fields["worker"],
                fields["cwd"],
                fields["env"],
                tuple(tuple(limit) for limit in fields["limits"]),
                sandbox,
            )
        except (KeyError, TypeError) as exc:
            raise ValueError(f"not a job request: {exc!r}") from None


def _check(ok: bool, field: str) -> None:
    if not ok:
        raise ValueError(f"a job request's {field} is malformed")


# Messages on a job socket.
STARTED = b"started"  # helper -> manager: "started PID"
REFUSED = b"refused"  # helper -> manager: "refused REASON"
EXITED = b"exited"  # helper -> manager: "exited STATUS"
KILL = b"kill"  # manager -> helper

# Exit statuses of a forked child that did not get as far as the job.
STATUS_SETUP_FAILED = 71
STATUS_ORPHANED = 72

# The process name of a spare child while it waits for its job.
SPARE_NAME = b"velmor-spare"
