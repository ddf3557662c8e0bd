"""What the MCP server checks and cleans at its door: arguments in, texts out.

Arguments are checked against the very schema a tool is offered with, so a
client learns what to send before any tool code runs, and the tool never sees
a value of the wrong type. Texts that come from tool code or the store are
data: they may hold anything a Python string can, including lone surrogates,
which no JSON writer can encode; they are escaped before they reach the SDK.
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from typing import Any, cast

from jsonschema import Draft202012Validator
from jsonschema.exceptions import ValidationError

__all__ = ["InputCheck", "safe_json", "safe_text"]

SHOWN_VALUE_LIMIT = 60
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


def _problems(error: ValidationError) -> list[str]:
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
