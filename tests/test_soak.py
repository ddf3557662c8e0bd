"""A million calls through the main paths: memory stays flat and the reference counts of what was passed
do not move. Slow, so it runs only with VELMOR_SOAK=1."""

import ctypes
import gc
import json
import os
import sys
import time

import pytest

from tests.fakes import JobResult, finish
from tests.store_agents import check_agents, run_agents
from velmor.tools.base import ToolRegistry
from velmor.tools.tool_creator import DynamicTool, ToolCreatorTool

pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(os.environ.get("VELMOR_SOAK") != "1", reason="soak test: set VELMOR_SOAK=1"),
]
CALLS, PER_ROUND, SAMPLES = 1_000_000, 8, 50


class Instant:
    def __init__(self, output):
        self.result = JobResult(output=output)

    async def spawn(self, task):
        return self.result


def rss():
    """Resident memory once the free heap is handed back (glibc keeps a few MB of it, depending on history)."""
    gc.collect()
    getattr(ctypes.CDLL(None), "malloc_trim", lambda pad: 0)(0)
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_a_million_calls(home):
    fresh = (
        "".join
    )  # strings of our own, never interned, so that their reference counts mean something
    verdict, output = {"valid": True, "message": fresh("ok")}, {"n": [1, fresh("én")]}
    creator, runner = (
        ToolCreatorTool(Instant(verdict), ToolRegistry()),
        ToolCreatorTool(Instant(output)),
    )
    dynamic = DynamicTool("soak", "A tool", str(home / "tool.py"), Instant(output))
    for n in range(3):
        finish(
            creator.execute(
                operation="create", tool_name=f"tool_{n}", description="Soak é", code="x = 1\n"
            )
        )
    name, code, unknown, args = (
        fresh("tool_1"),
        fresh("def main(args): pass\n"),
        fresh("nope"),
        {"a": 1},
    )
    passed = [verdict, output, name, code, unknown, args]
    counts = [sys.getrefcount(obj) for obj in passed]

    def round_():
        return [
            finish(creator.execute(operation=unknown)),
            finish(dynamic.execute(args=args)),
            finish(runner.execute(operation="run", tool_name=name, args=args)),
            finish(creator.execute(operation="validate", code=code)),
            creator.parameters,
            dynamic.parameters,
            finish(creator.execute(operation="list")),
            finish(creator.execute(operation="info", tool_name=name)),
        ]

    first = round_()
    assert first[:4] == [
        f"[ERROR] Unknown operation: {unknown}",
        *[json.dumps(output, indent=2)] * 2,
        json.dumps(verdict, indent=2),
    ]
    assert json.loads(first[6])["count"] == 3 and json.loads(first[7])["description"] == "Soak é"
    rounds, samples, started = CALLS // PER_ROUND, [rss()], time.monotonic()
    for n in range(1, rounds + 1):
        round_()
        if n % (rounds // SAMPLES) == 0:
            samples.append(rss())
    elapsed, warm = time.monotonic() - started, samples[SAMPLES // 10]
    print(
        f"\n{rounds * PER_ROUND} calls in {elapsed:.1f} s; RSS {samples[0] / 2**20:.1f} MiB at the start, "
        f"{warm / 2**20:.1f} MiB after warm-up, {samples[-1] / 2**20:.1f} MiB at the end"
    )
    assert round_() == first
    assert max(samples[SAMPLES // 10 :]) - warm < 2 << 20
    assert [sys.getrefcount(obj) for obj in passed] == counts


def test_two_agents_on_one_store_for_half_a_minute(home):
    """Two processes, one store, a random mix of every operation."""
    check_agents(run_agents(home, 30))
