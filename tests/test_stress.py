"""Hundreds of jobs at once on the real host: every answer right, every file intact, nothing left running."""

import asyncio
import json
import os
import tempfile
import time
from pathlib import Path

import pytest

from velmor.core.subprocess_manager import SubprocessManager
from velmor.tools.base import ToolRegistry
from velmor.tools.tool_creator import ToolCreatorTool

# Hundreds of real jobs: left out of `make test-fast`.
pytestmark = pytest.mark.slow

RUNS, CREATES, AT_ONCE = 500, 100, 50
ECHO = 'def main(args):\n    n = args["n"]\n    return {"n": n, "square": n * n, "text": "\\u00e9" * (n % 4)}\n'


def processes(jobs_dir):
    """This process's descendants, and every process working in a job directory under `jobs_dir`."""
    children, found = {}, set()
    for proc in Path("/proc").glob("[0-9]*"):
        try:
            ppid = int((proc / "stat").read_text().rsplit(")", 1)[1].split()[1])
            children.setdefault(ppid, []).append(int(proc.name))
            if os.readlink(proc / "cwd").startswith(str(jobs_dir)):
                found.add(int(proc.name))
        except OSError:  # gone meanwhile, or not ours to look at
            continue
    todo = [os.getpid()]
    while todo:
        todo += children.get(todo.pop(), [])
        found.update(todo)
    return found


async def test_runs_and_creates_fifty_at_a_time(home, tmp_path, monkeypatch):
    monkeypatch.setattr(
        tempfile, "tempdir", str(tmp_path)
    )  # the manager makes each job's directory here
    earlier = processes(tmp_path)  # what other tests' managers may still hold
    registry, manager = ToolRegistry(), SubprocessManager()
    creator, root = ToolCreatorTool(manager, registry), home / ".velmor" / "custom_tools"
    assert (
        json.loads(await creator.execute(operation="create", tool_name="echo", code=ECHO))[
            "registered"
        ]
        is True
    )
    gate = asyncio.Semaphore(AT_ONCE)

    async def limited(call, *args, **kwargs):
        async with gate:
            return await call(*args, **kwargs)

    calls, codes = [], {}
    for n in range(RUNS + CREATES):  # a create after every five runs; the runs through both ways in
        if n % 6 == 5:
            name = f"tool_{n}"
            codes[name] = (
                f"# Tool {n}, café\ndef main(args):\n    return {{'tool': {n}, 'args': args}}\n"
            )
            calls.append(
                limited(
                    creator.execute,
                    operation="create",
                    tool_name=name,
                    description=f"{name} ✓",
                    code=codes[name],
                )
            )
        else:
            calls.append(
                limited(creator.execute, operation="run", tool_name="echo", args={"n": n})
                if n % 2
                else limited(registry.call, "custom_echo", args={"n": n})
            )
    started = time.monotonic()
    answers = await asyncio.gather(*calls)
    print(
        f"\n{RUNS} runs and {CREATES} creates, {AT_ONCE} at a time: {time.monotonic() - started:.1f} s"
    )

    for n, answer in enumerate(answers):
        if n % 6 != 5:
            assert answer == json.dumps({"n": n, "square": n * n, "text": "é" * (n % 4)}, indent=2)
            continue
        name = f"tool_{n}"
        script, meta = root / name / "tool.py", {"name": name, "description": f"{name} ✓"}
        assert json.loads(answer) == {
            "created": name,
            "path": str(script),
            "registered": True,
            "description": meta["description"],
        }
        assert script.read_bytes() == codes[name].encode()
        assert json.loads((root / name / "metadata.json").read_bytes()) == {
            **meta,
            "script": str(script),
            "created_by": "agent",
        }
    assert await registry.call("custom_tool_11", args={"x": [1]}) == json.dumps(
        {"tool": 11, "args": {"x": [1]}}, indent=2
    )
    if hasattr(manager, "aclose"):  # a manager with a helper process of its own ends it here
        await manager.aclose()
    for _ in range(50):
        if not processes(tmp_path) - earlier:
            break
        await asyncio.sleep(0.1)
    assert processes(tmp_path) - earlier == set()
    assert [path.name for path in tmp_path.iterdir()] == ["home"]  # every job directory removed
