"""Finds the extension modules in the build tree and reads each module function's interface from
the function object itself, so that the reliability tests cover every module that is built
without a hand-kept list.

A function's parameters come from `__code__` (`co_varnames[:co_argcount]`), its kind from the
code flags, its defaults from `__defaults__`, and each parameter's check from the docstring's
signature line, which puts the checked type in front of a checked parameter:
"read_sync_source_errors(int source_id: int, int skip: int = 0, ..., bool viewed: Optional[bool] = None)".
"""
import dataclasses
import importlib
import os
import pathlib
import re
import sysconfig
import types

_TOP = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("VORNAL_BUILD", _TOP / "build"))
PACKAGE = "vornal_api.python_api"

CO_COROUTINE = 0x80
CO_GENERATOR = 0x20

# One parameter of a signature line: "[checked type ]name[: annotation][ = default]".
_PARAMETER = re.compile(r"^(?:(?P<checked>str|dict|bool|int) )?(?P<name>\w+)(?:: (?P<annotation>.+?))?(?: = .+)?$")


@dataclasses.dataclass(frozen=True)
class Parameter:
    name: str
    checked: str | None  # "str", "dict", "bool", "int" or None (passed on unchecked)
    accepts_none: bool
    required: bool

    @property
    def kind(self):
        """The check applied: "str", "dict", "int", "bool" (exactly bool or None) or "truth"
        (any object reduced to its truth value), or None."""
        if self.checked == "bool" and not self.accepts_none:
            return "truth"
        return self.checked


@dataclasses.dataclass(frozen=True)
class Function:
    module: object
    name: str
    params: tuple
    kind: str  # "plain", "coroutine" or "generator"

    @property
    def obj(self):
        return getattr(self.module, self.name)

    @property
    def required(self):
        return sum(p.required for p in self.params)

    def __str__(self):
        return f"{self.module.__name__.rsplit('.', 1)[-1]}.{self.name}"


def module_names():
    """The dotted names of the extension modules of the package that this build holds."""
    root = BUILD / "python"
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    names = []
    for path in sorted(root.glob("vornal_api/python_api/**/*" + suffix)):
        parts = path.relative_to(root).parts
        names.append(".".join(parts[:-1] + (parts[-1][: -len(suffix)],)))
    return names


def modules():
    return [importlib.import_module(name) for name in module_names()]


def _split_parameters(text):
    """Splits a parameter list at the commas that are not inside brackets."""
    parts, depth, start = [], 0, 0
    for i, char in enumerate(text):
        if char in "([{":
            depth += 1
        elif char in ")]}":
            depth -= 1
        elif char == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    if text.strip():
        parts.append(text[start:].strip())
    return parts


def _signature_parameters(function):
    line = function.__doc__.split("\n", 1)[0]
    assert line.startswith(function.__name__ + "("), line
    inner = line[len(function.__name__) + 1: line.rindex(")")]
    return [_PARAMETER.match(part) for part in _split_parameters(inner)]


def _accepts_none(annotation):
    return annotation is not None and (annotation.startswith("Optional[") or re.search(r"\bNone\b", annotation))


def describe(module, name):
    function = getattr(module, name)
    code = function.__code__
    names = code.co_varnames[: code.co_argcount]
    parsed = _signature_parameters(function)
    assert [m["name"] for m in parsed] == list(names), (function.__doc__, names)
    optional = len(function.__defaults__ or ())
    params = tuple(
        Parameter(m["name"], m["checked"], bool(_accepts_none(m["annotation"])), i < len(names) - optional)
        for i, m in enumerate(parsed))
    kind = "coroutine" if code.co_flags & CO_COROUTINE else "generator" if code.co_flags & CO_GENERATOR else "plain"
    return Function(module, name, params, kind)


def is_module_function(module, value):
    """A function object of the module's own (the frame's function type), not an imported name."""
    return type(value) is not types.FunctionType and type(value).__name__ == "function" and \
        getattr(value, "__module__", None) == module.__name__ and hasattr(value, "__code__")


def functions(module):
    return [describe(module, name) for name, value in vars(module).items() if is_module_function(module, value)]


def all_functions():
    return [f for module in modules() for f in functions(module)]


def outside_names(module):
    """Every name a body may look up at call time other than the module's own functions."""
    return [name for name, value in vars(module).items()
            if not (name.startswith("__") and name.endswith("__")) and not is_module_function(module, value)]
