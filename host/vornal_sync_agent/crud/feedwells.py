"""`crud_feedwells`: coroutine methods over sync sources, scope mappings, errors and items; session first."""
import datetime as dt
import uuid
from typing import Any, Optional

from sqlalchemy import func, select

from ..models import Scope, ScopeMapping, SyncItem, SyncSource, SyncSourceErrorRecord
from ..models.enums import SyncSourceStatus
from . import AlreadyExists, NotFound


def _as_uuid(value: Any) -> uuid.UUID:
    return value if isinstance(value, uuid.UUID) else uuid.UUID(str(value))


class CRUDFeedwells:
    async def list_feedwells(self, session) -> list[SyncSource]:
        return list((await session.scalars(select(SyncSource).order_by(SyncSource.id))).all())

    async def read_sync_source(self, session, source_id: int) -> SyncSource:
        source = await session.get(SyncSource, source_id)
        if source is None:
            raise NotFound(f"sync source {source_id} not found")
        return source

    async def read_sync_source_by_name(self, session, name: str) -> SyncSource:
        source = await session.scalar(select(SyncSource).where(SyncSource.name == name))
        if source is None:
            raise NotFound(f"sync source {name!r} not found")
        return source

    async def _check_name_free(self, session, name: str) -> None:
        if await session.scalar(select(SyncSource.id).where(SyncSource.name == name)) is not None:
            raise AlreadyExists(f"sync source name {name!r} is taken")

    async def create_sync_source(self, session, name: str, connector: str, config_data: dict,
                                 default_scope: Optional[uuid.UUID] = None, *,
                                 autoassign_scope_mapping: bool = False) -> SyncSource:
        await self._check_name_free(session, name)
        source = SyncSource(name=name, connector=connector, config_data=dict(config_data),
                            default_scope=default_scope, status=SyncSourceStatus.IDLE)
        session.add(source)
        await session.flush()
        if autoassign_scope_mapping:
            await self.autoassign_scope_mappings(session, source.id)
        return source

    async def update_sync_source(self, session, source_id: int, name: Optional[str] = None, *,
                                 default_scope: Optional[uuid.UUID] = None,
                                 config_data: Optional[dict] = None,
                                 autoassign_scope_mapping: Optional[bool] = None,
                                 status: Optional[SyncSourceStatus] = None) -> SyncSource:
        """Every None argument leaves its field unchanged."""
        source = await self.read_sync_source(session, source_id)
        if name is not None and name != source.name:
            await self._check_name_free(session, name)
            source.name = name
        if default_scope is not None:
            source.default_scope = _as_uuid(default_scope)
        if config_data is not None:
            source.config_data = dict(config_data)
        if status is not None:
            source.status = SyncSourceStatus(status)
        source.last_update = dt.datetime.now(dt.timezone.utc)
        await session.flush()
        if autoassign_scope_mapping:
            await self.autoassign_scope_mappings(session, source_id)
        return source

    async def delete_sync_source(self, session, source_id: int) -> None:
        source = await self.read_sync_source(session, source_id)
        for table in (ScopeMapping, SyncSourceErrorRecord, SyncItem):
            for row in await session.scalars(select(table).where(table.sync_source_id == source_id)):
                await session.delete(row)
        await session.delete(source)
        await session.flush()

    async def set_sync_source_owner(self, session, source_id: int,
                                    owner: Optional[str]) -> SyncSource:
        source = await self.read_sync_source(session, source_id)
        source.owner = owner
        await session.flush()
        return source

    async def reset_lotlings(self, session, source_id: int, include_successful: bool = False) -> int:
        """Reset failed items (and synchronised ones if asked); returns how many were reset."""
        await self.read_sync_source(session, source_id)
        items = await session.scalars(select(SyncItem).where(SyncItem.sync_source_id == source_id))
        count = 0
        for item in items:
            failed = item.attempts > 0 and not item.synchronized
            if failed or (include_successful and item.synchronized):
                item.attempts, item.synchronized = 0, False
                count += 1
        await self._update_statistics(session, source_id)
        return count

    async def _update_statistics(self, session, source_id: int) -> None:
        source = await self.read_sync_source(session, source_id)
        items = list(await session.scalars(select(SyncItem).where(SyncItem.sync_source_id == source_id)))
        source.items_total = len(items)
        source.items_synchronized = sum(1 for i in items if i.synchronized)
        source.items_failed = sum(1 for i in items if i.attempts > 0 and not i.synchronized)
        await session.flush()

    async def _find_mapping(self, session, source_id: int, scope_identifier: str):
        return await session.scalar(select(ScopeMapping).where(
            ScopeMapping.sync_source_id == source_id,
            ScopeMapping.scope_identifier == scope_identifier))

    async def create_scope_mapping(self, session, source_id: int, scope_identifier: str,
                                   scope_uuid: Any, update_statistics: bool = False) -> ScopeMapping:
        await self.read_sync_source(session, source_id)
        if await self._find_mapping(session, source_id, scope_identifier) is not None:
            raise AlreadyExists(f"scope mapping {scope_identifier!r} exists for source {source_id}")
        mapping = ScopeMapping(sync_source_id=source_id, scope_identifier=scope_identifier,
                               scope_uuid=_as_uuid(scope_uuid))
        session.add(mapping)
        await session.flush()
        if update_statistics:
            await self._update_statistics(session, source_id)
        return mapping

    async def update_scope_mapping(self, session, source_id: int, scope_identifier: str,
                                   scope_uuid: Any, update_statistics: bool = False) -> ScopeMapping:
        """Changes the target scope and resets the items of that identifier."""
        await self.read_sync_source(session, source_id)
        mapping = await self._find_mapping(session, source_id, scope_identifier)
        if mapping is None:
            raise NotFound(f"scope mapping {scope_identifier!r} not found for source {source_id}")
        mapping.scope_uuid = _as_uuid(scope_uuid)
        for item in await session.scalars(select(SyncItem).where(
                SyncItem.sync_source_id == source_id, SyncItem.scope_identifier == scope_identifier)):
            item.attempts, item.synchronized = 0, False
        await session.flush()
        if update_statistics:
            await self._update_statistics(session, source_id)
        return mapping

    async def delete_scope_mapping(self, session, source_id: int, scope_identifier: str) -> None:
        await self.read_sync_source(session, source_id)
        mapping = await self._find_mapping(session, source_id, scope_identifier)
        if mapping is None:
            raise NotFound(f"scope mapping {scope_identifier!r} not found for source {source_id}")
        await session.delete(mapping)
        await session.flush()

    async def get_unmapped_scope_identifiers(self, session,
                                             source_id: Optional[int] = None) -> list[str]:
        """Identifiers of items without a mapping, for one source or (None) all sources; sorted."""
        query = select(SyncItem.scope_identifier).distinct().where(
            SyncItem.scope_identifier.isnot(None),
            ~select(ScopeMapping.id).where(
                ScopeMapping.sync_source_id == SyncItem.sync_source_id,
                ScopeMapping.scope_identifier == SyncItem.scope_identifier).exists())
        if source_id is not None:
            await self.read_sync_source(session, source_id)
            query = query.where(SyncItem.sync_source_id == source_id)
        return sorted(await session.scalars(query))

    async def autoassign_scope_mappings(self, session, source_id: int) -> int:
        """Map each unmapped identifier to the one scope whose name equals it ignoring case."""
        created = 0
        for identifier in await self.get_unmapped_scope_identifiers(session, source_id):
            scopes = list(await session.scalars(
                select(Scope).where(func.lower(Scope.name) == identifier.lower())))
            if len(scopes) == 1:
                await self.create_scope_mapping(session, source_id, identifier, scopes[0].uuid)
                created += 1
        return created

    async def read_sync_source_errors(self, session, source_id: int, skip: int = 0,
                                      limit: int = 100,
                                      viewed: Optional[bool] = None) -> list[SyncSourceErrorRecord]:
        await self.read_sync_source(session, source_id)
        query = select(SyncSourceErrorRecord).where(SyncSourceErrorRecord.sync_source_id == source_id)
        if viewed is not None:
            query = query.where(SyncSourceErrorRecord.viewed == viewed)
        query = query.order_by(SyncSourceErrorRecord.id).offset(skip).limit(limit)
        return list(await session.scalars(query))

    async def set_sync_source_error_viewed(self, session, error_id: int,
                                           viewed: bool) -> SyncSourceErrorRecord:
        record = await session.get(SyncSourceErrorRecord, error_id)
        if record is None:
            raise NotFound(f"sync source error {error_id} not found")
        record.viewed = bool(viewed)
        await session.flush()
        return record

    async def mark_all_sync_source_errors_viewed(self, session, source_id: int) -> int:
        await self.read_sync_source(session, source_id)
        count = 0
        for record in await session.scalars(select(SyncSourceErrorRecord).where(
                SyncSourceErrorRecord.sync_source_id == source_id,
                SyncSourceErrorRecord.viewed.is_(False))):
            record.viewed = True
            count += 1
        await session.flush()
        return count


crud_feedwells = CRUDFeedwells()
