"""Typed stubs: the build writes one beside every module, from the module's function objects, and
the py.typed marker of its package."""
import ast
import asyncio
import enum
import inspect
import os
import pathlib
import sys
import sysconfig
import types
from pathlib import Path
from typing import Iterator, List as Seq

import pytest

TOP = pathlib.Path(__file__).resolve().parent.parent
BUILD = pathlib.Path(os.environ.get("VORNAL_BUILD", TOP / "build"), "python")
sys.path.insert(0, str(TOP / "tools"))
import write_stubs  # noqa: E402


def built_modules():
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    return sorted(".".join(path.relative_to(BUILD).parts)[: -len(suffix)] for path in BUILD.rglob("*" + suffix))


def stub_functions(stub_path):
    tree = ast.parse(stub_path.read_text())
    return {node.name: node for node in tree.body if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef))}


@pytest.mark.parametrize("name", built_modules())
def test_stub_declares_every_function_as_the_module_defines_it(name):
    module = __import__(name, fromlist=["_"])
    path = BUILD.joinpath(*name.split(".")).with_suffix(".pyi")
    assert path.with_name("py.typed").is_file()
    assert path.read_text() == write_stubs.module_stub(module), "stub older than its module"
    declared = stub_functions(path)
    functions = {key: value for key, value in vars(module).items()
                 if callable(value) and getattr(value, "__module__", None) == name and hasattr(value, "__code__")}
    assert declared.keys() == functions.keys()
    for key, function in functions.items():
        node, signature = declared[key], inspect.signature(function)
        assert isinstance(node, ast.AsyncFunctionDef) == inspect.iscoroutinefunction(function), key
        assert [a.arg for a in node.args.args] == list(signature.parameters), key
        defaults = [ast.literal_eval(d) for d in node.args.defaults]
        assert defaults == [p.default for p in signature.parameters.values() if p.default is not p.empty], key
        written = {a.arg: ast.unparse(a.annotation) for a in node.args.args} | {"return": ast.unparse(node.returns)}
        for target, text in function.__annotations__.items():
            assert written[target] == ast.unparse(ast.parse(text, mode="eval").body), (key, target)
        assert ast.get_docstring(node, clean=False) == function.__doc__


# A module made in the test, with functions whose annotations use names bound the ways a module
# binds them: a class from a private submodule, one from a private module, an alias, a module,
# builtins and a class of its own.
def fake_module(**functions):
    module = types.ModuleType("fake")
    module.Path, module.Seq, module.Iterator, module.pathlib = Path, Seq, Iterator, pathlib
    module.Future = asyncio.Future  # defined in _asyncio
    module.Colour = enum.Enum("Colour", [("red", "red"), ("blue", "blue")], type=str, module="fake")
    for name, function in functions.items():
        function.__module__ = "fake"
        setattr(module, name, function)
    return module


async def find(root: "Path", depth: "int" = 2, colour: "Colour | None" = None) -> "Seq[pathlib.PurePath]":
    """find(root: Path) -> Seq[pathlib.PurePath]"""


def walk(root, follow: "bool" = False, until: "Future[None] | None" = None) -> "Iterator[str]":
    """Yields the paths under "root\\"."""
    yield ""


def test_stub_imports_annotation_names_from_their_public_home():
    stub = write_stubs.module_stub(fake_module(find=find, walk=walk))
    assert stub == (
        f"{write_stubs.HEADER}"
        "import pathlib\n"
        "from asyncio import Future\n"
        "from enum import Enum\n"
        "from pathlib import Path\n"
        "from typing import Any, Iterator, List as Seq\n"
        "\n"
        "class Colour(str, Enum):\n"
        "    red = 'red'\n"
        "    blue = 'blue'\n"
        "\n\n"
        "async def find(root: Path, depth: int = 2, colour: Colour | None = None) -> Seq[pathlib.PurePath]:\n"
        '    """find(root: Path) -> Seq[pathlib.PurePath]"""\n'
        "\n\n"
        "def walk(root: Any, follow: bool = False, until: Future[None] | None = None) -> Iterator[str]:\n"
        '    """Yields the paths under \\"root\\\\\\"."""\n'
    )


def unbound(value: "Missing") -> None:  # noqa: F821
    pass


@pytest.mark.parametrize("extra, message", [
    ({"unbound": unbound}, "annotation names 'Missing', which the module does not bind"),
    ({"Plain": type("Plain", (), {"__module__": "fake"})}, "Plain: only enumerations are declared"),
    ({"table": types.SimpleNamespace(__module__="fake")}, "fake.table: neither a class nor a function"),
])
def test_stub_refuses_what_it_cannot_declare(extra, message):
    module = fake_module()
    for name, value in extra.items():
        if callable(value) and hasattr(value, "__code__"):
            value.__module__ = "fake"
        setattr(module, name, value)
    with pytest.raises(write_stubs.StubError, match=message):
        write_stubs.module_stub(module)
