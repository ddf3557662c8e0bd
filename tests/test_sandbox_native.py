"""The sandbox module's own surface: what it raises for a bad argument or a
failed step, and that an argument which changes while it is read cannot crash it.

Every call below fails before any step is taken, so none confines the test's
own process; the one that does confine runs in an interpreter of its own.
"""

from __future__ import annotations

import subprocess
import sys

import pytest

from velmor.core import _sandbox as native

NOT_THERE = "/nonexistent/velmor-test"


@pytest.mark.parametrize(
    "function, args, error, message",
    [
        ("restrict_paths", (5, False), TypeError, "grants must be a sequence"),
        ("restrict_paths", ([("/", "bogus")], False), ValueError, "unknown kind of access 'bogus'"),
        (
            "restrict_paths",
            ([("/", 3)], False),
            TypeError,
            "grant() argument 2 must be str, not int",
        ),
        (
            "restrict_paths",
            ([(2**40, "read")], False),
            OverflowError,
            "Python int too large to convert to C int",
        ),
        (
            "restrict_paths",
            ([(NOT_THERE, "read")], False),
            FileNotFoundError,
            f"[Errno 2] open {NOT_THERE}: No such file or directory",
        ),
        ("confine", ("bogus", {}), ValueError, "unknown confinement stage bogus"),
        ("confine", ("job", []), TypeError, "the description must be a dict"),
        ("confine", ("job", {"uid": 2**40}), OverflowError, "uid is out of range"),
        ("confine", ("job", {"gid": -1}), OverflowError, "can't convert negative int to unsigned"),
        ("confine", ("spare", {"world": 5}), TypeError, "world must be a sequence"),
        ("confine", ("spare", {"world": [5]}), TypeError, "a world entry"),
        (
            "confine",
            ("spare", {"world": [("a", "read")]}),
            ValueError,
            "a world entry must have 3 fields",
        ),
        (
            "confine",
            ("spare", {"world": [("/a", "bogus", "")]}),
            ValueError,
            "unknown kind of world entry bogus",
        ),
        ("confine", ("job", {"own": 5}), TypeError, "own must be a sequence"),
        ("confine", ("job", {"own": [("/a",)]}), ValueError, "an own file must have 2 fields"),
        (
            "confine",
            ("job", {"own": [("/a", "b")]}),
            TypeError,
            "'str' object cannot be interpreted as an integer",
        ),
        # A failed step: its errno's OSError, naming the step and the errno's text once.
        (
            "detached_file",
            (NOT_THERE,),
            FileNotFoundError,
            f"[Errno 2] open_tree of {NOT_THERE}: No such file or directory",
        ),
        (
            "confine",
            ("job", {"scratch": 5}),
            TypeError,
            "expected str, bytes or os.PathLike object, not int",
        ),
    ],
)
def test_bad_argument_or_failed_step_raises_its_error(function, args, error, message):
    with pytest.raises(Exception) as raised:
        getattr(native, function)(*args)
    assert type(raised.value) is error
    assert str(raised.value) == message


# A grant's path that empties the list of grants while it is read: the module
# reads the list's length afresh and stops, where a length read once would
# have it read past the end of the emptied list.
SHRINKING_GRANTS = """
from velmor.core import _sandbox as native
grants = []
class Shrinking:
    def __fspath__(self):
        grants.clear()
        return "/"
grants[:] = [(Shrinking(), "read"), ("/", "read"), ("/", "read")]
native.restrict_paths(grants, False)
print("restricted")
"""


def test_grants_that_change_while_read_cannot_crash_it():
    done = subprocess.run(
        [sys.executable, "-c", SHRINKING_GRANTS], capture_output=True, text=True, timeout=60
    )
    assert (done.returncode, done.stdout) == (0, "restricted\n"), done.stderr
