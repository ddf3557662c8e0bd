"""A stand-in host for the attacks aimed at the host process itself.

    python tests/decoy_host.py SPEC_JSON [ARGUMENTS THE ATTACK MUST NOT SEE...]

It holds a secret in its environment (VELMOR_DECOY_SECRET, given by the test)
and another in its memory, runs one attack job through a real
SubprocessManager, then an ordinary job, and prints a JSON report: all the
attack's result carried back, whether the memory secret is intact, whether
the next job worked. The attack's targets in the context name this process:
"host_pid", and the memory secret's "address" and "length".

The attacks that would kill, stop or trace the host thereby hit this process,
never the test run.
"""

from __future__ import annotations

import asyncio
import ctypes
import json
import os
import secrets
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from tests import escape_probes  # noqa: E402
from velmor.core.subprocess_manager import SubprocessManager, SubprocessTask  # noqa: E402

# Where a bytes object keeps its bytes: after the object header.
_BYTES_HEADER = sys.getsizeof(b"") - 1


def _trivial() -> SubprocessTask:
    code = "def main(args):\n    return 1\n"
    return SubprocessTask(
        worker_type="custom", command={"action": "validate", "code": code}, timeout=20.0
    )


async def main(spec: dict) -> dict:
    expected = secrets.token_hex(16)
    memory_secret = expected.encode()  # an object apart from `expected`, to be checked against it
    address = id(memory_secret) + _BYTES_HEADER
    assert ctypes.string_at(address, len(memory_secret)) == memory_secret
    ctx = dict(spec["ctx"], host_pid=os.getpid(), address=address, length=len(memory_secret))
    ctx["pids"] = [os.getpid()]
    manager = SubprocessManager(warm=spec["warm"], sandbox=spec["sandbox"])
    try:
        first = await manager.spawn(_trivial())
        if first.error is not None:
            raise SystemExit(f"no job runs: {first.error}")
        if spec["sandbox"] and not (manager.sandbox and manager.sandbox.layers):
            raise SystemExit("the sandbox is not on: no attack is made")
        probe = getattr(escape_probes, spec["probe"])
        result = await manager.spawn(
            escape_probes.task(probe, ctx, spec["phase"], Path(spec["folder"]))
        )
        after = await manager.spawn(_trivial())
    finally:
        await manager.aclose()
    return {
        "text": escape_probes.everything(result),
        "ran": escape_probes.probe_ran(result),
        "memory_secret": expected,
        "memory_intact": ctypes.string_at(address, len(memory_secret)) == expected.encode(),
        "next_ok": after.error is None and after.output.get("valid") is True,
    }


if __name__ == "__main__":
    report = asyncio.run(main(json.loads(sys.argv[1])))
    print(json.dumps(report))
