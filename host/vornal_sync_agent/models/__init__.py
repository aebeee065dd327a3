"""SQLAlchemy tables of the stand-in sync agent; tests may add rows through a session directly."""
import datetime as dt
from uuid import UUID
from typing import Any, Optional

from sqlalchemy import JSON, Enum, ForeignKey, String, UniqueConstraint
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from .enums import SyncItemStatus, SyncSourceStatus


def _now() -> dt.datetime:
    return dt.datetime.now(dt.timezone.utc)


class Base(DeclarativeBase):
    pass


class SyncSource(Base):
    __tablename__ = "sync_sources"
    id: Mapped[int] = mapped_column(primary_key=True)
    name: Mapped[str] = mapped_column(String, unique=True)
    connector: Mapped[str]
    config_data: Mapped[dict[str, Any]] = mapped_column(JSON, default=dict)
    default_scope: Mapped[Optional[UUID]]
    status: Mapped[SyncSourceStatus] = mapped_column(
        Enum(SyncSourceStatus), default=SyncSourceStatus.IDLE)
    owner: Mapped[Optional[str]]
    items_total: Mapped[int] = mapped_column(default=0)
    items_synchronized: Mapped[int] = mapped_column(default=0)
    items_failed: Mapped[int] = mapped_column(default=0)
    last_update: Mapped[Optional[dt.datetime]]


class ScopeMapping(Base):
    __tablename__ = "scope_mappings"
    __table_args__ = (UniqueConstraint("sync_source_id", "scope_identifier"),)
    id: Mapped[int] = mapped_column(primary_key=True)
    sync_source_id: Mapped[int] = mapped_column(ForeignKey("sync_sources.id"))
    scope_identifier: Mapped[str]
    scope_uuid: Mapped[UUID]


class SyncSourceErrorRecord(Base):
    __tablename__ = "sync_source_errors"
    id: Mapped[int] = mapped_column(primary_key=True)
    sync_source_id: Mapped[int] = mapped_column(ForeignKey("sync_sources.id"))
    message: Mapped[str]
    viewed: Mapped[bool] = mapped_column(default=False)
    created_at: Mapped[dt.datetime] = mapped_column(default=_now)


class SyncItem(Base):
    """One dataset of a source; `attempts` > 0 and not `synchronized` means failed. Items with a
    higher `sync_priority` are synchronised first; `sync_record` is the item's log, one line each."""
    __tablename__ = "sync_items"
    id: Mapped[int] = mapped_column(primary_key=True)
    sync_source_id: Mapped[int] = mapped_column(ForeignKey("sync_sources.id"))
    scope_identifier: Mapped[Optional[str]]
    data_identifier: Mapped[str] = mapped_column(default="")
    dataset_uuid: Mapped[Optional[UUID]]
    attempts: Mapped[int] = mapped_column(default=0)
    synchronized: Mapped[bool] = mapped_column(default=False)
    has_priority: Mapped[bool] = mapped_column(default=False)
    sync_priority: Mapped[float] = mapped_column(default=0.0)
    last_update: Mapped[Optional[dt.datetime]]
    sync_record: Mapped[list[str]] = mapped_column(JSON, default=list)

    @property
    def status(self) -> SyncItemStatus:
        if self.synchronized:
            return SyncItemStatus.SYNCHRONIZED
        return SyncItemStatus.FAILED if self.attempts > 0 else SyncItemStatus.PENDING


class Scope(Base):
    """Scopes of the remote platform known locally, matched by name in autoassign."""
    __tablename__ = "scopes"
    uuid: Mapped[UUID] = mapped_column(primary_key=True)
    name: Mapped[str]
