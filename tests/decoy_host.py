"""A stand-in host for the attacks aimed at the host process itself.

    python tests/decoy_host.py SPEC_JSON [ARGUMENTS THE ATTACK MUST NOT SEE...]

It holds a secret in its environment (VELMOR_DECOY_SECRET, given by the test)
and another in its memory, runs one attack job through a real
SubprocessManager, then an ordinary job, and prints a JSON report: all the
attack's result carried back, whether the memory secret is intact, whether
the next job worked. The attack's targets in the context name this process:
"host_pid", and the memory secret's "address" and "length".

The attacks that would kill, stop or trace the host thereby hit this process,
never the test run.

With "observe" in the spec, it also runs a neighbouring job through the
attack, names the processes around it in the context ("pids": the host, its
warm helper, the helper's spare and the neighbour; "pgids", "uid") and
reports what the attack changed in their limits, priority, scheduling and
CPU affinity, in a job's own view of those before and after, and how many
unreaped children (zombies) the host and its helper hold afterwards.
"""

from __future__ import annotations

import asyncio
import ctypes
import json
import os
import secrets
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from tests import escape_probes  # noqa: E402
from tests.processes import is_spare, processes, with_argument  # noqa: E402
from velmor.core.subprocess_manager import SubprocessManager, SubprocessTask  # noqa: E402

# Where a bytes object keeps its bytes: after the object header.
_BYTES_HEADER = sys.getsizeof(b"") - 1


# A job's own view of its scheduling and limits: what a next job would inherit.
OWN_SCHEDULING = """
import os, resource

def attack(ctx):
    limits = [resource.getrlimit(which) for which in (resource.RLIMIT_CPU, resource.RLIMIT_NOFILE)]
    return [os.getpriority(os.PRIO_PROCESS, 0), os.sched_getscheduler(0),
            sorted(os.sched_getaffinity(0)), limits]
"""

# A neighbouring job that runs until it is cancelled, in a child found by its arguments.
NEIGHBOUR = (
    escape_probes.TAGGED_CHILD
    + """
def attack(ctx):
    return in_tagged_child(ctx, "import sys, time; time.sleep(float(sys.argv[2]))", ctx["seconds"])
"""
)
NEIGHBOUR_TAG = "velmor-adjacent"


def _trivial() -> SubprocessTask:
    code = "def main(args):\n    return 1\n"
    return SubprocessTask(
        worker_type="custom", command={"action": "validate", "code": code}, timeout=20.0
    )


def _limits(pid: int) -> list[str]:
    with open(f"/proc/{pid}/limits") as file:
        return [line.split()[-3:] for line in file if line.startswith(("Max cpu", "Max open"))]


def _scheduling(pid: int) -> list | None:
    """Limits, nice value, policy and CPUs of `pid`, as the host sees them."""
    try:
        return [
            _limits(pid),
            os.getpriority(os.PRIO_PROCESS, pid),
            os.sched_getscheduler(pid),
            sorted(os.sched_getaffinity(pid)),
        ]
    except (OSError, ProcessLookupError):
        return None


def _zombies(parent: int | None) -> int:
    return sum(1 for _, ppid, _, state in processes() if ppid == parent and state == "Z")


async def _own_scheduling(manager: SubprocessManager, folder: Path) -> str:
    task = escape_probes.task(OWN_SCHEDULING, {}, "run", folder)
    return escape_probes.everything(await manager.spawn(task))


async def _around(manager: SubprocessManager, neighbour: int) -> dict[str, int]:
    """The processes an attack could reach: this host, its helper, the spare, the neighbour."""
    around = {"host": os.getpid(), "neighbour": neighbour}
    helper = manager.helper_pid
    if helper is not None:
        around["helper"] = helper
        for _ in range(100):  # the helper forks the next spare after each job
            spares = [pid for pid, ppid, _, _ in processes() if ppid == helper and is_spare(pid)]
            if spares:
                around["spare"] = spares[0]
                break
            await asyncio.sleep(0.02)
    return around


async def main(spec: dict) -> dict:
    expected = secrets.token_hex(16)
    memory_secret = expected.encode()  # an object apart from `expected`, to be checked against it
    address = id(memory_secret) + _BYTES_HEADER
    assert ctypes.string_at(address, len(memory_secret)) == memory_secret
    ctx = dict(spec["ctx"], host_pid=os.getpid(), address=address, length=len(memory_secret))
    ctx["pids"] = [os.getpid()]
    # Room for a neighbour, the attack and a short job at once.
    manager = SubprocessManager(max_concurrency=4, warm=spec["warm"], sandbox=spec["sandbox"])
    folder = Path(spec["folder"])
    observed: dict = {}
    neighbour = None
    try:
        first = await manager.spawn(_trivial())
        if first.error is not None:
            raise SystemExit(f"no job runs: {first.error}")
        if spec["sandbox"] and not (manager.sandbox and manager.sandbox.layers):
            raise SystemExit("the sandbox is not on: no attack is made")
        if spec.get("observe"):
            observed["own_before"] = await _own_scheduling(manager, folder.with_name("own"))
            neighbour = asyncio.ensure_future(
                manager.spawn(
                    escape_probes.task(
                        NEIGHBOUR,
                        {"seconds": 30, "tag": NEIGHBOUR_TAG},
                        "run",
                        folder.with_name("n"),
                    )
                )
            )
            for _ in range(250):
                if found := with_argument(NEIGHBOUR_TAG):
                    break
                await asyncio.sleep(0.02)
            else:
                raise SystemExit("the neighbouring job never showed up")
            # A short job: when it ends, a warm helper forks a spare, which waits
            # beside the neighbour (the neighbour took the one there was).
            await manager.spawn(_trivial())
            around = await _around(manager, found[0])
            observed["before"] = {name: _scheduling(pid) for name, pid in around.items()}
            ctx["pids"] = sorted(around.values())
            ctx["pgids"] = sorted({os.getpgid(pid) for pid in around.values()})
            ctx["uid"] = os.getuid()
        probe = getattr(escape_probes, spec["probe"])
        attack = asyncio.ensure_future(
            manager.spawn(escape_probes.task(probe, ctx, spec["phase"], Path(spec["folder"])))
        )
        if spec.get("observe"):
            await asyncio.sleep(0.1)  # the attack has taken the spare there was
            # A job that ends while the attack waits: a warm helper then forks
            # the spare for the next job, which the attack can reach.
            await manager.spawn(_trivial())
        result = await attack
        if spec.get("observe"):
            await asyncio.sleep(0.3)  # time for a helper to reap what it should
            observed["zombies"] = {
                "host": _zombies(os.getpid()),
                "helper": _zombies(manager.helper_pid),
            }
            observed["after"] = {name: _scheduling(pid) for name, pid in around.items()}
            if "spare" in around:  # the spare that waited while the attack ran
                observed["after"]["spare"] = _scheduling((await _around(manager, 0))["spare"])
            observed["own_after"] = await _own_scheduling(manager, folder.with_name("own"))
        after = await manager.spawn(_trivial())
    finally:
        if neighbour is not None:
            neighbour.cancel()
            await asyncio.gather(neighbour, return_exceptions=True)
        await manager.aclose()
    return {
        "text": escape_probes.everything(result),
        "ran": escape_probes.probe_ran(result),
        "memory_secret": expected,
        "memory_intact": ctypes.string_at(address, len(memory_secret)) == expected.encode(),
        "next_ok": after.error is None and after.output.get("valid") is True,
        **observed,
    }


if __name__ == "__main__":
    report = asyncio.run(main(json.loads(sys.argv[1])))
    print(json.dumps(report))
