"""Jobs of an ordinary user with a subordinate id range run under a
subordinate uid that owns nothing of the user's; without a range, under the
user's own uid.

Run as root, each case runs tests/subordinate_jobs.py as a throw-away user
whose passwd entry and /etc/subuid and /etc/subgid lines exist only in the
private mount namespace of that run.
"""

from __future__ import annotations

import json
import os
import shutil
import sys
import tempfile
from pathlib import Path

import pytest

from tests.unprivileged import (
    account_files,
    python_environment,
    python_folders,
    run_unprivileged,
    unused_uid,
)

REPO = Path(__file__).resolve().parents[1]
# A range no account, no job under a root host (uid 2,000,000,000) and no
# throw-away uid (below 2,000,000) uses; jobs get its last id.
RANGE_START, RANGE_COUNT = 3_000_000_000, 65_536
SUBORDINATE = RANGE_START + RANGE_COUNT - 1
OVERFLOW_ID = 65_534  # how a job sees an owner its namespace does not map
# How a change of metadata is refused: a read-only mount, not the owner, or
# the system-call filter (extended attributes).
REFUSED = ("EROFS", "EPERM", "ENOTSUP")

pytestmark = [
    pytest.mark.skipif(os.geteuid() != 0, reason="needs root to make a throw-away user"),
    pytest.mark.skipif(
        not (shutil.which("newuidmap") and shutil.which("newgidmap")),
        reason="newuidmap and newgidmap are not installed (Debian package uidmap)",
    ),
]


def run_as_user(*, subordinate: bool, passwd_gid_offset: int = 0) -> dict:
    """Run the jobs as a throw-away user, with or without a subordinate
    range; `passwd_gid_offset` makes its passwd entry disagree with the gid
    it runs under, which newuidmap refuses."""
    uid = unused_uid()
    passwd_gid = uid + passwd_gid_offset
    scratch = Path(tempfile.mkdtemp(prefix="velmor-subordinate-", dir="/tmp"))
    try:
        scratch.chmod(0o755)
        home, folder = scratch / "home", scratch / "home" / "files"
        folder.mkdir(parents=True)
        (folder / "open.txt").write_text("hello")
        (folder / "own.txt").write_text("secret")
        (folder / "own.txt").chmod(0o600)
        for path in (home, folder, folder / "open.txt", folder / "own.txt"):
            os.chown(path, uid, uid)
        files = account_files(
            scratch, uid, home, (RANGE_START, RANGE_COUNT) if subordinate else None, passwd_gid
        )
        done = run_unprivileged(
            [sys.executable, "-m", "tests.subordinate_jobs", str(folder)],
            uid=uid,
            needed=python_folders(REPO),
            scratch=scratch,
            env=python_environment(home),
            cwd=REPO,
            timeout=120,
            files=files,
        )
        assert done.returncode == 0, f"as uid {uid}:\n{done.stdout}\n{done.stderr}"
        found = json.loads(done.stdout)
        assert found["user"] == [uid, uid]
        return found
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


MODES = ["warm", "spawned"]


@pytest.fixture(scope="module")
def with_range():
    return run_as_user(subordinate=True)


@pytest.fixture(scope="module")
def without_range():
    return run_as_user(subordinate=False)


class TestWithSubordinateRange:
    @pytest.mark.parametrize("mode", MODES)
    def test_jobs_run_as_the_last_subordinate_ids_without_the_users_groups(self, with_range, mode):
        run = with_range[f"read-{mode}"]
        assert run["error"] is None, run["error"]
        assert with_range["subordinate"] == [SUBORDINATE, SUBORDINATE]
        assert run["output"]["ids"] == [SUBORDINATE] * 4
        assert run["output"]["groups"] == []
        assert "subordinate-uid" in run["layers"]

    @pytest.mark.parametrize("mode", MODES)
    def test_the_users_files_are_not_the_jobs(self, with_range, mode):
        seen = with_range[f"read-{mode}"]["output"]
        assert seen["owner_seen"] == OVERFLOW_ID
        for change in ("chmod", "chmod_folder", "utime", "xattr"):
            assert seen[change] in REFUSED, (change, seen[change])
        assert seen["write_new"] in ("EROFS", "EACCES")
        # What anyone may read it reads; what only the user may, not.
        assert seen["read_open"] == "hello"
        assert seen["read_own"] == "EACCES"

    @pytest.mark.parametrize("mode", MODES)
    def test_a_legitimate_tool_works(self, with_range, mode):
        seen = with_range[f"read-{mode}"]["output"]
        assert seen["git"] == 0 and seen["sqlite"] == 1

    @pytest.mark.parametrize("mode", MODES)
    def test_writable_paths_keep_the_users_own_uid(self, with_range, mode):
        run = with_range[f"writable-{mode}"]
        user = with_range["user"]
        assert run["error"] is None, run["error"]
        assert run["output"]["ids"] == [user[0], user[0], user[1], user[1]]
        assert run["output"]["write_new"] == "done"
        assert "subordinate-uid" not in run["layers"]
        assert with_range["written_owner"] == user[0]

    def test_a_helper_whose_mapping_fails_refuses_to_go_on(self, with_range):
        assert with_range["helper_mapped"] == "entered"
        refused = with_range["helper_refused"]
        assert refused.startswith("OSError") and "newuidmap" in refused, refused

    @pytest.mark.parametrize("mode", MODES)
    def test_a_mapping_refused_after_the_probe_fails_the_job_with_the_reason(
        self, with_range, mode
    ):
        output, error = with_range["broken_after_probe"][mode]
        assert output is None
        assert "newuidmap" in error and "not allowed" in error, error


class TestWithoutSubordinateRange:
    @pytest.mark.parametrize("mode", MODES)
    def test_jobs_run_as_the_user(self, without_range, mode):
        run = without_range[f"read-{mode}"]
        user = without_range["user"]
        assert without_range["subordinate"] is None
        assert run["error"] is None, run["error"]
        assert run["output"]["ids"] == [user[0], user[0], user[1], user[1]]
        assert "subordinate-uid" not in run["layers"]
        seen = run["output"]
        # The read-only world is the protection: changes fail all the same.
        for change in ("chmod", "chmod_folder", "utime", "xattr"):
            assert seen[change] in REFUSED, (change, seen[change])
        assert seen["read_own"] == "secret"
        assert seen["git"] == 0 and seen["sqlite"] == 1


def test_a_mapping_newuidmap_refuses_fails_every_job_closed():
    found = run_as_user(subordinate=True, passwd_gid_offset=1)
    for mode in MODES:
        run = found[f"read-{mode}"]
        assert run["output"] is None
        assert run["missing"] and "subordinate ids" in run["missing"], run["missing"]
        assert run["error"] == run["missing"]
