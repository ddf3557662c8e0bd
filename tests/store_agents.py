"""Processes that share one store with a test, and the checks of what they leave.

    python tests/store_agents.py zygote         forks a writer per "fork" line, reaps one per "reap PID"
    python tests/store_agents.py agent SEED SECONDS   a random mix of every operation, then a JSON report
    python tests/store_agents.py delete TOOL    deletes TOOL on a "go" line, printing the answer

A writer re-creates the tools of `TOOLS` in a loop, each time as one of the
`VERSIONS`, through the real module with an instant manager, until it is
killed. Run with HOME set to the shared home.
"""

import json
import os
import random
import subprocess
import sys
import time
import traceback
from pathlib import Path

if __name__ == "__main__":
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from tests.fakes import JobResult, finish
from velmor.tools.tool_creator import ToolCreatorTool

TOOLS = ["alpha", "beta", "gamma", "delta", "epsilon"]


def _version(i):
    # Sizes differ by kilobytes, so a file cut short is never another version.
    padding = "".join(f"# line {j} of version {i}\n" for j in range(60 * (i + 1)))
    return f"{padding}def main(args):\n    return {{'version': {i}}}\n"


VERSIONS = [_version(i) for i in range(4)]
DESCRIPTIONS = [f"version {i} " + "\u00e9t\u00e9 " * (40 * i) for i in range(4)]
NOT_FOUND_SCRIPT = "[ERROR] Tool script not found: "
NO_TOOLS = "No custom tools found. Use 'create' to make one."


def store(home):
    return Path(home) / ".velmor" / "custom_tools"


def metadata(home, tool, version):
    script = store(home) / tool / "tool.py"
    return {
        "name": tool,
        "description": DESCRIPTIONS[version],
        "script": str(script),
        "created_by": "agent",
    }


class InstantManager:
    """Validates every code at once; runs a tool by reading its script as a
    worker would, answering as the real worker does when it is gone."""

    async def spawn(self, task):
        if task.command["action"] == "validate":
            return JobResult(output={"valid": True, "message": "ok"})
        path = task.command["path"]
        try:
            code = Path(path).read_text(encoding="utf-8")
        except FileNotFoundError as exc:
            return JobResult(error=f"Worker exited with status 71: {exc!r}")
        if code not in VERSIONS:
            return JobResult(error=f"partial script read: {len(code)} characters")
        return JobResult(output={"version": VERSIONS.index(code)})


def create(creator, tool, version):
    return finish(
        creator.execute(
            operation="create",
            tool_name=tool,
            description=DESCRIPTIONS[version],
            code=VERSIONS[version],
            register=False,
        )
    )


def check_files(home):
    """Reads every tool's two files as they are now: (files read, faults found)."""
    checked, faults = 0, []
    for tool in TOOLS:
        folder = store(home) / tool
        try:
            code = (folder / "tool.py").read_text(encoding="utf-8")
        except FileNotFoundError:
            code = None
        if code is not None:
            checked += 1
            if code not in VERSIONS:
                faults.append(f"{tool}/tool.py: {len(code)} characters, no known version")
            else:
                compile(code, str(folder / "tool.py"), "exec")
        try:
            text = (folder / "metadata.json").read_text(encoding="utf-8")
        except FileNotFoundError:
            continue
        checked += 1
        try:
            meta = json.loads(text)
        except ValueError as exc:
            faults.append(f"{tool}/metadata.json does not parse: {exc}")
            continue
        if meta not in [metadata(home, tool, v) for v in range(len(VERSIONS))]:
            faults.append(f"{tool}/metadata.json: unknown content {meta!r}")
    return checked, faults


def temporary_files(home):
    return sorted(
        str(path.relative_to(store(home)))
        for path in store(home).glob("*/.*")
        if path.name.endswith(".tmp")
    )


def answer_faults(home, operation, tool, answer):
    """What is wrong with `answer`: it must be one of the operation's own texts."""
    script = str(store(home) / tool / "tool.py")
    if operation == "create":
        expected = [
            {"created": tool, "path": script, "registered": False, "description": d}
            for d in DESCRIPTIONS
        ]
        return [] if _json(answer) in expected else [answer]
    if operation == "run":
        if answer == NOT_FOUND_SCRIPT + script:
            return []
        return [] if _json(answer) in [{"version": v} for v in range(len(VERSIONS))] else [answer]
    if operation == "delete":
        ok = answer in (f"Deleted custom tool: {tool}", f"[ERROR] Tool not found: {tool}")
        return [] if ok else [answer]
    if operation == "info":
        if answer == f"[ERROR] Tool not found: {tool}":
            return []
        info = _json(answer)
        if not isinstance(info, dict) or info.get("name") != tool:
            return [answer]
        meta = {k: info[k] for k in ("name", "description", "script", "created_by") if k in info}
        if len(meta) > 1 and meta not in [metadata(home, tool, v) for v in range(len(VERSIONS))]:
            return [answer]
        if "code_size" in info and info["code_size"] not in [len(v) for v in VERSIONS]:
            return [answer]
        return []
    if operation == "list":
        if answer == NO_TOOLS:
            return []
        listing = _json(answer)
        entries = listing.get("tools", []) if isinstance(listing, dict) else None
        if entries is None or listing.get("count") != len(entries):
            return [answer]
        for entry in entries:
            name = entry.get("name")
            if name not in TOOLS or entry.get("path") != str(store(home) / name / "tool.py"):
                return [answer]
            if entry.get("description") not in [*DESCRIPTIONS, "(no metadata)"]:
                return [answer]
        return []
    raise ValueError(operation)


def _json(text):
    try:
        return json.loads(text)
    except ValueError:
        return None


def run_agents(home, seconds, count=2):
    """Runs `count` agents on the store of `home` at once; their reports."""
    env = dict(os.environ, HOME=str(home), PYTHONDONTWRITEBYTECODE="1")
    procs = [
        subprocess.Popen(
            [sys.executable, __file__, "agent", str(seed), str(seconds)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=env,
        )
        for seed in range(count)
    ]
    reports = []
    for proc in procs:
        out, err = proc.communicate(timeout=seconds + 60)
        assert proc.returncode == 0, err
        reports.append(json.loads(out))
    return reports


def check_agents(reports):
    """No fault in any report, and every kind of operation made."""
    for report in reports:
        assert report["faults"] == [], "\n".join(report["faults"])
        assert set(report["counts"]) == {"create", "run", "list", "info", "delete", "read"}, report
    total = sum(sum(report["counts"].values()) for report in reports)
    print(f"\nagents: {total} operations, no fault")


def writer(creator):
    """Re-creates the tools at random until killed."""
    rng = random.Random(os.getpid())
    while True:
        create(creator, rng.choice(TOOLS), rng.randrange(len(VERSIONS)))


def zygote():
    creator = ToolCreatorTool(InstantManager())
    print("ready", flush=True)
    for line in sys.stdin:
        command, *rest = line.split()
        if command == "fork":
            pid = os.fork()
            if pid == 0:
                try:
                    writer(creator)
                finally:
                    os._exit(1)
            print(pid, flush=True)
        elif command == "reap":
            _, status = os.waitpid(int(rest[0]), 0)
            print(status, flush=True)


def agent(seed, seconds):
    """A random mix of every operation on a few tools for `seconds`; a JSON report."""
    home = os.environ["HOME"]
    rng = random.Random(seed)
    creator = ToolCreatorTool(InstantManager())
    counts, faults = {}, []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        operation = rng.choice(["create", "create", "run", "list", "info", "delete", "read"])
        tool = rng.choice(TOOLS[:3])
        try:
            if operation == "read":
                faults += check_files(home)[1]
            else:
                call = {"operation": operation, "tool_name": tool}
                if operation == "create":
                    answer = create(creator, tool, rng.randrange(len(VERSIONS)))
                else:
                    answer = finish(creator.execute(**call))
                faults += [
                    f"{operation} {tool}: {a!r}"
                    for a in answer_faults(home, operation, tool, answer)
                ]
        except Exception:
            faults.append(f"{operation} {tool} raised:\n{traceback.format_exc()}")
        counts[operation] = counts.get(operation, 0) + 1
    print(json.dumps({"counts": counts, "faults": faults}))


def deleter(tool):
    """Deletes `tool` when told to; the answer on stdout."""
    creator = ToolCreatorTool(InstantManager())
    print("ready", flush=True)
    sys.stdin.readline()
    print(finish(creator.execute(operation="delete", tool_name=tool)), flush=True)


if __name__ == "__main__":
    if sys.argv[1] == "zygote":
        zygote()
    elif sys.argv[1] == "delete":
        deleter(sys.argv[2])
    else:
        agent(int(sys.argv[2]), float(sys.argv[3]))
