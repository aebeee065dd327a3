"""Read models of sync items (built from ORM records): a summary for listings, the full item."""
import datetime as dt
import uuid
from typing import List, Optional

from pydantic import BaseModel, ConfigDict
from vornal_sync_agent.models.enums import SyncItemStatus


class SyncItemReadSummaryV1(BaseModel):
    model_config = ConfigDict(from_attributes=True)
    id: int
    sync_source_id: int
    data_identifier: str
    scope_identifier: Optional[str] = None
    status: SyncItemStatus
    attempts: int
    synchronized: bool
    has_priority: bool
    sync_priority: float
    last_update: Optional[dt.datetime] = None


class SyncItemReadV1(SyncItemReadSummaryV1):
    dataset_uuid: Optional[uuid.UUID] = None
    sync_record: List[str] = []
