"""The twin package modules, connectors and converters, as application code sees them: bound
names, function objects with their docstrings, annotations, defaults and locals, and argument
checking."""
import inspect
import json
import os
import subprocess
import sys

import pytest

from packages_fakes import CONNECTORS, CONVERTERS, TWINS, Label, load, module, twin  # noqa: F401  (fixtures)
from recording_fakes import check_argument_error

INVALID_PATH = "    {cls}InvalidPackagePathError: If the path is not a directory or missing pyproject.toml.\n"

DOCSTRINGS = {
    "list_connectors":
        "list_connectors() -> List[ConnectorRead]\n\n"
        "List all available connectors found in the environment.\n\n"
        "Returns:\n    A list of available connectors and their details.",
    "install_connector_from_pypi":
        "install_connector_from_pypi(str package_name: str, str version: Optional[str] = None, "
        "str index_url: Optional[str] = None) -> None\n\n"
        "Install a connector package from PyPI.\n\n"
        "Args:\n"
        "    package_name: The name of the package to install.\n"
        "    version: Optional version specifier (e.g., \"1.2.3\" or \">=1.0,<2.0\").\n"
        "    index_url: Optional URL for a custom package index.\n\n"
        "Raises:\n    ConnectorInstallError: If the installation fails.",
    "install_connector_from_local_path":
        "install_connector_from_local_path(str package_path: str, bool editable: bool = False) -> None\n\n"
        "Install a connector package from a local directory.\n\n"
        "Args:\n"
        "    package_path: The filesystem path to the package directory.\n"
        "    editable: If True, install in editable/development mode (-e flag).\n"
        "        This is useful when working with a git repository, as changes\n"
        "        to the source code are immediately reflected without reinstalling.\n\n"
        "Raises:\n"
        + INVALID_PATH.format(cls="Connector") +
        "    ConnectorInstallError: If the installation fails.",
    "update_connector_from_pypi":
        "update_connector_from_pypi(str package_name: str, str index_url: Optional[str] = None) -> None\n\n"
        "Update a connector package from PyPI.\n\n"
        "Args:\n"
        "    package_name: The name of the package to update.\n"
        "    index_url: Optional URL for a custom package index.\n\n"
        "Raises:\n    ConnectorUpdateError: If the update fails.",
    "update_connector_from_local_path":
        "update_connector_from_local_path(str package_path: str) -> None\n\n"
        "Update a connector package from a local directory.\n\n"
        "Args:\n    package_path: The filesystem path to the package directory.\n\n"
        "Raises:\n"
        + INVALID_PATH.format(cls="Connector") +
        "    ConnectorUpdateError: If the update fails.",
    "uninstall_connector":
        "uninstall_connector(str package_name: str) -> None\n\n"
        "Uninstall a connector package.\n\n"
        "Args:\n    package_name: The name of the package to uninstall.\n\n"
        "Raises:\n    ConnectorUninstallError: If the uninstallation fails.",
    "list_converters":
        "list_converters() -> List[ConverterRead]\n\n"
        "List all available converters found in the environment.\n\n"
        "This triggers a scan of installed packages to find any that registered\n"
        "converters on the system.\n\n"
        "Returns:\n    A list of available converters.",
    "install_converter_from_local_path":
        "install_converter_from_local_path(str package_path: str) -> None\n\n"
        "Install a converter package from a local file system path.\n\n"
        "Args:\n    package_path: The path to the local package directory or .whl file.\n"
        "    \n"
        "Raises:\n"
        + INVALID_PATH.format(cls="Converter") +
        "    ConverterInstallError: If the installation fails.",
    "install_converter_from_pypi":
        "install_converter_from_pypi(str package_name: str, str index_url: Optional[str] = None) -> None\n\n"
        "Install a converter package from PyPI or a custom package index.\n\n"
        "Args:\n"
        "    package_name: The name of the package to install (e.g., 'my-converters').\n"
        "    index_url: Optional URL of a custom package index (simple API). \n"
        "                If None, uses the default PyPI index.\n\n"
        "Raises:\n    ConverterInstallError: If the installation fails.",
    "update_converter_from_pypi":
        "update_converter_from_pypi(str package_name: str, str index_url: Optional[str] = None) -> None\n\n"
        "Update a converter package from PyPI.\n\n"
        "Args:\n"
        "    package_name: The name of the package to update.\n"
        "    index_url: Optional URL for a custom package index.\n\n"
        "Raises:\n    ConverterUpdateError: If the update fails.",
    "update_converter_from_local_path":
        "update_converter_from_local_path(str package_path: str) -> None\n\n"
        "Update a converter package from a local directory.\n\n"
        "Args:\n    package_path: The filesystem path to the package directory.\n\n"
        "Raises:\n"
        + INVALID_PATH.format(cls="Converter") +
        "    ConverterUpdateError: If the update fails.",
    "uninstall_converter":
        "uninstall_converter(str package_name: str) -> None\n\n"
        "Uninstall a converter package from the system.\n\n"
        "Args:\n    package_name: The name of the package to uninstall.\n\n"
        "Raises:\n    ConverterUninstallError: If the uninstallation fails.",
}

# name -> (annotations, defaults, co_varnames)
SHAPES = {
    "list_connectors": ({"return": "List[ConnectorRead]"}, None, ("connectors", "connector")),
    "install_connector_from_pypi": (
        {"package_name": "str", "version": "Optional[str]", "index_url": "Optional[str]", "return": "None"},
        (None, None), ("package_name", "version", "index_url", "app_path", "package_spec", "cmd", "e")),
    "install_connector_from_local_path": (
        {"package_path": "str", "editable": "bool", "return": "None"}, (False,),
        ("package_path", "editable", "e", "app_path", "cmd")),
    "update_connector_from_pypi": (
        {"package_name": "str", "index_url": "Optional[str]", "return": "None"}, (None,),
        ("package_name", "index_url", "app_path", "cmd", "e")),
    "update_connector_from_local_path": (
        {"package_path": "str", "return": "None"}, None, ("package_path", "e", "app_path")),
    "uninstall_connector": ({"package_name": "str", "return": "None"}, None, ("package_name", "app_path", "e")),
    "list_converters": ({"return": "List[ConverterRead]"}, None, ("converters", "converter")),
    "install_converter_from_local_path": (
        {"package_path": "str", "return": "None"}, None, ("package_path", "e", "app_path")),
    "install_converter_from_pypi": (
        {"package_name": "str", "index_url": "Optional[str]", "return": "None"}, (None,),
        ("package_name", "index_url", "app_path", "cmd", "e")),
    "update_converter_from_pypi": (
        {"package_name": "str", "index_url": "Optional[str]", "return": "None"}, (None,),
        ("package_name", "index_url", "app_path", "cmd", "e")),
    "update_converter_from_local_path": (
        {"package_path": "str", "return": "None"}, None, ("package_path", "e", "app_path")),
    "uninstall_converter": ({"package_name": "str", "return": "None"}, None, ("package_name", "app_path", "e")),
}

FUNCTIONS = [(t, name) for t in TWINS for name in t.functions]


@pytest.mark.parametrize("twin_, name", FUNCTIONS, ids=[name for _, name in FUNCTIONS])
def test_function_objects(twin_, name):
    module = load(twin_)
    func = getattr(module, name)
    annotations, defaults, varnames = SHAPES[name]
    assert func.__doc__ == DOCSTRINGS[name]
    assert func.__name__ == func.__qualname__ == name
    assert func.__module__ == twin_.module_name
    assert func.__annotations__ == annotations
    assert func.__defaults__ == defaults
    assert func.__kwdefaults__ is None
    assert func.__globals__ is vars(module)
    code = func.__code__
    assert code.co_name == name
    assert code.co_filename == f"src/vornal_api/python_api/sync/{twin_.short}"
    assert code.co_varnames == varnames
    assert code.co_argcount == len(annotations) - 1
    is_listing = name.startswith("list_")
    assert inspect.iscoroutinefunction(func) is not is_listing
    assert code.co_flags == (0x03 if is_listing else 0x83)


def test_bound_names_in_order(twin, module):
    names = [name for name in vars(module) if not name.startswith("__")]
    cls = twin.prefix
    utils = ["format_subprocess_error", "run_pip_command", "validate_local_package_path"]
    assert names == ["subprocess", "List", "Optional",
                     f"{cls}InstallError", f"{cls}InvalidPackagePathError", f"{cls}UninstallError",
                     f"{cls}UpdateError", twin.model, *utils, "get_service_runner_path", twin.registry,
                     *twin.functions]
    assert module.__test__ == {}


def test_bound_names_are_the_outside_objects(twin, module):
    import typing

    from vornal_api.python_api.sync import utils
    from vornal_client.settings import folders

    assert module.subprocess is subprocess
    assert module.List is typing.List and module.Optional is typing.Optional
    for name in ("format_subprocess_error", "run_pip_command", "validate_local_package_path"):
        assert getattr(module, name) is getattr(utils, name)
    assert module.get_service_runner_path is folders.get_service_runner_path
    registry_module = {"connectors": "vornal_sync_agent.connectors.connectors",
                       "converters": "vornal_sync_agent.converters.converters"}[twin.short]
    assert getattr(module, twin.registry) is getattr(__import__(registry_module, fromlist=["x"]), twin.registry)


# (function, args, kwargs, message, note on subclasses)
ARGUMENT_ERRORS = [
    ("list_connectors", (1,), {}, "list_connectors() takes no arguments (1 given)", False),
    ("list_converters", (), {"scan": True}, "list_converters() takes no keyword arguments", False),
    ("install_connector_from_pypi", (), {}, "install_connector_from_pypi() takes at least 1 positional argument "
     "(0 given)", False),
    ("install_connector_from_pypi", ("a", None, None, None), {},
     "install_connector_from_pypi() takes at most 3 positional arguments (4 given)", False),
    ("install_connector_from_pypi", (Label("acme"),), {},
     "Argument 'package_name' has incorrect type (expected str, got Label)", True),
    ("install_connector_from_pypi", ("acme", 1.2), {},
     "Argument 'version' has incorrect type (expected str, got float)", False),
    ("install_connector_from_pypi", ("acme",), {"index_url": b"http://x"},
     "Argument 'index_url' has incorrect type (expected str, got bytes)", False),
    ("install_connector_from_local_path", (None,), {},
     "Argument 'package_path' has incorrect type (expected str, got NoneType)", False),
    ("install_connector_from_local_path", ("p",), {"package_path": "q"},
     "install_connector_from_local_path() got multiple values for keyword argument 'package_path'", False),
    ("update_connector_from_pypi", ("acme",), {"version": "1"},
     "update_connector_from_pypi() got an unexpected keyword argument 'version'", False),
    ("update_connector_from_local_path", ("p",), {"editable": True},
     "update_connector_from_local_path() got an unexpected keyword argument 'editable'", False),
    ("uninstall_connector", (None,), {},
     "Argument 'package_name' has incorrect type (expected str, got NoneType)", False),
    # the converter module is narrower: no version, no editable mode
    ("install_converter_from_pypi", ("acme",), {"version": "1.0"},
     "install_converter_from_pypi() got an unexpected keyword argument 'version'", False),
    ("install_converter_from_pypi", ("acme", None, None), {},
     "install_converter_from_pypi() takes at most 2 positional arguments (3 given)", False),
    ("install_converter_from_local_path", ("p",), {"editable": True},
     "install_converter_from_local_path() got an unexpected keyword argument 'editable'", False),
    ("install_converter_from_local_path", ("p", True), {},
     "install_converter_from_local_path() takes exactly 1 positional argument (2 given)", False),
    ("update_converter_from_local_path", (Label("p"),), {},
     "Argument 'package_path' has incorrect type (expected str, got Label)", True),
    ("uninstall_converter", (), {}, "uninstall_converter() takes exactly 1 positional argument (0 given)", False),
]


@pytest.mark.parametrize("name, args, kwargs, message, note", ARGUMENT_ERRORS,
                         ids=[f"{row[0]}-{i}" for i, row in enumerate(ARGUMENT_ERRORS)])
def test_argument_errors(name, args, kwargs, message, note):
    twin_ = CONNECTORS if "connector" in name else CONVERTERS
    func = getattr(load(twin_), name)
    info = check_argument_error(func, args, kwargs, message, note)
    # Argument errors name the function with its module.
    assert info.value.__traceback__.tb_next.tb_frame.f_code.co_name == f"{twin_.module_name}.{name}"


# The from-imports that a test can make fail, in load order: the module and one name it gives.
FAILING_IMPORTS = {
    "connectors": [("vornal_api.app.exceptions.sync.connectors_handler", "ConnectorUpdateError"),
                   ("vornal_api.app.schemas.sync.connectors", "ConnectorRead"),
                   ("vornal_api.python_api.sync.utils", "run_pip_command"),
                   ("vornal_client.settings.folders", "get_service_runner_path"),
                   ("vornal_sync_agent.connectors.connectors", "get_sync_connectors")],
    "converters": [("vornal_api.app.exceptions.sync.converters_handler", "ConverterUpdateError"),
                   ("vornal_api.app.schemas.sync.converters", "ConverterRead"),
                   ("vornal_api.python_api.sync.utils", "run_pip_command"),
                   ("vornal_client.settings.folders", "get_service_runner_path"),
                   ("vornal_sync_agent.converters.converters", "get_converters")],
}

LOAD_WITHOUT_EACH_NAME = """
import importlib, json, sys, traceback
out = []
for source, name in json.loads(sys.argv[1]):
    outside = importlib.import_module(source)
    value = getattr(outside, name)
    delattr(outside, name)
    try:
        importlib.import_module(sys.argv[2])
    except ImportError as exc:
        out.append([str(exc), sys.argv[2] in sys.modules,
                    [[e.name, e.filename, e.lineno] for e in traceback.extract_tb(exc.__traceback__)]])
    setattr(outside, name, value)
print(json.dumps(out))
"""


def test_import_fails_without_an_outside_name(twin):
    # The module loads once per process, so the failing loads run in a child interpreter; a failed
    # load is forgotten, so the child tries one missing name after the other.
    failing = FAILING_IMPORTS[twin.short]
    result = subprocess.run([sys.executable, "-c", LOAD_WITHOUT_EACH_NAME, json.dumps(failing), twin.module_name],
                            capture_output=True, text=True, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert result.returncode == 0, result.stderr
    outcomes = json.loads(result.stdout)
    assert [(message, loaded) for message, loaded, _ in outcomes] == [
        (f"cannot import name {name}", False) for _, name in failing]
    lines = []
    for _, _, entries in outcomes:
        init = [entry for entry in entries if entry[0] == f"init {twin.module_name}"]
        assert len(init) == 1, entries
        assert init[0][1] == f"src/vornal_api/python_api/sync/{twin.short}"
        lines.append(init[0][2])
    # Each statement shows its own line, and the lines follow the order of the statements.
    assert lines == sorted(set(lines)) and lines[0] > 0, lines
