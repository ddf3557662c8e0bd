"""The quick check in front of the argument validator never takes what the validator refuses."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pytest.importorskip("jsonschema")

from jsonschema import Draft202012Validator  # noqa: E402

from velmor.mcp_checks import InputCheck, quick_check  # noqa: E402
from velmor.tools.args_schema import custom_tool_schema, derive_args  # noqa: E402
from velmor.tools.tool_creator import DynamicTool, ToolCreatorTool  # noqa: E402

TYPES = ["object", "array", "string", "boolean", "integer", "number", "null"]

json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(-3, 3)
    | st.sampled_from([0.0, 1.0, 1.5, -2.0])
    | st.sampled_from(["", "a", "b"]),
    lambda inner: (
        st.lists(inner, max_size=3)
        | st.dictionaries(st.sampled_from(["a", "b", "c"]), inner, max_size=3)
    ),
    max_leaves=8,
)


def schemas(depth=2):
    leaf = st.sampled_from([{}, True, False, {"type": "string"}, {"minimum": 1}])
    if depth == 0:
        return leaf
    inner = schemas(depth - 1)
    keywords = st.fixed_dictionaries(
        {},
        optional={
            "type": st.sampled_from(TYPES) | st.lists(st.sampled_from(TYPES), min_size=1),
            "enum": st.lists(json_values, max_size=4),
            "properties": st.dictionaries(st.sampled_from(["a", "b", "c"]), inner, max_size=3),
            "required": st.lists(st.sampled_from(["a", "b", "c"]), max_size=3, unique=True),
            "additionalProperties": inner,
            "items": inner,
            "description": st.just("described"),
            "pattern": st.just("^a"),  # a keyword the quick check leaves to the validator
        },
    )
    return leaf | keywords


@settings(max_examples=400, deadline=None)
@given(schemas(), json_values)
def test_what_the_quick_check_takes_the_validator_takes(schema, value):
    quick = quick_check(schema)
    if quick is not None and quick(value):
        assert Draft202012Validator(schema).is_valid(value), (schema, value)


ADDER = custom_tool_schema(
    DynamicTool("t", "", "", object()).parameters,
    derive_args("def main(args):\n    return args['a'] + args.get('b', 2)\n"),
)
CREATOR = ToolCreatorTool(object()).parameters

CALLS = [
    (ADDER, {"args": {"a": 1}}, True),
    (ADDER, {"args": {"a": [1, {"c": None}], "b": 3}}, True),
    (ADDER, {"args": {"a": 1, "b": "3"}}, False),
    (ADDER, {"args": {"b": 1}}, False),
    (ADDER, {"args": {"a": 1, "z": 1}}, False),
    (ADDER, {"args": 5}, False),
    (CREATOR, {"operation": "list"}, True),
    (CREATOR, {"operation": "run", "tool_name": "t", "args": {}, "register": True}, True),
    (CREATOR, {"operation": "lists"}, False),
    (CREATOR, {"operation": "create", "register": 1}, False),
    (CREATOR, {"tool_name": "t"}, False),
]


@pytest.mark.parametrize(("schema", "arguments", "fits"), CALLS)
def test_the_offered_schemas_are_checked_quickly_and_refusals_keep_their_texts(
    schema, arguments, fits
):
    quick = quick_check(schema)
    assert quick is not None  # the schemas every call meets have the quick path
    assert quick(arguments) is fits
    kept, problems = InputCheck(schema)(arguments)
    assert kept == arguments
    full = sorted(e.message for e in Draft202012Validator(schema).iter_errors(arguments))
    assert (problems == []) is fits is (full == [])


@pytest.mark.parametrize(
    ("schema", "value", "valid"),
    [
        ({"type": "integer"}, 1.0, True),  # an integer to the validator: left to it
        ({"enum": [1]}, 1.0, True),
        ({"enum": [[1]]}, [1], True),
        ({"enum": [[1]]}, [True], False),
        ({"type": "number"}, True, False),
    ],
)
def test_values_the_quick_check_cannot_be_sure_of_go_to_the_validator(schema, value, valid):
    assert quick_check(schema)(value) is False
    assert Draft202012Validator(schema).is_valid(value) is valid
