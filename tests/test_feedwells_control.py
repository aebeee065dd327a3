"""Run control, ownership and item reset of sync sources (feedwells)."""
import asyncio
import enum
import sys
import types

import pytest

from feedwells_fakes import (  # noqa: F401  (fixtures)
    ENUMS_MODULE, INT_RESULT_ERRORS, INT_RESULTS, TRUTH_VALUES, BadTruth, FakeStatus, Record,
    Validated, call, check_argument_error, check_interface, env, fw, load_feedwells, run)

INTERFACE = [
    ("start_sync_source", "start_sync_source(int source_id: int) -> SyncSourceReadV1",
     "Start a sync source.", {"source_id": "int", "return": "SyncSourceReadV1"}, None),
    ("stop_sync_source", "stop_sync_source(int source_id: int) -> SyncSourceReadV1",
     "Stop a sync source.", {"source_id": "int", "return": "SyncSourceReadV1"}, None),
    ("take_ownership", "take_ownership(int source_id: int) -> SyncSourceReadV1",
     "Claim ownership of a sync source for the currently logged-in user.",
     {"source_id": "int", "return": "SyncSourceReadV1"}, None),
    ("release_ownership", "release_ownership(int source_id: int) -> SyncSourceReadV1",
     "Clear the owner of a sync source.", {"source_id": "int", "return": "SyncSourceReadV1"},
     None),
    ("reset_sync_source_lotlings",
     "reset_sync_source_lotlings(int source_id: int, bool include_successful: bool = False) -> int",
     "Reset sync items for a specific sync source.",
     {"source_id": "int", "include_successful": "bool", "return": "int"}, (False,)),
]


@pytest.mark.parametrize("name, signature, first_sentence, annotations, defaults", INTERFACE,
                         ids=[row[0] for row in INTERFACE])
def test_interface(fw, name, signature, first_sentence, annotations, defaults):
    check_interface(getattr(fw, name), signature, first_sentence, annotations, defaults)


ARGUMENT_ERRORS = [
    ("start_sync_source", (), {},
     "start_sync_source() takes exactly 1 positional argument (0 given)", False),
    ("stop_sync_source", (1, 2), {},
     "stop_sync_source() takes exactly 1 positional argument (2 given)", False),
    ("take_ownership", ("1",), {},
     "Argument 'source_id' has incorrect type (expected int, got str)", False),
    ("release_ownership", (None,), {},
     "Argument 'source_id' has incorrect type (expected int, got NoneType)", False),
    ("release_ownership", (1,), {"owner": "x"},
     "release_ownership() got an unexpected keyword argument 'owner'", False),
    ("take_ownership", (1,), {"source_id": 1},
     "take_ownership() got multiple values for keyword argument 'source_id'", False),
    ("reset_sync_source_lotlings", (1, True, 3), {},
     "reset_sync_source_lotlings() takes at most 2 positional arguments (3 given)", False),
    ("reset_sync_source_lotlings", (), {"include_successful": True},
     "reset_sync_source_lotlings() takes at least 1 positional argument (0 given)", False),
    ("reset_sync_source_lotlings", (b"1",), {},
     "Argument 'source_id' has incorrect type (expected int, got bytes)", False),
]


@pytest.mark.parametrize("name, args, kwargs, message, note", ARGUMENT_ERRORS)
def test_argument_errors_are_raised_by_the_call(fw, env, name, args, kwargs, message, note):
    check_argument_error(getattr(fw, name), args, kwargs, message, note)
    assert env.sessions.contexts == [] and env.get_user_settings.calls == []


# Each function with the data-layer method whose first argument after the session is the id.
FIRST_CALL = [
    ("start_sync_source", "read_sync_source"),
    ("stop_sync_source", "read_sync_source"),
    ("take_ownership", "read_sync_source"),
    ("release_ownership", "set_sync_source_owner"),
    ("reset_sync_source_lotlings", "reset_lotlings"),
]


@pytest.mark.parametrize("name, method", FIRST_CALL)
@pytest.mark.parametrize("given, passed", [(3, 3), (3.9, 3), (True, 1)])
def test_source_id_is_converted_to_int(fw, env, name, method, given, passed):
    env.crud.results["read_sync_source"] = Record(status=None, connector="folder")
    run(getattr(fw, name)(given))
    first = env.crud.calls[0]
    assert first.name == method
    assert type(first.args[1]) is int and first.args[1] == passed


def test_source_id_conversion_error_propagates_from_the_call(fw, env):
    with pytest.raises(ValueError):
        fw.start_sync_source(float("nan"))
    assert env.sessions.contexts == []


# --- start and stop -------------------------------------------------------------------------

WRITES = [
    ("start_sync_source", FakeStatus.STOPPED, FakeStatus.SYNCING),
    ("start_sync_source", FakeStatus.IDLE, FakeStatus.SYNCING),
    ("start_sync_source", None, FakeStatus.SYNCING),
    ("stop_sync_source", FakeStatus.SYNCING, FakeStatus.STOPPED),
    ("stop_sync_source", FakeStatus.SCANNING, FakeStatus.STOPPED),
    ("stop_sync_source", FakeStatus.IDLE, FakeStatus.STOPPED),
    ("stop_sync_source", "paused", FakeStatus.STOPPED),
]


@pytest.mark.parametrize("name, current, target", WRITES)
def test_start_and_stop_write_the_target_status(fw, env, name, current, target):
    record, updated = Record(status=current), Record(status=target)
    env.crud.results.update(read_sync_source=record, update_sync_source=updated)

    result = run(getattr(fw, name)(source_id=5))

    session = env.sessions.only.session
    assert env.crud.calls == [call("read_sync_source", session, 5),
                              call("update_sync_source", session, 5, status=target)]
    assert env.crud.calls[1].kwargs[0][1] is target
    assert result == Validated("SyncSourceReadV1", updated)
    env.assert_session_used()


REFUSALS = [
    ("start_sync_source", FakeStatus.SYNCING, "SyncSourceAlreadyRunningError"),
    ("start_sync_source", FakeStatus.SCANNING, "SyncSourceAlreadyRunningError"),
    # The record's status is compared for equality, so a plain value equal to a member counts.
    ("start_sync_source", "scanning", "SyncSourceAlreadyRunningError"),
    ("stop_sync_source", FakeStatus.STOPPED, "SyncSourceAlreadyStoppedError"),
    ("stop_sync_source", "stopped", "SyncSourceAlreadyStoppedError"),
]


@pytest.mark.parametrize("name, current, error", REFUSALS)
def test_guard_refuses_without_writing(fw, env, name, current, error):
    env.crud.results["read_sync_source"] = Record(status=current)

    with pytest.raises(getattr(env, error)) as info:
        run(getattr(fw, name)(5.0))

    assert type(info.value) is getattr(env, error)
    assert len(info.value.args) == 1
    assert type(info.value.args[0]) is int and info.value.args[0] == 5
    assert [c.name for c in env.crud.calls] == ["read_sync_source"]
    env.assert_error_reached_session(info.value)


class TracedStatus:
    """Stands in for the status enumeration; each member read shows among the events."""

    def __init__(self, events):
        self.events = events

    def __getattr__(self, name):
        member = getattr(FakeStatus, name)
        self.events.append(f"SyncSourceStatus.{name}")
        return member


class TracedStatusRecord:
    """A data-layer record whose reads of `status` show among the events."""

    def __init__(self, events, status):
        self.events = events
        self._status = status

    @property
    def status(self):
        self.events.append("record.status")
        return self._status


@pytest.mark.parametrize("name, current, refused, reads", [
    ("start_sync_source", FakeStatus.STOPPED, False, ["SYNCING", "SCANNING", "SYNCING"]),
    ("start_sync_source", FakeStatus.SYNCING, True, ["SYNCING"]),
    ("start_sync_source", FakeStatus.SCANNING, True, ["SYNCING", "SCANNING"]),
    ("stop_sync_source", FakeStatus.SYNCING, False, ["STOPPED", "STOPPED"]),
    ("stop_sync_source", FakeStatus.STOPPED, True, ["STOPPED"]),
])
def test_record_status_is_read_once_before_the_members(fw, env, monkeypatch, name, current,
                                                        refused, reads):
    monkeypatch.setattr(sys.modules[ENUMS_MODULE], "SyncSourceStatus", TracedStatus(env.events))
    env.crud.results["read_sync_source"] = TracedStatusRecord(env.events, current)
    if refused:
        with pytest.raises((env.SyncSourceAlreadyRunningError, env.SyncSourceAlreadyStoppedError)):
            run(getattr(fw, name)(1))
    else:
        run(getattr(fw, name)(1))
    traced = [e for e in env.events if e == "record.status" or e.startswith("SyncSourceStatus.")]
    assert traced == ["record.status"] + [f"SyncSourceStatus.{member}" for member in reads]


class TracedCrud:
    """Stands in for the data layer over `crud`; each method lookup shows among the events."""

    def __init__(self, crud):
        self.crud = crud

    def __getattr__(self, name):
        self.crud.events.append(f"lookup crud.{name}")
        return getattr(self.crud, name)


class TracedSettings:
    """User settings whose reads of `user_sub` show among the events."""

    def __init__(self, events):
        self.events = events

    @property
    def user_sub(self):
        self.events.append("settings.user_sub")
        return "alice"


@pytest.mark.parametrize("name, method, argument", [
    ("start_sync_source", "update_sync_source", "SyncSourceStatus.SYNCING"),
    ("stop_sync_source", "update_sync_source", "SyncSourceStatus.STOPPED"),
    ("take_ownership", "set_sync_source_owner", "settings.user_sub"),
])
def test_data_layer_method_is_looked_up_before_its_arguments_are_read(fw, env, monkeypatch, name, method,
                                                                      argument):
    monkeypatch.setattr(sys.modules[ENUMS_MODULE], "SyncSourceStatus", TracedStatus(env.events))
    monkeypatch.setattr(fw, "crud_feedwells", TracedCrud(env.crud))
    env.settings = TracedSettings(env.events)
    env.crud.results["read_sync_source"] = Record(status=FakeStatus.IDLE, connector="folder")
    run(getattr(fw, name)(1))
    events = env.events
    lookup = events.index(f"lookup crud.{method}")
    last_read = len(events) - 1 - events[::-1].index(argument)
    assert lookup < last_read < events.index(f"crud.{method}")


class OtherStatus(enum.Enum):
    SYNCING = "other-syncing"
    SCANNING = "other-scanning"
    STOPPED = "other-stopped"


@pytest.mark.parametrize("name, blocking, error, target", [
    ("start_sync_source", FakeStatus.SYNCING, "SyncSourceAlreadyRunningError", OtherStatus.SYNCING),
    ("stop_sync_source", FakeStatus.STOPPED, "SyncSourceAlreadyStoppedError", OtherStatus.STOPPED),
])
def test_status_enumeration_is_imported_on_every_call(fw, env, monkeypatch, name, blocking,
                                                      error, target):
    env.crud.results["read_sync_source"] = Record(status=blocking)
    with pytest.raises(getattr(env, error)):
        run(getattr(fw, name)(1))

    # Replacing the enumeration in its home module changes both the guard and the write.
    monkeypatch.setattr(sys.modules[ENUMS_MODULE], "SyncSourceStatus", OtherStatus)
    env.crud.calls.clear()
    run(getattr(fw, name)(1))
    assert env.crud.calls[-1].name == "update_sync_source"
    assert env.crud.calls[-1].kwargs == (("status", target),)
    assert env.crud.calls[-1].kwargs[0][1] is target


@pytest.mark.parametrize("name", ["start_sync_source", "stop_sync_source"])
def test_failing_status_import_opens_no_session(fw, env, monkeypatch, name):
    monkeypatch.setitem(sys.modules, ENUMS_MODULE, types.ModuleType(ENUMS_MODULE))
    coroutine = getattr(fw, name)(1)  # the import belongs to the body, not to the call
    with pytest.raises(ImportError, match="SyncSourceStatus"):
        run(coroutine)
    assert env.sessions.contexts == []
    assert env.crud.calls == []


# --- ownership ------------------------------------------------------------------------------

@pytest.mark.parametrize("has_owner", [True, 1, "yes"])
def test_take_ownership_writes_the_current_user(fw, env, has_owner):
    env.settings.user_sub = "alice"
    env.sync_class.has_owner = has_owner
    record = Record(connector="folder", owner="bob")  # an existing owner is overwritten
    owned = Record(owner="alice")
    env.crud.results.update(read_sync_source=record, set_sync_source_owner=owned)

    result = run(fw.take_ownership(8))

    session = env.sessions.only.session
    assert env.crud.calls == [call("read_sync_source", session, 8),
                              call("set_sync_source_owner", session, 8, "alice")]
    assert env.get_user_settings.calls == [call("get_user_settings")]
    assert env.get_source_sync_class.calls == [call("get_source_sync_class", "folder")]
    assert result == Validated("SyncSourceReadV1", owned)
    env.assert_session_used()


@pytest.mark.parametrize("name, message", [
    ("take_ownership", "Cannot take ownership: no user is currently logged in."),
    ("release_ownership", "Cannot release ownership: no user is currently logged in."),
])
@pytest.mark.parametrize("user_sub", [None, ""], ids=["none", "empty"])
def test_ownership_needs_a_logged_in_user(fw, env, name, message, user_sub):
    # Nobody is logged in when `user_sub` is None or empty; an empty owner is never stored.
    env.settings.user_sub = user_sub
    with pytest.raises(env.NoUserLoggedInError) as info:
        run(getattr(fw, name)(404))
    assert type(info.value) is env.NoUserLoggedInError
    assert info.value.args == (message,)
    assert env.sessions.contexts == []
    assert env.crud.calls == [] and env.get_source_sync_class.calls == []


class Connector:
    """A connector identifier that formats differently from its str()."""

    def __str__(self):
        return "by-str"

    def __format__(self, spec):
        return f"by-format[{spec}]"


@pytest.mark.parametrize("has_owner", [False, 0, None, ""])
@pytest.mark.parametrize("connector, shown", [("qcodes", "qcodes"), (Connector(), "by-format[]"),
                                              (7, "7")])
def test_take_ownership_refuses_connectors_without_owner(fw, env, has_owner, connector, shown):
    env.sync_class.has_owner = has_owner
    env.crud.results["read_sync_source"] = Record(connector=connector)

    with pytest.raises(env.SyncSourceConnectorHasNoOwnerError) as info:
        run(fw.take_ownership(2))

    assert info.value.args == (
        f"Connector '{shown}' does not support ownership (has_owner=False).",)
    assert env.get_source_sync_class.calls[0].args[0] is connector
    assert [c.name for c in env.crud.calls] == ["read_sync_source"]
    env.assert_error_reached_session(info.value)


def test_release_ownership_clears_the_owner_unconditionally(fw, env):
    env.sync_class.has_owner = False  # not consulted
    released = Record(owner=None)
    env.crud.results["set_sync_source_owner"] = released

    result = run(fw.release_ownership(source_id=6))

    assert env.crud.calls == [call("set_sync_source_owner", env.sessions.only.session, 6, None)]
    assert env.get_source_sync_class.calls == []
    assert result == Validated("SyncSourceReadV1", released)
    env.assert_session_used()


# --- reset ----------------------------------------------------------------------------------

@pytest.mark.parametrize("given, passed", TRUTH_VALUES + [("omitted", False)])
def test_reset_passes_include_successful_as_bool(fw, env, given, passed):
    coroutine = (fw.reset_sync_source_lotlings(4) if given == "omitted"
                 else fw.reset_sync_source_lotlings(4, given))
    run(coroutine)
    assert env.crud.calls == [call("reset_lotlings", env.sessions.only.session, 4,
                                   include_successful=passed)]


def test_reset_flag_truth_error_is_raised_by_the_call(fw, env):
    with pytest.raises(ZeroDivisionError):
        fw.reset_sync_source_lotlings(4, include_successful=BadTruth())
    assert env.sessions.contexts == []


@pytest.mark.parametrize("count, expected", INT_RESULTS)
def test_reset_returns_the_count_as_int(fw, env, count, expected):
    env.crud.results["reset_lotlings"] = count
    result = run(fw.reset_sync_source_lotlings(4))
    assert type(result) is type(expected) and result == expected


@pytest.mark.parametrize("count, message", INT_RESULT_ERRORS)
def test_reset_rejects_a_count_that_is_no_number(fw, env, count, message):
    env.crud.results["reset_lotlings"] = count
    with pytest.raises(TypeError) as info:
        run(fw.reset_sync_source_lotlings(4))
    assert str(info.value) == message


# --- session frame --------------------------------------------------------------------------

@pytest.mark.parametrize("name, method", FIRST_CALL)
def test_data_layer_errors_pass_through_the_session(fw, env, name, method):
    env.crud.results["read_sync_source"] = Record(status=FakeStatus.STOPPED, connector="folder")
    failure = LookupError("sync source 9 not found")
    env.crud.errors[method] = failure
    with pytest.raises(LookupError) as info:
        run(getattr(fw, name)(9))
    assert info.value is failure
    env.assert_error_reached_session(failure)


@pytest.mark.parametrize("name, method", FIRST_CALL)
def test_exception_swallowed_by_the_session_gives_none(fw, env, name, method):
    env.sessions.swallow = True
    env.crud.errors[method] = LookupError("gone")
    assert run(getattr(fw, name)(9)) is None


# --- against the host stand-ins -------------------------------------------------------------

@pytest.fixture
def host(tmp_path, monkeypatch):
    """The real outside services on a fresh SQLite file, with alice logged in."""
    monkeypatch.setenv("VORNAL_SYNC_DB", str(tmp_path / "sync.sqlite3"))
    monkeypatch.setenv("VORNAL_USER_SUB", "alice")
    return load_feedwells()


def test_run_control_and_ownership_end_to_end(host, monkeypatch):
    from vornal_api.app.exceptions.auth.general_handler import NoUserLoggedInError
    from vornal_api.app.exceptions.sync.sync_source_handler import (
        SyncSourceAlreadyRunningError, SyncSourceAlreadyStoppedError,
        SyncSourceConnectorHasNoOwnerError)
    from vornal_sync_agent.connectors import FolderBaseConfigData
    from vornal_sync_agent.models.enums import SyncSourceStatus

    source = run(host.add_sync_source("lab", FolderBaseConfigData(path="/data")))
    sid = source.id
    assert source.status is SyncSourceStatus.IDLE

    assert run(host.start_sync_source(sid)).status is SyncSourceStatus.SYNCING
    with pytest.raises(SyncSourceAlreadyRunningError) as running:
        run(host.start_sync_source(sid))
    assert running.value.source_id == sid
    assert run(host.stop_sync_source(sid)).status is SyncSourceStatus.STOPPED
    with pytest.raises(SyncSourceAlreadyStoppedError):
        run(host.stop_sync_source(sid))
    assert run(host.get_sync_source(sid)).status is SyncSourceStatus.STOPPED

    assert run(host.take_ownership(sid)).owner == "alice"
    monkeypatch.setenv("VORNAL_USER_SUB", "")
    with pytest.raises(NoUserLoggedInError, match="no user is currently logged in"):
        run(host.take_ownership(sid))
    with pytest.raises(NoUserLoggedInError):
        run(host.release_ownership(sid))
    assert run(host.get_sync_source(sid)).owner == "alice"
    monkeypatch.delenv("VORNAL_USER_SUB")
    with pytest.raises(NoUserLoggedInError):
        run(host.take_ownership(sid))
    monkeypatch.setenv("VORNAL_USER_SUB", "bob")
    assert run(host.release_ownership(sid)).owner is None
    assert run(host.release_ownership(sid)).owner is None  # releasing twice is harmless

    qcodes = run(host._add_sync_source("db", "qcodes", {"path": "/q"}))
    with pytest.raises(SyncSourceConnectorHasNoOwnerError) as no_owner:
        run(host.take_ownership(qcodes.id))
    assert str(no_owner.value) == (
        "Connector 'qcodes' does not support ownership (has_owner=False).")
    assert run(host.get_sync_source(qcodes.id)).owner is None


def test_reset_items_end_to_end(host):
    from vornal_sync_agent.crud import NotFound
    from vornal_sync_agent.db import get_db_session_context
    from vornal_sync_agent.models import SyncItem

    sid = run(host._add_sync_source("items", "folder", {"path": "/i"})).id

    async def seed():
        async with get_db_session_context() as session:
            session.add_all([SyncItem(sync_source_id=sid, attempts=2),
                             SyncItem(sync_source_id=sid, attempts=1),
                             SyncItem(sync_source_id=sid, attempts=1, synchronized=True),
                             SyncItem(sync_source_id=sid)])
    asyncio.run(seed())

    assert run(host.reset_sync_source_lotlings(sid)) == 2
    assert run(host.reset_sync_source_lotlings(sid, "all")) == 1
    assert run(host.reset_sync_source_lotlings(sid)) == 0
    with pytest.raises(NotFound):
        run(host.reset_sync_source_lotlings(sid + 100))
