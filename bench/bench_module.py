"""What the native module itself costs per call, against plain Python.

The baseline below is written for this comparison only: the same steps as the
module's `ToolCreatorTool` and `DynamicTool` (argument handling, dispatch,
schema building, task construction, JSON text) in ordinary Python. Both run
with an instant in-process manager, so no worker process is involved and the
difference is the module's own overhead. Calls are awaited from a Python
coroutine, as a host awaits a tool; the unknown operation is also timed
driven by send(), as an event loop drives a task's coroutine. Also times list
and info on a store of 1,000 tools, and create: the module's (each file
written to a temporary file, synced and renamed over the final name, then the
folder synced) against the same durable steps in plain Python and against
the in-place writes create used to make, medians of calls taken in turns.

    python bench/bench_module.py [--repeat N]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import tempfile
import time
import timeit
from pathlib import Path
from typing import Any

# Targets: the module's per-call time as a share of the baseline's.
TARGETS = {
    "execute (unknown operation)": 0.5,
    "  the same, driven by send()": 0.5,
    "parameters": 0.5,
    "DynamicTool.execute": 0.9,
    "validate operation": 0.9,
}


class JobResult:
    __slots__ = ("error", "output")

    def __init__(self, error=None, output=None):
        self.error = error
        self.output = output


class InstantJob:
    """An awaitable that is already done: awaiting it yields nothing."""

    __slots__ = ("result",)

    def __init__(self, result):
        self.result = result

    def __await__(self):
        return self.result
        yield  # makes this a generator; never reached


class InstantManager:
    def __init__(self, result):
        self.result = result

    def spawn(self, task):
        return InstantJob(self.result)


class Task:
    """A stand-in for the host's task class: keywords in, attributes out."""

    __slots__ = ("worker_type", "command", "timeout")

    def __init__(self, worker_type, command, timeout):
        self.worker_type = worker_type
        self.command = command
        self.timeout = timeout


# ---- the plain-Python baseline ----------------------------------------------


class BaselineCreator:
    def __init__(self, manager):
        self._manager = manager

    @property
    def parameters(self) -> dict[str, Any]:
        return {
            "type": "object",
            "properties": {
                "operation": {
                    "type": "string",
                    "enum": ["create", "validate", "list", "delete", "run", "info"],
                    "description": (
                        "The operation to perform:\n- create: Create and save a new custom tool\n"
                        "- validate: Check if tool code is valid\n- list: List all custom tools\n"
                        "- delete: Delete a custom tool\n- run: Execute a custom tool directly\n"
                        "- info: Get details about a custom tool"
                    ),
                },
                "tool_name": {
                    "type": "string",
                    "description": "Name for the custom tool (snake_case).",
                },
                "description": {
                    "type": "string",
                    "description": "Description of what the tool does.",
                },
                "code": {
                    "type": "string",
                    "description": "Python code for the tool. Must define a 'main(args: dict) -> dict' function that accepts a dict of arguments and returns a dict with 'success' and 'result' keys.",
                },
                "args": {
                    "type": "object",
                    "description": "Arguments to pass when running the tool.",
                },
                "register": {
                    "type": "boolean",
                    "description": "Whether to register the tool for LLM use (default: true).",
                },
            },
            "required": ["operation"],
        }

    async def execute(self, **kwargs: Any) -> Any:
        operation = kwargs.get("operation", "list")
        if operation == "create":
            return await self._create_tool(kwargs)
        elif operation == "validate":
            return await self._validate_tool(kwargs)
        elif operation == "list":
            return self._list_tools()
        elif operation == "delete":
            return self._delete_tool(kwargs)
        elif operation == "run":
            return await self._run_tool(kwargs)
        elif operation == "info":
            return self._tool_info(kwargs)
        return f"[ERROR] Unknown operation: {operation}"

    async def _create_tool(self, kwargs: dict) -> str:
        if type(kwargs) is not dict:
            raise TypeError("kwargs")
        tool_name = kwargs.get("tool_name", "")
        description = kwargs.get("description", "")
        code = kwargs.get("code", "")
        should_register = kwargs.get("register", True)
        if not tool_name:
            return "[ERROR] tool_name is required."
        if not code:
            return "[ERROR] code is required."
        validation = await self._validate_code(code)
        if not validation.get("valid"):
            return f"[ERROR] Invalid code: {validation.get('message', 'Unknown error')}"
        tool_dir = self._custom_tools_dir / tool_name
        tool_dir.mkdir(parents=True, exist_ok=True)
        script_path = tool_dir / "tool.py"
        self._write(tool_dir, "tool.py", code)
        metadata = {
            "name": tool_name,
            "description": description,
            "script": str(script_path),
            "created_by": "agent",
        }
        self._write(tool_dir, "metadata.json", json.dumps(metadata, indent=2))
        self._written(tool_dir)
        assert not should_register
        answer = {
            "created": tool_name,
            "path": str(script_path),
            "registered": False,
            "description": description,
        }
        return json.dumps(answer, indent=2)

    def _write(self, folder: Path, name: str, text: str) -> None:
        (folder / name).write_text(text, encoding="utf-8")  # in place, as create used to

    def _written(self, folder: Path) -> None:
        pass

    async def _validate_tool(self, kwargs: dict) -> str:
        if type(kwargs) is not dict:
            raise TypeError("kwargs")
        code = kwargs.get("code", "")
        if not code:
            return "[ERROR] code is required."
        result = await self._validate_code(code)
        return json.dumps(result, indent=2)

    async def _validate_code(self, code: str) -> dict:
        if type(code) is not str:
            raise TypeError("code")
        task = Task(
            worker_type="custom", command={"action": "validate", "code": code}, timeout=10.0
        )
        result = await self._manager.spawn(task)
        if result.error:
            return {"valid": False, "message": result.error}
        output = result.output
        if output:
            if type(output) is not dict:
                raise TypeError("output")
            return output
        return {"valid": False, "message": "No validation result"}


class DurableBaselineCreator(BaselineCreator):
    """The module's durable writes, in plain Python."""

    def _write(self, folder: Path, name: str, text: str) -> None:
        temporary = folder / f".{name}.{os.getpid()}.{os.urandom(8).hex()}.tmp"
        try:
            temporary.write_text(text, encoding="utf-8")
            fd = os.open(temporary, os.O_RDONLY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
            os.replace(temporary, folder / name)
        except BaseException:
            temporary.unlink(missing_ok=True)
            raise

    def _written(self, folder: Path) -> None:
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


class BaselineDynamicTool:
    def __init__(self, tool_name: str, tool_description: str, script_path: str, subprocess_manager):
        for name, value in (
            ("tool_name", tool_name),
            ("tool_description", tool_description),
            ("script_path", script_path),
        ):
            if type(value) is not str:
                raise TypeError(name)
        self._name = f"custom_{tool_name}"
        self._description = tool_description
        self._script_path = script_path
        self._manager = subprocess_manager

    async def execute(self, **kwargs: Any) -> Any:
        args = kwargs.get("args", {})
        task = Task(
            worker_type="custom",
            command={
                "action": "run_function",
                "path": self._script_path,
                "function": "main",
                "args": args,
            },
            timeout=60.0,
        )
        result = await self._manager.spawn(task)
        if result.error:
            return f"[ERROR] {result.error}"
        return json.dumps(result.output, indent=2)


# ---- measurement ----------------------------------------------------------------


def drive(coro):
    """Runs a coroutine that never really suspends, without an event loop."""
    try:
        coro.send(None)
    except StopIteration as done:
        return done.value
    raise RuntimeError("the coroutine suspended")


def per_call(fn, number: int, repeat: int) -> float:
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def per_await(make, number: int, repeat: int) -> float:
    """Per-call time of `await make()` inside a coroutine, as a host awaits a tool."""

    async def loop():
        start = time.perf_counter()
        for _ in range(number):
            await make()
        return time.perf_counter() - start

    return min(drive(loop()) for _ in range(repeat)) / number


def compare(repeat: int) -> list[tuple[str, float, float]]:
    import velmor.tools.tool_creator as module

    module.SubprocessTask = Task  # both sides build the same task type
    run_result = JobResult(output={"success": True, "result": [1, 2, 3]})
    verdict = JobResult(output={"valid": True, "message": "Code is valid."})

    native = module.ToolCreatorTool(subprocess_manager=InstantManager(verdict))
    baseline = BaselineCreator(InstantManager(verdict))
    native_tool = module.DynamicTool("t", "d", "/p/tool.py", InstantManager(run_result))
    baseline_tool = BaselineDynamicTool("t", "d", "/p/tool.py", InstantManager(run_result))
    for a, b in [
        (drive(native.execute(operation="nope")), drive(baseline.execute(operation="nope"))),
        (native.parameters, baseline.parameters),
        (drive(native_tool.execute(args={"x": 1})), drive(baseline_tool.execute(args={"x": 1}))),
        (
            drive(native.execute(operation="validate", code="x")),
            drive(baseline.execute(operation="validate", code="x")),
        ),
    ]:
        assert a == b, (a, b)

    awaited = [
        (
            "execute (unknown operation)",
            lambda: native.execute(operation="nope"),
            lambda: baseline.execute(operation="nope"),
            50000,
        ),
        (
            "DynamicTool.execute",
            lambda: native_tool.execute(args={"x": 1}),
            lambda: baseline_tool.execute(args={"x": 1}),
            10000,
        ),
        (
            "validate operation",
            lambda: native.execute(operation="validate", code="x"),
            lambda: baseline.execute(operation="validate", code="x"),
            10000,
        ),
    ]
    rows = [
        (name, per_await(a, number, repeat), per_await(b, number, repeat))
        for name, a, b, number in awaited
    ]
    # As an event loop's task drives a top-level coroutine: send(), then
    # StopIteration, on both sides alike.
    rows.insert(
        1,
        (
            "  the same, driven by send()",
            per_call(lambda: drive(native.execute(operation="nope")), 50000, repeat),
            per_call(lambda: drive(baseline.execute(operation="nope")), 50000, repeat),
        ),
    )
    native_read = lambda: native.parameters  # noqa: E731
    baseline_read = lambda: baseline.parameters  # noqa: E731
    rows.insert(
        2,
        (
            "parameters",
            per_call(native_read, 50000, repeat),
            per_call(baseline_read, 50000, repeat),
        ),
    )
    return rows


def store_of(n: int, home: Path) -> None:
    root = home / ".velmor" / "custom_tools"
    for i in range(n):
        folder = root / f"tool_{i:04d}"
        folder.mkdir(parents=True)
        (folder / "tool.py").write_text("def main(args):\n    return args\n" * 3, encoding="utf-8")
        (folder / "metadata.json").write_text(
            json.dumps(
                {
                    "name": folder.name,
                    "description": f"Tool number {i}",
                    "script": str(folder / "tool.py"),
                    "created_by": "agent",
                },
                indent=2,
            ),
            encoding="utf-8",
        )


def catalogue(repeat: int) -> list[tuple[str, float]]:
    import velmor.tools.tool_creator as module

    with tempfile.TemporaryDirectory() as home:
        os.environ["HOME"] = home
        store_of(1000, Path(home))
        creator = module.ToolCreatorTool(subprocess_manager=InstantManager(None))
        listing = lambda: drive(creator.execute(operation="list"))  # noqa: E731
        info = lambda: drive(creator.execute(operation="info", tool_name="tool_0500"))  # noqa: E731
        assert json.loads(listing())["count"] == 1000
        return [
            ("list, 1,000 tools", per_call(listing, 3, repeat)),
            ("info, 1,000 tools", per_call(info, 200, repeat)),
        ]


def creates(calls: int) -> list[tuple[str, float]]:
    """Median per-call time of a create, each way, the calls taken in turns so
    that the disk's load falls on all alike; and of a bare fsync of a small
    new file, the floor any durable write pays."""
    import velmor.tools.tool_creator as module

    code = "def main(args):\n    return {'words': len(args['text'].split())}\n" * 20
    verdict = JobResult(output={"valid": True, "message": "Code is valid."})
    with tempfile.TemporaryDirectory() as home:
        os.environ["HOME"] = home
        root = Path(home) / ".velmor" / "custom_tools"
        native = module.ToolCreatorTool(subprocess_manager=InstantManager(verdict))
        ways = {"module, durable": native}
        for name, cls in [
            ("Python, durable", DurableBaselineCreator),
            ("Python, in place", BaselineCreator),
        ]:
            ways[name] = cls(InstantManager(verdict))
            ways[name]._custom_tools_dir = root
        for i, way in enumerate(ways.values()):  # the same answer and files every way
            answer = drive(
                way.execute(operation="create", tool_name=f"t{i}", code=code, register=False)
            )
            script = root / f"t{i}" / "tool.py"
            assert json.loads(answer) == {
                "created": f"t{i}",
                "path": str(script),
                "registered": False,
                "description": "",
            }
            assert script.read_text(encoding="utf-8") == code
            assert json.loads((script.parent / "metadata.json").read_text())["script"] == str(
                script
            )
        samples: dict[str, list[float]] = {name: [] for name in [*ways, "bare fsync"]}
        for i in range(calls):
            for j, (name, way) in enumerate(ways.items()):
                call = way.execute(operation="create", tool_name=f"t{j}", code=code, register=False)
                start = time.perf_counter()
                drive(call)
                samples[name].append(time.perf_counter() - start)
            start = time.perf_counter()
            fd = os.open(root / f"bare{i}", os.O_WRONLY | os.O_CREAT, 0o600)
            os.write(fd, code.encode())
            os.fsync(fd)
            os.close(fd)
            samples["bare fsync"].append(time.perf_counter() - start)
        return [(name, statistics.median(times)) for name, times in samples.items()]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5, help="timing rounds; the best is kept")
    parser.add_argument("--creates", type=int, default=60, help="creates timed each way")
    options = parser.parse_args()

    print(f"{'per call':30} {'module':>10} {'baseline':>10} {'ratio':>7} {'target':>7}")
    for name, native, baseline in compare(options.repeat):
        ratio = native / baseline
        target = TARGETS[name]
        print(
            f"{name:30} {native * 1e6:8.2f} us {baseline * 1e6:8.2f} us {ratio:7.2f} {target:7.2f}"
            f"{'' if ratio <= target else '  (missed)'}"
        )
    print()
    for name, seconds in catalogue(options.repeat):
        print(f"{name:30} {seconds * 1e3:8.2f} ms")
    print()
    medians = dict(creates(options.creates))
    for name, seconds in medians.items():
        print(f"{'create, ' + name if name != 'bare fsync' else name:30} {seconds * 1e3:8.2f} ms")
    extra = medians["module, durable"] - medians["Python, in place"]
    print(
        f"{'durable writes add':30} {extra * 1e3:8.2f} ms per create over in-place writes "
        f"(target <= 2 ms{'' if extra <= 0.002 else ', missed'}); "
        f"module / Python, both durable: {medians['module, durable'] / medians['Python, durable']:.2f}x"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
