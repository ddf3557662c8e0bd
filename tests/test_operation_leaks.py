"""No reference or memory leaks on any path of the six operations, answered or raised."""

import gc
import logging
import sys
import tracemalloc
import warnings
from pathlib import _local as pathlib_local

import pytest

from velmor.tools.base import ToolRegistry
from velmor.tools.tool_creator import ToolCreatorTool

from tests.operation_fakes import JobResult, finish

ROUNDS = 1000
WARM_UP = 50
CODE = "def main(args):\n    return args\n"



def _lines(function):
    return sorted({line for _, _, line in function.__code__.co_lines() if line})


# The interpreter's own file opening keeps a little memory now and then (interned
# path parts, the buffers of io.open), with or without this module: a plain loop
# of Path.write_text grows too. Allocations made right there are not counted.
INTERPRETER_CHURN = [tracemalloc.Filter(False, pathlib_local.__file__, line)
                     for function in (pathlib_local.Path.open, pathlib_local.PurePath._parse_path)
                     for line in _lines(function)]


def traced():
    snapshot = tracemalloc.take_snapshot().filter_traces(INTERPRETER_CHURN)
    return sum(stat.size for stat in snapshot.statistics("filename"))


def fresh(text):
    """A string object of our own (never interned), so its reference count is meaningful."""
    return "".join(list(text))


class Text(str):
    pass


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


def expect(error, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{error.__name__} not raised")


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
    registry, name, code, description = ToolRegistry(), fresh("leaky"), fresh(CODE), fresh("D\u00e9")
    manager = Manager(JobResult(output={"valid": True}), None)
    tool = ToolCreatorTool(manager, registry)
    refusing = ToolCreatorTool(manager, FailingRegistry(ValueError, fresh("closed")))
    rejecting = ToolCreatorTool(Manager(JobResult(output={"valid": False, "message": 3}), None), registry)
    sub_description, unsafe = Text("sub"), fresh("../x")

    def run():
        assert op(tool, operation="create", tool_name=name, description=description, code=code).startswith("{")
        assert '"registered": false' in op(tool, operation="create", tool_name=name, code=code, register=False)
        assert "registration failed: closed" in op(refusing, operation="create", tool_name=name, code=code)
        assert "registration failed: Argument" in op(tool, operation="create", tool_name=name, code=code,
                                                     description=sub_description)
        assert op(rejecting, operation="create", tool_name=name, code=code) == "[ERROR] Invalid code: 3"
        assert op(tool, operation="create", tool_name=unsafe, code=code).startswith("[ERROR] Invalid tool_name")
        assert op(tool, operation="create", tool_name=name) == "[ERROR] code is required."
        expect(TypeError, op, tool, operation="create", tool_name=5, code=code)

    return [registry, name, code, description, manager, tool, refusing, sub_description, unsafe], run


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
        assert op(tool, operation="run", tool_name=name, args=args).startswith('{\n  "r\\u00e9sultat"')
        assert op(tool, operation="run", tool_name=name) == op(tool, operation="run", tool_name=name, args=None)
        assert op(failing, operation="run", tool_name=name, args=args) == "[ERROR] ValueError: bad input"
        assert op(tool, operation="run", tool_name=fresh("nope")).startswith("[ERROR] Tool script not found: ")
        assert op(tool, operation="run", args=args) == "[ERROR] tool_name is required."
        assert op(tool, operation="run", tool_name=fresh("a\0b")).startswith("[ERROR] Invalid tool_name")
        expect(TypeError, op, unencodable, operation="run", tool_name=name)
        expect(TypeError, tool._run_tool, sub)

    return [output, args, name, tool, error, failing, unencodable, sub], run


SCENARIOS = [scenario_validate, scenario_create, scenario_catalogue, scenario_run]


@pytest.fixture(autouse=True)
def quiet_logger(monkeypatch):
    """Registration failures log warnings; keep them from piling up in pytest's log capture."""
    monkeypatch.setattr(logging.getLogger("velmor.tool_creator"), "disabled", True)


@pytest.mark.parametrize("scenario", SCENARIOS, ids=[s.__name__.removeprefix("scenario_") for s in SCENARIOS])
def test_references_and_memory_flat(scenario, home):
    objects, run = scenario(home)
    warnings.simplefilter("ignore")
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
    # One leaked object per round would be at least 16 bytes a round.
    assert grown < ROUNDS * 4, f"traced memory grew by {grown} bytes over {ROUNDS} rounds"
