// The service log reader: the most recent log records of the API service or the sync agent,
// grouped from physical lines into records and read across one rotation of the log file.
#include "module_frame/calls.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <optional>

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

/// `current.parent / (current.name + ".1")`, its parts read left to right.
object backup_of(handle current, location where = location::current()) {
    object parent = attr(current, "parent"_id, where);
    return divide(parent, add(attr(current, "name"_id, where), ".1"_id, where), where);
}

// ---- the most recent records, read backwards from the end of the files ----

/// The names the reading pipeline is built from, and the objects bound to them at load. While the
/// namespace holds every one of those objects, the records can be read from the end of the files
/// with the same result; once any of them is replaced, calls run the pipeline through the names.
const std::array pipeline_names{&"Path"_id, &"deque"_id, &"_iter_log_records"_id, &"_iter_rotated_and_current"_id,
                                &"_RECORD_START"_id};
// Owned references, kept for the life of the process (no destructor runs them down after the
// interpreter has finished).
std::array<PyObject*, pipeline_names.size()> pipeline_as_loaded{};

/// The namespace's entry for `name` (borrowed), or null.
PyObject* namespace_entry(const identifier& name) {
    PyObject* value = PyDict_GetItemWithError(module_globals().ptr(), name.ptr());
    if (!value && PyErr_Occurred()) throw_error();
    return value;
}

void remember_pipeline() {
    for (std::size_t i = 0; i < pipeline_names.size(); ++i)
        pipeline_as_loaded[i] = Py_NewRef(namespace_entry(*pipeline_names[i]));
}

bool pipeline_unchanged() {
    for (std::size_t i = 0; i < pipeline_names.size(); ++i)
        if (namespace_entry(*pipeline_names[i]) != pipeline_as_loaded[i]) return false;
    return true;
}

constexpr off_t block_size = 64 * 1024;

/// Whether a line whose bytes start at `line` (`available` of them at most, possibly running on
/// into the following lines) starts a record: `_RECORD_START` on the decoded line. Its \d is any
/// character that str.isdecimal() accepts, which is what the pattern's \d matches in a str.
bool starts_record(const char* line, std::size_t available) {
    static constexpr char shape[] = "0000-00-00 00:00:00,000 ";  // '0' stands for a decimal digit
    constexpr std::size_t length = sizeof shape - 1;
    // Every character takes at least one byte, so fewer bytes than characters cannot match. While
    // the bytes are ASCII each is a character (of the ASCII ones only '0'-'9' are decimal).
    if (available < length) return false;
    std::size_t ascii = 0;
    for (; ascii < length && static_cast<unsigned char>(line[ascii]) < 0x80; ++ascii)
        if (shape[ascii] == '0' ? line[ascii] < '0' || line[ascii] > '9' : line[ascii] != shape[ascii]) return false;
    if (ascii == length) return true;
    // The first 24 characters take at most 96 bytes, and cutting the bytes after them changes none.
    object text = check(PyUnicode_DecodeUTF8(line, Py_ssize_t(std::min<std::size_t>(available, 4 * length)),
                                             "replace"));
    if (PyUnicode_GET_LENGTH(text.ptr()) < Py_ssize_t(length)) return false;
    for (std::size_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(text.ptr(), Py_ssize_t(i));
        if (shape[i] == '0' ? !Py_UNICODE_ISDECIMAL(c) : c != Py_UCS4(shape[i])) return false;
    }
    return true;
}

/// Memory from the interpreter's allocator (where tracemalloc sees it), freed when this goes.
class byte_buffer {
public:
    byte_buffer() noexcept = default;
    explicit byte_buffer(std::size_t size) : data_(static_cast<char*>(PyMem_Malloc(size ? size : 1))), size_(size) {
        if (!data_) {
            PyErr_NoMemory();
            throw_error();
        }
    }
    byte_buffer(byte_buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    byte_buffer& operator=(byte_buffer other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        return *this;
    }
    ~byte_buffer() { PyMem_Free(data_); }
    char* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
};

/// The text of whole lines of a file: line endings ("\r\n", "\r", "\n") become "\n", the last one
/// is dropped, and the bytes are decoded as UTF-8 with invalid ones replaced. The bytes begin and
/// end at line boundaries, where decoding them alone gives what decoding the file gives.
object lines_text(const char* bytes, std::size_t size) {
    if (!std::memchr(bytes, '\r', size)) {
        if (size && bytes[size - 1] == '\n') --size;
        return check(PyUnicode_DecodeUTF8(bytes, Py_ssize_t(size), "replace"));
    }
    byte_buffer translated(size);
    std::size_t length = 0;
    for (std::size_t i = 0; i < size; ++i) {
        bool crlf = bytes[i] == '\r' && i + 1 < size && bytes[i + 1] == '\n';
        if (!crlf) translated.data()[length++] = bytes[i] == '\r' ? '\n' : bytes[i];
    }
    if (length && translated.data()[length - 1] == '\n') --length;
    return check(PyUnicode_DecodeUTF8(translated.data(), Py_ssize_t(length), "replace"));
}

/// `first + "\n" + second`: a record whose lines continue in the next file.
object joined_across(handle first, handle second) {
    object head = check(PyUnicode_Concat(first.ptr(), "\n"_id.ptr()));
    return check(PyUnicode_Concat(head.ptr(), second.ptr()));
}

/// A log file opened for reading from its end; closed when this goes.
class log_file {
public:
    /// The regular file at `path`, or nothing when it cannot be opened as one (the pipeline then
    /// opens it and reports why it cannot, as the interpreter does).
    static std::optional<log_file> open(handle path) {
        object name = object::steal(PyOS_FSPath(path.ptr()));
        object encoded = name && PyUnicode_Check(name.ptr()) ? object::steal(PyUnicode_EncodeFSDefault(name.ptr()))
                                                             : name;
        if (!encoded || !PyBytes_Check(encoded.ptr()) ||
            std::strlen(PyBytes_AS_STRING(encoded.ptr())) != std::size_t(PyBytes_GET_SIZE(encoded.ptr()))) {
            PyErr_Clear();
            return std::nullopt;
        }
        log_file file(::open(PyBytes_AS_STRING(encoded.ptr()), O_RDONLY | O_CLOEXEC));
        struct stat status;
        if (file.fd_ < 0 || fstat(file.fd_, &status) < 0 || !S_ISREG(status.st_mode)) return std::nullopt;
        file.size_ = status.st_size;
        return file;
    }

    log_file(log_file&& other) noexcept : fd_(std::exchange(other.fd_, -1)), size_(other.size_) {}
    ~log_file() {
        if (fd_ >= 0) ::close(fd_);
    }
    off_t size() const noexcept { return size_; }

    /// Reads `size` bytes at `offset` into `into`; false when the file has become shorter.
    bool read(char* into, std::size_t size, off_t offset) const {
        while (size) {
            ssize_t got;
            Py_BEGIN_ALLOW_THREADS
            got = pread(fd_, into, size, offset);
            Py_END_ALLOW_THREADS
            if (got < 0 && errno == EINTR) {
                check_status(PyErr_CheckSignals());
                continue;
            }
            if (got < 0) {
                PyErr_SetFromErrno(PyExc_OSError);
                throw_error();
            }
            if (got == 0) return false;
            into += got, size -= std::size_t(got), offset += got;
        }
        return true;
    }

private:
    explicit log_file(int fd) noexcept : fd_(fd) {}
    int fd_;
    off_t size_ = 0;
};

/// Bytes [begin, end) of a file, kept at the end of a buffer so that earlier blocks go in front.
class file_window {
public:
    explicit file_window(const log_file& file) : file_(file), begin_(file.size()), end_(file.size()) {}
    off_t begin() const noexcept { return begin_; }
    const char* at(off_t position) const noexcept { return buffer_.data() + offset_ + (position - begin_); }
    /// Drops the bytes from `position` on: they have been handed out.
    void end_at(off_t position) noexcept { end_ = position; }

    /// The last line start in (begin, from], or begin when there is none: a line starts after
    /// "\n", and after "\r" not followed by "\n".
    off_t last_line_start(off_t from) const noexcept {
        if (!has_cr_) {
            const void* found = memrchr(at(begin_), '\n', std::size_t(from - begin_));
            return found ? begin_ + (static_cast<const char*>(found) - at(begin_)) + 1 : begin_;
        }
        for (off_t start = from; start > begin_; --start) {
            char before = *at(start - 1);
            if (before == '\n' || (before == '\r' && *at(start) != '\n')) return start;
        }
        return begin_;
    }

    /// Reads the block before the window; false when the file has changed under the reader.
    bool extend() {
        auto block = std::size_t(std::min(block_size, begin_));
        auto kept = std::size_t(end_ - begin_);
        if (offset_ < block) {
            // No room in front: the kept bytes move to the end of the buffer, a larger one if need be.
            const char* kept_bytes = at(begin_);
            byte_buffer target = buffer_.size() >= kept + block ? std::move(buffer_) : byte_buffer(2 * (kept + block));
            if (kept) std::memmove(target.data() + target.size() - kept, kept_bytes, kept);
            buffer_ = std::move(target);
            offset_ = buffer_.size() - kept;
        }
        offset_ -= block;
        begin_ -= off_t(block);
        if (!file_.read(buffer_.data() + offset_, block, begin_)) return false;
        has_cr_ = has_cr_ || std::memchr(at(begin_), '\r', block);
        return true;
    }

private:
    const log_file& file_;
    byte_buffer buffer_;
    std::size_t offset_ = 0;  // where `begin_` is in the buffer
    off_t begin_, end_;
    bool has_cr_ = false;  // whether a "\r" has been read, which makes line starts slower to find
};

/// The records of the stream "backup, then current file", collected newest first up to a limit.
class recent_records {
public:
    explicit recent_records(Py_ssize_t limit) : limit_(limit), records_(check(PyList_New(0))) {}
    bool complete() const noexcept { return limit_ >= 0 && PyList_GET_SIZE(records_.ptr()) >= limit_; }

    /// Collects the records of `file` from its end. `continuation` is the text of the lines that
    /// follow it in the stream before the next record start, which belong to its last record.
    /// Returns the text of the file's lines before its first record start, joined with those that
    /// continue them (nothing when there are none), or nothing when the file changed while read.
    std::optional<object> collect(const log_file& file, object continuation) {
        file_window window(file);
        off_t end = file.size();          // where the bytes not yet handed out end
        off_t unexamined = file.size() - 1;  // the highest position not yet examined as a line start
        while (!complete() && window.begin() > 0) {
            if (!window.extend()) return std::nullopt;
            for (off_t start = window.last_line_start(unexamined); start > window.begin() && !complete();
                 start = window.last_line_start(start - 1)) {
                if (!starts_record(window.at(start), std::size_t(end - start))) continue;
                add(lines_text(window.at(start), std::size_t(end - start)), std::exchange(continuation, object()));
                end = start;
                window.end_at(end);
            }
            unexamined = window.begin();
        }
        if (complete() || end == 0) return continuation;
        object first_lines = lines_text(window.at(0), std::size_t(end));
        if (starts_record(window.at(0), std::size_t(end))) {
            add(std::move(first_lines), std::move(continuation));
            return object();
        }
        return continuation ? joined_across(first_lines, continuation) : first_lines;
    }

    /// The lines before the stream's first record start form a record of their own.
    void add_first(object lines) {
        if (lines && !complete()) add(std::move(lines), object());
    }

    /// The records, oldest first.
    object oldest_first() {
        check_status(PyList_Reverse(records_.ptr()));
        return records_;
    }

private:
    void add(object record, object continuation) {
        if (continuation) record = joined_across(record, continuation);
        check_status(PyList_Append(records_.ptr(), record.ptr()));
    }

    Py_ssize_t limit_;  // negative: no limit
    object records_;
};

/// The last `bound` records (all of them when `bound` is None) of the backup and the current
/// file, as the pipeline gives them; nothing when a file cannot be read from its end, and the
/// pipeline then reads it.
std::optional<object> read_backwards(handle current, handle bound) {
    Py_ssize_t limit = bound.is_none() ? -1 : PyLong_AsSsize_t(bound.ptr());
    if (limit == -1 && PyErr_Occurred()) throw_error();
    object backup = backup_of(current);
    bool has_backup = is_true(call_method(backup, "exists"_id));
    std::optional<log_file> backup_file = has_backup ? log_file::open(backup) : std::nullopt;
    if (has_backup && !backup_file) return std::nullopt;
    std::optional<log_file> current_file = log_file::open(current);
    if (!current_file) return std::nullopt;
    recent_records records(limit);
    std::optional<object> first_lines = records.collect(*current_file, object());
    if (first_lines && backup_file && !records.complete()) first_lines = records.collect(*backup_file, *first_lines);
    if (!first_lines) return std::nullopt;
    records.add_first(std::move(*first_lines));
    return records.oldest_first();
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
        // While the pipeline is the one loaded and the path is one that Path made, the same records
        // are read from the end of the files.
        if (pipeline_unchanged() && current.type() == directory.type())
            if (std::optional<object> records = read_backwards(current, bound)) return std::move(*records);
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
    remember_pipeline();
}

const module_info logs{
    .name = "vornal_api.python_api.admin.logs",
    .short_name = "logs",
    .source = "src/vornal_api/python_api/admin/logs",
    .statements = statements,
};

}  // namespace

PyMODINIT_FUNC PyInit_logs() { return define_module(logs); }
