"""What the memory watch (a job's memory bound without a cgroup) lets through and costs.

Overshoot: a spawned job of 8 processes, each allocating and touching
64 MiB, under a 256 MiB budget; the host samples the memory of the job's
pid namespace every 5 ms (as the waiter sums it, a shared page once)
and prints the peak seen against the budget; the sampling itself takes
CPU from the job and its waiter on a small machine. CPU: the host's children's CPU time for a
job that sleeps 1 s, with the watch and (as root) with a memory cgroup
instead, medians of --runs.

    python bench/bench_memory_watch.py [--runs N]
"""

from __future__ import annotations

import argparse
import asyncio
import os
import resource
import statistics
import tempfile
import textwrap

from velmor.core import sandbox as sandboxing
from velmor.core.inside import confinement
from velmor.core.subprocess_manager import SandboxPolicy, SubprocessManager, SubprocessTask

MiB = 1 << 20

GREEDY = """
import os, time
def main(args):
    for _ in range(7):
        if os.fork() == 0:
            break
    held = bytearray(64 << 20)
    for i in range(0, len(held), 4096):
        held[i] = 1
    time.sleep(2)
    return "held"
"""

IDLE = """
import time
def main(args):
    time.sleep(1)
    return "slept"
"""


def task(path: str) -> SubprocessTask:
    command = {"action": "run_function", "path": path, "function": "main", "args": {}}
    return SubprocessTask(worker_type="custom", command=command, timeout=30)


def job_roots() -> tuple[int, ...]:
    """The processes the host's children (the jobs' waiters) forked: the
    namespaces' inits and the jobs' first processes."""
    roots: list[int] = []
    for waiter in _children(os.getpid()):
        roots += _children(waiter)
    return tuple(roots)


def _children(pid: int) -> list[int]:
    found = []
    for thread in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{thread}/children") as file:
                found += [int(child) for child in file.read().split()]
        except OSError:
            continue
    return found


async def overshoot(path: str, budget: int) -> tuple[int, str | None]:
    manager = SubprocessManager(sandbox=SandboxPolicy(max_memory=budget), warm=False)
    try:
        job = asyncio.ensure_future(manager.spawn(task(path)))
        peak = 0
        while not job.done():
            processes = confinement.namespace_processes(job_roots())
            peak = max(peak, confinement.namespace_memory(processes))
            await asyncio.sleep(0.005)
        return peak, (await job).error
    finally:
        manager.close()


async def children_cpu(path: str, runs: int) -> float:
    manager = SubprocessManager(sandbox=SandboxPolicy(), warm=False)
    try:
        used = []
        for _ in range(runs):
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            result = await manager.spawn(task(path))
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            assert result.output == "slept", result
            used.append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
        return statistics.median(used)
    finally:
        manager.close()


async def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    runs = parser.parse_args().runs
    cgroups = sandboxing.memory_cgroups_usable()
    with tempfile.TemporaryDirectory() as folder:
        paths = {}
        for name, source in (("greedy", GREEDY), ("idle", IDLE)):
            paths[name] = os.path.join(folder, f"{name}.py")
            with open(paths[name], "w") as file:
                file.write(textwrap.dedent(source))
        if cgroups:
            with_cgroup = await children_cpu(paths["idle"], runs)
        sandboxing.memory_cgroups_usable = lambda: False  # the watch from here on
        budget = 256 * MiB
        peaks = []
        for _ in range(runs):
            peak, error = await overshoot(paths["greedy"], budget)
            assert error and "memory limit" in error, error
            peaks.append(peak)
        print(f"budget {budget // MiB} MiB, 8 processes x 64 MiB touched, {runs} runs")
        print(
            f"peak seen: median {statistics.median(peaks) / MiB:.0f} MiB, "
            f"most {max(peaks) / MiB:.0f} MiB "
            f"(overshoot {(max(peaks) - budget) / MiB:+.0f} MiB)"
        )
        watched = await children_cpu(paths["idle"], runs)
        print(f"CPU of an idle 1 s job (waiter, init, job): {watched * 1000:.0f} ms with the watch")
        if cgroups:
            print(f"  {with_cgroup * 1000:.0f} ms with a memory cgroup instead")


if __name__ == "__main__":
    asyncio.run(main())
