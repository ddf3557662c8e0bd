"""How much a worker job costs over a bare interpreter start.

Measures, in one run: the round trip of a trivial "run_function" job through
SubprocessManager.spawn, one job at a time and twenty at once, and the time to
start and end `python -I -c pass` with the same interpreter. The ratio of the
two medians is the manager's and the worker's overhead on top of what any
process-per-job design pays.

    python bench/bench_spawn.py [--runs N]
"""

from __future__ import annotations

import argparse
import asyncio
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

try:
    from velmor.core.subprocess_manager import SubprocessManager, SubprocessTask
except ModuleNotFoundError:  # run from a source tree without an installed package
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "host"))
    from velmor.core.subprocess_manager import SubprocessManager, SubprocessTask

TRIVIAL_TOOL = "def main(args):\n    return args\n"
BATCH = 20


def ms(seconds: float) -> str:
    return f"{seconds * 1000:7.1f} ms"


def bare_interpreter(runs: int) -> list[float]:
    times = []
    for _ in range(runs):
        started = time.perf_counter()
        subprocess.run([sys.executable, "-I", "-c", "pass"], check=True, stdin=subprocess.DEVNULL)
        times.append(time.perf_counter() - started)
    return times


async def timed_spawn(manager: SubprocessManager, task: SubprocessTask) -> float:
    started = time.perf_counter()
    result = await manager.spawn(task)
    elapsed = time.perf_counter() - started
    if result.error:
        raise SystemExit(f"benchmark job failed: {result.error}")
    return elapsed


async def jobs(manager: SubprocessManager, path: str, runs: int) -> tuple[list[float], list[float], list[float]]:
    def task(i: int) -> SubprocessTask:
        return SubprocessTask(
            worker_type="custom",
            command={"action": "run_function", "path": path, "function": "main", "args": {"i": i}},
            timeout=30.0,
        )

    await timed_spawn(manager, task(-1))  # warm the page cache and the loop
    sequential = [await timed_spawn(manager, task(i)) for i in range(runs)]
    concurrent: list[float] = []
    batches: list[float] = []
    for _ in range(max(1, runs // BATCH)):
        started = time.perf_counter()
        concurrent += await asyncio.gather(*(timed_spawn(manager, task(i)) for i in range(BATCH)))
        batches.append(time.perf_counter() - started)
    return sequential, concurrent, batches


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=40, help="jobs and bare starts to time (default 40)")
    runs = parser.parse_args().runs

    manager = SubprocessManager()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "tool.py")
        Path(path).write_text(TRIVIAL_TOOL, encoding="utf-8")
        sequential, concurrent, batches = asyncio.run(jobs(manager, path, runs))
    bare_interpreter(2)  # warm-up
    bare = bare_interpreter(runs)

    bare_median = statistics.median(bare)
    one_median = statistics.median(sequential)
    batch_median = statistics.median(batches)
    print(f"interpreter: {sys.executable} ({sys.version.split()[0]}), {os.cpu_count()} CPUs,"
          f" concurrency limit {manager.max_concurrency}")
    print(f"bare `python -I -c pass`, median of {runs}:       {ms(bare_median)}")
    print(f"trivial job, one at a time, median of {runs}:     {ms(one_median)}"
          f"   ({one_median / bare_median:.2f}x the bare start)")
    print(f"trivial job, {BATCH} at once, median round trip:   {ms(statistics.median(concurrent))}"
          f"   (batch of {BATCH}: median {ms(batch_median).strip()}, {BATCH / batch_median:.0f} jobs/s)")


if __name__ == "__main__":
    main()
