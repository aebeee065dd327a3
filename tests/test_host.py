"""End-to-end checks of the host stand-ins that the extension modules import."""
import asyncio
import dataclasses
import json
import string
import uuid

import pytest

from vornal_api.app.schemas.sync.connectors import ConnectorRead
from vornal_api.app.schemas.sync.feedwells import (
    SyncSourceError, SyncSourceReadV1, SyncSourceScopeMappingRead)
from vornal_api.app.schemas.sync.sync_source_definition import ConnectorDefinition
from vornal_api.python_api.sync import utils
from vornal_client.remote.endpoints import bug_report
from vornal_client.settings.folders import get_log_dir
from vornal_client.settings.user_settings import get_user_settings
from vornal_sync_agent.connectors import (
    FolderBaseConfigData, QCoDeSConfigData, get_source_sync_class, get_sync_connectors)
from vornal_sync_agent.connectors.connector_info_extractor import get_sync_source_info
from vornal_sync_agent.crud import AlreadyExists, NotFound
from vornal_sync_agent.crud.feedwells import crud_feedwells as crud
from vornal_sync_agent.db import get_db_session_context
from vornal_sync_agent.models import Scope, SyncItem, SyncSourceErrorRecord
from vornal_sync_agent.models.enums import SyncSourceStatus


@pytest.fixture(autouse=True)
def sync_db(tmp_path, monkeypatch):
    path = tmp_path / "sync.sqlite3"
    monkeypatch.setenv("VORNAL_SYNC_DB", str(path))
    return path


def run(coro_fn):
    """Runs `coro_fn(session)` in one session context and returns its result."""
    async def main():
        async with get_db_session_context() as session:
            return await coro_fn(session)
    return asyncio.run(main())


def test_session_commits_and_rolls_back(sync_db):
    run(lambda s: crud.create_sync_source(s, "kept", "folder", {"path": "/a"}, None))
    assert sync_db.exists()

    async def fail(session):
        await crud.create_sync_source(session, "dropped", "folder", {"path": "/b"}, None)
        raise RuntimeError("boom")
    with pytest.raises(RuntimeError, match="boom"):
        run(fail)

    names = [r.name for r in run(crud.list_feedwells)]
    assert names == ["kept"]


def test_crud_round_trip():
    scope = uuid.uuid4()
    record = run(lambda s: crud.create_sync_source(s, "src", "folder", {"path": "/d"}, scope))
    model = SyncSourceReadV1.model_validate(record)
    assert (model.connector_identifier, model.default_scope, model.status) == (
        "folder", scope, SyncSourceStatus.IDLE)
    assert model.last_update is None
    with pytest.raises(AlreadyExists):
        run(lambda s: crud.create_sync_source(s, "src", "folder", {}, None))

    sid = record.id
    rec = run(lambda s: crud.update_sync_source(s, sid, status=SyncSourceStatus.SYNCING))
    assert rec.status is SyncSourceStatus.SYNCING and rec.last_update is not None
    rec = run(lambda s: crud.update_sync_source(s, sid, "renamed", default_scope=None,
                                                config_data={"path": "/e"},
                                                autoassign_scope_mapping=None))
    assert (rec.name, rec.default_scope, rec.config_data) == ("renamed", scope, {"path": "/e"})
    assert run(lambda s: crud.read_sync_source_by_name(s, "renamed")).id == sid
    assert run(lambda s: crud.set_sync_source_owner(s, sid, "alice")).owner == "alice"
    assert run(lambda s: crud.set_sync_source_owner(s, sid, None)).owner is None

    async def seed(session):
        session.add_all([
            SyncItem(sync_source_id=sid, scope_identifier="Alpha", attempts=2),
            SyncItem(sync_source_id=sid, scope_identifier="beta", attempts=1, synchronized=True),
            SyncItem(sync_source_id=sid, scope_identifier="gamma"),
            Scope(uuid=uuid.uuid4(), name="alpha"),
            Scope(uuid=uuid.uuid4(), name="Gamma"), Scope(uuid=uuid.uuid4(), name="GAMMA"),
        ] + [SyncSourceErrorRecord(sync_source_id=sid, message=f"e{i}") for i in range(12)])
    run(seed)
    assert run(lambda s: crud.reset_lotlings(s, sid)) == 1
    assert run(lambda s: crud.reset_lotlings(s, sid, include_successful=True)) == 1

    assert run(lambda s: crud.get_unmapped_scope_identifiers(s, None)) == ["Alpha", "beta", "gamma"]
    target = uuid.uuid4()
    mapping = run(lambda s: crud.create_scope_mapping(s, sid, "beta", str(target),
                                                      update_statistics=True))
    assert SyncSourceScopeMappingRead.model_validate(mapping).scope_uuid == target
    run(lambda s: crud.update_scope_mapping(s, sid, "beta", uuid.uuid4(), update_statistics=True))
    assert run(lambda s: crud.autoassign_scope_mappings(s, sid)) == 1  # gamma is ambiguous
    assert run(lambda s: crud.get_unmapped_scope_identifiers(s, sid)) == ["gamma"]
    run(lambda s: crud.delete_scope_mapping(s, sid, "beta"))
    with pytest.raises(NotFound):
        run(lambda s: crud.delete_scope_mapping(s, sid, "beta"))

    page = run(lambda s: crud.read_sync_source_errors(s, sid, skip=0, limit=10))
    assert [SyncSourceError.model_validate(e).message for e in page] == [f"e{i}" for i in range(10)]
    run(lambda s: crud.set_sync_source_error_viewed(s, page[0].id, True))
    assert len(run(lambda s: crud.read_sync_source_errors(s, sid, viewed=False))) == 11
    assert run(lambda s: crud.mark_all_sync_source_errors_viewed(s, sid)) == 11
    assert run(lambda s: crud.mark_all_sync_source_errors_viewed(s, sid)) == 0

    run(lambda s: crud.delete_sync_source(s, sid))
    with pytest.raises(NotFound):
        run(lambda s: crud.read_sync_source(s, sid))


def test_connector_registry():
    connectors = get_sync_connectors()
    assert list(connectors) == ["folder", "qcodes"]
    config = QCoDeSConfigData(path="/x")
    first = next(e for e in connectors.values() if isinstance(config, e.config_class))
    assert first.identifier == "folder"  # first match wins, the subclass's connector comes later
    assert get_source_sync_class("folder").has_owner is True
    assert get_source_sync_class("qcodes").has_owner is False
    assert ConnectorRead.model_validate(connectors.get("qcodes")).identifier == "qcodes"
    for ident, entry in connectors.items():
        d = ConnectorDefinition.model_validate(
            get_sync_source_info(ident, entry.sync_class, entry.config_class))
        assert d.identifier == ident
    assert dataclasses.asdict(FolderBaseConfigData(path="/y")) == {"path": "/y", "recursive": False}


def test_report_template_and_bug_report(tmp_path, monkeypatch):
    fields = {f for _, f, _, _ in string.Formatter().parse(utils.REPORT_TEMPLATE_SYNC_SOURCE) if f}
    assert fields == {
        "message", "sync_source_id", "sync_source_name", "sync_source_connector",
        "sync_source_status", "sync_source_owner", "sync_source_default_scope",
        "sync_source_config_data", "items_total", "items_synchronized", "items_failed",
        "last_update", "connector_info", "errors"}
    assert "not registered" in utils.format_connector_info(None)
    assert "no errors" in utils.format_sync_source_errors([])

    out = tmp_path / "reports.jsonl"
    monkeypatch.setenv("VORNAL_BUG_REPORT_FILE", str(out))
    monkeypatch.setattr(bug_report, "SENT_REPORTS", [])
    payload = bug_report.BugReportCreateV3(subject="Sync Source BUG REPORT", description="text")
    assert bug_report.report_bug(payload) is None
    assert bug_report.SENT_REPORTS == [payload]
    assert json.loads(out.read_text()) == {"subject": "Sync Source BUG REPORT", "description": "text"}


def test_settings_from_environment(tmp_path, monkeypatch):
    monkeypatch.setenv("VORNAL_LOG_DIR", str(tmp_path))
    assert get_log_dir() == tmp_path
    monkeypatch.delenv("VORNAL_USER_SUB", raising=False)
    assert get_user_settings().user_sub is None
    monkeypatch.setenv("VORNAL_USER_SUB", "alice")
    assert get_user_settings().user_sub == "alice"
    import vornal_api, vornal_sync_agent
    assert vornal_api.LOG_FILE_NAME.endswith(".log")
    assert vornal_sync_agent.LOG_FILE_NAME.endswith(".log")
