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
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any, NoReturn

from velmor.tools.tool_creator import ToolCreatorTool

PROG = "velmor-tools"
ERROR_PREFIX = "[ERROR]"
NO_TOOLS = "No custom tools found."
CODE_KEYS = ("code_lines", "code_size", "code_preview")
MCP_MISSING = (
    f"{PROG} serve needs the MCP SDK, which is not installed. "
    "Install it with: pip install 'velmor[mcp]'"
)

OK, FAILED, USAGE, INTERRUPTED = 0, 1, 2, 130


class UsageError(Exception):
    """Wrong usage found after parsing (an unreadable file, arguments that are not JSON)."""


class Output:
    """Prints for people, or, with --json, one JSON document for scripts."""

    def __init__(self, as_json: bool) -> None:
        self.as_json = as_json

    def success(self, document: Any, text: str) -> int:
        print(json.dumps(document, indent=2) if self.as_json else text)
        return OK

    def failure(self, text: str, document: Any = None) -> int:
        if self.as_json:
            print(json.dumps({"error": text} if document is None else document, indent=2))
        else:
            print(text, file=sys.stderr)
        return FAILED


def _is_error(answer: str) -> bool:
    return answer.startswith(ERROR_PREFIX)


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
    lines = [f"{listing['count']} custom tool(s) in {creator._custom_tools_dir}:"]
    lines += [
        f"  {entry['name']!s:<{width}}  {entry['description']}".rstrip()
        for entry in listing["tools"]
    ]
    return out.success(listing, "\n".join(lines))


async def show_tool(creator: ToolCreatorTool, options: argparse.Namespace, out: Output) -> int:
    answer = await creator.execute(operation="info", tool_name=options.name)
    if _is_error(answer):
        return out.failure(answer)
    info = json.loads(answer)
    code = info.get("code_preview", "")
    script = creator._custom_tools_dir / options.name / "tool.py"
    if info.get("code_size", 0) != len(code) and script.is_file():
        code = script.read_text(encoding="utf-8")  # the preview is cut; show it all
    document = {key: value for key, value in info.items() if key != "code_preview"}
    document["code"] = code
    shown = [f"{key}: {value}" for key, value in info.items() if key not in CODE_KEYS]
    if "code_lines" in info:
        shown.append(f"code: {info['code_lines']} lines, {info['code_size']} characters")
    return out.success(document, "\n".join(shown) + "\n\n" + code.rstrip("\n"))


async def validate_code(creator: ToolCreatorTool, options: argparse.Namespace, out: Output) -> int:
    code = _read_code(options.file)
    answer = await creator.execute(operation="validate", code=code)
    if _is_error(answer):
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
    if _is_error(answer):
        return out.failure(answer)
    created = json.loads(answer)
    return out.success(created, f"Created custom tool {created['created']}: {created['path']}")


async def run_tool(creator: ToolCreatorTool, options: argparse.Namespace, out: Output) -> int:
    args = _parse_args(options.args)
    answer = await creator.execute(operation="run", tool_name=options.name, args=args)
    if _is_error(answer):
        return out.failure(answer)
    return out.success(json.loads(answer), answer)


async def delete_tool(creator: ToolCreatorTool, options: argparse.Namespace, out: Output) -> int:
    if not options.yes:
        if not sys.stdin.isatty():
            raise UsageError(
                f"not deleting {options.name!r} without confirmation: "
                "stdin is not a terminal, pass --yes to delete"
            )
        question = f"Delete custom tool {options.name!r} from {creator._custom_tools_dir}? [y/N] "
        try:
            confirmed = input(question).strip().lower() in ("y", "yes")
        except EOFError:  # the person ended the input instead of answering
            confirmed = False
        if not confirmed:
            return out.failure("Nothing deleted.")
    answer = await creator.execute(operation="delete", tool_name=options.name)
    if _is_error(answer):
        return out.failure(answer)
    return out.success({"message": answer}, answer)


Command = Callable[[ToolCreatorTool, argparse.Namespace, Output], Any]


async def run_command(command: Command, options: argparse.Namespace) -> int:
    """Run one command with a tool creator of its own, ending its workers afterwards."""
    creator = ToolCreatorTool()
    try:
        return await command(creator, options, Output(options.json))
    finally:
        await creator._manager.aclose()


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
    create.add_argument("name", help="letters A-Z and a-z, digits, '_' and '-', at most 57")
    create.add_argument("--file", required=True, help="a Python file defining main(args)")
    create.add_argument("--description", default="", help="what the tool does")
    run = command("run", run_tool, "run a saved tool")
    run.add_argument("name")
    run.add_argument("--args", metavar="JSON", help="the arguments, a JSON object (default {})")
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


def main(argv: list[str] | None = None) -> int:
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
    except Exception as exc:  # an operation that raised, e.g. on a damaged store
        print(f"{PROG} {options.command}: {type(exc).__name__}: {exc}", file=sys.stderr)
        return FAILED


if __name__ == "__main__":
    sys.exit(main())
