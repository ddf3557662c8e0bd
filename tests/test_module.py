"""The module object: namespace, docstring, import, re-import and failed imports."""

import ctypes
import importlib
import importlib.machinery
import json
import logging
import os
import pathlib
import sys
import typing

import pytest

import velmor.core.subprocess_manager as manager_module
import velmor.tools.base as base
import velmor.tools.tool_creator as tc
from tests.fakes import MODULE_NAME, run_python

MODULE_DOC = (
    "Tool Creator \u2014 allows the agent to dynamically create new tools at runtime.\n\n"
    "This is one of the most powerful features: Claude can write new Python tools,\n"
    "validate them, register them, and use them immediately. This enables:\n"
    "  - Self-extending capabilities\n  - Task-specific tool creation\n"
    "  - Custom automation scripts\n  - One-off utilities\n\n"
    "Created tools are saved to ~/.velmor/custom_tools/ and can be persisted\nacross sessions.\n"
)
IMPORTED = [
    ("importlib", importlib),
    ("json", json),
    ("logging", logging),
    ("os", os),
    ("sys", sys),
    ("Path", pathlib.Path),
    ("Any", typing.Any),
    ("SubprocessManager", manager_module.SubprocessManager),
    ("SubprocessTask", manager_module.SubprocessTask),
    ("Tool", base.Tool),
    ("logger", logging.getLogger("velmor.tool_creator")),
]
DEFINED = ["_get_custom_tools_dir", "ToolCreatorTool", "DynamicTool"]


def own_names(names):
    return [name for name in names if not (name.startswith("__") and name.endswith("__"))]


def test_module_object(home):
    assert tc.__doc__ == MODULE_DOC and len(tc.__doc__) == 431 and len(tc.__doc__.encode()) == 433
    assert (tc.__name__, tc.__package__, tc.__spec__.name) == (
        MODULE_NAME,
        "velmor.tools",
        MODULE_NAME,
    )
    assert isinstance(tc.__loader__, importlib.machinery.ExtensionFileLoader)
    assert tc.__file__ == tc.__spec__.origin and not hasattr(tc, "__path__")
    assert ctypes.CDLL(tc.__file__).PyInit_tool_creator
    for name, obj in IMPORTED:
        assert vars(tc)[name] is obj, name
    assert "importlib.util" in sys.modules
    # Other tests rebind module names, which moves them to the end: read the order in a fresh process.
    lines = run_python("import velmor.tools.tool_creator as tc; print(*vars(tc))", home)
    assert own_names(lines[0].split()) == [name for name, _ in IMPORTED] + DEFINED


def test_custom_tools_dir(home, tmp_path, monkeypatch):
    root = home / ".velmor" / "custom_tools"
    assert tc._get_custom_tools_dir() == root and root.is_dir()
    assert type(tc._get_custom_tools_dir()) is type(
        pathlib.Path.home()
    )  # an existing one is no error

    class FakePath(type(pathlib.Path())):
        @classmethod
        def home(cls):
            return cls(tmp_path / "elsewhere")

    monkeypatch.setattr(tc, "Path", FakePath)  # looked up in the module at each call
    assert type(tc._get_custom_tools_dir()) is FakePath
    assert (tmp_path / "elsewhere" / ".velmor" / "custom_tools").is_dir()
    monkeypatch.delattr(tc, "Path")
    with pytest.raises(NameError, match=r"^name 'Path' is not defined$"):
        tc._get_custom_tools_dir()


def test_reimport_and_reload_give_the_same_objects(monkeypatch):
    before = {name: vars(tc)[name] for name in own_names(vars(tc))}
    members = dict(vars(tc.ToolCreatorTool))
    monkeypatch.delitem(sys.modules, MODULE_NAME)
    assert importlib.import_module(MODULE_NAME) is tc
    sentinel = object()
    monkeypatch.setattr(tc, "json", sentinel)
    assert importlib.reload(tc) is tc
    assert tc.json is sentinel  # no statement ran again to rebind it
    monkeypatch.undo()
    assert own_names(vars(tc)) == list(before) and all(vars(tc)[k] is v for k, v in before.items())
    assert all(vars(tc.ToolCreatorTool)[k] is v for k, v in members.items())


def test_second_interpreter_refused_main_keeps_working(home):
    lines = run_python(
        """
        import _interpreters
        import velmor.tools.tool_creator as tc
        interp = _interpreters.create("legacy")
        for _ in range(2):
            failure = _interpreters.run_string(interp, "import velmor.tools.tool_creator")
            print(failure.type.__name__, failure.msg, sep="|")
        _interpreters.destroy(interp)
        print(tc.ToolCreatorTool().name, tc.DynamicTool("x", "d", "p", None).name)
        """,
        home,
    )
    message = "Interpreter change detected - this module can only be loaded into one interpreter per process."
    assert lines == [f"ImportError|{message}"] * 2 + ["tool_creator custom_x"]


def test_failed_imports_leave_nothing_and_can_be_retried(home):
    lines = run_python(
        """
        import gc, os, sys, types
        import velmor.tools.base as base
        name, tool = "velmor.tools.tool_creator", base.Tool

        def attempt():
            try:
                import velmor.tools.tool_creator
            except ImportError as exc:
                print(type(exc).__name__, exc, sep="|")
            assert name not in sys.modules and not hasattr(sys.modules["velmor.tools"], "tool_creator")

        sys.modules["velmor.core.subprocess_manager"] = None
        attempt()
        del sys.modules["velmor.core.subprocess_manager"], base.Tool
        attempt()
        gc.collect()
        failed = [m for m in gc.get_objects() if isinstance(m, types.ModuleType) and m.__name__ == name]
        for m in failed:
            assert not {"logger", "_get_custom_tools_dir", "ToolCreatorTool", "DynamicTool"} & set(vars(m))
        sys.modules["velmor.tools.base.Tool"] = tool  # a submodule entry stands in for the missing name
        import velmor.tools.tool_creator as tc
        assert all(tc is not m for m in failed) and tc.ToolCreatorTool.__bases__ == (tool,)
        print(tc.logger.name, os.path.exists(os.path.expanduser("~/.velmor")))
        """,
        home,
    )
    assert lines[0].startswith("ModuleNotFoundError|")
    assert lines[1:] == ["ImportError|cannot import name Tool", "velmor.tool_creator False"]


def test_exec_of_a_second_module_object_refused(home):
    lines = run_python(
        """
        import _imp, importlib.util
        spec = importlib.util.find_spec("velmor.tools.tool_creator")
        first, second = _imp.create_dynamic(spec), _imp.create_dynamic(spec)
        _imp.exec_dynamic(first)
        _imp.exec_dynamic(first)  # the recorded module: nothing happens
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as exc:
            print(exc)
        print(_imp.create_dynamic(spec) is first, "DynamicTool" in vars(first))
        """,
        home,
    )
    assert lines == [
        "Module 'tool_creator' has already been imported. Re-initialisation is not supported.",
        "True True",
    ]
