"""The coroutines run under trio too: they forward send/throw/close to what they await instead of
relying on an event loop's futures, so trio's own traps and its cancellation pass through."""
import importlib

import pytest
import trio


@pytest.fixture
def feedwells(monkeypatch):
    module = importlib.import_module("vornal_api.python_api.sync.feedwells")
    exits = []

    class Context:
        async def __aenter__(self):
            await trio.sleep(0)
            return "session"

        async def __aexit__(self, exc_type, exc, tb):
            exits.append(exc_type)
            await trio.sleep(0)
            return False

    class Crud:
        async def read_sync_source(self, session, source_id):
            await trio.sleep(0)
            return {"session": session, "id": source_id}

        async def list_feedwells(self, session):
            await trio.sleep_forever()

    class ReadModel:
        @staticmethod
        def model_validate(record):
            return record

    monkeypatch.setattr(module, "get_db_session_context", Context)
    monkeypatch.setattr(module, "crud_feedwells", Crud())
    monkeypatch.setattr(module, "SyncSourceReadV1", ReadModel)
    module.exits = exits
    yield module
    del module.exits


def test_coroutine_runs_as_trios_main_task(feedwells):
    assert trio.run(feedwells.get_sync_source, 3) == {"session": "session", "id": 3}
    assert feedwells.exits == [None]


def test_trio_cancellation_passes_through_the_session_frame(feedwells):
    async def main():
        with trio.move_on_after(0.01) as scope:
            await feedwells.list_feedwells()
        return scope.cancelled_caught

    assert trio.run(main) is True
    assert feedwells.exits == [trio.Cancelled]


def test_coroutines_run_concurrently_in_a_trio_nursery(feedwells):
    results = []

    async def fetch(source_id):
        results.append(await feedwells.get_sync_source(source_id))

    async def main():
        async with trio.open_nursery() as nursery:
            for source_id in range(5):
                nursery.start_soon(fetch, source_id)

    trio.run(main)
    assert sorted(record["id"] for record in results) == [0, 1, 2, 3, 4]
