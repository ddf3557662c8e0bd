"""`velmor-tools`: see, try and remove the custom tools of this user's store.

Every command is one operation of the tool creator, so each answer is the
tool creator's own; the command line only shows it readably (or, with
`--json`, as one JSON document for scripts) and sets the exit status:
0 on success, 1 when the operation answered an error (or code is invalid, or
a delete was declined), 2 on wrong usage. `serve` offers the tools to MCP
clients (over stdio or streamable HTTP) instead.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import logging
import re
import sys
from collections.abc import Awaitable, Callable
from pathlib import Path
from typing import Any, NoReturn

from velmor.tools.args_schema import derive_args
from velmor.tools.store import (
    ERROR_PREFIX,
    MAX_NAME_LENGTH,
    find_damaged_metadata,
    is_error,
    manager_of,
    root_of,
)
from velmor.tools.tool_creator import ToolCreatorTool

PROG = "velmor-tools"
NO_TOOLS = "No custom tools found."
CODE_KEYS = ("code_lines", "code_size", "code_preview")
MCP_MISSING = (
    f"{PROG} serve needs the MCP SDK, which is not installed. "
    "Install it with: pip install 'velmor[mcp]'"
)

OK, FAILED, USAGE, INTERRUPTED = 0, 1, 2, 130

# Characters a terminal acts on instead of showing: C0 and C1 controls (but
# newline and tab), DEL, the bidirectional overrides that reorder what is
# shown, and lone surrogates, which no terminal encoding can carry.
_UNSHOWABLE = re.compile(
    "[\x00-\x08\x0b-\x1f\x7f-\x9f\u200e\u200f\u202a-\u202e\u2066-\u2069\ud800-\udfff]"
)
# Operations whose answers are read from the metadata.json files they reach.
_METADATA_READERS = ("list", "show")


def shown(text: str) -> str:
    """`text` as a terminal may show it: every character it would act on, escaped
    (`\\x1b`, `\\r`, `\\udcff`). Text from tools is data, never a terminal command."""
    return _UNSHOWABLE.sub(_escape, text)


def _escape(match: re.Match[str]) -> str:
    code = ord(match.group())
    return f"\\x{code:02x}" if code <= 0xFF else f"\\u{code:04x}"


class UsageError(Exception):
    """Wrong usage found after parsing (an unreadable file, arguments that are not JSON)."""


class DamagedStore(Exception):
    """A metadata.json of the store that an operation could not read; its text names it."""


class Output:
    """Prints for people, or, with --json, one JSON document for scripts."""

    def __init__(self, as_json: bool) -> None:
        self.as_json = as_json

    def success(self, document: Any, text: str) -> int:
        # JSON escapes every control character and, ASCII-only, every surrogate.
        print(json.dumps(document, indent=2) if self.as_json else shown(text))
        return OK

    def failure(self, text: str, document: Any = None) -> int:
        if self.as_json:
            print(json.dumps({"error": text} if document is None else document, indent=2))
        else:
            print(shown(text), file=sys.stderr)
        return FAILED


def _read_code(file: str) -> str:
    try:
        if file == "-":
            return sys.stdin.read()
        return Path(file).read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as exc:
        raise UsageError(f"cannot read {file}: {exc}") from None


def _parse_args(text: str | None) -> dict[str, Any]:
    if text is None:
        return {}
    try:
        value = json.loads(text)
    except json.JSONDecodeError as exc:
        raise UsageError(f"--args is not JSON: {exc}") from None
    except ValueError:  # an integer of more digits than Python converts
        raise UsageError("--args holds a number too long to read") from None
    except RecursionError:
        raise UsageError("--args is nested too deeply to read") from None
    if not isinstance(value, dict):
        raise UsageError('--args must be a JSON object, such as \'{"text": "hello"}\'')
    return value


# -- the commands: each takes the tool creator, the options and the output ----


async def list_tools(creator: ToolCreatorTool, options: argparse.Namespace, out: Output) -> int:
    answer = await creator.execute(operation="list")
    if answer.startswith(NO_TOOLS):
        return out.success({"tools": [], "count": 0}, answer)
    listing = json.loads(answer)
    width = max(len(str(entry["name"])) for entry in listing["tools"])
    lines = [f"{listing['count']} custom tool(s) in {root_of(creator)}:"]
    lines += [
        f"  {entry['name']!s:<{width}}  {entry['description']}".rstrip()
        for entry in listing["tools"]
    ]
    return out.success(listing, "\n".join(lines))


async def show_tool(creator: ToolCreatorTool, options: argparse.Namespace, out: Output) -> int:
    answer = await creator.execute(operation="info", tool_name=options.name)
    if is_error(answer):
        return out.failure(answer)
    info = json.loads(answer)
    code = info.get("code_preview", "")
    script = root_of(creator) / options.name / "tool.py"
    if info.get("code_size", 0) != len(code) and script.is_file():
        try:
            code = script.read_text(encoding="utf-8")  # the preview is cut; show it all
        except FileNotFoundError:
            pass  # deleted by another process since: the preview is what there is
    args_schema = derive_args(code).schema  # read from the code, never run
    document = {key: value for key, value in info.items() if key != "code_preview"}
    document["code"] = code
    document["args_schema"] = args_schema
    lines = [f"{key}: {value}" for key, value in info.items() if key not in CODE_KEYS]
    if "code_lines" in info:
        lines.append(f"code: {info['code_lines']} lines, {info['code_size']} characters")
    lines.append(f"args schema: {json.dumps(args_schema, ensure_ascii=False)}")
    return out.success(document, "\n".join(lines) + "\n\n" + code.rstrip("\n"))


async def validate_code(creator: ToolCreatorTool, options: argparse.Namespace, out: Output) -> int:
    code = _read_code(options.file)
    answer = await creator.execute(operation="validate", code=code)
    if is_error(answer):
        return out.failure(answer)
    verdict = json.loads(answer)
    if verdict.get("valid"):
        return out.success(verdict, f"Valid: {verdict.get('message', '')}")
    return out.failure(f"Invalid: {verdict.get('message', '')}", document=verdict)


async def create_tool(creator: ToolCreatorTool, options: argparse.Namespace, out: Output) -> int:
    code = _read_code(options.file)
    answer = await creator.execute(
        operation="create", tool_name=options.name, description=options.description, code=code
    )
    if is_error(answer):
        return out.failure(answer)
    created = json.loads(answer)
    return out.success(created, f"Created custom tool {created['created']}: {created['path']}")


async def run_tool(creator: ToolCreatorTool, options: argparse.Namespace, out: Output) -> int:
    """Run a tool; with --json, one object of a fixed shape whatever the answer:
    {"ok", "error", "answer", "stdout", "stderr"} (see docs/integrating.md)."""
    args = _parse_args(options.args)
    jobs = manager_of(creator)
    assert isinstance(jobs, JobKeeper)  # what run_command gives every creator
    answer = await creator.execute(operation="run", tool_name=options.name, args=args)
    failed = is_error(answer)
    printed = jobs.printed() if options.show_output else None
    if out.as_json:
        document = _run_document(answer if failed else None, answer, printed)
        print(json.dumps(document, indent=2))
        return FAILED if failed else OK
    stream = sys.stderr if failed else sys.stdout
    print(shown(answer), file=stream)
    if printed is not None:
        for channel, text in zip(("stdout", "stderr"), printed, strict=True):
            print(f"--- the tool's {channel} ---", file=stream)
            if text:
                print(shown(text.rstrip("\n")), file=stream)
    return FAILED if failed else OK


def _run_document(
    error: str | None, answer: str | None = None, printed: tuple[str, str] | None = None
) -> dict[str, Any]:
    """`run --json`'s one object: {"ok", "error", "answer", "stdout", "stderr"}."""
    return {
        "ok": error is None,
        "error": error,
        "answer": None if error is not None or answer is None else _parsed(answer),
        "stdout": printed[0] if printed else None,
        "stderr": printed[1] if printed else None,
    }


def _parsed(answer: str) -> Any:
    try:
        return json.loads(answer)
    except ValueError:
        return answer


class JobKeeper:
    """A subprocess manager that runs every job through `manager` and keeps what the
    last one printed: the tool creator's answers carry none of it."""

    def __init__(self, manager: Any) -> None:
        self._manager = manager
        self._last: Any = None

    async def spawn(self, task: Any) -> Any:
        self._last = None
        result = await self._manager.spawn(task)
        self._last = result
        return result

    def printed(self) -> tuple[str, str] | None:
        """(stdout, stderr) of the last job, or None when no job ran."""
        if self._last is None:
            return None
        return getattr(self._last, "stdout", "") or "", getattr(self._last, "stderr", "") or ""

    def __getattr__(self, name: str) -> Any:
        return getattr(self._manager, name)


async def delete_tool(creator: ToolCreatorTool, options: argparse.Namespace, out: Output) -> int:
    if not options.yes:
        if not sys.stdin.isatty():
            raise UsageError(
                f"not deleting {options.name!r} without confirmation: "
                "stdin is not a terminal, pass --yes to delete"
            )
        question = f"Delete custom tool {options.name!r} from {root_of(creator)}? [y/N] "
        try:
            confirmed = input(question).strip().lower() in ("y", "yes")
        except EOFError:  # the person ended the input instead of answering
            confirmed = False
        if not confirmed:
            return out.failure("Nothing deleted.")
    answer = await creator.execute(operation="delete", tool_name=options.name)
    if is_error(answer):
        return out.failure(answer)
    return out.success({"message": answer}, answer)


Command = Callable[[ToolCreatorTool, argparse.Namespace, Output], Awaitable[int]]


async def run_command(command: Command, options: argparse.Namespace) -> int:
    """Run one command with a tool creator of its own, ending its workers afterwards."""
    from velmor.core.subprocess_manager import SubprocessManager

    creator = ToolCreatorTool(JobKeeper(SubprocessManager()))
    try:
        return await command(creator, options, Output(options.json))
    except Exception as exc:
        # A metadata.json that is not a JSON object stops the operations that
        # read it (with whatever error reading it gave): say which one, so that
        # a person can mend or remove it.
        if options.command not in _METADATA_READERS:
            raise
        damaged = find_damaged_metadata(root_of(creator), getattr(options, "name", None))
        if damaged is None:
            raise
        raise DamagedStore(damaged) from exc
    finally:
        await manager_of(creator).aclose()


def serve(options: argparse.Namespace) -> int:
    try:
        from velmor import mcp_server
    except ImportError as exc:
        if exc.name and exc.name.split(".")[0] in ("mcp", "mcp_types", "jsonschema"):
            print(MCP_MISSING, file=sys.stderr)
            return FAILED
        raise
    http = None
    if options.http is not None:
        from velmor import mcp_http

        try:
            host, port = mcp_http.parse_address(options.http)
        except ValueError as exc:
            raise UsageError(f"--http: {exc}") from None
        if not mcp_http.is_loopback(host):
            if not options.allow_remote:
                raise UsageError(
                    f"--http: {host} is not a loopback address; anyone who reaches it with the "
                    "token can run code as you: add --allow-remote to serve it anyway"
                )
            print(
                f"{PROG} serve: WARNING: serving on {host}, reachable from other machines; "
                "anyone with the token can create and run code as you, and the traffic is "
                "not encrypted",
                file=sys.stderr,
            )
        token, made = mcp_http.token_from_environment()
        if made:
            print(
                f"{PROG} serve: clients must send the header 'Authorization: Bearer {token}' "
                f"(set {mcp_http.TOKEN_VARIABLE} to choose the token)",
                file=sys.stderr,
            )
        http = mcp_http.HttpSettings(host=host, port=port, token=token)
    # stdout carries the protocol over stdio: log records go to stderr, which
    # clients show or keep.
    logging.basicConfig(
        stream=sys.stderr, level=logging.INFO, format="%(levelname)s %(name)s: %(message)s"
    )
    try:
        asyncio.run(mcp_server.serve(http))
    except OSError as exc:  # the address is taken, or not this machine's
        if http is None:
            raise
        print(
            f"{PROG} serve: cannot listen on {options.http}: {exc.strerror or exc}", file=sys.stderr
        )
        return FAILED
    return OK


# -- the command line ----------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="See, try and remove the custom tools of your store (~/.velmor/custom_tools), "
        "or serve them to MCP clients.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    json_option = argparse.ArgumentParser(add_help=False)
    json_option.add_argument(
        "--json", action="store_true", help="print one JSON document, for scripts"
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, run: Command, help_text: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, parents=[json_option], help=help_text)
        sub.set_defaults(run=run)
        return sub

    command("list", list_tools, "list the saved tools")
    command("show", show_tool, "show a tool's metadata and code").add_argument("name")
    command("validate", validate_code, "check tool code without saving it").add_argument(
        "file", help="a Python file defining main(args); - reads stdin"
    )
    create = command("create", create_tool, "validate and save a new tool")
    create.add_argument(
        "name", help=f"letters A-Z and a-z, digits, '_' and '-', at most {MAX_NAME_LENGTH}"
    )
    create.add_argument(
        "--file", required=True, help="a Python file defining main(args); - reads standard input"
    )
    create.add_argument("--description", default="", help="what the tool does")
    run = command("run", run_tool, "run a saved tool")
    run.add_argument("name")
    run.add_argument("--args", metavar="JSON", help="the arguments, a JSON object (default {})")
    run.add_argument(
        "--show-output",
        action="store_true",
        help="after the answer, show what the tool printed to stdout and stderr",
    )
    delete = command("delete", delete_tool, "delete a saved tool (asks first)")
    delete.add_argument("name")
    delete.add_argument("--yes", action="store_true", help="delete without asking")
    serve_parser = commands.add_parser(
        "serve",
        help="serve the tool creator and every saved tool to MCP clients (stdio, or HTTP)",
        description="Serve the tool creator and every saved tool to an MCP client over stdio, "
        "or with --http to any number of clients over streamable HTTP. Over HTTP every request "
        "needs the bearer token from VELMOR_TOKEN (one is made and printed when it is unset).",
    )
    serve_parser.add_argument(
        "--http",
        metavar="[HOST:]PORT",
        help="serve over streamable HTTP at http://HOST:PORT/mcp (HOST defaults to 127.0.0.1)",
    )
    serve_parser.add_argument(
        "--allow-remote",
        action="store_true",
        help="allow a --http HOST that is not a loopback address",
    )
    serve_parser.set_defaults(run=None, json=False)
    return parser


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("velmor")
    except PackageNotFoundError:  # run from a source tree that was never installed
        return "(version unknown)"


def _escape_unencodable() -> None:
    """What a terminal's encoding cannot carry is printed escaped, never a crash."""
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")


def main(argv: list[str] | None = None) -> int:
    _escape_unencodable()
    parser = build_parser()
    options = parser.parse_args(argv)

    def usage(message: str) -> NoReturn:
        parser.exit(USAGE, f"{PROG} {options.command}: {message}\n")

    try:
        if options.command == "serve":
            return serve(options)
        return asyncio.run(run_command(options.run, options))
    except KeyboardInterrupt:  # Ctrl-C: stop quietly, as shells expect
        print(file=sys.stderr)
        return INTERRUPTED
    except UsageError as exc:
        usage(str(exc))
    except DamagedStore as exc:
        return Output(options.json).failure(f"{ERROR_PREFIX} Damaged store: {exc}")
    except Exception as exc:  # an operation that raised otherwise
        if not options.json:
            print(shown(f"{PROG} {options.command}: {type(exc).__name__}: {exc}"), file=sys.stderr)
            return FAILED
        # Scripts get the one document they were promised, even now.
        error = f"{ERROR_PREFIX} {type(exc).__name__}: {exc}"
        return Output(True).failure(
            error, _run_document(error) if options.command == "run" else None
        )


if __name__ == "__main__":
    sys.exit(main())
