"""Read model of a connector definition, as `get_sync_source_info` describes it."""
from typing import List

from pydantic import BaseModel, ConfigDict


class ConfigFieldDefinition(BaseModel):
    name: str
    type: str
    required: bool


class ConnectorDefinition(BaseModel):
    model_config = ConfigDict(from_attributes=True)
    identifier: str
    config_class: str
    has_owner: bool
    config_fields: List[ConfigFieldDefinition]
