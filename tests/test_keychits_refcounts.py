"""Reference counts stay level when the keychits module's paths run many times: success, converted
errors, the revoke of a token that cannot be kept, a swallowed error (debug interpreter only)."""
import types

import pytest

from keychits_fakes import FakeUsers, fake_select, load_keychits
from refcounts import assert_references_stay_level, needs_debug_interpreter

pytestmark = needs_debug_interpreter


class Unreachable(Exception):
    pass


class Failed(Exception):
    pass


class Quiet:
    """Every outside name of the module in one object that keeps nothing between calls."""

    def __init__(self):
        self.failures = {}
        self.swallow = False
        self.has_token = False
        self.settings = types.SimpleNamespace(user_sub="user-ada", server_url="http://platform.test")
        self.user = types.SimpleNamespace(username="user-ada", firstname="Ada", lastname=None)

    def _maybe_fail(self, name):
        error = self.failures.get(name)
        if error is not None:
            raise error(name)

    # settings and the local store
    def get_user_settings(self):
        return self.settings

    def get_db_session_context(self):
        return self

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        return self.swallow

    def scalars(self, statement):
        return self

    def all(self):
        return [self.user]

    def read(self, user, session):
        self._maybe_fail("read")
        return types.SimpleNamespace(uid="uid-1", name="n", api_token="t", server_url="s") \
            if self.has_token else None

    def delete(self, user, session):
        return None

    # remote endpoints and token helpers
    def api_token_create(self, name):
        self._maybe_fail("create")
        return types.SimpleNamespace(uid="uid-1", name=name, api_token="t")

    def api_token_delete(self, uid):
        self._maybe_fail("delete")

    def test_api_token(self, user_sub, token_info):
        self._maybe_fail("test")

    def store_API_token(self, token_info):
        self._maybe_fail("store")

    def model(self, **fields):
        return fields


@pytest.fixture
def quiet(monkeypatch):
    kc = load_keychits()
    fake = Quiet()
    for name in ("get_user_settings", "get_db_session_context", "api_token_create", "api_token_delete",
                 "test_api_token", "store_API_token"):
        monkeypatch.setattr(kc, name, getattr(fake, name))
    for name in ("APIKeyInfo", "APITokenCreateResponse", "APITokenReadLocal", "APITokenCheckResponse"):
        monkeypatch.setattr(kc, name, fake.model)
    for name in ("ServerUnreachableError", "ServerOperationError", "TokenNotFoundError"):
        monkeypatch.setattr(kc, name, type(name, (Exception,), {}))
    monkeypatch.setattr(kc, "dao_api_token", fake)
    monkeypatch.setattr(kc, "TOKEN_CACHE", {})
    monkeypatch.setattr(kc, "select", fake_select)
    monkeypatch.setattr(kc, "Users", FakeUsers)
    monkeypatch.setattr(kc, "CONNECTION_ERRORS", (Unreachable,))
    monkeypatch.setattr(kc, "generate_token_name", lambda: "generated")
    return kc, fake


def finish(coro):
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value


def expect_error(thunk):
    try:
        thunk()
    except BaseException:  # noqa: BLE001  (each path ends in its own error)
        pass


def path_success(kc, fake):
    finish(kc.create_api_token())
    fake.has_token = True
    finish(kc.list_keychits())
    finish(kc.check_api_token("uid-1"))
    finish(kc.delete_api_token("uid-1"))
    fake.has_token = False


def path_converted_errors(kc, fake):
    for step, error in (("create", Unreachable), ("create", Failed), ("create", KeyboardInterrupt)):
        fake.failures = {step: error}
        expect_error(lambda: finish(kc.create_api_token("n")))
    fake.has_token = True
    for step, error in (("delete", Unreachable), ("delete", Failed), ("test", Unreachable),
                        ("test", Failed)):
        fake.failures = {step: error}
        expect_error(lambda: finish(kc.delete_api_token("uid-1")))
        expect_error(lambda: finish(kc.check_api_token("uid-1")))
    expect_error(lambda: finish(kc.check_api_token("uid-none")))
    fake.failures, fake.has_token = {}, False


def path_revoke_after_failed_store(kc, fake):
    for errors in ({"store": Failed}, {"store": KeyboardInterrupt}, {"store": Failed, "delete": Failed}):
        fake.failures = errors
        expect_error(lambda: finish(kc.create_api_token("n")))
    fake.failures = {}


def path_swallowed_error(kc, fake):
    fake.swallow, fake.failures = True, {"read": Failed}
    expect_error(kc._require_user_without_token)
    expect_error(lambda: kc._find_local_token_by_uid("uid-1"))
    fake.swallow, fake.failures = False, {}


@pytest.mark.parametrize("path", [
    path_success, path_converted_errors, path_revoke_after_failed_store, path_swallowed_error,
], ids=lambda p: p.__name__[len("path_"):])
def test_total_references_stay_level(quiet, path):
    kc, fake = quiet
    assert_references_stay_level(lambda: path(kc, fake))
