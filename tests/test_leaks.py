"""No reference or memory leaks on any call path, successful or failing."""

import gc
import os
import sys
import tracemalloc
import warnings

import pytest

from velmor.tools.tool_creator import DynamicTool, ToolCreatorTool

from tests.fakes import Answering, JobResult, Step, finish

ROUNDS = 4000


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


def calls_and_binding(manager):
    name, payload, keyword, sub, number = fresh("n"), Payload(), fresh("registry"), Text("s"), 10 ** 40
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


def dynamic_runs(manager):
    args, bad, error = {"x": fresh("y")}, Payload(), fresh("worker failed")
    suspending = DynamicTool("n", "d", "p", Answering(lambda task: Step(JobResult(output=args))))
    failing = DynamicTool("n", "d", "p", Done(JobResult(error=error)))
    unencodable = DynamicTool("n", "d", "p", Done(JobResult(output=bad)))
    unawaitable = DynamicTool("n", "d", "p", Answering(lambda task: bad))
    holder = []
    reentrant = DynamicTool("n", "d", "p", Answering(
        lambda task: expect(ValueError, holder[0].send, None) or Step(JobResult(output=1))))

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


def dispatch(manager):
    payload, text = Payload(), fresh("value")
    tool = ToolCreatorTool(manager)

    async def coroutine_operation(kwargs):
        return "plain"

    def info(kwargs):
        raise LookupError("no such tool")

    tool._create_tool = tool._validate_tool = tool._run_tool = coroutine_operation
    tool._list_tools, tool._delete_tool, tool._tool_info = (lambda: "plain"), (lambda kwargs: "plain"), info
    names = [fresh(op) for op in ("create", "validate", "list", "delete", "run")]
    unknown, matching, raising = Operation(None), Operation("delete"), Operation("raise")

    def run():
        for op in names:
            finish(tool.execute(operation=op, tool_name=text, extra=payload))
        assert finish(tool.execute()) == "plain"
        assert finish(tool.execute(operation=unknown, tool_name=text)) == "[ERROR] Unknown operation: operation"
        assert finish(tool.execute(operation=matching)) == "plain"
        expect(ArithmeticError, finish, tool.execute(operation=raising))
        expect(LookupError, finish, tool.execute(operation="info", tool_name=text))

    return [payload, text, tool, unknown, matching, raising, *names], run


SCENARIOS = [calls_and_binding, dynamic_runs, dispatch]


@pytest.fixture
def manager():
    return Done(JobResult(output={}))


@pytest.mark.parametrize("scenario", SCENARIOS, ids=[s.__name__ for s in SCENARIOS])
def test_references_and_traced_memory_flat(scenario, manager):
    warnings.simplefilter("ignore")  # pytest keeps every warning shown: that memory is not ours
    objects, run = scenario(manager)
    for _ in range(100):
        run()
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in objects]
    tracemalloc.start()
    try:
        run()
        gc.collect()
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(ROUNDS):
            run()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(obj) for obj in objects] == counts
    assert grown < ROUNDS * 4, f"traced memory grew by {grown} bytes"  # a leaked object is 16 bytes or more


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer's allocator keeps memory")
def test_resident_memory_flat(manager):
    """Native allocations, which tracemalloc does not see, do not pile up either."""
    warnings.simplefilter("ignore")
    runs = [scenario(manager)[1] for scenario in SCENARIOS]

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
