"""ToolCreatorTool: construction, registry, self-description and dispatch."""

import json
import logging
import pathlib

import pytest

import velmor.core.subprocess_manager as manager_module
import velmor.tools.tool_creator as tc
from velmor.tools.base import ToolRegistry
from velmor.tools.tool_creator import ToolCreatorTool

from tests.fakes import RecordingManager, Step, finish

DESCRIPTION = (
    "Create new tools at runtime. Write Python code that extends the agent's capabilities. Created tools are "
    "validated, saved, and can be immediately registered for use. Use this when you need a specialized tool "
    "that doesn't exist yet."
)
OPERATION_TEXT = (
    "The operation to perform:\n- create: Create and save a new custom tool\n- validate: Check if tool code is valid\n"
    "- list: List all custom tools\n- delete: Delete a custom tool\n- run: Execute a custom tool directly\n"
    "- info: Get details about a custom tool"
)
PARAMETERS = {
    "type": "object",
    "properties": {
        "operation": {"type": "string", "enum": ["create", "validate", "list", "delete", "run", "info"],
                      "description": OPERATION_TEXT},
        "tool_name": {"type": "string", "description": "Name for the custom tool (snake_case)."},
        "description": {"type": "string", "description": "Description of what the tool does."},
        "code": {"type": "string", "description": "Python code for the tool. Must define a 'main(args: dict) -> "
                 "dict' function that accepts a dict of arguments and returns a dict with 'success' and 'result' keys."},
        "args": {"type": "object", "description": "Arguments to pass when running the tool."},
        "register": {"type": "boolean", "description": "Whether to register the tool for LLM use (default: true)."},
    },
    "required": ["operation"],
}
# operation, method, whether execute awaits what the method returns
OPERATIONS = [("create", "_create_tool", True), ("validate", "_validate_tool", True), ("list", "_list_tools", False),
              ("delete", "_delete_tool", False), ("run", "_run_tool", True), ("info", "_tool_info", False)]
METHOD = {op: method for op, method, _ in OPERATIONS}


class Recorder(ToolCreatorTool):
    """Its operations record their calls and answer a fresh object each."""

    def record(self, name, args, kwargs):
        self.__dict__.setdefault("calls", []).append((name, args, kwargs))
        self.__dict__.setdefault("answers", {})[name] = answer = object()
        return answer


def _recording(name, coroutine):
    async def async_method(self, *args, **kwargs):
        return self.record(name, args, kwargs)

    def method(self, *args, **kwargs):
        return self.record(name, args, kwargs)

    return async_method if coroutine else method


for _op, _method, _coroutine in OPERATIONS:
    setattr(Recorder, _method, _recording(_method, _coroutine))


class Falsy:
    def __bool__(self):
        return False


class Exploding:
    def __bool__(self):
        raise ZeroDivisionError("truth test")


@pytest.fixture
def made(monkeypatch):
    """Managers that the constructor builds, through the module's SubprocessManager name."""
    made = []

    class Manager:
        def __init__(self, *args, **kwargs):
            assert not args and not kwargs
            made.append(self)

    monkeypatch.setattr(tc, "SubprocessManager", Manager)
    return made


@pytest.fixture
def tool():
    tool = Recorder(RecordingManager())
    tool.calls = []
    return tool


class TestConstruction:
    def test_state_and_store_root(self, home):
        root = home / ".velmor" / "custom_tools"
        (root / "old_tool").mkdir(parents=True)
        manager, registry = RecordingManager(), Exploding()  # the registry is stored, not truth-tested
        tool = ToolCreatorTool(manager, registry)
        assert list(vars(tool)) == ["_manager", "_registry", "_custom_tools_dir"]
        assert tool._manager is manager and tool._registry is registry
        assert tool._custom_tools_dir == root and type(tool._custom_tools_dir) is type(pathlib.Path.home())
        assert (root / "old_tool").is_dir()
        assert ToolCreatorTool()._custom_tools_dir == root
        assert isinstance(ToolCreatorTool()._manager, manager_module.SubprocessManager)

    @pytest.mark.parametrize("kwargs", [{}, {"subprocess_manager": None}, {"subprocess_manager": Falsy()},
                                        {"subprocess_manager": []}, {"subprocess_manager": 0}])
    def test_own_manager_when_none_given(self, made, kwargs):
        first, second = ToolCreatorTool(**kwargs), ToolCreatorTool(**kwargs)
        assert made == [first._manager, second._manager] and first._manager is not second._manager

    def test_manager_name_needed_only_without_manager(self, monkeypatch):
        monkeypatch.delattr(tc, "SubprocessManager")
        assert ToolCreatorTool(RecordingManager())
        with pytest.raises(NameError, match=r"^name 'SubprocessManager' is not defined$"):
            ToolCreatorTool()

    @pytest.mark.parametrize("failure", ["truth-test", "manager"])
    def test_errors_propagate_before_the_store_is_made(self, failure, home, monkeypatch):
        error = ZeroDivisionError("failed")

        def broken():
            raise error

        monkeypatch.setattr(tc, "SubprocessManager", broken)
        with pytest.raises(ZeroDivisionError) as info:
            ToolCreatorTool(Exploding() if failure == "truth-test" else None)
        assert (failure == "truth-test") != (info.value is error)
        assert not (home / ".velmor").exists()

    @pytest.mark.parametrize("blocker, error", [(".velmor/custom_tools", FileExistsError),
                                                (".velmor", NotADirectoryError)])
    def test_store_root_that_cannot_be_made(self, home, blocker, error):
        (home / blocker).parent.mkdir(parents=True, exist_ok=True)
        (home / blocker).write_text("in the way")
        with pytest.raises(error):
            ToolCreatorTool(RecordingManager())

    def test_init_again_resets_state(self, made):
        tool = ToolCreatorTool(RecordingManager(), "registry")
        assert tool.__init__() is None
        assert tool._manager is made[0] and tool._registry is None


class TestRegistry:
    def test_set_registry_last_wins(self):
        tool = ToolCreatorTool(RecordingManager(), tool_registry="initial")
        for registry in (ToolRegistry(), Exploding(), None, ToolRegistry()):
            assert tool.set_registry(registry) is None and tool._registry is registry
        assert list(vars(tool)) == ["_manager", "_registry", "_custom_tools_dir"]

    async def test_served_through_a_host_registry(self):
        registry = ToolRegistry()
        registry.register(ToolCreatorTool(RecordingManager(), registry))
        assert registry.definitions() == [{"name": "tool_creator", "description": DESCRIPTION,
                                           "parameters": PARAMETERS}]
        assert await registry.call("tool_creator", operation="nope") == "[ERROR] Unknown operation: nope"


def test_self_description():
    tool = ToolCreatorTool(RecordingManager())
    assert tool.name == "tool_creator" and tool.description == DESCRIPTION
    first = tool.parameters
    assert first == PARAMETERS and json.dumps(first) == json.dumps(PARAMETERS)  # insertion order too
    assert len(first["properties"]["operation"]["description"]) == 248
    assert type(first["properties"]["operation"]["enum"]) is list and type(first["required"]) is list
    first["properties"]["operation"]["enum"].append("extra")  # every read is a new, independent dict
    first["properties"]["args"]["type"] = first["type"] = "changed"
    first["required"].append("extra")
    del first["properties"]["code"]
    assert tool.parameters == PARAMETERS


class TestDispatch:
    @pytest.mark.parametrize("operation, method, awaited", OPERATIONS)
    async def test_each_operation(self, tool, operation, method, awaited):
        result = await tool.execute(operation=operation, tool_name="t")
        assert result is tool.answers[method]
        assert tool.calls == [(method, () if method == "_list_tools" else ({"operation": operation,
                                                                            "tool_name": "t"},), {})]

    async def test_no_operation_means_list(self, tool):
        assert await tool.execute() is tool.answers["_list_tools"]
        assert tool.calls == [("_list_tools", (), {})]

    async def test_kwargs_dict_is_the_calls_own(self, tool):
        given = {"operation": "delete", "tool_name": "t", "unknown_key": [1]}
        await tool.execute(**given)
        await tool.execute(**given)
        (_, (first,), _), (_, (second,), _) = tool.calls
        assert first == given and list(first) == list(given)
        assert first is not given and second is not given and first is not second

    @pytest.mark.parametrize("operation, shown", [
        ("LIST", "LIST"), (" list", " list"), ("list ", "list "), ("", ""), (None, "None"), (7, "7"),
        (2.5, "2.5"), (True, "True"), (["list"], "['list']"), ("créer", "créer"),
    ])
    async def test_unknown_operation(self, tool, operation, shown, caplog):
        caplog.set_level(logging.DEBUG)
        assert await tool.execute(operation=operation) == "[ERROR] Unknown operation: " + shown
        assert tool.calls == [] and caplog.records == []

    @pytest.mark.parametrize("target", [None, "create", "delete", "info"])
    async def test_compared_in_order_until_first_match(self, tool, target):
        compared, specs = [], []

        class Probe:
            def __eq__(self, other):
                compared.append(other)
                return other == target

            __hash__ = object.__hash__

            def __format__(self, spec):
                specs.append(spec)
                return "probe"

        result = await tool.execute(operation=Probe())
        names = [op for op, _, _ in OPERATIONS]
        if target is None:
            assert compared == names and result == "[ERROR] Unknown operation: probe" and specs == [""]
        else:
            assert compared == names[:names.index(target) + 1] and specs == []
            assert [c[0] for c in tool.calls] == [METHOD[target]] and result is tool.answers[METHOD[target]]

    async def test_comparison_error_propagates(self, tool):
        error = ArithmeticError("no compare")

        class Bad:
            def __eq__(self, other):
                raise error

            __hash__ = object.__hash__

        with pytest.raises(ArithmeticError) as info:
            await tool.execute(operation=Bad())
        assert info.value is error and tool.calls == []

    @pytest.mark.parametrize("operation, method, awaited", OPERATIONS)
    async def test_operation_error_propagates_unchanged(self, operation, method, awaited):
        error = LookupError("from the operation")

        def fail(*args):
            raise error

        tool = ToolCreatorTool(RecordingManager())
        setattr(tool, method, fail)  # looked up on the instance at each call
        with pytest.raises(LookupError) as info:
            await tool.execute(operation=operation)
        assert info.value is error

    @pytest.mark.parametrize("operation, method, awaited", OPERATIONS)
    def test_awaits_only_coroutine_operations(self, operation, method, awaited):
        step = Step(result="after await")
        tool = ToolCreatorTool(RecordingManager())
        setattr(tool, method, lambda *args: step)
        result = finish(tool.execute(operation=operation))
        assert (result, step.awaited) == (("after await", 1) if awaited else (step, 0))

    async def test_coroutine_operation_must_be_awaitable(self):
        tool = ToolCreatorTool(RecordingManager())
        tool._create_tool = lambda kwargs: 42
        with pytest.raises(TypeError, match=r"^object int can't be used in 'await' expression$"):
            await tool.execute(operation="create")
