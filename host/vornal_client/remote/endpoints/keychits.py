"""The platform's token endpoints, at the server address of the user settings, read at each call."""
from urllib.parse import quote

import httpx
from pydantic import BaseModel, ConfigDict, Field

from ...settings.user_settings import get_user_settings
from ..errors.keychits import APITokenNotFound

TIMEOUT = 5.0


class APITokenIssued(BaseModel):
    model_config = ConfigDict(hide_input_in_errors=True)
    uid: str
    name: str
    api_token: str = Field(repr=False)


def api_token_create(name: str) -> APITokenIssued:
    """Asks the platform for a new token of the logged-in user."""
    settings = get_user_settings()
    response = httpx.post(f"{settings.server_url}/api/tokens", json={"name": name},
                          headers={"X-User-Sub": settings.user_sub or ""}, timeout=TIMEOUT)
    response.raise_for_status()
    return APITokenIssued.model_validate(response.json())


def api_token_delete(uid: str) -> None:
    """Revokes a token on the platform; APITokenNotFound when the platform does not know it."""
    settings = get_user_settings()
    response = httpx.delete(f"{settings.server_url}/api/tokens/{quote(uid, safe='')}", timeout=TIMEOUT)
    if response.status_code == 404:
        raise APITokenNotFound(f"the server knows no API token with uid {uid!r}")
    response.raise_for_status()
