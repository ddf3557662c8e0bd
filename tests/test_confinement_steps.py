"""The confinement sequence's own account of its steps, in its order."""

from __future__ import annotations

import json
import os

import pytest

from velmor.core import sandbox as sandboxing
from velmor.core.inside import confinement

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
