"""The six operations of ToolCreatorTool, with a recording manager and a real store on disk."""

import contextlib
import json
import logging
import os
import pathlib
import re
import types

import pytest

import velmor.tools.tool_creator as tc
from tests.fakes import JobResult, RecordingManager, run_python
from velmor.tools.base import ToolRegistry
from velmor.tools.tool_creator import DynamicTool, ToolCreatorTool

CODE = "def main(args):\n    return {'success': True, 'result': args}"  # no line end at the end
VALID = JobResult(output={"valid": True, "message": "Code is valid."})
LOGGER = "velmor.tool_creator"


def invalid_name(name):
    text = os.fspath(name)
    return (
        f"[ERROR] Invalid tool_name: {text!r}. A tool name is one plain folder name "
        "(no '/', '\\' or NUL character, not '.' or '..')."
    )


def dumps(value):
    return json.dumps(value, indent=2)


def logs(caplog):
    return [(r.levelno, r.getMessage()) for r in caplog.records if r.name == LOGGER]


def files_under(path):
    return sorted(str(p.relative_to(path)) for p in path.rglob("*"))


class Sub(dict):
    pass


class FsName:
    """A path-like tool name."""

    def __init__(self, text):
        self.text = text

    def __fspath__(self):
        return self.text


class Registry:
    """A registry without `_tools`; records every call, `known` names are found by `get`."""

    def __init__(self, known=(), truth=True, register_error=None, get_error=None):
        self.calls, self.known, self.truth = [], set(known), truth
        self.register_error, self.get_error = register_error, get_error

    def __bool__(self):
        return self.truth

    def register(self, tool):
        self.calls.append(("register", tool))
        if self.register_error is not None:
            raise self.register_error

    def get(self, name):
        self.calls.append(("get", name))
        if self.get_error is not None:
            raise self.get_error
        return name in self.known


class ToolsRegistry(Registry):
    """A registry with a `_tools` mapping that `get` does not consult."""

    def __init__(self, tools, **kwargs):
        super().__init__(**kwargs)
        self._tools = tools


@pytest.fixture
def root(home):
    return home / ".velmor" / "custom_tools"


@pytest.fixture
def manager():
    return RecordingManager(default=VALID)


@pytest.fixture
def creator(manager):
    return ToolCreatorTool(subprocess_manager=manager)


@pytest.fixture
def tasks(monkeypatch):
    """Every SubprocessTask the module makes, as its keyword dict (keyword order kept)."""
    made = []

    def task(**kwargs):
        made.append(kwargs)
        return types.SimpleNamespace(**kwargs)

    monkeypatch.setattr(tc, "SubprocessTask", task)
    return made


def make_folder(root, name, code=None, meta=None):
    folder = root / name
    folder.mkdir(parents=True)
    if code is not None:
        (folder / "tool.py").write_bytes(code if isinstance(code, bytes) else code.encode())
    if meta is not None:
        (folder / "metadata.json").write_text(
            meta if isinstance(meta, str) else json.dumps(meta), encoding="utf-8"
        )
    return folder


class TestValidate:
    @pytest.mark.parametrize(
        "kwargs", [{}, {"code": ""}, {"code": None}, {"code": 0}, {"code": []}]
    )
    async def test_code_required(self, creator, manager, kwargs):
        assert await creator.execute(operation="validate", **kwargs) == "[ERROR] code is required."
        assert manager.calls == []

    async def test_job(self, creator, manager, tasks, root):
        assert await creator.execute(operation="validate", code=" ") == dumps(VALID.output)
        assert tasks == [
            {
                "worker_type": "custom",
                "command": {"action": "validate", "code": " "},
                "timeout": 10.0,
            }
        ]
        assert list(tasks[0]) == ["worker_type", "command", "timeout"]
        assert (
            list(tasks[0]["command"]) == ["action", "code"] and type(tasks[0]["timeout"]) is float
        )
        assert [(args[0].command, kwargs) for args, kwargs in manager.calls] == [
            (tasks[0]["command"], {})
        ]
        assert list(root.iterdir()) == []  # validation saves nothing

    @pytest.mark.parametrize(
        "result, verdict",
        [
            (
                JobResult(error="SyntaxError: bad", output={"valid": True}),
                {"valid": False, "message": "SyntaxError: bad"},
            ),
            (JobResult(error=7), {"valid": False, "message": 7}),
            (JobResult(error="", output={}), {"valid": False, "message": "No validation result"}),
            (
                JobResult(error=None, output=None),
                {"valid": False, "message": "No validation result"},
            ),
            (
                JobResult(error=0, output={"z": 1, "valid": True, "a": [None]}),
                {"z": 1, "valid": True, "a": [None]},
            ),
            (JobResult(error="caf\u00e9 \u2603"), {"valid": False, "message": "caf\u00e9 \u2603"}),
        ],
        ids=[
            "error-wins",
            "error-not-converted",
            "empty-output",
            "no-output",
            "worker-order",
            "non-ascii",
        ],
    )
    async def test_verdicts(self, result, verdict):
        text = await ToolCreatorTool(RecordingManager(result)).execute(
            operation="validate", code="x = 1"
        )
        assert text == dumps(verdict) and list(json.loads(text)) == list(verdict)
        assert text.isascii()

    async def test_error_wins_without_reading_output(self):
        class Result:
            error = "boom"

            @property
            def output(self):
                raise AssertionError("output read")

        assert await ToolCreatorTool(RecordingManager(Result()))._validate_code("x") == {
            "valid": False,
            "message": "boom",
        }

    async def test_worker_verdict_is_returned_itself(self):
        verdict = {"valid": True, "extra": 1}
        assert (
            await ToolCreatorTool(RecordingManager(JobResult(output=verdict)))._validate_code("x")
            is verdict
        )

    @pytest.mark.parametrize(
        "output, typename",
        [
            ([1], "list"),
            ("valid", "str"),
            (Sub(valid=True), "Sub"),
        ],
    )
    async def test_non_dict_output_refused(self, output, typename):
        with pytest.raises(TypeError) as info:
            await ToolCreatorTool(RecordingManager(JobResult(output=output))).execute(
                operation="validate", code="x"
            )
        assert str(info.value) == f"Expected dict, got {typename}"

    async def test_code_must_be_str(self, creator, manager):
        with pytest.raises(TypeError) as info:
            await creator.execute(operation="validate", code=5)
        assert str(info.value) == "Argument 'code' has incorrect type (expected str, got int)"
        assert manager.calls == []

    @pytest.mark.parametrize(
        "result, error",
        [
            (RuntimeError("manager down"), RuntimeError),
            (JobResult(error=ValueError("x")), TypeError),
        ],
        ids=["spawn-raises", "unencodable-verdict"],
    )
    async def test_failures_propagate(self, result, error):
        with pytest.raises(error):
            await ToolCreatorTool(RecordingManager(result)).execute(operation="validate", code="x")


class TestCreate:
    @pytest.mark.parametrize(
        "kwargs, text",
        [
            ({}, "[ERROR] tool_name is required."),
            ({"code": CODE}, "[ERROR] tool_name is required."),
            ({"tool_name": None, "code": CODE}, "[ERROR] tool_name is required."),
            ({"tool_name": "t"}, "[ERROR] code is required."),
            ({"tool_name": "t", "code": ""}, "[ERROR] code is required."),
            (
                {"tool_name": "a/b", "code": None},
                "[ERROR] code is required.",
            ),  # code is checked before the name
        ],
    )
    async def test_required(self, creator, manager, root, kwargs, text):
        assert await creator.execute(operation="create", **kwargs) == text
        assert manager.calls == [] and list(root.iterdir()) == []

    async def test_files_and_answer(self, creator, tasks, root):
        description = 'M\u00e9t\u00e9o \u2603 "quoted"'
        answer = await creator.execute(
            operation="create", tool_name="my_tool", description=description, code=CODE
        )
        script = root / "my_tool" / "tool.py"
        assert answer == (
            f'{{\n  "created": "my_tool",\n  "path": {json.dumps(str(script))},\n'
            f'  "registered": false,\n  "description": "M\\u00e9t\\u00e9o \\u2603 \\"quoted\\""\n}}'
        )
        assert script.read_bytes() == CODE.encode()
        meta = (root / "my_tool" / "metadata.json").read_bytes()
        assert (
            meta
            == (
                f'{{\n  "name": "my_tool",\n  "description": "M\\u00e9t\\u00e9o \\u2603 \\"quoted\\""'
                f',\n  "script": {json.dumps(str(script))},\n  "created_by": "agent"\n}}'
            ).encode()
        )
        assert files_under(root) == ["my_tool", "my_tool/metadata.json", "my_tool/tool.py"]
        assert (
            tasks[0]["command"] == {"action": "validate", "code": CODE}
            and tasks[0]["timeout"] == 10.0
        )

    async def test_non_ascii_code_and_defaults(self, creator, root):
        code = "def main(args):\r\n    return '\u00e9\u2603'\n"
        await creator.execute(operation="create", tool_name="summer", code=code)
        assert (root / "summer" / "tool.py").read_bytes() == code.encode("utf-8")
        meta = json.loads((root / "summer" / "metadata.json").read_text(encoding="ascii"))
        assert list(meta.items()) == [
            ("name", "summer"),
            ("description", ""),
            ("script", str(root / "summer" / "tool.py")),
            ("created_by", "agent"),
        ]

    async def test_second_create_overwrites(self, creator, root):
        await creator.execute(
            operation="create", tool_name="t", description="first one", code=CODE + "\n# v1"
        )
        (root / "t" / "notes.txt").write_text("kept")
        await creator.execute(
            operation="create", tool_name="t", description="second", code="def main(a): pass"
        )
        assert (root / "t" / "tool.py").read_text() == "def main(a): pass"
        assert json.loads((root / "t" / "metadata.json").read_text())["description"] == "second"
        assert (root / "t" / "notes.txt").read_text() == "kept"

    async def test_store_root_recreated(self, creator, root):
        root.rmdir()
        await creator.execute(operation="create", tool_name="t", code=CODE)
        assert (root / "t" / "tool.py").exists()

    @pytest.mark.parametrize(
        "result, message",
        [
            (JobResult(output={"valid": False}), "Unknown error"),
            (JobResult(output={"valid": False, "message": 3}), "3"),
            (JobResult(output={"message": "no valid key"}), "no valid key"),
            (JobResult(output={"valid": 0, "message": None}), "None"),
            (
                JobResult(error="SyntaxError: invalid syntax (line 1)"),
                "SyntaxError: invalid syntax (line 1)",
            ),
            (JobResult(output={}), "No validation result"),
        ],
    )
    async def test_rejected_code_writes_nothing(self, root, result, message):
        creator = ToolCreatorTool(RecordingManager(result), ToolRegistry())
        answer = await creator.execute(operation="create", tool_name="t", code=CODE)
        assert answer == "[ERROR] Invalid code: " + message
        assert list(root.iterdir()) == [] and len(creator._registry) == 0

    async def test_validation_through_overridable_method(self, root):
        class Trusting(ToolCreatorTool):
            async def _validate_code(self, code):
                return {"valid": code == CODE}

        manager = RecordingManager()
        assert json.loads(
            await Trusting(manager).execute(operation="create", tool_name="t", code=CODE)
        )["created"]
        assert manager.calls == []

    async def test_registration(self, manager, root, caplog):
        caplog.set_level(logging.DEBUG, logger=LOGGER)
        registry = ToolRegistry()
        creator = ToolCreatorTool(manager, registry)
        answer = json.loads(
            await creator.execute(
                operation="create", tool_name="adder", description="Adds.", code=CODE
            )
        )
        assert (
            list(answer) == ["created", "path", "registered", "description"]
            and answer["registered"] is True
        )
        tool = registry.get("custom_adder")
        assert type(tool) is DynamicTool and registry.names() == ["custom_adder"]
        assert (tool.name, tool.description, tool._script_path) == (
            "custom_adder",
            "Adds.",
            answer["path"],
        )
        assert tool._manager is manager
        assert logs(caplog) == [(logging.INFO, "Registered custom tool: adder")]

    @pytest.mark.parametrize(
        "register, registry, registered",
        [
            (False, ToolRegistry(), False),
            (0, ToolRegistry(), False),
            (None, ToolRegistry(), False),
            ("false", ToolRegistry(), True),  # a non-empty text is true
            ([1], ToolRegistry(), True),
            (True, None, False),
            (True, Registry(truth=False), False),
        ],
        ids=["false", "zero", "none", "text-false", "list", "no-registry", "false-registry"],
    )
    async def test_registered_reports_outcome(
        self, manager, root, caplog, register, registry, registered
    ):
        caplog.set_level(logging.DEBUG, logger=LOGGER)
        creator = ToolCreatorTool(manager, registry)
        answer = json.loads(
            await creator.execute(operation="create", tool_name="t", code=CODE, register=register)
        )
        assert answer["registered"] is registered
        assert (root / "t" / "tool.py").exists() and (root / "t" / "metadata.json").exists()
        if isinstance(registry, Registry):
            assert registry.calls == []
        elif registry is not None:
            assert ("custom_t" in registry) is registered
        assert logs(caplog) == ([(logging.INFO, "Registered custom tool: t")] if registered else [])

    async def test_register_omitted_without_registry(self, creator, root):
        answer = json.loads(await creator.execute(operation="create", tool_name="t", code=CODE))
        assert answer["registered"] is False and (root / "t" / "tool.py").exists()

    @pytest.mark.parametrize(
        "registry, description, error",
        [
            (Registry(register_error=ValueError("M")), "d", "M"),
            (Registry(register_error=KeyError("k")), "d", "'k'"),
            (Registry(register_error=RuntimeError()), "d", ""),
            (
                ToolRegistry(),
                5,
                "Argument 'tool_description' has incorrect type (expected str, got int)",
            ),
            (
                ToolRegistry(),
                None,
                "Argument 'tool_description' has incorrect type (expected str, got NoneType)",
            ),
        ],
        ids=["value-error", "key-error", "no-message", "number-description", "none-description"],
    )
    async def test_registration_failure_keeps_files(
        self, manager, root, caplog, registry, description, error
    ):
        caplog.set_level(logging.DEBUG, logger=LOGGER)
        creator = ToolCreatorTool(manager, registry)
        answer = await creator.execute(
            operation="create", tool_name="t", description=description, code=CODE
        )
        script = root / "t" / "tool.py"
        assert answer == (
            f"Tool saved to {script} but registration failed: {error}. "
            "You can still run it with tool_creator run."
        )
        assert script.read_text() == CODE
        assert json.loads((root / "t" / "metadata.json").read_text())["description"] == description
        assert logs(caplog) == [(logging.WARNING, f"Failed to register tool t: {error}")]

    async def test_failing_info_log_after_register(self, manager, root, monkeypatch):
        class Logger:
            warnings = []

            def info(self, message):
                raise OSError("log full")

            def warning(self, message):
                self.warnings.append(message)

        monkeypatch.setattr(tc, "logger", Logger())
        registry = ToolRegistry()
        answer = await ToolCreatorTool(manager, registry).execute(
            operation="create", tool_name="t", code=CODE
        )
        assert answer.startswith("Tool saved to ") and "registration failed: log full." in answer
        assert "custom_t" in registry and Logger.warnings == ["Failed to register tool t: log full"]

    async def test_base_exceptions_pass_registration(self, manager, root):
        class Stop(BaseException):
            pass

        creator = ToolCreatorTool(manager, Registry(register_error=Stop()))
        with pytest.raises(Stop):
            await creator.execute(operation="create", tool_name="t", code=CODE)
        assert (root / "t" / "metadata.json").exists()

    async def test_number_name_raises_after_validation(self, creator, manager, root):
        with pytest.raises(TypeError):
            await creator.execute(operation="create", tool_name=5, code=CODE)
        assert len(manager.calls) == 1 and list(root.iterdir()) == []

    @pytest.mark.parametrize("result", [RuntimeError("manager down"), JobResult(output=["valid"])])
    async def test_validation_failure_propagates(self, root, result):
        with pytest.raises((RuntimeError, TypeError)):
            await ToolCreatorTool(RecordingManager(result)).execute(
                operation="create", tool_name="t", code=CODE
            )
        assert list(root.iterdir()) == []

    async def test_file_in_the_way_propagates(self, creator, root):
        (root / "t").write_text("a plain file")
        with pytest.raises(FileExistsError):
            await creator.execute(operation="create", tool_name="t", code=CODE)
        assert (root / "t").read_text() == "a plain file"


class TestList:
    NONE = "No custom tools found. Use 'create' to make one."

    @pytest.mark.parametrize("setup", ["missing", "empty", "plain-files"])
    async def test_nothing_to_list(self, creator, root, setup):
        if setup == "missing":
            root.rmdir()
        elif setup == "plain-files":
            (root / "tool.py").write_text(CODE)
            (root / "notes").write_text("")
        assert await creator.execute(operation="list") == self.NONE
        assert await creator.execute() == self.NONE
        assert root.exists() is (setup != "missing")  # listing never creates the store

    async def test_entries(self, creator, root):
        make_folder(
            root,
            "alpha",
            meta={"name": "alpha", "description": "Lower case.", "script": "/elsewhere"},
        )
        make_folder(root, "Beta", code=CODE, meta={"name": "Beta", "description": "Upper case."})
        make_folder(root, "bare")
        make_folder(root, "nameless", meta={"description": ["any", "json"]})
        make_folder(root, "renamed", meta={"name": "other_name", "extra": 1})
        (root / "a_file").write_text("skipped")
        (root / "zz_link").symlink_to(root / "bare", target_is_directory=True)
        entries = [
            ("Beta", "Upper case.", "Beta"),
            ("alpha", "Lower case.", "alpha"),
            ("bare", "(no metadata)", "bare"),
            ("nameless", ["any", "json"], "nameless"),
            ("other_name", "", "renamed"),
            ("zz_link", "(no metadata)", "zz_link"),
        ]
        expected = {
            "tools": [
                {"name": n, "description": d, "path": str(root / f / "tool.py")}
                for n, d, f in entries
            ],
            "count": 6,
        }
        assert await creator.execute(operation="list") == dumps(expected)

    @pytest.mark.parametrize(
        "meta, error", [("{not json", json.JSONDecodeError), ("[1, 2]", AttributeError)]
    )
    async def test_bad_metadata_fails_the_listing(self, creator, root, meta, error):
        make_folder(root, "good", meta={"name": "good"})
        make_folder(root, "bad", meta=meta)
        with pytest.raises(error):
            await creator.execute(operation="list")

    async def test_reads_back_what_create_wrote(self, creator, root):
        description = "R\u00e9sum\u00e9 \u2603 \U0001f600"
        await creator.execute(operation="create", tool_name="t", description=description, code=CODE)
        listing = json.loads(await creator.execute(operation="list"))
        assert listing == {
            "tools": [
                {"name": "t", "description": description, "path": str(root / "t" / "tool.py")}
            ],
            "count": 1,
        }


class TestInfo:
    @pytest.mark.parametrize(
        "kwargs", [{}, {"tool_name": ""}, {"tool_name": None}, {"tool_name": 0}]
    )
    async def test_tool_name_required(self, creator, kwargs):
        assert await creator.execute(operation="info", **kwargs) == "[ERROR] tool_name is required."

    async def test_not_found(self, creator):
        assert (
            await creator.execute(operation="info", tool_name="nope")
            == "[ERROR] Tool not found: nope"
        )

    @pytest.mark.parametrize("setup", ["empty-folder", "plain-file"])
    async def test_name_only(self, creator, root, setup):
        if setup == "empty-folder":
            (root / "t").mkdir()
        else:
            (root / "t").write_text(CODE)
        assert await creator.execute(operation="info", tool_name="t") == '{\n  "name": "t"\n}'

    LINES = [f"line {i}" for i in range(1, 121)]

    @pytest.mark.parametrize(
        "content, lines, size, preview",
        [
            (b"", 0, 0, ""),
            (b"x", 1, 1, "x"),
            (b"a\nb\n", 2, 4, "a\nb"),
            (b"a\r\nb\r\n", 2, 4, "a\nb"),
            (b"a\rb", 2, 3, "a\nb"),
            (b"\n\n", 2, 2, "\n"),
            ("\u00e9\u2603\n".encode(), 1, 3, "\u00e9\u2603"),
            (
                "\n".join(LINES).encode() + b"\n",
                120,
                len("\n".join(LINES)) + 1,
                "\n".join(LINES[:50]),
            ),
        ],
        ids=["empty", "one", "two", "crlf", "cr", "blank", "utf8", "120-lines"],
    )
    async def test_code_figures(self, creator, root, content, lines, size, preview):
        make_folder(root, "t", code=content)
        info = json.loads(await creator.execute(operation="info", tool_name="t"))
        assert info == {
            "name": "t",
            "code_lines": lines,
            "code_size": size,
            "code_preview": preview,
        }
        assert list(info) == ["name", "code_lines", "code_size", "code_preview"]

    async def test_after_create(self, creator, root):
        code = "# \u00e9t\u00e9\n" + CODE
        await creator.execute(operation="create", tool_name="t", description="D\u00e9", code=code)
        info = json.loads(await creator.execute(operation="info", tool_name="t"))
        assert list(info.items()) == [
            ("name", "t"),
            ("description", "D\u00e9"),
            ("script", str(root / "t" / "tool.py")),
            ("created_by", "agent"),
            ("code_lines", 3),
            ("code_size", len(code)),
            ("code_preview", code),
        ]

    async def test_metadata_merge(self, creator, root):
        make_folder(root, "t", code="a\nb", meta={"code_size": "meta", "name": "shown", "k": [1]})
        info = json.loads(await creator.execute(operation="info", tool_name="t"))
        assert list(info.items()) == [
            ("name", "shown"),
            ("code_size", 3),
            ("k", [1]),
            ("code_lines", 2),
            ("code_preview", "a\nb"),
        ]

    @pytest.mark.parametrize(
        "meta, outcome",
        [
            ('[["k", "v"]]', {"name": "t", "k": "v"}),
            ("5", TypeError),
            ("{", json.JSONDecodeError),
        ],
    )
    async def test_non_object_metadata(self, creator, root, meta, outcome):
        make_folder(root, "t", meta=meta)
        if isinstance(outcome, dict):
            assert json.loads(await creator.execute(operation="info", tool_name="t")) == outcome
        else:
            with pytest.raises(outcome):
                await creator.execute(operation="info", tool_name="t")


class TestDelete:
    @pytest.mark.parametrize("kwargs", [{}, {"tool_name": ""}, {"tool_name": None}])
    async def test_tool_name_required(self, creator, kwargs):
        assert (
            await creator.execute(operation="delete", **kwargs) == "[ERROR] tool_name is required."
        )

    async def test_not_found(self, creator):
        registry = Registry(known=["custom_nope"])
        creator.set_registry(registry)
        assert (
            await creator.execute(operation="delete", tool_name="nope")
            == "[ERROR] Tool not found: nope"
        )
        assert registry.calls == []

    async def test_without_registry(self, creator, root):
        make_folder(root, "t", code=CODE, meta={"name": "t"})
        (root / "t" / "sub").mkdir()
        (root / "t" / "sub" / "data").write_text("x")
        assert await creator.execute(operation="delete", tool_name="t") == "Deleted custom tool: t"
        assert list(root.iterdir()) == []
        assert await creator.execute(operation="info", tool_name="t") == "[ERROR] Tool not found: t"

    async def test_registered_tool_withdrawn(self, manager, root):
        registry = ToolRegistry()
        creator = ToolCreatorTool(manager, registry)
        for name in ("t", "other"):
            await creator.execute(operation="create", tool_name=name, code=CODE)
        assert await creator.execute(operation="delete", tool_name="t") == "Deleted custom tool: t"
        assert registry.names() == ["custom_other"]
        assert files_under(root) == ["other", "other/metadata.json", "other/tool.py"]

    @pytest.mark.parametrize(
        "known, kept",
        [
            ((), {"custom_t": "kept", "x": 1}),  # get is false: _tools is not touched
            (("custom_t",), {"x": 1}),
        ],
    )
    async def test_tools_popped_only_after_true_get(self, creator, root, known, kept):
        registry = ToolsRegistry({"custom_t": "kept", "x": 1}, known=known)
        creator.set_registry(registry)
        make_folder(root, "t")
        assert await creator.execute(operation="delete", tool_name="t") == "Deleted custom tool: t"
        assert registry._tools == kept and registry.calls == [("get", "custom_t")]

    async def test_registry_without_tools_mapping(self, creator, root):
        registry = Registry(known=["custom_t"])
        creator.set_registry(registry)
        make_folder(root, "t")
        assert await creator.execute(operation="delete", tool_name="t") == "Deleted custom tool: t"
        assert registry.calls == [("get", "custom_t")] and not (root / "t").exists()

    async def test_false_registry_never_called(self, creator, root):
        registry = ToolsRegistry({"custom_t": 1}, known=["custom_t"], truth=False)
        creator.set_registry(registry)
        make_folder(root, "t")
        assert await creator.execute(operation="delete", tool_name="t") == "Deleted custom tool: t"
        assert registry.calls == [] and registry._tools == {"custom_t": 1}

    async def test_plain_file_raises_from_rmtree(self, creator, root):
        registry = Registry(known=["custom_t"])
        creator.set_registry(registry)
        (root / "t").write_text("plain")
        with pytest.raises(NotADirectoryError):
            await creator.execute(operation="delete", tool_name="t")
        assert (root / "t").read_text() == "plain" and registry.calls == []

    async def test_registry_error_after_removal(self, creator, root):
        creator.set_registry(Registry(get_error=LookupError("registry gone")))
        make_folder(root, "t")
        with pytest.raises(LookupError, match="registry gone"):
            await creator.execute(operation="delete", tool_name="t")
        assert not (root / "t").exists()


class TestRun:
    @pytest.mark.parametrize(
        "kwargs", [{}, {"tool_name": ""}, {"tool_name": None, "args": {"a": 1}}]
    )
    async def test_tool_name_required(self, creator, manager, kwargs):
        assert await creator.execute(operation="run", **kwargs) == "[ERROR] tool_name is required."
        assert manager.calls == []

    @pytest.mark.parametrize("folder", [True, False])
    async def test_script_missing(self, creator, manager, root, folder):
        if folder:
            make_folder(root, "t", meta={"name": "t"})
        answer = await creator.execute(operation="run", tool_name="t")
        assert answer == "[ERROR] Tool script not found: " + str(root / "t" / "tool.py")
        assert manager.calls == []

    async def test_job(self, creator, manager, tasks, root):
        make_folder(root, "t", code=CODE)
        payload = [1, 2]
        for kwargs in (
            {},
            {},
            {"args": None},
            {"args": payload},
            {"args": "text"},
            {"args": {"x": 1}, "extra": 2},
        ):
            await creator.execute(operation="run", tool_name="t", **kwargs)
        path = str(root / "t" / "tool.py")
        assert all(list(t) == ["worker_type", "command", "timeout"] for t in tasks)
        assert all(
            t["worker_type"] == "custom" and t["timeout"] == 60.0 and type(t["timeout"]) is float
            for t in tasks
        )
        assert all(list(t["command"]) == ["action", "path", "function", "args"] for t in tasks)
        assert all(
            t["command"]["action"] == "run_function"
            and t["command"]["path"] == path
            and t["command"]["function"] == "main"
            for t in tasks
        )
        sent = [t["command"]["args"] for t in tasks]
        assert sent == [{}, {}, None, [1, 2], "text", {"x": 1}]
        assert sent[0] is not sent[1] and sent[3] is payload
        assert [args[0].command for args, _ in manager.calls] == [t["command"] for t in tasks]

    @pytest.mark.parametrize(
        "result, answer",
        [
            (
                JobResult(error="ValueError: bad input (tool.py, line 2)", output={"x": 1}),
                "[ERROR] ValueError: bad input (tool.py, line 2)",
            ),
            (JobResult(error=42), "[ERROR] 42"),
            (JobResult(error="", output=None), "null"),
            (
                JobResult(error=None, output={"\u00e9": [1, "\u2603"], "a": {}}),
                '{\n  "\\u00e9": [\n    1,\n    "\\u2603"\n  ],\n  "a": {}\n}',
            ),
            (JobResult(output=[]), "[]"),
        ],
        ids=["error", "number-error", "null", "dict", "empty-list"],
    )
    async def test_results(self, root, result, answer):
        make_folder(root, "t", code=CODE)
        assert (
            await ToolCreatorTool(RecordingManager(result)).execute(operation="run", tool_name="t")
            == answer
        )

    @pytest.mark.parametrize("result", [RuntimeError("manager down"), JobResult(output={1, 2})])
    async def test_failures_propagate(self, root, result):
        make_folder(root, "t", code=CODE)
        with pytest.raises((RuntimeError, TypeError)):
            await ToolCreatorTool(RecordingManager(result)).execute(operation="run", tool_name="t")

    async def test_unregistered_tool_runs_by_name(self, manager, root):
        creator = ToolCreatorTool(manager, Registry(register_error=ValueError("M")))
        await creator.execute(operation="create", tool_name="t", code=CODE)
        manager.default = JobResult(output={"success": True})
        assert await creator.execute(operation="run", tool_name="t") == '{\n  "success": true\n}'


class TestUnsafeNames:
    NAMES = [
        "a/b",
        "../victim",
        "/abs",
        "a\\b",
        "a\0b",
        ".",
        "..",
        "victim/",
        FsName("../victim"),
        pathlib.PurePosixPath("x/y"),
    ]
    IDS = [
        "slash",
        "parent",
        "absolute",
        "backslash",
        "nul",
        "dot",
        "dot-dot",
        "trailing-slash",
        "pathlike-parent",
        "path-with-slash",
    ]

    @pytest.fixture
    def victim(self, home):
        folder = home / ".velmor" / "victim"
        folder.mkdir(parents=True)
        (folder / "tool.py").write_text(CODE)
        return folder

    @pytest.mark.parametrize("operation", ["create", "info", "delete", "run"])
    @pytest.mark.parametrize("name", NAMES, ids=IDS)
    async def test_refused_before_anything_happens(self, manager, home, victim, operation, name):
        registry = Registry(known=["custom_victim", "custom_.."])
        creator = ToolCreatorTool(manager, registry)
        before = files_under(home)
        answer = await creator.execute(operation=operation, tool_name=name, code=CODE, args={})
        assert answer == invalid_name(name)
        assert manager.calls == [] and registry.calls == [] and files_under(home) == before

    @pytest.mark.parametrize(
        "name", ["...", ".hidden", "a.b", "a b", "x..y", "\u00e9t\u00e9", "x" * 70]
    )
    async def test_plain_names_accepted(self, creator, root, name):
        # Such folders cannot be created any more, but ones already in the store
        # stay readable, runnable and deletable.
        make_folder(root, name, code=CODE, meta={"name": name})
        assert json.loads(await creator.execute(operation="list"))["tools"][0]["name"] == name
        assert json.loads(await creator.execute(operation="info", tool_name=name))["name"] == name
        assert json.loads(await creator.execute(operation="run", tool_name=name)) == VALID.output
        assert (
            await creator.execute(operation="delete", tool_name=name)
            == f"Deleted custom tool: {name}"
        )
        assert list(root.iterdir()) == []

    async def test_plain_path_like_accepted(self, creator, manager, root):
        make_folder(root, "t", code=CODE)
        assert await creator.execute(operation="run", tool_name=FsName("t")) == dumps(VALID.output)
        assert manager.tasks[0].command["path"] == str(root / "t" / "tool.py")
        assert (
            await creator.execute(operation="delete", tool_name=pathlib.PurePath("t"))
            == "Deleted custom tool: t"
        )

    @pytest.mark.parametrize("operation", ["create", "delete"])
    async def test_path_like_is_asked_once(self, creator, home, root, victim, operation):
        class Turncoat:
            """Safe when checked, a way out of the store when asked again."""

            def __init__(self):
                self.answers = iter(["t", "../victim"])

            def __fspath__(self):
                return next(self.answers)

            def __format__(self, spec):
                return "t"

        make_folder(root, "t", code=CODE)
        with contextlib.suppress(TypeError):  # create's JSON answer cannot hold the object itself
            await creator.execute(operation=operation, tool_name=Turncoat(), code="# new\n" + CODE)
        assert (victim / "tool.py").read_text() == CODE and not (victim / "metadata.json").exists()

    @pytest.mark.parametrize("operation", ["info", "delete", "run"])
    async def test_number_name_raises(self, creator, manager, operation):
        with pytest.raises(TypeError):
            await creator.execute(operation=operation, tool_name=5)
        assert manager.calls == []


def not_provider_safe(text):
    return (
        f"[ERROR] Invalid tool_name: {text!r}. A new tool's name uses only the letters A-Z and "
        "a-z, the digits 0-9, '_' and '-', at most 57 characters, so that its registered name "
        "custom_<name> is a valid function name for model providers."
    )


class TestNewToolNames:
    """create refuses names whose registered form custom_<name> providers would refuse."""

    PROVIDER_NAME = re.compile(r"[a-zA-Z0-9_-]{1,64}")

    @pytest.mark.parametrize(
        "name",
        ["a", "Z", "7", "_", "-", "a" * 57, "Word_Count-2"],
        ids=["lower", "upper", "digit", "underscore", "hyphen", "57-chars", "mixed"],
    )
    async def test_accepted(self, manager, root, name):
        registry = ToolRegistry()
        creator = ToolCreatorTool(manager, registry)
        answer = json.loads(await creator.execute(operation="create", tool_name=name, code=CODE))
        assert (root / name / "tool.py").exists() and answer["registered"] is True
        (registered,) = registry.names()
        assert registered == f"custom_{name}" and self.PROVIDER_NAME.fullmatch(registered)

    @pytest.mark.parametrize(
        "name",
        [
            "a" * 58,
            "a" * 256,  # longer than a folder name may be: refused, not an OSError
            "word count",
            "a.b",
            "...",
            "tab\there",
            "line\n",
            "z\u00e4hlw\u00f6rter",
            "\u0663",  # a digit, but not an ASCII one
            "\uff41",  # fullwidth a
            " ",
            FsName("a b"),
            pathlib.PurePosixPath("a.b"),
            FsName(""),  # a true object whose text is empty
        ],
        ids=[
            "58-chars",
            "256-chars",
            "space",
            "dot",
            "dots",
            "tab",
            "newline",
            "non-ascii-letters",
            "non-ascii-digit",
            "fullwidth",
            "only-space",
            "path-like-space",
            "path-dot",
            "path-like-empty",
        ],
    )
    async def test_refused_before_anything_happens(self, manager, home, name):
        registry = ToolRegistry()
        creator = ToolCreatorTool(manager, registry)
        before = files_under(home)
        answer = await creator.execute(operation="create", tool_name=name, code=CODE)
        assert answer == not_provider_safe(os.fspath(name))
        assert manager.calls == [] and registry.names() == [] and files_under(home) == before

    @pytest.mark.parametrize(
        "kwargs, text",
        [
            ({"tool_name": "a b"}, "[ERROR] code is required."),
            ({"code": CODE}, "[ERROR] tool_name is required."),
            ({"tool_name": "a b/c", "code": CODE}, invalid_name("a b/c")),
            ({"tool_name": "..", "code": CODE}, invalid_name("..")),
            ({"tool_name": "a b", "code": CODE, "register": False}, not_provider_safe("a b")),
        ],
        ids=["code-first", "name-required-first", "unsafe-first", "dot-dot-unsafe", "no-register"],
    )
    async def test_order_of_checks(self, creator, manager, root, kwargs, text):
        assert await creator.execute(operation="create", **kwargs) == text
        assert manager.calls == [] and list(root.iterdir()) == []

    @pytest.mark.parametrize("name", [FsName("fine"), FsName(b"a b")], ids=["path-like", "bytes"])
    async def test_other_names_go_on_as_before(self, creator, manager, root, name):
        # A path-like with a fine text passes the check; one whose text is bytes
        # is not judged. Both then reach validation; the metadata cannot hold
        # the object itself.
        with pytest.raises(TypeError):
            await creator.execute(operation="create", tool_name=name, code=CODE)
        assert len(manager.calls) == 1


class TestKwargsType:
    @pytest.mark.parametrize(
        "method", ["_create_tool", "_validate_tool", "_tool_info", "_delete_tool", "_run_tool"]
    )
    @pytest.mark.parametrize(
        "kwargs, typename", [(Sub(tool_name="t", code=CODE), "Sub"), (None, "NoneType")]
    )
    def test_refused_on_call(self, creator, manager, root, method, kwargs, typename):
        make_folder(root, "t", code=CODE, meta="{broken")  # reading it would raise another error
        with pytest.raises(TypeError) as info:
            getattr(creator, method)(kwargs)
        assert (
            str(info.value)
            == f"Argument 'kwargs' has incorrect type (expected dict, got {typename})"
        )
        assert manager.calls == [] and (root / "t" / "tool.py").exists()


class ReadKey(str):
    """A key that records each time a lookup compares it."""

    reads: list

    def __eq__(self, other):
        ReadKey.reads.append(str(self))
        return str.__eq__(self, other)

    __hash__ = str.__hash__


class TestKeyReadOrder:
    """Each operation reads all of its keys, in a fixed order, before it tests any."""

    @pytest.mark.parametrize(
        "method, given, expected",
        [
            (
                "_create_tool",
                {"tool_name": "t", "description": "d", "code": CODE, "register": False},
                ["tool_name", "description", "code", "register"],
            ),
            (
                "_create_tool",
                {"register": False, "code": "", "description": "d", "tool_name": "t"},
                ["tool_name", "description", "code", "register"],
            ),
            ("_run_tool", {"args": {}, "tool_name": "t"}, ["tool_name", "args"]),
            ("_run_tool", {"args": {}, "tool_name": "../t"}, ["tool_name", "args"]),
        ],
    )
    async def test_reads_in_order(self, creator, root, method, given, expected):
        make_folder(root, "t", code=CODE)
        ReadKey.reads = []
        await getattr(creator, method)({ReadKey(key): value for key, value in given.items()})
        assert ReadKey.reads == expected


class TestUtf8Reads:
    async def test_store_reads_the_same_under_an_ascii_locale(self, creator, home, root):
        code = "# \u00e9t\u00e9 \u2603\n" + CODE
        await creator.execute(
            operation="create", tool_name="t", description="\u00e9t\u00e9", code=code
        )
        make_folder(
            root,
            "raw",
            code="x = '\u00fc'\r\n",
            meta=json.dumps({"name": "r\u00e5", "description": "\u00fcber"}, ensure_ascii=False),
        )
        lines = run_python(
            """
            import json, locale
            from velmor.tools.tool_creator import ToolCreatorTool
            tool = ToolCreatorTool(object())
            print(json.dumps([locale.getencoding(), tool._list_tools(), tool._tool_info({"tool_name": "t"}),
                              tool._tool_info({"tool_name": "raw"})]))
        """,
            home,
            LC_ALL="C",
            LANG="C",
            PYTHONUTF8="0",
            PYTHONCOERCECLOCALE="0",
        )
        encoding, listing, info, raw = json.loads(lines[-1])
        if encoding.lower().replace("-", "") == "utf8":
            pytest.skip("no non-UTF-8 locale to run under")
        assert listing == await creator.execute(operation="list")
        assert [(e["name"], e["description"]) for e in json.loads(listing)["tools"]] == [
            ("r\u00e5", "\u00fcber"),
            ("t", "\u00e9t\u00e9"),
        ]
        assert json.loads(info)["code_preview"] == code.rstrip("\n") and json.loads(info)[
            "code_size"
        ] == len(code)
        assert json.loads(raw)["code_size"] == len("x = '\u00fc'\n")  # universal newlines kept
