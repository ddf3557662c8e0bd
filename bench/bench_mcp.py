"""What the MCP server adds to a custom-tool call, against the same call through the registry.

Measures, in one run and in a fresh temporary home holding one saved tool:

- the round trip of one `custom_<name>` call through `registry.call(...)` in
  this process, with the saved tools loaded into a registry of its own;
- the round trip of the same call from the official MCP client
  (`ClientSession` over stdio) to `velmor-tools serve`.

Both run the tool in a real worker process. The calls alternate, so that
both see the same load on a shared machine, and the medians are compared.
Target: the MCP call at most 1.5 times the registry call.

    python bench/bench_mcp.py [--runs N]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

from mcp import ClientSession, StdioServerParameters, stdio_client
from velmor.tools.tool_creator import ToolCreatorTool

from velmor.tools.base import ToolRegistry
from velmor.tools.saved import load_saved_tools

TOOL = "adder"
CODE = "def main(args):\n    return {'sum': args['a'] + args['b']}\n"
ARGS = {"a": 40, "b": 2}
EXPECTED = {"sum": 42}
TARGET = 1.5
WARM_UP = 5


def ms(seconds: float) -> str:
    return f"{seconds * 1000:7.2f} ms"


async def measure(home: Path, runs: int) -> tuple[list[float], list[float]]:
    registry = ToolRegistry()
    creator = ToolCreatorTool(tool_registry=registry)
    answer = await creator.execute(operation="create", tool_name=TOOL, code=CODE, register=False)
    if answer.startswith("[ERROR]"):
        raise SystemExit(f"could not create the benchmark tool: {answer}")
    load_saved_tools(registry, creator._manager)
    script = Path(sys.executable).with_name("velmor-tools")
    server = StdioServerParameters(command=str(script), args=["serve"], env={"HOME": str(home)})

    async def through_registry() -> float:
        started = time.perf_counter()
        answer = await registry.call(f"custom_{TOOL}", args=ARGS)
        elapsed = time.perf_counter() - started
        if json.loads(answer) != EXPECTED:
            raise SystemExit(f"unexpected answer through the registry: {answer}")
        return elapsed

    try:
        async with (
            stdio_client(server) as (read, write),
            ClientSession(read, write) as session,
        ):
            await session.initialize()

            async def through_mcp() -> float:
                started = time.perf_counter()
                result = await session.call_tool(f"custom_{TOOL}", {"args": ARGS})
                elapsed = time.perf_counter() - started
                if result.is_error or json.loads(result.content[0].text) != EXPECTED:
                    raise SystemExit(f"unexpected answer through MCP: {result}")
                return elapsed

            for _ in range(WARM_UP):  # start both helpers, warm the caches
                await through_registry()
                await through_mcp()
            direct, served = [], []
            for _ in range(runs):
                direct.append(await through_registry())
                served.append(await through_mcp())
    finally:
        await creator._manager.aclose()
    return direct, served


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=60, help="calls of each kind (default 60)")
    runs = parser.parse_args().runs

    home = Path(tempfile.mkdtemp(prefix="velmor-bench-home-"))
    os.environ["HOME"] = str(home)  # the store lives under ~/.velmor
    try:
        direct, served = asyncio.run(measure(home, runs))
    finally:
        shutil.rmtree(home, ignore_errors=True)

    direct_median, served_median = statistics.median(direct), statistics.median(served)
    ratio = served_median / direct_median
    print(f"interpreter: {sys.executable} ({sys.version.split()[0]}), {os.cpu_count()} CPUs")
    print(f"custom tool call through the registry, median of {runs}: {ms(direct_median)}")
    print(f"the same call through MCP (stdio), median of {runs}:    {ms(served_median)}")
    print(
        f"MCP / registry: {ratio:.2f}x; target <= {TARGET}x: {'met' if ratio <= TARGET else 'MISSED'}"
    )


if __name__ == "__main__":
    main()
