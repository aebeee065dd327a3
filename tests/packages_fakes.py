"""Recording fakes for the outside names of the twin package modules, connectors and converters.

`PackagesEnv` replaces, on one module object, every name it looks up at call time: the runner
path, the installer runner and its error formatter, the path validator, the registry, the read
model and the four exception classes. Every fake appends to one event list, so a test sees what
ran and in which order; `Twin` holds what differs between the two modules.
"""
import asyncio
import importlib
import subprocess
from dataclasses import dataclass

import pytest

from feedwells_fakes import Recorder, call, run  # noqa: F401  (call and run re-exported)


@dataclass(frozen=True)
class Twin:
    short: str          # the module's short name
    noun: str           # "connector" or "converter"
    registry: str       # the registry function's name
    model: str          # the read model's name
    functions: tuple    # the public functions in definition order

    @property
    def module_name(self):
        return f"vornal_api.python_api.sync.{self.short}"

    @property
    def prefix(self):
        """The exception classes' common start: "Connector" or "Converter"."""
        return self.noun.capitalize()

    def fn(self, operation):
        """The function name of a shared operation, e.g. "install_{}_from_pypi"."""
        return operation.format(self.noun)


CONNECTORS = Twin("connectors", "connector", "get_sync_connectors", "ConnectorRead",
                  ("list_connectors", "install_connector_from_pypi", "install_connector_from_local_path",
                   "update_connector_from_pypi", "update_connector_from_local_path", "uninstall_connector"))
CONVERTERS = Twin("converters", "converter", "get_converters", "ConverterRead",
                  ("list_converters", "install_converter_from_local_path", "install_converter_from_pypi",
                   "update_converter_from_pypi", "update_converter_from_local_path", "uninstall_converter"))
TWINS = [CONNECTORS, CONVERTERS]


def load(twin):
    # A plain import: a module that was not built must fail the tests, not skip them.
    return importlib.import_module(twin.module_name)


class Label(str):
    """A str subclass: str parameters and results reject it."""


class FakeModel:
    """Stands in for the read model: `model_validate` records its argument and wraps it, or
    raises for an object in `reject`."""

    def __init__(self, events):
        self.events = events
        self.reject = []

    def model_validate(self, obj):
        self.events.append(("model_validate", obj))
        if any(obj is r for r in self.reject):
            raise ValueError(f"rejected {obj!r}")
        return ("read", obj)


class PipRunner:
    """Stands in for `run_pip_command`: records the command (and whether it was the very list
    object handed over), suspends once, then raises `error` or returns a result text."""

    def __init__(self, events):
        self.events = events
        self.commands = []
        self.error = None

    async def __call__(self, *args, **kwargs):
        assert not kwargs and len(args) == 1, (args, kwargs)
        command = args[0]
        assert type(command) is list
        self.commands.append(list(command))
        self.events.append(("run_pip_command", list(command)))
        await asyncio.sleep(0)
        if self.error is not None:
            raise self.error
        return "Successfully done"

    @property
    def only(self):
        assert len(self.commands) == 1, self.commands
        return self.commands[0]


class PackagesEnv:
    """Installs a recording fake for every outside name of one twin module."""

    RUNNER = "/opt/vornal/bin/vornal-service"

    def __init__(self, twin, module, monkeypatch):
        self.twin = twin
        self.module = module
        self.events = []
        self.get_service_runner_path = Recorder("get_service_runner_path", self.events, result=self.RUNNER)
        self.validate_local_package_path = Recorder("validate_local_package_path", self.events,
                                                    compute=lambda path: f"/abs/{path}")
        self.format_subprocess_error = Recorder("format_subprocess_error", self.events, result="pip says no")
        self.run_pip_command = PipRunner(self.events)
        self.registry_result = {}
        self.registry = Recorder(twin.registry, self.events, compute=lambda *a, **k: self.registry_result)
        self.model = FakeModel(self.events)
        self.errors = {}
        replacements = {
            "get_service_runner_path": self.get_service_runner_path,
            "validate_local_package_path": self.validate_local_package_path,
            "format_subprocess_error": self.format_subprocess_error,
            "run_pip_command": self.run_pip_command,
            twin.registry: self.registry,
            twin.model: self.model,
        }
        for kind in ("Install", "InvalidPackagePath", "Uninstall", "Update"):
            name = f"{twin.prefix}{kind}Error"
            self.errors[kind] = type(name, (Exception,), {})
            replacements[name] = self.errors[kind]
        for name, value in replacements.items():
            monkeypatch.setattr(module, name, value)

    def error(self, kind):
        return self.errors[kind]

    def names(self):
        return [event[0] if isinstance(event, tuple) else event for event in self.events]


def pip_failure(returncode=1, cls=subprocess.CalledProcessError):
    return cls(returncode, ["pip"], output="out", stderr="ERROR: broken")


@pytest.fixture(params=TWINS, ids=[t.short for t in TWINS])
def twin(request):
    return request.param


@pytest.fixture
def module(twin):
    return load(twin)


@pytest.fixture
def env(twin, module, monkeypatch):
    return PackagesEnv(twin, module, monkeypatch)
