"""The types a user's checker sees: the installed package is marked typed and
carries the native modules' stubs, and code that uses the public API is
checked against them (mistakes included)."""

import importlib.util
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

NATIVE_MODULES = ["velmor.tools.tool_creator", "velmor.core._sandbox"]


@pytest.mark.parametrize("name", NATIVE_MODULES)
def test_each_native_module_is_installed_with_its_stub(name):
    spec = importlib.util.find_spec(name)
    assert spec is not None and spec.origin is not None
    built = Path(spec.origin)
    stub = built.with_name(name.rpartition(".")[2] + ".pyi")
    assert stub.is_file(), f"{built.name} is installed without {stub.name}"
    assert (built.parent / stub.name).read_text(encoding="utf-8").strip()


def test_the_installed_package_is_marked_typed():
    package = importlib.util.find_spec("velmor")
    assert package is not None and package.submodule_search_locations
    assert (Path(package.submodule_search_locations[0]) / "py.typed").is_file()


# A host written as the README shows, with every type spelt out: strict mode
# finds nothing in it.
TYPED_HOST = """
    from pathlib import Path
    from typing import Any

    from velmor.core import _sandbox
    from velmor.core.subprocess_manager import SubprocessManager
    from velmor.tools.base import ToolRegistry
    from velmor.tools.saved import load_saved_tools
    from velmor.tools.tool_creator import DynamicTool, ToolCreatorTool


    async def session(store: Path) -> str:
        registry = ToolRegistry()
        async with SubprocessManager() as manager:
            creator = ToolCreatorTool(manager, registry)
            registry.register(creator)
            loaded: list[DynamicTool] = load_saved_tools(registry, manager, store=store)
            answer: str = await creator.execute(operation="list")
            schema: dict[str, Any] = creator.parameters
            adder = DynamicTool("adder", "Adds.", str(store / "adder" / "tool.py"), manager)
            text: str = await adder.execute(args={"a": 1})
            abi: int = _sandbox.landlock_abi()
            return f"{answer} {schema} {len(loaded)} {text} {abi} {creator._custom_tools_dir}"
"""

# Mistakes the stubs make visible, each with a line of what the checker says.
MISTAKES = {
    "answer_is_text": (
        "async def f(c: ToolCreatorTool) -> int:\n"
        "    n: int = await c.execute(operation='list')\n"
        "    return n",
        'expression has type "str", variable has type "int"',
    ),
    "execute_not_awaited": (
        "def f(c: ToolCreatorTool) -> str:\n    return c.execute(operation='list').upper()",
        '"Coroutine[Any, Any, str]" has no attribute "upper"',
    ),
    "script_path_is_str": (
        "def f(m: SubprocessManager) -> DynamicTool:\n"
        "    return DynamicTool('adder', 'Adds.', Path('/s/adder/tool.py'), m)",
        'Argument 3 to "DynamicTool" has incompatible type "Path"; expected "str"',
    ),
    "manager_runs_jobs": (
        "creator = ToolCreatorTool(object())",
        'Argument 1 to "ToolCreatorTool" has incompatible type "object"',
    ),
    "name_is_read_only": (
        "def f(c: ToolCreatorTool) -> None:\n    c.name = 'other'",
        'Property "name" defined in "ToolCreatorTool" is read-only',
    ),
    "stage_is_named": (
        "_sandbox.confine('child', {})",
        'Argument 1 to "confine" has incompatible type "Literal[\'child\']"',
    ),
    "native_arguments_are_positional": (
        "_sandbox.pid_namespace(uid=0, gid=0)",
        'Unexpected keyword argument "uid" for "pid_namespace"',
    ),
}

MISTAKE_IMPORTS = (
    "from pathlib import Path\n"
    "from velmor.core import _sandbox\n"
    "from velmor.core.subprocess_manager import SubprocessManager\n"
    "from velmor.tools.tool_creator import DynamicTool, ToolCreatorTool\n\n"
)


@pytest.fixture(scope="module")
def checked(tmp_path_factory):
    """mypy's report, one run in strict mode over the typed host and every
    mistake, each in a file of its own, against the installed package."""
    folder = tmp_path_factory.mktemp("user_code")
    (folder / "typed_host.py").write_text(textwrap.dedent(TYPED_HOST))
    for name, (code, _) in MISTAKES.items():
        (folder / f"mistake_{name}.py").write_text(MISTAKE_IMPORTS + code + "\n")
    # No sanitizer runtime: the checker is not the code under test here.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    files = sorted(p.name for p in folder.glob("*.py"))
    process = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file=", "--strict", "--cache-dir=.cache", *files],
        cwd=folder,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert process.returncode in (0, 1), process.stderr
    return process.stdout


def _errors(report, file):
    return [
        line for line in report.splitlines() if line.startswith(f"{file}:") and ": error:" in line
    ]


def test_a_typed_host_checks_clean(checked):
    assert _errors(checked, "typed_host.py") == []


@pytest.mark.parametrize("name", MISTAKES)
def test_a_mistake_is_reported(checked, name):
    errors = _errors(checked, f"mistake_{name}.py")
    expected = MISTAKES[name][1]
    assert any(expected in error for error in errors), "\n".join(errors) or checked
