"""What the sandbox costs a job, against the same job without it, in one run.

Measures, interleaved round by round so that the load of a shared machine
falls on each pair alike (the warm pair and the bare start first, then the
spawned pair, whose interpreter starts would otherwise crowd the warm jobs):

- `python -I -c pass` with the same interpreter (the bare start);
- a trivial "run_function" job through SubprocessManager.spawn, one at a
  time, with the warm helper, sandboxed (the default) and with
  `sandbox=False`;
- the same with spawned workers (`warm=False`), sandboxed and not.

and checks the targets: the sandbox adds at most 0.5 ms (or 1.3x) to the
median warm job, and the sandboxed warm job stays at most 0.3x the bare start.
It also times the confinement's steps on their own, in throw-away children:
the job's pid namespace (its init and the fork into it), each step of the
spare stage (the world built, pivot_root among them; taken ahead of a warm
job) and of the job stage (own files and scratch attached, root sealed,
Landlock, filter; on a warm job's path), and the job's exit as its parent
sees it, its world taken down with it (on the path too).

    python bench/bench_sandbox.py [--runs N]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

from velmor.core import sandbox as sandboxing
from velmor.core.inside import confinement
from worker_jobs import TRIVIAL_TOOL, SubprocessManager, bare_start, run_task, timed_spawn

ADDED_TARGET_MS = 0.5
ADDED_TARGET_RATIO = 1.3
BARE_TARGET = 0.3


def ms(seconds: float) -> str:
    return f"{seconds * 1000:7.2f} ms"


async def measure(
    managers: dict[str, SubprocessManager], path: str, runs: int, bare: bool
) -> dict[str, float]:
    times: dict[str, list[float]] = {name: [] for name in managers}
    if bare:
        times["bare"] = []
    for manager in managers.values():
        for i in range(3):  # start the helper, warm the page cache
            await timed_spawn(manager, run_task(path, -i))
    for i in range(runs):
        for name, manager in managers.items():
            times[name].append(await timed_spawn(manager, run_task(path, i)))
        if bare:
            times["bare"].append(await asyncio.to_thread(bare_start))
    return {name: statistics.median(values) for name, values in times.items()}


def step_times(policy: sandboxing.SandboxPolicy, tool: str, rounds: int) -> dict[str, float]:
    """Median seconds of each step of the confinement (the native sequence
    times its own steps), each round in a throw-away child (which the steps
    change for good); and of the job's exit as its waiting parent sees it,
    its world taken down with it (the last process of its mount namespace)."""
    native = sandboxing._native_module()
    shared = sandboxing.world_description(policy)
    times: dict[str, list[float]] = {}
    for _ in range(rounds):
        read, write = os.pipe()
        child = os.fork()
        if child == 0:
            os.close(read)
            native.confine("helper", shared)
            own = confinement.own_mounts(native, [tool])
            description, _ = confinement.spare_description(native, shared)
            started = time.perf_counter()
            init, user_namespace = native.pid_namespace(description["uid"], description["gid"])
            figures, end = os.pipe()
            go, signal_go = os.pipe()
            job = os.fork()
            if job == 0:
                steps = [
                    ("pid namespace (init, user namespace, fork)", time.perf_counter() - started)
                ]
                spare = {**description, "user_namespace": user_namespace}
                steps += [(f"spare: {step}", took) for step, took in native.confine("spare", spare)]
                job_description = {**description, "scratch": "/tmp/velmor-bench-job", "own": own}
                steps += [
                    (f"job: {step}", took) for step, took in native.confine("job", job_description)
                ]
                os.write(end, json.dumps(steps).encode())
                os.close(end)
                os.read(go, 1)
                os._exit(0)
            os.close(end)
            steps = json.loads(os.read(figures, 65536) or b"null")
            exiting = time.perf_counter()
            os.write(signal_go, b"x")  # the job exits now
            os.waitpid(job, 0)
            steps.append(("job's exit, its world taken down", time.perf_counter() - exiting))
            os.write(write, json.dumps(steps).encode())
            os.kill(init, 9)
            os._exit(0)
        os.close(write)
        steps = json.loads(os.read(read, 65536) or b"null")
        os.close(read)
        os.waitpid(child, 0)
        if steps is None:
            raise SystemExit("a confinement stage failed in the step benchmark")
        for name, value in steps:
            times.setdefault(name, []).append(value)
    return {name: statistics.median(values) for name, values in times.items()}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--runs", type=int, default=100, help="warm jobs of each kind (default 100)"
    )
    runs = parser.parse_args().runs
    managers = {
        "warm, sandboxed": SubprocessManager(),
        "warm, sandbox=False": SubprocessManager(sandbox=False),
        "spawned, sandboxed": SubprocessManager(warm=False),
        "spawned, sandbox=False": SubprocessManager(warm=False, sandbox=False),
    }
    sandbox = managers["warm, sandboxed"].sandbox
    assert sandbox is not None
    if sandbox.missing:
        raise SystemExit(sandbox.missing)
    try:
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "tool.py")
            Path(path).write_text(TRIVIAL_TOOL, encoding="utf-8")
            warm = {name: managers[name] for name in list(managers)[:2]}
            spawned = {name: managers[name] for name in list(managers)[2:]}
            medians = asyncio.run(measure(warm, path, runs, bare=True))
            medians.update(asyncio.run(measure(spawned, path, max(10, runs // 4), bare=False)))
            steps = step_times(sandbox.policy, path, max(10, runs // 4))
    finally:
        for manager in managers.values():
            manager.close()

    print(f"interpreter: {sys.executable} ({sys.version.split()[0]}), {os.cpu_count()} CPUs")
    print(f"sandbox layers: {', '.join(sorted(sandbox.layers))}")
    print(f"medians, interleaved ({runs} warm runs each, {max(10, runs // 4)} spawned):")
    for name, median in medians.items():
        label = "bare `python -I -c pass`" if name == "bare" else f"trivial job, {name}"
        print(f"  {label:38} {ms(median)}")
    print("confinement steps, medians (each in a throw-away child; spare: ahead of a warm job):")
    for name, median in steps.items():
        print(f"  {name:52} {ms(median)}")
    for stage in ("spare", "job"):
        total = sum(median for name, median in steps.items() if name.startswith(f"{stage}: "))
        print(f"  {stage + ' stage in all':52} {ms(total)}")
    warm, bare_warm = medians["warm, sandboxed"], medians["warm, sandbox=False"]
    added, ratio = warm - bare_warm, warm / bare_warm
    met = added * 1000 <= ADDED_TARGET_MS or ratio <= ADDED_TARGET_RATIO
    print(
        f"sandbox adds to the warm job: {added * 1000:.2f} ms ({ratio:.2f}x);"
        f" target <= {ADDED_TARGET_MS} ms or <= {ADDED_TARGET_RATIO}x: {'met' if met else 'MISSED'}"
    )
    spawned = medians["spawned, sandboxed"] - medians["spawned, sandbox=False"]
    print(f"sandbox adds to the spawned job: {spawned * 1000:.2f} ms (no target)")
    share = warm / medians["bare"]
    print(
        f"warm sandboxed job: {share:.2f}x the bare start;"
        f" target <= {BARE_TARGET}x: {'met' if share <= BARE_TARGET else 'MISSED'}"
    )


if __name__ == "__main__":
    main()
