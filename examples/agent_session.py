"""A scripted agent session with the tool creator, on the real host.

The script plays a host serving a language model: the tool creator sits in a
ToolRegistry and each tool call of the model is dispatched through
`registry.call(...)`. The agent writes a text statistics tool, the model calls
it, and the tool is run by name, listed, inspected, loaded by a later session
from the store and deleted again; every job runs in a real worker process of
the real SubprocessManager. Saved tools already in the store are loaded at
start, as a host does. Each step
prints the call, the answer and its time, and checks the answer; the script
exits with status 1 at the first step that answers other than expected.

    python examples/agent_session.py              # a fresh, temporary home
    python examples/agent_session.py --home PATH  # the store under PATH/.velmor
"""

from __future__ import annotations

import argparse
import asyncio
import json
import logging
import os
import shutil
import sys
import tempfile
import time
from collections.abc import Awaitable, Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from velmor.tools.base import ToolRegistry
from velmor.tools.saved import load_saved_tools
from velmor.tools.tool_creator import ToolCreatorTool

TOOL = "text_stats"
CUSTOM = f"custom_{TOOL}"

# The code the agent writes for its new tool.
TEXT_STATS_CODE = '''\
"""Text statistics: counts, reading time and the most frequent words."""
import re
from collections import Counter

WORD = re.compile(r"[^\\W\\d_]+(?:['-][^\\W\\d_]+)*")
STOP_WORDS = {"a", "an", "and", "the", "of", "to", "in", "is", "it", "on", "for", "by", "as", "at"}
WORDS_PER_MINUTE = 200


def main(args):
    text = args.get("text")
    if not isinstance(text, str) or not text.strip():
        return {"success": False, "error": "args.text must be a non-empty string"}
    words = WORD.findall(text)
    lowered = [word.lower() for word in words]
    sentences = [s for s in re.split(r"[.!?]+", text) if s.strip()]
    counts = Counter(word for word in lowered if word not in STOP_WORDS)
    return {"success": True, "result": {
        "characters": len(text),
        "words": len(words),
        "unique_words": len(set(lowered)),
        "sentences": len(sentences),
        "average_word_length": round(sum(map(len, words)) / len(words), 2) if words else 0,
        "reading_time_seconds": round(len(words) * 60 / WORDS_PER_MINUTE, 1),
        "top_words": dict(counts.most_common(int(args.get("top", 5)))),
    }}
'''

# Code with a syntax error, for the validation step.
BROKEN_CODE = "def main(args):\n    return {'success': True, 'result': args['x'] +}\n"

REPORT = (
    "The agent writes a tool. The worker validates the tool, and the host registers the tool. "
    "The model calls the tool by name. Nothing runs in the host process!"
)
NOTE = "Tools are cheap to make and cheap to delete."


class Mismatch(Exception):
    """An answer other than the one the step expects."""


def expect(condition: bool, why: str) -> None:
    if not condition:
        raise Mismatch(why)


def as_json(answer: str, kind: type = dict) -> Any:
    try:
        value = json.loads(answer)
    except json.JSONDecodeError:
        raise Mismatch(f"expected a JSON text, got {answer!r:.120}") from None
    expect(isinstance(value, kind), f"expected a JSON {kind.__name__}, got {answer!r:.120}")
    return value


def listed_names(answer: str) -> list[str]:
    if answer.startswith("No custom tools found."):
        return []
    return [entry.get("name") for entry in as_json(answer).get("tools", [])]


@dataclass
class Step:
    title: str
    shown: str  # the call as printed
    run: Callable[[], Awaitable[str]]
    check: Callable[[str], None]
    actor: str = "host"  # "call" for a tool call of the model, "host" for what the host does itself


def show_call(name: str, **arguments: Any) -> str:
    """The call as a person reads it: code as its line count, long texts cut short."""

    def short(item: Any) -> Any:
        if isinstance(item, str) and len(item) > 80:
            return item[:60] + "…"
        return (
            {key: short(inner) for key, inner in item.items()} if isinstance(item, dict) else item
        )

    def value(key: str, item: Any) -> str:
        if key == "code":
            return f"<{len(item.splitlines())} lines of Python>"
        return json.dumps(short(item), ensure_ascii=False)

    return (
        f"{name}(" + ", ".join(f"{key}={value(key, item)}" for key, item in arguments.items()) + ")"
    )


def build_steps(registry: ToolRegistry, store: Path) -> list[Step]:
    """The session: what the agent does, and what each answer must be."""

    def call(title: str, name: str, check: Callable[[str], None], **arguments: Any) -> Step:
        """A tool call of the model, dispatched by the host through the registry."""
        return Step(
            title,
            show_call(name, **arguments),
            lambda: registry.call(name, **arguments),
            check,
            "call",
        )

    async def definition() -> str:
        tool = registry.get(CUSTOM)
        expect(tool is not None, f"{CUSTOM} is not in the registry")
        return json.dumps(tool.to_definition(), indent=2)

    async def registered_names() -> str:
        return json.dumps(registry.names())

    async def later_session() -> str:
        """A host started anew: an empty registry, filled from the store."""
        fresh = ToolRegistry()
        loaded = load_saved_tools(fresh, registry.get("tool_creator")._manager)
        answer = await fresh.call(CUSTOM, args={"text": NOTE, "top": 1})
        return json.dumps(
            {"loaded": [tool.name for tool in loaded], "answer": json.loads(answer)}, indent=2
        )

    def reloaded(answer: str) -> None:
        reply = as_json(answer)
        expect(CUSTOM in reply.get("loaded", []), f"{CUSTOM} was not loaded from the store")
        stats(9, 1, "cheap")(json.dumps(reply.get("answer")))

    def created(answer: str) -> None:
        reply = as_json(answer)
        expect(
            reply.get("created") == TOOL and reply.get("registered") is True,
            "not created and registered",
        )
        expect(
            Path(reply.get("path", "")) == store / TOOL / "tool.py",
            "the script is not in the store",
        )
        expect(CUSTOM in registry, f"{CUSTOM} was not registered")

    def defined(answer: str) -> None:
        definition = as_json(answer)
        expect(definition.get("name") == CUSTOM, f"the definition is not named {CUSTOM}")
        expect(
            "args" in definition.get("parameters", {}).get("properties", {}),
            "the schema has no 'args'",
        )

    def stats(words: int, sentences: int, top_word: str) -> Callable[[str], None]:
        def check(answer: str) -> None:
            reply = as_json(answer)
            expect(reply.get("success") is True, f"the tool did not report success: {reply}")
            result = reply.get("result", {})
            expect(
                result.get("words") == words and result.get("sentences") == sentences,
                f"wrong counts: {result}",
            )
            expect(
                list(result.get("top_words", {}))[:1] == [top_word],
                f"{top_word!r} is not the top word",
            )

        return check

    def informed(answer: str) -> None:
        info = as_json(answer)
        expect(info.get("name") == TOOL and info.get("created_by") == "agent", "wrong metadata")
        expect(info.get("code_lines") == len(TEXT_STATS_CODE.splitlines()), "wrong line count")

    def rejected(answer: str) -> None:
        verdict = as_json(answer)
        expect(verdict.get("valid") is False, "broken code was accepted")
        expect(
            "SyntaxError" in str(verdict.get("message")),
            "the verdict does not name the syntax error",
        )

    def refused(answer: str) -> None:
        expect(
            answer.startswith("[ERROR] Invalid tool_name: "), "an unsafe tool name was not refused"
        )
        expect(not (store.parent / "escape").exists(), "something was written outside the store")

    def refused_for_providers(answer: str) -> None:
        expect(
            answer.startswith("[ERROR] Invalid tool_name: 'word count'. A new tool's name"),
            "a name model providers refuse was accepted",
        )
        expect(not (store / "word count").exists(), "the tool was saved")

    def deleted(answer: str) -> None:
        expect(answer == f"Deleted custom tool: {TOOL}", "unexpected answer")
        expect(not (store / TOOL).exists(), "the tool folder is still there")

    creator = "tool_creator"
    return [
        call(
            "The agent writes a text statistics tool",
            creator,
            created,
            operation="create",
            tool_name=TOOL,
            description="Text statistics: words, sentences, reading time and the most frequent words.",
            code=TEXT_STATS_CODE,
        ),
        Step(
            "The definition the model now receives for it",
            f'registry.get("{CUSTOM}").to_definition()',
            definition,
            defined,
        ),
        call(
            "The model calls its new tool",
            CUSTOM,
            stats(29, 4, "tool"),
            args={"text": REPORT, "top": 3},
        ),
        call(
            "The agent runs it by name",
            creator,
            stats(9, 1, "cheap"),
            operation="run",
            tool_name=TOOL,
            args={"text": NOTE, "top": 3},
        ),
        call(
            "The agent lists its tools",
            creator,
            lambda answer: expect(TOOL in listed_names(answer), f"{TOOL} is not listed"),
            operation="list",
        ),
        call("The agent inspects the tool", creator, informed, operation="info", tool_name=TOOL),
        call(
            "Broken code is validated and rejected",
            creator,
            rejected,
            operation="validate",
            code=BROKEN_CODE,
        ),
        call(
            "An unsafe tool name is refused",
            creator,
            refused,
            operation="create",
            tool_name="../escape",
            description="Tries to write outside the store.",
            code=TEXT_STATS_CODE,
        ),
        call(
            "A name that model providers would refuse is refused",
            creator,
            refused_for_providers,
            operation="create",
            tool_name="word count",
            description="Counts words.",
            code=TEXT_STATS_CODE,
        ),
        Step(
            "A later session loads the saved tool and calls it",
            "load_saved_tools(ToolRegistry(), manager)",
            later_session,
            reloaded,
        ),
        call("The agent deletes the tool", creator, deleted, operation="delete", tool_name=TOOL),
        Step(
            "The registry no longer offers it",
            "registry.names()",
            registered_names,
            lambda answer: expect(
                CUSTOM not in as_json(answer, list), f"{CUSTOM} is still registered"
            ),
        ),
        call(
            "The store no longer lists it",
            creator,
            lambda answer: expect(TOOL not in listed_names(answer), f"{TOOL} is still listed"),
            operation="list",
        ),
    ]


def indent(text: str, prefix: str = "    ", width: int = 150) -> str:
    """The answer, indented; a very long line is cut, saying how much was left out."""

    def cut(line: str) -> str:
        return (
            line if len(line) <= width else f"{line[:width]}… ({len(line) - width} more characters)"
        )

    return "\n".join(prefix + cut(line) for line in text.splitlines())


def explain(exc: Exception) -> str:
    return str(exc) if isinstance(exc, Mismatch) else f"raised {type(exc).__name__}: {exc}"


async def session(home: Path) -> int:
    store = home / ".velmor" / "custom_tools"
    if (store / TOOL).exists():
        print(
            f"{store / TOOL} already exists: this session would replace and then delete it.",
            file=sys.stderr,
        )
        return 2
    registry = ToolRegistry()
    creator = ToolCreatorTool(tool_registry=registry)
    registry.register(creator)
    load_saved_tools(registry, creator._manager)  # what earlier sessions saved
    print(f"Home:     {home}\nStore:    {store}\nRegistry: {registry.names()}\n")
    try:
        return await run_steps(build_steps(registry, store))
    finally:
        await creator._manager.aclose()


async def run_steps(steps: list[Step]) -> int:
    for number, step in enumerate(steps, 1):
        print(f"── {number}. {step.title}")
        print(f"  {step.actor}   {step.shown}")
        started = time.perf_counter()
        try:
            answer = await step.run()
        except Exception as exc:  # a step that raises has failed, like one that answers wrongly
            answer, failure = None, explain(exc)
        else:
            failure = None
        elapsed = (time.perf_counter() - started) * 1000
        if answer is not None and not isinstance(answer, str):
            answer, failure = None, f"answered a {type(answer).__name__}, not a text"
        if answer is not None:
            print(f"  answer\n{indent(answer)}")
            try:
                step.check(answer)
            except Exception as exc:
                failure = explain(exc)
        print(f"  → {elapsed:.1f} ms\n")
        if failure:
            sys.stdout.flush()
            print(f"FAILED at step {number} ({step.title}): {failure}", file=sys.stderr)
            return 1
    print(f"All {len(steps)} steps answered as expected.")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--home",
        type=Path,
        metavar="PATH",
        help="use PATH as the home directory (default: a fresh temporary one, removed afterwards)",
    )
    options = parser.parse_args()
    # The creator logs each registration; show it the way a host's log would.
    log_format = "  log    %(levelname)s %(name)s: %(message)s"
    logging.basicConfig(stream=sys.stdout, level=logging.INFO, format=log_format)

    temporary = options.home is None
    home = (
        Path(tempfile.mkdtemp(prefix="velmor-demo-home-"))
        if temporary
        else options.home.expanduser().resolve()
    )
    os.environ["HOME"] = str(
        home
    )  # the store lives under ~/.velmor, read when the creator is built
    try:
        return asyncio.run(session(home))
    finally:
        if temporary:
            shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
