"""The stored record of a user's API token."""
from typing import Optional

from pydantic import BaseModel, ConfigDict, Field


class APIKeyInfo(BaseModel):
    """`uid` is None for a token that the user added and that the server could not identify."""
    model_config = ConfigDict(hide_input_in_errors=True)
    uid: Optional[str] = None
    name: str
    api_token: str = Field(repr=False)
    server_url: str
