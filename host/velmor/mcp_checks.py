"""What the MCP server checks and cleans at its door: messages and arguments in, texts out.

A message the SDK cannot read (not JSON, nested deeper than its parser goes,
a lone surrogate escape, a number out of range) is dropped by it without an
answer, and the client would wait for ever: `refusal` makes the JSON-RPC
error that answers it instead.

Arguments are checked against the very schema a tool is offered with, so a
client learns what to send before any tool code runs, and the tool never sees
a value of the wrong type. Texts that come from tool code or the store are
data: they may hold anything a Python string can, including lone surrogates,
which no JSON writer can encode; they are escaped before they reach the SDK.
"""

from __future__ import annotations

import json
import re
from collections.abc import Mapping
from typing import Any, cast

import mcp_types
from jsonschema import Draft202012Validator
from jsonschema.exceptions import ValidationError
from pydantic import ValidationError as MessageError

__all__ = ["InputCheck", "refusal", "request_id", "safe_json", "safe_text"]

SHOWN_VALUE_LIMIT = 60
# Keys a call should not have sent, named one by one up to this many.
NAMED_KEYS_LIMIT = 10
JSON_TYPE_NAMES = {
    dict: "object",
    list: "array",
    str: "string",
    bool: "boolean",
    int: "integer",
    float: "number",
    type(None): "null",
}
ARTICLES = {"object": "an object", "array": "an array", "integer": "an integer"}


def safe_text(text: str) -> str:
    """`text` with every character UTF-8 cannot encode (a lone surrogate) escaped."""
    if text.isascii():
        return text
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return text.encode("utf-8", "backslashreplace").decode("utf-8")
    return text


def safe_json(value: Any) -> Any:
    """A JSON value with every string in it (keys too) made safe as by `safe_text`."""
    if isinstance(value, str):
        return safe_text(value)
    if isinstance(value, dict):
        return {safe_text(str(key)): safe_json(item) for key, item in value.items()}
    if isinstance(value, list):
        return [safe_json(item) for item in value]
    return value


def _shown(value: Any) -> str:
    try:
        text = json.dumps(value, ensure_ascii=False, default=repr)
    except ValueError:  # a circular structure cannot come from JSON; be safe anyway
        text = repr(value)
    if len(text) > SHOWN_VALUE_LIMIT:
        text = text[: SHOWN_VALUE_LIMIT - 3] + "..."
    return safe_text(text)


def _json_type(value: Any) -> str:
    return JSON_TYPE_NAMES.get(type(value), type(value).__name__)


def _a(type_name: str) -> str:
    return ARTICLES.get(type_name, f"a {type_name}")


def _expected(error: ValidationError) -> str:
    if error.validator == "type":
        wanted = error.validator_value
        names = wanted if isinstance(wanted, list) else [wanted]
        return " or ".join(_a(str(name)) for name in names)
    if error.validator == "enum":
        # A JSON array in the tool's schema: the validator went through it to find the error.
        return "one of " + ", ".join(
            _shown(item) for item in cast(list[Any], error.validator_value)
        )
    return safe_text(error.message)


def _place(path: Any) -> str:
    return ".".join(str(step) for step in path) or "(the arguments)"


def _name(key: str) -> str:
    """A key the client sent, as a problem line names it: made safe, and cut when long."""
    if len(key) > SHOWN_VALUE_LIMIT:
        key = key[: SHOWN_VALUE_LIMIT - 3] + "..."
    return key if key.isprintable() and key.isascii() else json.dumps(key, ensure_ascii=True)


def _unexpected(error: ValidationError, prefix: str) -> list[str]:
    """One line per key the schema does not take (at most `NAMED_KEYS_LIMIT` of them)."""
    listed = error.schema.get("properties", {}) if isinstance(error.schema, dict) else {}
    instance = cast(dict[str, Any], error.instance)
    extra = [key for key in instance if key not in listed]
    takes = ", ".join(_shown(key) for key in listed) or "no keys"
    lines = [
        f"{prefix}{_name(key)}: got {_shown(instance[key])} ({_json_type(instance[key])}), "
        f"expected no such key ({_place(error.absolute_path)} takes {takes})"
        for key in extra[:NAMED_KEYS_LIMIT]
    ]
    if len(extra) > NAMED_KEYS_LIMIT:
        lines.append(f"{prefix}...: {len(extra) - NAMED_KEYS_LIMIT} more keys it does not take")
    return lines


def _problems(error: ValidationError) -> list[str]:
    if (
        error.validator == "additionalProperties"
        and error.validator_value is False
        and isinstance(error.instance, dict)
    ):
        place = _place(error.absolute_path)
        return _unexpected(error, "" if place == "(the arguments)" else place + ".")
    if error.validator == "required" and isinstance(error.instance, dict):
        place = _place(error.absolute_path)
        prefix = "" if place == "(the arguments)" else place + "."
        required = cast(list[str], error.validator_value)  # a JSON array, as for "enum"
        missing = [name for name in required if name not in error.instance]
        return [f"{prefix}{name}: missing, but required" for name in missing]
    got = f"got {_shown(error.instance)} ({_json_type(error.instance)})"
    return [f"{_place(error.absolute_path)}: {got}, expected {_expected(error)}"]


class InputCheck:
    """Checks a call's arguments against one tool's input schema.

    An optional argument sent as null counts as absent: models in strict
    schema modes send null for every argument they do not use, and the tool's
    own default is what they mean.
    """

    def __init__(self, schema: Mapping[str, Any]):
        self.schema = schema
        required = schema.get("required", ())
        self._required = frozenset(required if isinstance(required, list) else ())
        self._validator = Draft202012Validator(schema)

    def __call__(self, arguments: Mapping[str, Any]) -> tuple[dict[str, Any], list[str]]:
        """The arguments to pass on, and one line per problem (none when they fit)."""
        kept = {
            name: value
            for name, value in arguments.items()
            if value is not None or name in self._required
        }
        problems: list[str] = []
        for error in sorted(
            self._validator.iter_errors(kept), key=lambda e: list(map(str, e.path))
        ):
            problems.extend(_problems(error))
        return kept, problems


# -- messages the SDK cannot read ------------------------------------------------

# JSON's tokens, as far as finding a request's id needs: strings, punctuation,
# and any other run of characters (numbers, literals, garbage).
_TOKEN = re.compile(r'"(?:[^"\\]|\\.)*"|[{}\[\],:]|[^\s"{}\[\],:]+')
_INTEGER = re.compile(r"-?(?:0|[1-9][0-9]{0,17})")
_NOT_FOUND = object()


def request_id(text: str) -> int | str | None:
    """The id of the request `text` holds, found without parsing it whole (it may
    be nested past any parser's depth, or cut short); None unless the top level
    names both a method and a plain id.

    A reply of the client (an id but no method) has an id of the server's own
    requests: answering under it would fail a request of the client's instead.
    """
    depth = 0
    found: Any = _NOT_FOUND
    method = False
    previous = ("", "")  # the two tokens before this one at the top level
    for match in _TOKEN.finditer(text):
        token = match.group()
        if token in "{[":
            if depth == 1 and previous[1] == ":" and previous[0] == '"id"':
                found = None  # a compound id is no id
            depth += 1
            continue
        if token in "}]":
            depth -= 1
            if depth <= 0:
                break
            continue
        if depth != 1:
            continue
        if token == ":" and previous[1] == '"method"':
            method = True
        elif previous[1] == ":" and previous[0] == '"id"':
            found = _id_value(token)
        previous = (previous[1], token)
        if method and found is not _NOT_FOUND:
            break
    return found if method and found is not _NOT_FOUND else None


def _id_value(token: str) -> int | str | None:
    if _INTEGER.fullmatch(token):
        return int(token)
    if token.startswith('"'):
        try:
            value = json.loads(token)
        except ValueError:
            return None
        return value if isinstance(value, str) and safe_text(value) == value else None
    return None


def refusal(line: str, limit: int | None = None) -> bytes | None:
    """The JSON-RPC error answering `line`, or None when the SDK reads it as a
    message (or it is blank: no message at all).

    `limit`, when given, says the line was longer than that many bytes and
    only its start is here: it is refused whatever it holds.
    """
    if not line or line.isspace():
        return None
    if limit is not None:
        code = mcp_types.INVALID_REQUEST
        message = f"Invalid request: a message may be at most {limit} bytes long"
    else:
        try:
            mcp_types.jsonrpc_message_adapter.validate_json(line, by_name=False)
            return None
        except MessageError as exc:
            unparsed = [
                e["msg"] for e in exc.errors(include_url=False) if e["type"] == "json_invalid"
            ]
        except (ValueError, RecursionError):
            unparsed = ["not a JSON-RPC message"]
        if unparsed:
            code = mcp_types.PARSE_ERROR
            message = "Parse error: " + safe_text(unparsed[0])
        else:
            code = mcp_types.INVALID_REQUEST
            message = "Invalid request: not a JSON-RPC 2.0 request, notification or response"
    answer = {"jsonrpc": "2.0", "id": request_id(line), "error": {"code": code, "message": message}}
    return json.dumps(answer, separators=(",", ":")).encode() + b"\n"
