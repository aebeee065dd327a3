"""Read models of sync sources, their error records and scope mappings (built from ORM records)."""
import datetime as dt
import uuid
from typing import Any, Dict, Optional, Union

from pydantic import AliasChoices, BaseModel, ConfigDict, Field
from vornal_sync_agent.models.enums import SyncSourceStatus


class SyncSourceReadV1(BaseModel):
    model_config = ConfigDict(from_attributes=True)
    id: int
    name: str
    # The data layer's record calls it `connector`.
    connector_identifier: str = Field(validation_alias=AliasChoices("connector_identifier", "connector"))
    config_data: Dict[str, Any]
    default_scope: Optional[uuid.UUID] = None
    status: Union[SyncSourceStatus, str]
    owner: Optional[str] = None
    items_total: int = 0
    items_synchronized: int = 0
    items_failed: int = 0
    last_update: Optional[dt.datetime] = None


class SyncSourceError(BaseModel):
    model_config = ConfigDict(from_attributes=True)
    id: int
    sync_source_id: int
    message: str
    viewed: bool
    created_at: Optional[dt.datetime] = None


class SyncSourceScopeMappingRead(BaseModel):
    model_config = ConfigDict(from_attributes=True)
    id: int
    sync_source_id: int
    scope_identifier: str
    scope_uuid: uuid.UUID
