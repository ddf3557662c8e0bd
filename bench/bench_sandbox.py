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

    python bench/bench_sandbox.py [--runs N]
"""

from __future__ import annotations

import argparse
import asyncio
import os
import statistics
import sys
import tempfile
from pathlib import Path

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
    finally:
        for manager in managers.values():
            manager.close()

    print(f"interpreter: {sys.executable} ({sys.version.split()[0]}), {os.cpu_count()} CPUs")
    print(f"sandbox layers: {', '.join(sorted(sandbox.layers))}")
    print(f"medians, interleaved ({runs} warm runs each, {max(10, runs // 4)} spawned):")
    for name, median in medians.items():
        label = "bare `python -I -c pass`" if name == "bare" else f"trivial job, {name}"
        print(f"  {label:38} {ms(median)}")
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
