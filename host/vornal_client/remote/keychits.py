"""The logged-in user's API token: its generated name, storing it locally and testing it on the platform."""
import platform
import secrets
import socket
from typing import Dict

import httpx

from ..exceptions import APIKeyInvalidException
from ..local.dao.api_token import dao_api_token
from ..local.database import get_db_session_context
from ..local.models.keychits import APIKeyInfo
from ..settings.user_settings import get_user_settings
from .endpoints.keychits import TIMEOUT

# The token of each user (by subject identifier) as last stored or used in this process.
TOKEN_CACHE: Dict[str, APIKeyInfo] = {}


def generate_token_name() -> str:
    """`user@host (system)-xxxxxx`, the last part six random hex digits."""
    user = get_user_settings().user_sub
    return f"{user}@{socket.gethostname()} ({platform.system()})-{secrets.token_hex(3)}"


def store_API_token(token_info: APIKeyInfo) -> None:
    """Stores the token as the logged-in user's, in the local store and the cache."""
    user_sub = get_user_settings().user_sub
    with get_db_session_context() as session:
        dao_api_token.write(user_sub, token_info, session)
    TOKEN_CACHE[user_sub] = token_info


def test_api_token(user_sub: str, token_info: APIKeyInfo) -> None:
    """Raises APIKeyInvalidException when the token's server rejects it."""
    response = httpx.get(f"{token_info.server_url}/api/tokens/check",
                         headers={"Authorization": f"Bearer {token_info.api_token}"}, timeout=TIMEOUT)
    if response.status_code == 401:
        raise APIKeyInvalidException(f"the server rejects the API token of {user_sub}")
    response.raise_for_status()
