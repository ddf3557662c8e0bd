"""Registering the saved tools at start: which folders become tools, and what they carry."""

import json
import logging
import os

import pytest

from tests.fakes import JobResult, RecordingManager
from velmor.tools.base import ToolRegistry
from velmor.tools.saved import load_saved_tools
from velmor.tools.tool_creator import DynamicTool

CODE = "def main(args):\n    return args\n"


@pytest.fixture
def store(home):
    return home / ".velmor" / "custom_tools"


def save(store, name, code=CODE, meta=None):
    folder = store / name
    folder.mkdir(parents=True)
    if code is not None:
        (folder / "tool.py").write_text(code, encoding="utf-8")
    if meta is not None:
        text = meta if isinstance(meta, str) else json.dumps(meta)
        (folder / "metadata.json").write_text(text, encoding="utf-8")
    return folder


def warnings(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "velmor.tools.saved"]


class TestLoad:
    def test_registers_usable_names_with_their_descriptions(self, store, caplog):
        save(store, "beta", meta={"name": "beta", "description": "Second."})
        save(store, "Alpha-1", meta={"description": "First."})
        save(store, "x" * 57, meta={})
        (store / "stray.txt").write_text("not a tool")
        manager, registry = RecordingManager(), ToolRegistry()

        loaded = load_saved_tools(registry, manager)

        assert [tool.name for tool in loaded] == [
            "custom_Alpha-1",
            "custom_beta",
            f"custom_{'x' * 57}",
        ]
        assert registry.names() == [tool.name for tool in loaded]
        assert all(type(tool) is DynamicTool and tool._manager is manager for tool in loaded)
        assert [tool.description for tool in loaded] == ["First.", "Second.", ""]
        assert loaded[1]._script_path == str(store / "beta" / "tool.py")
        assert warnings(caplog) == []

    @pytest.mark.parametrize(
        "name", ["word count", "z\u00e4hlw\u00f6rter", "a.b", ".hidden", "x" * 58, "tab\there"]
    )
    def test_unusable_folder_names_skipped_with_a_warning(self, store, caplog, name):
        save(store, name)
        save(store, "fine")
        caplog.set_level(logging.WARNING)
        registry = ToolRegistry()
        assert [tool.name for tool in load_saved_tools(registry, RecordingManager())] == [
            "custom_fine"
        ]
        assert registry.names() == ["custom_fine"]
        (message,) = warnings(caplog)
        assert repr(name) in message and "at most 57 characters" in message

    def test_folder_without_script_skipped_with_a_warning(self, store, caplog):
        save(store, "empty", code=None, meta={"description": "No code."})
        assert load_saved_tools(ToolRegistry(), RecordingManager()) == []
        assert warnings(caplog) == ["Skipped saved tool 'empty': it has no tool.py"]

    @pytest.mark.parametrize(
        "meta, why",
        [
            ("{broken", "is damaged (not JSON: Expecting property name"),
            (json.dumps([1, 2]), "is damaged (not a JSON object)"),
            (b"\xff{}", "is damaged (not UTF-8 text)"),
            (json.dumps({"description": 7}), "the description in "),
            # A server loads the store at start: one such file must not stop it.
            (b"[" * 100_000 + b"]" * 100_000, "is damaged (not JSON that can be read: nested"),
        ],
        ids=["not-json", "not-an-object", "not-utf8", "description-not-text", "nested-too-deep"],
    )
    def test_unusable_metadata_loads_without_description_and_is_named(
        self, store, caplog, meta, why
    ):
        folder = save(store, "t", meta=meta if isinstance(meta, str) else None)
        if isinstance(meta, bytes):
            (folder / "metadata.json").write_bytes(meta)
        (tool,) = load_saved_tools(ToolRegistry(), RecordingManager())
        assert tool.description == ""
        (message,) = warnings(caplog)
        assert "'t'" in message and why in message
        assert str(folder / "metadata.json") in message

    def test_a_fifo_for_metadata_is_not_waited_on(self, store, caplog):
        # A server loads the store at start: reading a FIFO would wait for a writer for ever.
        folder = save(store, "t")
        os.mkfifo(folder / "metadata.json")
        (tool,) = load_saved_tools(ToolRegistry(), RecordingManager())
        assert tool.description == ""
        (message,) = warnings(caplog)
        assert "'t' is damaged (not a regular file)" in message

    def test_missing_store_is_created_and_empty(self, home, store):
        assert load_saved_tools(ToolRegistry(), RecordingManager()) == []
        assert store.is_dir()

    def test_explicit_store(self, tmp_path):
        save(tmp_path / "elsewhere", "t")
        (tool,) = load_saved_tools(ToolRegistry(), RecordingManager(), store=tmp_path / "elsewhere")
        assert tool._script_path == str(tmp_path / "elsewhere" / "t" / "tool.py")

    async def test_loaded_tool_runs_through_the_given_manager(self, store):
        save(store, "echo")
        manager, registry = RecordingManager(JobResult(output={"echo": 1})), ToolRegistry()
        load_saved_tools(registry, manager)
        assert json.loads(await registry.call("custom_echo", args={"echo": 1})) == {"echo": 1}
        assert manager.tasks[0].command["path"] == str(store / "echo" / "tool.py")
