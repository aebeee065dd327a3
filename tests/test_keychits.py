"""Local API tokens (keychits) against recording fakes of every outside name: the interface, the
steps of each function, and the failure table word for word."""
import inspect
import traceback

import pytest

from keychits_fakes import (  # noqa: F401  (fixtures)
    MODULE_NAME, SOURCE_PATH, Boom, ConnectFailed, ConnectTimedOut, Statement, FakeUsers, Record,
    call, drive, env, kc, token, user_row)

DOCS = {
    "create_api_token": (
        "create_api_token(str name: str | None = None) -> APITokenCreateResponse\n\n"
        "Create a new API token for the currently logged-in user.\n\n"
        "Calls the remote server to generate the token, then stores it locally.\n"
        'If name is None, a descriptive name is auto-generated (e.g. "ada@workstation (Linux)-a1b2c3").\n\n'
        "Raises if the user already has a local token (must delete it first)."),
    "list_keychits": (
        "list_keychits() -> List[APITokenReadLocal]\n\n"
        "List all locally stored API tokens (one per user who has logged in).\n\n"
        "A token stored by vornal_client itself can be without a uid, when the token was added\n"
        "by the user and could not be identified on the server. Such a token cannot be revoked,\n"
        "and is therefore not addressable by the delete and check endpoints."),
    "delete_api_token": (
        "delete_api_token(str api_key_uid: str) -> None\n\n"
        "Delete an API token: revoke it on the remote server, then remove it locally.\n\n"
        "A token that the server no longer knows about is removed locally too.\n\n"
        "Raises if the uid is not found in the local database.\n"
        "Raises if the server cannot be reached or returns an error."),
    "check_api_token": (
        "check_api_token(str api_key_uid: str) -> APITokenCheckResponse\n\n"
        "Check if a locally stored API token is still valid on the remote server."),
    "_require_user_without_token": (
        "_require_user_without_token() -> tuple[str, str]\n\n"
        "Return the (user_sub, server_url) of the logged-in user, for a token that is about to be stored.\n\n"
        "Raises when no user is logged in, or when that user already has a local token."),
    "_find_local_token_by_uid": (
        "_find_local_token_by_uid(str api_key_uid: str) -> tuple[str, APIKeyInfo]\n\n"
        "Return the (user_sub, token info) of the token with the given uid in the local database.\n\n"
        "Raises when no local token has that uid, also when the server does have such a token."),
    "_to_read_local": "_to_read_local(user: Users, token_info: APIKeyInfo) -> APITokenReadLocal",
}

# name: (annotations, defaults, is coroutine, code object's variable names)
INTERFACE = {
    "create_api_token": ({"name": "str | None", "return": "APITokenCreateResponse"}, (None,), True,
                         ("name", "_", "server_url", "token_name", "token_response", "e", "token_info")),
    "list_keychits": ({"return": "List[APITokenReadLocal]"}, None, True,
                      ("session", "stmt", "users", "results", "user", "token_info")),
    "delete_api_token": ({"api_key_uid": "str", "return": "None"}, None, True,
                         ("api_key_uid", "user_sub", "token_info", "e", "session")),
    "check_api_token": ({"api_key_uid": "str", "return": "APITokenCheckResponse"}, None, True,
                        ("api_key_uid", "user_sub", "token_info")),
    "_require_user_without_token": ({"return": "tuple[str, str]"}, None, False,
                                    ("user_settings", "session", "existing")),
    "_find_local_token_by_uid": ({"api_key_uid": "str", "return": "tuple[str, APIKeyInfo]"}, None, False,
                                 ("api_key_uid", "session", "stmt", "user", "token_info")),
    "_to_read_local": ({"user": "Users", "token_info": "APIKeyInfo", "return": "APITokenReadLocal"}, None,
                       False, ("user", "token_info")),
}


@pytest.mark.parametrize("name", list(INTERFACE))
def test_interface(kc, name):
    annotations, defaults, is_coroutine, varnames = INTERFACE[name]
    func = getattr(kc, name)
    assert func.__doc__ == DOCS[name]
    assert func.__annotations__ == annotations
    assert func.__defaults__ == defaults
    assert func.__module__ == MODULE_NAME
    assert inspect.iscoroutinefunction(func) is is_coroutine
    assert func.__code__.co_varnames == varnames
    assert func.__code__.co_filename == SOURCE_PATH


def test_outside_names_are_bound_in_order(kc):
    names = [name for name in vars(kc) if not name.startswith("__")]
    assert names[:23] == [
        "List", "select", "NoUserLoggedInError", "TokenNotFoundError", "UserAlreadyHasTokenError",
        "ServerOperationError", "ServerUnreachableError", "APITokenCheckResponse",
        "APITokenCreateResponse", "APITokenReadLocal", "APIKeyInvalidException", "dao_api_token",
        "get_db_session_context", "Users", "APIKeyInfo", "TOKEN_CACHE", "generate_token_name",
        "store_API_token", "test_api_token", "api_token_create", "api_token_delete",
        "CONNECTION_ERRORS", "APITokenNotFound"]
    assert names[23:] == ["get_user_settings", *INTERFACE]


class Label(str):
    """A str subclass: str parameters reject it."""


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("create_api_token", ("a", "b"), {}, "create_api_token() takes at most 1 positional argument (2 given)"),
    ("create_api_token", (7,), {}, "Argument 'name' has incorrect type (expected str, got int)"),
    ("create_api_token", (), {"label": "x"}, "create_api_token() got an unexpected keyword argument 'label'"),
    ("list_keychits", (1,), {}, "list_keychits() takes no arguments (1 given)"),
    ("delete_api_token", (), {}, "delete_api_token() takes exactly 1 positional argument (0 given)"),
    ("delete_api_token", (None,), {}, "Argument 'api_key_uid' has incorrect type (expected str, got NoneType)"),
    ("check_api_token", (b"uid",), {}, "Argument 'api_key_uid' has incorrect type (expected str, got bytes)"),
    ("_require_user_without_token", (), {"user": 1}, "_require_user_without_token() takes no keyword arguments"),
    ("_find_local_token_by_uid", ("a", "b"), {}, "_find_local_token_by_uid() takes exactly 1 positional argument (2 given)"),
    ("_to_read_local", (1,), {}, "_to_read_local() takes exactly 2 positional arguments (1 given)"),
])
def test_wrong_arguments_fail_before_anything_runs(kc, env, name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(kc, name)(*args, **kwargs)
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", []) == []
    assert env.events == []


def test_a_str_subclass_uid_is_refused_with_a_note(kc, env):
    with pytest.raises(TypeError, match=r"expected str, got Label") as info:
        kc.check_api_token(Label("uid-1"))
    assert len(info.value.__notes__) == 1 and "subclass" in info.value.__notes__[0]


# --- creating ---------------------------------------------------------------------------------

@pytest.mark.parametrize("args, expected_name", [
    (("given name",), "given name"),
    ((), "ada@host (Linux)-abc123"),
    ((None,), "ada@host (Linux)-abc123"),
    (("",), "ada@host (Linux)-abc123"),
])
def test_create_issues_stores_and_answers(kc, env, args, expected_name):
    response = drive(kc.create_api_token(*args))
    info = Record(model="APIKeyInfo", uid="uid-new", name="given name", api_token="s3cret-issued",
                  server_url="http://platform.test")
    assert env.api_token_create.calls == [call("api_token_create", name=expected_name)]
    assert env.store_API_token.calls == [call("store_API_token", info)]
    assert response == Record(model="APITokenCreateResponse", uid="uid-new", name="given name",
                              api_token="s3cret-issued", server_url="http://platform.test")
    assert env.dao.calls == [call("read", "user-ada", env.session().session)]
    assert env.session().exits == [(None, None, None)]
    generated = [] if args and args[0] else ["generate_token_name"]
    assert env.events == ["get_user_settings", "session.open", "session.enter", "dao.read", "session.exit",
                          *generated, "api_token_create", "APIKeyInfo", "store_API_token",
                          "APITokenCreateResponse"]


@pytest.mark.parametrize("user_sub, server_url, message", [
    (None, "http://platform.test", "No user is currently logged in."),
    ("", "http://platform.test", "No user is currently logged in."),
    (None, None, "No user is currently logged in."),
    ("user-ada", "", "No server URL configured."),
    ("user-ada", None, "No server URL configured."),
])
def test_create_refuses_without_user_or_server(kc, env, user_sub, server_url, message):
    env.settings.user_sub, env.settings.server_url = user_sub, server_url
    with pytest.raises(env.NoUserLoggedInError) as info:
        drive(kc.create_api_token("name"))
    assert info.value.args == (message,)
    assert env.events == ["get_user_settings"]


def test_create_refuses_a_user_who_has_a_token_before_any_remote_call(kc, env):
    env.dao.tokens["user-ada"] = token("uid-old")
    with pytest.raises(env.UserAlreadyHasTokenError) as info:
        drive(kc.create_api_token())
    assert info.value.args == ("User 'user-ada' already has a local API token. Delete it first.",)
    assert env.session().exits == [(None, None, None)]
    assert env.events[-1] == "session.exit"


@pytest.mark.parametrize("error, expected, message", [
    (ConnectFailed("refused"), "ServerUnreachableError", "Cannot reach the server to create the token."),
    (ConnectTimedOut("slow"), "ServerUnreachableError", "Cannot reach the server to create the token."),
    (Boom("502 Bad Gateway"), "ServerOperationError", "Server error while creating token: 502 Bad Gateway"),
    (KeyError("uid"), "ServerOperationError", "Server error while creating token: 'uid'"),
])
def test_create_converts_remote_failures(kc, env, error, expected, message):
    env.api_token_create.error = error
    with pytest.raises(getattr(env, expected)) as info:
        drive(kc.create_api_token("name"))
    assert info.value.args == (message,)
    assert info.value.__context__ is error
    assert info.value.__cause__ is None and not info.value.__suppress_context__
    assert env.store_API_token.calls == [] and env.api_token_delete.calls == []


def test_handlers_are_tried_in_order(kc, env):
    # revoking: "not found" comes before "unreachable"
    stored = token("uid-1")
    env.store("user-ada", stored)
    both = type("Both", (env.APITokenNotFound, ConnectFailed), {})
    env.api_token_delete.error = both("gone")
    assert drive(kc.delete_api_token("uid-1")) is None
    assert env.dao.tokens == {}
    # checking: "invalid" comes before "unreachable"
    env.store("user-ada", stored)
    env.test_api_token.error = type("Both", (env.APIKeyInvalidException, ConnectFailed), {})("no")
    assert drive(kc.check_api_token("uid-1")) == Record(model="APITokenCheckResponse", valid=False)


@pytest.mark.parametrize("connection_errors", [ConnectFailed, (ConnectFailed,), ((ConnectFailed,),)])
def test_connection_errors_are_looked_up_when_a_clause_is_tried(kc, env, monkeypatch, connection_errors):
    env.api_token_create.error = error = ConnectFailed("refused")
    monkeypatch.setattr(kc, "CONNECTION_ERRORS", connection_errors)
    if connection_errors == ((ConnectFailed,),):
        with pytest.raises(TypeError) as info:
            drive(kc.create_api_token("name"))
        assert str(info.value) == "catching classes that do not inherit from BaseException is not allowed"
    else:
        with pytest.raises(env.ServerUnreachableError) as info:
            drive(kc.create_api_token("name"))
    assert info.value.__context__ is error


def test_a_missing_connection_errors_name_fails_only_when_a_clause_is_tried(kc, env, monkeypatch):
    monkeypatch.delattr(kc, "CONNECTION_ERRORS")
    drive(kc.create_api_token("name"))
    env.dao.tokens.clear()
    env.api_token_create.error = error = Boom("down")
    with pytest.raises(NameError) as info:
        drive(kc.create_api_token("name"))
    assert str(info.value) == "name 'CONNECTION_ERRORS' is not defined"
    assert info.value.__context__ is error


# --- the mend: an issued token that cannot be kept is revoked ---------------------------------

@pytest.mark.parametrize("failing", ["APIKeyInfo", "store_API_token", "APITokenCreateResponse"])
@pytest.mark.parametrize("error", [Boom("disk full"), KeyboardInterrupt()], ids=["Exception", "KeyboardInterrupt"])
def test_create_revokes_a_token_it_cannot_keep(kc, env, monkeypatch, failing, error):
    failing_step = getattr(kc, failing)
    failing_step.error = error
    with pytest.raises(type(error)) as info:
        drive(kc.create_api_token("name"))
    assert info.value is error
    assert error.__context__ is None
    assert env.api_token_delete.calls == [call("api_token_delete", "uid-new")]
    assert env.events[-2:] == [failing, "api_token_delete"]


def test_a_failed_revocation_leaves_the_original_error(kc, env):
    env.store_API_token.error = original = Boom("disk full")
    env.api_token_delete.error = ConnectFailed("refused")
    with pytest.raises(Boom) as info:
        drive(kc.create_api_token("name"))
    assert info.value is original and original.__context__ is None


def test_the_issued_token_is_not_revoked_when_no_token_was_issued(kc, env):
    env.api_token_create.error = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        drive(kc.create_api_token("name"))
    assert env.api_token_delete.calls == []


# --- listing ----------------------------------------------------------------------------------

def test_list_converts_each_stored_token_in_order(kc, env):
    env.store("user-b", token("uid-b", name="desk", server_url="http://b.test"), firstname=None)
    env.sessions.users.append(user_row("user-without"))  # token column set, nothing readable
    env.store("user-a", token(None, name="added by hand"))
    listed = drive(kc.list_keychits())
    assert listed == [
        Record(model="APITokenReadLocal", user_sub="user-b", user_name="None Lovelace",
               api_key_name="desk", api_key_uid="uid-b", server_url="http://b.test"),
        Record(model="APITokenReadLocal", user_sub="user-a", user_name="Ada Lovelace",
               api_key_name="added by hand", api_key_uid=None, server_url="http://platform.test"),
    ]
    context = env.session()
    assert context.statements == [Statement(FakeUsers, (("isnot", None),))]
    assert [c.args[0] for c in env.dao.calls] == ["user-b", "user-without", "user-a"]
    assert all(c.args[1] is context.session for c in env.dao.calls)
    assert context.exits == [(None, None, None)] and env.events[-1] == "session.exit"


def test_list_is_empty_without_stored_tokens(kc, env):
    assert drive(kc.list_keychits()) == []


# --- deleting and checking --------------------------------------------------------------------

def test_delete_revokes_then_removes_locally(kc, env):
    env.store("user-x", token("uid-x"))
    env.store("user-ada", token("uid-1"))
    env.cache["user-ada"] = "cached"
    assert drive(kc.delete_api_token("uid-1")) is None
    assert env.api_token_delete.calls == [call("api_token_delete", "uid-1")]
    find, remove = env.sessions.contexts
    assert env.dao.calls[-1] == call("delete", "user-ada", remove.session)
    assert env.cache.pops == [("user-ada", None)] and "user-ada" not in env.cache
    assert env.events[-6:] == ["api_token_delete", "session.open", "session.enter", "dao.delete",
                               "session.exit", "cache.pop"]


def test_delete_of_a_token_the_server_does_not_know_still_removes_it(kc, env):
    env.store("user-ada", token("uid-1"))
    env.api_token_delete.error = env.APITokenNotFound("gone")
    assert drive(kc.delete_api_token("uid-1")) is None
    assert env.dao.tokens == {} and env.cache.pops == [("user-ada", None)]


@pytest.mark.parametrize("error, expected, message", [
    (ConnectFailed("refused"), "ServerUnreachableError", "Cannot reach the server to revoke the token."),
    (Boom("500 Internal Server Error"), "ServerOperationError",
     "Server error while revoking token: 500 Internal Server Error"),
])
def test_delete_converts_remote_failures_and_keeps_the_token(kc, env, error, expected, message):
    stored = token("uid-1")
    env.store("user-ada", stored)
    env.api_token_delete.error = error
    with pytest.raises(getattr(env, expected)) as info:
        drive(kc.delete_api_token("uid-1"))
    assert info.value.args == (message,) and info.value.__context__ is error
    assert env.dao.tokens == {"user-ada": stored} and env.cache.pops == []


def test_check_answers_valid_or_not(kc, env):
    stored = token("uid-1")
    env.store("user-ada", stored)
    assert drive(kc.check_api_token("uid-1")) == Record(model="APITokenCheckResponse", valid=True)
    assert env.test_api_token.calls == [call("test_api_token", "user-ada", stored)]
    env.test_api_token.error = env.APIKeyInvalidException("rejected")
    assert drive(kc.check_api_token("uid-1")) == Record(model="APITokenCheckResponse", valid=False)


def test_check_unreachable_and_other_failures(kc, env):
    env.store("user-ada", token("uid-1"))
    env.test_api_token.error = error = ConnectTimedOut("slow")
    with pytest.raises(env.ServerUnreachableError) as info:
        drive(kc.check_api_token("uid-1"))
    assert info.value.args == ("Cannot reach the server to validate the token.",)
    assert info.value.__context__ is error
    env.test_api_token.error = error = Boom("500")
    with pytest.raises(Boom) as info:
        drive(kc.check_api_token("uid-1"))
    assert info.value is error and error.__context__ is None


@pytest.mark.parametrize("name", ["delete_api_token", "check_api_token"])
def test_an_unknown_uid_is_not_found(kc, env, name):
    env.store("user-a", token("uid-a"))
    env.store("user-b", token(None))
    with pytest.raises(env.TokenNotFoundError) as info:
        drive(getattr(kc, name)("uid-z"))
    assert info.value.args == ("No local token found with uid 'uid-z'.",)
    assert env.api_token_delete.calls == [] and env.test_api_token.calls == []
    assert env.session().exits == [(None, None, None)]


def test_find_takes_the_first_match_by_equality(kc, env):
    class Uid(str):
        pass
    env.store("user-a", token(Uid("uid-1")))
    env.store("user-b", token("uid-1"))
    user_sub, info = kc._find_local_token_by_uid("uid-1")
    assert user_sub == "user-a" and info is env.dao.tokens["user-a"]
    assert [c.args[0] for c in env.dao.calls] == ["user-a"]


@pytest.mark.parametrize("name, args, endpoint, error", [
    ("create_api_token", (), "api_token_create", KeyboardInterrupt()),
    ("delete_api_token", ("uid-1",), "api_token_delete", KeyboardInterrupt()),
    ("check_api_token", ("uid-1",), "test_api_token", SystemExit(3)),
])
def test_exceptions_that_are_not_exception_pass_unchanged(kc, env, name, args, endpoint, error):
    env.store("user-x", token("uid-1"))
    getattr(env, endpoint).error = error
    with pytest.raises(type(error)) as info:
        drive(getattr(kc, name)(*args))
    assert info.value is error and error.__context__ is None
    assert env.store_API_token.calls == [] and "dao.delete" not in env.events


# --- the session block ------------------------------------------------------------------------

def test_a_store_error_reaches_the_session_and_passes_unchanged(kc, env):
    env.store("user-ada", token("uid-1"))
    env.dao.errors["read"] = error = Boom("locked")
    with pytest.raises(Boom) as info:
        drive(kc.delete_api_token("uid-1"))
    assert info.value is error
    (exc_type, exc, tb), = env.session().exits
    assert exc_type is Boom and exc is error
    # The exit handler sees the entry of the plain function that holds the block.
    assert [f.name for f in traceback.extract_tb(tb)][0] == f"{MODULE_NAME}._find_local_token_by_uid"
    names = [f.name for f in traceback.extract_tb(error.__traceback__) if f.filename == SOURCE_PATH]
    assert names == ["delete_api_token", f"{MODULE_NAME}._find_local_token_by_uid"]


@pytest.mark.parametrize("call_it, local", [
    (lambda kc: kc._require_user_without_token(), "existing"),
    (lambda kc: drive(kc.list_keychits()), "results"),
])
def test_a_swallowed_error_leaves_the_local_unassigned(kc, env, call_it, local):
    env.sessions.swallow = True
    env.dao.errors["read"] = Boom("locked")
    env.sessions.scalars_error = Boom("no such table")
    with pytest.raises(UnboundLocalError) as info:
        call_it(kc)
    assert str(info.value) == f"local variable '{local}' referenced before assignment"


class BadTruth:
    def __bool__(self):
        raise ZeroDivisionError("no truth value")


@pytest.mark.parametrize("failing_exit", ["raises", "answers without a truth value"])
def test_an_exit_handler_error_keeps_the_body_error_as_context(kc, env, failing_exit):
    env.store("user-ada", token("uid-1"))
    env.dao.errors["read"] = error = Boom("locked")
    if failing_exit == "raises":
        env.sessions.exit_error = exit_error = RuntimeError("cannot roll back")
        expected = RuntimeError
    else:
        env.sessions.swallow = BadTruth()
        expected = ZeroDivisionError
    with pytest.raises(expected) as info:
        kc._find_local_token_by_uid("uid-1")
    assert info.value.__context__ is error
    assert env.session().handled == [error]
    if failing_exit == "raises":
        assert info.value is exit_error


def test_a_swallowed_error_while_finding_means_not_found(kc, env):
    env.sessions.swallow = True
    env.store("user-a", token("uid-1"))
    env.dao.errors["read"] = Boom("locked")
    with pytest.raises(env.TokenNotFoundError):
        kc._find_local_token_by_uid("uid-1")


# --- tracebacks and suspension ----------------------------------------------------------------

def test_a_caught_error_shows_the_module_qualified_entry(kc, env):
    env.api_token_create.error = error = ConnectFailed("refused")
    with pytest.raises(env.ServerUnreachableError) as info:
        drive(kc.create_api_token("name"))
    raised = traceback.extract_tb(info.value.__traceback__)
    caught = traceback.extract_tb(error.__traceback__)
    assert [(f.filename, f.name) for f in raised][-1] == (SOURCE_PATH, "create_api_token")
    assert (caught[0].filename, caught[0].name) == (SOURCE_PATH, f"{MODULE_NAME}.create_api_token")
    assert caught[1].name == "__call__"  # then the endpoint that raised


@pytest.mark.parametrize("name, args", [
    ("create_api_token", ()), ("list_keychits", ()), ("delete_api_token", ("uid-1",)),
    ("check_api_token", ("uid-1",)),
])
def test_no_coroutine_suspends(kc, env, name, args):
    if name != "create_api_token":
        env.store("user-ada", token("uid-1"))
    coro = getattr(kc, name)(*args)
    with pytest.raises(StopIteration):
        coro.send(None)
    assert coro.cr_await is None and not coro.cr_running
