"""What a custom tool's `args` hold, read from its source without running it.

A custom tool is offered with one parameter, `args`, the dict its `main(args)`
gets. Left as a bare object, it tells a model nothing, and models guess. This
module reads the tool's source with `ast` (the code is never imported or run
here) and lists the keys `main` reads:

- `args["k"]` (or `args.pop("k")`) reached on every normal path through
  `main` makes `k` required; a path that raises is an error path and does
  not count, so `if "k" not in args: raise ...` before `args["k"]` keeps it
  required;
- `args.get("k"[, default])`, `args.pop("k", default)`, `"k" in args`, and any
  read that only some paths reach (a branch, a loop body, a `try`, a nested
  function, after a conditional `return`) make `k` optional;
- a literal default gives the key's type and default.

Names bound to `args` (`a = args`) are followed, and so are functions nested
in `main` that close over it. Where `main` uses `args` any other way (passes
it on, iterates it, indexes it with a variable, unpacks `**args`, calls
another method, stores into it, rebinds it, returns it), the reading cannot
know every key: the schema stays open and lists only the keys found, never
one wrongly required. When every use was followed, the schema is closed
(`additionalProperties: false`): the listed keys are all `main` can see, so a
model learns not to invent others, a misspelt optional key is refused at the
door instead of silently falling back to its default, and the object already
has the closed shape that OpenAI's strict mode demands of every object.
"""

from __future__ import annotations

import ast
import copy
import os
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from functools import lru_cache
from typing import Any, TypeGuard

from velmor.tools.store import read_text_file

__all__ = [
    "OPEN_ARGS",
    "DerivedArgs",
    "custom_tool_description",
    "custom_tool_schema",
    "derive_args",
    "derive_args_from_file",
    "derive_args_schema",
]

ARGS = "args"  # the one parameter of a custom tool

# The schema of `args` where nothing could be read: any object.
OPEN_ARGS: dict[str, Any] = {"type": "object"}

# Sources beyond this size are not read (their args stay open): tool code is
# small, and reading a huge text (about 10 ms per 10 KiB) would hold up the
# server that asks for the schema.
MAX_SOURCE_CHARS = 128 << 10

_FUNCTION_NODES = (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda)
_SCOPE_NODES = (*_FUNCTION_NODES, ast.ClassDef)


@dataclass(frozen=True)
class DerivedArgs:
    """The schema of `args`, `main`'s docstring, and whether every use of `args` was followed."""

    schema: dict[str, Any] = field(default_factory=lambda: dict(OPEN_ARGS))
    description: str = ""
    closed: bool = False

    @property
    def required(self) -> list[str]:
        return list(self.schema.get("required", []))


def derive_args_schema(source: str) -> dict[str, Any]:
    """The JSON schema of the `args` a tool's `main(args)` reads."""
    return derive_args(source).schema


def derive_args(source: str) -> DerivedArgs:
    """What `source`'s `main(args)` reads of `args`, and its docstring.

    Source that does not parse, or has no plain top-level `main` taking `args`
    first, gives the open schema and no description.
    """
    if not isinstance(source, str) or len(source) > MAX_SOURCE_CHARS:
        return DerivedArgs()
    try:
        module = ast.parse(source)
        main = _find_main(module)
        if main is None:
            return DerivedArgs()
        description = ast.get_docstring(main) or ""
        parameter = _first_parameter(main)
        if parameter is None or main.decorator_list:  # a decorator may call it any way
            return DerivedArgs(description=description)
        reading = _Reading(main, parameter)
        reading.read()
    except (SyntaxError, ValueError, RecursionError, MemoryError):
        # Unparsable, or nested beyond what the reader walks: nothing is known.
        return DerivedArgs()
    return DerivedArgs(reading.schema(), description, reading.followed)


def derive_args_from_file(path: str | os.PathLike[str]) -> DerivedArgs:
    """`derive_args` of a tool's saved script; one that cannot be read gives the open schema.

    The file is read again only when it changed (its identity, size or time),
    so a server may ask at every listing for the price of a `stat`. The
    result is shared between such calls: copy its schema before changing it.
    """
    try:
        status = os.stat(path)
    except (OSError, ValueError):
        return DerivedArgs()
    return _derive_file(
        os.fspath(path), status.st_ino, status.st_size, status.st_mtime_ns, status.st_ctime_ns
    )


@lru_cache(maxsize=256)
def _derive_file(path: str, *version: int) -> DerivedArgs:
    try:
        source = read_text_file(path, MAX_SOURCE_CHARS + 1)
    except (OSError, UnicodeDecodeError, ValueError):
        return DerivedArgs()
    return derive_args(source)


def custom_tool_schema(parameters: Mapping[str, Any], derived: DerivedArgs) -> dict[str, Any]:
    """A custom tool's parameters (a fresh dict) with `args` described as `derived` reads it.

    `args` keeps the description the tool gives it, and stays optional itself,
    as in the tool's parameters, even when keys of it are required. A key read
    only by subscript has no type, and strict schema modes (OpenAI's) refuse a
    schema with an untyped node; frameworks that switch strict mode on by
    themselves (pydantic-ai) do so for a schema whose every object requires
    all its keys, which a required `args` over required keys would be. A call
    without `args` still meets `args`' own required keys at the server's door.
    """
    schema = copy.deepcopy(dict(parameters))
    properties = schema.setdefault("properties", {})
    given = properties.get(ARGS)
    args = copy.deepcopy(derived.schema)
    if isinstance(given, Mapping) and isinstance(given.get("description"), str):
        args["description"] = given["description"]
    properties[ARGS] = args
    return schema


def custom_tool_description(description: str, derived: DerivedArgs) -> str:
    """A custom tool's description followed by its `main`'s docstring, when it adds something."""
    docstring = derived.description.strip()
    if not docstring or docstring in description:
        return description
    return f"{description.rstrip()}\n\n{docstring}" if description.strip() else docstring


def _find_main(module: ast.Module) -> ast.FunctionDef | ast.AsyncFunctionDef | None:
    """The `main` the worker calls: the last top-level `def main`, unless the
    module also binds `main` some other way (then which one runs is not known)."""
    found = None
    for statement in module.body:
        if isinstance(statement, ast.FunctionDef | ast.AsyncFunctionDef):
            if statement.name == "main":
                found = statement
        elif _binds_main(statement):
            return None
    return found


def _binds_main(statement: ast.stmt) -> bool:
    for node in ast.walk(statement):
        if isinstance(node, ast.Name) and node.id == "main" and isinstance(node.ctx, ast.Store):
            return True
        if isinstance(node, ast.alias) and (node.asname or node.name) == "main":
            return True
        if isinstance(node, ast.ImportFrom) and any(a.name == "*" for a in node.names):
            return True
        if isinstance(node, ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef):
            if node.name == "main":
                return True
    return False


def _first_parameter(function: ast.FunctionDef | ast.AsyncFunctionDef) -> str | None:
    positional = [*function.args.posonlyargs, *function.args.args]
    return positional[0].arg if positional else None


# -- the reading ----------------------------------------------------------------


@dataclass
class _Key:
    required: bool = False
    defaults: list[Any] = field(default_factory=list)  # the literal defaults it is read with


class _Reading:
    """One walk over `main`: the keys read, and whether every use of `args` was followed.

    Statements and expressions are walked in the order they run, with
    `certain`: whether every normal path through `main` reaches them. Each use
    of a followed name that a read accounts for is marked understood. A use
    that only reads what the reading cannot list (iterating, a variable key,
    `**args`) leaves `args` open. Any other use (passing it on, storing into
    it, rebinding the name) may also change what later reads find, so from
    there on no read makes a key required.
    """

    def __init__(self, main: ast.FunctionDef | ast.AsyncFunctionDef, parameter: str) -> None:
        self.main = main
        self.names = {parameter}  # `args` and the names bound to it
        self.keys: dict[str, _Key] = {}
        self.understood: set[int] = set()  # ids of the Name nodes accounted for
        self.walked: set[int] = set()  # ids of the Name nodes met, understood or not
        self.open = False  # a use read keys the reading cannot list
        self.changed = False  # a use may have changed args, or what a name means
        self.followed = True

    def read(self) -> None:
        self._returning = _statements_holding_returns(self.main)
        self._find_aliases()
        self._block(self.main.body, certain=True)
        unfollowed = self._unfollowed_use()
        if unfollowed is not None and id(unfollowed) not in self.walked:
            # A binding the ordered walk never met (`global args`, `except E as args`):
            # when it takes effect is not known, so no read is sure to be of the call's args.
            for entry in self.keys.values():
                entry.required = False
        self.followed = unfollowed is None and not self.open and not self.changed

    def schema(self) -> dict[str, Any]:
        schema: dict[str, Any] = {"type": "object"}
        if self.keys or self.followed:
            schema["properties"] = {
                key: _property(entry.defaults) for key, entry in sorted(self.keys.items())
            }
        required = [key for key, entry in sorted(self.keys.items()) if entry.required]
        if required:
            schema["required"] = required
        if self.followed:
            schema["additionalProperties"] = False
        return schema

    # -- which names are `args`

    def _find_aliases(self) -> None:
        """`a = args`, `b = a`: names bound to args (whether they are bound to
        nothing else is checked with every other use, in `_unfollowed_use`)."""
        bound_to: dict[str, set[str]] = {}  # name -> names assigned from it
        for node in self._nodes():
            if isinstance(node, ast.Assign) and isinstance(node.value, ast.Name):
                names = [target.id for target in node.targets if isinstance(target, ast.Name)]
                if len(names) == len(node.targets):
                    bound_to.setdefault(node.value.id, set()).update(names)
        pending = list(self.names)
        while pending:
            for name in bound_to.get(pending.pop(), ()):
                if name not in self.names:
                    self.names.add(name)
                    pending.append(name)

    def _is_alias_statement(self, node: ast.AST) -> bool:
        return (
            isinstance(node, ast.Assign)
            and self._is_args(node.value)
            and all(isinstance(target, ast.Name) for target in node.targets)
        )

    def _is_args(self, node: ast.AST) -> TypeGuard[ast.Name]:
        return isinstance(node, ast.Name) and node.id in self.names

    def _shadows(self, function: ast.FunctionDef | ast.AsyncFunctionDef | ast.Lambda) -> bool:
        """Whether a nested function has a parameter of a followed name: inside it,
        that name is something else."""
        parameters = function.args
        every = [*parameters.posonlyargs, *parameters.args, *parameters.kwonlyargs]
        every += [p for p in (parameters.vararg, parameters.kwarg) if p is not None]
        return any(p.arg in self.names for p in every)

    def _nodes(self) -> Iterator[ast.AST]:
        """Every node of `main`'s body, skipping the bodies of shadowing functions."""
        pending: list[ast.AST] = list(self.main.body)
        while pending:
            node = pending.pop()
            yield node
            if isinstance(node, _FUNCTION_NODES) and self._shadows(node):
                pending.extend(_evaluated_outside(node))
            else:
                pending.extend(ast.iter_child_nodes(node))

    def _unfollowed_use(self) -> ast.AST | None:
        """A use or binding of a followed name that no read accounted for, if any."""
        for node in self._nodes():
            if isinstance(node, ast.Name):
                bound = node.id in self.names
            elif isinstance(node, ast.Global | ast.Nonlocal):
                bound = any(name in self.names for name in node.names)
            elif isinstance(node, ast.alias):
                bound = (node.asname or node.name.partition(".")[0]) in self.names
            elif isinstance(node, ast.arg):
                bound = node.arg in self.names
            elif isinstance(node, ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef):
                bound = node.name in self.names
            elif isinstance(node, ast.ExceptHandler | ast.MatchAs | ast.MatchStar):
                bound = node.name in self.names
            else:
                continue
            if bound and id(node) not in self.understood:
                return node
        return None

    # -- statements

    def _block(self, statements: list[ast.stmt], certain: bool) -> None:
        for statement in statements:
            self._statement(statement, certain)
            if isinstance(statement, ast.Return | ast.Raise | ast.Break | ast.Continue):
                certain = False  # what follows is not reached
            elif id(statement) in self._returning:
                certain = False  # some paths leave main inside it

    def _statement(self, node: ast.stmt, certain: bool) -> None:
        match node:
            case ast.If(test=test, body=body, orelse=orelse):
                self._test(test, certain)
                self._block(body, False)
                self._block(orelse, False)
            case ast.While(test=test, body=body, orelse=orelse):
                self._test(test, certain)
                self._block(body, False)
                self._block(orelse, False)
            case ast.For() | ast.AsyncFor():
                self._iterated(node.iter, certain)
                self._expression(node.target, False)
                self._block(node.body, False)
                self._block(node.orelse, False)
            case ast.With() | ast.AsyncWith():
                for item in node.items:
                    self._expression(item.context_expr, certain)
                    if item.optional_vars is not None:
                        self._expression(item.optional_vars, certain)
                # A context manager may swallow the body's KeyError (contextlib.suppress).
                self._block(node.body, False)
            case ast.Try() | ast.TryStar():
                # A KeyError in the body may be caught: its reads make no key required.
                self._block(node.body, False)
                for handler in node.handlers:
                    if handler.type is not None:
                        self._expression(handler.type, False)
                    self._block(handler.body, False)
                self._block(node.orelse, False)
                self._block(node.finalbody, certain)
            case ast.Match(subject=subject, cases=cases):
                self._expression(subject, certain)
                for case in cases:
                    if case.guard is not None:
                        self._test(case.guard, False)
                    self._block(case.body, False)
            case ast.Assert(test=test, msg=message):
                self._test(test, certain)
                if message is not None:
                    self._expression(message, False)
            case ast.Assign(targets=targets) if self._is_alias_statement(node):
                self.understood.update(id(n) for n in (node.value, *targets))
            case ast.Return(value=value) if value is not None and self._is_args(value):
                self._opened(value)  # handed back whole: main reads nothing more
            case ast.FunctionDef() | ast.AsyncFunctionDef() | ast.ClassDef():
                for part in _evaluated_outside(node):
                    self._expression(part, certain)
                # Its body runs only if it is called, if at all.
                if isinstance(node, ast.ClassDef) or not self._shadows(node):
                    self._block(node.body, False)
            case _:
                for child in ast.iter_child_nodes(node):
                    if isinstance(child, ast.expr):
                        self._expression(child, certain)

    # -- expressions

    def _test(self, node: ast.expr, certain: bool) -> None:
        """A condition: there `args` may stand alone (`if args:`), a truth test that reads no key."""
        match node:
            case ast.Name() if self._is_args(node):
                self.understood.add(id(node))
            case ast.UnaryOp(op=ast.Not(), operand=operand):
                self._test(operand, certain)
            case ast.BoolOp(values=[first, *rest]):
                self._test(first, certain)
                for value in rest:
                    self._test(value, False)
            case _:
                self._expression(node, certain)

    def _expression(self, node: ast.expr, certain: bool) -> None:
        if isinstance(node, ast.Name) and node.id in self.names:
            self.walked.add(id(node))
            if id(node) not in self.understood:
                self.changed = True  # passed on, stored into, rebound...
            return
        if self._read(node, certain):
            return
        match node:
            case ast.BoolOp(values=[first, *rest]):
                self._expression(first, certain)
                for value in rest:
                    self._expression(value, False)
            case ast.IfExp(test=test, body=body, orelse=orelse):
                self._test(test, certain)
                self._expression(body, False)
                self._expression(orelse, False)
            case ast.Lambda(body=body):
                for part in _evaluated_outside(node):
                    self._expression(part, certain)
                if not self._shadows(node):
                    self._expression(body, False)
            case ast.ListComp() | ast.SetComp() | ast.GeneratorExp() | ast.DictComp():
                # Only the first iterable is evaluated for sure; the rest runs per item.
                outermost = node.generators[0]
                self._iterated(outermost.iter, certain)
                for generator in node.generators:
                    self._expression(generator.target, False)
                    if generator is not outermost:
                        self._iterated(generator.iter, False)
                    for condition in generator.ifs:
                        self._test(condition, False)
                for child in ast.iter_child_nodes(node):
                    if isinstance(child, ast.expr):
                        self._expression(child, False)
            case _:
                for child in ast.iter_child_nodes(node):
                    if isinstance(child, ast.expr):
                        self._expression(child, certain)
                    elif isinstance(child, ast.keyword):
                        if child.arg is None and self._is_args(child.value):
                            self._opened(child.value)  # f(**args)
                        else:
                            self._expression(child.value, certain)

    def _iterated(self, node: ast.expr, certain: bool) -> None:
        if self._is_args(node):
            self._opened(node)  # for key in args
        else:
            self._expression(node, certain)

    def _opened(self, node: ast.Name) -> None:
        """A use that reads args in a way the reading cannot list, but changes nothing."""
        self.understood.add(id(node))
        self.walked.add(id(node))
        self.open = True

    def _read(self, node: ast.expr, certain: bool) -> bool:
        """Record `node` if it is a read of `args` this reading understands."""
        match node:
            case ast.Subscript(
                value=target, slice=ast.Constant(value=str() as key), ctx=ast.Load()
            ):
                # args["k"]
                if not self._is_args(target):
                    return False
                self._found(target, key, required=certain)
            case ast.Call(
                func=ast.Attribute(value=target, attr="get" | "pop" as method),
                args=[ast.Constant(value=str() as key), *default],
                keywords=[],
            ):
                # args.get("k"[, default]); args.pop("k") fails as args["k"] does
                if not self._is_args(target) or len(default) > 1:
                    return False
                required = certain and method == "pop" and not default
                self._found(target, key, required=required, default=default)
                for expression in default:
                    self._expression(expression, certain)
            case ast.Compare(
                left=ast.Constant(value=str() as key),
                ops=[ast.In() | ast.NotIn()],
                comparators=[target],
            ):
                # "k" in args
                if not self._is_args(target):
                    return False
                self._found(target, key, required=False)
            case ast.Call(
                func=ast.Name(id="isinstance" | "len"), args=[target, *rest], keywords=[]
            ):
                # isinstance(args, dict), len(args): no key read
                if not self._is_args(target):
                    return False
                self.understood.add(id(target))
                self.walked.add(id(target))
                for expression in rest:
                    self._expression(expression, certain)
            case (
                ast.Subscript(value=target, slice=key, ctx=ast.Load())
                | ast.Compare(left=key, ops=[ast.In() | ast.NotIn()], comparators=[target])
            ):
                # args[name], name in args: a key the reading cannot know
                if not self._is_args(target):
                    return False
                self._expression(key, certain)
                self._opened(target)
            case ast.Call(func=ast.Attribute(value=target, attr=method), args=arguments) if (
                method in _READING_METHODS
            ):
                # args.items(), args.get(name): reads of keys the reading cannot know
                if not self._is_args(target):
                    return False
                self._opened(target)
                for expression in (*arguments, *(k.value for k in node.keywords)):
                    self._expression(expression, certain)
            case ast.Call(func=ast.Name(id=function), args=[target], keywords=[]) if (
                function in _READING_BUILTINS
            ):
                # list(args), dict(args), sorted(args): copies, not changes
                if not self._is_args(target):
                    return False
                self._opened(target)
            case ast.Starred(value=target) if self._is_args(target):
                self._opened(target)  # f(*args), [*args]
            case ast.Dict(keys=keys, values=values) if any(
                k is None and self._is_args(v) for k, v in zip(keys, values, strict=True)
            ):
                # {**args, ...}
                for item_key, value in zip(keys, values, strict=True):
                    if item_key is None and self._is_args(value):
                        self._opened(value)
                        continue
                    if item_key is not None:
                        self._expression(item_key, certain)
                    self._expression(value, certain)
            case _:
                return False
        return True

    def _found(
        self, target: ast.Name, key: str, *, required: bool, default: Sequence[ast.expr] = ()
    ) -> None:
        self.understood.add(id(target))
        self.walked.add(id(target))
        entry = self.keys.setdefault(key, _Key())
        entry.required |= required and not self.changed
        if default:
            try:
                entry.defaults.append(ast.literal_eval(default[0]))
            except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
                pass  # not a literal: it says nothing of the type


def _evaluated_outside(
    function: ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef | ast.Lambda,
) -> list[ast.expr]:
    """What of a nested function or class runs where it is defined: decorators,
    defaults, bases."""
    parts: list[ast.expr] = list(getattr(function, "decorator_list", []))
    if isinstance(function, ast.ClassDef):
        return parts + function.bases + [k.value for k in function.keywords]
    parts += function.args.defaults
    parts += [d for d in function.args.kw_defaults if d is not None]
    return parts


def _statements_holding_returns(function: ast.AST) -> set[int]:
    """The ids of the nodes that hold a `return` of their own function (not of a
    function nested in them), found in one pass over `function`."""
    parents: dict[int, ast.AST] = {}
    returns: list[ast.Return] = []
    pending: list[ast.AST] = [function]
    while pending:
        node = pending.pop()
        for child in ast.iter_child_nodes(node):
            parents[id(child)] = node
            pending.append(child)
        if isinstance(node, ast.Return):
            returns.append(node)
    holding: set[int] = set()
    for node in returns:
        parent = parents.get(id(node))
        while parent is not None and not isinstance(parent, _SCOPE_NODES):
            if id(parent) in holding:
                break  # the rest of the way up is marked already
            holding.add(id(parent))
            parent = parents.get(id(parent))
    return holding


# Methods and builtins that read a dict without changing it.
_READING_METHODS = frozenset({"get", "items", "keys", "values", "copy", "__contains__"})
_READING_BUILTINS = frozenset(
    {"list", "tuple", "sorted", "set", "frozenset", "dict", "str", "repr", "bool", "iter"}
)

_PYTHON_TO_JSON: tuple[tuple[type, str], ...] = (
    (bool, "boolean"),  # before int: a bool is an int
    (int, "integer"),
    (float, "number"),
    (str, "string"),
    (list, "array"),
    (tuple, "array"),
    (dict, "object"),
    (type(None), "null"),
)


def _json_type(value: Any) -> str | None:
    for python_type, json_type in _PYTHON_TO_JSON:
        if isinstance(value, python_type):
            return json_type
    return None  # bytes, sets, complex numbers: nothing a JSON call can send


def _property(defaults: list[Any]) -> dict[str, Any]:
    """A key's schema from the literal defaults it is read with: their type when
    they agree (None says nothing: it is main's own stand-in for "absent")."""
    typed = [value for value in defaults if value is not None]
    kinds = {_json_type(value) for value in typed}
    if kinds == {"integer", "number"}:
        kinds = {"number"}
    if len(kinds) != 1 or None in kinds:
        return {}
    (kind,) = kinds
    described: dict[str, Any] = {"type": kind}
    if kind == "array":
        items = {_json_type(item) for value in typed for item in value}
        if len(items) == 1 and items <= {"string", "integer", "number", "boolean"}:
            described["items"] = {"type": items.pop()}
    if all(value == typed[0] for value in typed):
        described["default"] = list(typed[0]) if isinstance(typed[0], tuple) else typed[0]
    return described
