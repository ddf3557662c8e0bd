"""Coroutine objects returned by the `execute` methods: protocol, finalisation, asyncio."""

import asyncio
import collections.abc
import gc
import inspect
import weakref

import pytest

import velmor.tools.tool_creator as tc
from tests.fakes import Answering, JobResult, RecordingManager, Step, TaskRecorder, finish
from velmor.tools.tool_creator import DynamicTool, ToolCreatorTool


@pytest.fixture(autouse=True)
def tasks(monkeypatch):
    recorder = TaskRecorder()
    monkeypatch.setattr(tc, "SubprocessTask", recorder)
    return recorder.tasks


class Case:
    """One `execute` call that suspends once in `step`: a dynamic tool's job or a front's run operation."""

    def __init__(self, kind, on_start=None, **step_options):
        self.started = 0

        def start(*args):
            self.started += 1
            if on_start is not None:
                on_start()
            return self.step

        if kind == "dynamic":
            self.step = Step(JobResult(output={"done": True}), **step_options)
            self.tool, self.expected = (
                DynamicTool("t", "d", "p", Answering(start)),
                '{\n  "done": true\n}',
            )
            self.coro = lambda: self.tool.execute(args={})
        else:
            self.step = Step("ran", **step_options)
            self.tool, self.expected = ToolCreatorTool(RecordingManager()), "ran"
            self.tool._run_tool = start
            self.coro = lambda: self.tool.execute(operation="run")
        self.qualname = type(self.tool).__name__ + ".execute"


@pytest.fixture(params=["dynamic", "front"])
def kind(request):
    return request.param


def reused(call):
    with pytest.raises(RuntimeError, match=r"^cannot reuse already awaited coroutine$"):
        call()


class TestProtocol:
    def test_runs_by_hand(self, kind):
        case = Case(kind)
        coro = case.coro()
        assert (coro.__name__, coro.__qualname__) == ("execute", case.qualname)
        assert isinstance(coro, collections.abc.Coroutine) and asyncio.iscoroutine(coro)
        assert case.started == 0  # nothing runs before the first send
        assert coro.send(None) == "step" and case.started == 1 and case.step.awaited == 1
        with pytest.raises(StopIteration) as stop:
            coro.send("resumed")
        assert stop.value.value == case.expected
        assert case.step.sent == [None, "resumed"]  # sent values reach the awaited object
        reused(lambda: coro.send(None))
        reused(lambda: coro.throw(KeyError("late")))
        assert coro.close() is None

    def test_non_none_first_send_refused_then_startable(self, kind):
        case = Case(kind)
        coro = case.coro()
        with pytest.raises(
            TypeError, match=r"^can't send non-None value to a just-started coroutine$"
        ):
            coro.send(1)
        assert case.started == 0 and finish(coro) == case.expected

    @pytest.mark.parametrize("end", ["close", "throw"])
    def test_ended_before_start(self, kind, end):
        case = Case(kind)
        coro = case.coro()
        if end == "close":
            coro.close()
        else:
            error = KeyError("early")
            with pytest.raises(KeyError) as info:
                coro.throw(error)
            assert info.value is error
        reused(lambda: coro.send(None))
        assert case.started == 0

    @pytest.mark.parametrize("via_await", [False, True])
    def test_throw_and_close_forwarded_while_suspended(self, kind, via_await):
        case, other = Case(kind), Case(kind)
        first = case.coro().__await__() if via_await else case.coro()
        second = other.coro().__await__() if via_await else other.coro()
        assert first.send(None) == "step" and second.send(None) == "step"
        error = ConnectionError("lost worker")
        with pytest.raises(ConnectionError) as info:
            first.throw(error)
        assert info.value is error and case.step.thrown == [error]
        assert second.close() is None and other.step.closed == 1
        for coro in (first, second):
            reused(lambda coro=coro: coro.send(None))

    def test_throw_absorbed_by_awaited_object(self, kind):
        case = Case(kind, absorb=True)
        coro = case.coro()
        coro.send(None)
        with pytest.raises(StopIteration) as stop:
            coro.throw(ValueError("absorbed"))
        assert stop.value.value == case.expected and [type(e) for e in case.step.thrown] == [
            ValueError
        ]

    @pytest.mark.parametrize("moment", ["on_start", "on_resume"])
    def test_reentry_refused(self, kind, moment):
        errors, holder = [], []

        def reenter():
            try:
                holder[0].send(None)
            except ValueError as exc:
                errors.append(str(exc))

        case = Case(kind, **{moment: reenter})
        holder.append(case.coro())
        assert finish(holder[0]) == case.expected and errors == ["coroutine already executing"]

    def test_second_await_of_suspended_coroutine_refused(self, kind):
        case = Case(kind)
        coro = case.coro()

        async def await_it():
            return await coro

        first = await_it()
        assert first.send(None) == "step"
        second = await_it()
        with pytest.raises(RuntimeError, match=r"^coroutine is being awaited already$"):
            second.send(None)
        assert case.step.sent == [None]  # the awaited object saw only the first await
        assert finish(first) == case.expected


class TestFinalisation:
    def test_collected_while_suspended_closes_awaited(self, kind):
        case = Case(kind)
        coro = case.coro()
        coro.send(None)
        del coro
        gc.collect()
        assert case.step.closed == 1 and case.step.thrown == []

    def test_cycle_through_suspended_coroutine_collected(self, kind):
        case, closed = Case(kind), []
        coro = case.coro()
        coro.send(None)
        case.step.owner = coro  # coroutine -> awaited object -> coroutine
        case.step.close = lambda: closed.append(True)
        step = weakref.ref(case.step)
        del coro, case
        gc.collect()
        assert step() is None and closed == [True]

    @pytest.mark.filterwarnings("ignore::RuntimeWarning")
    def test_cycle_through_unstarted_coroutine_collected(self):
        args, marker = {}, Step()
        args["self"], args["marker"] = DynamicTool("t", "d", "p", None).execute(args=args), marker
        marker = weakref.ref(marker)
        del args
        gc.collect()
        assert marker() is None

    @pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
    @pytest.mark.parametrize("started", [False, True])
    def test_cycle_through_str_subclass_name_collected(self, kind, attribute, started):
        class Name(str):
            pass

        case = Case(kind)
        coro = case.coro()
        if started:
            coro.send(None)
        coro.close()
        name = Name("named")
        name.owner = coro  # coroutine -> its name -> coroutine
        setattr(coro, attribute, name)
        assert getattr(coro, attribute) is name
        collected = weakref.ref(coro)
        del coro, name
        gc.collect()
        assert collected() is None


class SlowManager:
    """Jobs finish on a later turn of the loop, or never with `forever`; cancellations are recorded."""

    def __init__(self, forever=False):
        self.forever, self.cancelled, self.started = forever, [], asyncio.Event()

    async def spawn(self, task):
        self.started.set()
        try:
            await (asyncio.Event().wait() if self.forever else asyncio.sleep(0))
        except asyncio.CancelledError:
            self.cancelled.append(task)
            raise
        return JobResult(output=task.command["args"])


class TestAsyncio:
    def test_asyncio_run(self):
        assert (
            asyncio.run(DynamicTool("t", "d", "p", SlowManager()).execute(args={"x": 1}))
            == '{\n  "x": 1\n}'
        )

    async def test_tasks_and_python_callers(self):
        tool = DynamicTool("t", "d", "p", SlowManager())

        async def agent():
            return [await tool.execute(args=[1]), await tool.execute(args=[2])]

        assert await asyncio.create_task(agent()) == ["[\n  1\n]", "[\n  2\n]"]
        assert await asyncio.ensure_future(tool.execute(args=3)) == "3"
        results = await asyncio.gather(*(tool.execute(args=i) for i in range(1000)))
        assert results == [str(i) for i in range(1000)]

    async def test_future_returned_by_spawn(self):
        loop = asyncio.get_running_loop()

        def spawn(task):
            future = loop.create_future()
            loop.call_soon(future.set_result, JobResult(error="late failure"))
            return future

        assert (
            await DynamicTool("t", "d", "p", Answering(spawn)).execute() == "[ERROR] late failure"
        )

    @pytest.mark.parametrize("how", ["wait_for", "cancel"])
    async def test_cancellation_reaches_job_then_caller(self, how):
        manager = SlowManager(forever=True)
        task = asyncio.ensure_future(DynamicTool("t", "d", "p", manager).execute())
        if how == "wait_for":
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(task, 0.05)
        else:
            await manager.started.wait()
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
        assert len(manager.cancelled) == 1 and task.cancelled()


class Text(str):
    pass


class Mapping(dict):
    pass


CODE = "def main(args):\n    return {}\n"

# Every coroutine method, and every argument of it that may be a str or dict
# subclass (anything the call hands over): how to call it with `arg` there.
CYCLES = {
    ("_create_tool", "tool_name", Text): lambda c, d, arg: c._create_tool(
        {"tool_name": arg, "code": CODE}
    ),
    ("_create_tool", "tool_name", Mapping): lambda c, d, arg: c._create_tool(
        {"tool_name": arg, "code": CODE}
    ),
    ("_create_tool", "description", Text): lambda c, d, arg: c._create_tool(
        {"tool_name": "t", "description": arg, "code": CODE}
    ),
    ("_create_tool", "description", Mapping): lambda c, d, arg: c._create_tool(
        {"tool_name": "t", "description": arg, "code": CODE}
    ),
    ("_create_tool", "register", Text): lambda c, d, arg: c._create_tool(
        {"tool_name": "t", "register": arg, "code": CODE}
    ),
    ("_create_tool", "register", Mapping): lambda c, d, arg: c._create_tool(
        {"tool_name": "t", "register": arg, "code": CODE}
    ),
    ("_validate_tool", "other keys", Text): lambda c, d, arg: c._validate_tool(
        {"code": CODE, "tool_name": arg}
    ),
    ("_validate_tool", "other keys", Mapping): lambda c, d, arg: c._validate_tool(
        {"code": CODE, "args": arg}
    ),
    # Its one argument must be exactly a str; the cycle goes through `self`.
    ("_validate_code", "self", None): lambda c, d, arg: c._validate_code(CODE),
    ("_run_tool", "tool_name", Text): lambda c, d, arg: c._run_tool({"tool_name": arg}),
    ("_run_tool", "args", Mapping): lambda c, d, arg: c._run_tool(
        {"tool_name": "tool", "args": arg}
    ),
    ("_run_tool", "args", Text): lambda c, d, arg: c._run_tool({"tool_name": "tool", "args": arg}),
    ("execute", "operation", Text): lambda c, d, arg: c.execute(
        operation=arg, tool_name="t", code=CODE
    ),
    ("execute", "tool_name", Text): lambda c, d, arg: c.execute(
        operation="create", tool_name=arg, code=CODE
    ),
    ("execute", "description", Mapping): lambda c, d, arg: c.execute(
        operation="create", tool_name="t", code=CODE, description=arg
    ),
    ("execute", "args", Mapping): lambda c, d, arg: c.execute(
        operation="run", tool_name="tool", args=arg
    ),
    ("DynamicTool.execute", "args", Mapping): lambda c, d, arg: d.execute(args=arg),
    ("DynamicTool.execute", "args", Text): lambda c, d, arg: d.execute(args=arg),
    ("DynamicTool.execute", "other keys", Text): lambda c, d, arg: d.execute(args={}, note=arg),
}


class Holder:
    """Stands for an argument where no argument can be a subclass (the cycle goes through `self`)."""

    def __init__(self, **_):
        pass


class TestCyclesThroughArguments:
    """A suspended coroutine whose argument refers back to it is collected: the
    coroutine keeps every Python value it needs where the collector sees it."""

    def test_every_coroutine_method_is_covered(self):
        def coroutine_methods(cls, prefix=""):
            return {
                prefix + name
                for name in dir(cls)
                if inspect.iscoroutinefunction(getattr(cls, name))
            }

        found = coroutine_methods(ToolCreatorTool) | coroutine_methods(DynamicTool, "DynamicTool.")
        assert found == {method for method, _, _ in CYCLES}

    @pytest.mark.parametrize("case", CYCLES, ids=lambda case: "-".join(map(str, case)))
    def test_cycle_through_suspended_coroutine_collected(self, case, home, monkeypatch):
        method, _, kind = case
        # Tasks that nothing records, so that only the coroutine holds them.
        monkeypatch.setattr(tc, "SubprocessTask", lambda **fields: fields)
        manager = Answering(lambda task: Step())  # the job never answers
        creator = ToolCreatorTool(manager)
        tool = DynamicTool("tool", "d", "p", manager)
        folder = creator._custom_tools_dir / "tool"
        folder.mkdir()
        (folder / "tool.py").write_text(CODE, encoding="utf-8")
        made = {Text: lambda: Text("create" if case[1] == "operation" else "tool")}
        arg = made.get(kind, lambda: (kind or Holder)(key="value"))()
        coro = CYCLES[case](creator, tool, arg)
        assert coro.send(None) == "step"  # suspended in the job
        if kind is None:
            creator.owner = coro  # coroutine -> self -> coroutine
        else:
            arg.owner = coro  # coroutine -> its argument -> coroutine
        collected = weakref.ref(coro)
        del coro, arg, creator, tool
        gc.collect()
        assert collected() is None
