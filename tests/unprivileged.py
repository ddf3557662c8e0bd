"""Running a command as a throw-away user without privileges, from root.

The command runs under a uid no account and no process uses, with no
supplementary groups and no capabilities, in a private mount namespace where
the folders it needs (the interpreter, the virtual environment, the checkout)
can be reached: an interpreter installed under root's own home (mode 0700) is
reached through a tmpfs laid over that home that shows only the way to it.
System files such as /etc/passwd can be shown changed in that namespace alone.
Nothing of the host's mounts changes; the namespace ends with the command.
"""

from __future__ import annotations

import os
import pwd
import random
import shlex
import stat
import subprocess
import sys
import sysconfig
from pathlib import Path

from tests.processes import processes


def unused_uid() -> int:
    """A uid with no account and no running process."""
    in_use = set()
    for pid, _, _, _ in processes():
        try:
            in_use.add(os.stat(f"/proc/{pid}").st_uid)
        except OSError:
            continue
    while True:
        uid = random.randrange(1_000_000, 2_000_000)
        try:
            pwd.getpwuid(uid)
        except KeyError:
            if uid not in in_use:
                return uid


def python_environment(home: Path) -> dict[str, str]:
    """This process's environment for a Python run as another user, at home in `home`.
    A coverage run's settings stay behind: that user could not write its data."""
    env = {
        name: value
        for name, value in os.environ.items()
        if not name.startswith(("PYTEST_", "COVERAGE_")) and name not in ("TMPDIR", "PYTHONPATH")
    }
    env.update(HOME=str(home), PYTHONDONTWRITEBYTECODE="1")
    return env


def python_folders(repo: Path) -> list[Path]:
    """What a Python run of this checkout needs to reach."""
    return [
        Path(sys.base_prefix),
        Path(sys.prefix),
        Path(sysconfig.get_paths()["purelib"]),
        Path(sys.executable).resolve().parent,
        repo,
    ]


def account_files(
    folder: Path,
    uid: int,
    home: Path,
    subordinate: tuple[int, int] | None = None,
    passwd_gid: int | None = None,
) -> dict[str, Path]:
    """Stand-ins, made in `folder`, for /etc/passwd (with an entry for `uid`)
    and /etc/subuid and /etc/subgid (with its range `subordinate`, (start,
    count), if any), to show in place of the system's own (run_unprivileged's
    `files`). An absent system file is made empty: no range for anyone."""
    name = f"velmor-user-{uid}"
    gid = uid if passwd_gid is None else passwd_gid
    ranges = f"{name}:{subordinate[0]}:{subordinate[1]}\n" if subordinate else ""
    files = {}
    for target, added in (
        ("/etc/passwd", f"{name}:x:{uid}:{gid}::{home}:/bin/sh\n"),
        ("/etc/subuid", ranges),
        ("/etc/subgid", ranges),
    ):
        system = Path(target)
        if not system.exists():
            system.touch(mode=0o644)
        copy = folder / system.name
        copy.write_text(system.read_text() + added)
        copy.chmod(0o644)
        files[target] = copy
    return files


def _others_can_enter(folder: Path) -> bool:
    return bool(folder.stat().st_mode & stat.S_IXOTH)


def opening_script(needed: list[Path], scratch: Path) -> list[str]:
    """Shell lines that make each needed folder reachable by anyone.

    Every folder on the way that others may not enter is covered with a
    tmpfs (mode 0755) holding only the entries on the way, bound back from
    the original. Folders are handled from the root down, so a closed folder
    inside a closed folder is reached through the first one's binding.
    """
    closed: dict[Path, set[str]] = {}
    for path in needed:
        path = path.resolve()
        parts = path.parts
        for depth in range(1, len(parts)):
            folder = Path(*parts[:depth])
            if not _others_can_enter(folder):
                closed.setdefault(folder, set()).add(parts[depth])
    lines = []
    for number, folder in enumerate(sorted(closed, key=lambda f: len(f.parts))):
        stash = scratch / f"stash{number}"
        quoted, stash_q = shlex.quote(str(folder)), shlex.quote(str(stash))
        lines += [
            f"mkdir -p {stash_q}",
            f"mount --bind {quoted} {stash_q}",
            f"mount -t tmpfs -o mode=0755 velmor-unprivileged {quoted}",
        ]
        for child in sorted(closed[folder]):
            inside = shlex.quote(str(folder / child))
            lines += [f"mkdir {inside}", f"mount --bind {stash_q}/{shlex.quote(child)} {inside}"]
    return lines


def run_unprivileged(
    argv: list[str],
    *,
    uid: int,
    needed: list[Path],
    scratch: Path,
    env: dict[str, str],
    cwd: Path,
    timeout: float,
    files: dict[str, Path] | None = None,
) -> subprocess.CompletedProcess[str]:
    """Run `argv` as `uid` (gid the same), with `needed` folders reachable
    and each of `files` (a system file: its stand-in) shown in place of the
    system's own, in the namespace only."""
    drop = [
        "setpriv",
        f"--reuid={uid}",
        f"--regid={uid}",
        "--clear-groups",
        "--",
        *argv,
    ]
    script = "\n".join(
        [
            "set -e",
            *opening_script(needed, scratch),
            *(
                f"mount --bind {shlex.quote(str(copy))} {shlex.quote(target)}"
                for target, copy in (files or {}).items()
            ),
            f"cd {shlex.quote(str(cwd))}",
            "exec " + shlex.join(drop),
        ]
    )
    return subprocess.run(
        ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c", script],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
