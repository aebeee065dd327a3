"""Async session context over a real SQLite file; its path is $VORNAL_SYNC_DB, read at each call."""
import os
import tempfile

from sqlalchemy.ext.asyncio import AsyncSession, create_async_engine
from sqlalchemy.pool import NullPool

from .models import Base

DEFAULT_DB_PATH = os.path.join(tempfile.gettempdir(), "vornal_sync_agent.sqlite3")
_engines = {}


def get_db_path() -> str:
    return os.environ.get("VORNAL_SYNC_DB") or DEFAULT_DB_PATH


class _SessionContext:
    """Commits on normal exit, rolls back when the body raised; never swallows the error."""

    def __init__(self, path: str):
        self._path = path
        self._session = None

    async def __aenter__(self) -> AsyncSession:
        fresh = not os.path.exists(self._path)
        engine = _engines.get(self._path)
        if engine is None:
            # NullPool: no connection outlives a session, so any event loop may use the engine.
            engine = _engines[self._path] = create_async_engine(
                f"sqlite+aiosqlite:///{self._path}", poolclass=NullPool)
            fresh = True
        if fresh:
            async with engine.begin() as conn:
                await conn.run_sync(Base.metadata.create_all)
        self._session = AsyncSession(engine, expire_on_commit=False)
        return self._session

    async def __aexit__(self, exc_type, exc, tb) -> bool:
        try:
            if exc_type is None:
                await self._session.commit()
            else:
                await self._session.rollback()
        finally:
            await self._session.close()
        return False


def get_db_session_context() -> _SessionContext:
    return _SessionContext(get_db_path())
