"""Function objects of the module: attributes, signatures, binding and argument errors."""

import asyncio
import asyncio.coroutines
import builtins
import gc
import inspect
import pathlib
import types

import pytest

import velmor.tools.tool_creator as tc
from tests.fakes import MODULE_NAME, RecordingManager
from velmor.tools.tool_creator import DynamicTool, ToolCreatorTool

GETTER, SCHEMA_GETTER, EXECUTE = (
    "(self) -> 'str'",
    "(self) -> 'dict[str, Any]'",
    "(self, **kwargs: 'Any') -> 'Any'",
)
FUNCTIONS = [  # qualified name, signature as inspect shows it, docstring
    ("_get_custom_tools_dir", "() -> 'Path'", "Get the directory for custom tools."),
    (
        "ToolCreatorTool.__init__",
        "(self, subprocess_manager: 'SubprocessManager | None' = None, tool_registry: 'Any' = None)",
        None,
    ),
    (
        "ToolCreatorTool.set_registry",
        "(self, registry: 'Any') -> 'None'",
        "Set the tool registry (called after initialization).",
    ),
    ("ToolCreatorTool.name", GETTER, None),
    ("ToolCreatorTool.description", GETTER, None),
    ("ToolCreatorTool.parameters", SCHEMA_GETTER, None),
    ("ToolCreatorTool.execute", EXECUTE, None),
    (
        "DynamicTool.__init__",
        "(self, tool_name: 'str', tool_description: 'str', script_path: 'str', "
        "subprocess_manager: 'SubprocessManager')",
        None,
    ),
    ("DynamicTool.name", GETTER, None),
    ("DynamicTool.description", GETTER, None),
    ("DynamicTool.parameters", SCHEMA_GETTER, None),
    ("DynamicTool.execute", EXECUTE, None),
]


def lookup(qualname):
    obj = tc
    for part in qualname.split("."):
        obj = vars(obj)[part]
    return obj.fget if isinstance(obj, property) else obj


@pytest.mark.parametrize("qualname, signature, doc", FUNCTIONS, ids=[row[0] for row in FUNCTIONS])
def test_function_attributes(qualname, signature, doc):
    f = lookup(qualname)
    sig = inspect.signature(f)
    assert str(sig) == signature
    assert (f.__name__, f.__qualname__, f.__module__, f.__doc__) == (
        qualname.split(".")[-1],
        qualname,
        MODULE_NAME,
        doc,
    )
    annotations = {
        n: p.annotation for n, p in sig.parameters.items() if p.annotation is not p.empty
    }
    if sig.return_annotation is not sig.empty:
        annotations["return"] = sig.return_annotation
    assert list(f.__annotations__.items()) == list(annotations.items())
    assert f.__defaults__ == (
        tuple(p.default for p in sig.parameters.values() if p.default is not p.empty) or None
    )
    coroutine = qualname.endswith(".execute")
    assert f._is_coroutine is (asyncio.coroutines._is_coroutine if coroutine else False)
    assert (
        asyncio.iscoroutinefunction(f) is coroutine and inspect.iscoroutinefunction(f) is coroutine
    )


def test_annotations_and_attributes_belong_to_each_function():
    a, b = ToolCreatorTool.name.fget, DynamicTool.name.fget
    a.__annotations__["extra"], a.marker = "x", 1
    try:
        assert (
            b.__annotations__ == {"return": "str"}
            and not hasattr(b, "marker")
            and a.__dict__["marker"] == 1
        )
    finally:
        del a.__annotations__["extra"], a.marker


def test_binds_like_a_python_function():
    tool = ToolCreatorTool(RecordingManager())
    for name in ("__init__", "set_registry", "execute"):
        method = getattr(tool, name)
        assert getattr(ToolCreatorTool, name) is vars(ToolCreatorTool)[name]
        assert isinstance(method, types.MethodType)
        assert method.__self__ is tool and method.__func__ is vars(ToolCreatorTool)[name]
    assert asyncio.iscoroutinefunction(tool.execute) and inspect.iscoroutinefunction(tool.execute)
    assert not inspect.iscoroutinefunction(tool.set_registry)
    assert str(inspect.signature(tool.set_registry)) == "(registry: 'Any') -> 'None'"
    assert str(inspect.signature(ToolCreatorTool)) == FUNCTIONS[1][1].replace("self, ", "")


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
def test_collector_sees_str_subclass_names(attribute):
    # A name that is a str subclass can hold a reference back to its function;
    # the collector must see it, or such a cycle would never be freed.
    class Name(str):
        pass

    function = ToolCreatorTool.set_registry
    original = getattr(function, attribute)
    name = Name(original)
    try:
        setattr(function, attribute, name)
        assert any(referent is name for referent in gc.get_referents(function))
    finally:
        setattr(function, attribute, original)


def test_every_parameter_by_keyword():
    class Name(str):
        pass

    manager = RecordingManager()
    # Keyword names made at run time are not interned; str subclasses are names too.
    tool = ToolCreatorTool(
        **{"".join(["subprocess_", "manager"]): manager, Name("tool_registry"): "r"}
    )
    assert tool._manager is manager and tool._registry == "r"
    ToolCreatorTool.set_registry(self=tool, registry=None)
    assert tool._registry is None
    with pytest.raises(StopIteration) as stop:
        ToolCreatorTool.execute(self=tool, operation="bogus").send(None)
    assert stop.value.value == "[ERROR] Unknown operation: bogus"


def test_names_looked_up_in_module_then_builtins(monkeypatch):
    monkeypatch.setattr(builtins, "_get_custom_tools_dir", lambda: "builtins", raising=False)
    monkeypatch.setattr(tc, "_get_custom_tools_dir", lambda: "module")
    assert ToolCreatorTool(RecordingManager())._custom_tools_dir == "module"
    monkeypatch.delattr(tc, "_get_custom_tools_dir")
    assert ToolCreatorTool(RecordingManager())._custom_tools_dir == "builtins"
    monkeypatch.delattr(builtins, "_get_custom_tools_dir")
    with pytest.raises(NameError, match=r"^name '_get_custom_tools_dir' is not defined$"):
        ToolCreatorTool(RecordingManager())


def takes(name, qualifier, count, given):
    return f"{name}() takes {qualifier} {count} positional argument{'' if count == 1 else 's'} ({given} given)"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: tc._get_custom_tools_dir(1), takes("_get_custom_tools_dir", "exactly", 0, 1)),
        (
            lambda: tc._get_custom_tools_dir(x=1),
            "_get_custom_tools_dir() got an unexpected keyword argument 'x'",
        ),
        (
            lambda: ToolCreatorTool(1, 2, 3, foo=1),
            takes("__init__", "at most", 3, 4),
        ),  # counted before keywords
        (lambda: ToolCreatorTool.__init__(), takes("__init__", "at least", 1, 0)),
        (
            lambda: ToolCreatorTool(1, subprocess_manager=None),
            "__init__() got multiple values for keyword argument 'subprocess_manager'",
        ),
        (
            lambda: ToolCreatorTool.set_registry(None, bogus=1),
            takes("set_registry", "exactly", 2, 1),
        ),
        (
            lambda: ToolCreatorTool.set_registry(None, registry=None, zz=1, self=2),
            "set_registry() got an unexpected keyword argument 'zz'",
        ),
        (
            lambda: ToolCreatorTool.set_registry(None, None, self=2, zz=1),
            "set_registry() got multiple values for keyword argument 'self'",
        ),
        (
            lambda: DynamicTool("n", "d", "p", None).execute("list"),
            takes("execute", "exactly", 1, 2),
        ),
        (
            lambda: ToolCreatorTool.execute(None, self=None),
            "execute() got multiple values for keyword argument 'self'",
        ),
        (lambda: DynamicTool(tool_name="x"), takes("__init__", "exactly", 5, 1)),
        (lambda: DynamicTool("a", "b", "c", None, 5), takes("__init__", "exactly", 5, 6)),
        (
            lambda: DynamicTool(None, None, None, None, bogus=1),
            "__init__() got an unexpected keyword argument 'bogus'",
        ),
    ],
)
def test_binding_error(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


class Text(str):
    pass


@pytest.mark.parametrize(
    "kwargs, param, typename",
    [
        (dict(tool_name=None), "tool_name", "NoneType"),
        (dict(tool_name=Text("n")), "tool_name", "Text"),
        (dict(tool_name=None, tool_description=1, script_path=2.0), "tool_name", "NoneType"),
        (dict(tool_description=b"d"), "tool_description", "bytes"),
        (dict(tool_description=Text("d"), script_path=None), "tool_description", "Text"),
        (dict(script_path=Text("p")), "script_path", "Text"),
        (dict(script_path=pathlib.Path("/p")), "script_path", type(pathlib.Path("/p")).__name__),
    ],
)
def test_argument_type_error(kwargs, param, typename):
    with pytest.raises(TypeError) as info:
        DynamicTool(
            **dict(tool_name="n", tool_description="d", script_path="p", subprocess_manager=None)
            | kwargs
        )
    assert (
        str(info.value) == f"Argument '{param}' has incorrect type (expected str, got {typename})"
    )
    notes = getattr(info.value, "__notes__", None)
    if typename == "Text":  # a subclass of str: the refusal is explained
        assert notes and all(isinstance(n, str) and n for n in notes)
    else:
        assert not notes
