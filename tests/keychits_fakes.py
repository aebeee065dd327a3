"""Recording stand-ins for every outside name that the keychits module looks up on each call,
and the real pieces (a loopback platform server, a fresh local store) for end-to-end tests.

`KeychitsEnv` puts the fakes on the module object with monkeypatch. Each fake records its calls
as `Call`s and appends its name to one event list, so a test sees the order of steps across the
settings, the session block, the token store and the remote endpoints.
"""
import importlib
import sys
import types

import pytest

from recording_fakes import Call, Record, Recorder, call  # noqa: F401  (re-exported)
from loopback_platform import PlatformServer

MODULE_NAME = "vornal_api.python_api.auth.local.keychits"
SOURCE_PATH = "src/vornal_api/python_api/auth/local/keychits"

ERROR_CLASSES = ("NoUserLoggedInError", "TokenNotFoundError", "UserAlreadyHasTokenError",
                 "ServerOperationError", "ServerUnreachableError", "APIKeyInvalidException",
                 "APITokenNotFound")
MODELS = ("APIKeyInfo", "APITokenCreateResponse", "APITokenReadLocal", "APITokenCheckResponse")


def load_keychits():
    # A plain import: a module that was not built must fail the tests, not skip them.
    return importlib.import_module(MODULE_NAME)


def drive(coro):
    """Runs a coroutine by sending None once: every coroutine of this module ends there."""
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("the coroutine suspended")


class ConnectFailed(Exception):
    """One of the fake connection error classes."""


class ConnectTimedOut(Exception):
    """The other one."""


class Boom(Exception):
    """Any other failure of an outside service."""


# --- the session block ------------------------------------------------------------------------

class SessionContext:
    """A synchronous session context: records entering and the arguments of `__exit__`."""

    def __init__(self, factory):
        self.factory = factory
        self.session = types.SimpleNamespace(scalars=self.scalars)
        self.exits = []
        self.handled = []  # sys.exception() inside each __exit__
        self.statements = []

    def __enter__(self):
        self.factory.events.append("session.enter")
        return self.session

    def __exit__(self, exc_type, exc, tb):
        self.factory.events.append("session.exit")
        self.exits.append((exc_type, exc, tb))
        self.handled.append(sys.exception())
        if self.factory.exit_error is not None:
            raise self.factory.exit_error
        return self.factory.swallow

    def scalars(self, statement):
        self.statements.append(statement)
        self.factory.events.append("session.scalars")
        if self.factory.scalars_error is not None:
            raise self.factory.scalars_error
        return types.SimpleNamespace(all=lambda: list(self.factory.users))


class SessionFactory:
    """Stands in for `get_db_session_context`; `users` is what `scalars(...).all()` gives,
    `scalars_error` what it raises instead, `swallow` what `__exit__` answers and `exit_error`
    what it raises."""

    def __init__(self, events):
        self.events = events
        self.contexts = []
        self.users = []
        self.scalars_error = None
        self.swallow = False
        self.exit_error = None

    def __call__(self, *args, **kwargs):
        assert (args, kwargs) == ((), {})
        self.events.append("session.open")
        context = SessionContext(self)
        self.contexts.append(context)
        return context


# --- the selection interface ------------------------------------------------------------------

class Column:
    def isnot(self, value):
        return ("isnot", value)


class Statement:
    def __init__(self, entity, conditions=()):
        self.entity = entity
        self.conditions = conditions

    def where(self, condition):
        return Statement(self.entity, self.conditions + (condition,))

    def __eq__(self, other):
        return (isinstance(other, Statement) and self.entity is other.entity
                and self.conditions == other.conditions)


def fake_select(entity):
    return Statement(entity)


class FakeUsers:
    api_token = Column()


def user_row(username, firstname="Ada", lastname="Lovelace"):
    return Record(username=username, firstname=firstname, lastname=lastname)


def token(uid, name="laptop", api_token="s3cret-token", server_url="http://platform.test"):
    return Record(uid=uid, name=name, api_token=api_token, server_url=server_url)


# --- the token store --------------------------------------------------------------------------

class Dao:
    """Stands in for `dao_api_token`: `tokens` maps a user to what `read` gives."""

    def __init__(self, events):
        self.events = events
        self.calls = []
        self.tokens = {}
        self.errors = {}

    def _record(self, name, args):
        self.calls.append(Call(name, args, {}))
        self.events.append(f"dao.{name}")
        if name in self.errors:
            raise self.errors[name]

    def read(self, *args):
        self._record("read", args)
        return self.tokens.get(args[0])

    def delete(self, *args):
        self._record("delete", args)
        self.tokens.pop(args[0], None)


class TokenCache(dict):
    def __init__(self, events):
        super().__init__()
        self.events = events
        self.pops = []

    def pop(self, *args):
        self.pops.append(args)
        self.events.append("cache.pop")
        return super().pop(*args)


def model(name, events):
    """A read-model class: keyword construction is recorded and gives a `Record`."""
    def build(*args, **kwargs):
        assert args == ()
        return Record(model=name, **kwargs)
    return Recorder(name, events, compute=build)


class KeychitsEnv:
    """Installs a recording fake for every outside name of the module."""

    def __init__(self, module, monkeypatch):
        self.module = module
        self.events = []
        self.settings = types.SimpleNamespace(user_sub="user-ada", server_url="http://platform.test")
        self.get_user_settings = Recorder("get_user_settings", self.events,
                                          compute=lambda: self.settings)
        self.sessions = SessionFactory(self.events)
        self.dao = Dao(self.events)
        self.cache = TokenCache(self.events)
        self.issued = Record(uid="uid-new", name="given name", api_token="s3cret-issued")
        self.api_token_create = Recorder("api_token_create", self.events,
                                         compute=lambda **kw: self.issued)
        self.api_token_delete = Recorder("api_token_delete", self.events)
        self.test_api_token = Recorder("test_api_token", self.events)
        self.store_API_token = Recorder("store_API_token", self.events)
        self.generate_token_name = Recorder("generate_token_name", self.events,
                                            result="ada@host (Linux)-abc123")
        replacements = {
            "get_user_settings": self.get_user_settings,
            "get_db_session_context": self.sessions,
            "dao_api_token": self.dao,
            "TOKEN_CACHE": self.cache,
            "select": fake_select,
            "Users": FakeUsers,
            "api_token_create": self.api_token_create,
            "api_token_delete": self.api_token_delete,
            "test_api_token": self.test_api_token,
            "store_API_token": self.store_API_token,
            "generate_token_name": self.generate_token_name,
            "CONNECTION_ERRORS": (ConnectFailed, ConnectTimedOut),
        }
        for name in ERROR_CLASSES:
            cls = type(name, (Exception,), {})
            setattr(self, name, cls)
            replacements[name] = cls
        for name in MODELS:
            replacements[name] = model(name, self.events)
        for name, value in replacements.items():
            monkeypatch.setattr(module, name, value)

    def store(self, username, token_info, **names):
        """A user row whose stored token is `token_info`."""
        self.sessions.users.append(user_row(username, **names))
        self.dao.tokens[username] = token_info

    def session(self, index=0):
        return self.sessions.contexts[index]


@pytest.fixture
def kc():
    return load_keychits()


@pytest.fixture
def env(kc, monkeypatch):
    return KeychitsEnv(kc, monkeypatch)


@pytest.fixture
def platform():
    """The remote platform on a free loopback port, stopped after the test."""
    with PlatformServer() as server:
        yield server


@pytest.fixture
def logged_in(platform, tmp_path, monkeypatch):
    """A fresh local store and a logged-in user whose server is the loopback platform."""
    monkeypatch.setenv("VORNAL_CLIENT_DB", str(tmp_path / "client.sqlite3"))
    monkeypatch.setenv("VORNAL_USER_SUB", "user-ada")
    monkeypatch.setenv("VORNAL_SERVER_URL", platform.url)
    from vornal_client.remote.keychits import TOKEN_CACHE
    TOKEN_CACHE.clear()
    yield platform
    TOKEN_CACHE.clear()
