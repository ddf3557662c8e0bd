"""What ordinary tools do works in the sandbox, warm and spawned alike.

Each tool of tests/legitimate_tools.py runs as a job of a sandboxed manager
(with the network granted where the tool needs it) and must give its real
answer. tests/test_seccomp_policy.py runs the same tools under the system-call
filter alone.
"""

from __future__ import annotations

import pytest

from tests.legitimate_tools import TOOLS
from velmor.core.subprocess_manager import SandboxPolicy, SubprocessTask

# Real tools of every kind, sandboxed, warm and spawned: left out of `make test-fast`.
pytestmark = pytest.mark.slow


@pytest.mark.parametrize("warm", [True, False], ids=["warm", "spawned"])
@pytest.mark.parametrize("tool", TOOLS, ids=[tool.name for tool in TOOLS])
async def test_tool_gives_its_answer_in_the_sandbox(make_manager, tmp_path, tool, warm):
    path = tmp_path / "tool.py"
    path.write_text(tool.source, encoding="utf-8")
    manager = make_manager(warm=warm, sandbox=SandboxPolicy(network=tool.network))
    command = {"action": "run_function", "path": str(path), "function": "main", "args": {}}
    result = await manager.spawn(SubprocessTask(worker_type="custom", command=command, timeout=60))
    assert result.error is None, result.error
    assert result.output == tool.expected
