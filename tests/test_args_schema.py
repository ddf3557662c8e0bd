"""The schema of a custom tool's args, read from real tool bodies without running them."""

import os
import textwrap
import time

import pytest
from hypothesis import given
from hypothesis import strategies as st

from velmor.tools.args_schema import (
    MAX_SOURCE_CHARS,
    OPEN_ARGS,
    DerivedArgs,
    custom_tool_description,
    custom_tool_schema,
    derive_args,
    derive_args_from_file,
    derive_args_schema,
)


def closed(properties, required=()):
    schema = {"type": "object", "properties": properties, "additionalProperties": False}
    if required:
        schema["required"] = list(required)
    return schema


def open_(properties=None, required=()):
    schema = {"type": "object"}
    if properties is not None:
        schema["properties"] = properties
    if required:
        schema["required"] = list(required)
    return schema


# (id, body of the tool, schema of its args)
TOOLS = [
    (
        "subscripts",
        """
        def main(args):
            words = args["text"].split()
            return {"count": len(words), "upper": args["text"].upper()}
        """,
        closed({"text": {}}, ["text"]),
    ),
    (
        "get-with-defaults",
        """
        def main(args):
            sep = args.get("sep", ", ")
            times = args.get("times", 2)
            scale = args.get("scale", 0.5)
            loud = args.get("loud", False)
            parts = args.get("parts", ["a", "b"])
            options = args.get("options", {})
            note = args.get("note")
            return sep.join(parts * times), scale, loud, options, note
        """,
        closed(
            {
                "loud": {"type": "boolean", "default": False},
                "note": {},
                "options": {"type": "object", "default": {}},
                "parts": {"type": "array", "items": {"type": "string"}, "default": ["a", "b"]},
                "scale": {"type": "number", "default": 0.5},
                "sep": {"type": "string", "default": ", "},
                "times": {"type": "integer", "default": 2},
            }
        ),
    ),
    (
        "membership-and-none-default",
        """
        def main(args):
            if "verbose" in args:
                print("verbose")
            limit = args.get("limit", None)
            return args["query"], limit
        """,
        closed({"limit": {}, "query": {}, "verbose": {}}, ["query"]),
    ),
    (
        "aliases",
        """
        def main(args):
            params = args
            p = params
            return p["a"] + params.get("b", 1)
        """,
        closed({"a": {}, "b": {"type": "integer", "default": 1}}, ["a"]),
    ),
    (
        "other-parameter-name",
        """
        def main(payload):
            return payload["url"]
        """,
        closed({"url": {}}, ["url"]),
    ),
    (
        "nested-function-closing-over-args",
        """
        def main(args):
            def fetch():
                return args["deep"]

            total = args["n"]
            return fetch() if total else None
        """,
        closed({"deep": {}, "n": {}}, ["n"]),
    ),
    (
        "nested-function-with-its-own-args",
        """
        def main(args):
            def helper(args):
                return args["not_ours"]

            return helper({"not_ours": 1}) + args["ours"]
        """,
        closed({"ours": {}}, ["ours"]),
    ),
    (
        "async-main",
        """
        import asyncio

        async def main(args):
            await asyncio.sleep(args.get("delay", 0.01))
            return args["message"]
        """,
        closed({"delay": {"type": "number", "default": 0.01}, "message": {}}, ["message"]),
    ),
    (
        "conditional-reads",
        """
        def main(args):
            mode = args["mode"]
            if mode == "sum":
                return sum(args["numbers"])
            elif mode == "join":
                return args.get("sep", "").join(args["words"])
            for _ in range(args.get("repeat", 1)):
                print(args["echo"])
            while args.get("loop", False):
                args["never"]
            return args["always"] if mode else args["otherwise"]
        """,
        closed(
            {
                "always": {},
                "echo": {},
                "loop": {"type": "boolean", "default": False},
                "mode": {},
                "never": {},
                "numbers": {},
                "otherwise": {},
                "repeat": {"type": "integer", "default": 1},
                "sep": {"type": "string", "default": ""},
                "words": {},
            },
            ["mode"],
        ),
    ),
    (
        "early-return-leaves-later-reads-optional",
        """
        def main(args):
            if args.get("help"):
                return "usage: text"
            return args["text"]
        """,
        closed({"help": {}, "text": {}}),
    ),
    (
        "a-raise-is-an-error-path",
        """
        def main(args):
            if "text" not in args:
                raise ValueError("text is required")
            return args["text"].split()
        """,
        closed({"text": {}}, ["text"]),
    ),
    (
        "try-except-keyerror",
        """
        def main(args):
            try:
                value = args["maybe"]
            except KeyError:
                value = args.get("fallback", 0)
            finally:
                done = args["cleanup"]
            return value, done
        """,
        closed(
            {"cleanup": {}, "fallback": {"type": "integer", "default": 0}, "maybe": {}},
            ["cleanup"],
        ),
    ),
    (
        "short-circuits-and-comprehensions",
        """
        def main(args):
            first = args["a"] or args["b"]
            rows = [args["per_item"] for _ in args["items"]]
            with open("/dev/null") as sink:
                sink.write(args["inside_with"])
            return first, rows
        """,
        closed({"a": {}, "b": {}, "inside_with": {}, "items": {}, "per_item": {}}, ["a", "items"]),
    ),
    (
        "truth-test-and-type-check",
        """
        def main(args):
            if not args or not isinstance(args, dict):
                return {"error": "no arguments"}
            return args.get("name", "world")
        """,
        closed({"name": {"type": "string", "default": "world"}}),
    ),
    (
        "no-reads-at-all",
        """
        def main(args):
            return 42
        """,
        closed({}),
    ),
    # Uses the reading cannot follow: open, and nothing required that a change may have given.
    (
        "passes-args-on-after-reading",
        """
        def render(options):
            return options["template"]

        def main(args):
            title = args["title"]
            return render(args) + title + args["after"]
        """,
        open_({"after": {}, "title": {}}, ["title"]),
    ),
    (
        "iterates",
        """
        def main(args):
            out = {key: value * 2 for key, value in args.items()}
            return out, args["scale"]
        """,
        open_({"scale": {}}, ["scale"]),
    ),
    (
        "indexes-with-a-variable",
        """
        def main(args):
            key = args.get("key", "a")
            return args[key]
        """,
        open_({"key": {"type": "string", "default": "a"}}),
    ),
    (
        "unpacks",
        """
        def main(args):
            return dict(**args)
        """,
        open_(),
    ),
    (
        "stores-into-args",
        """
        def main(args):
            args["x"] = args.get("x", 1)
            return args["x"] * 2
        """,
        open_({"x": {"type": "integer", "default": 1}}),
    ),
    (
        "rebinds-args",
        """
        def main(args):
            args = args or {"text": ""}
            return args["text"]
        """,
        open_({"text": {}}),
    ),
    (
        "returns-args",
        """
        def main(args):
            return args
        """,
        open_(),
    ),
    # Where there is no main to read, the open schema.
    ("syntax-error", "def main(args:\n", OPEN_ARGS),
    ("no-main", "def run(args):\n    return args['x']\n", OPEN_ARGS),
    ("main-rebound", "def main(args):\n    return args['x']\n\nmain = print\n", OPEN_ARGS),
    ("decorated-main", "@wrap\ndef main(args):\n    return args['x']\n", OPEN_ARGS),
    ("main-without-parameters", "def main():\n    return 1\n", OPEN_ARGS),
]


SOURCES = {name: source for name, source, _ in TOOLS}


@pytest.mark.parametrize("source, expected", [t[1:] for t in TOOLS], ids=[t[0] for t in TOOLS])
def test_schema_of_real_tool_bodies(source, expected):
    schema = derive_args_schema(textwrap.dedent(source))
    assert schema == expected
    assert derive_args(textwrap.dedent(source)).closed is (
        schema.get("additionalProperties") is False
    )


def test_docstring_is_the_description():
    derived = derive_args('def main(args):\n    """Count the words of `text`.\n\n    Fast."""\n')
    assert derived.description == "Count the words of `text`.\n\nFast."
    assert derive_args("def main(args):\n    return 1\n").description == ""


@pytest.mark.parametrize(
    "source",
    [
        "def main(args):\n    return " + "(" * 5000 + "args['x']" + ")" * 5000 + "\n",
        "def main(args):\n    return " + "-" * 100_000 + "1\n",
        "def main(args):\n    return 'a\0'\n",
        "x" * (2 << 20),
    ],
    ids=["deep-parentheses", "deep-unary", "nul-byte", "huge"],
)
def test_sources_beyond_reading_give_the_open_schema(source):
    assert derive_args_schema(source) == OPEN_ARGS


@given(st.text(max_size=200))
def test_any_text_gives_an_object_schema(source):
    schema = derive_args_schema(source)
    assert schema["type"] == "object"
    assert set(schema.get("required", [])) <= set(schema.get("properties", {}))


class TestOpenAIStrictMode:
    """pydantic-ai rewrites a tool's schema for OpenAI's strict mode: the keys must survive."""

    def transform(self, args_schema, strict):
        transformer = pytest.importorskip("pydantic_ai.profiles.openai").OpenAIJsonSchemaTransformer
        parameters = {"type": "object", "properties": {"args": args_schema}, "required": ["args"]}
        done = transformer(parameters, strict=strict)
        return done.walk()["properties"]["args"], done.is_strict_compatible

    @pytest.mark.parametrize("strict", [True, None])
    @pytest.mark.parametrize(
        "name", ["get-with-defaults", "conditional-reads", "passes-args-on-after-reading"]
    )
    def test_keys_survive(self, name, strict):
        derived = derive_args_schema(textwrap.dedent(SOURCES[name]))
        args, _ = self.transform(derived, strict)
        assert set(args["properties"]) == set(derived["properties"]) != set()
        if strict:  # strict mode makes every key required and the object closed
            assert args["required"] == list(args["properties"])
            assert args["additionalProperties"] is False

    def test_the_open_schema_of_before_lost_every_key_in_strict_mode(self):
        args, _ = self.transform(dict(OPEN_ARGS), True)
        assert args["properties"] == {} and args["additionalProperties"] is False


class TestOffering:
    """What a custom tool is offered with: its parameters with `args` described, and its docstring."""

    PARAMETERS = {
        "type": "object",
        "properties": {"args": {"type": "object", "description": "Arguments for main()."}},
    }

    def test_schema_describes_args(self):
        derived = derive_args(textwrap.dedent(SOURCES["subscripts"]))
        schema = custom_tool_schema(self.PARAMETERS, derived)
        assert schema == {
            "type": "object",
            "properties": {"args": {**derived.schema, "description": "Arguments for main()."}},
        }
        assert "additionalProperties" not in self.PARAMETERS["properties"]["args"]

    @pytest.mark.parametrize("name", ["subscripts", "aliases", "no-reads-at-all"])
    def test_frameworks_do_not_switch_strict_mode_on_for_untyped_keys(self, name):
        # OpenAI's strict mode refuses a key without a type (an HTTP 400 for the
        # whole request), so pydantic-ai must not judge the schema ready for it.
        openai = pytest.importorskip("pydantic_ai.profiles.openai")
        schema = custom_tool_schema(self.PARAMETERS, derive_args(textwrap.dedent(SOURCES[name])))
        transformer = openai.OpenAIJsonSchemaTransformer(schema, strict=None)
        transformer.walk()
        assert transformer.is_strict_compatible is False

    @pytest.mark.parametrize(
        "description, docstring, expected",
        [
            ("Counts words.", "Give `text`.", "Counts words.\n\nGive `text`."),
            ("", "Give `text`.", "Give `text`."),
            ("Counts words.", "", "Counts words."),
            ("Counts words. Give `text`.", "Give `text`.", "Counts words. Give `text`."),
        ],
    )
    def test_description_joins_the_docstring(self, description, docstring, expected):
        derived = derive_args(f"def main(args):\n    {docstring!r}\n")
        assert custom_tool_description(description, derived) == expected

    def test_from_a_file(self, tmp_path):
        script = tmp_path / "tool.py"
        script.write_text("def main(args):\n    return args['z\u00e4hl']\n", encoding="utf-8")
        assert derive_args_from_file(script).required == ["z\u00e4hl"]
        script.write_bytes(b"def main(args):\n    return args['\xff']\n")
        assert derive_args_from_file(script).schema == OPEN_ARGS
        assert derive_args_from_file(tmp_path / "missing.py").schema == OPEN_ARGS


# Sources built to make a reader recurse, or take long: each gives a schema, never an error.
HOSTILE_SOURCES = {
    "nested-lambdas": "def main(args):\n    return " + "lambda: " * 3000 + "args['k']\n",
    "nested-parentheses": "def main(args):\n    return " + "(" * 5000 + "args['k']" + ")" * 5000,
    "unary-chain": "def main(args):\n    return " + "-" * 100_000 + "args['k']\n",
    "nested-calls": "def main(args):\n    return " + "f(" * 180 + "args['k']" + ")" * 180 + "\n",
    "deep-default": "def main(args):\n    return args.get('j', " + "[" * 180 + "]" * 180 + ")\n",
    "many-keys": "def main(args):\n    return "
    + " or ".join(f"args.get('k{i}')" for i in range(4000)),
    "nested-blocks": "def main(args):\n"
    + "".join(" " * (i + 1) + "if x:\n" for i in range(98))
    + " " * 99
    + "return args['k']\n",
    "past-the-size-limit": "def main(args):\n    return args['k']\n" + "#" * MAX_SOURCE_CHARS,
}


@pytest.mark.parametrize("source", HOSTILE_SOURCES.values(), ids=HOSTILE_SOURCES.keys())
def test_hostile_sources_give_a_schema_in_bounded_time(source):
    started = time.monotonic()
    derived = derive_args(source)
    assert time.monotonic() - started < 10
    assert derived.schema["type"] == "object" and set(derived.required) <= {"k"}


def test_a_script_that_is_no_regular_file_is_not_read(tmp_path):
    # A FIFO would block the server's loop until a writer came: it is never opened for reading.
    os.mkfifo(tmp_path / "tool.py")
    assert derive_args_from_file(tmp_path / "tool.py") == DerivedArgs()
