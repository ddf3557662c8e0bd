"""Each job's folder, named after its host, and the leftovers of hosts that died."""

from __future__ import annotations

import asyncio
import os
import subprocess
import sys
import tempfile
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
