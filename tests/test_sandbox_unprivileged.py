"""The escape suite again, as an ordinary user.

CI and the development machines run as root; the people who run the host do
not. A sandbox built on user namespaces, Landlock and seccomp can behave
differently for an unprivileged uid, so when this suite runs as root it
re-runs the escape suite as a throw-away user with a home of its own.
"""

from __future__ import annotations

import os
import shutil
import sys
import sysconfig
import tempfile
from pathlib import Path

import pytest

from tests.unprivileged import run_unprivileged, unused_uid

REPO = Path(__file__).resolve().parents[1]
ESCAPE_SUITE = "tests/test_sandbox_escapes.py"


@pytest.fixture
def scratch():
    """A folder under /tmp (which anyone may enter) for the user's home and temporary files."""
    folder = Path(tempfile.mkdtemp(prefix="velmor-unprivileged-", dir="/tmp"))
    folder.chmod(0o755)
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


@pytest.mark.skipif(
    os.geteuid() != 0, reason="not root: this run is already unprivileged, as users run it"
)
def test_escape_suite_passes_as_an_unprivileged_user(scratch):
    uid = unused_uid()
    own = scratch / "user"  # the user's own folder: its home, and pytest's, which pytest remakes
    home, basetemp = own / "home", own / "pytest"
    for folder in (own, home):
        folder.mkdir()
        os.chown(folder, uid, uid)
    # (A coverage run's settings stay behind too: the user could not write its data.)
    env = {
        name: value
        for name, value in os.environ.items()
        if not name.startswith(("PYTEST_", "COVERAGE_")) and name not in ("TMPDIR", "PYTHONPATH")
    }
    env.update(HOME=str(home), PYTHONDONTWRITEBYTECODE="1")
    needed = [
        Path(sys.base_prefix),
        Path(sys.prefix),
        Path(sysconfig.get_paths()["purelib"]),
        Path(sys.executable).resolve().parent,
        REPO,
    ]
    done = run_unprivileged(
        [
            sys.executable,
            "-m",
            "pytest",
            "-q",
            "--tb=short",
            "-p",
            "no:cacheprovider",
            f"--basetemp={basetemp}",
            ESCAPE_SUITE,
        ],
        uid=uid,
        needed=needed,
        scratch=scratch,
        env=env,
        cwd=REPO,
        timeout=600,
    )
    output = done.stdout + done.stderr
    report = output if len(output) < 16000 else f"{output[:10000]}\n[...]\n{output[-6000:]}"
    assert done.returncode == 0, f"the escape suite failed as uid {uid}:\n{report}"
    assert " passed" in done.stdout, report
