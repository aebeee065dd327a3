"""Reference counts stay level when the package operations run many times, on every path (debug
interpreter only, where the interpreter keeps a total of all references)."""
import subprocess

import pytest

from packages_fakes import module, twin  # noqa: F401  (fixtures)
from refcounts import assert_references_stay_level, needs_debug_interpreter

pytestmark = needs_debug_interpreter


class Quiet:
    """Every outside name of a package module, keeping nothing between calls."""

    def __init__(self):
        self.pip_error = None
        self.path_error = None

    def runner_path(self):
        return "/opt/runner"

    def validate(self, path):
        if self.path_error is not None:
            raise self.path_error("no pyproject.toml")
        return "/abs/" + path

    async def run_pip(self, cmd):
        if self.pip_error is not None:
            raise self.pip_error(1, cmd, output="", stderr="ERROR: no")

    def format_error(self, error):
        return "no"

    def registry(self, scan, reload):
        return {"a": 1, "b": 2}

    def model_validate(self, obj):
        return ("read", obj)


@pytest.fixture
def quiet(twin, module, monkeypatch):
    fake = Quiet()
    monkeypatch.setattr(module, "get_service_runner_path", fake.runner_path)
    monkeypatch.setattr(module, "validate_local_package_path", fake.validate)
    monkeypatch.setattr(module, "run_pip_command", fake.run_pip)
    monkeypatch.setattr(module, "format_subprocess_error", fake.format_error)
    monkeypatch.setattr(module, twin.registry, fake.registry)
    monkeypatch.setattr(module, twin.model, fake)
    return fake


def drive(coro):
    try:
        while True:
            coro.send(None)
    except StopIteration:
        pass


def every_operation(twin, module, fake, package="acme"):
    for operation in twin.functions[1:]:
        try:
            drive(getattr(module, operation)(package))
        except Exception:
            pass


def path_success(twin, module, fake):
    every_operation(twin, module, fake)
    drive(getattr(module, twin.fn("install_{}_from_pypi"))("acme", index_url="http://idx"))
    getattr(module, twin.functions[0])()


def path_installer_error(twin, module, fake):
    fake.pip_error = subprocess.CalledProcessError
    every_operation(twin, module, fake)
    fake.pip_error = OSError
    every_operation(twin, module, fake)
    fake.pip_error = None


def path_rejected_path(twin, module, fake):
    fake.path_error = FileNotFoundError
    every_operation(twin, module, fake)
    fake.path_error = None


def path_refused_name(twin, module, fake):
    every_operation(twin, module, fake, "--index-url=x")


def path_argument_error(twin, module, fake):
    for operation in twin.functions[1:]:
        try:
            getattr(module, operation)(1)
        except TypeError:
            pass
    try:
        getattr(module, twin.functions[0])(1)
    except TypeError:
        pass


@pytest.mark.parametrize("path", [path_success, path_installer_error, path_rejected_path, path_refused_name,
                                  path_argument_error], ids=lambda p: p.__name__[len("path_"):])
def test_total_references_stay_level(twin, module, quiet, path):
    assert_references_stay_level(lambda: path(twin, module, quiet))
