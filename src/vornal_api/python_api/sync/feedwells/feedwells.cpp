// The sync-source interface: the catalogue of sync sources, read and changed through the sync
// agent's data layer inside one database session per call.
#include "module_frame/calls.hpp"

namespace {

using namespace vornal::frame;

/// `SyncSourceReadV1.model_validate(record)`
object read_model(handle record, location where = location::current()) {
    return call_method({global("SyncSourceReadV1"_id, where), where}, "model_validate"_id, record);
}

/// `crud_feedwells.<method>(session, args...)`
template <class... Args>
object crud(const identifier& method, handle session, const Args&... args) {
    return call_method(global("crud_feedwells"_id), method, session, args...);
}

task list_feedwells_body(arguments) {
    co_return co_await session_frame("get_db_session_context"_id, [](handle session) -> task {
        object records = co_await crud("list_feedwells"_id, session);
        object result = check(PyList_New(0));
        for (const object& record : items(records)) check_status(PyList_Append(result.ptr(), read_model(record).ptr()));
        co_return result;
    });
}
const function_spec list_feedwells{
    .name = "list_feedwells",
    .doc = "List all sync sources using the CRUD layer.",
    .coroutine = list_feedwells_body,
};

task get_sync_source_body(arguments a) {
    co_return co_await session_frame("get_db_session_context"_id, [source_id = a[0]](handle session) -> task {
        co_return read_model(co_await crud("read_sync_source"_id, session, source_id));
    });
}
const function_spec get_sync_source{
    .name = "get_sync_source",
    .params = {integer("source_id", "int")},
    .doc = "Get a single sync source by id using the CRUD layer.",
    .coroutine = get_sync_source_body,
};

task get_sync_source_by_name_body(arguments a) {
    co_return co_await session_frame("get_db_session_context"_id, [name = a[0]](handle session) -> task {
        co_return read_model(co_await crud("read_sync_source_by_name"_id, session, name));
    });
}
const function_spec get_sync_source_by_name{
    .name = "get_sync_source_by_name",
    .params = {exact_str("name", "str")},
    .doc = "Get a single sync source by name using the CRUD layer.",
    .coroutine = get_sync_source_by_name_body,
};

task delete_sync_source_body(arguments a) {
    co_return co_await session_frame("get_db_session_context"_id, [source_id = a[0]](handle session) -> task {
        co_await crud("delete_sync_source"_id, session, source_id);
        co_return none();
    });
}
const function_spec delete_sync_source{
    .name = "delete_sync_source",
    .params = {integer("source_id", "int")},
    .returns = "None",
    .doc = "Delete a sync source using the CRUD layer.",
    .coroutine = delete_sync_source_body,
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

    m.def(list_feedwells);
    m.def(get_sync_source);
    m.def(get_sync_source_by_name);
    m.def(delete_sync_source);
}

const module_info feedwells{
    .name = "vornal_api.python_api.sync.feedwells",
    .short_name = "feedwells",
    .source = "src/vornal_api/python_api/sync/feedwells",
    .statements = statements,
};

}  // namespace

PyMODINIT_FUNC PyInit_feedwells() { return define_module(feedwells); }
