// A module's identity and load: multi-phase initialisation with the create and exec steps,
// the top-level statements that bind outside names and define functions, and traceback entries.
#pragma once

#include "function.hpp"

#include <initializer_list>

namespace vornal::frame {

class module_builder;

struct module_info {
    const char* name;        // the dotted import name
    const char* short_name;  // its last component
    const char* source;      // the source path that traceback entries show
    void (*statements)(module_builder&);
};

/// The PyInit_ result: the module definition for multi-phase initialisation.
PyObject* define_module(const module_info& info) noexcept;

/// One name taken by a from-import, optionally bound under another name.
struct imported_name {
    const char* name;
    const char* as = nullptr;
    imported_name(const char* name) noexcept : name(name) {}
    imported_name(const char* name, const char* as) noexcept : name(name), as(as) {}
};

/// Runs a module's top-level statements in source order; each records its line for tracebacks.
class module_builder {
public:
    /// `import module`
    void import(const char* module, location where = location::current());
    /// `from module import a, b as c`
    void from(const char* module, std::initializer_list<imported_name> names, location where = location::current());
    /// `name = compute()`: an error while computing shows this statement's line.
    void set(const char* name, object (*compute)(), location where = location::current());
    /// `def ...`: the table must outlive the module (a namespace-scope constant).
    void def(const function_spec& spec, location where = location::current());
};

/// The namespace, dotted name and source path of the module this library defines.
handle module_globals() noexcept;
handle module_name() noexcept;
const char* source_path() noexcept;
handle module_builtins() noexcept;

/// `from module import name` at call time, with the same rules as at load.
object import_from(const identifier& module, const identifier& name, location where = location::current());

/// A frame for traceback entries of `code`; built once per function and shared by its entries.
PyObject* traceback_frame(PyObject* code) noexcept;

/// Adds a traceback entry for `frame` at `line` to `exception`.
void add_traceback_entry(handle exception, PyObject* frame, int line) noexcept;

}  // namespace vornal::frame
