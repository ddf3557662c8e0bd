"""The arguments of a call to a custom tool, as MCP clients send them, made into `execute`'s.

A custom tool takes one parameter, `args`, the dict its `main(args)` gets.
Models often send the tool's inputs flat (`{"text": "a b"}`) instead of inside
`args`; such a call is taken as those keys in `args`. A call that sends
`args` and other keys beside it is ambiguous, and is answered with the shape
expected. Models in strict mode send null for every input they do not use:
a null `args`, a null beside it, or a null for a key of `args` that `main`
reads only optionally counts as absent.

Pure functions: no I/O, nothing of the MCP SDK.
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from typing import Any

__all__ = ["ARGS", "InvalidArguments", "custom_tool_arguments"]

ARGS = "args"


class InvalidArguments(ValueError):
    """A call whose arguments cannot be made into a custom tool's; its text says why
    (a server answers it as `[ERROR] Invalid arguments: <text>`)."""


def custom_tool_arguments(
    arguments: Mapping[str, Any] | None, args_schema: Mapping[str, Any] | None = None
) -> dict[str, Any]:
    """The keywords for a custom tool's `execute`: `{"args": {...}}`.

    `args_schema` is the schema of `args` the tool is offered with; keys it
    lists as optional are dropped from `args` when null. Raises
    `InvalidArguments` for a call with `args` and other keys beside it.
    """
    given = dict(arguments or {})
    args: Any = given.pop(ARGS, None)
    if args is None:
        args = given  # flat: the keys are the tool's inputs
    elif beside := [key for key, value in given.items() if value is not None]:
        raise InvalidArguments(
            f'pass the tool\'s inputs inside "args" ({{"args": {{...}}}}), not beside it: '
            f'got "args" and {", ".join(_quoted(key) for key in beside)}'
        )
    if isinstance(args, dict):
        args = _without_unused_optionals(args, args_schema or {})
    return {ARGS: args}


def _without_unused_optionals(args: dict[str, Any], schema: Mapping[str, Any]) -> dict[str, Any]:
    properties = schema.get("properties") or {}
    required = set(schema.get("required") or ())
    return {
        key: value
        for key, value in args.items()
        if value is not None or key in required or not _optional_without_null(properties, key)
    }


def _optional_without_null(properties: Mapping[str, Any], key: str) -> bool:
    """Whether `key` is a listed key whose schema does not itself take null."""
    if key not in properties:
        return False
    kind = properties[key].get("type") if isinstance(properties[key], Mapping) else None
    return not (kind == "null" or (isinstance(kind, list) and "null" in kind))


def _quoted(key: str) -> str:
    # JSON quoting with ASCII escapes: a key is the client's text, shown safely.
    return json.dumps(key, ensure_ascii=True)
