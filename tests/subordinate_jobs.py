"""What jobs of the user who runs this script are and may do, as JSON on stdout.

Run by tests/test_sandbox_subordinate.py as a throw-away user, with or
without a subordinate id range:

    python -m tests.subordinate_jobs FOLDER

FOLDER belongs to the user and holds `open.txt` (mode 0644) and `own.txt`
(0600); jobs see FOLDER read-only, or read-write under the writable policy.
"""

from __future__ import annotations

import asyncio
import json
import os
import sys
import textwrap
from pathlib import Path

from velmor.core import sandbox as sandboxing
from velmor.core.subprocess_manager import SandboxPolicy, SubprocessManager, SubprocessTask

TOOL = """
import errno, os, sqlite3, subprocess

FOLDER = {folder!r}


def attempt(call):
    try:
        result = call()
    except OSError as exc:
        return errno.errorcode.get(exc.errno, str(exc.errno))
    return "done" if result is None else result


def read(name):
    with open(os.path.join(FOLDER, name)) as file:
        return file.read()


def write(name):
    with open(os.path.join(FOLDER, name), "w") as file:
        file.write("from the job")


def main(args):
    target = os.path.join(FOLDER, "open.txt")
    return {{
        "ids": [os.getuid(), os.geteuid(), os.getgid(), os.getegid()],
        "groups": os.getgroups(),
        "owner_seen": os.stat(target).st_uid,
        "chmod": attempt(lambda: os.chmod(target, 0o666)),
        "chmod_folder": attempt(lambda: os.chmod(FOLDER, 0o777)),
        "utime": attempt(lambda: os.utime(target, (0, 0))),
        "xattr": attempt(lambda: os.setxattr(target, "user.channel", b"1")),
        "read_open": attempt(lambda: read("open.txt")),
        "read_own": attempt(lambda: read("own.txt")),
        "write_new": attempt(lambda: write("new.txt")),
        "git": subprocess.run(["git", "init", "-q", "repo"]).returncode,
        "sqlite": sqlite3.connect("db").execute("select 1").fetchone()[0],
    }}
"""


async def run_jobs(folder: Path) -> dict:
    tool = folder.parent / "tool.py"
    tool.write_text(textwrap.dedent(TOOL.format(folder=str(folder))), encoding="utf-8")
    tool.chmod(0o644)
    command = {"action": "run_function", "path": str(tool), "function": "main", "args": {}}
    task = SubprocessTask(worker_type="custom", command=command, timeout=20)
    policies = {
        "read": SandboxPolicy(read_only_paths=(folder,)),
        "writable": SandboxPolicy(writable_paths=(folder,)),
    }
    found: dict = {"user": [os.getuid(), os.getgid()], "subordinate": None}
    subordinate = sandboxing.subordinate_ids()
    if subordinate is not None:
        found["subordinate"] = [subordinate.uid, subordinate.gid]
    for name, policy in policies.items():
        for warm in (True, False):
            manager = SubprocessManager(sandbox=policy, warm=warm)
            try:
                result = await manager.spawn(task)
            finally:
                manager.close()
            assert manager.sandbox is not None
            found[f"{name}-{'warm' if warm else 'spawned'}"] = {
                "layers": sorted(manager.sandbox.layers),
                "missing": manager.sandbox.missing,
                "error": result.error,
                "output": result.output,
            }
    written = folder / "new.txt"
    if written.exists():
        found["written_owner"] = written.stat().st_uid
    return found


async def run_with_mapping_broken_after_probe(tool: Path) -> dict:
    """Jobs whose helper is given a map newuidmap refuses (an id outside the
    user's range), though the manager's own probe passed."""
    task = SubprocessTask(
        worker_type="custom",
        command={"action": "run_function", "path": str(tool), "function": "main", "args": {}},
        timeout=20,
    )
    described = sandboxing.world_description

    def broken(policy: SandboxPolicy, ids: sandboxing.JobIds | None = None) -> dict:
        description = described(policy, ids)
        outside = description["uid"] + 1
        mapping = description["id_map"]
        return {
            **description,
            "id_map": {**mapping, "uids": [*mapping["uids"], [outside] * 2 + [1]]},
        }

    sandboxing.world_description = broken
    found = {}
    try:
        for warm in (True, False):
            manager = SubprocessManager(warm=warm)
            try:
                result = await manager.spawn(task)
            finally:
                manager.close()
            found["warm" if warm else "spawned"] = [result.output, result.error]
    finally:
        sandboxing.world_description = described
    return found


def helper_stage_with(id_map: dict) -> str:
    """What the helper stage says when its mappers fail (in a child, which it changes)."""
    native = sandboxing._native_module()
    ends = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(ends[0])
        try:
            native.confine("helper", {"network": False, "id_map": id_map})
            text = "entered"
        except OSError as exc:
            text = f"OSError: {exc}"
        os.write(ends[1], text.encode())
        os._exit(0)
    os.close(ends[1])
    with os.fdopen(ends[0], "rb") as reader:
        text = reader.read().decode()
    os.waitpid(pid, 0)
    return text


def main(folder: str) -> None:
    found: dict = {}
    subordinate = sandboxing.subordinate_ids()
    if subordinate is not None:
        # First, while this process has no thread to make its forks unsafe.
        mapping = sandboxing.id_map(sandboxing.choose_job_ids(SandboxPolicy()))
        assert mapping is not None
        # Asking for an id outside the user's range: newuidmap refuses.
        outside = subordinate.uid + 1
        found["helper_refused"] = helper_stage_with(
            {**mapping, "uids": [*mapping["uids"], [outside, outside, 1]]}
        )
        found["helper_mapped"] = helper_stage_with(mapping)
    found.update(asyncio.run(run_jobs(Path(folder))))
    if subordinate is not None:
        tool = Path(folder).parent / "tool.py"
        found["broken_after_probe"] = asyncio.run(run_with_mapping_broken_after_probe(tool))
    json.dump(found, sys.stdout)


if __name__ == "__main__":
    main(sys.argv[1])
