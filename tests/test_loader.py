"""The scripts that run inside a job or the helper: standard library only, and
loading one another, worker scripts and the native part by path through one
loader, as they must under `python -I`."""

from __future__ import annotations

import ast
import json
import subprocess
import sys
from pathlib import Path

import pytest

import velmor.core.inside
from velmor.core import sandbox as sandboxing

INSIDE = Path(velmor.core.inside.__file__).parent
SCRIPTS = sorted(INSIDE.glob("*.py"))


def checked_only(node: ast.AST) -> bool:
    """An `if TYPE_CHECKING:` block: the type checker reads it, no run does."""
    return isinstance(node, ast.If) and ast.unparse(node.test) == "TYPE_CHECKING"


def imported(path: Path) -> set[str]:
    """The top-level names of the modules a script imports when it runs,
    anywhere in it."""
    names = set()
    tree = ast.parse(path.read_text(encoding="utf-8"))
    for block in [node for node in ast.walk(tree) if checked_only(node)]:
        block.body = []
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            names.update(alias.name.split(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            assert node.level == 0, f"{path.name}: a relative import fails when loaded by path"
            names.add((node.module or "").split(".")[0])
    return names


@pytest.mark.parametrize("script", SCRIPTS, ids=[path.name for path in SCRIPTS])
def test_scripts_import_the_standard_library_alone(script):
    outside = imported(script) - set(sys.stdlib_module_names) - {"__future__"}
    assert not outside, f"{script.name} imports {sorted(outside)}"


# Run under -I with nothing of ours importable: the loader by path, the rest through it.
UNDER_ISOLATION = """
import importlib.util, json, sys
spec = importlib.util.spec_from_file_location("_velmor_loader", sys.argv[1])
loader = importlib.util.module_from_spec(spec)
spec.loader.exec_module(loader)
protocol = loader.load_sibling("helper_protocol")
request = protocol.JobRequest("/w.py", "/", {}, ((7, 1, 2),), protocol.JobSandbox("/s", ("/t",)))
worker = loader.load_worker(sys.argv[2], "_velmor_test_worker")
try:
    loader.load_worker(sys.argv[2] + ".txt", "_velmor_test_worker")
    refused = None
except ImportError as exc:
    refused = str(exc)
native = loader.load_native(sys.argv[3])
print(json.dumps({
    "velmor": [name for name in sys.modules if name.startswith("velmor")],
    "once": loader.load_sibling("helper_protocol") is protocol,
    "registered": sys.modules.get("_velmor_helper_protocol") is protocol,
    "round_trip": protocol.JobRequest.from_json(request.to_json()) == request,
    "worker": [worker.__name__, worker.ran_as_main],
    "refused": refused,
    "native": callable(native.confine),
}))
"""


def test_the_loader_works_where_nothing_of_ours_is_importable(tmp_path):
    worker = tmp_path / "worker.py"
    worker.write_text("ran_as_main = __name__ == '__main__'\n", encoding="utf-8")
    native = sandboxing._native_module().__file__
    done = subprocess.run(
        [
            sys.executable,
            "-I",
            "-c",
            UNDER_ISOLATION,
            str(INSIDE / "loader.py"),
            str(worker),
            native,
        ],
        capture_output=True,
        text=True,
        timeout=60,
        cwd=tmp_path,
    )
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == {
        "velmor": [],
        "once": True,
        "registered": True,
        "round_trip": True,
        "worker": ["_velmor_test_worker", False],
        "refused": f"cannot load a worker from {worker}.txt",
        "native": True,
    }
