"""Entering the sandbox, inside the processes that run jobs.

Standard library only, loaded by path: it runs in the warm helper and in a
spawned worker, both under `python -I`, where this package is not importable.
The native steps come from velmor.core._sandbox, also loaded by path.

The warm helper enters its namespaces once (`enter_helper_namespaces`): a
mount and an IPC namespace of its own and, unless the policy allows
networking, an empty network namespace; when not started by root, also a
user namespace that makes these possible. Each child it forks takes the
job-independent steps before its job is known (the native `enter_spare`) and
the rest once it has its job (`enter_forked_job`). A spawned worker runs this file as its launcher:

    python -I /abs/path/confinement.py SPEC_JSON WORKER_SCRIPT COMMAND_FD RESULT_FD

which takes every step for itself and then runs the worker's `serve()`.

Per job, in order:
- a user namespace of its own: no capability in the namespaces it came from,
  and a process count of its own (started by root, the job's real uid
  becomes nobody's first, since root's processes are never counted);
- the process cap (RLIMIT_NPROC), every capability dropped (the bounding
  set once per helper), no_new_privs;
- Landlock: read (and execute) what the interpreter needs, read its own
  tool.py, read and write its scratch folder and nothing else; no TCP
  without network; signals and abstract UNIX sockets only within the job;
- last, the system-call filter: an allow-list of what tools were seen to
  call, everything else ENOSYS (see job_policy.cpp).
"""

from __future__ import annotations

import importlib.machinery
import importlib.util
import json
import os
import resource
import sys
import types

NOBODY = 65534
# Exit status of a launcher that could not confine itself.
STATUS_SETUP_FAILED = 71


def load_native(path: str) -> types.ModuleType:
    loader = importlib.machinery.ExtensionFileLoader("_sandbox", path)
    spec = importlib.util.spec_from_file_location("_sandbox", path, loader=loader)
    if spec is None:
        raise ImportError(f"cannot load the sandbox's native part from {path}")
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def _write(path: str, text: str) -> None:
    with open(path, "w") as file:
        file.write(text)


def _map_self(uid: int, gid: int) -> None:
    """Map this process's ids into the user namespace it has just made."""
    _write("/proc/self/setgroups", "deny")
    _write("/proc/self/uid_map", f"{uid} {uid} 1")
    _write("/proc/self/gid_map", f"{gid} {gid} 1")


def _namespace_flags(network: bool) -> int:
    return os.CLONE_NEWNS | os.CLONE_NEWIPC | (0 if network else os.CLONE_NEWNET)


def enter_helper_namespaces(native: types.ModuleType, setup: dict) -> list[tuple[int, str]]:
    """Move the helper into its namespaces; give the base grants as opened fds.

    The fds stay open in the helper, so that a job does not look up the same
    paths again.
    """
    flags = _namespace_flags(setup["network"])
    if os.geteuid() == 0:
        os.setgroups([])  # root's supplementary groups are no job's business
        os.unshare(flags)
    else:
        uid, gid = os.geteuid(), os.getegid()
        os.unshare(os.CLONE_NEWUSER | flags)
        _map_self(uid, gid)
    native.make_mounts_private()
    # What holds for every job is set here once, and inherited by each fork:
    # no capability can come back through an exec. The system-call filter
    # is each job's last step: the helper still mounts, forks and unshares.
    native.drop_capability_bounds()
    native.no_new_privileges()
    grants = []
    for path, kind in setup["grants"]:
        try:
            grants.append((os.open(path, os.O_PATH | os.O_CLOEXEC), kind))
        except FileNotFoundError:
            continue  # gone since the manager looked: nothing to grant
    native.prepare_jobs(grants, setup["network"])
    return grants


def _lock_down(native: types.ModuleType, grants: list, job: dict) -> None:
    """The steps after the namespaces, as enter_job takes them natively."""
    limit = job["max_processes"]
    resource.setrlimit(resource.RLIMIT_NPROC, (limit, limit))
    native.drop_capabilities()
    native.no_new_privileges()
    own = [(job["scratch"], "write"), *((path, "read") for path in job["own"])]
    native.restrict_paths([*grants, *own], job["network"])
    native.install_seccomp(job["network"])  # last: it refuses what the steps above need


def enter_forked_job(native: types.ModuleType, job: dict) -> None:
    """In a child of the warm helper, already in its session and scratch folder.

    One native call takes the steps listed above with the grants the helper
    prepared: each Python object a child touches costs it a copied page.
    """
    native.enter_job(job["scratch"], job["own"], job["max_processes"])


def confine_spawned(native: types.ModuleType, spec: dict) -> None:
    """In a spawned worker: every step, the helper's included, for itself."""
    uid, gid = os.geteuid(), os.getegid()
    if os.getuid() == 0:
        os.setgroups([])
        os.setresuid(NOBODY, 0, 0)
    os.unshare(os.CLONE_NEWUSER | _namespace_flags(spec["network"]))
    _map_self(uid, gid)
    scratch = spec["scratch"]
    native.mount_scratch(scratch, spec["scratch_size"])
    os.chdir(scratch)  # into the fresh mount, not the folder beneath it
    native.drop_capability_bounds()
    _lock_down(native, [tuple(grant) for grant in spec["grants"]], spec)


def _launch(argv: list[str]) -> None:
    spec_text, worker_path, command_fd, result_fd = argv[1:]
    try:
        spec = json.loads(spec_text)
        native = load_native(spec["native"])
        worker = _load_worker(worker_path)
        confine_spawned(native, spec)
    except BaseException as exc:
        os.write(2, f"The worker could not enter its sandbox: {exc!r}\n".encode())
        os._exit(STATUS_SETUP_FAILED)
    sys.argv = [worker_path]
    worker.serve(int(command_fd), int(result_fd))


def _load_worker(path: str) -> types.ModuleType:
    spec = importlib.util.spec_from_file_location("_velmor_sandboxed_worker", path)
    if spec is None or spec.loader is None:
        raise ImportError(f"cannot load a worker from {path}")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


if __name__ == "__main__":
    if len(sys.argv) != 5:
        print(
            f"usage: {os.path.basename(sys.argv[0])} SPEC_JSON WORKER_SCRIPT COMMAND_FD RESULT_FD",
            file=sys.stderr,
        )
        raise SystemExit(2)
    _launch(sys.argv)
