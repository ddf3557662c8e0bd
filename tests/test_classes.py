"""Shapes of the two tool classes and how a class statement builds them."""

import ast

import pytest

from tests.fakes import MODULE_NAME, RecordingManager, run_python
from velmor.tools.base import Tool
from velmor.tools.tool_creator import DynamicTool, ToolCreatorTool

CREATOR_MEMBERS = [
    "__init__",
    "set_registry",
    "name",
    "description",
    "parameters",
    "execute",
    "_create_tool",
    "_validate_tool",
    "_validate_code",
    "_list_tools",
    "_delete_tool",
    "_run_tool",
    "_tool_info",
]
DYNAMIC_MEMBERS = ["__init__", "name", "description", "parameters", "execute"]
PROPERTIES = ["name", "description", "parameters"]
CLASSES = [
    (ToolCreatorTool, "Create, validate, and manage custom tools at runtime.", CREATOR_MEMBERS),
    (DynamicTool, "A dynamically-created tool that runs via subprocess.", DYNAMIC_MEMBERS),
]


@pytest.mark.parametrize("cls, doc, members", CLASSES, ids=["ToolCreatorTool", "DynamicTool"])
def test_class_shape(cls, doc, members):
    assert (cls.__module__, cls.__qualname__, cls.__doc__) == (MODULE_NAME, cls.__name__, doc)
    assert cls.__bases__ == (Tool,) and cls.__mro__[:2] == (cls, Tool) and type(cls) is type(Tool)
    assert cls.__abstractmethods__ == frozenset()
    # The class body holds only these, in order; the metaclass's bookkeeping follows it.
    assert list(vars(cls)) == [
        "__module__",
        "__doc__",
        *members,
        "__abstractmethods__",
        "_abc_impl",
    ]
    for name in PROPERTIES:
        prop = vars(cls)[name]
        assert type(prop) is property and prop.fset is None and prop.fdel is None


@pytest.mark.parametrize(
    "make",
    [lambda: ToolCreatorTool(RecordingManager()), lambda: DynamicTool("t", "d", "p", None)],
    ids=["ToolCreatorTool", "DynamicTool"],
)
@pytest.mark.parametrize("name", PROPERTIES)
def test_properties_read_only(make, name):
    tool = make()
    before = getattr(tool, name)
    with pytest.raises(AttributeError, match="has no setter"):
        setattr(tool, name, "x")
    with pytest.raises(AttributeError, match="has no deleter"):
        delattr(tool, name)
    assert getattr(tool, name) == before and name not in vars(tool)


def test_class_creation_honours_metaclass_and_hooks(home):
    """Whatever `Tool` is at import, the classes are built as a class statement would build them."""
    lines = run_python(
        """
        import velmor.tools.base as base
        events = []

        class Namespace(dict):
            def __setitem__(self, key, value):
                events.append(key)
                super().__setitem__(key, value)

        class Meta(type):
            @classmethod
            def __prepare__(mcls, name, bases, **kw):
                events.append(("prepare", name, [b.__name__ for b in bases], sorted(kw)))
                return Namespace()

            def __new__(mcls, name, bases, ns, **kw):
                events.append(("new", name, type(ns).__name__, ns.get("__qualname__")))
                return super().__new__(mcls, name, bases, ns)

        class Base(metaclass=Meta):
            def __init_subclass__(cls, **kw):
                events.append(("init_subclass", cls.__name__, sorted(kw)))

        class Entry:
            def __mro_entries__(self, bases):
                events.append("mro_entries")
                return (Base,)

        events.clear()
        base.Tool = Entry()
        import velmor.tools.tool_creator as tc
        assert tc.Tool is base.Tool
        for cls in (tc.ToolCreatorTool, tc.DynamicTool):
            assert type(cls) is Meta and cls.__bases__ == (Base,), cls
        for event in events:
            print(repr(event))
        """,
        home,
    )
    events = [ast.literal_eval(line) for line in lines]
    split = events.index(("init_subclass", "ToolCreatorTool", [])) + 1
    for chunk, name, members in (
        (events[:split], "ToolCreatorTool", CREATOR_MEMBERS),
        (events[split:], "DynamicTool", DYNAMIC_MEMBERS),
    ):
        keys = [
            e for e in chunk if isinstance(e, str) and e != "mro_entries" and e != "__orig_bases__"
        ]
        assert keys == ["__module__", "__qualname__", "__doc__", *members]
        assert [e for e in chunk if e not in keys and e != "__orig_bases__"] == [
            "mro_entries",
            ("prepare", name, ["Base"], []),
            ("new", name, "Namespace", name),
            ("init_subclass", name, []),
        ]
