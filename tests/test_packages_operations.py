"""The package operations of the twin modules against recording fakes: the argument lists handed
to the installer runner, the validation step, the conversion of installer errors, the refusal of
option-like package names, and the registry listing."""
import asyncio
import pathlib
import subprocess
import types
from dataclasses import dataclass

import pytest

from packages_fakes import (  # noqa: F401  (fixtures)
    CONNECTORS, CONVERTERS, Label, PackagesEnv, call, env, load, module, pip_failure, run, twin)

RUNNER = PackagesEnv.RUNNER


@dataclass(frozen=True)
class Operation:
    function: str     # with "{}" for the noun
    error: str        # the exception class, without the noun and "Error"
    prefix: str       # the message prefix, with "{}" for the noun
    by_path: bool     # a local-path operation (validated) or one by package name

    def name(self, twin):
        return self.function.format(twin.noun)

    def message(self, twin, subject, text):
        return self.prefix.format(twin.noun) + f"{subject}': {text}"


OPERATIONS = [
    Operation("install_{}_from_pypi", "Install", "Failed to install {} '", False),
    Operation("install_{}_from_local_path", "Install", "Failed to install {} from '", True),
    Operation("update_{}_from_pypi", "Update", "Failed to update {} '", False),
    Operation("update_{}_from_local_path", "Update", "Failed to update {} from '", True),
    Operation("uninstall_{}", "Uninstall", "Failed to uninstall {} '", False),
]
BY_NAME = [op for op in OPERATIONS if not op.by_path]
BY_PATH = [op for op in OPERATIONS if op.by_path]


def op_ids(operations):
    return [op.function.format("x") for op in operations]


def perform(env, op, argument="acme"):
    """Awaits the operation with one argument (a package name, or a path that the fake validator
    rewrites to "/abs/<path>") and returns what it gives."""
    return run(getattr(env.module, op.name(env.twin))(argument))


def subject_of(op, argument="acme"):
    return f"/abs/{argument}" if op.by_path else argument


# ---- argument lists ----------------------------------------------------------------------

# (twin, function, args, kwargs, the argument list after app_path, "self", "pip")
ARGUMENT_LISTS = [
    (CONNECTORS, "install_connector_from_pypi", ("acme",), {}, ["install", "acme"]),
    (CONNECTORS, "install_connector_from_pypi", ("acme", None, None), {}, ["install", "acme"]),
    (CONNECTORS, "install_connector_from_pypi", ("acme", ""), {"index_url": ""}, ["install", "acme"]),
    (CONNECTORS, "install_connector_from_pypi", ("acme", "1.2.3"), {}, ["install", "acme==1.2.3"]),
    (CONNECTORS, "install_connector_from_pypi", ("acme",), {"version": "1.0,<2.0"}, ["install", "acme==1.0,<2.0"]),
    # a version with its own comparison stands as it is
    (CONNECTORS, "install_connector_from_pypi", ("acme", ">=1.0,<2.0"), {}, ["install", "acme>=1.0,<2.0"]),
    (CONNECTORS, "install_connector_from_pypi", ("acme", "<2"), {}, ["install", "acme<2"]),
    (CONNECTORS, "install_connector_from_pypi", ("acme", "==1.4"), {}, ["install", "acme==1.4"]),
    (CONNECTORS, "install_connector_from_pypi", ("acme", "!=1.4"), {}, ["install", "acme!=1.4"]),
    (CONNECTORS, "install_connector_from_pypi", ("acme", "~=1.4"), {}, ["install", "acme~=1.4"]),
    (CONNECTORS, "install_connector_from_pypi", ("acme", "===1.4"), {}, ["install", "acme===1.4"]),
    (CONNECTORS, "install_connector_from_pypi", ("acme", " >=1"), {}, ["install", "acme== >=1"]),
    (CONNECTORS, "install_connector_from_pypi", ("acme", "2"), {"index_url": "http://127.0.0.1:9/simple"},
     ["install", "acme==2", "--index-url", "http://127.0.0.1:9/simple"]),
    (CONNECTORS, "install_connector_from_local_path", ("pkg",), {}, ["install", "/abs/pkg"]),
    (CONNECTORS, "install_connector_from_local_path", ("pkg", True), {}, ["install", "-e", "/abs/pkg"]),
    (CONNECTORS, "install_connector_from_local_path", ("pkg", 1), {}, ["install", "-e", "/abs/pkg"]),
    (CONNECTORS, "install_connector_from_local_path", ("pkg",), {"editable": "yes"}, ["install", "-e", "/abs/pkg"]),
    (CONNECTORS, "install_connector_from_local_path", ("pkg", None), {}, ["install", "/abs/pkg"]),
    (CONNECTORS, "install_connector_from_local_path", ("pkg", 0), {}, ["install", "/abs/pkg"]),
    (CONNECTORS, "install_connector_from_local_path", ("pkg", []), {}, ["install", "/abs/pkg"]),
    (CONNECTORS, "update_connector_from_pypi", ("acme",), {}, ["install", "--upgrade", "acme"]),
    (CONNECTORS, "update_connector_from_pypi", ("acme", ""), {}, ["install", "--upgrade", "acme"]),
    (CONNECTORS, "update_connector_from_pypi", ("acme",), {"index_url": "https://idx/simple"},
     ["install", "--upgrade", "acme", "--index-url", "https://idx/simple"]),
    (CONNECTORS, "update_connector_from_local_path", ("pkg",), {}, ["install", "--upgrade", "/abs/pkg"]),
    (CONNECTORS, "uninstall_connector", ("acme",), {}, ["uninstall", "-y", "acme"]),
    (CONVERTERS, "install_converter_from_local_path", ("pkg",), {}, ["install", "/abs/pkg"]),
    (CONVERTERS, "install_converter_from_pypi", ("acme",), {}, ["install", "acme"]),
    (CONVERTERS, "install_converter_from_pypi", ("acme==1.0",), {"index_url": ""}, ["install", "acme==1.0"]),
    (CONVERTERS, "install_converter_from_pypi", ("acme", "https://idx/simple"), {},
     ["install", "acme", "--index-url", "https://idx/simple"]),
    (CONVERTERS, "update_converter_from_pypi", ("acme",), {"index_url": None}, ["install", "--upgrade", "acme"]),
    (CONVERTERS, "update_converter_from_pypi", ("acme", "https://idx/simple"), {},
     ["install", "--upgrade", "acme", "--index-url", "https://idx/simple"]),
    (CONVERTERS, "update_converter_from_local_path", ("pkg",), {}, ["install", "--upgrade", "/abs/pkg"]),
    (CONVERTERS, "uninstall_converter", ("acme",), {}, ["uninstall", "-y", "acme"]),
]


@pytest.mark.parametrize("twin_, name, args, kwargs, tail", ARGUMENT_LISTS,
                         ids=[f"{row[1]}-{i}" for i, row in enumerate(ARGUMENT_LISTS)])
def test_argument_list(twin_, name, args, kwargs, tail, monkeypatch):
    env = PackagesEnv(twin_, load(twin_), monkeypatch)
    assert run(getattr(env.module, name)(*args, **kwargs)) is None
    command = env.run_pip_command.only
    assert command == [RUNNER, "self", "pip", *tail]
    assert all(type(element) is str for element in command)
    assert env.get_service_runner_path.calls == [call("get_service_runner_path")]


@pytest.mark.parametrize("op", OPERATIONS, ids=op_ids(OPERATIONS))
def test_steps_in_order(env, op):
    perform(env, op)
    steps = ["get_service_runner_path", "run_pip_command"]
    if op.by_path:
        steps.insert(0, "validate_local_package_path")
        assert env.validate_local_package_path.calls == [call("validate_local_package_path", "acme")]
    assert env.names() == steps


@pytest.mark.parametrize("op", OPERATIONS, ids=op_ids(OPERATIONS))
def test_nothing_runs_until_awaited(env, op):
    coro = getattr(env.module, op.name(env.twin))("acme")
    coro.close()
    assert env.events == []


@pytest.mark.parametrize("op", OPERATIONS, ids=op_ids(OPERATIONS))
def test_the_installer_is_the_only_suspension(env, op):
    coro = getattr(env.module, op.name(env.twin))("acme")
    coro.send(None)  # every step before the installer has run; the fake installer suspends once
    assert env.names()[-2:] == ["get_service_runner_path", "run_pip_command"]
    assert coro.cr_await is not None
    with pytest.raises(StopIteration) as info:
        coro.send(None)
    assert info.value.value is None


class TruthFails:
    def __bool__(self):
        raise LookupError("no truth")


def test_editable_is_reduced_to_its_truth_when_called(monkeypatch):
    env = PackagesEnv(CONNECTORS, load(CONNECTORS), monkeypatch)
    install = env.module.install_connector_from_local_path
    flag = []
    coro = install("pkg", flag)
    flag.append("now true")  # too late: the call already took the empty list as false
    run(coro)
    assert env.run_pip_command.only[3:] == ["install", "/abs/pkg"]
    # The truth test is the conversion, which runs before the exact-type test of package_path.
    ran = len(env.events)
    with pytest.raises(LookupError):
        install(1, TruthFails())
    assert len(env.events) == ran


@pytest.mark.parametrize("runner, shown", [
    (pathlib.PurePosixPath("/srv/bin/runner"), "/srv/bin/runner"),
    (Label("/srv/bin/label"), "/srv/bin/label"),
    (7, "7"),
])
def test_runner_path_is_converted_to_text(env, runner, shown):
    env.get_service_runner_path.result = runner
    run(getattr(env.module, env.twin.fn("uninstall_{}"))("acme"))
    app_path = env.run_pip_command.only[0]
    assert type(app_path) is str and app_path == shown


def test_runner_path_text_passes_through_and_is_fetched_by_every_operation(env):
    text = "/srv/" + "runner"  # built at run time: a distinct object
    env.get_service_runner_path.result = text
    uninstall = getattr(env.module, env.twin.fn("uninstall_{}"))
    seen = []
    env.run_pip_command.events = types.SimpleNamespace(append=lambda event: seen.append(event[1][0]))
    run(uninstall("a"))
    run(uninstall("b"))
    assert len(env.get_service_runner_path.calls) == 2
    assert seen[0] is text and seen[1] is text


def test_runner_path_failure_propagates(env):
    failure = OSError("no runner")
    env.get_service_runner_path.error = failure
    with pytest.raises(OSError) as info:
        run(getattr(env.module, env.twin.fn("update_{}_from_pypi"))("acme"))
    assert info.value is failure
    assert env.run_pip_command.commands == []



def test_operations_run_their_installers_at_the_same_time(env, monkeypatch):
    started = []

    async def main():
        release = asyncio.Event()

        async def run_pip_command(cmd):
            started.append(cmd[-1])
            await release.wait()

        monkeypatch.setattr(env.module, "run_pip_command", run_pip_command)
        uninstall = getattr(env.module, env.twin.fn("uninstall_{}"))
        tasks = [asyncio.create_task(uninstall(name)) for name in ("a", "b")]
        while len(started) < 2:
            await asyncio.sleep(0)
        release.set()
        assert await asyncio.gather(*tasks) == [None, None]

    asyncio.run(main())
    assert started == ["a", "b"]

# ---- the validation step -----------------------------------------------------------------

@pytest.mark.parametrize("op", BY_PATH, ids=op_ids(BY_PATH))
def test_validated_path_is_installed_and_reported(env, op):
    env.validate_local_package_path.compute = lambda path: "/somewhere/else"
    env.run_pip_command.error = pip_failure()
    with pytest.raises(env.error(op.error)) as info:
        perform(env, op, "./pkg")
    assert str(info.value) == op.message(env.twin, "/somewhere/else", "pip says no")
    assert env.run_pip_command.only[-1] == "/somewhere/else"


@pytest.mark.parametrize("op", BY_PATH, ids=op_ids(BY_PATH))
def test_validator_may_answer_none(env, op):
    env.validate_local_package_path.compute = lambda path: None
    env.run_pip_command.error = pip_failure()
    with pytest.raises(env.error(op.error)) as info:
        perform(env, op, "pkg")
    assert str(info.value) == op.message(env.twin, "None", "pip says no")
    assert env.run_pip_command.only[-1] is None


class MissingPackage(FileNotFoundError):
    pass


@pytest.mark.parametrize("failure", [FileNotFoundError("no pyproject.toml in pkg"), MissingPackage("gone")],
                         ids=["FileNotFoundError", "subclass"])
@pytest.mark.parametrize("op", BY_PATH, ids=op_ids(BY_PATH))
def test_rejected_path_is_converted(env, op, failure):
    env.validate_local_package_path.error = failure
    with pytest.raises(env.error("InvalidPackagePath")) as info:
        perform(env, op, "pkg")
    assert str(info.value) == str(failure)
    assert info.value.__cause__ is failure
    assert info.value.__context__ is failure
    assert env.names() == ["validate_local_package_path"]


@pytest.mark.parametrize("failure", [PermissionError("denied"), ValueError("bad path")])
@pytest.mark.parametrize("op", BY_PATH, ids=op_ids(BY_PATH))
def test_other_validator_errors_propagate(env, op, failure):
    env.validate_local_package_path.error = failure
    with pytest.raises(type(failure)) as info:
        perform(env, op, "pkg")
    assert info.value is failure
    assert info.value.__context__ is None
    assert env.names() == ["validate_local_package_path"]


@pytest.mark.parametrize("result, type_name", [(pathlib.PurePosixPath("/p"), "PurePosixPath"), (3, "int"),
                                               (Label("/p"), "Label"), (b"/p", "bytes")])
@pytest.mark.parametrize("op", BY_PATH, ids=op_ids(BY_PATH))
def test_validator_result_must_be_text(env, op, result, type_name):
    env.validate_local_package_path.compute = lambda path: result
    with pytest.raises(TypeError) as info:
        perform(env, op, "pkg")
    assert str(info.value) == f"Expected str, got {type_name}"
    assert env.names() == ["validate_local_package_path"]


# ---- installer errors --------------------------------------------------------------------

class PipFailed(subprocess.CalledProcessError):
    pass


@pytest.mark.parametrize("cls", [subprocess.CalledProcessError, PipFailed], ids=["CalledProcessError", "subclass"])
@pytest.mark.parametrize("op", OPERATIONS, ids=op_ids(OPERATIONS))
def test_installer_failure_is_converted(env, op, cls):
    failure = pip_failure(cls=cls)
    env.run_pip_command.error = failure
    with pytest.raises(env.error(op.error)) as info:
        perform(env, op)
    error = info.value
    assert type(error) is env.error(op.error)
    assert error.args == (op.message(env.twin, subject_of(op), "pip says no"),)
    assert error.__cause__ is failure and error.__suppress_context__
    assert error.__context__ is failure
    assert env.format_subprocess_error.calls == [call("format_subprocess_error", failure)]
    assert env.names()[-2:] == ["run_pip_command", "format_subprocess_error"]


def test_index_install_failure_names_the_package_not_the_version(monkeypatch):
    env = PackagesEnv(CONNECTORS, load(CONNECTORS), monkeypatch)
    env.run_pip_command.error = pip_failure()
    with pytest.raises(env.error("Install")) as info:
        run(env.module.install_connector_from_pypi("acme", ">=1.0"))
    assert str(info.value) == "Failed to install connector 'acme': pip says no"


class Formatted:
    def __format__(self, spec):
        return f"formatted with {spec!r}"


@pytest.mark.parametrize("text, shown", [(42, "42"), (None, "None"), (Formatted(), "formatted with ''"),
                                         (Label("labelled"), "labelled"), ("", "")])
def test_failure_text_is_formatted_as_a_replacement_field(env, text, shown):
    env.format_subprocess_error.result = text
    env.run_pip_command.error = pip_failure()
    with pytest.raises(env.error("Uninstall")) as info:
        run(getattr(env.module, env.twin.fn("uninstall_{}"))("acme"))
    assert str(info.value) == f"Failed to uninstall {env.twin.noun} 'acme': {shown}"


@pytest.mark.parametrize("failure", [FileNotFoundError("no runner program"), RuntimeError("loop closed"),
                                     KeyboardInterrupt()], ids=["FileNotFoundError", "RuntimeError", "interrupt"])
@pytest.mark.parametrize("op", OPERATIONS, ids=op_ids(OPERATIONS))
def test_other_installer_errors_propagate_unchanged(env, op, failure):
    env.run_pip_command.error = failure
    with pytest.raises(type(failure)) as info:
        perform(env, op)
    assert info.value is failure
    assert info.value.__cause__ is None and info.value.__context__ is None
    assert env.format_subprocess_error.calls == []


class OtherFailure(Exception):
    pass


def test_installer_error_class_is_looked_up_when_matching(env, monkeypatch):
    """Replacing `subprocess` while the installer runs decides what the clause catches."""
    original = pip_failure()
    other = OtherFailure("other")
    replacement = types.SimpleNamespace(CalledProcessError=OtherFailure)
    update = getattr(env.module, env.twin.fn("update_{}_from_pypi"))

    async def swap_then_fail(command):
        monkeypatch.setattr(env.module, "subprocess", replacement)
        raise env.next_error

    env.module.run_pip_command = swap_then_fail
    env.next_error = other
    with pytest.raises(env.error("Update")) as info:
        run(update("acme"))
    assert info.value.__cause__ is other

    env.next_error = original
    with pytest.raises(subprocess.CalledProcessError) as info:
        run(update("acme"))
    assert info.value is original


def test_a_tuple_of_classes_matches_too(env, monkeypatch):
    monkeypatch.setattr(env.module, "subprocess",
                        types.SimpleNamespace(CalledProcessError=(KeyError, subprocess.CalledProcessError)))
    env.run_pip_command.error = failure = pip_failure()
    with pytest.raises(env.error("Uninstall")) as info:
        run(getattr(env.module, env.twin.fn("uninstall_{}"))("acme"))
    assert info.value.__cause__ is failure


@pytest.mark.parametrize("replacement, error_type, message", [
    (types.SimpleNamespace(), AttributeError, "'types.SimpleNamespace' object has no attribute 'CalledProcessError'"),
    (types.SimpleNamespace(CalledProcessError=int), TypeError,
     "catching classes that do not inherit from BaseException is not allowed"),
    (types.SimpleNamespace(CalledProcessError=(subprocess.CalledProcessError, "x")), TypeError,
     "catching classes that do not inherit from BaseException is not allowed"),
])
def test_failure_while_matching_keeps_the_installer_error_as_context(env, monkeypatch, replacement, error_type,
                                                                     message):
    monkeypatch.setattr(env.module, "subprocess", replacement)
    env.run_pip_command.error = failure = pip_failure()
    with pytest.raises(error_type) as info:
        run(getattr(env.module, env.twin.fn("uninstall_{}"))("acme"))
    assert str(info.value) == message
    assert info.value.__context__ is failure and info.value.__cause__ is None


def test_failure_while_building_the_message_keeps_the_installer_error_as_context(env):
    env.run_pip_command.error = failure = pip_failure()
    env.format_subprocess_error.error = broken = UnicodeError("cannot format")
    install = getattr(env.module, env.twin.fn("install_{}_from_pypi"))
    with pytest.raises(UnicodeError) as info:
        run(install("acme"))
    assert info.value is broken
    assert broken.__context__ is failure and broken.__cause__ is None


def test_failure_of_the_error_class_keeps_the_installer_error_as_context(env, monkeypatch):
    env.run_pip_command.error = failure = pip_failure()
    refused = LookupError("cannot build the error")

    def error_class(message):
        raise refused

    monkeypatch.setattr(env.module, f"{env.twin.prefix}InstallError", error_class)
    with pytest.raises(LookupError) as info:
        run(getattr(env.module, env.twin.fn("install_{}_from_pypi"))("acme"))
    assert info.value is refused and refused.__context__ is failure


def test_error_classes_are_looked_up_at_call_time(env, monkeypatch):
    class Replaced(Exception):
        pass

    monkeypatch.setattr(env.module, f"{env.twin.prefix}UpdateError", Replaced)
    env.run_pip_command.error = pip_failure()
    with pytest.raises(Replaced):
        run(getattr(env.module, env.twin.fn("update_{}_from_local_path"))("pkg"))


def traceback_entries(error, twin):
    """(function name, line) of the entries that the module added to the error's traceback."""
    tb, found = error.__traceback__, []
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == f"src/vornal_api/python_api/sync/{twin.short}":
            found.append((tb.tb_frame.f_code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return found


def own_source_lines(module, name):
    """From the function's definition line up to the next function's definition line."""
    starts = sorted(value.__code__.co_firstlineno for value in vars(module).values()
                    if getattr(value, "__module__", None) == module.__name__ and hasattr(value, "__code__"))
    first = getattr(module, name).__code__.co_firstlineno
    return range(first, min([line for line in starts if line > first], default=first + 10_000))


@pytest.mark.parametrize("op", OPERATIONS, ids=op_ids(OPERATIONS))
def test_tracebacks_of_a_converted_failure(env, op):
    env.run_pip_command.error = failure = pip_failure()
    name = op.name(env.twin)
    with pytest.raises(env.error(op.error)) as info:
        perform(env, op)
    # The raised error leaves the body; the caught one was caught inside it; both at a line of
    # the function's own source.
    [(left, line)] = traceback_entries(info.value, env.twin)
    [(caught, caught_line)] = traceback_entries(failure, env.twin)
    assert (left, caught) == (name, f"{env.twin.module_name}.{name}")
    assert line in own_source_lines(env.module, name) and caught_line in own_source_lines(env.module, name)


# ---- package names that pip would read as options ----------------------------------------

@pytest.mark.parametrize("package_name", ["-r", "--index-url=x", "-", "-e/tmp/pkg"])
@pytest.mark.parametrize("op", BY_NAME, ids=op_ids(BY_NAME))
def test_option_like_package_name_is_refused(env, op, package_name):
    coro = getattr(env.module, op.name(env.twin))(package_name)
    assert env.events == []  # refused only when the coroutine runs
    with pytest.raises(env.error(op.error)) as info:
        run(coro)
    assert info.value.args == (op.message(env.twin, package_name, "not a valid package name"),)
    assert info.value.__cause__ is None and info.value.__context__ is None
    assert env.events == []


def test_refusal_example(monkeypatch):
    env = PackagesEnv(CONNECTORS, load(CONNECTORS), monkeypatch)
    with pytest.raises(env.error("Install")) as info:
        run(env.module.install_connector_from_pypi("--index-url=x", "1.0", "http://idx"))
    assert str(info.value) == "Failed to install connector '--index-url=x': not a valid package name"


@pytest.mark.parametrize("package_name", ["my-connectors", "acme-", "", " -r", "acme==1.0"])
@pytest.mark.parametrize("op", BY_NAME, ids=op_ids(BY_NAME))
def test_other_package_names_go_to_pip_unchanged(env, op, package_name):
    perform(env, op, package_name)
    assert package_name in env.run_pip_command.only


# ---- the listing -------------------------------------------------------------------------

def listing(env):
    return getattr(env.module, env.twin.functions[0])


class Entries:
    """A registry that is not a dict: only its `values()` is used."""

    def __init__(self, values):
        self._values = values

    def values(self):
        return iter(self._values)


def test_listing_scans_and_reloads_the_registry(env):
    first, second = object(), object()
    env.registry_result = {"b": first, "a": second}
    result = listing(env)()
    assert result == [("read", first), ("read", second)]
    assert env.registry.calls == [call(env.twin.registry, scan=True, reload=True)]
    assert env.names() == [env.twin.registry, "model_validate", "model_validate"]


def test_listing_gives_a_new_list_every_time(env):
    assert listing(env)() == [] and listing(env)() is not listing(env)()
    assert len(env.registry.calls) == 3


def test_listing_uses_values_of_any_registry(env):
    env.registry_result = Entries(["x", "y"])
    assert listing(env)() == [("read", "x"), ("read", "y")]


@pytest.mark.parametrize("registry, error_type, message", [
    (None, AttributeError, "'NoneType' object has no attribute 'values'"),
    ([1, 2], AttributeError, "'list' object has no attribute 'values'"),
])
def test_listing_needs_a_mapping(env, registry, error_type, message):
    env.registry_result = registry
    with pytest.raises(error_type) as info:
        listing(env)()
    assert str(info.value) == message


def test_listing_fails_when_the_registry_changes_size(env):
    registry = {"a": 1, "b": 2}
    env.registry_result = registry
    env.model.model_validate = lambda obj: registry.setdefault("c", 3)
    with pytest.raises(RuntimeError) as info:
        listing(env)()
    assert str(info.value) == "dictionary changed size during iteration"


def test_listing_fails_as_a_whole_when_a_model_rejects_an_entry(env):
    bad = object()
    env.registry_result = {"a": 1, "b": bad, "c": 3}
    env.model.reject.append(bad)
    with pytest.raises(ValueError):
        listing(env)()
    assert env.names() == [env.twin.registry, "model_validate", "model_validate"]


def test_listing_registry_failure_propagates(env):
    env.registry.error = failure = ImportError("plug-in broken")
    with pytest.raises(ImportError) as info:
        listing(env)()
    assert info.value is failure
    assert info.value.__traceback__.tb_next.tb_frame.f_code.co_name == f"{env.twin.module_name}.{env.twin.functions[0]}"
