"""Amounts as a person writes them: seconds and bytes.

A leaf module: the texts of a job's pipes (job_io.py) and of how it ended
(outcome.py) both use it.
"""

from __future__ import annotations


def format_seconds(seconds: float) -> str:
    """60.0 -> "60", 0.5 -> "0.5": a timeout as a person wrote it."""
    value = float(seconds)
    if value.is_integer() and abs(value) < 1e15:
        return str(int(value))
    return repr(value)


def format_bytes(size: int) -> str:
    for unit, shift in (("GiB", 30), ("MiB", 20), ("KiB", 10)):
        if size >= 1 << shift and size % (1 << shift) == 0:
            return f"{size >> shift} {unit}"
    return f"{size} bytes"
