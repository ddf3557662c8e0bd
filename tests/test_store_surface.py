"""velmor.tools.store: the facts about the store that the front ends share,
held to what the tool creator itself does."""

import os

import pytest

from tests.fakes import JobResult, RecordingManager
from velmor.tools import store, tool_creator
from velmor.tools.store import DamagedMetadata, find_damaged_metadata
from velmor.tools.tool_creator import DynamicTool, ToolCreatorTool

NAMES = [
    ("word_count", True),
    ("Tool-2", True),
    ("a" * 57, True),
    ("a" * 58, False),
    ("", False),
    ("word count", False),
    ("zählwörter", False),
    ("a.b", False),
    ("a/b", False),
    ("..", False),
    ("x\n", False),
    ("ａ", False),  # a full-width letter: not ASCII
]


class TestNameRule:
    @pytest.mark.parametrize("name, usable", NAMES, ids=repr)
    async def test_the_rule_is_the_one_create_applies(self, name, usable):
        jobs = RecordingManager(default=JobResult(error="stopped before any write"))
        answer = await ToolCreatorTool(jobs).execute(
            operation="create", tool_name=name, description="", code="def main(args): pass"
        )
        # A name create accepts goes on to validation, a worker job; a refused one never does.
        assert store.is_new_tool_name(name) is usable
        assert bool(jobs.calls) is usable
        assert answer.startswith(store.ERROR_PREFIX)
        if not usable and name:  # (an empty name is answered as a missing one)
            assert answer.startswith(f"{store.ERROR_PREFIX} Invalid tool_name: {name!r}.")

    def test_only_text_is_judged(self):
        assert not store.is_new_tool_name(b"word_count")
        assert not store.is_new_tool_name(None)

    def test_the_longest_name_makes_a_provider_function_name(self):
        longest = "a" * store.MAX_NAME_LENGTH
        registered = DynamicTool(longest, "", "/nowhere/tool.py", RecordingManager()).name
        assert registered == store.REGISTERED_PREFIX + longest and len(registered) == 64
        assert str(store.MAX_NAME_LENGTH) in store.NAME_RULE


class TestAnswers:
    async def test_the_modules_failures_carry_the_prefix(self):
        creator = ToolCreatorTool(RecordingManager())
        for answer in [
            await creator.execute(operation="no such operation"),
            await creator.execute(operation="info", tool_name="missing"),
            await creator.execute(operation="create"),
        ]:
            assert store.is_error(answer), answer
        assert not store.is_error(await creator.execute(operation="list"))


class TestWhereTheStoreIs:
    def test_default_root_is_under_home_and_made(self, home):
        root = store.default_root()
        assert root == home / ".velmor" / "custom_tools" and root.is_dir()
        assert root == store.root_of(ToolCreatorTool(RecordingManager()))

    def test_default_root_follows_the_modules_own_lookup(self, monkeypatch, tmp_path):
        monkeypatch.setattr(tool_creator, "_get_custom_tools_dir", lambda: str(tmp_path / "moved"))
        assert store.default_root() == tmp_path / "moved"

    def test_a_creators_store_and_manager_are_read_now(self, tmp_path):
        jobs, other_jobs = RecordingManager(), RecordingManager()
        creator = ToolCreatorTool(jobs)
        assert store.manager_of(creator) is jobs
        creator._custom_tools_dir, creator._manager = tmp_path / "elsewhere", other_jobs
        assert store.root_of(creator) == tmp_path / "elsewhere"
        assert store.manager_of(creator) is other_jobs

    def test_tool_script(self):
        tool = DynamicTool("t", "", "/store/t/tool.py", RecordingManager())
        assert store.tool_script(tool) == "/store/t/tool.py"
        assert store.tool_script(ToolCreatorTool(RecordingManager())) is None


def _write(path, data: bytes):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


class TestDamagedMetadata:
    @pytest.mark.parametrize(
        "data, reason",
        [
            (b"{broken", "not JSON: Expecting property name"),
            (b"[1, 2]", "not a JSON object"),
            (b'"text"', "not a JSON object"),
            (b'{"description": "\xff"}', "not UTF-8 text"),
            (b"[" * 100_000 + b"]" * 100_000, "not JSON that can be read: nested too deeply"),
            (b'{"a": ' * 100_000 + b"1" + b"}" * 100_000, "not JSON that can be read"),
        ],
        ids=["not-json", "a-list", "a-string", "not-utf8", "deep-array", "deep-object"],
    )
    def test_each_kind_is_named(self, tmp_path, data, reason):
        _write(tmp_path / "good" / "metadata.json", b"{}")
        _write(tmp_path / "bad" / "metadata.json", data)
        found = find_damaged_metadata(tmp_path)
        assert found is not None and found.reason.startswith(reason)
        assert (found.folder, found.path) == ("bad", tmp_path / "bad" / "metadata.json")
        assert str(found).startswith(f"the metadata.json of tool folder 'bad' is damaged ({reason}")
        assert str(found).endswith(f"): {found.path}")

    @pytest.mark.parametrize("make", [os.mkfifo, lambda path: path.symlink_to("/dev/zero")])
    def test_metadata_that_is_no_regular_file_is_named_unread(self, tmp_path, make):
        # A FIFO would block until a writer came; /dev/zero would never end.
        (tmp_path / "t").mkdir()
        make(tmp_path / "t" / "metadata.json")
        found = find_damaged_metadata(tmp_path)
        assert found is not None and (found.folder, found.reason) == ("t", "not a regular file")

    def test_unreadable_metadata_says_why(self, tmp_path):
        (tmp_path / "t" / "metadata.json").mkdir(parents=True)
        assert find_damaged_metadata(tmp_path) == DamagedMetadata(
            "t", tmp_path / "t" / "metadata.json", os.strerror(21)
        )

    def test_the_first_in_name_order_unless_a_tool_is_named(self, tmp_path):
        for name in ("b", "a", "c"):
            _write(tmp_path / name / "metadata.json", b"[]")
        _write(tmp_path / "ok" / "metadata.json", b"{}")
        assert find_damaged_metadata(tmp_path).folder == "a"
        assert find_damaged_metadata(tmp_path, "c").folder == "c"
        assert find_damaged_metadata(tmp_path, "ok") is None
        assert find_damaged_metadata(tmp_path, 5).folder == "a"  # only a str names a tool

    def test_what_is_no_damage(self, tmp_path):
        (tmp_path / "no_metadata").mkdir()
        _write(tmp_path / "stray_file", b"[]")
        _write(tmp_path / "ok" / "metadata.json", b'{"description": "fine"}')
        assert find_damaged_metadata(tmp_path) is None
        assert find_damaged_metadata(tmp_path, "missing") is None
        assert find_damaged_metadata(tmp_path / "no_such_store") is None

    @pytest.mark.parametrize("name", ["../outside", "..", "a/b", "nul\0", "n" * 5000])
    def test_a_name_leading_out_of_the_store_reads_nothing(self, tmp_path, name):
        _write(tmp_path / "outside" / "metadata.json", b"[]")
        _write(tmp_path / "store" / "a" / "b" / "metadata.json", b"[]")
        assert find_damaged_metadata(tmp_path / "store", name) is None
