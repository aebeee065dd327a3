// The sync-item interface: listing, reading, resetting and prioritising the items of sync sources,
// and bug reports about one item, all through the sync agent's data layer.
#include "module_frame/sync_services.hpp"

namespace {

using namespace vornal::frame;

const data_access crud_lotlings{"crud_lotlings"_id};
const data_access crud_feedwells{"crud_feedwells"_id};

// ---- queries and control ----

const function_spec list_lotlings{
    .name = "list_lotlings",
    .params = {integer("source_id", "int"),
               optional_bool("is_synchronized", "Optional[bool]").defaults_to(nullptr),
               optional_bool("has_priority", "Optional[bool]").defaults_to(nullptr),
               exact_str("scope_identifier", "Optional[str]").or_none().defaults_to(nullptr),
               exact_str("query", "Optional[str]").or_none().defaults_to(nullptr),
               unchecked("order_by", "Optional[SyncItemSortKey]").defaults_to(nullptr),
               unchecked("order_direction", "Optional[OrderDirection]").defaults_to(nullptr),
               integer("offset", "int").defaults_to(0), integer("limit", "int").defaults_to(100)},
    .returns = "List[SyncItemReadSummaryV1]",
    .doc = "List sync items using the CRUD layer with optional filters and pagination.",
    .locals = "session item",
    .coroutine = [](arguments a) static -> task {
        co_return co_await in_session([a](handle session) -> task {
            object items = co_await crud_lotlings(
                "list_lotlings"_id,
                keywords<"source_id", "is_synchronized", "has_priority", "scope_identifier", "order_by",
                         "order_direction", "offset", "limit", "query">(),
                session, a[0], a[1], a[2], a[3], a[5], a[6], a[7], a[8], a[4]);
            co_return validated_list("SyncItemReadSummaryV1"_id, items);
        });
    },
};

const function_spec get_sync_item{
    .name = "get_sync_item",
    .params = {integer("sync_item_id", "int")},
    .returns = "SyncItemReadV1",
    .doc = "Get a single sync item by id using the CRUD layer.",
    .locals = "session",
    .coroutine = [](arguments a) static -> task {
        co_return co_await in_session([sync_item_id = a[0]](handle session) -> task {
            co_return validate("SyncItemReadV1"_id, co_await crud_lotlings("read_sync_item"_id, session, sync_item_id));
        });
    },
};

const function_spec reset_sync_item{
    .name = "reset_sync_item",
    .params = {integer("sync_item_id", "int")},
    .returns = "None",
    .doc = "Reset attempts and synchronized state for a sync item.",
    .locals = "session",
    .coroutine = [](arguments a) static -> task {
        co_return co_await in_session([sync_item_id = a[0]](handle session) -> task {
            // The priority flag is cleared as well, so a reset item queues like any other.
            co_await crud_lotlings("update_sync_item"_id, keywords<"attempts", "synchronized", "has_priority">(), session,
                                   sync_item_id, number(0), handle(Py_False), handle(Py_False));
            co_return none();
        });
    },
};

const function_spec prioritize_sync_item{
    .name = "prioritize_sync_item",
    .params = {integer("sync_item_id", "int")},
    .returns = "None",
    .doc = "Prioritize a sync item by setting its sync priority to the maximum float value.",
    .locals = "session",
    .coroutine = [](arguments a) static -> task {
        co_return co_await in_session([sync_item_id = a[0]](handle session) -> task {
            // The data layer turns the flag into the highest sync priority.
            co_await crud_lotlings("update_sync_item"_id, keywords<"has_priority">(), session, sync_item_id,
                                   handle(Py_True));
            co_return none();
        });
    },
};

// ---- reports ----

const function_spec generate_sync_item_report{
    .name = "generate_sync_item_report",
    .params = {integer("sync_item_id", "int"), exact_str("message", "str")},
    .returns = "str",
    .doc = "Generate a detailed report for a sync item.\n"
           "\n"
           "Args:\n"
           "    sync_item_id: The ID of the sync item to report on.\n"
           "    message: A message describing the reason for the report (e.g., error description).\n"
           "\n"
           "Returns:\n"
           "    The generated report content as a string.",
    .locals = "session item sync_source connectors connector connector_read item_read",
    .coroutine = [](arguments a) static -> task {
        co_return co_await in_session([sync_item_id = a[0], message = a[1]](handle session) -> task {
            kept_objects held;
            handle item = held.keep(co_await crud_lotlings("read_sync_item"_id, session, sync_item_id));
            object reading;
            {
                // The source's identifier comes from the data layer's record, read after the method.
                object read_sync_source = crud_feedwells.method("read_sync_source"_id);
                reading = call(read_sync_source, session, attr(item, "sync_source_id"_id));
            }
            object sync_source = co_await std::move(reading);
            object connectors = call(global("get_sync_connectors"_id));
            object get_connector = attr(connectors, "get"_id);
            object connector = call(get_connector, attr(sync_source, "connector"_id));
            object connector_read = is_true(connector) ? validate("ConnectorRead"_id, connector) : none();
            object item_read = validate("SyncItemReadV1"_id, item);

            object format = attr(global("REPORT_TEMPLATE_SYNC_ITEM"_id), "format"_id);
            object id = attr(item_read, "id"_id);
            object data_identifier = attr(item_read, "data_identifier"_id);
            object dataset_uuid = attr(item_read, "dataset_uuid"_id);
            object sync_priority = attr(item_read, "sync_priority"_id);
            object has_priority = attr(item_read, "has_priority"_id);
            object attempts = attr(item_read, "attempts"_id);
            object status = attr(attr(item_read, "status"_id), "value"_id);
            object last_update = is_true(attr(item_read, "last_update"_id))
                                     ? call_method(attr(item_read, "last_update"_id), "isoformat"_id)
                                     : object::borrow("N/A"_id);
            object source_name = attr(sync_source, "name"_id);
            object source_connector = attr(sync_source, "connector"_id);
            // `status.value` when the status has a value (an enumeration member), else the status.
            object source_status = attr_or(attr(sync_source, "status"_id), "value"_id, {})
                                       ? attr(attr(sync_source, "status"_id), "value"_id)
                                       : attr(sync_source, "status"_id);
            object owner = or_not_available(attr(sync_source, "owner"_id));
            object default_scope = or_not_available(attr(sync_source, "default_scope"_id));
            object config_data = attr(sync_source, "config_data"_id);
            object connector_info = call(global("format_connector_info"_id), connector_read);
            object format_logs = global("format_sync_record_logs"_id);
            object logs = call(format_logs, attr(item_read, "sync_record"_id));

            co_return expect_str(call_kw(
                format,
                keywords<"message", "sync_item_id", "data_identifier", "dataset_uuid", "sync_priority", "has_priority",
                         "attempts", "status", "last_update", "sync_source_name", "sync_source_connector",
                         "sync_source_status", "sync_source_owner", "sync_source_default_scope",
                         "sync_source_config_data", "connector_info", "logs">(),
                message, id, data_identifier, dataset_uuid, sync_priority, has_priority, attempts, status, last_update,
                source_name, source_connector, source_status, owner, default_scope, config_data, connector_info, logs));
        });
    },
};

const function_spec get_sync_item_error_report{
    .name = "get_sync_item_error_report",
    .params = {integer("sync_item_id", "int"), exact_str("message", "str")},
    .returns = "str",
    .doc = "Get an error report for a sync item without sending it.\n"
           "\n"
           "This is useful when the server cannot send the report automatically,\n"
           "allowing the user to retrieve and send it manually.\n"
           "\n"
           "Args:\n"
           "    sync_item_id: The ID of the sync item to report on.\n"
           "    message: A message describing the reason for the report (e.g., error description).\n"
           "\n"
           "Returns:\n"
           "    The generated report content as a string.",
    .coroutine = [](arguments a) static -> task {
        co_return expect_str(co_await call(global("generate_sync_item_report"_id), a[0], a[1]));
    },
};

const function_spec report_sync_item{
    .name = "report_sync_item",
    .params = {integer("sync_item_id", "int"), exact_str("message", "str")},
    .returns = "None",
    .doc = "Generate and send a detailed report for a sync item to Brindle.\n"
           "\n"
           "Args:\n"
           "    sync_item_id: The ID of the sync item to report on.\n"
           "    message: A message describing the reason for the report (e.g., error description).",
    .locals = "report_content bug_report",
    .coroutine = [](arguments a) static -> task {
        object report_content = co_await call(global("generate_sync_item_report"_id), a[0], a[1]);
        send_bug_report("Sync Item BUG REPORT"_id, report_content);
        co_return none();
    },
};

void statements(module_builder& m) {
    m.from("vornal_sync_agent.db", {"get_db_session_context"});
    m.from("vornal_sync_agent.crud.lotlings", {"crud_lotlings", "SyncItemSortKey", "OrderDirection"});
    m.from("vornal_api.app.schemas.sync.lotlings", {"SyncItemReadSummaryV1", "SyncItemReadV1"});
    m.from("typing", {"List", "Optional"});
    m.from("vornal_sync_agent.crud.feedwells", {"crud_feedwells"});
    m.from("vornal_sync_agent.connectors", {"get_sync_connectors"});
    m.from("vornal_api.app.schemas.sync.connectors", {"ConnectorRead"});
    m.from("vornal_api.python_api.sync.utils",
           {"REPORT_TEMPLATE_SYNC_ITEM", "format_connector_info", "format_sync_record_logs"});
    m.from("vornal_client.remote.endpoints.bug_report", {"BugReportCreateV3", "report_bug"});

    m.def(list_lotlings);
    m.def(get_sync_item);
    m.def(reset_sync_item);
    m.def(prioritize_sync_item);
    m.def(generate_sync_item_report);
    m.def(get_sync_item_error_report);
    m.def(report_sync_item);
}

const module_info lotlings{
    .name = "vornal_api.python_api.sync.lotlings",
    .short_name = "lotlings",
    .source = "src/vornal_api/python_api/sync/lotlings",
    .statements = statements,
};

}  // namespace

PyMODINIT_FUNC PyInit_lotlings() { return define_module(lotlings); }
