"""Read model of a connector registry entry."""
from pydantic import BaseModel, ConfigDict


class ConnectorRead(BaseModel):
    model_config = ConfigDict(from_attributes=True)
    identifier: str
    name: str
