"""What a job came back with, and the readable texts that say how it went."""

from __future__ import annotations

import json
import signal
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from velmor.core.job_io import Capture, Job
from velmor.core.units import format_bytes, format_seconds

STDERR_TAIL_LINES = 6  # stderr lines quoted in an error
# How deeply a reply may nest its lists and objects: a deeper one is refused
# before anything walks it recursively.
REPLY_MAX_DEPTH = 100


@dataclass(slots=True)
class SubprocessResult:
    """What a job came back with.

    `error` is None for a job that succeeded, whose payload is `output`;
    otherwise it is a readable sentence saying what went wrong. `stdout` and
    `stderr` hold what the job printed (capped), `duration` how long the
    worker ran in seconds, `returncode` its exit status (negative: the signal
    that ended it; None: no process was started).
    """

    output: Any = None
    error: str | None = None
    stdout: str = ""
    stderr: str = ""
    duration: float = 0.0
    returncode: int | None = None


def describe_exit(returncode: int) -> str:
    """How a worker ended: "Worker exited with status 3", "Worker was killed by SIGSEGV (...)"."""
    if returncode < 0:
        number = -returncode
        try:
            name = signal.Signals(number).name
        except ValueError:
            name = f"signal {number}"
        meaning = signal.strsignal(number)
        return f"Worker was killed by {name}" + (f" ({meaning})" if meaning else "")
    return f"Worker exited with status {returncode}"


def nesting_depth(data: bytes) -> int:
    """The deepest nesting of [ and { in a JSON text, strings skipped; no recursion."""
    depth = deepest = 0
    in_string = escaped = False
    for byte in data:
        if in_string:
            if escaped:
                escaped = False
            elif byte == 0x5C:  # backslash
                escaped = True
            elif byte == 0x22:  # quote
                in_string = False
        elif byte == 0x22:
            in_string = True
        elif byte in b"[{":
            depth += 1
            deepest = max(deepest, depth)
        elif byte in b"]}":
            depth -= 1
    return deepest


def decode_reply(data: bytes) -> dict[str, Any]:
    """The worker's reply as a dict with "output" or "error"; ValueError if it is not one."""
    depth = nesting_depth(data)
    if depth > REPLY_MAX_DEPTH:
        raise ValueError(f"nested {depth} levels deep, beyond the limit of {REPLY_MAX_DEPTH}")
    try:
        reply = json.loads(data)
    except RecursionError:
        raise ValueError("nested too deeply to decode") from None
    if not isinstance(reply, dict):
        raise ValueError(f"not a JSON object but {type(reply).__name__}")
    if not ("output" in reply or "error" in reply):
        raise ValueError("not a reply object")
    return reply


# The exit status the sandbox gives a job that went beyond its memory limit
# (inside/confinement.py, STATUS_MEMORY_LIMIT).
MEMORY_LIMIT_STATUS = 73


def interpret(
    job: Job,
    worker: Path,
    returncode: int | None,
    timeout: float | None,
    cap: int,
    ours: tuple[str, ...],
    memory_limit: int | None = None,
) -> SubprocessResult:
    """The result of a job that has ended; `ours` names the scripts whose
    frames are left out of quoted stderr; `memory_limit`, a sandboxed job's
    total memory bound, for the answer when it was exceeded."""
    result = SubprocessResult(
        stdout=job.stdout.text(),
        stderr=job.stderr.text(),
        returncode=returncode,
    )
    ours = (str(worker), *ours)
    if job.timed_out:
        assert timeout is not None
        result.error = f"Timed out after {format_seconds(timeout)} s"
    elif job.lost is not None or returncode is None:
        result.error = with_stderr(job.lost or "The worker's end went unobserved", job.stderr, ours)
    elif memory_limit is not None and returncode == MEMORY_LIMIT_STATUS:
        result.error = f"Exceeded the memory limit of {format_bytes(memory_limit)}"
    elif job.result.overflowed:
        result.error = f"Result exceeds the output cap of {format_bytes(cap)}"
    elif not job.result.data:
        result.error = with_stderr(
            f"{describe_exit(returncode)} without sending a result", job.stderr, ours
        )
    else:
        try:
            reply = decode_reply(bytes(job.result.data))
        except ValueError as exc:
            what = f"Worker sent an undecodable result ({exc})"
            if returncode != 0:
                what += f"; {describe_exit(returncode)}"
            result.error = with_stderr(what, job.stderr, ours)
        else:
            error = reply.get("error")
            if error:
                result.error = str(error)
            else:
                result.output = reply.get("output")
    return result


def with_stderr(message: str, stderr: Capture, ours: tuple[str, ...]) -> str:
    """`message` and the last lines of stderr that say something about the job.

    Lines naming our own scripts (the worker, the warm helper, the sandbox
    launcher) are their frames in a crash dump: they would crowd out the
    tool's frames and tell the reader nothing.
    """
    lines = [
        line
        for line in stderr.data.decode("utf-8", errors="replace").splitlines()
        if line.strip() and not any(name in line for name in ours)
    ]
    if not lines:
        return message
    tail = "\n".join(lines[-STDERR_TAIL_LINES:])
    return f"{message}. Last lines of stderr:\n{tail}"
