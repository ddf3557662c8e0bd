"""DynamicTool: one saved custom tool served to the agent through a worker job."""

import json
import types

import pytest

import velmor.core.subprocess_manager as manager_module
import velmor.tools.tool_creator as tc
from tests.fakes import Answering, JobResult, RecordingManager, TaskRecorder
from velmor.tools.base import ToolRegistry
from velmor.tools.tool_creator import DynamicTool

SCRIPT = "/store/weather/tool.py"
SCHEMA = {
    "type": "object",
    "properties": {
        "args": {
            "type": "object",
            "description": "Arguments to pass to the tool's main() function.",
        }
    },
}


@pytest.fixture
def tasks(monkeypatch):
    recorder = TaskRecorder()
    monkeypatch.setattr(tc, "SubprocessTask", recorder)
    return recorder.tasks


def make(*results, manager=None):
    return DynamicTool(
        "weather", "Tells the weather.", SCRIPT, manager or RecordingManager(*results)
    )


class Text(str):
    pass


@pytest.mark.parametrize(
    "tool_name, name", [("weather", "custom_weather"), ("", "custom_"), ("été", "custom_été")]
)
def test_state_and_schema(tool_name, name):
    manager, description = RecordingManager(), "  spaced\nlines  "
    tool = DynamicTool(
        script_path="rel/tool.py",
        tool_description=description,
        subprocess_manager=manager,
        tool_name=tool_name,
    )
    assert list(vars(tool)) == ["_name", "_description", "_script_path", "_manager"]
    assert (tool.name, tool.description, tool._script_path, tool._manager) == (
        name,
        description,
        "rel/tool.py",
        manager,
    )
    assert DynamicTool("n", "d", "p", 0)._manager == 0  # the manager is not checked
    first = tool.parameters
    assert first == SCHEMA and json.dumps(first) == json.dumps(SCHEMA)
    first["properties"]["args"]["type"], first["required"] = "changed", ["args"]
    assert tool.parameters == SCHEMA


@pytest.mark.parametrize("attribute", ["_name", "_description"])
def test_getters_refuse_non_str(attribute):
    tool, prop = make(), attribute[1:]
    for value, typename in ((5, "int"), (b"x", "bytes"), (Text("x"), "Text")):
        setattr(tool, attribute, value)
        with pytest.raises(TypeError) as info:
            getattr(tool, prop)
        assert str(info.value) == f"Expected str, got {typename}"
    setattr(tool, attribute, None)
    assert getattr(tool, prop) is None
    delattr(tool, attribute)
    with pytest.raises(AttributeError):
        getattr(tool, prop)


class TestJob:
    async def test_task_and_command(self, tasks):
        tool = make()
        await tool.execute()
        (task,) = tasks
        assert task.args == () and list(task.kwargs) == ["worker_type", "command", "timeout"]
        assert task.kwargs["worker_type"] == "custom"
        assert type(task.kwargs["timeout"]) is float and task.kwargs["timeout"] == 60.0
        assert list(task.command.items()) == [
            ("action", "run_function"),
            ("path", SCRIPT),
            ("function", "main"),
            ("args", {}),
        ]
        assert tool._manager.calls == [((task,), {})]

    async def test_args_and_attributes_read_at_each_call(self, tasks):
        tool, payload, replacement = make(), [1, 2], RecordingManager()
        for kwargs in (
            {},
            {},
            {"args": None},
            {"args": payload},
            {"args": {"x": 1}, "other": 2, "operation": "x"},
        ):
            await tool.execute(**kwargs)
        sent = [t.command["args"] for t in tasks]
        assert sent == [{}, {}, None, [1, 2], {"x": 1}]
        assert (
            sent[0] is not sent[1] and sent[3] is payload
        )  # a new empty dict each time; no copies
        tool._script_path, tool._manager = "/moved/tool.py", replacement
        await tool.execute()
        assert tasks[-1].command["path"] == "/moved/tool.py" and replacement.tasks == tasks[-1:]

    async def test_hosts_task_class_by_default(self):
        tool = make()
        await tool.execute(args={"a": 1})
        assert isinstance(tool._manager.tasks[0], manager_module.SubprocessTask)


class CountingResult:
    def __init__(self, errors, output=None):
        self.errors, self._output, self.reads = list(errors), output, []

    @property
    def error(self):
        self.reads.append("error")
        return self.errors.pop(0)

    @property
    def output(self):
        self.reads.append("output")
        return self._output


class TestResults:
    @pytest.mark.parametrize(
        "error, text",
        [
            ("worker crashed", "worker crashed"),
            (42, "42"),
            (2.5, "2.5"),
            (ValueError("bad input"), "bad input"),
            (["x"], "['x']"),
        ],
    )
    async def test_error(self, error, text):
        assert (
            await make(JobResult(error=error, output={"ignored": 1})).execute() == "[ERROR] " + text
        )

    @pytest.mark.parametrize("error", ["", None, 0, False, [], 0.0])
    async def test_false_error_is_success(self, error):
        assert (
            await make(JobResult(error=error, output={"ok": True})).execute()
            == '{\n  "ok": true\n}'
        )

    @pytest.mark.parametrize(
        "output",
        [None, {}, [], "text", 3, {"b": {"l": [1, "two", None]}, "a": 2}, {"mot": "été ☃"}],
    )
    async def test_output_as_json(self, output):
        assert await make(JobResult(output=output)).execute() == json.dumps(output, indent=2)

    async def test_attribute_reads(self):
        failing, succeeding = (
            CountingResult(["first", "second"]),
            CountingResult([None], output=[1]),
        )
        assert await make(failing).execute() == "[ERROR] second" and failing.reads == [
            "error",
            "error",
        ]
        assert await make(succeeding).execute() == "[\n  1\n]" and succeeding.reads == [
            "error",
            "output",
        ]

    @pytest.mark.parametrize(
        "result, error",
        [
            (
                {"error": None, "output": {}},
                AttributeError,
            ),  # a result is read through attributes only
            (types.SimpleNamespace(output=1), AttributeError),
            (types.SimpleNamespace(error=None), AttributeError),
            (JobResult(output={1, 2}), TypeError),
            (JobResult(output=object()), TypeError),
        ],
    )
    async def test_bad_results_raise(self, result, error):
        with pytest.raises(error):
            await make(result).execute()

    @pytest.mark.parametrize("patched", ["module name", "json.dumps"])
    async def test_json_dumps_looked_up_at_each_call(self, monkeypatch, patched):
        calls, output = [], {"k": "v"}
        dumps = lambda *a, **k: calls.append((a, k)) or "dumped"  # noqa: E731
        if patched == "json.dumps":
            monkeypatch.setattr(json, "dumps", dumps)
        else:
            monkeypatch.setattr(tc, "json", types.SimpleNamespace(dumps=dumps))
        assert await make(JobResult(output=output)).execute() == "dumped"
        assert calls == [((output,), {"indent": 2})] and calls[0][0][0] is output


class TestFailures:
    async def test_manager_and_awaitable(self):
        with pytest.raises(AttributeError, match="spawn"):
            await DynamicTool("n", "d", "p", None).execute()
        with pytest.raises(TypeError, match=r"^object int can't be used in 'await' expression$"):
            await make(manager=Answering(lambda task: 42)).execute()

    @pytest.mark.parametrize("where", ["task", "spawn", "job"])
    async def test_exceptions_propagate_unchanged(self, where, monkeypatch):
        error = TimeoutError(where)

        def fail(*args, **kwargs):
            raise error

        if where == "task":
            monkeypatch.setattr(tc, "SubprocessTask", fail)
        tool = (
            make(error)
            if where == "job"
            else make(manager=Answering(fail) if where == "spawn" else None)
        )
        with pytest.raises(TimeoutError) as info:
            await tool.execute()
        assert info.value is error

    @pytest.mark.parametrize("name", ["SubprocessTask", "json"])
    async def test_missing_module_name(self, name, monkeypatch):
        monkeypatch.delattr(tc, name)
        with pytest.raises(NameError, match=rf"^name '{name}' is not defined$"):
            await make().execute()


async def test_served_through_a_host_registry(tasks):
    registry, tool = ToolRegistry(), make(JobResult(output={"temp": 21}))
    registry.register(tool)
    assert registry.get("custom_weather") is tool
    assert registry.definitions() == [
        {"name": "custom_weather", "description": "Tells the weather.", "parameters": SCHEMA}
    ]
    assert await registry.call("custom_weather", args={"city": "Oslo"}) == '{\n  "temp": 21\n}'
    assert tasks[0].command["args"] == {"city": "Oslo"}
