"""Local API tokens (keychits) end to end: the real local store on SQLite and the remote platform
served on the loopback interface, reached over HTTP."""
import asyncio
import re

import httpx
import pytest

from keychits_fakes import kc, logged_in, platform  # noqa: F401  (fixtures)
from vornal_api.app.exceptions.auth.local.keychits_handler import (
    TokenNotFoundError, UserAlreadyHasTokenError)
from vornal_api.app.exceptions.general_handler import ServerOperationError, ServerUnreachableError
from vornal_client.local.dao.api_token import dao_api_token
from vornal_client.local.database import get_db_session_context
from vornal_client.local.model import Users
from vornal_client.local.models.keychits import APIKeyInfo
from vornal_client.remote.keychits import TOKEN_CACHE


def run(awaitable):
    async def main():
        return await awaitable
    return asyncio.run(main())


def shows_part_of(secret, text):
    """Whether `text` holds any eight characters in a row of `secret` (a truncated repr would)."""
    return any(secret[i:i + 8] in text for i in range(len(secret) - 7))


def add_user(username, firstname="Ada", lastname="Lovelace"):
    with get_db_session_context() as session:
        session.add(Users(username=username, firstname=firstname, lastname=lastname))


def stored(username):
    with get_db_session_context() as session:
        return dao_api_token.read(username, session)


def test_a_token_is_created_listed_checked_and_deleted(kc, logged_in):
    add_user("user-ada")
    created = run(kc.create_api_token("lab laptop"))
    secret = created.api_token
    assert logged_in.knows(created.uid) and logged_in.tokens[created.uid]["user_sub"] == "user-ada"
    assert (created.name, created.server_url) == ("lab laptop", logged_in.url)
    kept = stored("user-ada")
    assert kept == APIKeyInfo(uid=created.uid, name="lab laptop", api_token=secret, server_url=logged_in.url)
    assert TOKEN_CACHE["user-ada"].uid == created.uid

    listed = run(kc.list_keychits())
    assert [entry.model_dump() for entry in listed] == [
        {"user_sub": "user-ada", "user_name": "Ada Lovelace", "api_key_name": "lab laptop",
         "api_key_uid": created.uid, "server_url": logged_in.url}]
    assert run(kc.check_api_token(created.uid)).valid is True

    with pytest.raises(UserAlreadyHasTokenError) as refused:
        run(kc.create_api_token())
    assert str(refused.value) == "User 'user-ada' already has a local API token. Delete it first."

    assert run(kc.delete_api_token(created.uid)) is None
    assert not logged_in.knows(created.uid)
    assert stored("user-ada") is None and "user-ada" not in TOKEN_CACHE
    assert run(kc.list_keychits()) == []
    with pytest.raises(TokenNotFoundError) as missing:
        run(kc.check_api_token(created.uid))
    assert str(missing.value) == f"No local token found with uid '{created.uid}'."
    for shown in (repr(created), str(created), repr(listed), repr(kept), str(refused.value)):
        assert not shows_part_of(secret, shown)


def test_a_generated_name_names_user_host_and_system(kc, logged_in):
    created = run(kc.create_api_token(""))
    assert re.fullmatch(r"user-ada@\S+ \(\w+\)-[0-9a-f]{6}", created.name), created.name
    assert logged_in.tokens[created.uid]["name"] == created.name


def test_an_unreachable_server_is_reported_and_nothing_changes(kc, logged_in):
    created = run(kc.create_api_token("laptop"))
    logged_in.stop()
    for start, message in [
        (lambda: kc.check_api_token(created.uid), "Cannot reach the server to validate the token."),
        (lambda: kc.delete_api_token(created.uid), "Cannot reach the server to revoke the token."),
    ]:
        with pytest.raises(ServerUnreachableError) as info:
            run(start())
        assert str(info.value) == message
        assert isinstance(info.value.__context__, httpx.ConnectError)
    assert stored("user-ada").uid == created.uid
    with get_db_session_context() as session:
        dao_api_token.delete("user-ada", session)
    with pytest.raises(ServerUnreachableError) as info:
        run(kc.create_api_token("again"))
    assert str(info.value) == "Cannot reach the server to create the token."
    assert stored("user-ada") is None


@pytest.mark.parametrize("route, start, prefix", [
    ("create", lambda kc, uid: kc.create_api_token("desk"), "Server error while creating token: "),
    ("revoke", lambda kc, uid: kc.delete_api_token(uid), "Server error while revoking token: "),
])
def test_a_server_error_is_reported_with_its_text(kc, logged_in, route, start, prefix):
    if route == "revoke":
        uid = run(kc.create_api_token("kept")).uid
    else:
        uid = None
    logged_in.failures[route] = 500
    with pytest.raises(ServerOperationError) as info:
        run(start(kc, uid))
    cause = info.value.__context__
    assert isinstance(cause, httpx.HTTPStatusError) and cause.response.status_code == 500
    assert str(info.value) == prefix + str(cause)
    secrets = [t["api_token"] for t in logged_in.tokens.values()]
    assert not any(shows_part_of(secret, str(info.value) + str(cause)) for secret in secrets)
    assert (stored("user-ada") is None) == (route == "create")


def test_a_token_revoked_elsewhere_is_invalid_and_still_deleted(kc, logged_in):
    created = run(kc.create_api_token("old"))
    logged_in.revoke(created.uid)
    assert run(kc.check_api_token(created.uid)).valid is False
    assert run(kc.delete_api_token(created.uid)) is None
    assert stored("user-ada") is None


@pytest.mark.parametrize("failing", ["APIKeyInfo", "store_API_token", "APITokenCreateResponse"])
@pytest.mark.parametrize("error", [OSError("disk full"), KeyboardInterrupt()],
                         ids=["Exception", "KeyboardInterrupt"])
def test_a_token_that_cannot_be_kept_is_revoked_on_the_server(kc, logged_in, monkeypatch, failing, error):
    def fail(*args, **kwargs):
        raise error
    monkeypatch.setattr(kc, failing, fail)
    with pytest.raises(type(error)) as info:
        run(kc.create_api_token("doomed"))
    assert info.value is error
    assert len(logged_in.issued) == 1 and logged_in.tokens == {}


def test_the_local_session_commits_or_rolls_back(logged_in):
    info = APIKeyInfo(uid="u", name="n", api_token="t", server_url=logged_in.url)
    with pytest.raises(RuntimeError):
        with get_db_session_context() as session:
            dao_api_token.write("user-ada", info, session)
            raise RuntimeError("abandon")
    assert stored("user-ada") is None
    with get_db_session_context() as session:
        dao_api_token.write("user-ada", info, session)
    assert stored("user-ada") == info


def test_the_main_job_never_shows_a_token(logged_in, tmp_path, monkeypatch, capsys):
    import importlib.util
    import os

    import loopback_platform

    issued = []
    issue = loopback_platform.PlatformServer.issue

    def recording_issue(self, user_sub, name):
        answer = issue(self, user_sub, name)
        issued.append(answer["api_token"])
        return answer
    monkeypatch.setattr(loopback_platform.PlatformServer, "issue", recording_issue)
    path = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "demo", "main.py")
    spec = importlib.util.spec_from_file_location("demo_main", path)
    demo = importlib.util.module_from_spec(spec)
    monkeypatch.setattr("sys.path", list(__import__("sys").path))
    spec.loader.exec_module(demo)
    for name in ("VORNAL_USER_SUB", "VORNAL_SERVER_URL", "VORNAL_CLIENT_DB"):
        monkeypatch.setenv(name, os.environ[name])  # restored after the test
    demo.api_tokens(str(tmp_path))
    output = capsys.readouterr().out
    assert "valid on the platform: True" in output
    assert len(issued) == 1 and not shows_part_of(issued[0], output)


def test_a_malformed_answer_is_a_server_error_that_does_not_show_the_token(kc, logged_in):
    logged_in.malformed = True
    with pytest.raises(ServerOperationError) as info:
        run(kc.create_api_token("desk"))
    assert str(info.value).startswith("Server error while creating token: 1 validation error for APITokenIssued")
    (secret,) = [t["api_token"] for t in logged_in.tokens.values()]
    assert not shows_part_of(secret, str(info.value))
