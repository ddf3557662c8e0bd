"""What the worker benchmarks share: the manager's classes, a trivial tool,
timing one job through `spawn`, and timing a bare interpreter start."""

from __future__ import annotations

import subprocess
import sys
import time
from pathlib import Path

try:
    from velmor.core.subprocess_manager import SubprocessManager, SubprocessTask
except ModuleNotFoundError:  # run from a source tree without an installed package
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "host"))
    from velmor.core.subprocess_manager import SubprocessManager, SubprocessTask

__all__ = ["TRIVIAL_TOOL", "SubprocessManager", "bare_start", "run_task", "timed_spawn"]

TRIVIAL_TOOL = "def main(args):\n    return args\n"


def bare_start() -> float:
    """Seconds for `python -I -c pass` with this interpreter."""
    started = time.perf_counter()
    subprocess.run([sys.executable, "-I", "-c", "pass"], check=True, stdin=subprocess.DEVNULL)
    return time.perf_counter() - started


def run_task(path: str, i: int) -> SubprocessTask:
    """A "run_function" job of the tool at `path`."""
    return SubprocessTask(
        worker_type="custom",
        command={"action": "run_function", "path": path, "function": "main", "args": {"i": i}},
        timeout=30.0,
    )


async def timed_spawn(manager: SubprocessManager, job: SubprocessTask) -> float:
    """Seconds for one job through `spawn`; a failed job ends the benchmark."""
    started = time.perf_counter()
    result = await manager.spawn(job)
    elapsed = time.perf_counter() - started
    if result.error:
        raise SystemExit(f"benchmark job failed: {result.error}")
    return elapsed
