"""Responses about local API tokens. A token's secret part stays out of every repr and error text."""
from typing import Optional

from pydantic import BaseModel, ConfigDict, Field


class APITokenCreateResponse(BaseModel):
    model_config = ConfigDict(hide_input_in_errors=True)
    uid: str
    name: str
    api_token: str = Field(repr=False)
    server_url: str


class APITokenReadLocal(BaseModel):
    user_sub: str
    user_name: str
    api_key_name: str
    api_key_uid: Optional[str] = None
    server_url: str


class APITokenCheckResponse(BaseModel):
    valid: bool
