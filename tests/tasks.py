"""The tasks the tests hand a manager: validating code, running a tool's function."""

from __future__ import annotations

import textwrap
from typing import Any

from velmor.core.subprocess_manager import SubprocessTask


def validate(code: str) -> SubprocessTask:
    return SubprocessTask(
        worker_type="custom",
        command={"action": "validate", "code": textwrap.dedent(code)},
        timeout=10.0,
    )


def run(
    path: str, args: Any = None, timeout: float | None = 10.0, function: str = "main"
) -> SubprocessTask:
    command = {
        "action": "run_function",
        "path": path,
        "function": function,
        "args": args if args is not None else {},
    }
    return SubprocessTask(worker_type="custom", command=command, timeout=timeout)
