"""Bug reports about sync items (lotlings)."""
import datetime as dt
import enum
import types
import uuid

import pytest

from lotlings_fakes import check_interface, env, lot  # noqa: F401  (fixtures)
from recording_fakes import (
    AsyncRecorder, Falsy, Label, Record, Validated, call, check_argument_error, entry, run)

SCOPE = uuid.UUID("3d5e7f90-1a2b-4c3d-8e4f-5a6b7c8d9e0f")
DATASET = uuid.UUID("6f1c2a52-3c1e-4c8e-9d44-1b2f3a4c5d6e")
UPDATED = dt.datetime(2026, 3, 4, 5, 6, 7, tzinfo=dt.timezone.utc)
SUBJECT = "Sync Item BUG REPORT"
ARGS_SECTION = ("Args:\n"
                "    sync_item_id: The ID of the sync item to report on.\n"
                "    message: A message describing the reason for the report (e.g., error description).")
RETURNS_SECTION = "Returns:\n    The generated report content as a string."

DOCS = [
    ("generate_sync_item_report", "str",
     f"Generate a detailed report for a sync item.\n\n{ARGS_SECTION}\n\n{RETURNS_SECTION}"),
    ("get_sync_item_error_report", "str",
     "Get an error report for a sync item without sending it.\n\n"
     "This is useful when the server cannot send the report automatically,\n"
     "allowing the user to retrieve and send it manually.\n\n"
     f"{ARGS_SECTION}\n\n{RETURNS_SECTION}"),
    ("report_sync_item", "None",
     f"Generate and send a detailed report for a sync item to Brindle.\n\n{ARGS_SECTION}"),
]


@pytest.mark.parametrize("name, returns, prose", DOCS, ids=[d[0] for d in DOCS])
def test_interface(lot, name, returns, prose):
    func = getattr(lot, name)
    signature = f"{name}(int sync_item_id: int, str message: str) -> {returns}"
    check_interface(func, signature, prose.split("\n")[0],
                    {"sync_item_id": "int", "message": "str", "return": returns}, None)
    assert func.__doc__ == f"{signature}\n\n{prose}"


def test_local_variable_names(lot):
    assert lot.generate_sync_item_report.__code__.co_varnames == (
        "sync_item_id", "message", "session", "item", "sync_source", "connectors", "connector",
        "connector_read", "item_read")
    assert lot.get_sync_item_error_report.__code__.co_varnames == ("sync_item_id", "message")
    assert lot.report_sync_item.__code__.co_varnames == (
        "sync_item_id", "message", "report_content", "bug_report")


ARGUMENT_ERRORS = [
    ("generate_sync_item_report", (1,), {},
     "generate_sync_item_report() takes exactly 2 positional arguments (1 given)", False),
    ("get_sync_item_error_report", (1, "m", "x"), {},
     "get_sync_item_error_report() takes exactly 2 positional arguments (3 given)", False),
    ("get_sync_item_error_report", (1, None), {},
     "Argument 'message' has incorrect type (expected str, got NoneType)", False),
    ("report_sync_item", ("1", "m"), {},
     "Argument 'sync_item_id' has incorrect type (expected int, got str)", False),
    ("report_sync_item", (1, Label("m")), {},
     "Argument 'message' has incorrect type (expected str, got Label)", True),
]


@pytest.mark.parametrize("name, args, kwargs, message, note", ARGUMENT_ERRORS)
def test_argument_errors_are_raised_by_the_call(lot, env, name, args, kwargs, message, note):
    check_argument_error(getattr(lot, name), args, kwargs, message, note)
    assert env.sessions.contexts == [] and env.report_bug.calls == []


class ItemStatus(enum.Enum):
    FAILED = "failed"


class SourceStatus(str, enum.Enum):
    SYNCING = "syncing"


class Traced:
    """An object whose attribute reads show among the events as "<label>.<name>"."""

    def __init__(self, events, label, **fields):
        object.__setattr__(self, "_events", events)
        object.__setattr__(self, "_label", label)
        object.__setattr__(self, "_fields", fields)

    def __getattr__(self, name):
        fields = object.__getattribute__(self, "_fields")
        if name not in fields:
            raise AttributeError(name)
        object.__getattribute__(self, "_events").append(f"{self._label}.{name}")
        return fields[name]


def item_model(events, **changes):
    fields = dict(id=7, data_identifier="run7.h5", dataset_uuid=DATASET, sync_priority=2.5,
                  has_priority=False, attempts=3, status=ItemStatus.FAILED, last_update=UPDATED,
                  sync_record=["upload failed"])
    fields.update(changes)
    return Traced(events, "item_read", **fields)


def source_record(events, **changes):
    fields = dict(name="bench", connector="folder-impl", status=SourceStatus.SYNCING,
                  owner="alice", default_scope=SCOPE, config_data={"path": "/data"})
    fields.update(changes)
    return Traced(events, "sync_source", **fields)


@pytest.fixture
def report(env):
    """Item 7 of source 3, whose connector "folder-impl" is registered."""
    scenario = types.SimpleNamespace(item=Record(sync_source_id=3), entry=entry("folder-impl"))
    scenario.model = item_model(env.events)
    scenario.source = source_record(env.events)
    env.crud.results["read_sync_item"] = scenario.item
    env.sources.results["read_sync_source"] = scenario.source
    env.models["SyncItemReadV1"].build = lambda record: scenario.model
    env.registry["folder-impl"] = scenario.entry
    return scenario


def template_keywords(report, message="it broke", **changes):
    """The seventeen keywords in the order in which they must be passed (a recorded call
    compares its keywords in order)."""
    values = dict(message=message, sync_item_id=7, data_identifier="run7.h5",
                  dataset_uuid=DATASET, sync_priority=2.5, has_priority=False, attempts=3,
                  status="failed", last_update=UPDATED.isoformat(), sync_source_name="bench",
                  sync_source_connector="folder-impl", sync_source_status="syncing",
                  sync_source_owner="alice", sync_source_default_scope=SCOPE,
                  sync_source_config_data=report.source._fields["config_data"],
                  connector_info="CONNECTOR INFO", logs="LOG LINES")
    values.update(changes)
    return call("format", **values)


def test_generate_fills_the_template_from_one_session(lot, env, report):
    text = run(lot.generate_sync_item_report(7.5, "it broke"))

    assert text is env.template.result
    session = env.sessions.only.session
    assert env.crud.calls == [call("read_sync_item", session, 7)]
    # The source's id comes from the data layer's record, not from the read model.
    assert env.sources.calls == [call("read_sync_source", session, 3)]
    assert env.get_sync_connectors.calls == [call("get_sync_connectors")]
    assert env.registry.lookups == ["folder-impl"]
    assert env.models["ConnectorRead"].seen == [report.entry]
    assert env.models["SyncItemReadV1"].seen == [report.item]
    assert env.format_connector_info.calls == [
        call("format_connector_info", Validated("ConnectorRead", report.entry))]
    assert env.format_sync_record_logs.calls == [call("format_sync_record_logs", ["upload failed"])]
    assert env.template.calls == [template_keywords(report)]
    env.assert_session_used(env.sources)


def test_generate_steps_and_attribute_reads_in_order(lot, env, report):
    run(lot.generate_sync_item_report(7, "it broke"))
    assert env.events == [
        "session.open", "session.enter", "crud.read_sync_item", "crud.read_sync_source",
        "get_sync_connectors", "sync_source.connector", "registry.get",
        "ConnectorRead.model_validate", "SyncItemReadV1.model_validate",
        "item_read.id", "item_read.data_identifier", "item_read.dataset_uuid",
        "item_read.sync_priority", "item_read.has_priority", "item_read.attempts",
        "item_read.status",
        # last_update: once for the test, again for isoformat()
        "item_read.last_update", "item_read.last_update",
        "sync_source.name", "sync_source.connector",
        # status: once for the test of `value`, again for the value itself
        "sync_source.status", "sync_source.status",
        "sync_source.owner", "sync_source.default_scope", "sync_source.config_data",
        "format_connector_info", "item_read.sync_record", "format_sync_record_logs",
        "template.format", "session.exit"]


class LookedUp:
    """Stands in front of an object and records each attribute lookup on it as
    "looked up <label>.<name>" among the events."""

    def __init__(self, target, label, events):
        object.__setattr__(self, "_target", target)
        object.__setattr__(self, "_label", label)
        object.__setattr__(self, "_events", events)

    def __getattr__(self, name):
        self._events.append(f"looked up {self._label}.{name}")
        return getattr(self._target, name)


def test_methods_are_looked_up_before_their_arguments_are_read(lot, env, report, monkeypatch):
    report.item = Traced(env.events, "item", sync_source_id=3)
    env.crud.results["read_sync_item"] = report.item
    monkeypatch.setattr(lot, "crud_feedwells", LookedUp(env.sources, "crud_feedwells", env.events))
    monkeypatch.setattr(lot, "REPORT_TEMPLATE_SYNC_ITEM", LookedUp(env.template, "template", env.events))
    env.get_sync_connectors.compute = lambda: LookedUp(env.registry, "connectors", env.events)
    run(lot.generate_sync_item_report(7, "it broke"))
    assert env.events[:13] == [
        "session.open", "session.enter", "crud.read_sync_item",
        "looked up crud_feedwells.read_sync_source", "item.sync_source_id", "crud.read_sync_source",
        "get_sync_connectors", "looked up connectors.get", "sync_source.connector", "registry.get",
        "ConnectorRead.model_validate", "SyncItemReadV1.model_validate",
        "looked up template.format"]
    assert env.events[13] == "item_read.id"
    assert env.template.calls == [template_keywords(report)]


FIELD_RULES = [
    ("no last update", dict(last_update=None), {}, dict(last_update="N/A")),
    ("no owner", {}, dict(owner=None), dict(sync_source_owner="N/A")),
    ("empty owner", {}, dict(owner=""), dict(sync_source_owner="N/A")),
    ("no default scope", {}, dict(default_scope=None), dict(sync_source_default_scope="N/A")),
    ("empty default scope", {}, dict(default_scope=""), dict(sync_source_default_scope="N/A")),
    ("plain status", {}, dict(status="paused"), dict(sync_source_status="paused")),
    ("empty config", {}, dict(config_data={}), dict(sync_source_config_data={})),
    ("values as given", dict(id=0, has_priority=True, sync_priority=0.0, dataset_uuid=None),
     {}, dict(sync_item_id=0, has_priority=True, sync_priority=0.0, dataset_uuid=None)),
]


@pytest.mark.parametrize("item_changes, source_changes, expected",
                         [rule[1:] for rule in FIELD_RULES], ids=[rule[0] for rule in FIELD_RULES])
def test_report_fields(lot, env, report, item_changes, source_changes, expected):
    report.model = item_model(env.events, **item_changes)
    env.sources.results["read_sync_source"] = report.source = source_record(env.events, **source_changes)
    run(lot.generate_sync_item_report(7, ""))
    assert env.template.calls == [template_keywords(report, message="", **expected)]


@pytest.mark.parametrize("registered", [None, Falsy()], ids=["missing", "false entry"])
def test_unregistered_connector_still_gives_a_report(lot, env, report, registered):
    if registered is None:
        env.registry.clear()
    else:
        env.registry["folder-impl"] = registered
    assert run(lot.generate_sync_item_report(7, "m")) == env.template.result
    assert env.models["ConnectorRead"].seen == []
    assert env.format_connector_info.calls == [call("format_connector_info", None)]


@pytest.mark.parametrize("result, error", [
    (None, None), ("", None), (b"bytes", "Expected str, got bytes"), (Label("x"), "Expected str, got Label")])
def test_report_text_must_be_a_str(lot, env, report, result, error):
    env.template.result = result
    if error is None:
        assert run(lot.generate_sync_item_report(7, "m")) is result
        return
    with pytest.raises(TypeError) as info:
        run(lot.generate_sync_item_report(7, "m"))
    assert str(info.value) == error
    env.assert_error_reached_session(info.value)


def test_failing_source_read_stops_the_report(lot, env, report):
    error = LookupError("source 3 is gone")
    env.sources.errors["read_sync_source"] = error
    with pytest.raises(LookupError) as info:
        run(lot.generate_sync_item_report(7, "m"))
    assert info.value is error
    env.assert_error_reached_session(error)
    assert env.get_sync_connectors.calls == [] and env.template.calls == []


def test_error_report_returns_the_generated_text(lot, env, report):
    generated = run(lot.generate_sync_item_report(7, "m"))
    assert run(lot.get_sync_item_error_report(7, "m")) == generated
    assert len(env.sessions.contexts) == 2
    assert env.report_bug.calls == []


@pytest.mark.parametrize("value, error", [("text", None), (None, None), (5, "Expected str, got int")])
def test_error_report_calls_the_generator_by_name(lot, env, monkeypatch, value, error):
    generate = AsyncRecorder("generate_sync_item_report", env.events, result=value)
    monkeypatch.setattr(lot, "generate_sync_item_report", generate)
    if error is None:
        assert run(lot.get_sync_item_error_report(4.2, "why")) is value
    else:
        with pytest.raises(TypeError, match=error):
            run(lot.get_sync_item_error_report(4.2, "why"))
    assert generate.calls == [call("generate_sync_item_report", 4, "why")]
    assert env.sessions.contexts == []


def test_report_sends_one_bug_report(lot, env, report):
    assert run(lot.report_sync_item(7, "it broke")) is None
    assert env.BugReportCreateV3.calls == [
        call("BugReportCreateV3", subject=SUBJECT, description=env.template.result)]
    assert env.report_bug.calls == [call("report_bug", env.payload)]
    assert env.events[-3:] == ["session.exit", "BugReportCreateV3", "report_bug"]


def test_report_hands_the_generated_text_on(lot, env, monkeypatch):
    generate = AsyncRecorder("generate_sync_item_report", env.events, result="GENERATED")
    monkeypatch.setattr(lot, "generate_sync_item_report", generate)
    env.report_bug.result = "ignored"
    assert run(lot.report_sync_item(9, "")) is None
    assert generate.calls == [call("generate_sync_item_report", 9, "")]
    assert env.BugReportCreateV3.calls == [
        call("BugReportCreateV3", subject=SUBJECT, description="GENERATED")]


@pytest.mark.parametrize("failing", ["BugReportCreateV3", "report_bug"])
def test_sending_failure_propagates(lot, env, report, failing):
    error = ConnectionError("platform unreachable")
    getattr(env, failing).error = error
    with pytest.raises(ConnectionError) as info:
        run(lot.report_sync_item(7, "m"))
    assert info.value is error
