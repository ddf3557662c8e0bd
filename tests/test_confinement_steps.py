"""The confinement sequence's own account of its steps, and the hold on a
job's mount namespace that keeps its teardown off the job's answer."""

from __future__ import annotations

import json
import os

import pytest

from velmor.core import confinement
from velmor.core import sandbox as sandboxing

STEPS = {
    "spare": [
        "job namespaces",
        "mounts private",
        "world sources opened",
        "job ids",
        "world built, pivot_root",
        "empty stdin",
        "scratch tmpfs",
        "Landlock ruleset",
        "no_new_privs",
        "filter compiled",
    ],
    "job": [
        "own files attached",
        "scratch attached",
        "root sealed",
        "chdir",
        "process cap",
        "bounding set emptied",
        "capabilities dropped",
        "Landlock",
        "filter installed",
    ],
}


@pytest.fixture
def native():
    policy = sandboxing.SandboxPolicy()
    status = sandboxing.probe(policy)
    if status.missing:
        pytest.skip(status.missing)
    return sandboxing._native_module(), sandboxing.world_description(policy)


def test_each_stage_times_its_steps_in_order(native, tmp_path):
    module, shared = native
    tool = tmp_path / "tool.py"
    tool.write_text("def main(args):\n    return args\n")

    def stages():
        taken = {"helper": module.confine("helper", shared)}
        own = confinement.own_mounts(module, [str(tool)])
        description, _ = confinement.spare_description(module, shared)
        init, user_namespace = module.pid_namespace(description["uid"], description["gid"])
        job = os.fork()
        if job == 0:
            taken["spare"] = module.confine(
                "spare", {**description, "user_namespace": user_namespace}
            )
            scratch = "/tmp/velmor-steps-test"
            taken["job"] = module.confine("job", {**description, "scratch": scratch, "own": own})
            os.write(1, json.dumps(taken).encode() + b"\n")
            os._exit(0)
        os.waitpid(job, 0)
        os.kill(init, 9)
        return taken

    read, write = os.pipe()
    child = os.fork()
    if child == 0:
        os.close(read)
        os.dup2(write, 1)
        try:
            stages()
        finally:
            os._exit(0)
    os.close(write)
    with os.fdopen(read) as output:
        lines = output.read().splitlines()
    os.waitpid(child, 0)
    assert lines, "a stage failed"
    taken = json.loads(lines[-1])
    assert [step for step, _ in taken["helper"]] == ["helper namespaces", "mounts private"]
    for stage, steps in STEPS.items():
        assert [step for step, _ in taken[stage]] == steps
    assert all(0 <= seconds < 5 for stage in taken.values() for _, seconds in stage)


@pytest.mark.parametrize("own_namespace", [True, False], ids=["job's own", "shared"])
def test_a_held_world_is_the_jobs_own_mount_namespace(own_namespace):
    """hold_world finds, among a waiting process's children (the namespace's
    init, in this mount namespace, and the job's process), the one in a
    mount namespace of its own, and holds that namespace; none if the job
    has not made its own yet."""
    ready, told = os.pipe()
    waiter = os.fork()
    if waiter == 0:
        os.close(ready)
        if os.fork() == 0:  # the namespace's init stays in this mount namespace
            os.pause()
        if os.fork() == 0:
            if own_namespace:
                os.unshare(os.CLONE_NEWNS | (0 if os.geteuid() == 0 else os.CLONE_NEWUSER))
            os.write(told, b"x")
            os.pause()
        os.pause()
    os.close(told)
    try:
        assert os.read(ready, 1) == b"x"
        held = confinement.hold_world(waiter)
        if own_namespace:
            assert held is not None
            assert os.fstat(held).st_ino != os.stat("/proc/self/ns/mnt").st_ino
            os.close(held)
        else:
            assert held is None
        assert confinement.hold_world(waiter + 10**7) is None  # no such process
    finally:
        for child in _children(waiter):
            os.kill(child, 9)
        os.kill(waiter, 9)
        os.waitpid(waiter, 0)
        os.close(ready)


def _children(pid: int) -> list[int]:
    with open(f"/proc/{pid}/task/{pid}/children") as file:
        return [int(child) for child in file.read().split()]
