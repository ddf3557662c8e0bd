"""Which system calls legitimate tools make: the evidence behind the job filter.

Runs every tool of tests/legitimate_tools.py through an unsandboxed, spawned
SubprocessManager under `strace -f`, keeps the calls made by the worker
processes (from their exec of the worker on) and everything they start, and
writes the set, one name a line, to

    tests/golden/observed_job_calls.<machine>.txt

It then compares the set with the job filter's allowed calls and prints what
was seen but is not allowed (which a tool would get ENOSYS or EPERM for) and
what is allowed but was not seen. tests/test_seccomp_policy.py checks that the
checked-in observation stays inside the filter.

    python bench/trace_job_calls.py [--output PATH]
"""

from __future__ import annotations

import argparse
import asyncio
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
from collections import Counter
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

DEFAULT_OUTPUT = ROOT / "tests" / "golden" / f"observed_job_calls.{platform.machine()}.txt"
SPAWNING = {"clone", "clone3", "fork", "vfork"}
WORKER_MARK = "custom_worker.py"

_LINE = re.compile(r"^(\d+)\s+(.*)$")
_RESUMED = re.compile(r"^<\.\.\. (\w+) resumed>")
_CALL = re.compile(r"^(\w+)\(")
_RESULT = re.compile(r"\)\s+=\s+(-?\d+)")


def run_tools() -> int:
    """The traced part: every tool once, in a worker of its own; 1 if any answer was wrong."""
    from tests.legitimate_tools import TOOLS

    from velmor.core.subprocess_manager import SubprocessManager, SubprocessTask

    async def run_all() -> int:
        manager = SubprocessManager(warm=False, sandbox=False)
        wrong = 0
        with tempfile.TemporaryDirectory() as folder:
            for tool in TOOLS:
                path = Path(folder) / f"{tool.name}.py"
                path.write_text(tool.source, encoding="utf-8")
                command = {"action": "run_function", "path": str(path), "function": "main"}
                command["args"] = {}
                task = SubprocessTask(worker_type="custom", command=command, timeout=60)
                result = await manager.spawn(task)
                if result.output != tool.expected:
                    wrong += 1
                    print(f"{tool.name}: {result.output!r} {result.error!r}", file=sys.stderr)
        manager.close()
        return wrong

    return 1 if asyncio.run(run_all()) else 0


def parse(trace: str) -> Counter[str]:
    """The calls of the worker processes and their descendants, by name."""
    events = []  # (pid, name, finished, text) in the order strace wrote them
    for line in trace.splitlines():
        match = _LINE.match(line)
        if match is None:
            continue
        pid, body = int(match[1]), match[2]
        if resumed := _RESUMED.match(body):
            events.append((pid, resumed[1], True, body, False))
        elif call := _CALL.match(body):
            unfinished = body.endswith("<unfinished ...>")
            events.append((pid, call[1], not unfinished, body, True))
    # Where each worker's exec happened, and who made each process when.
    exec_at: dict[int, int] = {}
    made_by: dict[int, tuple[int, int]] = {}
    started: dict[int, int] = {}  # pid -> index of the call that is still unfinished
    pending_text: dict[int, str] = {}
    for index, (pid, name, finished, body, first) in enumerate(events):
        if first:
            started[pid] = index
            pending_text[pid] = body
        if not finished:
            continue
        text = pending_text.get(pid, "") + body
        result = _RESULT.search(body)
        if name == "execve" and WORKER_MARK in text and result and result[1] == "0":
            exec_at.setdefault(pid, started[pid])
        if name in SPAWNING and result and int(result[1]) > 0:
            made_by[int(result[1])] = (pid, started[pid])

    def traced_from(pid: int, seen: frozenset = frozenset()) -> int | None:
        if pid in exec_at:
            return exec_at[pid]
        if pid not in made_by or pid in seen:
            return None
        parent, when = made_by[pid]
        since = traced_from(parent, seen | {pid})
        return 0 if since is not None and when >= since else None

    calls: Counter[str] = Counter()
    for index, (pid, name, _, _, first) in enumerate(events):
        since = traced_from(pid)
        if first and since is not None and index >= since:
            calls[name] += 1
    return calls


def allowed_calls() -> set[str]:
    from velmor.core import _sandbox

    allowed = set()
    for line in _sandbox.describe_filter(True).splitlines():
        name, _, answer = line.partition(" ")
        if not name.startswith("#") and "allow" in answer:
            allowed.add(name)
    return allowed


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT)
    parser.add_argument("--run", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.run:
        return run_tools()
    strace = shutil.which("strace")
    if strace is None:
        print("strace is needed", file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory() as folder:
        log = os.path.join(folder, "trace")
        done = subprocess.run(
            [strace, "-f", "-qq", "-s", "256", "-o", log, sys.executable, __file__, "--run"],
            check=False,
        )
        calls = parse(Path(log).read_text(errors="replace"))
    if done.returncode != 0 or not calls:
        print("the traced run failed: the observation is not written", file=sys.stderr)
        return 1
    options.output.parent.mkdir(parents=True, exist_ok=True)
    header = "# System calls legitimate tools made, seen by bench/trace_job_calls.py\n"
    lines = sorted(calls)
    options.output.write_text(header + "\n".join(lines) + "\n", encoding="utf-8")
    print(f"{len(calls)} calls observed, written to {options.output}")
    allowed = allowed_calls()
    print("observed, not allowed:", " ".join(sorted(set(calls) - allowed)) or "none")
    print("allowed, not observed:", " ".join(sorted(allowed - set(calls))) or "none")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
