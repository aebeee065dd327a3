"""Read model of a converter registry entry."""
from pydantic import BaseModel, ConfigDict


class ConverterRead(BaseModel):
    model_config = ConfigDict(from_attributes=True)
    identifier: str
    name: str
