"""Conformance of the module frame in places the other frame tests leave open: where traceback
entries point, the local names of code objects, the context-manager and await rules inside
bodies compared with what the interpreter itself does for the same statement, the handled
exception seen by an exit handler, and what the shared libraries export."""
import asyncio
import importlib
import json
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap
import traceback
import types

import pytest

from feedwells_fakes import FakeStatus, FeedwellsEnv, Record, load_feedwells, run

FEEDWELLS = "vornal_api.python_api.sync.feedwells"
FEEDWELLS_SOURCE = "src/vornal_api/python_api/sync/feedwells"
LOGS = "vornal_api.python_api.admin.logs"
LOGS_SOURCE = "src/vornal_api/python_api/admin/logs"

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(os.environ.get("VORNAL_BUILD", os.path.join(TOP, "build")), "python")
HOST = os.path.join(TOP, "host")


@pytest.fixture
def fw():
    return load_feedwells()


@pytest.fixture
def fw_env(fw, monkeypatch):
    return FeedwellsEnv(fw, monkeypatch)


@pytest.fixture
def logs():
    return importlib.import_module(LOGS)


def _outcome(thunk):
    """("ok", value) or the type and text of the exception that `thunk()` raised."""
    try:
        return ("ok", thunk())
    except Exception as exc:  # noqa: BLE001  (any failure is part of the outcome)
        return (type(exc), str(exc))


# --- where traceback entries point ------------------------------------------------------------

def _definition_span(module, name):
    """The lines of a function's own source: from its definition line up to the next
    function's definition line (open-ended for the last one)."""
    starts = sorted(value.__code__.co_firstlineno for value in vars(module).values()
                    if getattr(value, "__module__", None) == module.__name__
                    and hasattr(value, "__code__"))
    first = getattr(module, name).__code__.co_firstlineno
    later = [line for line in starts if line > first]
    return first, (later[0] if later else float("inf"))


def _entry_lines(exc, name, filename):
    return [entry.lineno for entry in traceback.extract_tb(exc.__traceback__)
            if entry.name == name and entry.filename == filename]


def _assert_one_entry_in_own_source(exc, module, name, filename):
    lines = _entry_lines(exc, name, filename)
    assert len(lines) == 1, traceback.extract_tb(exc.__traceback__)
    first, after = _definition_span(module, name)
    assert first <= lines[0] < after, (lines[0], first, after)


class Refused(Exception):
    pass


class FailingCrud:
    """A data layer whose method `failing` refuses, either at once when it is called or only
    when its coroutine is awaited; every other method gives `record`."""

    def __init__(self, failing, at_call, record):
        self.failing = failing
        self.at_call = at_call
        self.record = record

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)

        async def awaited(*args, **kwargs):
            await asyncio.sleep(0)
            if name == self.failing:
                raise Refused(name)
            return self.record

        def method(*args, **kwargs):
            if name == self.failing and self.at_call:
                raise Refused(name)
            return awaited(*args, **kwargs)
        return method


@pytest.mark.parametrize("name, args, failing, at_call", [
    ("list_feedwells", (), "list_feedwells", True),
    ("get_sync_source", (7,), "read_sync_source", True),
    ("delete_sync_source", (7,), "delete_sync_source", True),
    ("reset_sync_source_lotlings", (7,), "reset_lotlings", True),
    ("start_sync_source", (7,), "update_sync_source", False),
    ("stop_sync_source", (7,), "update_sync_source", False),
], ids=["list_feedwells", "get_sync_source", "delete_sync_source", "reset_sync_source_lotlings",
         "start_sync_source", "stop_sync_source"])
def test_body_entry_points_into_the_functions_own_source(fw, fw_env, monkeypatch, name, args,
                                                         failing, at_call):
    record = Record(status=FakeStatus.IDLE, connector="folder")
    monkeypatch.setattr(fw, "crud_feedwells", FailingCrud(failing, at_call, record))
    with pytest.raises(Refused) as info:
        run(getattr(fw, name)(*args))
    _assert_one_entry_in_own_source(info.value, fw, name, FEEDWELLS_SOURCE)


def test_connector_inference_entry_points_into_the_functions_own_source(fw, monkeypatch):
    class Registry:
        def values(self):
            raise Refused("values")

    monkeypatch.setattr(fw, "get_sync_connectors", Registry)
    with pytest.raises(Refused) as info:
        run(fw.add_sync_source("name", object()))
    _assert_one_entry_in_own_source(info.value, fw, "add_sync_source", FEEDWELLS_SOURCE)


def test_generator_entry_points_into_its_own_source(logs, tmp_path, monkeypatch):
    monkeypatch.setattr(logs, "get_log_dir", lambda: str(tmp_path))
    # The current log "file" is a directory: it exists, but opening it fails.
    (tmp_path / logs.API_LOG_FILE_NAME).mkdir()
    with pytest.raises(IsADirectoryError) as info:
        logs.get_recent_log_lines(logs.LogService.api, 5)
    _assert_one_entry_in_own_source(info.value, logs, "_iter_rotated_and_current", LOGS_SOURCE)


class _RefusingFile:
    """An open log file whose reading or whose closing refuses."""

    def __init__(self, refuses):
        self.refuses = refuses

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        if self.refuses == "close":
            raise Refused("close")
        return False

    def __iter__(self):
        return self

    def __next__(self):
        if self.refuses == "read":
            raise Refused("read")
        raise StopIteration


@pytest.mark.parametrize("refuses", ["read", "close"])
def test_generator_entry_for_a_refusing_file_points_into_its_own_source(logs, refuses):
    with pytest.raises(Refused) as info:
        list(logs._iter_rotated_and_current(_FakePath(_RefusingFile(refuses))))
    _assert_one_entry_in_own_source(info.value, logs, "_iter_rotated_and_current", LOGS_SOURCE)


def _load_failure(code):
    """Imports the logs module in a new interpreter after running `code`, and returns the line
    of the "init" traceback entry that the failed load added."""
    script = textwrap.dedent("""\
        import importlib, json, traceback
        import collections, enum, pathlib, re, typing
        import vornal_api, vornal_api.app.exceptions.admin.logs_handler
        import vornal_client.settings.folders, vornal_sync_agent
        """) + textwrap.dedent(code) + textwrap.dedent("""\
        try:
            importlib.import_module(%r)
        except Exception as exc:
            entries = [[e.name, e.filename, e.lineno]
                       for e in traceback.extract_tb(exc.__traceback__)]
            print(json.dumps({"error": type(exc).__name__, "entries": entries}))
        else:
            print(json.dumps({"error": None}))
        """ % LOGS)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([HOST, BUILD]))
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout.strip().splitlines()[-1])
    init = [entry for entry in out.get("entries", []) if entry[0] == f"init {LOGS}"]
    assert len(init) == 1, out
    assert init[0][1] == LOGS_SOURCE
    return out["error"], init[0][2]


def test_init_entries_follow_the_order_of_the_statements():
    # Three load failures at three statements in source order: the from-import of the sync
    # agent's log file name, the LogService class, and the _RECORD_START pattern.
    missing_name = _load_failure("""
        del vornal_sync_agent.LOG_FILE_NAME
        """)
    failing_class = _load_failure("""
        class Meta(type):
            @classmethod
            def __prepare__(mcls, name, bases, **kwargs):
                if name == "LogService":
                    raise LookupError("no class today")
                return {}
        class Base(metaclass=Meta):
            pass
        enum.Enum = Base
        """)
    failing_pattern = _load_failure("""
        real_compile = re.compile
        def compile(pattern, *args, **kwargs):
            if pattern.startswith("^\\\\d{4}-"):
                raise LookupError("no pattern today")
            return real_compile(pattern, *args, **kwargs)
        re.compile = compile
        """)
    assert [missing_name[0], failing_class[0], failing_pattern[0]] == [
        "ImportError", "LookupError", "LookupError"]
    assert missing_name[1] < failing_class[1] < failing_pattern[1], (
        missing_name, failing_class, failing_pattern)


# --- code objects -----------------------------------------------------------------------------

@pytest.mark.parametrize("module, name, local", [
    (FEEDWELLS, "get_sync_source", "session"),
    (FEEDWELLS, "list_feedwells", "session"),
    (FEEDWELLS, "delete_sync_source", "session"),
    (LOGS, "_iter_log_records", "buffer"),
])
def test_code_object_lists_the_other_local_variables(module, name, local):
    code = getattr(importlib.import_module(module), name).__code__
    params = code.co_varnames[:code.co_argcount]
    assert code.co_nlocals == len(code.co_varnames)
    # The parameters come first, then the body's own locals.
    assert local in code.co_varnames[len(params):], code.co_varnames


# --- context managers and awaiting inside bodies, as the interpreter does them ----------------

@types.coroutine
def _generator_based(value):
    yield None
    return value


class _GeneratorBasedAwait:
    def __await__(self):
        return _generator_based("session")


class _NoExit:
    async def __aenter__(self):
        return "session"


class _NoEnter:
    async def __aexit__(self, *exc_info):
        return False


class _OnInstanceOnly:
    def __init__(self):
        async def enter():
            return "session"

        async def exit_(*exc_info):
            return False
        self.__aenter__ = enter
        self.__aexit__ = exit_


def _entering_with(result):
    class Context:
        def __aenter__(self):
            return result()

        async def __aexit__(self, *exc_info):
            return False
    return Context


class _SyncOnly:
    def __enter__(self):
        return "session"

    def __exit__(self, *exc_info):
        return False


ASYNC_WITH_CASES = [
    ("no __aexit__", _NoExit),
    ("a context manager for with", _SyncOnly),
    ("no __aenter__", _NoEnter),
    ("methods only on the instance", _OnInstanceOnly),
    ("__aenter__ gives a generator-based coroutine", _entering_with(
        lambda: _generator_based("session"))),
    ("__aenter__ gives a non-awaitable", _entering_with(lambda: 5)),
    ("__await__ gives a generator-based coroutine", _entering_with(_GeneratorBasedAwait)),
]


@pytest.mark.parametrize("factory", [case[1] for case in ASYNC_WITH_CASES],
                         ids=[case[0] for case in ASYNC_WITH_CASES])
def test_session_frame_fails_as_async_with_does(fw, fw_env, monkeypatch, factory):
    async def native():
        async with factory() as session:
            return await fw_env.crud.read_sync_source(session, 7)

    expected = _outcome(lambda: run(native()))
    monkeypatch.setattr(fw, "get_db_session_context", factory)
    got = _outcome(lambda: run(fw.get_sync_source(7)))
    if expected[0] == "ok":
        assert got[0] == "ok", got
        assert got[1].source.made_by == "read_sync_source"
    else:
        assert got == expected


def _file_class(missing):
    methods = {"__enter__": lambda self: iter(["line\n"]),
               "__exit__": lambda self, *exc_info: False}
    del methods[missing]
    return type(f"No{missing.strip('_').capitalize()}", (), methods)


class _FakePath:
    """A stand-in for the current log file's path: no backup, and `open` gives `opened`."""

    def __init__(self, opened):
        self.opened = opened
        self.name = "service.log"
        self.parent = self

    def __truediv__(self, other):
        return types.SimpleNamespace(exists=lambda: False)

    def open(self, *args, **kwargs):
        return self.opened


class _AsyncOnly:
    async def __aenter__(self):
        return iter(["line\n"])

    async def __aexit__(self, *exc_info):
        return False


@pytest.mark.parametrize("file_class", [_file_class("__enter__"), _file_class("__exit__"), _AsyncOnly],
                         ids=["no __enter__", "no __exit__", "a context manager for async with"])
def test_with_block_fails_as_with_does(logs, file_class):
    opened = file_class()

    def native():
        with opened as lines:
            return list(lines)

    expected = _outcome(native)
    got = _outcome(lambda: list(logs._iter_rotated_and_current(_FakePath(opened))))
    assert expected[0] is TypeError
    assert got == expected


def test_exit_handler_runs_while_the_body_error_is_handled(fw, fw_env, monkeypatch):
    seen = []

    class Context:
        async def __aenter__(self):
            return "session"

        async def __aexit__(self, exc_type, exc, tb):
            seen.append(sys.exception())
            raise  # re-raises the exception being handled, as an exit handler may

    failure = Refused("read failed")
    fw_env.crud.errors["read_sync_source"] = failure
    monkeypatch.setattr(fw, "get_db_session_context", Context)
    with pytest.raises(Refused) as info:
        run(fw.get_sync_source(7))
    assert info.value is failure
    assert seen == [failure]


class _FalseRaises:
    def __bool__(self):
        raise LookupError("truth test")


async def _exit_raising_while_handling(exc_type, exc, tb):
    try:
        raise KeyError("inside the exit handler")
    except KeyError:
        raise ValueError("exit handler failed")


async def _exit_raising_after_awaiting(exc_type, exc, tb):
    await asyncio.sleep(0)
    raise ValueError("exit handler failed")


async def _exit_giving_a_false_truth_test(exc_type, exc, tb):
    return _FalseRaises()


def _exit_giving_a_non_awaitable(exc_type, exc, tb):
    return 5


class _AwaitRaises:
    def __await__(self):
        raise ValueError("cannot be awaited now")


def _exit_giving_an_awaitable_that_fails(exc_type, exc, tb):
    return _AwaitRaises()


EXIT_FAILURES = [
    ("its result's truth test raises", _exit_giving_a_false_truth_test),
    ("it raises while handling its own error", _exit_raising_while_handling),
    ("it raises after awaiting", _exit_raising_after_awaiting),
    ("it gives a non-awaitable", _exit_giving_a_non_awaitable),
    ("its awaitable's __await__ raises", _exit_giving_an_awaitable_that_fails),
]


def _context_chain(exc):
    chain = []
    while exc is not None:
        chain.append((type(exc), str(exc)))
        exc = exc.__context__
    return chain


@pytest.mark.parametrize("exit_", [case[1] for case in EXIT_FAILURES], ids=[case[0] for case in EXIT_FAILURES])
def test_error_of_an_exit_handler_has_the_context_of_async_with(fw, fw_env, monkeypatch, exit_):
    class Context:
        async def __aenter__(self):
            return "session"

        def __aexit__(self, exc_type, exc, tb):
            return exit_(exc_type, exc, tb)

    async def native():
        async with Context():
            raise Refused("read failed")

    with pytest.raises(Exception) as expected:
        run(native())
    fw_env.crud.errors["read_sync_source"] = Refused("read failed")
    monkeypatch.setattr(fw, "get_db_session_context", Context)
    with pytest.raises(Exception) as got:
        run(fw.get_sync_source(7))
    assert _context_chain(got.value) == _context_chain(expected.value)
    assert _context_chain(got.value)[-1] == (Refused, "read failed")


def test_unpacking_a_non_iterable_fails_as_the_interpreter_does(fw, fw_env, monkeypatch):
    class Registry:
        def items(self):
            return [5]

    def native():
        for pair in Registry().items():
            identifier, entry = pair

    expected = _outcome(native)
    monkeypatch.setattr(fw, "get_sync_connectors", lambda: Registry())
    assert _outcome(fw.list_sync_source_definitions) == expected


# --- the shared libraries ---------------------------------------------------------------------

def _libraries():
    found = sorted(pathlib.Path(BUILD).rglob("*.so"))
    assert found, BUILD
    return found


def test_initialisation_function_is_the_only_export():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    for library in _libraries():
        listing = subprocess.run([nm, "-D", "--defined-only", str(library)], check=True,
                                 capture_output=True, text=True).stdout
        exported = [line.split()[-1] for line in listing.splitlines() if line.strip()]
        short_name = library.name.split(".")[0]
        assert exported == [f"PyInit_{short_name}"], (library.name, exported)
