// The local API tokens: the logged-in user's token issued by the remote server and kept in the
// local store, listed, checked against the server, and revoked there before it is removed here.
#include "module_frame/calls.hpp"

namespace {

using namespace vornal::frame;

// ---- helpers shared by the bodies ----

/// `with get_db_session_context() as session: body(session)`
template <class Body>
object session_block(Body body, location where = location::current()) {
    return plain_with_block(call({global("get_db_session_context"_id, where), where}), std::move(body), where);
}

/// `dao_api_token.read(<holder>.<user_attribute>, session)`: the method is looked up before the
/// user is read, as the call expression evaluates.
object read_stored_token(handle holder, const identifier& user_attribute, handle session,
                         location where = location::current()) {
    object read = attr(global("dao_api_token"_id, where), "read"_id, where);
    object user_sub = attr(holder, user_attribute, where);
    return call({read, where}, user_sub, session);
}

/// `select(Users).where(Users.api_token.isnot(None))`: the users whose token column is set.
object users_with_token(location where = location::current()) {
    object select = global("select"_id, where);
    object selected = call({select, where}, global("Users"_id, where));
    object where_method = attr(selected, "where"_id, where);
    object column = attr(global("Users"_id, where), "api_token"_id, where);
    return call({where_method, where}, call_method({column, where}, "isnot"_id, none()));
}

/// `session.scalars(statement).all()`
object all_rows(handle session, handle statement, location where = location::current()) {
    return call_method({call_method({session, where}, "scalars"_id, statement), where}, "all"_id);
}

/// `<model>(uid=issued.uid, name=issued.name, api_token=issued.api_token, server_url=server_url)`
object token_record(const identifier& model, handle issued, handle server_url, location where = location::current()) {
    object model_class = global(model, where);
    object uid = attr(issued, "uid"_id, where);
    object name = attr(issued, "name"_id, where);
    object api_token = attr(issued, "api_token"_id, where);
    return call_kw({model_class, where}, keywords<"uid", "name", "api_token", "server_url">(), uid, name, api_token,
                   server_url);
}

/// `APITokenCheckResponse(valid=valid)`
object check_response(bool valid, location where = location::current()) {
    return call_kw({global("APITokenCheckResponse"_id, where), where}, keywords<"valid">(), boolean(valid));
}

/// `api_token_delete(token.uid)`, going on after the `try` statement that holds it.
object revoke(handle token, location where = location::current()) {
    object api_token_delete = global("api_token_delete"_id, where);
    call({api_token_delete, where}, attr(token, "uid"_id, where));
    return {};
}

/// Goes on after the `try` statement: `except ...: pass`.
object pass(handle) { return {}; }

// ---- the token functions ----

/// Keeps the token that the server has just issued and answers with it. Should anything on the
/// way fail, even with an exception that is not an Exception, the token is revoked on the server
/// as a best effort before the error goes on unchanged: nobody could revoke it otherwise.
object keep_issued_token(handle issued, handle server_url) {
    return try_except(
        [&] {
            object token_info = token_record("APIKeyInfo"_id, issued, server_url);
            call(global("store_API_token"_id), token_info);
            return token_record("APITokenCreateResponse"_id, issued, server_url);
        },
        except(PyExc_BaseException, [&](handle) -> object {
            try_except([&] { return revoke(issued); }, except(PyExc_Exception, pass));
            throw;
        }));
}

const function_spec create_api_token{
    .name = "create_api_token",
    .params = {exact_str("name", "str | None").or_none().defaults_to(nullptr)},
    .returns = "APITokenCreateResponse",
    .doc = "Create a new API token for the currently logged-in user.\n"
           "\n"
           "Calls the remote server to generate the token, then stores it locally.\n"
           "If name is None, a descriptive name is auto-generated (e.g. \"ada@workstation (Linux)-a1b2c3\").\n"
           "\n"
           "Raises if the user already has a local token (must delete it first).",
    .locals = "_ server_url token_name token_response e token_info",
    .coroutine = [](arguments a) static -> task {
        handle name = a[0];
        object server_url = unpack<2>(call(global("_require_user_without_token"_id)))[1];
        object token_name = is_true(name) ? object::borrow(name) : call(global("generate_token_name"_id));
        object token_response = try_except(
            [&] { return call_kw(global("api_token_create"_id), keywords<"name">(), token_name); },
            except("CONNECTION_ERRORS"_id, [](handle) -> object {
                raise_error("ServerUnreachableError"_id, "Cannot reach the server to create the token."_id);
            }),
            except(PyExc_Exception, [](handle e) -> object {
                raise_error("ServerOperationError"_id, [e] { return f_string("Server error while creating token: ", e); });
            }));
        co_return keep_issued_token(token_response, server_url);
    },
};

const function_spec list_keychits{
    .name = "list_keychits",
    .returns = "List[APITokenReadLocal]",
    .doc = "List all locally stored API tokens (one per user who has logged in).\n"
           "\n"
           "A token stored by vornal_client itself can be without a uid, when the token was added\n"
           "by the user and could not be identified on the server. Such a token cannot be revoked,\n"
           "and is therefore not addressable by the delete and check endpoints.",
    .locals = "session stmt users results user token_info",
    .coroutine = [](arguments) static -> task {
        object results;
        session_block([&](handle session) -> object {
            object stmt = users_with_token();
            object users = all_rows(session, stmt);
            results = check(PyList_New(0));
            for (const object& user : items(users)) {
                object token_info = read_stored_token(user, "username"_id, session);
                if (token_info.is_none()) continue;
                object to_read_local = global("_to_read_local"_id);
                check_status(PyList_Append(results.ptr(), call(to_read_local, user, token_info).ptr()));
            }
            return object();
        });
        co_return assigned(std::move(results), "results");
    },
};

const function_spec delete_api_token{
    .name = "delete_api_token",
    .params = {exact_str("api_key_uid", "str")},
    .returns = "None",
    .doc = "Delete an API token: revoke it on the remote server, then remove it locally.\n"
           "\n"
           "A token that the server no longer knows about is removed locally too.\n"
           "\n"
           "Raises if the uid is not found in the local database.\n"
           "Raises if the server cannot be reached or returns an error.",
    .locals = "user_sub token_info e session",
    .coroutine = [](arguments a) static -> task {
        auto found = unpack<2>(call(global("_find_local_token_by_uid"_id), a[0]));
        handle user_sub = found[0], token_info = found[1];
        try_except(
            [&] { return revoke(token_info); },
            except("APITokenNotFound"_id, pass),
            except("CONNECTION_ERRORS"_id, [](handle) -> object {
                raise_error("ServerUnreachableError"_id, "Cannot reach the server to revoke the token."_id);
            }),
            except(PyExc_Exception, [](handle e) -> object {
                raise_error("ServerOperationError"_id, [e] { return f_string("Server error while revoking token: ", e); });
            }));
        session_block([&](handle session) -> object {
            call_method(global("dao_api_token"_id), "delete"_id, user_sub, session);
            return object();
        });
        call_method(global("TOKEN_CACHE"_id), "pop"_id, user_sub, none());
        co_return none();
    },
};

const function_spec check_api_token{
    .name = "check_api_token",
    .params = {exact_str("api_key_uid", "str")},
    .returns = "APITokenCheckResponse",
    .doc = "Check if a locally stored API token is still valid on the remote server.",
    .locals = "user_sub token_info",
    .coroutine = [](arguments a) static -> task {
        auto found = unpack<2>(call(global("_find_local_token_by_uid"_id), a[0]));
        handle user_sub = found[0], token_info = found[1];
        co_return try_except(
            [&] {
                object test = global("test_api_token"_id);
                call(test, user_sub, token_info);
                return check_response(true);
            },
            except("APIKeyInvalidException"_id, [](handle) { return check_response(false); }),
            except("CONNECTION_ERRORS"_id, [](handle) -> object {
                raise_error("ServerUnreachableError"_id, "Cannot reach the server to validate the token."_id);
            }));
    },
};

// ---- the private helpers ----

const function_spec require_user_without_token{
    .name = "_require_user_without_token",
    .returns = "tuple[str, str]",
    .doc = "Return the (user_sub, server_url) of the logged-in user, for a token that is about to be stored.\n"
           "\n"
           "Raises when no user is logged in, or when that user already has a local token.",
    .locals = "user_settings session existing",
    .plain = [](arguments) static -> object {
        object user_settings = call(global("get_user_settings"_id));
        if (!is_true(attr(user_settings, "user_sub"_id)))
            raise_error("NoUserLoggedInError"_id, "No user is currently logged in."_id);
        if (!is_true(attr(user_settings, "server_url"_id)))
            raise_error("NoUserLoggedInError"_id, "No server URL configured."_id);
        object existing;
        session_block([&](handle session) -> object {
            existing = read_stored_token(user_settings, "user_sub"_id, session);
            return object();
        });
        if (!assigned(existing, "existing").is_none())
            raise_error("UserAlreadyHasTokenError"_id, [&] {
                return f_string("User '", attr(user_settings, "user_sub"_id),
                                "' already has a local API token. Delete it first.");
            });
        object user_sub = attr(user_settings, "user_sub"_id);
        object server_url = attr(user_settings, "server_url"_id);
        return check(PyTuple_Pack(2, user_sub.ptr(), server_url.ptr()));
    },
};

const function_spec find_local_token_by_uid{
    .name = "_find_local_token_by_uid",
    .params = {exact_str("api_key_uid", "str")},
    .returns = "tuple[str, APIKeyInfo]",
    .doc = "Return the (user_sub, token info) of the token with the given uid in the local database.\n"
           "\n"
           "Raises when no local token has that uid, also when the server does have such a token.",
    .locals = "session stmt user token_info",
    .plain = [](arguments a) static -> object {
        handle api_key_uid = a[0];
        object found = session_block([&](handle session) -> object {
            object stmt = users_with_token();
            for (const object& user : items(all_rows(session, stmt))) {
                object token_info = read_stored_token(user, "username"_id, session);
                if (token_info.is_none() || !equals(attr(token_info, "uid"_id), api_key_uid)) continue;
                object user_sub = attr(user, "username"_id);
                return check(PyTuple_Pack(2, user_sub.ptr(), token_info.ptr()));
            }
            return object();
        });
        if (found) return found;
        raise_error("TokenNotFoundError"_id,
                    [&] { return f_string("No local token found with uid '", api_key_uid, "'."); });
    },
};

const function_spec to_read_local{
    .name = "_to_read_local",
    .params = {unchecked("user", "Users"), unchecked("token_info", "APIKeyInfo")},
    .returns = "APITokenReadLocal",
    .plain = [](arguments a) static -> object {
        handle user = a[0], token_info = a[1];
        object read_model = global("APITokenReadLocal"_id);
        object user_sub = attr(user, "username"_id);
        // The first name is formatted before the last name is read.
        object first_name = f_string("", attr(user, "firstname"_id));
        object last_name = attr(user, "lastname"_id);
        object user_name = f_string("", first_name, " ", last_name);
        object api_key_name = attr(token_info, "name"_id);
        object api_key_uid = attr(token_info, "uid"_id);
        object server_url = attr(token_info, "server_url"_id);
        return call_kw(read_model, keywords<"user_sub", "user_name", "api_key_name", "api_key_uid", "server_url">(),
                       user_sub, user_name, api_key_name, api_key_uid, server_url);
    },
};

void statements(module_builder& m) {
    m.from("typing", {"List"});
    m.from("sqlalchemy", {"select"});
    m.from("vornal_api.app.exceptions.auth.general_handler", {"NoUserLoggedInError"});
    m.from("vornal_api.app.exceptions.auth.local.keychits_handler", {"TokenNotFoundError", "UserAlreadyHasTokenError"});
    m.from("vornal_api.app.exceptions.general_handler", {"ServerOperationError", "ServerUnreachableError"});
    m.from("vornal_api.app.schemas.auth.local.keychits",
           {"APITokenCheckResponse", "APITokenCreateResponse", "APITokenReadLocal"});
    m.from("vornal_client.exceptions", {"APIKeyInvalidException"});
    m.from("vornal_client.local.dao.api_token", {"dao_api_token"});
    m.from("vornal_client.local.database", {"get_db_session_context"});
    m.from("vornal_client.local.model", {"Users"});
    m.from("vornal_client.local.models.keychits", {"APIKeyInfo"});
    m.from("vornal_client.remote.keychits", {"TOKEN_CACHE", "generate_token_name", "store_API_token", "test_api_token"});
    m.from("vornal_client.remote.endpoints.keychits", {"api_token_create", "api_token_delete"});
    m.from("vornal_client.remote.errors", {"CONNECTION_ERRORS"});
    m.from("vornal_client.remote.errors.keychits", {"APITokenNotFound"});
    m.from("vornal_client.settings.user_settings", {"get_user_settings"});

    m.def(create_api_token);
    m.def(list_keychits);
    m.def(delete_api_token);
    m.def(check_api_token);
    m.def(require_user_without_token);
    m.def(find_local_token_by_uid);
    m.def(to_read_local);
}

const module_info keychits{
    .name = "vornal_api.python_api.auth.local.keychits",
    .short_name = "keychits",
    .source = "src/vornal_api/python_api/auth/local/keychits",
    .statements = statements,
};

}  // namespace

PyMODINIT_FUNC PyInit_keychits() { return define_module(keychits); }
