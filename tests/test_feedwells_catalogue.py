"""The sync-source catalogue (listing, reading by id and by name, deleting) and what the
feedwells module shares with all its functions: the session frame around each call, the
traceback entries it adds, and the module object with its bound names."""
import builtins
import dataclasses
import importlib
import sys
import traceback
import types
import typing
import uuid

import pytest

from fakes import (  # noqa: F401  (fixtures)
    CALL_IDS, CALLS, CRUD_METHOD, MODULE_NAME, SOURCE_PATH, Record, drive, env, feedwells)


class Boom(Exception):
    """An error raised by one of the fakes."""


class ExitFailed(Exception):
    """An error raised by `__aexit__`."""


# --- call shapes ------------------------------------------------------------------------------

@pytest.mark.parametrize("name, args", CALLS, ids=CALL_IDS)
def test_one_session_passed_first_to_the_data_layer(feedwells, env, name, args):
    drive(getattr(feedwells, name)(*args))
    assert env.sessions.calls == [((), {})]
    (_, method, crud_args, crud_kwargs), = env.of_kind("crud")
    assert method == CRUD_METHOD[name]
    assert crud_args[0] is env.sessions.session
    assert crud_args[1:] == args
    assert crud_kwargs == {}


@pytest.mark.parametrize("name, args", [
    ("get_sync_source", (7,)), ("get_sync_source_by_name", ("alpha",))], ids=["by id", "by name"])
def test_read_builds_model_while_session_open(feedwells, env, name, args):
    record = env.crud.results[CRUD_METHOD[name]]
    result = drive(getattr(feedwells, name)(*args))
    assert type(result) is env.Model
    assert result.record is record
    assert env.kinds() == ["open", "enter", "crud", "validate", "exit"]
    assert env.of_kind("validate") == [("validate", record)]
    assert env.of_kind("exit") == [("exit", None, None, None)]


@pytest.mark.parametrize("crud_result", [None, Record("deleted"), 1])
def test_delete_returns_none(feedwells, env, crud_result):
    env.crud.results["delete_sync_source"] = crud_result
    assert drive(feedwells.delete_sync_source(3)) is None
    assert env.kinds() == ["open", "enter", "crud", "exit"]
    assert env.of_kind("exit") == [("exit", None, None, None)]


def test_each_call_has_its_own_session(feedwells, env):
    drive(feedwells.get_sync_source(1))
    drive(feedwells.get_sync_source(1))
    first, second = (event[2][0] for event in env.of_kind("crud"))
    assert first is not second
    assert len(env.sessions.calls) == 2


# --- list_feedwells ---------------------------------------------------------------------------

class OnlyIter:
    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)


class OnlyGetitem:
    def __init__(self, items):
        self.items = items

    def __getitem__(self, index):
        return self.items[index]


CONTAINERS = {
    "list": list,
    "tuple": tuple,
    "generator": lambda items: (item for item in items),
    "iterable": OnlyIter,
    "sequence protocol": OnlyGetitem,
}


@pytest.mark.parametrize("count", [0, 1, 3])
@pytest.mark.parametrize("container", list(CONTAINERS))
def test_list_feedwells_builds_a_new_list(feedwells, env, container, count):
    records = [Record(i) for i in range(count)]
    given = CONTAINERS[container](records)
    env.crud.results["list_feedwells"] = given
    listing = drive(feedwells.list_feedwells())
    assert type(listing) is list
    assert listing is not given
    assert len(listing) == count
    assert all(type(item) is env.Model for item in listing)
    assert all(item.record is record for item, record in zip(listing, records))
    assert [event[1] for event in env.of_kind("validate")] == records
    assert env.kinds() == ["open", "enter", "crud"] + ["validate"] * count + ["exit"]
    if container == "list":
        assert given == records


def test_list_feedwells_new_list_each_call(feedwells, env):
    env.crud.results["list_feedwells"] = []
    first = drive(feedwells.list_feedwells())
    second = drive(feedwells.list_feedwells())
    assert first == [] and second == []
    assert first is not second


def test_list_feedwells_one_invalid_record_fails_the_call(feedwells, env):
    records = [Record("a"), Record("b"), Record("c")]
    env.crud.results["list_feedwells"] = records
    error = ValueError("record b is invalid")
    env.Model.reject.append((records[1], error))
    with pytest.raises(ValueError) as info:
        drive(feedwells.list_feedwells())
    assert info.value is error
    assert [event[1] for event in env.of_kind("validate")] == records[:2]
    (_, exc_type, exc, _), = env.of_kind("exit")
    assert exc is error


def test_list_feedwells_non_iterable_result(feedwells, env):
    env.crud.results["list_feedwells"] = 5
    with pytest.raises(TypeError) as info:
        drive(feedwells.list_feedwells())
    (_, exc_type, exc, _), = env.of_kind("exit")
    assert exc is info.value


def test_list_feedwells_iteration_error_propagates(feedwells, env):
    def records():
        yield Record("a")
        raise Boom("cursor lost")

    env.crud.results["list_feedwells"] = records()
    with pytest.raises(Boom):
        drive(feedwells.list_feedwells())
    assert env.of_kind("exit")[0][1] is Boom


# --- the session frame ------------------------------------------------------------------------

def test_aexit_looked_up_before_aenter(feedwells, env):
    drive(feedwells.get_sync_source(1))
    first_aexit = env.events.index(("lookup", "__aexit__"))
    first_aenter = env.events.index(("lookup", "__aenter__"))
    assert first_aexit < first_aenter < env.events.index(("enter",))


def test_context_without_aexit_is_not_entered(feedwells, env, monkeypatch):
    entered = []

    class OnlyEnter:
        async def __aenter__(self):
            entered.append(True)
            return object()

    monkeypatch.setattr(feedwells, "get_db_session_context", OnlyEnter)
    with pytest.raises((AttributeError, TypeError)):
        drive(feedwells.get_sync_source(1))
    assert entered == []
    assert env.of_kind("crud") == []


def _error_in_crud(env, name):
    error = Boom("data layer failed")
    env.crud.errors[CRUD_METHOD[name]] = error
    return error


@pytest.mark.parametrize("name, args", CALLS, ids=CALL_IDS)
def test_body_error_reaches_aexit_and_propagates(feedwells, env, name, args):
    error = _error_in_crud(env, name)
    at_exit = []

    async def exit_hook(exc_type, exc, tb):
        at_exit.append(exc.__traceback__ is tb)

    env.sessions.exit_hook = exit_hook
    with pytest.raises(Boom) as info:
        drive(getattr(feedwells, name)(*args))
    assert info.value is error
    (_, exc_type, exc, tb), = env.of_kind("exit")
    assert exc_type is Boom
    assert exc is error
    assert isinstance(tb, types.TracebackType)
    assert at_exit == [True]
    assert env.kinds() == ["open", "enter", "crud", "exit"]


def test_validation_error_reaches_aexit_and_propagates(feedwells, env):
    record = env.crud.results["read_sync_source"]
    error = ValueError("not a sync source")
    env.Model.reject.append((record, error))
    with pytest.raises(ValueError) as info:
        drive(feedwells.get_sync_source(1))
    assert info.value is error
    assert env.kinds() == ["open", "enter", "crud", "validate", "exit"]
    assert env.of_kind("exit")[0][1:3] == (ValueError, error)


def test_error_in_aenter_skips_body_and_aexit(feedwells, env):
    env.sessions.enter_error = error = ConnectionError("no database")
    with pytest.raises(ConnectionError) as info:
        drive(feedwells.get_sync_source(1))
    assert info.value is error
    assert env.kinds() == ["open", "enter"]


def test_error_in_factory_propagates(feedwells, env, monkeypatch):
    error = RuntimeError("no session context")

    def factory():
        raise error

    monkeypatch.setattr(feedwells, "get_db_session_context", factory)
    with pytest.raises(RuntimeError) as info:
        drive(feedwells.get_sync_source(1))
    assert info.value is error
    assert env.events == []


@pytest.mark.parametrize("name, args", CALLS, ids=CALL_IDS)
def test_true_aexit_result_swallows_error_and_returns_none(feedwells, env, name, args):
    _error_in_crud(env, name)
    env.sessions.exit_result = True
    assert drive(getattr(feedwells, name)(*args)) is None
    assert env.of_kind("exit")[0][1] is Boom


def test_swallowed_listing_error_returns_no_partial_list(feedwells, env):
    records = [Record("a"), Record("b")]
    env.crud.results["list_feedwells"] = records
    env.Model.reject.append((records[1], ValueError("bad")))
    env.sessions.exit_result = True
    assert drive(feedwells.list_feedwells()) is None


@pytest.mark.parametrize("exit_result, swallowed", [
    (True, True), (1, True), ("yes", True), ([0], True),
    (False, False), (None, False), (0, False), ("", False),
])
def test_aexit_result_truth_decides(feedwells, env, exit_result, swallowed):
    error = _error_in_crud(env, "get_sync_source")
    env.sessions.exit_result = exit_result
    coro = feedwells.get_sync_source(1)
    if swallowed:
        assert drive(coro) is None
    else:
        with pytest.raises(Boom) as info:
            drive(coro)
        assert info.value is error


def test_true_aexit_result_on_normal_exit_keeps_result(feedwells, env):
    env.sessions.exit_result = True
    result = drive(feedwells.get_sync_source(1))
    assert type(result) is env.Model


def test_aexit_error_replaces_body_error(feedwells, env):
    body_error = _error_in_crud(env, "get_sync_source")
    env.sessions.exit_error = exit_error = ExitFailed("rollback failed")
    with pytest.raises(ExitFailed) as info:
        drive(feedwells.get_sync_source(1))
    assert info.value is exit_error
    assert info.value.__context__ is body_error


@pytest.mark.parametrize("name, args", CALLS, ids=CALL_IDS)
def test_aexit_error_on_normal_exit_propagates(feedwells, env, name, args):
    env.sessions.exit_error = exit_error = ExitFailed("commit failed")
    with pytest.raises(ExitFailed) as info:
        drive(getattr(feedwells, name)(*args))
    assert info.value is exit_error
    assert info.value.__context__ is None


# --- traceback entries ------------------------------------------------------------------------

def _entries(exc):
    return [(entry.name, entry.filename, entry.lineno)
            for entry in traceback.extract_tb(exc.__traceback__)]


@pytest.mark.parametrize("name, args", CALLS, ids=CALL_IDS)
def test_error_leaving_body_gets_entry_with_bare_name(feedwells, env, name, args):
    _error_in_crud(env, name)
    with pytest.raises(Boom) as info:
        drive(getattr(feedwells, name)(*args))
    entries = _entries(info.value)
    ours = [i for i, (func, filename, _) in enumerate(entries)
            if func == name and filename == SOURCE_PATH]
    assert ours, entries
    lineno = entries[ours[0]][2]
    assert lineno >= getattr(feedwells, name).__code__.co_firstlineno
    # The entry sits between the caller and the data layer's frames.
    crud_frames = [i for i, (func, _, _) in enumerate(entries) if func == "_run"]
    assert crud_frames and ours[0] < crud_frames[0]


@pytest.mark.parametrize("name, args, kwargs", [
    ("list_feedwells", (1,), {}),
    ("get_sync_source", ("12",), {}),
    ("get_sync_source", (), {}),
    ("get_sync_source_by_name", (), {"title": "x"}),
    ("delete_sync_source", (1, 2), {}),
])
def test_argument_error_gets_entry_with_dotted_name(feedwells, env, name, args, kwargs):
    with pytest.raises(TypeError) as info:
        getattr(feedwells, name)(*args, **kwargs)
    entries = _entries(info.value)
    dotted = f"{MODULE_NAME}.{name}"
    ours = [entry for entry in entries if entry[0] == dotted]
    assert ours, entries
    assert ours[0][1] == SOURCE_PATH
    assert ours[0][2] >= getattr(feedwells, name).__code__.co_firstlineno


# --- the module object ------------------------------------------------------------------------

BOUND = [
    (("dataclasses",), None),
    (("uuid",), None),
    (("Any", "Dict", "List", "Optional", "Union", "cast"), "typing"),
    (("NoUserLoggedInError",), "vornal_api.app.exceptions.auth.general_handler"),
    (("SyncSourceAlreadyRunningError", "SyncSourceAlreadyStoppedError",
      "SyncSourceConnectorHasNoOwnerError"), "vornal_api.app.exceptions.sync.sync_source_handler"),
    (("ConnectorRead",), "vornal_api.app.schemas.sync.connectors"),
    (("ConnectorDefinition",), "vornal_api.app.schemas.sync.sync_source_definition"),
    (("SyncSourceError", "SyncSourceReadV1", "SyncSourceScopeMappingRead"),
     "vornal_api.app.schemas.sync.feedwells"),
    (("REPORT_TEMPLATE_SYNC_SOURCE", "format_connector_info", "format_sync_source_errors"),
     "vornal_api.python_api.sync.utils"),
    (("BugReportCreateV3", "report_bug"), "vornal_client.remote.endpoints.bug_report"),
    (("get_user_settings",), "vornal_client.settings.user_settings"),
    (("get_source_sync_class", "get_sync_connectors"), "vornal_sync_agent.connectors"),
    (("get_sync_source_info",), "vornal_sync_agent.connectors.connector_info_extractor"),
    (("crud_feedwells",), "vornal_sync_agent.crud.feedwells"),
    (("get_db_session_context",), "vornal_sync_agent.db"),
]
BOUND_NAMES = [name for names, _ in BOUND for name in names]

DEFINITION_ORDER = [
    "add_sync_source", "_add_sync_source", "list_feedwells", "get_sync_source",
    "get_sync_source_by_name", "start_sync_source", "take_ownership", "release_ownership",
    "stop_sync_source", "update_sync_source", "delete_sync_source",
    "list_sync_source_definitions", "read_sync_source_errors", "set_sync_source_error_viewed",
    "mark_all_sync_source_errors_viewed", "reset_sync_source_lotlings",
    "generate_sync_source_report", "get_sync_source_error_report", "report_sync_source",
    "create_scope_mapping", "update_scope_mapping", "delete_scope_mapping",
    "get_unmapped_scope_identifiers", "autoassign_scope_mappings",
]


@pytest.mark.parametrize("names, source", BOUND, ids=[names[0] for names, _ in BOUND])
def test_bound_names_come_from_their_modules(feedwells, names, source):
    for name in names:
        value = getattr(feedwells, name)
        if source is None:
            assert value is {"dataclasses": dataclasses, "uuid": uuid}[name]
        elif source == "typing":
            assert value is getattr(typing, name)
        else:
            assert value is getattr(importlib.import_module(source), name), name


def test_namespace_order(feedwells):
    keys = list(vars(feedwells))
    positions = [keys.index(name) for name in BOUND_NAMES]
    assert positions == sorted(positions)
    functions = [name for name in DEFINITION_ORDER if name in keys]
    assert {"list_feedwells", "get_sync_source", "get_sync_source_by_name",
            "delete_sync_source"} <= set(functions)
    function_positions = [keys.index(name) for name in functions]
    assert function_positions == sorted(function_positions)
    assert min(function_positions) > max(positions)
    # __builtins__ is set before the statements run, __test__ after the last one.
    assert keys.index("__builtins__") < min(positions)
    assert keys.index("__test__") > max(function_positions)


def test_module_attributes(feedwells):
    assert feedwells.__name__ == MODULE_NAME
    assert feedwells.__builtins__ is builtins
    assert type(feedwells.__test__) is dict and feedwells.__test__ == {}
    # The status enumeration is imported by the functions that need it, not at load.
    assert "SyncSourceStatus" not in vars(feedwells)


def test_second_import_gives_same_module_without_rerunning(feedwells, monkeypatch):
    assert importlib.import_module(MODULE_NAME) is feedwells
    marker = object()
    monkeypatch.setattr(feedwells, "crud_feedwells", marker)
    test_dict = feedwells.__test__
    function = feedwells.get_sync_source
    monkeypatch.delitem(sys.modules, MODULE_NAME)
    again = importlib.import_module(MODULE_NAME)
    assert again is feedwells
    assert sys.modules[MODULE_NAME] is feedwells
    # The statements did not run again: the replaced name, __test__ and the function
    # objects are the ones from before.
    assert feedwells.crud_feedwells is marker
    assert feedwells.__test__ is test_dict
    assert feedwells.get_sync_source is function


@pytest.fixture
def namespace_kept(feedwells):
    """Gives the module namespace to change freely and puts it back afterwards with its keys
    in their original order (deleting and re-adding a key would move it to the end)."""
    namespace = vars(feedwells)
    saved = list(namespace.items())
    yield namespace
    namespace.clear()
    namespace.update(saved)


@pytest.mark.parametrize("name", ["get_db_session_context", "crud_feedwells",
                                  "SyncSourceReadV1"])
def test_outside_names_looked_up_at_each_use(feedwells, env, namespace_kept, monkeypatch, name):
    fake = {"get_db_session_context": env.sessions, "crud_feedwells": env.crud,
            "SyncSourceReadV1": env.Model}[name]
    coro = feedwells.get_sync_source(1)
    # Removed after the coroutine was made: the name is missing when the body needs it.
    del namespace_kept[name]
    with pytest.raises(NameError) as info:
        coro.send(None)
    assert str(info.value) == f"name '{name}' is not defined"
    if name != "get_db_session_context":
        # The failure happened inside the session frame.
        assert env.of_kind("exit")[-1][1] is NameError
    # Next the builtins are searched.
    monkeypatch.setattr(builtins, name, fake, raising=False)
    assert type(drive(feedwells.get_sync_source(2))) is env.Model
