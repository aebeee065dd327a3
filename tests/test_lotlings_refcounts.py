"""Reference counts stay level when the lotlings functions run many times (debug interpreter
only, where the interpreter keeps a total of all references)."""
import gc
import sys

import pytest

from lotlings_fakes import lot  # noqa: F401  (fixture)

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs a debug interpreter (sys.gettotalrefcount)")

RUNS = 200


class Quiet:
    """Every outside name of the module in one object that keeps nothing between calls."""

    fail = False

    # get_db_session_context, and the context it gives
    def __call__(self):
        return self

    async def __aenter__(self):
        return object()

    async def __aexit__(self, exc_type, exc, tb):
        return False

    # crud_lotlings and crud_feedwells
    async def list_lotlings(self, session, **filters):
        return ({"n": 1}, {"n": 2})

    async def read_sync_item(self, session, sync_item_id):
        if self.fail:
            raise LookupError(sync_item_id)
        return Item()

    async def update_sync_item(self, session, sync_item_id, **fields):
        return None

    async def read_sync_source(self, session, source_id):
        return Item()

    # the read models
    def model_validate(self, record):
        return Item()

    # get_sync_connectors, REPORT_TEMPLATE_SYNC_ITEM, the formatters, the bug report
    def get(self, key):
        return {"entry": key}

    def format(self, **fields):
        return "report"

    def formatter(self, value):
        return "text"

    def send(self, *args, **kwargs):
        return None


class Status:
    value = "failed"


class Item:
    id = sync_source_id = attempts = 3
    data_identifier = name = connector = "x"
    dataset_uuid = owner = default_scope = last_update = None
    sync_priority = 1.5
    has_priority = True
    status = Status
    config_data = sync_record = ()


@pytest.fixture
def quiet(lot, monkeypatch):
    fake = Quiet()
    for name in ("get_db_session_context", "crud_lotlings", "crud_feedwells",
                 "SyncItemReadSummaryV1", "SyncItemReadV1", "ConnectorRead",
                 "REPORT_TEMPLATE_SYNC_ITEM"):
        monkeypatch.setattr(lot, name, fake)
    monkeypatch.setattr(lot, "get_sync_connectors", lambda: fake)
    for name in ("format_connector_info", "format_sync_record_logs"):
        monkeypatch.setattr(lot, name, fake.formatter)
    for name in ("BugReportCreateV3", "report_bug"):
        monkeypatch.setattr(lot, name, fake.send)
    return fake


def finish(coro):
    try:
        while True:
            coro.send(None)
    except StopIteration as stop:
        return stop.value
    except LookupError:
        return None


def every_function(lot, fake):
    finish(lot.list_lotlings(5, True, None, "optics", None, "id", "asc", 2.5, 10))
    finish(lot.get_sync_item(1))
    finish(lot.reset_sync_item(1))
    finish(lot.prioritize_sync_item(1))
    finish(lot.get_sync_item_error_report(1, "m"))
    finish(lot.report_sync_item(1, "m"))
    fake.fail = True
    finish(lot.generate_sync_item_report(1, "m"))
    fake.fail = False
    for args in ((), ("1",), (1, None)):
        try:
            lot.generate_sync_item_report(*args)
        except TypeError:
            pass


def test_total_references_stay_level(lot, quiet):
    def growth():
        before = sys.gettotalrefcount()
        for _ in range(RUNS):
            every_function(lot, quiet)
        gc.collect()
        return sys.gettotalrefcount() - before

    growth()  # warm-up: caches, interned strings, free lists
    # One leaked reference per run would show as RUNS in every batch.
    assert min(growth() for _ in range(3)) < RUNS // 10
