"""Each job's folder, named after its host, and the leftovers of hosts that died."""

from __future__ import annotations

import asyncio
import os
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

import pytest

from tests.tasks import run
from velmor.core import job_folders
from velmor.core.subprocess_manager import SubprocessManager


def _folder_of(pid: int, start: int, namespace: int, root: Path) -> Path:
    folder = root / f"velmor-job-{pid}-{start}-{namespace}-abcd1234"
    folder.mkdir()
    (folder / "left.txt").write_text("left behind", encoding="utf-8")
    return folder


class TestLeftoverFolders:
    @pytest.fixture
    def gone(self):
        """A process that has exited and been reaped, and its start time."""
        child = subprocess.Popen([sys.executable, "-c", "pass"])
        start = job_folders._start_time(child.pid)
        child.wait()
        return child.pid, start

    def test_a_job_folder_is_named_after_its_host(self, tmp_path, monkeypatch):
        monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
        folder = Path(job_folders.make_job_folder())
        pid, start, namespace = folder.name.split("-")[2:5]
        assert folder.parent == tmp_path and folder.is_dir()
        assert int(pid) == os.getpid()
        assert int(start) == job_folders._start_time(os.getpid())
        assert int(namespace) == os.stat("/proc/self/ns/pid").st_ino

    def test_only_folders_of_hosts_that_are_gone_are_removed(self, tmp_path, gone, monkeypatch):
        namespace = os.stat("/proc/self/ns/pid").st_ino
        me, my_start = os.getpid(), job_folders._start_time(os.getpid())
        dead = _folder_of(*gone, namespace, tmp_path)
        reused = _folder_of(me, my_start + 1, namespace, tmp_path)  # this pid, another start
        live = _folder_of(me, my_start, namespace, tmp_path)
        elsewhere = _folder_of(*gone, namespace + 1, tmp_path)  # another pid namespace's
        unrelated = tmp_path / "velmor-job-x7yz"
        unrelated.mkdir()
        target = tmp_path / "target"
        target.mkdir()
        (target / "keep.txt").write_text("kept", encoding="utf-8")
        link = tmp_path / f"velmor-job-{gone[0]}-{gone[1]}-{namespace}-link0000"
        link.symlink_to(target)
        # A dead host's folder with a link in it: the link goes, not what it names.
        (dead / "out").symlink_to(target)
        monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
        manager = SubprocessManager(warm=False, sandbox=False)
        manager._leftovers.join(10)
        assert not dead.exists() and not reused.exists()
        assert live.exists() and elsewhere.exists() and unrelated.exists()
        assert link.is_symlink() and (target / "keep.txt").read_text(encoding="utf-8") == "kept"

    @pytest.mark.skipif(os.geteuid() != 0, reason="needs to give a folder to another user")
    def test_folders_of_other_users_are_not_touched(self, tmp_path, gone):
        namespace = os.stat("/proc/self/ns/pid").st_ino
        theirs = _folder_of(*gone, namespace, tmp_path)
        os.chown(theirs, 65534, 65534)
        assert job_folders.remove_leftovers(str(tmp_path)) == []
        assert theirs.exists()

    async def test_a_job_leaves_no_folder_behind(self, tmp_path, tool, monkeypatch):
        monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
        async with SubprocessManager() as manager:
            script = tool("import os\ndef main(args):\n    return os.getcwd()\n")
            results = await asyncio.gather(*(manager.spawn(run(script)) for _ in range(4)))
        assert all(result.error is None for result in results)
        assert [entry for entry in tmp_path.iterdir() if entry.name.startswith("velmor-job-")] == []


def _job_folders(root: Path) -> list[str]:
    return sorted(entry.name for entry in root.iterdir() if entry.name.startswith("velmor-job-"))


def _thread_caught_up() -> None:
    """Wait until the folder thread has done everything handed to it so far."""
    job_folders.folder_thread().submit(lambda: None).result(10)


class TestFolderWork:
    """Folders are made and removed off the loop, a turn's requests in one batch."""

    @pytest.fixture
    def root(self, tmp_path, monkeypatch):
        monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
        return tmp_path

    @pytest.fixture
    def batches(self, monkeypatch):
        sizes: list[int] = []
        do_all = job_folders._do_all

        def counted(batch):
            sizes.append(len(batch))
            return do_all(batch)

        monkeypatch.setattr(job_folders, "_do_all", counted)
        return sizes

    async def test_one_turns_requests_go_together_and_each_is_answered(self, root, batches):
        work = job_folders.FolderWork(asyncio.get_running_loop(), lambda answer: answer())
        made = await asyncio.gather(*(work.make() for _ in range(20)))
        assert len(set(made)) == 20 and _job_folders(root) == sorted(map(os.path.basename, made))
        assert batches == [20]
        Path(made[0], "left.txt").write_text("a job's file", encoding="utf-8")
        await asyncio.gather(*(work.remove(folder) for folder in made))
        assert _job_folders(root) == [] and batches == [20, 20]

    async def test_removals_go_first_and_a_folder_nobody_waits_for_is_not_made(
        self, root, batches, monkeypatch
    ):
        monkeypatch.setattr(job_folders, "BATCH_MAX", 4)
        work = job_folders.FolderWork(asyncio.get_running_loop(), lambda answer: answer())
        old = [await work.make() for _ in range(2)]
        hold = threading.Event()
        job_folders.folder_thread().submit(hold.wait, 10)  # the thread is busy meanwhile
        first = work.make()  # goes alone, while nothing else is asked for yet
        await asyncio.sleep(0)
        makes = [work.make() for _ in range(5)]
        for gave_up in makes[:2]:
            gave_up.cancel()
        removals = [work.remove(folder) for folder in old]
        hold.set()
        made = await asyncio.gather(first, *makes[2:])
        await asyncio.gather(*removals)
        assert batches[2:] == [1, 4, 1]  # two removals first, then the three still wanted
        assert _job_folders(root) == sorted(os.path.basename(folder) for folder in made)

    async def test_a_failed_request_fails_alone(self, root):
        work = job_folders.FolderWork(asyncio.get_running_loop(), lambda answer: answer())
        (root / "plain-file").write_text("", encoding="utf-8")
        made = work.make()
        removed = work.remove(str(root / "plain-file"))  # not a folder: left, quietly
        failed = work._ask(work._makes, os.mkdir, str(root / "missing" / "folder"))
        assert (await made).startswith(str(root / "velmor-job-"))
        assert await removed is None and (root / "plain-file").exists()
        with pytest.raises(FileNotFoundError):
            await failed

    async def test_a_folder_nobody_waits_for_any_more_is_removed(self, root):
        work = job_folders.FolderWork(asyncio.get_running_loop(), lambda answer: answer())
        made = work.make()
        made.cancel()
        kept = await work.make()  # answered after the cancelled one in its batch
        removed = work.remove(kept)
        removed.cancel()  # nobody waits, but the folder still goes
        await asyncio.sleep(0)
        for _ in range(100):
            _thread_caught_up()
            await asyncio.sleep(0.01)
            if not _job_folders(root):
                break
        assert _job_folders(root) == []

    def test_a_folder_made_after_its_loop_closed_is_removed(self, root):
        loop = asyncio.new_event_loop()
        work = job_folders.FolderWork(loop, lambda answer: answer())
        hold = threading.Event()
        job_folders.folder_thread().submit(hold.wait, 10)
        made = work.make()
        loop.call_soon(loop.stop)
        loop.run_forever()  # one turn: the batch goes to the (busy) thread
        loop.close()
        hold.set()
        _thread_caught_up()
        assert not made.done() and _job_folders(root) == []
