"""The "custom" worker: validates and runs tool code in a process of its own.

The subprocess manager runs it as

    python -I /abs/path/custom_worker.py COMMAND_FD RESULT_FD

It reads one JSON command from COMMAND_FD until end-of-file, does what the
command's "action" asks, writes one JSON reply, {"output": ...} or
{"error": "..."}, to RESULT_FD and exits. Whatever the job prints goes to fds
1 and 2, which the manager captures apart from the reply.

The manager's warm helper instead loads this file once and, in a fresh child
process per job, calls `serve(COMMAND_FD, RESULT_FD)`, which does the same; a
sandboxed spawned job runs it through the sandbox's launcher
(confinement.py), which confines the process first and then calls `serve`.

Only the standard library is used: in isolated mode the host's package may not
be importable. Modules that only one action needs are imported there, because
every spawned job pays this script's start-up time; the warm helper imports
those named in WARM_IMPORTS ahead of time instead.
"""

from __future__ import annotations

import faulthandler
import json
import os
import sys
import types

# typing is not imported at run time: it would add to every job's start-up.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any

# The name the tool's code runs under: not "__main__", so that a tool's own
# `if __name__ == "__main__":` block stays quiet, and present in sys.modules,
# so that dataclasses, typing and pickle can find the module.
TOOL_MODULE_NAME = "custom_tool"

# What validation names the code by in messages and tracebacks.
CODE_FILENAME = "<tool code>"

# Modules an action imports when it runs, worth importing once in the warm
# helper so that forked jobs find them loaded. asyncio is left out: it makes
# the helper large enough to slow every fork down, for the sake of the few
# tools that are coroutines.
WARM_IMPORTS = ("inspect", "linecache")

VALID_VERDICT = {"valid": True, "message": "Code is valid."}
MISSING_MAIN = "Code must define a callable main(args)."


class JobError(Exception):
    """A failure of the job, sent to the manager as the reply's "error"."""


# -- describing what went wrong ---------------------------------------------


def exception_text(exc: BaseException) -> str:
    """ "<Type>: <message>", or just "<Type>" when the message is empty."""
    name = type(exc).__name__
    try:
        message = str(exc)
    except BaseException:
        message = "<message could not be rendered>"
    return f"{name}: {message}" if message else name


def describe_exception(exc: BaseException, filename: str, label: str | None) -> str:
    """The exception's text and the innermost line of `filename` it passed.

    With a `label` the place reads "(label, line N)", without one "(line N)".
    A syntax error in `filename` itself has no frame there, only its lineno.
    """
    line: int | None = None
    if isinstance(exc, SyntaxError) and exc.filename == filename:
        text = f"{type(exc).__name__}: {exc.msg}"
        line = exc.lineno
    else:
        text = exception_text(exc)
        tb = exc.__traceback__
        while tb is not None:
            if tb.tb_frame.f_code.co_filename == filename and tb.tb_lineno is not None:
                line = tb.tb_lineno
            tb = tb.tb_next
    if line is None:
        return text
    place = f"{label}, line {line}" if label else f"line {line}"
    return f"{text} ({place})"


# -- loading tool code ------------------------------------------------------


def load_module(source: str | bytes, filename: str) -> types.ModuleType:
    """Compile `source` and run it as a fresh module; its exceptions propagate."""
    # dont_inherit: this file's own __future__ imports must not change how the
    # tool's code compiles.
    code = compile(source, filename, "exec", dont_inherit=True)
    module = types.ModuleType(TOOL_MODULE_NAME)
    if not filename.startswith("<"):
        module.__file__ = filename
    sys.modules[TOOL_MODULE_NAME] = module
    exec(code, module.__dict__)
    return module


def signature_problem(function: Callable[..., Any]) -> str | None:
    """Why `function` cannot be called as function(args), or None if it can."""
    import inspect

    try:
        signature = inspect.signature(function)
    except BaseException:
        return None  # nothing to read (some builtins): give it the benefit of the doubt
    try:
        signature.bind(None)
    except TypeError:
        return f"{MISSING_MAIN[:-1]}: main{signature} cannot take one positional argument."
    return None


# -- actions ----------------------------------------------------------------


def validate(command: dict[str, Any]) -> dict[str, Any]:
    """Verdict on a piece of tool code: does it import and define main(args)?

    Whatever the code does wrong is a verdict, not a job error.
    """
    code = command.get("code")
    if not isinstance(code, str):
        raise JobError("The validate action needs the code, as a string, in 'code'")
    import linecache

    # Tracebacks and inspect.getsource() inside the tool find its lines here.
    linecache.cache[CODE_FILENAME] = (len(code), None, code.splitlines(True), CODE_FILENAME)
    try:
        module = load_module(code, CODE_FILENAME)
    except BaseException as exc:
        return {"valid": False, "message": describe_exception(exc, CODE_FILENAME, None)}
    main = module.__dict__.get("main")
    if not callable(main):
        return {"valid": False, "message": MISSING_MAIN}
    problem = signature_problem(main)
    if problem:
        return {"valid": False, "message": problem}
    return dict(VALID_VERDICT)


def run_function(command: dict[str, Any]) -> Any:
    """Load the script at "path", call "function" with "args", return the result."""
    path = command.get("path")
    function_name = command.get("function", "main")
    args = command.get("args", {})
    if not isinstance(path, str) or not path:
        raise JobError("The run_function action needs the script's path, as a string, in 'path'")
    if not isinstance(function_name, str) or not function_name:
        raise JobError(
            "The run_function action needs the function's name, as a string, in 'function'"
        )
    try:
        with open(path, "rb") as file:
            source = file.read()
    except FileNotFoundError:
        raise JobError(f"Tool script not found: {path}") from None
    except IsADirectoryError:
        raise JobError(f"Tool script is a directory, not a file: {path}") from None
    except OSError as exc:
        raise JobError(f"Cannot read tool script {path}: {exc.strerror or exc}") from None
    label = os.path.basename(path)
    sys.argv = [path]
    try:
        module = load_module(source, path)
    except BaseException as exc:
        raise JobError(describe_exception(exc, path, label)) from None
    function = module.__dict__.get(function_name)
    if function is None:
        raise JobError(f"Function {function_name!r} not found in {path}")
    if not callable(function):
        raise JobError(
            f"{function_name!r} in {path} is not callable (it is {type(function).__name__})"
        )
    try:
        result = function(args)
        if _is_awaitable(result):
            import asyncio

            result = asyncio.run(_await(result))
    except BaseException as exc:
        raise JobError(describe_exception(exc, path, label)) from None
    return result


def _is_awaitable(value: object) -> bool:
    from collections.abc import Awaitable

    return isinstance(value, Awaitable)


async def _await(awaitable: Any) -> Any:
    # asyncio.run takes coroutines only; this also admits futures and other awaitables.
    return await awaitable


def warm_up() -> None:
    """Take the paths a job takes once, on a snippet of our own, then forget it.

    The warm helper calls this before it forks workers, so that each of them
    starts with the caches and specialised code that first calls build, which
    costs every spawned job more than its actual work. Nothing of the snippet
    stays behind for a tool to find.
    """
    snippet = "def main(args):\n    return args\n"
    try:
        for action in ("validate", "run_function"):
            if action == "validate":
                handle({"action": action, "code": snippet})
            else:
                module = load_module(snippet, CODE_FILENAME)
                _is_awaitable(module.main({}))
                handle({"action": action, "path": ""})  # the refusal path: nothing to read
    finally:
        sys.modules.pop(TOOL_MODULE_NAME, None)
        import linecache

        linecache.cache.pop(CODE_FILENAME, None)


def files_read(command: dict[str, Any]) -> tuple[str, ...]:
    """The files of the host a command reads, for a sandbox to let it see:
    run_function's script."""
    path = command.get("path") if command.get("action") == "run_function" else None
    return (path,) if isinstance(path, str) and path else ()


ACTIONS: dict[str, Callable[[dict[str, Any]], Any]] = {
    "validate": validate,
    "run_function": run_function,
}


def handle(command: object) -> bytes:
    """The encoded reply to one command."""
    if not isinstance(command, dict):
        return _encode({"error": f"A command must be a JSON object, not {type(command).__name__}"})
    action = command.get("action")
    handler = ACTIONS.get(action) if isinstance(action, str) else None
    if handler is None:
        known = ", ".join(sorted(ACTIONS))
        return _encode(
            {"error": f"Unknown action {action!r} for the custom worker (known: {known})"}
        )
    try:
        output = handler(command)
    except JobError as exc:
        return _encode({"error": str(exc)})
    try:
        return json.dumps({"output": output}).encode()
    except Exception as exc:  # TypeError, ValueError, RecursionError, or the value's own
        what = (
            f"The result of {command.get('function', 'main')}()"
            if action == "run_function"
            else "The result"
        )
        return _encode({"error": f"{what} is not JSON-encodable: {exception_text(exc)}"})


def _encode(reply: dict[str, Any]) -> bytes:
    return json.dumps(reply).encode()


# -- the process ------------------------------------------------------------


def read_command(fd: int) -> object:
    chunks = []
    while chunk := os.read(fd, 1 << 16):
        chunks.append(chunk)
    os.close(fd)
    return json.loads(b"".join(chunks))


def send_reply(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view) :]
    os.close(fd)


def _flush_stdio() -> None:
    # The tool may have swapped the streams; flush what it sees and the originals.
    for stream in (sys.stdout, sys.stderr, sys.__stdout__, sys.__stderr__):
        try:
            if stream is not None:
                stream.flush()
        except BaseException:
            pass


def serve(command_fd: int, result_fd: int) -> None:
    """Do one job: read the command, write the reply, end the process."""
    # Processes the tool starts must not hold the manager's channels open.
    os.set_inheritable(command_fd, False)
    os.set_inheritable(result_fd, False)
    # A crash then leaves the Python stack on stderr, where the manager looks.
    faulthandler.enable()
    try:
        command = read_command(command_fd)
    except ValueError as exc:
        reply = _encode({"error": f"Malformed command: {exc}"})
    else:
        reply = handle(command)
    _flush_stdio()
    send_reply(result_fd, reply)
    # Exit at once: threads, atexit hooks or finalizers the tool left behind
    # must not hold the job open once the reply is out.
    os._exit(0)


def main(argv: list[str]) -> None:
    if len(argv) != 3:
        print(f"usage: {os.path.basename(argv[0])} COMMAND_FD RESULT_FD", file=sys.stderr)
        raise SystemExit(2)
    serve(int(argv[1]), int(argv[2]))


if __name__ == "__main__":
    main(sys.argv)
