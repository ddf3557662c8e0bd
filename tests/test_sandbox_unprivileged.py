"""The escape suite again, as an ordinary user.

CI and the development machines run as root; the people who run the host do
not. A sandbox built on user namespaces, Landlock and seccomp can behave
differently for an unprivileged uid, so when this suite runs as root it
re-runs the escape suite as a throw-away user with a home of its own: the
whole suite as a user without a subordinate id range (jobs run under its own
uid), and the attacks on files, metadata, helpers and neighbours as one with
a range (jobs run under a subordinate uid; needs newuidmap).
"""

from __future__ import annotations

import os
import shlex
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

# The escape suite again in a process of its own: left out of `make test-fast`.
pytestmark = pytest.mark.slow

REPO = Path(__file__).resolve().parents[1]
ESCAPE_SUITE = "tests/test_sandbox_escapes.py"
# The attacks a job's uid decides, and the bounds its waiter holds over
# processes of another uid, for the run under a subordinate uid.
UID_ATTACKS = (
    "Files or Metadata or InheritedDescriptors or AttributeChannel or WarmHelper or OtherJobs"
    " or Leftovers or Resources or EpollWatches or SignalQueue"
)
SUBORDINATE_RANGE = (3_000_000_000, 65_536)
WHICH_UID = (
    "from velmor.core.subprocess_manager import SubprocessManager\n"
    "layers = SubprocessManager(warm=False).sandbox.layers\n"
    "print('jobs run under:', 'subordinate' if 'subordinate-uid' in layers else 'own')\n"
)


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
@pytest.mark.parametrize("subordinate", [False, True], ids=["own-uid", "subordinate-uid"])
def test_escape_suite_passes_as_an_unprivileged_user(scratch, subordinate):
    if subordinate and not (shutil.which("newuidmap") and shutil.which("newgidmap")):
        pytest.skip("newuidmap and newgidmap are not installed (Debian package uidmap)")
    uid = unused_uid()
    own = scratch / "user"  # the user's own folder: its home, and pytest's, which pytest remakes
    home, basetemp = own / "home", own / "pytest"
    for folder in (own, home):
        folder.mkdir()
        os.chown(folder, uid, uid)
    files = account_files(scratch, uid, home, SUBORDINATE_RANGE if subordinate else None)
    selection = ["-k", UID_ATTACKS] if subordinate else []
    suite = [
        sys.executable,
        "-m",
        "pytest",
        "-q",
        "--tb=short",
        "-p",
        "no:cacheprovider",
        f"--basetemp={basetemp}",
        *selection,
        ESCAPE_SUITE,
    ]
    # Which uid this user's jobs get, said first, so that the run is known to test it.
    which = [sys.executable, "-c", WHICH_UID]
    done = run_unprivileged(
        ["sh", "-c", f"{shlex.join(which)} && exec {shlex.join(suite)}"],
        uid=uid,
        needed=python_folders(REPO),
        scratch=scratch,
        env=python_environment(home),
        files=files,
        cwd=REPO,
        timeout=600,
    )
    output = done.stdout + done.stderr
    report = output if len(output) < 16000 else f"{output[:10000]}\n[...]\n{output[-6000:]}"
    assert done.returncode == 0, f"the escape suite failed as uid {uid}:\n{report}"
    assert " passed" in done.stdout, report
    expected = "subordinate" if subordinate else "own"
    assert done.stdout.startswith(f"jobs run under: {expected}\n"), report
