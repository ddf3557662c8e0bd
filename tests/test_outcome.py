"""What a job came back with: replies that are not what a worker sends are
errors, not exceptions, and are refused before anything walks them deeply."""

from __future__ import annotations

import pytest

from tests.tasks import run
from velmor.core.outcome import REPLY_MAX_DEPTH, decode_reply, nesting_depth

# A tool that writes its own raw "reply" to the result channel (the one
# descriptor above stderr it holds) and ends before the worker can.
RAW_REPLY = """
import os
def main(args):
    fd = max(fd for fd in range(3, 64) if _open(fd))
    os.write(fd, {payload!r})
    os._exit(0)
def _open(fd):
    try:
        os.fstat(fd)
    except OSError:
        return False
    return True
"""


class TestReplyShape:
    @pytest.mark.parametrize(
        "payload, error",
        [
            (b"[1, 2]", "not a JSON object but list"),
            (b'"text"', "not a JSON object but str"),
            (b"[" * 200_000, f"beyond the limit of {REPLY_MAX_DEPTH}"),
            (b'{"output": ' + b"[" * 150 + b"]" * 150 + b"}", "151 levels deep"),
            (b"{not json", "Worker sent an undecodable result"),
        ],
    )
    async def test_bad_replies_are_errors_not_exceptions(self, make_manager, tool, payload, error):
        result = await make_manager().spawn(run(tool(RAW_REPLY.format(payload=payload))))
        assert result.output is None and error in result.error

    def test_depth_counts_brackets_outside_strings_only(self):
        assert nesting_depth(b'{"a": [1, {"b": "[[[[{{"}]}') == 3
        assert nesting_depth(b'"\\"[["') == 0
        assert decode_reply(b'{"output": [[1]]}') == {"output": [[1]]}
