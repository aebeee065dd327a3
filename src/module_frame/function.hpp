// Function objects: the table a module declares next to each body (name, parameters with their
// kinds, annotations and defaults, docstring), and the callable object built from it at load.
#pragma once

#include "monitoring.hpp"
#include "task.hpp"

#include <cstdint>

namespace vornal::frame {

/// How a parameter's argument is checked before the body runs.
enum class param_kind : std::uint8_t {
    any,      // passed on unchanged
    str,      // exactly str
    dict,     // exactly dict
    boolean,  // exactly bool (declared together with None)
    integer,  // exactly int, or a number converted to int
    truth,    // any object, reduced to True or False
};

struct default_value {
    enum class kind : std::uint8_t { required, none, boolean, integer } kind = kind::required;
    long long number = 0;
};

struct parameter {
    const char* name = nullptr;
    param_kind kind = param_kind::any;
    bool accepts_none = false;
    const char* annotation = nullptr;
    default_value fallback{};

    constexpr parameter or_none() const noexcept { auto p = *this; p.accepts_none = true; return p; }
    constexpr parameter defaults_to(std::nullptr_t) const noexcept { return with({default_value::kind::none, 0}); }
    constexpr parameter defaults_to(bool value) const noexcept { return with({default_value::kind::boolean, value}); }
    constexpr parameter defaults_to(int value) const noexcept { return with({default_value::kind::integer, value}); }

private:
    constexpr parameter with(default_value value) const noexcept { auto p = *this; p.fallback = value; return p; }
};

constexpr parameter unchecked(const char* name, const char* annotation = nullptr) noexcept {
    return {name, param_kind::any, true, annotation};
}
constexpr parameter exact_str(const char* name, const char* annotation = nullptr) noexcept {
    return {name, param_kind::str, false, annotation};
}
constexpr parameter exact_dict(const char* name, const char* annotation = nullptr) noexcept {
    return {name, param_kind::dict, false, annotation};
}
constexpr parameter optional_bool(const char* name, const char* annotation = nullptr) noexcept {
    return {name, param_kind::boolean, true, annotation};
}
constexpr parameter integer(const char* name, const char* annotation = nullptr) noexcept {
    return {name, param_kind::integer, false, annotation};
}
constexpr parameter truth(const char* name, const char* annotation = nullptr) noexcept {
    return {name, param_kind::truth, false, annotation};
}

inline constexpr std::size_t max_parameters = 12;

/// A function's name, with the line where its table starts: the definition line of __code__.
struct function_name {
    const char* text;
    location where;
    function_name(const char* text, location where = location::current()) noexcept : text(text), where(where) {}
};

/// What a module declares for one function. Exactly one of the three bodies is set.
struct function_spec {
    function_name name;
    parameter params[max_parameters] = {};
    const char* returns = nullptr;  // the return annotation, if any
    const char* doc = nullptr;      // the docstring's prose after the signature line
    const char* locals = nullptr;   // the body's other local variables, blank-separated (co_varnames)
    plain_body plain = nullptr;
    coroutine_body coroutine = nullptr;
    coroutine_body generator = nullptr;

    constexpr std::size_t param_count() const noexcept {
        std::size_t n = 0;
        while (n < max_parameters && params[n].name) ++n;
        return n;
    }
};

/// Builds the function object of a table for the module being loaded.
object make_function(const function_spec& spec);

/// Adds to the pending error the traceback entry for `line` of a function's body: `dotted` picks
/// the module-qualified name used for plain functions, argument errors and caught exceptions.
struct function_object;
void add_traceback(const function_object* function, int line, bool dotted) noexcept;

}  // namespace vornal::frame

namespace vornal::frame {

/// The callable object of one module-level function; its record lives inside it.
struct function_object {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const function_spec* spec;
    Py_ssize_t param_count;
    Py_ssize_t required_count;
    PyObject* param_names[max_parameters];  // interned
    PyObject* call_defaults;  // the defaults fixed at definition, used by every call
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* code;
    PyObject* frame;         // the frame of traceback entries, named as __code__
    PyObject* dotted_frame;  // the same, named "module.function"
    PyObject* globals;
    PyObject* dict;
    PyObject* weakrefs;
    monitoring_scope monitoring;  // what sys.monitoring tools listen to, reported with `code`
};

bool ready_function_type() noexcept;

}  // namespace vornal::frame
