"""How much a worker job costs, warm and spawned, against a bare interpreter start.

Measures, in one run:

- the time to start and end `python -I -c pass` with the same interpreter,
  which any design that starts an interpreter per job pays;
- the round trip of a trivial "run_function" job through
  SubprocessManager.spawn, one job at a time, with the warm helper (forked
  workers) and with the spawning fallback (`warm=False`);
- the total time of a batch of trivial jobs kept twenty at a time in flight,
  in both modes.

and checks the targets: a warm job at most 0.3 times a bare start, and the
warm batch at most 0.3 times the spawned one.

    python bench/bench_spawn.py [--runs N] [--jobs N]
"""

from __future__ import annotations

import argparse
import asyncio
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

from worker_jobs import TRIVIAL_TOOL, SubprocessManager, bare_start, run_task, timed_spawn

IN_FLIGHT = 20
TARGET = 0.3


def ms(seconds: float) -> str:
    return f"{seconds * 1000:7.1f} ms"


def bare_interpreter(runs: int) -> list[float]:
    return [bare_start() for _ in range(runs)]


async def measure(
    manager: SubprocessManager, path: str, runs: int, jobs: int
) -> tuple[list[float], float]:
    """Round trips one at a time, then the total time of `jobs` jobs, IN_FLIGHT at once."""
    await timed_spawn(manager, run_task(path, -1))  # start the helper, warm the page cache
    sequential = [await timed_spawn(manager, run_task(path, i)) for i in range(runs)]
    window = asyncio.Semaphore(IN_FLIGHT)

    async def one(i: int) -> float:
        async with window:
            return await timed_spawn(manager, run_task(path, i))

    started = time.perf_counter()
    await asyncio.gather(*(one(i) for i in range(jobs)))
    return sequential, time.perf_counter() - started


def verdict(ratio: float, of_what: str) -> str:
    return f"{ratio:.2f}x {of_what}; target <= {TARGET}x: {'met' if ratio <= TARGET else 'MISSED'}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--runs",
        type=int,
        default=40,
        help="one-at-a-time jobs and bare starts to time (default 40)",
    )
    parser.add_argument("--jobs", type=int, default=200, help="jobs in the batch run (default 200)")
    options = parser.parse_args()
    runs, jobs = options.runs, options.jobs

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "tool.py")
        Path(path).write_text(TRIVIAL_TOOL, encoding="utf-8")
        bare_interpreter(2)  # warm-up
        bare = bare_interpreter(runs)
        warm = SubprocessManager()
        if not warm.warm:
            raise SystemExit("fork is not available here: there is no warm mode to measure")
        try:
            warm_one, warm_batch = asyncio.run(measure(warm, path, runs, jobs))
        finally:
            warm.close()
        spawning = SubprocessManager(warm=False)
        spawn_one, spawn_batch = asyncio.run(measure(spawning, path, runs, jobs))

    bare_median = statistics.median(bare)
    warm_median = statistics.median(warm_one)
    spawn_median = statistics.median(spawn_one)
    print(
        f"interpreter: {sys.executable} ({sys.version.split()[0]}), {os.cpu_count()} CPUs,"
        f" concurrency limit {warm.max_concurrency}"
    )
    print(f"bare `python -I -c pass`, median of {runs}:          {ms(bare_median)}")
    print(
        f"trivial job, spawned, one at a time, median:     {ms(spawn_median)}"
        f"   ({spawn_median / bare_median:.2f}x the bare start)"
    )
    print(
        f"trivial job, warm, one at a time, median:        {ms(warm_median)}"
        f"   ({verdict(warm_median / bare_median, 'the bare start')})"
    )
    print(
        f"{jobs} trivial jobs, {IN_FLIGHT} at once, spawned:         {ms(spawn_batch)}   ({jobs / spawn_batch:.0f} jobs/s)"
    )
    print(
        f"{jobs} trivial jobs, {IN_FLIGHT} at once, warm:            {ms(warm_batch)}"
        f"   ({jobs / warm_batch:.0f} jobs/s; {verdict(warm_batch / spawn_batch, 'the spawned batch')})"
    )


if __name__ == "__main__":
    main()
