"""Sync items end to end: the lotlings module over the stand-in sync agent on a SQLite file."""
import asyncio
import string
import sys

import pytest

from lotlings_fakes import lot  # noqa: F401  (fixture)
from vornal_api.python_api.sync import utils
from vornal_client.remote.endpoints import bug_report
from vornal_sync_agent.crud import NotFound
from vornal_sync_agent.crud.feedwells import crud_feedwells
from vornal_sync_agent.crud.lotlings import OrderDirection, SyncItemSortKey
from vornal_sync_agent.db import get_db_session_context
from vornal_sync_agent.models import SyncItem
from vornal_sync_agent.models.enums import SyncItemStatus

@pytest.fixture(autouse=True)
def sync_db(tmp_path, monkeypatch):
    monkeypatch.setenv("VORNAL_SYNC_DB", str(tmp_path / "sync.sqlite3"))


@pytest.fixture
def source():
    """Source 1 ("bench", folder connector) with seven items, and source 2 with one.

    id  data_identifier  scope    attempts  synchronized
    1   run1.h5          optics   1         yes
    2   run2.h5          optics   2         no
    3   RUN3.h5          magnets  0         no
    4   run_4.h5         magnets  1         no
    5   run%5.h5         None     0         yes
    6   notes.txt        optics   3         no
    7   calib.json       cryo     0         no
    """
    rows = [("run1.h5", "optics", 1, True), ("run2.h5", "optics", 2, False),
            ("RUN3.h5", "magnets", 0, False), ("run_4.h5", "magnets", 1, False),
            ("run%5.h5", None, 0, True), ("notes.txt", "optics", 3, False),
            ("calib.json", "cryo", 0, False)]

    async def seed():
        async with get_db_session_context() as session:
            bench = await crud_feedwells.create_sync_source(session, "bench", "folder", {"path": "/data"})
            other = await crud_feedwells.create_sync_source(session, "other", "qcodes", {"path": "/q"})
            session.add_all([SyncItem(sync_source_id=bench.id, data_identifier=name,
                                      scope_identifier=scope, attempts=attempts,
                                      synchronized=synchronized, sync_record=[f"{name}: tried {attempts}x"])
                             for name, scope, attempts, synchronized in rows])
            session.add(SyncItem(sync_source_id=other.id, data_identifier="run1.h5"))
            return bench.id
    return asyncio.run(seed())


def ids(items):
    return [item.id for item in items]


LISTINGS = [
    ({}, [1, 2, 3, 4, 5, 6, 7]),
    (dict(is_synchronized=True), [1, 5]),
    (dict(is_synchronized=False, scope_identifier="optics"), [2, 6]),
    (dict(has_priority=True), []),
    (dict(query="run"), [1, 2, 3, 4, 5]),          # ignoring case
    (dict(query="_"), [4]),                         # taken literally, not as a wildcard
    (dict(query="%"), [5]),
    (dict(query="agnet"), [3, 4]),                  # the scope identifier is searched too
    (dict(order_by=SyncItemSortKey.ATTEMPTS, order_direction=OrderDirection.DESC), [6, 2, 1, 4, 3, 5, 7]),
    (dict(order_by="data_identifier"), [3, 7, 6, 5, 1, 2, 4]),  # by code point
    (dict(order_by=SyncItemSortKey.ID, order_direction="desc", offset=2, limit=3), [5, 4, 3]),
    (dict(offset=6, limit=100), [7]),
    (dict(limit=0), []),
]


@pytest.mark.parametrize("filters, expected", LISTINGS)
def test_listing_filters_searches_orders_and_pages(lot, source, filters, expected):
    items = asyncio.run(lot.list_lotlings(source, **filters))
    assert ids(items) == expected
    assert all(type(item).__name__ == "SyncItemReadSummaryV1" for item in items)


def test_pages_cover_the_items_once(lot, source):
    async def pages():
        return [ids(await lot.list_lotlings(source, order_by=SyncItemSortKey.SCOPE_IDENTIFIER,
                                            offset=offset, limit=3))
                for offset in (0, 3, 6)]
    seen = [i for page in asyncio.run(pages()) for i in page]
    assert sorted(seen) == [1, 2, 3, 4, 5, 6, 7]


@pytest.mark.parametrize("filters, error", [
    (dict(order_by="colour"), ValueError), (dict(order_direction="sideways"), ValueError),
    (dict(offset=-1), ValueError)])
def test_listing_refusals_propagate(lot, source, filters, error):
    with pytest.raises(error):
        asyncio.run(lot.list_lotlings(source, **filters))


def test_unknown_item_or_source_is_reported_by_the_data_layer(lot, source):
    for pending in (lot.get_sync_item(99), lot.list_lotlings(42), lot.prioritize_sync_item(99),
                    lot.generate_sync_item_report(99, "m")):
        with pytest.raises(NotFound):
            asyncio.run(pending)


def test_prioritise_then_reset(lot, source):
    asyncio.run(lot.prioritize_sync_item(2))
    item = asyncio.run(lot.get_sync_item(2))
    assert type(item).__name__ == "SyncItemReadV1"
    assert (item.has_priority, item.sync_priority, item.attempts) == (True, sys.float_info.max, 2)
    assert ids(asyncio.run(lot.list_lotlings(source, has_priority=True))) == [2]
    first = asyncio.run(lot.list_lotlings(source, order_by="sync_priority", order_direction="desc",
                                          limit=1))
    assert ids(first) == [2]

    asyncio.run(lot.reset_sync_item(2))
    item = asyncio.run(lot.get_sync_item(2))
    assert (item.attempts, item.synchronized, item.has_priority, item.sync_priority) == (0, False, False, 0.0)
    assert item.status is SyncItemStatus.PENDING

    async def statistics():
        async with get_db_session_context() as session:
            record = await crud_feedwells.read_sync_source(session, source)
            return record.items_total, record.items_synchronized, record.items_failed
    # Item 2 no longer counts as failed: 4, 6 remain.
    assert asyncio.run(statistics()) == (7, 2, 2)


def test_reset_of_a_synchronised_item(lot, source):
    asyncio.run(lot.reset_sync_item(1))
    item = asyncio.run(lot.get_sync_item(1))
    assert (item.attempts, item.synchronized, item.status) == (0, False, SyncItemStatus.PENDING)


def test_reports_from_the_store(lot, source, monkeypatch):
    monkeypatch.setattr(bug_report, "SENT_REPORTS", [])
    text = asyncio.run(lot.generate_sync_item_report(6, "notes keep failing"))
    assert text.startswith("notes keep failing\n")
    for expected in ("Sync item 6: notes.txt", "attempts:      3", "status:        failed",
                     "Sync source: bench", "owner:         N/A", "default scope: N/A",
                     "status:        idle", "folder: Folder", "notes.txt: tried 3x"):
        assert expected in text, expected
    assert asyncio.run(lot.get_sync_item_error_report(6, "notes keep failing")) == text

    assert asyncio.run(lot.report_sync_item(6, "notes keep failing")) is None
    sent, = bug_report.SENT_REPORTS
    assert (sent.subject, sent.description) == ("Sync Item BUG REPORT", text)


def test_item_template_takes_the_seventeen_fields():
    fields = [f for _, f, _, _ in string.Formatter().parse(utils.REPORT_TEMPLATE_SYNC_ITEM) if f]
    assert sorted(fields) == sorted([
        "message", "sync_item_id", "data_identifier", "dataset_uuid", "sync_priority",
        "has_priority", "attempts", "status", "last_update", "sync_source_name",
        "sync_source_connector", "sync_source_status", "sync_source_owner",
        "sync_source_default_scope", "sync_source_config_data", "connector_info", "logs"])
    assert "no sync record" in utils.format_sync_record_logs(None)
    assert utils.format_sync_record_logs(["a", "b"]) == "  a\n  b"
