"""One store, several processes, and crashes: create replaces each file whole
(a temporary file synced and renamed over it), so a writer killed at any
moment and readers in other processes only ever meet whole files, and no
operation raises because another process changed the store under it."""

import json
import os
import random
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from tests.fakes import JobResult, RecordingManager, finish
from tests.store_agents import (
    TOOLS,
    VERSIONS,
    InstantManager,
    check_agents,
    check_files,
    create,
    run_agents,
    temporary_files,
)
from velmor.tools.tool_creator import ToolCreatorTool

# Writers killed at random and agents sharing a store: left out of `make test-fast`.
pytestmark = pytest.mark.slow

AGENTS = Path(__file__).with_name("store_agents.py")
KILLS = 120
CODE = "def main(args):\n    return {}\n"


def agent_env(home):
    return dict(os.environ, HOME=str(home), PYTHONDONTWRITEBYTECODE="1")


class Zygote:
    """A process that has imported the module and forks writers on demand."""

    def __init__(self, home):
        self.proc = subprocess.Popen(
            [sys.executable, str(AGENTS), "zygote"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=agent_env(home),
        )
        assert self.proc.stdout.readline() == "ready\n"

    def ask(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return int(self.proc.stdout.readline())

    def kill(self, pid):
        """SIGKILLs the writer; whether it was still writing when it died."""
        os.kill(pid, signal.SIGKILL)
        status = self.ask(f"reap {pid}")
        return os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=10)


@pytest.fixture
def zygote(home):
    made = Zygote(home)
    yield made
    made.close()


@pytest.fixture
def creator():
    return ToolCreatorTool(InstantManager())


def listing_names(creator):
    return [entry["name"] for entry in json.loads(creator._list_tools())["tools"]]


def test_writer_killed_at_random_leaves_whole_files(home, zygote, creator):
    for tool in TOOLS:
        create(creator, tool, 0)
    rng = random.Random(1)
    kills = checked = leftovers = 0
    faults = []
    for _ in range(KILLS):
        pid = zygote.ask("fork")
        time.sleep(rng.uniform(0.002, 0.025))
        assert zygote.kill(pid), "the writer ended before it was killed"
        kills += 1
        files, found = check_files(home)
        checked, faults = checked + files, faults + found
        leftovers += len(temporary_files(home))
        assert listing_names(creator) == sorted(TOOLS)  # the listing works after every crash
        for tool in TOOLS:
            info = json.loads(creator._tool_info({"tool_name": tool}))
            assert info["code_size"] in [len(v) for v in VERSIONS] and ".tmp" not in json.dumps(
                info
            )
    print(
        f"\ncrash test: {kills} kills, {checked} files checked, {len(faults)} partial files, "
        f"{leftovers} temporary files left by the kills (never listed)"
    )
    assert faults == [] and checked == kills * 2 * len(TOOLS)
    # The next create of each tool removes what the killed writers left behind.
    for tool in TOOLS:
        create(creator, tool, 1)
    assert temporary_files(home) == []


def test_readers_in_another_process_meet_only_whole_files(home, zygote, creator):
    for tool in TOOLS:
        create(creator, tool, 0)
    pid = zygote.ask("fork")
    reads, faults, seen = 0, [], set()
    deadline = time.monotonic() + 1.5
    try:
        while time.monotonic() < deadline:
            files, found = check_files(home)
            reads, faults = reads + files, faults + found
            assert len(listing_names(creator)) == len(TOOLS)
            info = json.loads(creator._tool_info({"tool_name": "alpha"}))
            seen.add(info["code_size"])
            assert info["code_size"] in [len(v) for v in VERSIONS]
    finally:
        assert zygote.kill(pid)
    print(f"\nreaders: {reads} file reads during creates, {len(faults)} partial")
    assert faults == [] and reads > 100
    assert len(seen) > 1, "the writer changed nothing while the readers read"


def test_two_agents_on_one_store(home):
    check_agents(run_agents(home, 5))


class TestTemporaryFiles:
    def tool_folder(self, creator, name="tool"):
        return creator._custom_tools_dir / name

    def leave(self, folder, pid, final="tool.py", age=0):
        path = folder / f".{final}.{pid}.{'0' * 15}1.tmp"
        path.write_text("half a fi", encoding="utf-8")
        if age:
            os.utime(path, (time.time() - age, time.time() - age))
        return path

    def dead_pid(self):
        proc = subprocess.Popen(["true"])
        proc.wait()
        return proc.pid

    def test_create_leaves_only_the_two_files(self, creator):
        create(creator, "tool", 2)
        folder = self.tool_folder(creator)
        assert sorted(p.name for p in folder.iterdir()) == ["metadata.json", "tool.py"]
        assert (folder / "tool.py").read_text(encoding="utf-8") == VERSIONS[2]

    def test_what_a_dead_writer_left_is_removed_by_the_next_create(self, creator):
        create(creator, "tool", 0)
        folder = self.tool_folder(creator)
        dead = [
            self.leave(folder, self.dead_pid(), final) for final in ("tool.py", "metadata.json")
        ]
        old = self.leave(folder, os.getpid(), age=3600)
        live = self.leave(folder, os.getppid())
        other = folder / ".tool.py.notes.tmp"  # not a name the writer makes: left alone
        other.write_text("mine", encoding="utf-8")
        answer = finish(creator.execute(operation="list"))
        assert ".tmp" not in answer and ".tmp" not in creator._tool_info({"tool_name": "tool"})
        create(creator, "tool", 1)
        assert [p.exists() for p in [*dead, old, live, other]] == [False, False, False, True, True]

    def test_failed_write_keeps_the_old_file_and_leaves_no_temporary(self, creator, monkeypatch):
        create(creator, "tool", 0)
        original = Path.write_text

        def cut_short(path, text, **kwargs):
            original(path, text[:10], **kwargs)
            raise OSError(28, "No space left on device")

        monkeypatch.setattr(Path, "write_text", cut_short)
        with pytest.raises(OSError, match="No space left"):
            create(creator, "tool", 1)
        monkeypatch.undo()
        folder = self.tool_folder(creator)
        assert sorted(p.name for p in folder.iterdir()) == ["metadata.json", "tool.py"]
        assert (folder / "tool.py").read_text(encoding="utf-8") == VERSIONS[0]

    def test_a_folder_where_the_file_goes_raises_as_before(self, creator):
        folder = self.tool_folder(creator)
        (folder / "tool.py" / "inside").mkdir(parents=True)
        with pytest.raises(OSError) as raised:
            create(creator, "tool", 0)
        assert str(raised.value.filename2) == str(folder / "tool.py")
        assert sorted(p.name for p in folder.iterdir()) == ["tool.py"]

    def test_writes_go_through_write_text_in_utf8(self, creator, monkeypatch):
        seen = []
        original = Path.write_text

        def record(path, text, **kwargs):
            seen.append((path.parent.name, path.name.startswith("."), kwargs))
            return original(path, text, **kwargs)

        monkeypatch.setattr(Path, "write_text", record)
        create(creator, "tool", 3)
        assert seen == [("tool", True, {"encoding": "utf-8"})] * 2


class TestRacesWithADelete:
    """Another process deletes the tool at the worst moment; the answer is the
    operation's own, as if the delete had come first (or last)."""

    def deleting_on(self, monkeypatch, name, folder, then=None):
        original = getattr(Path, name)

        def delete_first(path, *args, **kwargs):
            if folder.exists():
                import shutil

                shutil.rmtree(folder)
            return (then or original)(path, *args, **kwargs)

        monkeypatch.setattr(Path, name, delete_first)

    def test_listing_skips_a_tool_deleted_while_read(self, creator, monkeypatch):
        create(creator, "alpha", 0)
        create(creator, "beta", 0)
        self.deleting_on(monkeypatch, "read_text", creator._custom_tools_dir / "alpha")
        assert listing_names(creator) == ["beta"]

    def test_listing_keeps_a_folder_whose_metadata_went(self, creator, monkeypatch):
        create(creator, "alpha", 0)
        meta = creator._custom_tools_dir / "alpha" / "metadata.json"
        original = Path.read_text

        def unlink_first(path, *args, **kwargs):
            meta.unlink(missing_ok=True)
            return original(path, *args, **kwargs)

        monkeypatch.setattr(Path, "read_text", unlink_first)
        entry = json.loads(creator._list_tools())["tools"][0]
        assert entry["description"] == "(no metadata)"

    @pytest.mark.parametrize("file", ["metadata.json", "tool.py"])
    def test_info_on_a_tool_deleted_while_read(self, creator, monkeypatch, file):
        create(creator, "alpha", 0)
        folder = creator._custom_tools_dir / "alpha"
        original = Path.read_text

        def delete_at(path, *args, **kwargs):
            if path.name == file and folder.exists():
                import shutil

                shutil.rmtree(folder)
            return original(path, *args, **kwargs)

        monkeypatch.setattr(Path, "read_text", delete_at)
        assert creator._tool_info({"tool_name": "alpha"}) == "[ERROR] Tool not found: alpha"

    def test_delete_racing_a_delete(self, creator, monkeypatch):
        import shutil

        create(creator, "alpha", 0)
        folder = creator._custom_tools_dir / "alpha"
        original = shutil.rmtree

        def other_process_first(path, *args, **kwargs):
            original(path)
            return original(path, *args, **kwargs)

        monkeypatch.setattr(shutil, "rmtree", other_process_first)
        assert creator._delete_tool({"tool_name": "alpha"}) == "Deleted custom tool: alpha"
        assert not folder.exists()

    def test_delete_racing_a_create_that_writes_into_the_folder(self, creator, monkeypatch):
        import shutil

        create(creator, "alpha", 0)
        folder = creator._custom_tools_dir / "alpha"
        original, calls = shutil.rmtree, []

        def a_file_appears(path, *args, **kwargs):
            calls.append(path)
            if len(calls) == 1:
                err = OSError(39, "Directory not empty", str(path))
                (folder / ".tool.py.1.0000000000000001.tmp").write_text("x")
                raise err
            return original(path, *args, **kwargs)

        monkeypatch.setattr(shutil, "rmtree", a_file_appears)
        assert creator._delete_tool({"tool_name": "alpha"}) == "Deleted custom tool: alpha"
        assert len(calls) == 2 and not folder.exists()

    def test_delete_still_raises_what_no_other_process_causes(self, creator, monkeypatch):
        import shutil

        create(creator, "alpha", 0)

        def refused(path, *args, **kwargs):
            raise PermissionError(13, "Permission denied", str(path))

        monkeypatch.setattr(shutil, "rmtree", refused)
        with pytest.raises(PermissionError):
            creator._delete_tool({"tool_name": "alpha"})

    def test_create_whose_folder_goes_as_mkdir_checks_it(self, creator, monkeypatch):
        original, raised = Path.mkdir, []

        def found_then_gone(path, *args, **kwargs):
            if path.name == "alpha" and not raised:
                raised.append(path)  # os.mkdir met the folder; is_dir no longer finds it
                raise FileExistsError(17, "File exists", str(path))
            return original(path, *args, **kwargs)

        monkeypatch.setattr(Path, "mkdir", found_then_gone)
        create(creator, "alpha", 1)
        assert raised and check_files(creator._custom_tools_dir.parent.parent) == (2, [])

    def test_create_whose_folder_is_deleted_under_it_writes_a_whole_tool(
        self, creator, monkeypatch
    ):
        folder = creator._custom_tools_dir / "alpha"
        original, deleted = Path.write_text, []

        def delete_once(path, text, **kwargs):
            if path.name.startswith(".metadata.json") and not deleted:
                import shutil

                shutil.rmtree(folder)
                deleted.append(path)
            return original(path, text, **kwargs)

        monkeypatch.setattr(Path, "write_text", delete_once)
        create(creator, "alpha", 2)
        assert deleted and check_files(creator._custom_tools_dir.parent.parent) == (2, [])
        assert (folder / "tool.py").read_text(encoding="utf-8") == VERSIONS[2]

    def test_a_delete_in_another_process_waits_for_the_writes(self, home, creator, monkeypatch):
        create(creator, "alpha", 0)
        folder = creator._custom_tools_dir / "alpha"
        deleter = subprocess.Popen(
            [sys.executable, str(AGENTS), "delete", "alpha"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=agent_env(home),
        )
        assert deleter.stdout.readline() == "ready\n"
        original, answered_meanwhile = Path.write_text, []

        def let_it_delete(path, text, **kwargs):
            original(path, text, **kwargs)
            if not answered_meanwhile:
                deleter.stdin.write("go\n")
                deleter.stdin.flush()
                answered, _, _ = select.select([deleter.stdout], [], [], 0.5)
                answered_meanwhile.append(bool(answered))

        monkeypatch.setattr(Path, "write_text", let_it_delete)
        answer = create(creator, "alpha", 2)
        monkeypatch.undo()
        out, _ = deleter.communicate(timeout=30)
        # Its removal waited for both files; it then took the whole new tool.
        assert answered_meanwhile == [False]
        assert json.loads(answer)["created"] == "alpha"
        assert out == "Deleted custom tool: alpha\n" and not folder.exists()

    def test_a_lock_kept_by_a_stray_process_delays_create_but_never_stops_it(self, creator):
        # A process forked while a create held the lock keeps it as long as it
        # lives: later creates and deletes wait for it a while, then go on.
        create(creator, "alpha", 0)
        store = creator._custom_tools_dir
        holder = subprocess.Popen(
            [
                sys.executable,
                "-c",
                "import fcntl, os, sys, time\n"
                f"fd = os.open({str(store)!r}, os.O_RDONLY)\n"
                "fcntl.flock(fd, fcntl.LOCK_EX)\n"
                "print('held', flush=True)\n"
                "time.sleep(120)\n",
            ],
            stdout=subprocess.PIPE,
            text=True,
        )
        try:
            assert holder.stdout.readline() == "held\n"
            started = time.monotonic()
            answer = create(creator, "alpha", 1)
            waited = time.monotonic() - started
        finally:
            holder.kill()
            holder.wait()
        assert json.loads(answer)["created"] == "alpha"
        assert (store / "alpha" / "tool.py").read_text() == VERSIONS[1]
        assert 5 <= waited < 60, waited

    @pytest.mark.parametrize(
        "result, expected",
        [
            (JobResult(error="Worker exited with status 71: FileNotFoundError"), "not found"),
            (JobResult(output={"ran": True}), '{\n  "ran": true\n}'),
        ],
    )
    def test_run_whose_tool_is_deleted_while_its_job_runs(self, creator, result, expected):
        create(creator, "alpha", 0)
        folder = creator._custom_tools_dir / "alpha"

        class DeletingManager(RecordingManager):
            async def spawn(self, task):
                import shutil

                shutil.rmtree(folder)
                return await super().spawn(task)

        creator._manager = DeletingManager(result)
        answer = finish(creator.execute(operation="run", tool_name="alpha"))
        script = folder / "tool.py"
        assert answer == (
            f"[ERROR] Tool script not found: {script}" if expected == "not found" else expected
        )

    def test_a_failed_run_of_a_tool_still_there_reports_the_failure(self, creator):
        create(creator, "alpha", 0)
        creator._manager = RecordingManager(JobResult(error="boom"))
        assert finish(creator.execute(operation="run", tool_name="alpha")) == "[ERROR] boom"

    def test_real_worker_run_of_a_deleted_tool(self, make_manager, home):
        manager = make_manager()
        creator = ToolCreatorTool(manager)
        folder = creator._custom_tools_dir / "alpha"
        folder.mkdir()
        (folder / "tool.py").write_text(CODE, encoding="utf-8")

        class DeleteThenRun:
            async def spawn(self, task):
                import shutil

                shutil.rmtree(folder)
                return await manager.spawn(task)

        creator._manager = DeleteThenRun()
        import asyncio

        answer = asyncio.run(creator.execute(operation="run", tool_name="alpha"))
        assert answer == f"[ERROR] Tool script not found: {folder / 'tool.py'}"
