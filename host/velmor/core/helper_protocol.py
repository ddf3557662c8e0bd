"""The protocol between the subprocess manager and its warm helper, in one place.

The manager starts the helper as

    python -I /abs/path/warm_helper.py CONTROL_FD [--sandbox SETUP_JSON] WORKER_SCRIPT...

CONTROL_FD is an AF_UNIX SOCK_SEQPACKET socket. Each message on it is one job:
a JSON object with the REQUEST_KEYS carrying JOB_FDS descriptors, the job's
own seqpacket socket and the child's ends of the command, result, stdout and
stderr pipes. On the job socket the helper answers STARTED PID (or REFUSED
REASON) and, once the child has exited and its group has been killed, EXITED
STATUS with the status as subprocess reports it. The manager may send KILL on
it at any time; closing it also ends the job. End-of-file on CONTROL_FD ends
every job and the helper.

Between jobs the helper keeps one child forked ahead (a spare) that has taken
every step no job changes; it takes the next job's request and pipes from the
helper, not from the manager, and runs under the name SPARE_NAME until then.

The helper runs under `python -I`, where this package is not importable: it
loads this file by path. Standard library only.
"""

from __future__ import annotations

JOB_FDS = 5  # job socket, command_r, result_w, stdout_w, stderr_w
REQUEST_MAX = 1 << 16  # bytes of one job request
MAX_OWN_FILES = 8  # files of a sandboxed job's own, sent to its child as detached mounts
MESSAGE_MAX = 256  # bytes of one message on a job socket

# The request's fields: the worker script, the job's working directory, its
# environment, its resource limits as [[which, soft, hard], ...] and its
# sandbox (None, or what confinement.enter_forked_job takes).
REQUEST_KEYS = ("worker", "cwd", "env", "limits", "sandbox")

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
