"""Synchronous session context over the client's SQLite file; its path is $VORNAL_CLIENT_DB, read at each call."""
import os
import tempfile

from sqlalchemy import create_engine
from sqlalchemy.orm import Session
from sqlalchemy.pool import NullPool

from .model import Base

DEFAULT_DB_PATH = os.path.join(tempfile.gettempdir(), "vornal_client.sqlite3")
_engines = {}


def get_db_path() -> str:
    return os.environ.get("VORNAL_CLIENT_DB") or DEFAULT_DB_PATH


class _SessionContext:
    """Commits on normal exit, rolls back when the body raised; never swallows the error."""

    def __init__(self, path: str):
        self._path = path
        self._session = None

    def __enter__(self) -> Session:
        engine = _engines.get(self._path)
        if engine is None or not os.path.exists(self._path):
            engine = _engines[self._path] = create_engine(f"sqlite:///{self._path}", poolclass=NullPool)
            Base.metadata.create_all(engine)
        self._session = Session(engine, expire_on_commit=False)
        return self._session

    def __exit__(self, exc_type, exc, tb) -> bool:
        try:
            if exc_type is None:
                self._session.commit()
            else:
                self._session.rollback()
        finally:
            self._session.close()
        return False


def get_db_session_context() -> _SessionContext:
    return _SessionContext(get_db_path())
