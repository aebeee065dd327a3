"""`crud_lotlings`: coroutine methods over sync items (filtered, searched, ordered and paged
listings, reads and updates); session first. Also the enumerations a listing is sorted by."""
import datetime as dt
import sys
from enum import Enum
from typing import Optional, Union

from sqlalchemy import or_, select

from ..models import SyncItem
from . import NotFound
from .feedwells import crud_feedwells

# What a prioritised item gets as its sync priority: nothing can come before it.
HIGHEST_PRIORITY = sys.float_info.max
NORMAL_PRIORITY = 0.0


class SyncItemSortKey(str, Enum):
    ID = "id"
    DATA_IDENTIFIER = "data_identifier"
    SCOPE_IDENTIFIER = "scope_identifier"
    ATTEMPTS = "attempts"
    SYNC_PRIORITY = "sync_priority"
    LAST_UPDATE = "last_update"


class OrderDirection(str, Enum):
    ASC = "asc"
    DESC = "desc"


class CRUDLotlings:
    async def list_lotlings(self, session, source_id: int, is_synchronized: Optional[bool] = None,
                            has_priority: Optional[bool] = None,
                            scope_identifier: Optional[str] = None,
                            order_by: Union[SyncItemSortKey, str, None] = None,
                            order_direction: Union[OrderDirection, str, None] = None,
                            offset: int = 0, limit: int = 100,
                            query: Optional[str] = None) -> list[SyncItem]:
        """The items of one source. None leaves a filter out; `query` is found anywhere in the
        data or scope identifier, ignoring case, with `%` and `_` taken literally. Sort keys and
        directions may also be given as their values ("sync_priority", "desc"); the default
        order is by id, and ties always fall back to the id so that pages do not overlap."""
        await crud_feedwells.read_sync_source(session, source_id)
        if offset < 0 or limit < 0:
            raise ValueError(f"offset and limit must not be negative (got {offset}, {limit})")
        key = SyncItemSortKey(order_by) if order_by is not None else SyncItemSortKey.ID
        direction = OrderDirection(order_direction) if order_direction is not None else OrderDirection.ASC
        statement = select(SyncItem).where(SyncItem.sync_source_id == source_id)
        if is_synchronized is not None:
            statement = statement.where(SyncItem.synchronized == is_synchronized)
        if has_priority is not None:
            statement = statement.where(SyncItem.has_priority == has_priority)
        if scope_identifier is not None:
            statement = statement.where(SyncItem.scope_identifier == scope_identifier)
        if query is not None:
            statement = statement.where(or_(SyncItem.data_identifier.icontains(query, autoescape=True),
                                            SyncItem.scope_identifier.icontains(query, autoescape=True)))
        column = getattr(SyncItem, key.value)
        ordering = column.desc() if direction is OrderDirection.DESC else column.asc()
        statement = statement.order_by(ordering, SyncItem.id.asc()).offset(offset).limit(limit)
        return list(await session.scalars(statement))

    async def read_sync_item(self, session, sync_item_id: int) -> SyncItem:
        item = await session.get(SyncItem, sync_item_id)
        if item is None:
            raise NotFound(f"sync item {sync_item_id} not found")
        return item

    async def update_sync_item(self, session, sync_item_id: int, *, attempts: Optional[int] = None,
                               synchronized: Optional[bool] = None,
                               has_priority: Optional[bool] = None) -> SyncItem:
        """Every None argument leaves its field unchanged. Flagging an item gives it the highest
        sync priority; clearing the flag gives it the normal one. The source's counts follow."""
        item = await self.read_sync_item(session, sync_item_id)
        if attempts is not None:
            item.attempts = attempts
        if synchronized is not None:
            item.synchronized = synchronized
        if has_priority is not None:
            item.has_priority = has_priority
            item.sync_priority = HIGHEST_PRIORITY if has_priority else NORMAL_PRIORITY
        item.last_update = dt.datetime.now(dt.timezone.utc)
        await session.flush()
        await crud_feedwells._update_statistics(session, item.sync_source_id)
        return item


crud_lotlings = CRUDLotlings()
