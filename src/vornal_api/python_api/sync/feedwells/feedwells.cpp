// The sync-source interface: the catalogue of sync sources, their run control and ownership,
// scope mappings, error records and bug reports, all through the sync agent's data layer.
#include "module_frame/sync_services.hpp"

namespace {

using namespace vornal::frame;

// ---- helpers shared by the bodies ----

/// The sync-source data-access object.
const data_access crud{"crud_feedwells"_id};

/// `SyncSourceReadV1.model_validate(record)`
object read_model(handle record, location where = location::current()) {
    return validate("SyncSourceReadV1"_id, record, where);
}

/// The normalised default scope: None when absent by truth value (None, ""), a UUID as it is,
/// anything else parsed with `uuid.UUID(str(value))`.
object default_scope_uuid(handle scope, location where = location::current()) {
    if (!is_true(scope, where)) return none();
    if (is_instance(scope, attr(global("uuid"_id, where), "UUID"_id, where), where)) return object::borrow(scope);
    object uuid_class = attr(global("uuid"_id, where), "UUID"_id, where);
    object text = PyUnicode_CheckExact(scope.ptr()) ? object::borrow(scope) : check(PyObject_Str(scope.ptr()), where);
    return call({uuid_class, where}, text);
}

/// The settings of the logged-in user. Nobody is logged in when `user_sub` is None or empty;
/// then `NoUserLoggedInError(refusal)` is raised before any session is opened.
object logged_in_settings(const identifier& refusal, location where = location::current()) {
    object settings = call({global("get_user_settings"_id, where), where});
    object user_sub = attr(settings, "user_sub"_id, where);
    bool empty = PyUnicode_Check(user_sub.ptr()) && PyUnicode_GET_LENGTH(user_sub.ptr()) == 0;
    if (user_sub.is_none() || empty) raise_error("NoUserLoggedInError"_id, refusal, where);
    return settings;
}

/// `from vornal_sync_agent.models.enums import SyncSourceStatus`, run on every call so that the
/// enumeration is always the one its home module holds now.
object sync_source_status(location where = location::current()) {
    return import_from("vornal_sync_agent.models.enums"_id, "SyncSourceStatus"_id, where);
}

// ---- adding ----

/// The identifier of the first registered connector whose configuration class `config_data`
/// is an instance of; later entries are not looked at.
object inferred_connector(handle config_data, location where = location::current()) {
    object connector = none();
    object entries = call_method({call({global("get_sync_connectors"_id, where), where}), where}, "values"_id);
    for (const object& entry : items(entries, where)) {
        if (!is_instance(config_data, attr(entry, "config_class"_id, where), where)) continue;
        connector = expect_str(attr(entry, "identifier"_id, where), where);
        break;
    }
    if (connector.is_none()) {
        object type_name = attr(handle(reinterpret_cast<PyObject*>(config_data.type())), "__name__"_id, where);
        raise(call({handle(PyExc_TypeError), where},
                   f_string("Unable to infer sync connector from config_data of type ", type_name,
                            ". Pass a known ConfigData instance (e.g., FolderBaseConfigData, QCoDeSConfigData, ...).")),
              where);
    }
    return connector;
}

const function_spec add_sync_source{
    .name = "add_sync_source",
    .params = {exact_str("name", "str"), unchecked("config_data", "Any"),
               unchecked("default_scope", "Optional[Union[str, uuid.UUID]]").defaults_to(nullptr),
               truth("autoassign_scope_mapping", "bool").defaults_to(false)},
    .returns = "SyncSourceReadV1",
    .doc = "add a sync source inferring the connector from the provided ConfigData.\n"
           "\n"
           "Args:\n"
           "    name: The name of the new sync source.\n"
           "    config_data: A connector configuration object, e.g. FolderBaseConfigData or\n"
           "        QCoDeSConfigData.\n"
           "    default_scope: The default scope (a UUID or its string form), or None.\n"
           "    autoassign_scope_mapping: Whether to assign scope mappings automatically.\n"
           "\n"
           "Returns:\n"
           "    SyncSourceReadV1: The sync source as written.",
    .locals = "connector entry config",
    .coroutine = [](arguments a) static -> task {
        handle name = a[0], config_data = a[1], default_scope = a[2], autoassign = a[3];
        object connector = inferred_connector(config_data);
        object add = global("_add_sync_source"_id);
        object config = call_method(global("dataclasses"_id), "asdict"_id, config_data);
        co_return co_await call_kw(
            add, keywords<"name", "sync_connector", "config_data", "default_scope", "autoassign_scope_mapping">(), name,
            connector, config, default_scope, autoassign);
    },
};

const function_spec add_sync_source_private{
    .name = "_add_sync_source",
    .params = {exact_str("name", "str"), exact_str("sync_connector", "str"),
               exact_dict("config_data", "Dict[str, Any]"),
               unchecked("default_scope", "Optional[Union[str, uuid.UUID]]").defaults_to(nullptr),
               truth("autoassign_scope_mapping", "bool").defaults_to(false)},
    .locals = "session scope",
    .coroutine = [](arguments a) static -> task {
        co_return co_await in_session([a](handle session) -> task {
            kept_objects held;  // the scope may be the caller's own object
            handle scope = held.keep(default_scope_uuid(a[3]));
            co_return read_model(co_await crud("create_sync_source"_id, keywords<"autoassign_scope_mapping">(), session,
                                               a[0], a[1], a[2], scope, a[4]));
        });
    },
};

// ---- the catalogue ----

const function_spec list_feedwells{
    .name = "list_feedwells",
    .doc = "List all sync sources using the CRUD layer.",
    .locals = "session record",
    .coroutine = [](arguments) static -> task {
        co_return co_await in_session([](handle session) -> task {
            co_return validated_list("SyncSourceReadV1"_id, co_await crud("list_feedwells"_id, session));
        });
    },
};

const function_spec get_sync_source{
    .name = "get_sync_source",
    .params = {integer("source_id", "int")},
    .doc = "Get a single sync source by id using the CRUD layer.",
    .locals = "session",
    .coroutine = [](arguments a) static -> task {
        co_return co_await in_session([source_id = a[0]](handle session) -> task {
            co_return read_model(co_await crud("read_sync_source"_id, session, source_id));
        });
    },
};

const function_spec get_sync_source_by_name{
    .name = "get_sync_source_by_name",
    .params = {exact_str("name", "str")},
    .doc = "Get a single sync source by name using the CRUD layer.",
    .locals = "session",
    .coroutine = [](arguments a) static -> task {
        co_return co_await in_session([name = a[0]](handle session) -> task {
            co_return read_model(co_await crud("read_sync_source_by_name"_id, session, name));
        });
    },
};

// ---- run control and ownership ----

/// `crud_feedwells.update_sync_source(session, source_id, status=SyncSourceStatus.<member>)`, not
/// yet awaited: the method is looked up before the member is read, and neither is held while the
/// update is awaited.
object status_update(handle session, handle source_id, handle SyncSourceStatus, const identifier& member,
                     location where = location::current()) {
    object update = crud.method({"update_sync_source"_id, where});
    object target = attr(SyncSourceStatus, member, where);
    return call_kw({update, where}, keywords<"status">(), session, source_id, target);
}

const function_spec start_sync_source{
    .name = "start_sync_source",
    .params = {integer("source_id", "int")},
    .returns = "SyncSourceReadV1",
    .doc = "Start a sync source.\n"
           "\n"
           "Makes sure the source is not already running (status SYNCING or SCANNING), then sets\n"
           "its status to SYNCING.\n"
           "\n"
           "Args:\n"
           "    source_id: The identifier of the sync source.\n"
           "\n"
           "Returns:\n"
           "    SyncSourceReadV1: The started sync source.\n"
           "\n"
           "Raises:\n"
           "    SyncSourceAlreadyRunningError: If the source is already running.\n"
           "    SyncSourceNotFoundError: If no sync source has that identifier.",
    .locals = "SyncSourceStatus session record current",
    .coroutine = [](arguments a) static -> task {
        kept_objects held;
        handle SyncSourceStatus = held.keep(sync_source_status());
        co_return co_await in_session([source_id = a[0], SyncSourceStatus](handle session) -> task {
            kept_objects held;
            handle record = held.keep(co_await crud("read_sync_source"_id, session, source_id));
            handle current = held.keep(attr(record, "status"_id));
            if (equals(current, attr(SyncSourceStatus, "SYNCING"_id)) ||
                equals(current, attr(SyncSourceStatus, "SCANNING"_id)))
                raise_error("SyncSourceAlreadyRunningError"_id, source_id);
            object updated = status_update(session, source_id, SyncSourceStatus, "SYNCING"_id);
            co_return read_model(co_await std::move(updated));
        });
    },
};

const function_spec take_ownership{
    .name = "take_ownership",
    .params = {integer("source_id", "int")},
    .returns = "SyncSourceReadV1",
    .doc = "Claim ownership of a sync source for the currently logged-in user.\n"
           "\n"
           "The owner's stored API token is the one the sync agent uses to upload the source's data\n"
           "(see check_owner_credentials). Taking over a source that another user owns is allowed\n"
           "and overwrites the previous owner, typically because that owner's credentials expired.\n"
           "\n"
           "Args:\n"
           "    source_id: The identifier of the sync source.\n"
           "\n"
           "Returns:\n"
           "    SyncSourceReadV1: The sync source with its new owner.\n"
           "\n"
           "Raises:\n"
           "    NoUserLoggedInError: If no user is logged in.\n"
           "    SyncSourceNotFoundError: If no sync source has that identifier.\n"
           "    SyncSourceConnectorHasNoOwnerError: If the connector declares has_owner=False.",
    .locals = "settings session record connector sync_class user_sub",
    .coroutine = [](arguments a) static -> task {
        kept_objects held;
        handle settings = held.keep(logged_in_settings("Cannot take ownership: no user is currently logged in."_id));
        co_return co_await in_session([source_id = a[0], settings](handle session) -> task {
            kept_objects held;
            handle record = held.keep(co_await crud("read_sync_source"_id, session, source_id));
            handle connector = held.keep(attr(record, "connector"_id));
            handle sync_class = held.keep(call(global("get_source_sync_class"_id), connector));
            if (!is_true(attr(sync_class, "has_owner"_id)))
                raise_error("SyncSourceConnectorHasNoOwnerError"_id, [connector] {
                    return f_string("Connector '", connector, "' does not support ownership (has_owner=False).");
                });
            object owned;
            {
                object set_owner = crud.method("set_sync_source_owner"_id);
                object user_sub = attr(settings, "user_sub"_id);
                owned = call(set_owner, session, source_id, user_sub);
            }
            co_return read_model(co_await std::move(owned));
        });
    },
};

const function_spec release_ownership{
    .name = "release_ownership",
    .params = {integer("source_id", "int")},
    .returns = "SyncSourceReadV1",
    .doc = "Clear the owner of a sync source.\n"
           "\n"
           "Unconditional: any logged-in user may release any source, and releasing a source that\n"
           "has no owner changes nothing. The returned source's owner is always None.\n"
           "\n"
           "Args:\n"
           "    source_id: The identifier of the sync source.\n"
           "\n"
           "Returns:\n"
           "    SyncSourceReadV1: The sync source without owner.\n"
           "\n"
           "Raises:\n"
           "    NoUserLoggedInError: If no user is logged in.\n"
           "    SyncSourceNotFoundError: If no sync source has that identifier.",
    .locals = "session",
    .coroutine = [](arguments a) static -> task {
        logged_in_settings("Cannot release ownership: no user is currently logged in."_id);
        co_return co_await in_session([source_id = a[0]](handle session) -> task {
            co_return read_model(co_await crud("set_sync_source_owner"_id, session, source_id, handle(Py_None)));
        });
    },
};

const function_spec stop_sync_source{
    .name = "stop_sync_source",
    .params = {integer("source_id", "int")},
    .returns = "SyncSourceReadV1",
    .doc = "Stop a sync source.\n"
           "\n"
           "Sets the status of the source to STOPPED.\n"
           "\n"
           "Args:\n"
           "    source_id: The identifier of the sync source.\n"
           "\n"
           "Returns:\n"
           "    SyncSourceReadV1: The stopped sync source.\n"
           "\n"
           "Raises:\n"
           "    SyncSourceAlreadyStoppedError: If the source is already stopped.\n"
           "    SyncSourceNotFoundError: If no sync source has that identifier.",
    .locals = "SyncSourceStatus session record current",
    .coroutine = [](arguments a) static -> task {
        kept_objects held;
        handle SyncSourceStatus = held.keep(sync_source_status());
        co_return co_await in_session([source_id = a[0], SyncSourceStatus](handle session) -> task {
            kept_objects held;
            handle record = held.keep(co_await crud("read_sync_source"_id, session, source_id));
            handle current = held.keep(attr(record, "status"_id));
            if (equals(current, attr(SyncSourceStatus, "STOPPED"_id)))
                raise_error("SyncSourceAlreadyStoppedError"_id, source_id);
            object updated = status_update(session, source_id, SyncSourceStatus, "STOPPED"_id);
            co_return read_model(co_await std::move(updated));
        });
    },
};

// ---- updating and deleting ----

/// The configuration an update writes: None, the dict form of a dataclass instance (a dataclass
/// type stays as it is), or the value itself; it must be a dict or None.
object update_configuration(handle config_data, location where = location::current()) {
    if (config_data.is_none()) return none();
    object config;
    if (is_true(call_method({global("dataclasses"_id, where), where}, "is_dataclass"_id, config_data), where) &&
        !PyType_Check(config_data.ptr())) {
        config = call_method({global("dataclasses"_id, where), where}, "asdict"_id, config_data);
    } else {
        // cast(Dict[str, Any], config_data): the value itself
        object cast = global("cast"_id, where);
        object dict_class = global("Dict"_id, where);
        object key = check(PyTuple_Pack(2, reinterpret_cast<PyObject*>(&PyUnicode_Type), global("Any"_id, where).ptr()), where);
        config = call({cast, where}, item(dict_class, key, where), config_data);
    }
    return expect_dict(std::move(config), where);
}

const function_spec update_sync_source{
    .name = "update_sync_source",
    .params = {integer("source_id", "int"), exact_str("name", "Optional[str]").or_none().defaults_to(nullptr),
               unchecked("default_scope", "Optional[Union[str, uuid.UUID]]").defaults_to(nullptr),
               unchecked("config_data", "Optional[Any]").defaults_to(nullptr),
               optional_bool("autoassign_scope_mapping", "Optional[bool]").defaults_to(nullptr)},
    .doc = "Update fields of a sync source using the CRUD layer.\n"
           "\n"
           "Args:\n"
           "    source_id: The identifier of the sync source.\n"
           "    name: The new name.\n"
           "    default_scope: The new default scope (a UUID or its string form).\n"
           "    config_data: The new configuration, a dict or a dataclass instance.\n"
           "    autoassign_scope_mapping: True assigns scope mappings automatically by scope-name\n"
           "        matching.\n"
           "\n"
           "Returns:\n"
           "    SyncSourceReadV1: The updated sync source.",
    .locals = "session scope config",
    .coroutine = [](arguments a) static -> task {
        co_return co_await in_session([a](handle session) -> task {
            object scope = default_scope_uuid(a[2]);
            object config = update_configuration(a[3]);
            co_return read_model(co_await crud("update_sync_source"_id,
                                               keywords<"default_scope", "config_data", "autoassign_scope_mapping">(),
                                               session, a[0], a[1], scope, config, a[4]));
        });
    },
};

const function_spec delete_sync_source{
    .name = "delete_sync_source",
    .params = {integer("source_id", "int")},
    .returns = "None",
    .doc = "Delete a sync source using the CRUD layer.",
    .locals = "session",
    .coroutine = [](arguments a) static -> task {
        co_return co_await in_session([source_id = a[0]](handle session) -> task {
            co_await crud("delete_sync_source"_id, session, source_id);
            co_return none();
        });
    },
};

const function_spec list_sync_source_definitions{
    .name = "list_sync_source_definitions",
    .returns = "List[ConnectorDefinition]",
    .doc = "Return available sync source connector definitions (no DB needed).\n"
           "\n"
           "Returns:\n"
           "    List[ConnectorDefinition]: One definition per registered connector, in registry order.",
    .locals = "infos identifier entry sync_class config_class info",
    .plain = [](arguments) static -> object {
        object infos = check(PyList_New(0));
        object connectors = call_method(call(global("get_sync_connectors"_id)), "items"_id);
        for (const object& pair : items(connectors)) {
            auto [identifier, entry] = unpack<2>(pair);
            object sync_class = attr(entry, "sync_class"_id);
            object config_class = attr(entry, "config_class"_id);
            object info = call(global("get_sync_source_info"_id), identifier, sync_class, config_class);
            check_status(PyList_Append(infos.ptr(), info.ptr()));
        }
        return validated_list("ConnectorDefinition"_id, infos);
    },
};

// ---- error records ----

const function_spec read_sync_source_errors{
    .name = "read_sync_source_errors",
    .params = {integer("source_id", "int"), integer("skip", "int").defaults_to(0),
               integer("limit", "int").defaults_to(100),
               optional_bool("viewed", "Optional[bool]").defaults_to(nullptr)},
    .returns = "List[SyncSourceError]",
    .doc = "Read error-log records for a sync source.\n"
           "\n"
           "Args:\n"
           "    source_id: The identifier of the sync source.\n"
           "    skip: Offset for pagination.\n"
           "    limit: Page size.\n"
           "    viewed: Filter on the viewed flag: None for all records, False for unread ones only\n"
           "        (the common case for user interfaces), True for read ones only.\n"
           "\n"
           "Returns:\n"
           "    List[SyncSourceError]: The page of error records.",
    .locals = "session records record",
    .coroutine = [](arguments a) static -> task {
        co_return co_await in_session([a](handle session) -> task {
            object records = co_await crud("read_sync_source_errors"_id, keywords<"skip", "limit", "viewed">(), session,
                                           a[0], a[1], a[2], a[3]);
            co_return validated_list("SyncSourceError"_id, records);
        });
    },
};

const function_spec set_sync_source_error_viewed{
    .name = "set_sync_source_error_viewed",
    .params = {integer("error_id", "int"), truth("viewed", "bool")},
    .returns = "SyncSourceError",
    .doc = "Set the viewed flag on a single sync-source error record.\n"
           "\n"
           "Args:\n"
           "    error_id: The identifier of the error record.\n"
           "    viewed: The new value of the flag.\n"
           "\n"
           "Returns:\n"
           "    SyncSourceError: The updated error record.\n"
           "\n"
           "Raises:\n"
           "    SyncSourceErrorRecordNotFoundError: If no error record has that identifier.",
    .locals = "session",
    .coroutine = [](arguments a) static -> task {
        co_return co_await in_session([a](handle session) -> task {
            co_return validate("SyncSourceError"_id, co_await crud("set_sync_source_error_viewed"_id, session, a[0], a[1]));
        });
    },
};

const function_spec mark_all_sync_source_errors_viewed{
    .name = "mark_all_sync_source_errors_viewed",
    .params = {integer("source_id", "int")},
    .returns = "int",
    .doc = "Mark every error of the given sync source as viewed. Returns the number flipped.\n"
           "\n"
           "Args:\n"
           "    source_id: The identifier of the sync source.",
    .locals = "session",
    .coroutine = [](arguments a) static -> task {
        co_return co_await in_session([source_id = a[0]](handle session) -> task {
            co_return expect_int(co_await crud("mark_all_sync_source_errors_viewed"_id, session, source_id));
        });
    },
};

const function_spec reset_sync_source_lotlings{
    .name = "reset_sync_source_lotlings",
    .params = {integer("source_id", "int"), truth("include_successful", "bool").defaults_to(false)},
    .returns = "int",
    .doc = "Reset sync items for a specific sync source.\n"
           "\n"
           "Meant for a source whose items all or mostly failed, so that they need not be reset one\n"
           "by one.\n"
           "\n"
           "Args:\n"
           "    source_id: The identifier of the sync source.\n"
           "    include_successful: False resets only failed items (attempted, not synchronised);\n"
           "        True also resets items that already synchronised.\n"
           "\n"
           "Returns:\n"
           "    int: The number of items reset.\n"
           "\n"
           "Raises:\n"
           "    SyncSourceNotFoundError: If no sync source has that identifier.",
    .locals = "session",
    .coroutine = [](arguments a) static -> task {
        co_return co_await in_session([a](handle session) -> task {
            co_return expect_int(
                co_await crud("reset_lotlings"_id, keywords<"include_successful">(), session, a[0], a[1]));
        });
    },
};

// ---- reports ----

const function_spec generate_sync_source_report{
    .name = "generate_sync_source_report",
    .params = {integer("source_id", "int"), exact_str("message", "str")},
    .returns = "str",
    .doc = "Generate a detailed report for a sync source.\n"
           "\n"
           "The report holds the source's settings and statistics, its connector and its first ten\n"
           "error records.\n"
           "\n"
           "Args:\n"
           "    source_id: The identifier of the sync source to report on.\n"
           "    message: A message describing the reason for the report, such as an error\n"
           "        description.\n"
           "\n"
           "Returns:\n"
           "    str: The report text.",
    .locals = "session record raw_errors errors source entry connector status owner default_scope last_update",
    .coroutine = [](arguments a) static -> task {
        co_return co_await in_session([source_id = a[0], message = a[1]](handle session) -> task {
            kept_objects held;
            handle record = held.keep(co_await crud("read_sync_source"_id, session, source_id));
            object raw_errors = co_await crud("read_sync_source_errors"_id, keywords<"skip", "limit">(), session,
                                              source_id, number(0), number(10));
            object errors = validated_list("SyncSourceError"_id, raw_errors);
            object source = read_model(record);
            object get_entry = attr(call(global("get_sync_connectors"_id)), "get"_id);
            object entry = call(get_entry, attr(record, "connector"_id));
            object connector = is_true(entry) ? validate("ConnectorRead"_id, entry) : none();

            object format = attr(global("REPORT_TEMPLATE_SYNC_SOURCE"_id), "format"_id);
            object id = attr(source, "id"_id);
            object name = attr(source, "name"_id);
            object connector_identifier = attr(source, "connector_identifier"_id);
            object status = attr(source, "status"_id);
            status = attr_or(status, "value"_id, status);
            object owner = or_not_available(attr(source, "owner"_id));
            object default_scope = or_not_available(attr(source, "default_scope"_id));
            object config_data = attr(source, "config_data"_id);
            object items_total = attr(source, "items_total"_id);
            object items_synchronized = attr(source, "items_synchronized"_id);
            object items_failed = attr(source, "items_failed"_id);
            object last_update = attr(source, "last_update"_id);
            last_update = is_true(last_update) ? call_method(last_update, "isoformat"_id) : object::borrow("N/A"_id);
            object connector_info = call(global("format_connector_info"_id), connector);
            object error_lines = call(global("format_sync_source_errors"_id), errors);

            co_return expect_str(call_kw(
                format,
                keywords<"message", "sync_source_id", "sync_source_name", "sync_source_connector", "sync_source_status",
                         "sync_source_owner", "sync_source_default_scope", "sync_source_config_data", "items_total",
                         "items_synchronized", "items_failed", "last_update", "connector_info", "errors">(),
                message, id, name, connector_identifier, status, owner, default_scope, config_data, items_total,
                items_synchronized, items_failed, last_update, connector_info, error_lines));
        });
    },
};

const function_spec get_sync_source_error_report{
    .name = "get_sync_source_error_report",
    .params = {integer("source_id", "int"), exact_str("message", "str")},
    .returns = "str",
    .doc = "Get an error report for a sync source without sending it.\n"
           "\n"
           "For when the server cannot send the report automatically: the user can retrieve it and\n"
           "send it by hand.\n"
           "\n"
           "Args:\n"
           "    source_id: The identifier of the sync source to report on.\n"
           "    message: A message describing the reason for the report, such as an error\n"
           "        description.\n"
           "\n"
           "Returns:\n"
           "    str: The report text.",
    .coroutine = [](arguments a) static -> task {
        co_return expect_str(co_await call(global("generate_sync_source_report"_id), a[0], a[1]));
    },
};

const function_spec report_sync_source{
    .name = "report_sync_source",
    .params = {integer("source_id", "int"), exact_str("message", "str")},
    .returns = "None",
    .doc = "Generate and send a detailed report for a sync source to Brindle.\n"
           "\n"
           "Args:\n"
           "    source_id: The identifier of the sync source to report on.\n"
           "    message: A message describing the reason for the report, such as an error\n"
           "        description.",
    .locals = "text payload",
    .coroutine = [](arguments a) static -> task {
        object text = co_await call(global("generate_sync_source_report"_id), a[0], a[1]);
        send_bug_report("Sync Source BUG REPORT"_id, text);
        co_return none();
    },
};

// ---- scope mappings ----

const function_spec create_scope_mapping{
    .name = "create_scope_mapping",
    .params = {integer("sync_source_id", "int"), exact_str("scope_identifier", "str"),
               unchecked("scope_uuid", "uuid.UUID")},
    .returns = "SyncSourceScopeMappingRead",
    .doc = "Create a new scope mapping for a sync source.\n"
           "\n"
           "Maps a scope identifier found in the sync items to a scope UUID, for connectors that\n"
           "route each item to a scope of its own.\n"
           "\n"
           "Args:\n"
           "    sync_source_id: The identifier of the sync source.\n"
           "    scope_identifier: The scope identifier taken from the sync items.\n"
           "    scope_uuid: The UUID of the target scope.\n"
           "\n"
           "Returns:\n"
           "    SyncSourceScopeMappingRead: The new mapping.\n"
           "\n"
           "Raises:\n"
           "    SyncSourceNotFoundError: If no sync source has that identifier.\n"
           "    SyncSourceScopeMappingAlreadyExistsError: If the identifier is already mapped.\n"
           "    SyncSourceScopeMappingInvalidScopeError: If no scope has that UUID.",
    .locals = "session",
    .coroutine = [](arguments a) static -> task {
        co_return co_await in_session([a](handle session) -> task {
            co_return validate("SyncSourceScopeMappingRead"_id,
                               co_await crud("create_scope_mapping"_id, keywords<"update_statistics">(), session, a[0],
                                             a[1], a[2], handle(Py_True)));
        });
    },
};

const function_spec update_scope_mapping{
    .name = "update_scope_mapping",
    .params = {integer("sync_source_id", "int"), exact_str("scope_identifier", "str"),
               unchecked("scope_uuid", "uuid.UUID")},
    .returns = "SyncSourceScopeMappingRead",
    .doc = "Update an existing scope mapping.\n"
           "\n"
           "Changes the target scope of the mapping and resets the related sync items, so that they\n"
           "synchronise again to the new scope.\n"
           "\n"
           "Args:\n"
           "    sync_source_id: The identifier of the sync source.\n"
           "    scope_identifier: The mapped scope identifier.\n"
           "    scope_uuid: The UUID of the new target scope.\n"
           "\n"
           "Returns:\n"
           "    SyncSourceScopeMappingRead: The updated mapping.\n"
           "\n"
           "Raises:\n"
           "    SyncSourceNotFoundError: If no sync source has that identifier.\n"
           "    SyncSourceScopeMappingNotFoundError: If the identifier is not mapped.\n"
           "    SyncSourceScopeMappingInvalidScopeError: If no scope has that UUID.",
    .locals = "session",
    .coroutine = [](arguments a) static -> task {
        co_return co_await in_session([a](handle session) -> task {
            co_return validate("SyncSourceScopeMappingRead"_id,
                               co_await crud("update_scope_mapping"_id, keywords<"update_statistics">(), session, a[0],
                                             a[1], a[2], handle(Py_True)));
        });
    },
};

const function_spec delete_scope_mapping{
    .name = "delete_scope_mapping",
    .params = {integer("sync_source_id", "int"), exact_str("scope_identifier", "str")},
    .returns = "None",
    .doc = "Delete a scope mapping.\n"
           "\n"
           "Afterwards the items with that scope identifier are not synchronised until a new mapping\n"
           "exists.\n"
           "\n"
           "Args:\n"
           "    sync_source_id: The identifier of the sync source.\n"
           "    scope_identifier: The mapped scope identifier.\n"
           "\n"
           "Raises:\n"
           "    SyncSourceNotFoundError: If no sync source has that identifier.\n"
           "    SyncSourceScopeMappingNotFoundError: If the identifier is not mapped.",
    .locals = "session",
    .coroutine = [](arguments a) static -> task {
        co_return co_await in_session([a](handle session) -> task {
            co_await crud("delete_scope_mapping"_id, session, a[0], a[1]);
            co_return none();
        });
    },
};

const function_spec get_unmapped_scope_identifiers{
    .name = "get_unmapped_scope_identifiers",
    .params = {integer("sync_source_id", "Optional[int]").or_none().defaults_to(nullptr)},
    .returns = "List[str]",
    .doc = "Find scope identifiers in sync items that have no mapping.\n"
           "\n"
           "Args:\n"
           "    sync_source_id: The identifier of the sync source, or None for all sources.\n"
           "\n"
           "Returns:\n"
           "    List[str]: The identifiers present in sync items but absent from the mappings.",
    .locals = "session",
    .coroutine = [](arguments a) static -> task {
        co_return co_await in_session([sync_source_id = a[0]](handle session) -> task {
            co_return expect_list(co_await crud("get_unmapped_scope_identifiers"_id, session, sync_source_id));
        });
    },
};

const function_spec autoassign_scope_mappings{
    .name = "autoassign_scope_mappings",
    .params = {integer("sync_source_id", "int")},
    .returns = "int",
    .doc = "Automatically assign scope mappings based on scope name matching.\n"
           "\n"
           "For each unmapped scope identifier, looks for scopes whose name matches it exactly but\n"
           "without regard to case; when exactly one scope matches, the mapping is created.\n"
           "Ambiguous matches (several scopes of that name) are skipped.\n"
           "\n"
           "Args:\n"
           "    sync_source_id: The identifier of the sync source.\n"
           "\n"
           "Returns:\n"
           "    int: The number of mappings created.\n"
           "\n"
           "Raises:\n"
           "    SyncSourceNotFoundError: If no sync source has that identifier.",
    .locals = "session",
    .coroutine = [](arguments a) static -> task {
        co_return co_await in_session([sync_source_id = a[0]](handle session) -> task {
            co_return expect_int(co_await crud("autoassign_scope_mappings"_id, session, sync_source_id));
        });
    },
};

void statements(module_builder& m) {
    m.import("dataclasses");
    m.import("uuid");
    m.from("typing", {"Any", "Dict", "List", "Optional", "Union", "cast"});
    m.from("vornal_api.app.exceptions.auth.general_handler", {"NoUserLoggedInError"});
    m.from("vornal_api.app.exceptions.sync.sync_source_handler",
           {"SyncSourceAlreadyRunningError", "SyncSourceAlreadyStoppedError", "SyncSourceConnectorHasNoOwnerError"});
    m.from("vornal_api.app.schemas.sync.connectors", {"ConnectorRead"});
    m.from("vornal_api.app.schemas.sync.sync_source_definition", {"ConnectorDefinition"});
    m.from("vornal_api.app.schemas.sync.feedwells", {"SyncSourceError", "SyncSourceReadV1", "SyncSourceScopeMappingRead"});
    m.from("vornal_api.python_api.sync.utils",
           {"REPORT_TEMPLATE_SYNC_SOURCE", "format_connector_info", "format_sync_source_errors"});
    m.from("vornal_client.remote.endpoints.bug_report", {"BugReportCreateV3", "report_bug"});
    m.from("vornal_client.settings.user_settings", {"get_user_settings"});
    m.from("vornal_sync_agent.connectors", {"get_source_sync_class", "get_sync_connectors"});
    m.from("vornal_sync_agent.connectors.connector_info_extractor", {"get_sync_source_info"});
    m.from("vornal_sync_agent.crud.feedwells", {"crud_feedwells"});
    m.from("vornal_sync_agent.db", {"get_db_session_context"});

    m.def(add_sync_source);
    m.def(add_sync_source_private);
    m.def(list_feedwells);
    m.def(get_sync_source);
    m.def(get_sync_source_by_name);
    m.def(start_sync_source);
    m.def(take_ownership);
    m.def(release_ownership);
    m.def(stop_sync_source);
    m.def(update_sync_source);
    m.def(delete_sync_source);
    m.def(list_sync_source_definitions);
    m.def(read_sync_source_errors);
    m.def(set_sync_source_error_viewed);
    m.def(mark_all_sync_source_errors_viewed);
    m.def(reset_sync_source_lotlings);
    m.def(generate_sync_source_report);
    m.def(get_sync_source_error_report);
    m.def(report_sync_source);
    m.def(create_scope_mapping);
    m.def(update_scope_mapping);
    m.def(delete_scope_mapping);
    m.def(get_unmapped_scope_identifiers);
    m.def(autoassign_scope_mappings);
}

const module_info feedwells{
    .name = "vornal_api.python_api.sync.feedwells",
    .short_name = "feedwells",
    .source = "src/vornal_api/python_api/sync/feedwells",
    .statements = statements,
};

}  // namespace

PyMODINIT_FUNC PyInit_feedwells() { return define_module(feedwells); }
