"""Responses about local API tokens. A token's secret part stays out of every repr."""
from typing import Optional

from pydantic import BaseModel, Field


class APITokenCreateResponse(BaseModel):
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
