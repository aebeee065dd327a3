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
    env.store("user-x", token("uid-x"))
    setup(env, monkeypatch)
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
