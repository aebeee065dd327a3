"""The keychits module against the same statements run by the interpreter itself: the `with`
blocks and `try`/`except` chains of creating, finding and deleting a token, under tables of
failures injected at every step. Both runs see fresh recording fakes; their outcomes must be alike
(result or exception, its text and implicit context, the steps taken, what each `__exit__` got
and saw as the exception being handled)."""
import sys
import types

import pytest

from keychits_fakes import Boom, ConnectFailed, KeychitsEnv, drive, kc, token  # noqa: F401


# The same statements in Python; `in_module` runs them with the module's namespace as their
# globals, so that names are looked up (and missing) exactly as the module's own are.
# ruff: noqa: F821
def _find_local_token_by_uid(api_key_uid):
    with get_db_session_context() as session:
        stmt = select(Users).where(Users.api_token.isnot(None))
        for user in session.scalars(stmt).all():
            token_info = dao_api_token.read(user.username, session)
            if token_info is not None and token_info.uid == api_key_uid:
                return (user.username, token_info)
    raise TokenNotFoundError(f"No local token found with uid '{api_key_uid}'.")


async def delete_api_token(api_key_uid):
    user_sub, token_info = _find_local_token_by_uid(api_key_uid)
    try:
        api_token_delete(token_info.uid)
    except APITokenNotFound:
        pass
    except CONNECTION_ERRORS:
        raise ServerUnreachableError("Cannot reach the server to revoke the token.")
    except Exception as e:
        raise ServerOperationError(f"Server error while revoking token: {e}")
    with get_db_session_context() as session:
        dao_api_token.delete(user_sub, session)
    TOKEN_CACHE.pop(user_sub, None)
    return None


def _require_user_without_token():
    user_settings = get_user_settings()
    if not user_settings.user_sub:
        raise NoUserLoggedInError("No user is currently logged in.")
    if not user_settings.server_url:
        raise NoUserLoggedInError("No server URL configured.")
    with get_db_session_context() as session:
        existing = dao_api_token.read(user_settings.user_sub, session)
    if existing is not None:
        raise UserAlreadyHasTokenError(
            f"User '{user_settings.user_sub}' already has a local API token. Delete it first.")
    return (user_settings.user_sub, user_settings.server_url)


async def create_api_token(name=None):
    _, server_url = _require_user_without_token()
    token_name = name if name else generate_token_name()
    try:
        token_response = api_token_create(name=token_name)
    except CONNECTION_ERRORS:
        raise ServerUnreachableError("Cannot reach the server to create the token.")
    except Exception as e:
        raise ServerOperationError(f"Server error while creating token: {e}")
    try:
        token_info = APIKeyInfo(uid=token_response.uid, name=token_response.name,
                                api_token=token_response.api_token, server_url=server_url)
        store_API_token(token_info)
        return APITokenCreateResponse(uid=token_response.uid, name=token_response.name,
                                      api_token=token_response.api_token, server_url=server_url)
    except BaseException:
        try:
            api_token_delete(token_response.uid)
        except Exception:
            pass
        raise


async def list_keychits():
    with get_db_session_context() as session:
        stmt = select(Users).where(Users.api_token.isnot(None))
        users = session.scalars(stmt).all()
        results = []
        for user in users:
            token_info = dao_api_token.read(user.username, session)
            if token_info is None:
                continue
            results.append(_to_read_local(user, token_info))
    return results


async def check_api_token(api_key_uid):
    user_sub, token_info = _find_local_token_by_uid(api_key_uid)
    try:
        test_api_token(user_sub, token_info)
        return APITokenCheckResponse(valid=True)
    except APIKeyInvalidException:
        return APITokenCheckResponse(valid=False)
    except CONNECTION_ERRORS:
        raise ServerUnreachableError("Cannot reach the server to validate the token.")


def _to_read_local(user, token_info):
    return APITokenReadLocal(
        user_sub=user.username,
        user_name=f"{user.firstname} {user.lastname}",
        api_key_name=token_info.name,
        api_key_uid=token_info.uid,
        server_url=token_info.server_url,
    )


def in_module(module, function):
    return types.FunctionType(function.__code__, vars(module), function.__name__)


class BadTruth:
    def __bool__(self):
        raise ZeroDivisionError("no truth value")


def both_not_found_and_unreachable(env):
    return type("Both", (env.APITokenNotFound, ConnectFailed), {})("gone")


# Each case sets up the fakes of a fresh environment.
CASES = {
    "success": lambda env, mp: None,
    "store read fails": lambda env, mp: env.dao.errors.update(read=Boom("locked")),
    "store read interrupted": lambda env, mp: env.dao.errors.update(read=KeyboardInterrupt()),
    "swallowed store error": lambda env, mp: (env.dao.errors.update(read=Boom("locked")),
                                              setattr(env.sessions, "swallow", True)),
    "exit raises": lambda env, mp: (env.dao.errors.update(read=Boom("locked")),
                                    setattr(env.sessions, "exit_error", RuntimeError("rollback"))),
    "exit answer without truth": lambda env, mp: (env.dao.errors.update(read=Boom("locked")),
                                                  setattr(env.sessions, "swallow", BadTruth())),
    "exit raises on success": lambda env, mp: setattr(env.sessions, "exit_error", RuntimeError("commit")),
    "not found on server": lambda env, mp: setattr(env.api_token_delete, "error", env.APITokenNotFound("gone")),
    "unreachable": lambda env, mp: setattr(env.api_token_delete, "error", ConnectFailed("refused")),
    "server error": lambda env, mp: setattr(env.api_token_delete, "error", Boom("500")),
    "interrupted revocation": lambda env, mp: setattr(env.api_token_delete, "error", KeyboardInterrupt()),
    "first handler wins": lambda env, mp: setattr(env.api_token_delete, "error",
                                                  both_not_found_and_unreachable(env)),
    "connection errors not classes": lambda env, mp: (setattr(env.api_token_delete, "error", Boom("500")),
                                                      mp.setattr(env.module, "CONNECTION_ERRORS", "oops")),
    "connection errors not tried": lambda env, mp: (
        setattr(env.api_token_delete, "error", env.APITokenNotFound("gone")),
        mp.setattr(env.module, "CONNECTION_ERRORS", "oops")),
    "connection errors missing": lambda env, mp: (setattr(env.api_token_delete, "error", Boom("500")),
                                                  mp.delattr(env.module, "CONNECTION_ERRORS")),
    "handler class missing": lambda env, mp: (setattr(env.api_token_delete, "error", Boom("500")),
                                              mp.delattr(env.module, "ServerOperationError")),
    "store delete fails": lambda env, mp: env.dao.errors.update(delete=Boom("readonly")),
    "swallowed store delete": lambda env, mp: (env.dao.errors.update(delete=Boom("readonly")),
                                               setattr(env.sessions, "swallow", True)),
}


def failing(env, name, error):
    """Makes the fake `name` of the module raise `error`."""
    getattr(env.module, name).error = error


CREATE_CASES = {
    "success": lambda env, mp: None,
    "nobody logged in": lambda env, mp: setattr(env.settings, "user_sub", ""),
    "no server": lambda env, mp: setattr(env.settings, "server_url", None),
    "token held": lambda env, mp: env.dao.tokens.update({"user-ada": token("uid-old")}),
    "exit raises": lambda env, mp: setattr(env.sessions, "exit_error", RuntimeError("commit")),
    "unreachable": lambda env, mp: failing(env, "api_token_create", ConnectFailed("refused")),
    "server error": lambda env, mp: failing(env, "api_token_create", Boom("502")),
    "interrupted": lambda env, mp: failing(env, "api_token_create", KeyboardInterrupt()),
    "record fails": lambda env, mp: failing(env, "APIKeyInfo", Boom("invalid")),
    "store fails": lambda env, mp: failing(env, "store_API_token", Boom("disk full")),
    "store interrupted": lambda env, mp: failing(env, "store_API_token", KeyboardInterrupt()),
    "response fails": lambda env, mp: failing(env, "APITokenCreateResponse", Boom("invalid")),
    "revoke fails too": lambda env, mp: (failing(env, "store_API_token", Boom("disk full")),
                                         failing(env, "api_token_delete", ConnectFailed("refused"))),
    "revoke interrupted": lambda env, mp: (failing(env, "store_API_token", Boom("disk full")),
                                           failing(env, "api_token_delete", KeyboardInterrupt())),
}


LIST_CASES = {
    "success": lambda env, mp: None,
    "nothing stored": lambda env, mp: (env.sessions.users.clear(), env.dao.tokens.clear()),
    "store read fails": lambda env, mp: env.dao.errors.update(read=Boom("locked")),
    "swallowed store error": lambda env, mp: (env.dao.errors.update(read=Boom("locked")),
                                              setattr(env.sessions, "swallow", True)),
    "query fails": lambda env, mp: setattr(env.sessions, "scalars_error", Boom("no such table")),
    "read model fails": lambda env, mp: failing(env, "APITokenReadLocal", Boom("invalid")),
    "exit raises on success": lambda env, mp: setattr(env.sessions, "exit_error", RuntimeError("commit")),
}


CHECK_CASES = {
    "valid": lambda env, mp: None,
    "unknown uid": lambda env, mp: env.dao.tokens.clear(),
    "rejected": lambda env, mp: failing(env, "test_api_token", env.APIKeyInvalidException("rejected")),
    "unreachable": lambda env, mp: failing(env, "test_api_token", ConnectFailed("refused")),
    "server error": lambda env, mp: failing(env, "test_api_token", Boom("500")),
    "interrupted": lambda env, mp: failing(env, "test_api_token", KeyboardInterrupt()),
    # building the answer is guarded as well
    "answer rejected": lambda env, mp: failing(env, "APITokenCheckResponse", env.APIKeyInvalidException("x")),
    "answer fails": lambda env, mp: failing(env, "APITokenCheckResponse", Boom("invalid")),
}


class Traced:
    """Stands in front of an object and records each attribute read from it as "<label>.<name>"
    among the events, so that the order of reads and method lookups is compared too."""

    def __init__(self, target, label, events):
        object.__setattr__(self, "_target", target)
        object.__setattr__(self, "_label", label)
        object.__setattr__(self, "_events", events)

    def __getattr__(self, name):
        self._events.append(f"{self._label}.{name}")
        return getattr(self._target, name)

    def __eq__(self, other):
        return type(other) is Traced and self._target == other._target

    __hash__ = None


class Formatted:
    """A name part whose formatting shows among the events."""

    def __init__(self, text, events):
        self.text = text
        self.events = events

    def __format__(self, spec):
        self.events.append(f"format {self.text}")
        return self.text


def traced(env, monkeypatch):
    """Puts recording stand-ins in front of the objects whose attributes the bodies read."""
    events = env.events
    monkeypatch.setattr(env.module, "dao_api_token", Traced(env.dao, "dao_api_token", events))
    env.settings = Traced(env.settings, "settings", events)
    env.issued = Traced(env.issued, "issued", events)
    env.sessions.users[:] = [Traced(user, "user", events) for user in env.sessions.users]
    env.dao.tokens = {user: Traced(info, "token_info", events) for user, info in env.dao.tokens.items()}


def describe(exc):
    return None if exc is None else (type(exc).__name__, str(exc))


def outcome(env, run):
    try:
        result = ("returned", run())
    except BaseException as exc:  # noqa: BLE001  (every ending is compared)
        result = ("raised", *describe(exc), describe(exc.__context__), exc.__cause__, exc.__suppress_context__)
    exits = [[(t and t.__name__, describe(v)) for t, v, _ in c.exits] for c in env.sessions.contexts]
    handled = [[describe(h) for h in c.handled] for c in env.sessions.contexts]
    return result, env.events, exits, handled


def prepared(module, monkeypatch, setup):
    env = KeychitsEnv(module, monkeypatch)
    env.store("user-x", token("uid-x"), firstname=Formatted("Grace", env.events),
              lastname=Formatted("Hopper", env.events))
    setup(env, monkeypatch)
    traced(env, monkeypatch)
    return env


def compare(module, monkeypatch, setup, name, args, helpers):
    with monkeypatch.context() as mp:
        env = prepared(module, mp, setup)
        ours = outcome(env, lambda: drive(getattr(module, name)(*args)))
    with monkeypatch.context() as mp:
        env = prepared(module, mp, setup)
        # The Python statements call the Python helpers, found in the module namespace.
        for helper in helpers:
            mp.setattr(module, helper.__name__, in_module(module, helper))
        theirs = outcome(env, lambda: drive(in_module(module, globals()[name])(*args)))
    assert ours == theirs
    assert sys.exception() is None


@pytest.mark.parametrize("case", list(CASES))
def test_delete_runs_its_statements_as_the_interpreter_does(kc, monkeypatch, case):
    def setup(env, mp):
        env.store("user-ada", token("uid-1"))
        CASES[case](env, mp)
    compare(kc, monkeypatch, setup, "delete_api_token", ("uid-1",), [_find_local_token_by_uid])


@pytest.mark.parametrize("case", list(CREATE_CASES))
def test_create_runs_its_statements_as_the_interpreter_does(kc, monkeypatch, case):
    compare(kc, monkeypatch, CREATE_CASES[case], "create_api_token", ("desk",), [_require_user_without_token])


@pytest.mark.parametrize("case", list(LIST_CASES))
def test_list_runs_its_statements_as_the_interpreter_does(kc, monkeypatch, case):
    def setup(env, mp):
        env.store("user-ada", token(None), firstname=None)
        LIST_CASES[case](env, mp)
    compare(kc, monkeypatch, setup, "list_keychits", (), [_to_read_local])


@pytest.mark.parametrize("case", list(CHECK_CASES))
def test_check_runs_its_statements_as_the_interpreter_does(kc, monkeypatch, case):
    def setup(env, mp):
        env.store("user-ada", token("uid-1"))
        CHECK_CASES[case](env, mp)
    compare(kc, monkeypatch, setup, "check_api_token", ("uid-1",), [_find_local_token_by_uid])
