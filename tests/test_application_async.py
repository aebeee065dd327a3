"""The modules under an application's own test suite: pytest-asyncio runs each test and its async
fixture on its event loop, and the tests await the modules' coroutines against the host
stand-ins' SQLite store."""
import asyncio

import pytest
import pytest_asyncio

from vornal_api.app.exceptions.sync.sync_source_handler import SyncSourceAlreadyRunningError
from vornal_api.python_api.sync import feedwells
from vornal_sync_agent.connectors import FolderBaseConfigData
from vornal_sync_agent.models.enums import SyncSourceStatus


@pytest_asyncio.fixture
async def source(tmp_path, monkeypatch):
    monkeypatch.setenv("VORNAL_SYNC_DB", str(tmp_path / "sync.sqlite3"))
    return await feedwells.add_sync_source("bench", FolderBaseConfigData(path="/data/bench"))


@pytest.mark.asyncio
async def test_awaits_module_coroutines_on_the_test_loop(source):
    assert (await feedwells.get_sync_source(source.id)).name == "bench"
    started = await feedwells.start_sync_source(source.id)
    assert started.status == SyncSourceStatus.SYNCING
    with pytest.raises(SyncSourceAlreadyRunningError):
        await feedwells.start_sync_source(source.id)
    fetched = await asyncio.gather(*(feedwells.get_sync_source(source.id) for _ in range(3)))
    assert [model.status for model in fetched] == [SyncSourceStatus.SYNCING] * 3
