"""No reference or memory leaks on any call path, successful or failing: the
function and coroutine machinery and every operation."""

import gc
import logging
import os
import sys
import tracemalloc
import warnings
from pathlib import _local as pathlib_local

import pytest

from tests.fakes import Answering, JobResult, Step, finish
from velmor.tools.base import ToolRegistry
from velmor.tools.tool_creator import DynamicTool, ToolCreatorTool

# Every call path a thousand times over, watching memory: left out of `make test-fast`.
pytestmark = pytest.mark.slow

ROUNDS = 1000
WARM_UP = 50
CODE = "def main(args):\n    return args\n"


def _lines(function):
    return sorted({line for _, _, line in function.__code__.co_lines() if line})


# The interpreter's own file opening keeps a little memory now and then (interned
# path parts, the buffers of io.open), with or without this module: a plain loop
# of Path.write_text grows too. Allocations made right there are not counted.
INTERPRETER_CHURN = [
    tracemalloc.Filter(False, pathlib_local.__file__, line)
    for function in (pathlib_local.Path.open, pathlib_local.PurePath._parse_path)
    for line in _lines(function)
]


def traced():
    snapshot = tracemalloc.take_snapshot().filter_traces(INTERPRETER_CHURN)
    return sum(stat.size for stat in snapshot.statistics("filename"))


def fresh(text):
    """A string object of our own (never interned), so that its reference count means something."""
    return "".join(list(text))


class Payload:
    pass


class Text(str):
    pass


class Done:
    """A manager whose `spawn` is a coroutine that finishes at once."""

    def __init__(self, result):
        self.result = result

    async def spawn(self, task):
        return self.result


class Operation:
    def __init__(self, matches):
        self.matches = matches

    def __eq__(self, other):
        if self.matches == "raise":
            raise ArithmeticError("cannot compare")
        return other == self.matches

    __hash__ = object.__hash__

    def __format__(self, spec):
        return "operation"


def expect(error, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{error.__name__} not raised")


def calls_and_binding(home):
    manager = Done(JobResult(output={}))
    name, payload, keyword, sub, number = (
        fresh("n"),
        Payload(),
        fresh("registry"),
        Text("s"),
        10**40,
    )
    creator, broken = ToolCreatorTool(manager, payload), DynamicTool("n", "d", "p", manager)
    broken._name, broken._description = number, sub

    def run():
        tool = DynamicTool(name, name, name, manager)
        assert tool.name == "custom_n" and tool.description is name and tool.parameters
        assert ToolCreatorTool(manager, payload).parameters and creator.name and creator.description
        creator.set_registry(**{keyword: payload})  # a keyword name that is not interned
        expect(TypeError, DynamicTool, name)
        expect(TypeError, DynamicTool, name, name, name, manager, payload)
        expect(TypeError, DynamicTool, name, name, name, manager, bogus=payload)
        expect(TypeError, DynamicTool, name, name, name, manager, tool_name=payload)
        expect(TypeError, ToolCreatorTool.set_registry, creator, payload, registry=payload)
        expect(TypeError, creator.execute, payload, operation=payload)
        expect(TypeError, DynamicTool, payload, name, name, manager)
        expect(TypeError, DynamicTool, name, name, sub, manager)  # with a note
        expect(TypeError, getattr, broken, "name")
        expect(TypeError, getattr, broken, "description")

    return [name, payload, keyword, sub, number, manager, creator], run


def dynamic_runs(home):
    args, bad, error = {"x": fresh("y")}, Payload(), fresh("worker failed")
    suspending = DynamicTool("n", "d", "p", Answering(lambda task: Step(JobResult(output=args))))
    failing = DynamicTool("n", "d", "p", Done(JobResult(error=error)))
    unencodable = DynamicTool("n", "d", "p", Done(JobResult(output=bad)))
    unawaitable = DynamicTool("n", "d", "p", Answering(lambda task: bad))
    holder = []
    reentrant = DynamicTool(
        "n",
        "d",
        "p",
        Answering(
            lambda task: expect(ValueError, holder[0].send, None) or Step(JobResult(output=1))
        ),
    )

    def run():
        assert finish(suspending.execute(args=args, other=bad)) == '{\n  "x": "y"\n}'
        assert finish(failing.execute()) == "[ERROR] worker failed"
        expect(TypeError, finish, unencodable.execute(args=args))
        expect(TypeError, finish, unawaitable.execute(args=args))
        coro = suspending.execute(args=args)
        coro.send(None)
        expect(KeyError, coro.throw, KeyError("k"))
        coro = suspending.execute(args=args)
        coro.send(None)
        coro.close()
        coro = suspending.execute(args=args)
        coro.send(None)
        del coro  # dropped while suspended
        coro = suspending.execute(args=args)
        expect(TypeError, coro.send, 1)
        it = coro.__await__()
        next(it)
        expect(StopIteration, it.send, None)
        expect(RuntimeError, coro.send, None)
        holder.append(reentrant.execute(args=args))
        finish(holder[0])
        holder.clear()
        suspending.execute(args=args)  # never started

    return [args, bad, error, suspending, unawaitable], run


def dispatch(home):
    manager = Done(JobResult(output={}))
    payload, text = Payload(), fresh("value")
    tool = ToolCreatorTool(manager)

    async def coroutine_operation(kwargs):
        return "plain"

    def info(kwargs):
        raise LookupError("no such tool")

    tool._create_tool = tool._validate_tool = tool._run_tool = coroutine_operation
    tool._list_tools, tool._delete_tool, tool._tool_info = (
        (lambda: "plain"),
        (lambda kwargs: "plain"),
        info,
    )
    names = [fresh(op) for op in ("create", "validate", "list", "delete", "run")]
    unknown, matching, raising = Operation(None), Operation("delete"), Operation("raise")

    def run():
        for op in names:
            finish(tool.execute(operation=op, tool_name=text, extra=payload))
        assert finish(tool.execute()) == "plain"
        assert (
            finish(tool.execute(operation=unknown, tool_name=text))
            == "[ERROR] Unknown operation: operation"
        )
        assert finish(tool.execute(operation=matching)) == "plain"
        expect(ArithmeticError, finish, tool.execute(operation=raising))
        expect(LookupError, finish, tool.execute(operation="info", tool_name=text))

    return [payload, text, tool, unknown, matching, raising, *names], run


class Sub(dict):
    pass


class Unencodable:
    pass


class Manager:
    """Answers each job by its action; keeps nothing of the jobs."""

    def __init__(self, validate, run):
        self.answers = {"validate": validate, "run_function": run}

    async def spawn(self, task):
        return self.answers[task.command["action"]]


class FailingRegistry:
    """Raises a new `error_type(message)` from `register` and `get` (a reused instance would
    pile up tracebacks)."""

    def __init__(self, error_type, message):
        self.error_type, self.message = error_type, message

    def register(self, tool):
        raise self.error_type(self.message)

    def get(self, name):
        raise self.error_type(self.message)


def op(tool, **kwargs):
    return finish(tool.execute(**kwargs))


def scenario_validate(home):
    verdict, message, code = {"valid": True, "extra": [1]}, fresh("SyntaxError: x"), fresh(CODE)
    good = ToolCreatorTool(Manager(JobResult(output=verdict), None))
    failing = ToolCreatorTool(Manager(JobResult(error=message, output=verdict), None))
    empty = ToolCreatorTool(Manager(JobResult(output={}), None))
    wrong = ToolCreatorTool(Manager(JobResult(output=[verdict]), None))

    def run():
        assert op(good, operation="validate", code=code).startswith('{\n  "valid": true')
        assert '"SyntaxError: x"' in op(failing, operation="validate", code=code)
        assert "No validation result" in op(empty, operation="validate", code=code)
        assert op(good, operation="validate", code=None) == "[ERROR] code is required."
        expect(TypeError, op, wrong, operation="validate", code=code)
        expect(TypeError, op, good, operation="validate", code=Text(code))  # refused with a note
        expect(TypeError, op, good, operation="validate", code=verdict)

    return [verdict, message, code, good, failing], run


def scenario_create(home):
    registry, name, code, description = (
        ToolRegistry(),
        fresh("leaky"),
        fresh(CODE),
        fresh("D\u00e9"),
    )
    manager = Manager(JobResult(output={"valid": True}), None)
    tool = ToolCreatorTool(manager, registry)
    refusing = ToolCreatorTool(manager, FailingRegistry(ValueError, fresh("closed")))
    rejecting = ToolCreatorTool(
        Manager(JobResult(output={"valid": False, "message": 3}), None), registry
    )
    sub_description, unsafe = Text("sub"), fresh("../x")

    def run():
        assert op(
            tool, operation="create", tool_name=name, description=description, code=code
        ).startswith("{")
        assert '"registered": false' in op(
            tool, operation="create", tool_name=name, code=code, register=False
        )
        assert "registration failed: closed" in op(
            refusing, operation="create", tool_name=name, code=code
        )
        assert "registration failed: Argument" in op(
            tool, operation="create", tool_name=name, code=code, description=sub_description
        )
        assert (
            op(rejecting, operation="create", tool_name=name, code=code)
            == "[ERROR] Invalid code: 3"
        )
        assert op(tool, operation="create", tool_name=unsafe, code=code).startswith(
            "[ERROR] Invalid tool_name"
        )
        assert op(tool, operation="create", tool_name=name) == "[ERROR] code is required."
        expect(TypeError, op, tool, operation="create", tool_name=5, code=code)

    return [
        registry,
        name,
        code,
        description,
        manager,
        tool,
        refusing,
        sub_description,
        unsafe,
    ], run


def scenario_catalogue(home):
    registry, name, other, missing = ToolRegistry(), fresh("kept"), fresh("gone"), fresh("missing")
    tool = ToolCreatorTool(Manager(JobResult(output={"valid": True}), None), registry)
    finish(tool.execute(operation="create", tool_name=name, description=fresh("Kept."), code=CODE))
    (tool._custom_tools_dir / "bare").mkdir()
    (tool._custom_tools_dir / "plain").write_text("not a folder")
    empty = ToolCreatorTool(Manager(None, None))
    empty._custom_tools_dir = home / "no_store"
    broken = ToolCreatorTool(Manager(None, None), FailingRegistry(LookupError, "get"))
    broken._custom_tools_dir = home / "broken"
    (home / "broken" / "bad").mkdir(parents=True)
    (home / "broken" / "bad" / "metadata.json").write_text("{not json")
    kwargs, sub = {"tool_name": name}, Sub(tool_name=name)

    def run():
        assert '"count": 2' in tool._list_tools()
        assert empty._list_tools().startswith("No custom tools found.")
        expect(ValueError, broken._list_tools)
        assert '"code_lines": 2' in tool._tool_info(kwargs)
        assert tool._tool_info({"tool_name": fresh("plain")}) == '{\n  "name": "plain"\n}'
        assert tool._tool_info({"tool_name": missing}) == "[ERROR] Tool not found: missing"
        assert tool._tool_info({}) == "[ERROR] tool_name is required."
        assert tool._tool_info({"tool_name": fresh("a/b")}).startswith("[ERROR] Invalid tool_name")
        expect(ValueError, broken._tool_info, {"tool_name": "bad"})
        expect(TypeError, tool._tool_info, sub)
        expect(TypeError, tool._delete_tool, None)
        finish(tool.execute(operation="create", tool_name=other, code=CODE))
        assert tool._delete_tool({"tool_name": other}) == "Deleted custom tool: gone"
        assert tool._delete_tool({"tool_name": missing}) == "[ERROR] Tool not found: missing"
        assert tool._delete_tool({"tool_name": fresh("..")}).startswith("[ERROR] Invalid tool_name")
        expect(NotADirectoryError, tool._delete_tool, {"tool_name": "plain"})
        (home / "broken" / "doomed").mkdir()
        expect(LookupError, broken._delete_tool, {"tool_name": "doomed"})

    return [registry, name, other, missing, tool, empty, broken, kwargs, sub], run


def scenario_run(home):
    output, args, name = {"r\u00e9sultat": [1, None]}, {"x": fresh("y")}, fresh("runner")
    tool = ToolCreatorTool(Manager(JobResult(output={"valid": True}), JobResult(output=output)))
    finish(tool.execute(operation="create", tool_name=name, code=CODE))
    error = fresh("ValueError: bad input")
    failing = ToolCreatorTool(Manager(None, JobResult(error=error, output=output)))
    unencodable = ToolCreatorTool(Manager(None, JobResult(output=Unencodable())))
    sub = Sub(tool_name=name)

    def run():
        assert op(tool, operation="run", tool_name=name, args=args).startswith(
            '{\n  "r\\u00e9sultat"'
        )
        assert op(tool, operation="run", tool_name=name) == op(
            tool, operation="run", tool_name=name, args=None
        )
        assert (
            op(failing, operation="run", tool_name=name, args=args)
            == "[ERROR] ValueError: bad input"
        )
        assert op(tool, operation="run", tool_name=fresh("nope")).startswith(
            "[ERROR] Tool script not found: "
        )
        assert op(tool, operation="run", args=args) == "[ERROR] tool_name is required."
        assert op(tool, operation="run", tool_name=fresh("a\0b")).startswith(
            "[ERROR] Invalid tool_name"
        )
        expect(TypeError, op, unencodable, operation="run", tool_name=name)
        expect(TypeError, tool._run_tool, sub)

    return [output, args, name, tool, error, failing, unencodable, sub], run


SCENARIOS = [
    calls_and_binding,
    dynamic_runs,
    dispatch,
    scenario_validate,
    scenario_create,
    scenario_catalogue,
    scenario_run,
]


@pytest.fixture(autouse=True)
def quiet_logger(monkeypatch):
    """Registration failures log warnings; keep them from piling up in pytest's log capture."""
    monkeypatch.setattr(logging.getLogger("velmor.tool_creator"), "disabled", True)


@pytest.mark.parametrize(
    "scenario", SCENARIOS, ids=[s.__name__.removeprefix("scenario_") for s in SCENARIOS]
)
def test_references_and_traced_memory_flat(scenario, home):
    warnings.simplefilter("ignore")  # pytest keeps every warning shown: that memory is not ours
    objects, run = scenario(home)
    for _ in range(WARM_UP):
        run()
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in objects]
    tracemalloc.start()
    try:
        run()
        gc.collect()
        start = traced()
        for _ in range(ROUNDS):
            run()
        gc.collect()
        grown = traced() - start
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(obj) for obj in objects] == counts
    if not under_coverage():  # which records, in traced memory, each line as it first runs
        # One leaked object per round would be at least 16 bytes a round.
        assert grown < ROUNDS * 4, f"traced memory grew by {grown} bytes over {ROUNDS} rounds"


def under_coverage():
    monitoring = sys.monitoring
    return sys.gettrace() is not None or monitoring.get_tool(monitoring.COVERAGE_ID) is not None


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer's allocator keeps memory"
)
def test_resident_memory_flat(home):
    """Native allocations, which tracemalloc does not see, do not pile up either."""
    warnings.simplefilter("ignore")
    runs = [scenario(home)[1] for scenario in (calls_and_binding, dynamic_runs, dispatch)]

    def resident():
        gc.collect()
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    for _ in range(500):
        for run in runs:
            run()
    before = resident()
    for _ in range(5000):
        for run in runs:
            run()
    assert resident() - before < 2 * 1024 * 1024
