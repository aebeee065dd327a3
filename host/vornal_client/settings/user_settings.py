"""User settings from the environment, read at each call.

$VORNAL_USER_SUB is the logged-in user's subject (unset: None, nobody logged in; "" stays "");
$VORNAL_SERVER_URL the platform address.
"""
import os
from dataclasses import dataclass
from typing import Optional


@dataclass
class UserSettings:
    user_sub: Optional[str]
    server_url: str


def get_user_settings() -> UserSettings:
    return UserSettings(user_sub=os.environ.get("VORNAL_USER_SUB"),
                        server_url=os.environ.get("VORNAL_SERVER_URL", "https://brindle.invalid"))
