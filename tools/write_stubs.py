"""Writes a typed stub (.pyi) beside each freshly built extension module, and the py.typed marker of
its package, from the module's own objects: the function objects the module built from its tables
(parameters, defaults and annotations as inspect reads them, the coroutine or generator flag of
__code__, the docstring) and the classes it defines. The names that annotations use are imported in
the stub from where the module's own namespace got them.

Usage: write_stubs.py BUILD_PACKAGES OUTSIDE_PACKAGES MODULE...
  BUILD_PACKAGES    the directory holding the built package tree (vornal_api/python_api/...)
  OUTSIDE_PACKAGES  where the packages the modules import at load are found
  MODULE            dotted import names of the modules
"""
import ast
import builtins
import enum
import importlib
import inspect
import pathlib
import sys
import types

HEADER = "# Generated at build time from the module's function objects; do not edit.\n"


class StubError(Exception):
    pass


def public_home(value, name):
    """The module to import `value` from, and the name it has there: the shortest public parent of
    its defining module that offers it (`pathlib`, not `pathlib._local`), else the shortest public
    module loaded that does (`asyncio` for a class defined in `_asyncio`)."""
    home = getattr(value, "__module__", None)
    if not isinstance(home, str):
        raise StubError(f"cannot tell where {name!r} comes from")
    parts = home.split(".")
    parents = [".".join(parts[:n]) for n in range(1, len(parts) + 1)]
    for candidates in (parents, sorted(sys.modules, key=lambda module: (module.count("."), module))):
        for candidate in candidates:
            if any(part.startswith("_") for part in candidate.split(".")):
                continue
            module = sys.modules.get(candidate)
            for attribute in (name, getattr(value, "__name__", None)):
                if attribute and getattr(module, attribute, None) is value:
                    return candidate, attribute
    raise StubError(f"{name!r} is not offered by any public module")


class Imports:
    """The import lines a stub needs, resolved against the module's namespace."""

    def __init__(self, module):
        self.module = module
        self.modules = {}  # bound name -> module name
        self.names = {}  # (module, name) -> bound names

    def use(self, name):
        namespace = vars(self.module)
        if name not in namespace:
            if hasattr(builtins, name):
                return
            raise StubError(f"{self.module.__name__}: annotation names {name!r}, which the module does not bind")
        value = namespace[name]
        if isinstance(value, types.ModuleType):
            self.modules[name] = value.__name__
        elif getattr(value, "__module__", None) != self.module.__name__:
            self.add(*public_home(value, name), name)

    def use_class(self, cls):
        """Makes `cls` available under its own name."""
        if getattr(builtins, cls.__name__, None) is not cls:
            self.add(*public_home(cls, cls.__name__), cls.__name__)

    def add(self, home, original, bound):
        self.names.setdefault((home, original), set()).add(bound)

    def use_annotation(self, text):
        for node in ast.walk(ast.parse(text, mode="eval")):
            if isinstance(node, ast.Name):
                self.use(node.id)

    def lines(self):
        out = []
        for bound, home in sorted(self.modules.items()):
            out.append(f"import {home}" if bound == home else f"import {home} as {bound}")
        by_module = {}
        for (home, original), bound_names in self.names.items():
            for bound in bound_names:
                by_module.setdefault(home, []).append(original if bound == original else f"{original} as {bound}")
        for home in sorted(by_module):
            out.append(f"from {home} import {', '.join(sorted(by_module[home]))}")
        return out


def docstring(text, indent):
    escaped = text.replace("\\", "\\\\").replace('"', '\\"')
    return f'{indent}"""{escaped}"""\n'


def default_text(value):
    if value is None or isinstance(value, (bool, int, float, str)):
        return repr(value)
    return "..."


def annotation_text(annotation, imports):
    """The annotation as written; a missing one is written as the Any it means, so that strict
    callers may call the function."""
    if annotation is inspect.Parameter.empty:
        imports.add("typing", "Any", "Any")
        return "Any"
    imports.use_annotation(annotation)
    return annotation


def function_stub(function, imports):
    signature = inspect.signature(function)
    params = []
    for parameter in signature.parameters.values():
        text = f"{parameter.name}: {annotation_text(parameter.annotation, imports)}"
        if parameter.default is not inspect.Parameter.empty:
            text += f" = {default_text(parameter.default)}"
        params.append(text)
    returns = annotation_text(signature.return_annotation, imports)
    prefix = "async def" if inspect.iscoroutinefunction(function) else "def"
    head = f"{prefix} {function.__name__}({', '.join(params)}) -> {returns}:"
    if not function.__doc__:
        return f"{head} ...\n"
    return f"{head}\n{docstring(function.__doc__, '    ')}"


def class_stub(cls, imports):
    if not issubclass(cls, enum.Enum):
        raise StubError(f"{cls.__qualname__}: only enumerations are declared in stubs so far")
    for base in cls.__bases__:
        imports.use_class(base)
    bases = ", ".join(base.__name__ for base in cls.__bases__)
    members = "".join(f"    {name} = {member.value!r}\n" for name, member in cls.__members__.items())
    return f"class {cls.__name__}({bases}):\n{members}"


def module_stub(module):
    """The stub text: the module's classes, then its functions, in definition order."""
    imports = Imports(module)
    classes, functions = [], []
    for name, value in vars(module).items():
        if getattr(value, "__module__", None) != module.__name__:
            continue
        if isinstance(value, type):
            classes.append(class_stub(value, imports))
        elif callable(value) and hasattr(value, "__code__"):
            functions.append(function_stub(value, imports))
        else:
            raise StubError(f"{module.__name__}.{name}: neither a class nor a function")
    head = HEADER + "\n".join(imports.lines())
    return "\n\n".join([head] + classes + functions)


def main(build_packages, outside_packages, *module_names):
    sys.path[:0] = [build_packages, outside_packages]
    for name in module_names:
        module = importlib.import_module(name)
        target = pathlib.Path(build_packages, *name.split("."))
        try:
            text = module_stub(module)
        except StubError as error:
            sys.exit(f"write_stubs: {error}")
        target.with_suffix(".pyi").write_text(text)
        target.with_name("py.typed").write_text("")


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
