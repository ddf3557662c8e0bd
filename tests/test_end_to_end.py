"""The operations on the real host: real worker processes, the host's registry, the store on disk."""

import asyncio
import json

import pytest

from tests.fakes import run_python
from velmor.core.subprocess_manager import SubprocessManager
from velmor.tools.base import ToolRegistry, UnknownToolError
from velmor.tools.tool_creator import ToolCreatorTool

ADDER = """\
def main(args):
    return {"success": True, "result": args.get("a", 0) + args.get("b", 0)}
"""
GREETER = """\
import asyncio

async def main(args):
    await asyncio.sleep(0)
    print("noise on stdout")
    return {"success": True, "result": "h\\u00e9llo " + args["name"]}
"""
FAILING = """\
def check(value):
    raise ValueError(f"bad input {value}")

def main(args):
    return check(args.get("n"))
"""


def answer(value):
    return json.dumps(value, indent=2)


@pytest.fixture(scope="module")
def manager():
    return SubprocessManager()


@pytest.fixture
def registry():
    return ToolRegistry()


@pytest.fixture
def creator(manager, registry):
    return ToolCreatorTool(subprocess_manager=manager, tool_registry=registry)


@pytest.fixture
def root(home):
    return home / ".velmor" / "custom_tools"


async def create(creator, name, code, description="", **kwargs):
    return await creator.execute(
        operation="create", tool_name=name, description=description, code=code, **kwargs
    )


class TestLifecycle:
    async def test_create_then_call_through_registry_and_by_name(self, creator, registry, root):
        created = json.loads(await create(creator, "adder", ADDER, "Adds a and b."))
        assert created == {
            "created": "adder",
            "path": str(root / "adder" / "tool.py"),
            "registered": True,
            "description": "Adds a and b.",
        }
        assert registry.definitions()[0]["name"] == "custom_adder"
        assert await registry.call("custom_adder", args={"a": 2, "b": 3}) == answer(
            {"success": True, "result": 5}
        )
        assert await creator.execute(
            operation="run", tool_name="adder", args={"a": 40, "b": 2}
        ) == answer({"success": True, "result": 42})

    async def test_async_main_and_printing(self, creator, registry):
        await create(creator, "greeter", GREETER)
        expected = '{\n  "success": true,\n  "result": "h\\u00e9llo Ada"\n}'
        assert await registry.call("custom_greeter", args={"name": "Ada"}) == expected
        assert (
            await creator.execute(operation="run", tool_name="greeter", args={"name": "Ada"})
            == expected
        )

    async def test_failing_main(self, creator, registry):
        await create(creator, "failing", FAILING)
        for text in (
            await creator.execute(operation="run", tool_name="failing", args={"n": 7}),
            await registry.call("custom_failing", args={"n": 7}),
        ):
            assert text.startswith("[ERROR] ValueError: bad input 7")

    @pytest.mark.parametrize(
        "code, message",
        [
            (
                "def main(args):\n    return 1 +\n",
                "[ERROR] Invalid code: SyntaxError: invalid syntax",
            ),
            (
                "def helper(args):\n    return 1\n",
                "[ERROR] Invalid code: Code must define a callable main(args).",
            ),
            ("import no_such_module_xyz\n", "[ERROR] Invalid code: ModuleNotFoundError"),
            (
                "def main():\n    return 1\n",
                "[ERROR] Invalid code: Code must define a callable main(args)",
            ),
        ],
        ids=["syntax", "no-main", "import", "signature"],
    )
    async def test_rejected_code_is_not_saved(self, creator, registry, root, code, message):
        assert (await create(creator, "bad", code)).startswith(message)
        assert list(root.iterdir()) == [] and len(registry) == 0

    async def test_validate_operation(self, creator, root):
        assert json.loads(await creator.execute(operation="validate", code=ADDER)) == {
            "valid": True,
            "message": "Code is valid.",
        }
        verdict = json.loads(await creator.execute(operation="validate", code="main = 3\n"))
        assert verdict["valid"] is False and verdict["message"]
        assert list(root.iterdir()) == []

    async def test_failed_registration_still_runs_by_name(self, manager, root):
        class ClosedRegistry(ToolRegistry):
            def register(self, tool):
                raise ValueError("registry closed")

        creator = ToolCreatorTool(manager, ClosedRegistry())
        script = root / "adder" / "tool.py"
        assert await create(creator, "adder", ADDER) == (
            f"Tool saved to {script} but registration failed: registry closed. "
            "You can still run it with tool_creator run."
        )
        assert await creator.execute(operation="run", tool_name="adder", args={"a": 1}) == answer(
            {"success": True, "result": 1}
        )

    async def test_delete_withdraws_the_registered_tool(self, creator, registry):
        await create(creator, "adder", ADDER)
        assert (
            await creator.execute(operation="delete", tool_name="adder")
            == "Deleted custom tool: adder"
        )
        with pytest.raises(UnknownToolError):
            await registry.call("custom_adder", args={})
        assert (
            await creator.execute(operation="list")
            == "No custom tools found. Use 'create' to make one."
        )

    async def test_unsafe_name_refused_on_the_real_host(self, creator, home):
        (home / ".velmor" / "outside").mkdir()
        (home / ".velmor" / "outside" / "tool.py").write_text(ADDER)
        for operation in ("create", "run", "info", "delete"):
            text = await creator.execute(operation=operation, tool_name="../outside", code=ADDER)
            assert text.startswith("[ERROR] Invalid tool_name: '../outside'.")
        assert (home / ".velmor" / "outside" / "tool.py").read_text() == ADDER


class TestAcrossInstances:
    async def test_second_instance_sees_the_store(self, manager, registry, root):
        first = ToolCreatorTool(manager, registry)
        await create(first, "adder", ADDER, "Adds.")
        await create(first, "greeter", GREETER, "Gr\u00fc\u00dft.")
        second = ToolCreatorTool(manager)
        listing = json.loads(await second.execute(operation="list"))
        assert listing == {
            "count": 2,
            "tools": [
                {"name": "adder", "description": "Adds.", "path": str(root / "adder" / "tool.py")},
                {
                    "name": "greeter",
                    "description": "Gr\u00fc\u00dft.",
                    "path": str(root / "greeter" / "tool.py"),
                },
            ],
        }
        info = json.loads(await second.execute(operation="info", tool_name="greeter"))
        assert info["description"] == "Gr\u00fc\u00dft." and info["code_preview"] == GREETER.rstrip(
            "\n"
        )
        assert info["code_lines"] == GREETER.count("\n") and info["code_size"] == len(GREETER)
        assert await second.execute(operation="run", tool_name="adder", args={"b": 2}) == answer(
            {"success": True, "result": 2}
        )
        assert (
            await second.execute(operation="delete", tool_name="adder")
            == "Deleted custom tool: adder"
        )
        assert [t["name"] for t in json.loads(await first.execute(operation="list"))["tools"]] == [
            "greeter"
        ]
        assert "custom_adder" in registry  # the second instance had no registry to withdraw it from

    def test_later_process(self, manager, home):
        async def make():
            await create(ToolCreatorTool(manager), "adder", ADDER, "Adds \u2603.")

        asyncio.run(make())
        lines = run_python(
            """
            import asyncio, json
            from velmor.tools.tool_creator import ToolCreatorTool

            async def main():
                tool = ToolCreatorTool()
                listing = json.loads(await tool.execute(operation="list"))
                ran = await tool.execute(operation="run", tool_name="adder", args={"a": 5, "b": 6})
                deleted = await tool.execute(operation="delete", tool_name="adder")
                print(json.dumps([listing, json.loads(ran), deleted]))

            asyncio.run(main())
        """,
            home,
        )
        listing, ran, deleted = json.loads(lines[-1])
        assert [(t["name"], t["description"]) for t in listing["tools"]] == [
            ("adder", "Adds \u2603.")
        ]
        assert ran == {"success": True, "result": 11} and deleted == "Deleted custom tool: adder"
        assert not (home / ".velmor" / "custom_tools" / "adder").exists()


class TestConcurrency:
    COUNT = 24

    @staticmethod
    def code(i):
        return f"def main(args):\n    return {{'tool': {i}, 'echo': args}}\n"

    async def test_many_creates_and_runs_at_once(self, creator, registry, root):
        created = await asyncio.gather(
            *(
                create(creator, f"tool_{i}", self.code(i), f"Tool number {i}.")
                for i in range(self.COUNT)
            )
        )
        assert [json.loads(text)["created"] for text in created] == [
            f"tool_{i}" for i in range(self.COUNT)
        ]
        for i in range(self.COUNT):
            folder = root / f"tool_{i}"
            assert (folder / "tool.py").read_text(encoding="utf-8") == self.code(i)
            assert json.loads((folder / "metadata.json").read_text()) == {
                "name": f"tool_{i}",
                "description": f"Tool number {i}.",
                "script": str(folder / "tool.py"),
                "created_by": "agent",
            }
        runs = [
            creator.execute(operation="run", tool_name=f"tool_{i}", args={"i": i})
            for i in range(self.COUNT)
        ]
        calls = [registry.call(f"custom_tool_{i}", args=[i]) for i in range(self.COUNT)]
        results = await asyncio.gather(*runs, *calls)
        assert results == (
            [answer({"tool": i, "echo": {"i": i}}) for i in range(self.COUNT)]
            + [answer({"tool": i, "echo": [i]}) for i in range(self.COUNT)]
        )
        assert json.loads(await creator.execute(operation="list"))["count"] == self.COUNT

    async def test_concurrent_creates_of_one_name_leave_a_matching_pair(
        self, creator, registry, root
    ):
        texts = await asyncio.gather(
            *(create(creator, "shared", self.code(i), f"version {i}") for i in range(20))
        )
        assert all(json.loads(text)["created"] == "shared" for text in texts)
        code = (root / "shared" / "tool.py").read_text()
        version = json.loads((root / "shared" / "metadata.json").read_text())["description"]
        assert code == self.code(int(version.split()[1]))
        ran = json.loads(await registry.call("custom_shared", args={}))
        assert registry.get("custom_shared").description == version and ran["tool"] == int(
            version.split()[1]
        )
