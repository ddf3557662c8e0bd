"""A second virtual environment for MCP clients that cannot share one with the server.

Some agent frameworks' MCP adapters still pin `mcp<2`, which the server's own
venv cannot hold. The tests install them in a venv of their own under
`build/`, named by a hash of the requirements so that a run reuses what an
earlier run installed and a changed requirements file gets a fresh one. Those
clients reach the server as any user's would: through the `velmor-tools`
executable installed in the first venv.
"""

from __future__ import annotations

import hashlib
import os
import shlex
import shutil
import subprocess
import sys
from collections.abc import Mapping
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
REQUIREMENTS = ROOT / "tests" / "mcp1_clients" / "requirements.txt"
# Marks a venv whose install finished: one cut short is made again, not reused.
COMPLETE = ".installed"


def without_preload(environ: Mapping[str, str]) -> dict[str, str]:
    """`environ` less a sanitizer run's preloaded runtime, which only the server's
    instrumented extension needs: the clients' own interpreters run plain."""
    return {key: value for key, value in environ.items() if key != "LD_PRELOAD"}


def server_on_path(folder: Path) -> Path:
    """A folder holding only a `velmor-tools` that starts this venv's server, as a
    user's PATH holds the one an isolated install put there.

    Clients start a stdio server with a small default environment; under a
    sanitizer run the server still needs the sanitizer's settings, so then the
    command is a script that sets them before it starts the server.
    """
    server = Path(sys.executable).with_name("velmor-tools")
    command = folder / "velmor-tools"
    folder.mkdir(parents=True, exist_ok=True)
    preload = os.environ.get("LD_PRELOAD")
    if not preload:
        command.symlink_to(server)
        return folder
    settings = [
        f"{key}={shlex.quote(value)}"
        for key, value in os.environ.items()
        if key == "LD_PRELOAD" or key == "PYTHONMALLOC" or key.endswith("SAN_OPTIONS")
    ]
    command.write_text(
        f'#!/bin/sh\nexec env {" ".join(settings)} {shlex.quote(str(server))} "$@"\n'
    )
    command.chmod(0o755)
    return folder


def client_venv(requirements: Path = REQUIREMENTS, parent: Path = ROOT / "build") -> Path:
    """The interpreter of a venv holding `requirements`, installed on first use."""
    digest = hashlib.sha256(requirements.read_bytes()).hexdigest()[:16]
    venv = parent / f"client-venv-{digest}"
    python = venv / "bin" / "python"
    if (venv / COMPLETE).exists():
        return python
    shutil.rmtree(venv, ignore_errors=True)
    env = without_preload(os.environ)
    # venv builds on the base interpreter, so the new venv sees none of the server's packages.
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, env=env)
    subprocess.run(
        [str(python), "-m", "pip", "install", "--disable-pip-version-check", "-q"]
        + ["-r", str(requirements)],
        check=True,
        env=env,
        timeout=600,
    )
    (venv / COMPLETE).touch()
    return python
