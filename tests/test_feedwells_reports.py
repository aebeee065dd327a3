"""Bug reports about sync sources (feedwells)."""
import asyncio
import datetime as dt
import enum
import types
import uuid

import pytest

from feedwells_fakes import (  # noqa: F401  (fixtures)
    AsyncRecorder, FakeStatus, Label, Record, Validated, ValidationFailed, call,
    check_argument_error, check_interface, entry, env, fw, load_feedwells, run)

SCOPE = uuid.UUID("0b6f7f1e-8a3d-4f55-9e1a-2c3d4e5f6a7b")
UPDATED = dt.datetime(2026, 3, 4, 5, 6, 7, tzinfo=dt.timezone.utc)
SUBJECT = "Sync Source BUG REPORT"

INTERFACE = [
    ("generate_sync_source_report",
     "generate_sync_source_report(int source_id: int, str message: str) -> str",
     "Generate a detailed report for a sync source.",
     {"source_id": "int", "message": "str", "return": "str"}),
    ("get_sync_source_error_report",
     "get_sync_source_error_report(int source_id: int, str message: str) -> str",
     "Get an error report for a sync source without sending it.",
     {"source_id": "int", "message": "str", "return": "str"}),
    ("report_sync_source",
     "report_sync_source(int source_id: int, str message: str) -> None",
     "Generate and send a detailed report for a sync source to Brindle.",
     {"source_id": "int", "message": "str", "return": "None"}),
]


@pytest.mark.parametrize("name, signature, first_sentence, annotations", INTERFACE,
                         ids=[row[0] for row in INTERFACE])
def test_interface(fw, name, signature, first_sentence, annotations):
    check_interface(getattr(fw, name), signature, first_sentence, annotations, None)


ARGUMENT_ERRORS = [
    ("generate_sync_source_report", (1,), {},
     "generate_sync_source_report() takes exactly 2 positional arguments (1 given)", False),
    ("generate_sync_source_report", (1, "m", "x"), {},
     "generate_sync_source_report() takes exactly 2 positional arguments (3 given)", False),
    ("get_sync_source_error_report", (1, None), {},
     "Argument 'message' has incorrect type (expected str, got NoneType)", False),
    ("get_sync_source_error_report", (), {"message": "m"},
     "get_sync_source_error_report() takes exactly 2 positional arguments (0 given)", False),
    ("report_sync_source", ("1", "m"), {},
     "Argument 'source_id' has incorrect type (expected int, got str)", False),
    ("report_sync_source", (1, Label("m")), {},
     "Argument 'message' has incorrect type (expected str, got Label)", True),
    ("report_sync_source", (1,), {"message": "m", "subject": "s"},
     "report_sync_source() got an unexpected keyword argument 'subject'", False),
]


@pytest.mark.parametrize("name, args, kwargs, message, note", ARGUMENT_ERRORS)
def test_argument_errors_are_raised_by_the_call(fw, env, name, args, kwargs, message, note):
    check_argument_error(getattr(fw, name), args, kwargs, message, note)
    assert env.sessions.contexts == [] and env.report_bug.calls == []


def read_model(**changes):
    fields = dict(id=5, name="lab data", connector_identifier="folder",
                  status=FakeStatus.SYNCING, owner="alice", default_scope=SCOPE,
                  config_data={"path": "/data"}, items_total=12, items_synchronized=9,
                  items_failed=3, last_update=UPDATED)
    fields.update(changes)
    return types.SimpleNamespace(**fields)


class TracedRecord:
    """A data-layer record whose reads of `connector` show among the events."""

    def __init__(self, events, connector):
        self.events = events
        self._connector = connector

    @property
    def connector(self):
        self.events.append("record.connector")
        return self._connector


@pytest.fixture
def report(env):
    """A source whose record names connector "folder-impl"; its read model says "folder"."""
    scenario = types.SimpleNamespace(
        record=TracedRecord(env.events, "folder-impl"),
        errors=[Record(id=1), Record(id=2)],
        model=read_model(),
        entry=entry("folder-impl"),
    )
    env.crud.results.update(read_sync_source=scenario.record,
                            read_sync_source_errors=scenario.errors)
    env.models["SyncSourceReadV1"].build = lambda record: scenario.model
    env.registry.update({"folder-impl": scenario.entry})
    return scenario


def keywords(model, message="it broke", **changes):
    """The template keywords, in the order in which they must be passed."""
    values = dict(message=message, sync_source_id=model.id, sync_source_name=model.name,
                  sync_source_connector=model.connector_identifier,
                  sync_source_status="syncing", sync_source_owner="alice",
                  sync_source_default_scope=SCOPE, sync_source_config_data=model.config_data,
                  items_total=12, items_synchronized=9, items_failed=3,
                  last_update=UPDATED.isoformat(), connector_info="CONNECTOR INFO",
                  errors="ERROR LINES")
    values.update(changes)
    return values


def test_generate_fills_the_template_from_one_session(fw, env, report):
    text = run(fw.generate_sync_source_report(5, "it broke"))

    assert text is env.template.result
    session = env.sessions.only.session
    assert env.crud.calls == [call("read_sync_source", session, 5),
                              call("read_sync_source_errors", session, 5, skip=0, limit=10)]
    assert env.models["SyncSourceReadV1"].seen == [report.record]
    assert env.registry.lookups == ["folder-impl"]  # the record's connector, not the model's
    connector = Validated("ConnectorRead", report.entry)
    errors = [Validated("SyncSourceError", e) for e in report.errors]
    assert env.format_connector_info.calls == [call("format_connector_info", connector)]
    assert env.format_sync_source_errors.calls == [call("format_sync_source_errors", errors)]
    assert env.template.calls == [call("format", **keywords(report.model))]
    assert env.template.calls[0].kwargs[7][1] is report.model.config_data
    assert env.events == [
        "session.open", "session.enter",
        "crud.read_sync_source", "crud.read_sync_source_errors",
        "SyncSourceError.model_validate", "SyncSourceError.model_validate",
        "SyncSourceReadV1.model_validate",
        # get_sync_connectors().get(record.connector): the registry first, then the key.
        "get_sync_connectors", "record.connector", "registry.get", "ConnectorRead.model_validate",
        "format_connector_info", "format_sync_source_errors", "template.format",
        "session.exit",
    ]
    env.assert_session_used()


class Level(enum.Enum):
    HIGH = 3


@pytest.mark.parametrize("status, shown", [
    (FakeStatus.SCANNING, "scanning"),
    (Level.HIGH, 3),
    ("paused", "paused"),
    (None, None),
    (types.SimpleNamespace(value="custom"), "custom"),
])
def test_status_is_shown_by_its_value(fw, env, report, status, shown):
    report.model = read_model(status=status)
    run(fw.generate_sync_source_report(5, "m"))
    (used,) = env.template.calls
    assert dict(used.kwargs)["sync_source_status"] == shown
    assert type(dict(used.kwargs)["sync_source_status"]) is type(shown)


@pytest.mark.parametrize("owner, scope, updated, shown", [
    (None, None, None, ("N/A", "N/A", "N/A")),
    ("", "", None, ("N/A", "N/A", "N/A")),
    ("bob", SCOPE, UPDATED, ("bob", SCOPE, UPDATED.isoformat())),
    ("bob", str(SCOPE), dt.date(2026, 1, 2), ("bob", str(SCOPE), "2026-01-02")),
])
def test_missing_owner_scope_and_update_show_not_available(fw, env, report, owner, scope,
                                                           updated, shown):
    report.model = read_model(owner=owner, default_scope=scope, last_update=updated,
                              items_total=0, items_synchronized=0, items_failed=0)
    run(fw.generate_sync_source_report(5, "m"))
    (used,) = env.template.calls
    expected = keywords(report.model, message="m", sync_source_owner=shown[0],
                        sync_source_default_scope=shown[1], last_update=shown[2],
                        items_total=0, items_synchronized=0, items_failed=0)
    assert used == call("format", **expected)


@pytest.mark.parametrize("registered", [None, {}, 0], ids=["absent", "empty-entry", "zero"])
def test_unregistered_connector_gives_none_to_the_formatter(fw, env, report, registered):
    env.registry.clear()
    if registered is not None:
        env.registry["folder-impl"] = registered
    run(fw.generate_sync_source_report(5, "m"))
    assert env.format_connector_info.calls == [call("format_connector_info", None)]
    assert env.models["ConnectorRead"].seen == []


@pytest.mark.parametrize("shape", [list, tuple, iter], ids=["list", "tuple", "iterator"])
def test_error_records_reach_the_formatter_as_a_list(fw, env, report, shape):
    env.crud.results["read_sync_source_errors"] = shape(report.errors)
    run(fw.generate_sync_source_report(5, "m"))
    expected = [Validated("SyncSourceError", e) for e in report.errors]
    assert env.format_sync_source_errors.calls == [call("format_sync_source_errors", expected)]


def test_source_without_errors_still_reports(fw, env, report):
    env.crud.results["read_sync_source_errors"] = []
    assert run(fw.generate_sync_source_report(5, "m")) == "REPORT TEXT"
    assert env.format_sync_source_errors.calls == [call("format_sync_source_errors", [])]


class Text(str):
    pass


@pytest.mark.parametrize("text, message", [
    (b"REPORT", "Expected str, got bytes"),
    (Text("REPORT"), "Expected str, got Text"),
    (["REPORT"], "Expected str, got list"),
])
def test_generate_rejects_a_template_result_that_is_no_str(fw, env, report, text, message):
    env.template.result = text
    with pytest.raises(TypeError) as info:
        run(fw.generate_sync_source_report(5, "m"))
    assert str(info.value) == message


def test_generate_passes_a_none_text_on(fw, env, report):
    env.template.result = None
    assert run(fw.generate_sync_source_report(5, "m")) is None


@pytest.mark.parametrize("failing", ["read_sync_source", "read_sync_source_errors"])
def test_generate_failures_pass_through_the_session(fw, env, report, failing):
    failure = LookupError("sync source 5 not found")
    env.crud.errors[failing] = failure
    with pytest.raises(LookupError) as info:
        run(fw.generate_sync_source_report(5, "m"))
    assert info.value is failure
    env.assert_error_reached_session(failure)
    assert env.template.calls == []


def test_generate_validation_failure_passes_through(fw, env, report):
    env.models["SyncSourceError"].reject.append(report.errors[1])
    with pytest.raises(ValidationFailed) as info:
        run(fw.generate_sync_source_report(5, "m"))
    env.assert_error_reached_session(info.value)
    assert env.template.calls == []


# --- get_sync_source_error_report and report_sync_source ------------------------------------

@pytest.fixture
def generate(fw, monkeypatch):
    """Replaces the module's report generator; both callers look it up on every call."""
    fake = AsyncRecorder("generate_sync_source_report", [], result="GENERATED")
    monkeypatch.setattr(fw, "generate_sync_source_report", fake)
    return fake


@pytest.mark.parametrize("text", ["GENERATED", "", None])
def test_error_report_returns_the_generated_text(fw, env, generate, text):
    generate.result = text
    result = run(fw.get_sync_source_error_report(message="why", source_id=5.6))
    assert result is text
    assert generate.calls == [call("generate_sync_source_report", 5, "why")]
    assert env.sessions.contexts == []


@pytest.mark.parametrize("text, message", [(42, "Expected str, got int"),
                                           (Text("x"), "Expected str, got Text")])
def test_error_report_rejects_text_that_is_no_str(fw, env, generate, text, message):
    generate.result = text
    with pytest.raises(TypeError) as info:
        run(fw.get_sync_source_error_report(5, "why"))
    assert str(info.value) == message


def test_report_sends_the_generated_text(fw, env, generate):
    env.report_bug.result = object()  # not awaitable: the send is synchronous

    assert run(fw.report_sync_source(5, "why")) is None

    assert generate.calls == [call("generate_sync_source_report", 5, "why")]
    assert env.BugReportCreateV3.calls == [
        call("BugReportCreateV3", subject=SUBJECT, description="GENERATED")]
    assert env.report_bug.calls == [call("report_bug", env.payload)]
    assert env.sessions.contexts == []


@pytest.mark.parametrize("stage", ["generate", "payload", "send"])
def test_report_failures_propagate(fw, env, generate, stage):
    failure = ConnectionError("platform unreachable")
    {"generate": generate, "payload": env.BugReportCreateV3,
     "send": env.report_bug}[stage].error = failure
    with pytest.raises(ConnectionError) as info:
        run(fw.report_sync_source(5, "why"))
    assert info.value is failure
    if stage != "send":
        assert env.report_bug.calls == []


def test_report_without_replaced_generator(fw, env, report):
    assert run(fw.get_sync_source_error_report(5, "first")) == "REPORT TEXT"
    run(fw.report_sync_source(5, "second"))
    assert env.BugReportCreateV3.calls == [
        call("BugReportCreateV3", subject=SUBJECT, description="REPORT TEXT")]
    messages = [dict(c.kwargs)["message"] for c in env.template.calls]
    assert messages == ["first", "second"]
    assert len(env.sessions.contexts) == 2


# --- against the host stand-ins -------------------------------------------------------------

def test_reports_end_to_end(tmp_path, monkeypatch):
    monkeypatch.setenv("VORNAL_SYNC_DB", str(tmp_path / "sync.sqlite3"))
    fw = load_feedwells()
    from vornal_client.remote.endpoints import bug_report
    from vornal_sync_agent.crud import NotFound
    from vornal_sync_agent.db import get_db_session_context
    from vornal_sync_agent.models import SyncSourceErrorRecord

    from vornal_api.app.schemas.sync.connectors import ConnectorRead
    from vornal_api.python_api.sync import utils
    from vornal_sync_agent.connectors import get_sync_connectors

    monkeypatch.setattr(bug_report, "SENT_REPORTS", [])
    sid = run(fw._add_sync_source("reported", "folder", {"path": "/r"})).id
    bare = run(fw.generate_sync_source_report(sid, "nothing yet"))
    connector = ConnectorRead.model_validate(get_sync_connectors()["folder"])
    assert bare == utils.REPORT_TEMPLATE_SYNC_SOURCE.format(
        message="nothing yet", sync_source_id=sid, sync_source_name="reported",
        sync_source_connector="folder", sync_source_status="idle", sync_source_owner="N/A",
        sync_source_default_scope="N/A", sync_source_config_data={"path": "/r"},
        items_total=0, items_synchronized=0, items_failed=0, last_update="N/A",
        connector_info=utils.format_connector_info(connector),
        errors=utils.format_sync_source_errors([]))

    async def seed():
        async with get_db_session_context() as session:
            session.add_all([SyncSourceErrorRecord(sync_source_id=sid, message=f"failure {i}")
                             for i in range(12)])
    asyncio.run(seed())

    text = run(fw.get_sync_source_error_report(sid, "uploads fail"))
    first_ten = run(fw.read_sync_source_errors(sid, limit=10))
    assert utils.format_sync_source_errors(first_ten) in text
    assert "failure 9" in text and "failure 10" not in text  # the first ten only

    assert run(fw.report_sync_source(sid, "uploads fail")) is None
    (sent,) = bug_report.SENT_REPORTS
    assert sent.subject == SUBJECT and sent.description == text

    with pytest.raises(NotFound):
        run(fw.report_sync_source(sid + 1, "gone"))
    assert len(bug_report.SENT_REPORTS) == 1
