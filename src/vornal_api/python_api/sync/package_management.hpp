// Plug-in package management, shared by the connector and converter modules: the registry
// listing and the package operations that run pip through the service runner program.
#pragma once

#include "module_frame/calls.hpp"

namespace vornal::packages {

using namespace vornal::frame;

/// How one package operation reports an installer failure: its exception class and the start of
/// its message, which goes on with the package or path, "': " and pip's error text.
struct failure_report {
    const identifier& error_class;
    const char* prefix;
};

/// The outside names that make one module's packages: its registry, read model and exception
/// classes, and the failure report of each operation.
struct package_kind {
    const identifier& registry;
    const identifier& read_model;
    const identifier& invalid_path_error;
    failure_report install_from_index;
    failure_report install_from_path;
    failure_report update_from_index;
    failure_report update_from_path;
    failure_report uninstall;
};

/// The parameters of the operations.
inline constexpr parameter package_name_parameter = exact_str("package_name", "str");
inline constexpr parameter package_path_parameter = exact_str("package_path", "str");
inline constexpr parameter index_url_parameter = exact_str("index_url", "Optional[str]").or_none().defaults_to(nullptr);

/// `[<read_model>.model_validate(item) for item in <registry>(scan=True, reload=True).values()]`:
/// the registry rescans and reloads the installed packages first; no partial list on failure.
inline object list_packages(const package_kind& kind, location where = location::current()) {
    object registry = global(kind.registry, where);
    object found = call_kw({registry, where}, keywords<"scan", "reload">(), handle(Py_True), handle(Py_True));
    object listed = check(PyList_New(0), where);
    for (const object& item : items(call_method({found, where}, "values"_id), where)) {
        object model = global(kind.read_model, where);
        check_status(PyList_Append(listed.ptr(), call_method({model, where}, "model_validate"_id, item).ptr()), where);
    }
    return listed;
}

/// A package name that pip would read as one of its options ("-r FILE", "--index-url=...") is
/// refused with the operation's own error, before anything else happens.
inline void refuse_option_as_name(handle package_name, const failure_report& failure, location where) {
    if (PyUnicode_GET_LENGTH(package_name.ptr()) == 0 || PyUnicode_READ_CHAR(package_name.ptr(), 0) != '-') return;
    object error_class = global(failure.error_class, where);
    raise(call({error_class, where}, f_string({failure.prefix, where}, package_name, "': not a valid package name")),
          where);
}

/// `str(get_service_runner_path())`, fetched anew by every operation.
inline object runner_path(location where) {
    return check(PyObject_Str(call({global("get_service_runner_path"_id, where), where}).ptr()), where);
}

/// `[app_path, "self", "pip", arguments...]`
template <class... Arguments>
object pip_command(handle app_path, location where, const Arguments&... arguments) {
    PyObject* elements[] = {app_path.ptr(), "self"_id.ptr(), "pip"_id.ptr(), argument_pointer(arguments)...};
    object command = check(PyList_New(Py_ssize_t(std::size(elements))), where);
    for (std::size_t i = 0; i < std::size(elements); ++i)
        PyList_SET_ITEM(command.ptr(), Py_ssize_t(i), Py_NewRef(elements[i]));
    return command;
}

inline void append(handle list, handle value, location where) {
    check_status(PyList_Append(list.ptr(), value.ptr()), where);
}

/// `if index_url: cmd += ["--index-url", index_url]`
inline void append_index_url(handle command, handle index_url, location where) {
    if (index_url.is_none() || PyUnicode_GET_LENGTH(index_url.ptr()) == 0) return;
    append(command, "--index-url"_id, where);
    append(command, index_url, where);
}

/// The requirement handed to pip for a name and an optional version: the name alone, the name
/// and a version that starts with its own comparison ("acme>=1.0,<2.0"), or "name==version".
inline object requirement(handle package_name, handle version, location where) {
    if (version.is_none() || PyUnicode_GET_LENGTH(version.ptr()) == 0) return object::borrow(package_name);
    Py_UCS4 first = PyUnicode_READ_CHAR(version.ptr(), 0);
    bool has_operator = first == '<' || first == '>' || first == '=' || first == '!' || first == '~';
    if (has_operator) return check(PyUnicode_Concat(package_name.ptr(), version.ptr()), where);
    return f_string({"", where}, package_name, "==", version);
}

/// The validation step:
/// `try: package_path = validate_local_package_path(package_path)`
/// `except FileNotFoundError as e: raise <invalid_path_error>(str(e)) from e`
/// The validated path must be a str or None.
inline object validated_path(const package_kind& kind, handle package_path, location where) {
    object validated;
    try {
        validated = call({global("validate_local_package_path"_id, where), where}, package_path);
    } catch (error_already_set& error) {
        except_scope caught(error);
        if (!caught.matches(global("FileNotFoundError"_id, where), where)) throw;
        object error_class = global(kind.invalid_path_error, where);
        object message = check(PyObject_Str(caught.exception().ptr()), where);
        raise_from(call({error_class, where}, message), caught.exception(), where);
    }
    return expect_str(std::move(validated), where);
}

/// The installer step:
/// `try: await run_pip_command(cmd)`
/// `except subprocess.CalledProcessError as e:`
/// `    raise <error_class>(f"{prefix}{subject}': {format_subprocess_error(e)}") from e`
inline task run_installer(handle command, const failure_report& failure, handle subject, location where) {
    try {
        // Only the awaitable stays referenced while pip runs, not the function that made it.
        object running = call({global("run_pip_command"_id, where), where}, command);
        co_await std::move(running);
    } catch (error_already_set& raised) {
        // The error shows the line of the operation that ran the installer.
        error_already_set error(raised.exception(), int(where.line()));
        except_scope caught(error);
        object subprocess = global("subprocess"_id, where);
        if (!caught.matches(attr(subprocess, "CalledProcessError"_id, where), where)) throw std::move(error);
        object error_class = global(failure.error_class, where);
        object format_error = global("format_subprocess_error"_id, where);
        object text = call({format_error, where}, caught.exception());
        raise_from(call({error_class, where}, f_string({failure.prefix, where}, subject, "': ", text)),
                   caught.exception(), where);
    }
    co_return none();
}

// ---- the five operations, each the whole body of a coroutine function ----
// What an operation holds while the installer runs is kept where the collector sees it, as the
// locals of a Python coroutine are.

/// Installs `package_name`, with `version` when it is given, from the default or the given index.
inline task install_from_index(const package_kind& kind, handle package_name, handle version, handle index_url,
                               location where = location::current()) {
    refuse_option_as_name(package_name, kind.install_from_index, where);
    kept_objects held;
    handle app_path = held.keep(runner_path(where));
    handle package_spec = held.keep(requirement(package_name, version, where));
    handle cmd = held.keep(pip_command(app_path, where, "install"_id, package_spec));
    append_index_url(cmd, index_url, where);
    co_return co_await run_installer(cmd, kind.install_from_index, package_name, where);
}

/// Installs the package in a local directory, in editable mode ("-e") when asked.
inline task install_from_path(const package_kind& kind, handle package_path, bool editable,
                              location where = location::current()) {
    kept_objects held;
    handle validated = held.keep(validated_path(kind, package_path, where));
    handle app_path = held.keep(runner_path(where));
    handle cmd = held.keep(pip_command(app_path, where, "install"_id));
    if (editable) append(cmd, "-e"_id, where);
    append(cmd, validated, where);
    co_return co_await run_installer(cmd, kind.install_from_path, validated, where);
}

/// Upgrades `package_name` from the default or the given index.
inline task update_from_index(const package_kind& kind, handle package_name, handle index_url,
                              location where = location::current()) {
    refuse_option_as_name(package_name, kind.update_from_index, where);
    kept_objects held;
    handle app_path = held.keep(runner_path(where));
    handle cmd = held.keep(pip_command(app_path, where, "install"_id, "--upgrade"_id, package_name));
    append_index_url(cmd, index_url, where);
    co_return co_await run_installer(cmd, kind.update_from_index, package_name, where);
}

/// Upgrades the package from a local directory.
inline task update_from_path(const package_kind& kind, handle package_path, location where = location::current()) {
    kept_objects held;
    handle validated = held.keep(validated_path(kind, package_path, where));
    handle app_path = held.keep(runner_path(where));
    handle cmd = held.keep(pip_command(app_path, where, "install"_id, "--upgrade"_id, validated));
    co_return co_await run_installer(cmd, kind.update_from_path, validated, where);
}

/// Uninstalls `package_name` without asking for confirmation.
inline task uninstall(const package_kind& kind, handle package_name, location where = location::current()) {
    refuse_option_as_name(package_name, kind.uninstall, where);
    kept_objects held;
    handle app_path = held.keep(runner_path(where));
    handle cmd = held.keep(pip_command(app_path, where, "uninstall"_id, "-y"_id, package_name));
    co_return co_await run_installer(cmd, kind.uninstall, package_name, where);
}

}  // namespace vornal::packages
