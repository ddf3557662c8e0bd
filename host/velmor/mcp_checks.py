"""What the MCP server checks and cleans at its door: arguments in, texts out.

Arguments are checked against the very schema a tool is offered with, so a
client learns what to send before any tool code runs, and the tool never sees
a value of the wrong type. Texts that come from tool code or the store are
data: they may hold anything a Python string can, including lone surrogates,
which no JSON writer can encode; they are escaped before they reach the SDK.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Mapping
from typing import Any, Literal, cast

from jsonschema import Draft202012Validator
from jsonschema.exceptions import ValidationError

__all__ = ["InputCheck", "quick_check", "safe_json", "safe_text"]

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
# Keywords that only describe: they take every value.
ANNOTATIONS = frozenset(("description", "title", "default", "examples", "$comment"))
# The keywords a quick check understands; a schema using any other has none.
QUICK_KEYWORDS = ANNOTATIONS | {
    "type",
    "enum",
    "properties",
    "required",
    "additionalProperties",
    "items",
}
# Which Python values certainly are of each JSON type (bool is no number, and
# a float is left to the validator even where it would count as an integer).
_QUICK_TYPES: dict[str, Callable[[Any], bool]] = {
    "object": lambda value: type(value) is dict,
    "array": lambda value: type(value) is list,
    "string": lambda value: type(value) is str,
    "boolean": lambda value: type(value) is bool,
    "integer": lambda value: type(value) is int,
    "number": lambda value: type(value) in (int, float),
    "null": lambda value: value is None,
}
_QUICK_ENUM_TYPES = (str, int, float, bool, type(None))

Quick = Callable[[Any], bool]


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


def _always(value: Any) -> bool:
    return True


def quick_check(schema: Any) -> Quick | None:
    """A check that takes a value only where `schema` surely takes it (it may
    pass over values the schema takes: those go to the full validator); None
    for a schema with a keyword it does not know.

    Most calls send fitting arguments, and the full validator walks the
    schema afresh for each; this answers them in a fraction of its time.
    """
    if schema is True or schema == {}:
        return _always
    if not isinstance(schema, dict) or not QUICK_KEYWORDS.issuperset(schema):
        return None
    tests: list[Quick] = []
    if "type" in schema:
        names = schema["type"] if isinstance(schema["type"], list) else [schema["type"]]
        if not all(isinstance(name, str) and name in _QUICK_TYPES for name in names):
            return None
        kinds = [_QUICK_TYPES[name] for name in names]
        tests.append(lambda value: any(kind(value) for kind in kinds))
    if "enum" in schema:
        if not isinstance(schema["enum"], list):
            return None
        choices = [(type(item), item) for item in schema["enum"]]
        tests.append(
            lambda value: isinstance(value, _QUICK_ENUM_TYPES) and (type(value), value) in choices
        )
    if object_test := _quick_object(schema):
        tests.append(object_test)
    elif object_test is None:
        return None
    if "items" in schema:
        items = quick_check(schema["items"])
        if items is None:
            return None
        tests.append(lambda value: type(value) is not list or all(map(items, value)))
    return lambda value: all(test(value) for test in tests)


def _quick_object(schema: dict[str, Any]) -> Quick | None | Literal[False]:
    """The quick check of an object's keywords; False when there are none,
    None when one cannot be checked quickly."""
    if not {"properties", "required", "additionalProperties"} & schema.keys():
        return False
    properties = schema.get("properties", {})
    required = schema.get("required", [])
    extra = schema.get("additionalProperties", True)
    if not isinstance(properties, dict) or not isinstance(required, list):
        return None
    listed = {name: quick_check(sub) for name, sub in properties.items()}
    others = None if extra is False else quick_check(extra)
    if None in listed.values() or (others is None and extra is not False):
        return None

    def test(value: Any) -> bool:
        if type(value) is not dict:
            return True  # object keywords do not apply to other values
        if not all(name in value for name in required):
            return False
        for name, item in value.items():
            check = listed.get(name, others)
            if check is None or not check(item):
                return False
        return True

    return test


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
        self._quick = quick_check(schema)

    def __call__(self, arguments: Mapping[str, Any]) -> tuple[dict[str, Any], list[str]]:
        """The arguments to pass on, and one line per problem (none when they fit)."""
        kept = {
            name: value
            for name, value in arguments.items()
            if value is not None or name in self._required
        }
        if self._quick is not None and self._quick(kept):
            return kept, []
        problems: list[str] = []
        for error in sorted(
            self._validator.iter_errors(kept), key=lambda e: list(map(str, e.path))
        ):
            problems.extend(_problems(error))
        return kept, problems
