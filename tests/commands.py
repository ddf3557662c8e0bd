"""Running a command to its end as a person would, with a home of the test's own."""

from __future__ import annotations

import os
import subprocess
from collections.abc import Mapping
from pathlib import Path
from typing import Any


def run_command(
    argv: list[Any],
    home: Path,
    *,
    env: Mapping[str, str] | None = None,
    timeout: float = 60,
    **options: Any,
) -> subprocess.CompletedProcess[str]:
    """`argv` run to its end with HOME at `home` (in `env`, else this process's
    environment), its output and errors captured as text."""
    return subprocess.run(
        [str(arg) for arg in argv],
        env={**(os.environ if env is None else env), "HOME": str(home)},
        capture_output=True,
        text=True,
        timeout=timeout,
        **options,
    )
