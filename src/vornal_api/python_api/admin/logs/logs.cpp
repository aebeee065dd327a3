// The service log reader: the most recent log records of the API service or the sync agent,
// grouped from physical lines into records and read across one rotation of the log file.
#include "module_frame/calls.hpp"

namespace {

using namespace vornal::frame;

/// The `maxlen` of the tail queue for a positive n: n itself, or None (no bound) for an n beyond
/// what a deque can hold, since every record fits under such a bound anyway.
object tail_bound(handle n, location where = location::current()) {
    Py_ssize_t value = PyLong_AsSsize_t(n.ptr());
    if (value != -1 || !PyErr_Occurred()) return object::borrow(n);
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_error(where);
    PyErr_Clear();
    return none();
}

const function_spec get_recent_log_lines{
    .name = "get_recent_log_lines",
    .params = {unchecked("service", "LogService"), integer("n", "int")},
    .returns = "List[str]",
    .doc = "Return the most recent `n` log records from the given service's rotating log file.\n"
           "\n"
           "Each element of the returned list is one logical log record. Multi-line payloads\n"
           "(e.g. stack traces) are returned as a single string with embedded `\\n`, so `n` always\n"
           "counts records, not physical lines \u2014 a request for the last 500 records will never slice\n"
           "mid-stack-trace.\n"
           "\n"
           "Reads across rotation: if the backup file (`.log.1`) exists, its contents are joined with\n"
           "the current file so results are continuous across the 10 MB boundary.\n"
           "\n"
           "Args:\n"
           "    service: Which service's log to read.\n"
           "    n: Number of tail records to return. Pass a negative value to get everything\n"
           "       available (current file plus backup). Zero returns an empty list.\n"
           "\n"
           "Raises:\n"
           "    LogFileNotFoundError: If the current log file does not exist (e.g. the service has not\n"
           "        yet run or logged anything since the shared data dir was reset).",
    .locals = "directory current bound queue",
    .plain = [](arguments a) static -> object {
        handle service = a[0], n = a[1];
        object path_class = global("Path"_id);
        object directory = call(path_class, call(global("get_log_dir"_id)));
        object current = divide(directory, item(global("_LOG_FILE_NAMES"_id), service));
        if (!is_true(call_method(current, "exists"_id))) {
            object error_class = global("LogFileNotFoundError"_id);
            // A LogService member shows its value; a plain key such as "api" shows as it is.
            object shown = attr_or(service, "value"_id, service);
            raise(call(error_class, f_string("No log file found for service '", shown, "' at ", current)));
        }
        int sign = 0;
        check_status(PyLong_GetSign(n.ptr(), &sign));
        if (sign == 0) return check(PyList_New(0));
        object bound = sign < 0 ? none() : tail_bound(n);
        object queue_class = global("deque"_id);
        object group_records = global("_iter_log_records"_id);
        object lines = call(global("_iter_rotated_and_current"_id), current);
        object queue = call_kw(queue_class, keywords<"maxlen">(), call(group_records, lines), bound);
        return list_of(queue);
    },
};

/// `with path.open("r", encoding="utf-8", errors="replace") as file: yield from file`
task yield_lines_of(handle path, location where = location::current()) {
    object file = call_method_kw({path, where}, "open"_id, keywords<"encoding", "errors">(), "r"_id, "utf-8"_id,
                                 "replace"_id);
    co_return co_await with_block(std::move(file), [where](handle opened) -> task {
        co_await yield_from(object::borrow(opened), where);
        co_return none();
    }, where);
}

/// `current.parent / (current.name + ".1")`, its parts read left to right.
object backup_of(handle current, location where = location::current()) {
    object parent = attr(current, "parent"_id, where);
    return divide(parent, add(attr(current, "name"_id, where), ".1"_id, where), where);
}

const function_spec iter_rotated_and_current{
    .name = "_iter_rotated_and_current",
    .params = {unchecked("current", "Path")},
    .returns = "Iterator[str]",
    .doc = "Yield raw lines from the previous-rotation file (`.log.1`) first, then the current file.\n"
           "\n"
           "Preserves chronological order across a rotation: `.log.1` holds the older entries,\n"
           "`.log` holds the newer ones. Without this, a caller asking for the tail right after a\n"
           "rotation would only see the handful of lines written since the fresh file was opened.",
    .locals = "backup file",
    .generator = [](arguments a) static -> task {
        handle current = a[0];
        kept_objects held;
        handle backup = held.keep(backup_of(current));
        if (is_true(call_method(backup, "exists"_id))) co_await yield_lines_of(backup);
        co_await yield_lines_of(current);
        co_return none();
    },
};

object joined(handle lines, location where = location::current()) {
    return check(PyUnicode_Join("\n"_id.ptr(), lines.ptr()), where);
}

const function_spec iter_log_records{
    .name = "_iter_log_records",
    .params = {unchecked("raw_lines", "Iterator[str]")},
    .returns = "Iterator[str]",
    .doc = "Group physical lines into logical log records.\n"
           "\n"
           "A record starts at a line matching `_RECORD_START`. Any following lines that don't match\n"
           "(stack trace continuations, multi-line messages, etc.) are joined to the preceding record\n"
           "with embedded `\\n`. Orphan content before the first timestamp becomes its own record\n"
           "rather than being silently dropped.",
    .locals = "buffer raw_line line",
    .generator = [](arguments a) static -> task {
        object buffer = check(PyList_New(0));
        for (const object& raw_line : items(a[0])) {
            object line = call_method(raw_line, "rstrip"_id, "\n"_id);
            bool starts_record = is_true(call_method(global("_RECORD_START"_id), "match"_id, line));
            if (starts_record && PyList_GET_SIZE(buffer.ptr()) > 0) {
                co_yield joined(buffer);
                buffer = check(PyList_New(0));
            }
            check_status(PyList_Append(buffer.ptr(), line.ptr()));
        }
        // The last record has no successor to close it; the end of the input does.
        if (PyList_GET_SIZE(buffer.ptr()) > 0) co_yield joined(buffer);
        co_return none();
    },
};

/// `class LogService(str, Enum): api = "api"; sync_agent = "sync_agent"`, built as the class
/// statement builds it: the enum metaclass prepares the namespace, the body fills it in order.
object log_service_class() {
    object enum_class = global("Enum"_id);
    object metaclass = object::borrow(reinterpret_cast<PyObject*>(enum_class.type()));
    object name = check(PyUnicode_FromString("LogService"));
    object bases = check(PyTuple_Pack(2, reinterpret_cast<PyObject*>(&PyUnicode_Type), enum_class.ptr()));
    object body = call_method(metaclass, "__prepare__"_id, name, bases);
    check_status(PyObject_SetItem(body.ptr(), "__module__"_id.ptr(), module_name().ptr()));
    check_status(PyObject_SetItem(body.ptr(), "__qualname__"_id.ptr(), name.ptr()));
    check_status(PyObject_SetItem(body.ptr(), "api"_id.ptr(), "api"_id.ptr()));
    check_status(PyObject_SetItem(body.ptr(), "sync_agent"_id.ptr(), "sync_agent"_id.ptr()));
    return call(metaclass, name, bases, body);
}

/// `{LogService.api: API_LOG_FILE_NAME, LogService.sync_agent: SYNC_AGENT_LOG_FILE_NAME}`
object log_file_names() {
    object services = global("LogService"_id);
    object names = check(PyDict_New());
    check_status(PyDict_SetItem(names.ptr(), attr(services, "api"_id).ptr(), global("API_LOG_FILE_NAME"_id).ptr()));
    check_status(PyDict_SetItem(names.ptr(), attr(services, "sync_agent"_id).ptr(),
                                global("SYNC_AGENT_LOG_FILE_NAME"_id).ptr()));
    return names;
}

/// A timestamp with milliseconds and one space, as the services' log formatter writes it.
object record_start_pattern() {
    object source = check(PyUnicode_FromString(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2},\d{3} )"));
    return call_method(global("re"_id), "compile"_id, source);
}

void statements(module_builder& m) {
    m.import("re");
    m.from("collections", {"deque"});
    m.from("enum", {"Enum"});
    m.from("pathlib", {"Path"});
    m.from("typing", {"Iterator", "List"});
    m.from("vornal_api", {{"LOG_FILE_NAME", "API_LOG_FILE_NAME"}});
    m.from("vornal_api.app.exceptions.admin.logs_handler", {"LogFileNotFoundError"});
    m.from("vornal_client.settings.folders", {"get_log_dir"});
    m.from("vornal_sync_agent", {{"LOG_FILE_NAME", "SYNC_AGENT_LOG_FILE_NAME"}});

    m.set("LogService", log_service_class);
    m.set("_LOG_FILE_NAMES", log_file_names);
    m.set("_RECORD_START", record_start_pattern);

    m.def(get_recent_log_lines);
    m.def(iter_rotated_and_current);
    m.def(iter_log_records);
}

const module_info logs{
    .name = "vornal_api.python_api.admin.logs",
    .short_name = "logs",
    .source = "src/vornal_api/python_api/admin/logs",
    .statements = statements,
};

}  // namespace

PyMODINIT_FUNC PyInit_logs() { return define_module(logs); }
