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
