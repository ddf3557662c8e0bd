"""ToolCreatorTool: construction, registry, self-description and dispatch."""

import json
import logging
import pathlib

import pytest

import velmor.core.subprocess_manager as manager_module
import velmor.tools.tool_creator as tc
from tests.fakes import RecordingManager, Step, finish
from velmor.tools.base import ToolRegistry
from velmor.tools.tool_creator import ToolCreatorTool

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
        "operation": {
            "type": "string",
            "enum": ["create", "validate", "list", "delete", "run", "info"],
            "description": OPERATION_TEXT,
        },
        "tool_name": {"type": "string", "description": "Name for the custom tool (snake_case)."},
        "description": {"type": "string", "description": "Description of what the tool does."},
        "code": {
            "type": "string",
            "description": "Python code for the tool. Must define a 'main(args: dict) -> "
            "dict' function that accepts a dict of arguments and returns a dict with 'success' and 'result' keys.",
        },
        "args": {"type": "object", "description": "Arguments to pass when running the tool."},
        "register": {
            "type": "boolean",
            "description": "Whether to register the tool for LLM use (default: true).",
        },
    },
    "required": ["operation"],
}
# operation, method, whether execute awaits what the method returns
OPERATIONS = [
    ("create", "_create_tool", True),
    ("validate", "_validate_tool", True),
    ("list", "_list_tools", False),
    ("delete", "_delete_tool", False),
    ("run", "_run_tool", True),
    ("info", "_tool_info", False),
]
NAMES = [op for op, _, _ in OPERATIONS]
METHOD = {op: method for op, method, _ in OPERATIONS}


class Recorder(ToolCreatorTool):
    """Its operations record their calls and answer a fresh object each."""

    def record(self, name, args, kwargs):
        self.calls.append((name, args, kwargs))
        self.answers[name] = answer = object()
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
    tool.calls, tool.answers = [], {}
    return tool


class TestConstruction:
    def test_state_and_store_root(self, home):
        root = home / ".velmor" / "custom_tools"
        (root / "old_tool").mkdir(parents=True)
        manager, registry = (
            RecordingManager(),
            Exploding(),
        )  # the registry is stored, not truth-tested
        tool = ToolCreatorTool(manager, registry)
        assert list(vars(tool)) == ["_manager", "_registry", "_custom_tools_dir"]
        assert tool._manager is manager and tool._registry is registry
        assert tool._custom_tools_dir == root and type(tool._custom_tools_dir) is type(
            pathlib.Path.home()
        )
        assert (root / "old_tool").is_dir()
        assert isinstance(ToolCreatorTool()._manager, manager_module.SubprocessManager)
        for registry in (ToolRegistry(), Exploding(), None):  # set_registry: the last call wins
            assert tool.set_registry(registry) is None and tool._registry is registry

    @pytest.mark.parametrize("manager", [None, Falsy(), [], 0, "absent"])
    def test_own_manager_when_none_given(self, made, manager):
        kwargs = {} if manager == "absent" else {"subprocess_manager": manager}
        first, second = ToolCreatorTool(**kwargs), ToolCreatorTool(**kwargs)
        assert made == [first._manager, second._manager] and first._manager is not second._manager
        assert first.__init__(tool_registry="r") is None  # running __init__ again starts afresh
        assert first._manager is made[2] and first._registry == "r"

    def test_manager_name_needed_only_without_manager(self, monkeypatch):
        monkeypatch.delattr(tc, "SubprocessManager")
        assert ToolCreatorTool(RecordingManager())
        with pytest.raises(NameError, match=r"^name 'SubprocessManager' is not defined$"):
            ToolCreatorTool()

    @pytest.mark.parametrize(
        "manager, message", [(Exploding(), "truth test"), (None, "no manager")]
    )
    def test_errors_propagate_before_the_store_is_made(self, home, monkeypatch, manager, message):
        def broken():
            raise ZeroDivisionError("no manager")

        monkeypatch.setattr(tc, "SubprocessManager", broken)
        with pytest.raises(ZeroDivisionError, match=message):
            ToolCreatorTool(manager)
        assert not (home / ".velmor").exists()

    @pytest.mark.parametrize(
        "blocker, error",
        [(".velmor/custom_tools", FileExistsError), (".velmor", NotADirectoryError)],
    )
    def test_store_root_that_cannot_be_made(self, home, blocker, error):
        (home / blocker).parent.mkdir(parents=True, exist_ok=True)
        (home / blocker).write_text("in the way")
        with pytest.raises(error):
            ToolCreatorTool(RecordingManager())


def test_self_description():
    tool = ToolCreatorTool(RecordingManager())
    assert tool.name == "tool_creator" and tool.description == DESCRIPTION
    first = tool.parameters
    assert first == PARAMETERS and json.dumps(first) == json.dumps(
        PARAMETERS
    )  # insertion order too
    assert len(first["properties"]["operation"]["description"]) == 248
    assert (
        type(first["properties"]["operation"]["enum"]) is list and type(first["required"]) is list
    )
    first["properties"]["operation"]["enum"].append(
        "extra"
    )  # every read is a new, independent dict
    first["properties"]["args"]["type"] = first["type"] = "changed"
    first["required"].append("extra")
    del first["properties"]["code"]
    assert tool.parameters == PARAMETERS


class TestDispatch:
    @pytest.mark.parametrize("operation, method, awaited", OPERATIONS)
    async def test_each_operation(self, tool, operation, method, awaited):
        given = {"operation": operation, "tool_name": "t", "unknown_key": [1]}
        assert await tool.execute(**given) is tool.answers[method]
        assert await tool.execute(**given) is tool.answers[method]
        if method == "_list_tools":
            assert tool.calls == [(method, (), {})] * 2
            return
        (_, (first,), none), (_, (second,), _) = tool.calls
        assert first == given and list(first) == list(given) and none == {}
        assert (
            first is not given and second is not given and first is not second
        )  # each call's own dict

    async def test_no_operation_means_list(self, tool):
        assert await tool.execute() is tool.answers["_list_tools"]
        assert tool.calls == [("_list_tools", (), {})]

    @pytest.mark.parametrize(
        "operation, shown",
        [
            ("LIST", "LIST"),
            (" list", " list"),
            ("list ", "list "),
            ("", ""),
            (None, "None"),
            (7, "7"),
            (2.5, "2.5"),
            (True, "True"),
            (["list"], "['list']"),
            ("créer", "créer"),
        ],
    )
    async def test_unknown_operation(self, tool, operation, shown, caplog):
        caplog.set_level(logging.DEBUG)
        assert await tool.execute(operation=operation) == "[ERROR] Unknown operation: " + shown
        assert tool.calls == [] and caplog.records == []

    @pytest.mark.parametrize("target", [None, "create", "delete", "info", "raise"])
    async def test_compared_in_order_until_first_match(self, tool, target):
        compared, specs, error = [], [], ArithmeticError("no compare")

        class Probe:
            __hash__ = object.__hash__

            def __eq__(self, other):
                compared.append(other)
                if target == "raise":
                    raise error
                return other == target

            def __format__(self, spec):
                specs.append(spec)
                return "probe"

        if target == "raise":
            with pytest.raises(ArithmeticError) as info:
                await tool.execute(operation=Probe())
            assert info.value is error and compared == ["create"] and tool.calls == []
        elif target is None:
            assert await tool.execute(operation=Probe()) == "[ERROR] Unknown operation: probe"
            assert compared == NAMES and specs == [""]
        else:
            assert await tool.execute(operation=Probe()) is tool.answers[METHOD[target]]
            assert compared == NAMES[: NAMES.index(target) + 1] and specs == []
            assert [c[0] for c in tool.calls] == [METHOD[target]]

    @pytest.mark.parametrize("operation, method, awaited", OPERATIONS)
    def test_method_results_and_errors(self, operation, method, awaited):
        tool, step, error = (
            ToolCreatorTool(RecordingManager()),
            Step(result="after await"),
            LookupError("op"),
        )
        setattr(tool, method, lambda *args: step)  # looked up on the instance at each call
        assert (finish(tool.execute(operation=operation)), step.awaited) == (
            ("after await", 1) if awaited else (step, 0)
        )

        def fail(*args):
            raise error

        setattr(tool, method, fail)
        with pytest.raises(LookupError) as info:
            finish(tool.execute(operation=operation))
        assert info.value is error
        error = StopIteration("escaping")  # a coroutine may not end an enclosing iteration silently
        with pytest.raises(RuntimeError, match=r"^coroutine raised StopIteration$") as info:
            finish(tool.execute(operation=operation))
        assert info.value.__cause__ is error
        setattr(tool, method, lambda *args: 42)
        if awaited:
            with pytest.raises(
                TypeError, match=r"^object int can't be used in 'await' expression$"
            ):
                finish(tool.execute(operation=operation))
        else:
            assert finish(tool.execute(operation=operation)) == 42
