// Function objects: building them from a module's table, argument parsing with the interface's
// messages, and the attributes that introspection (inspect, help) reads.
#include "function.hpp"

#include "coroutine.hpp"
#include "calls.hpp"

#include <new>
#include <string>
#include <string_view>

namespace vornal::frame {
namespace {

PyTypeObject* function_type;

function_object* as_function(PyObject* self) noexcept { return reinterpret_cast<function_object*>(self); }

const char* checked_type_name(param_kind kind) noexcept {
    switch (kind) {
    case param_kind::str: return "str";
    case param_kind::dict: return "dict";
    case param_kind::boolean:
    case param_kind::truth: return "bool";
    case param_kind::integer: return "int";
    case param_kind::any: break;
    }
    return nullptr;
}

// ---- argument errors (kept out of the call path) ----

[[gnu::cold]] void positional_count_error(const function_object* f, const char* bound, Py_ssize_t expected,
                                          Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", f->spec->name.text, bound,
                 expected, expected == 1 ? "" : "s", given);
}

[[gnu::cold]] void incorrect_type_error(const char* name, const char* expected, handle given,
                                        PyTypeObject* expected_type) noexcept {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, expected,
                 given.type()->tp_name);
    if (!expected_type || !PyObject_TypeCheck(given.ptr(), expected_type)) return;
    PyObject* error = PyErr_GetRaisedException();
    PyObject* note = PyUnicode_FromString(
        "This interface is stricter than PEP 484 type hints: it accepts only the built-in type itself "
        "and rejects instances of its subclasses.");
    if (note) {
        PyObject* added = PyObject_CallMethodOneArg(error, "add_note"_id.ptr(), note);
        Py_XDECREF(added);
        Py_DECREF(note);
    }
    if (PyErr_Occurred()) {
        Py_DECREF(error);
        return;
    }
    PyErr_SetRaisedException(error);
}

[[gnu::cold]] void not_a_number_error(const char* name, handle given) noexcept {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.5s, got %.200s)", name, "int",
                 given.type()->tp_name);
}

// ---- argument conversion ----

/// Converts an argument slot in place (owned reference); false with an error set on failure.
bool convert(const parameter& p, PyObject*& value) noexcept {
    if (value == Py_None && p.accepts_none) return true;
    switch (p.kind) {
    case param_kind::integer: {
        if (PyLong_CheckExact(value)) return true;
        if (!has_int_conversion(value)) {
            not_a_number_error(p.name, value);
            return false;
        }
        PyObject* converted = to_int(value);
        if (!converted) return false;
        Py_SETREF(value, converted);
        return true;
    }
    case param_kind::truth: {
        if (PyBool_Check(value)) return true;
        int truth = value == Py_None ? 0 : PyObject_IsTrue(value);
        if (truth < 0) return false;
        Py_SETREF(value, Py_NewRef(truth ? Py_True : Py_False));
        return true;
    }
    default:
        return true;
    }
}

/// The exact-type test that follows the conversions.
bool exact(const parameter& p, PyObject* value) noexcept {
    if (value == Py_None && p.accepts_none) return true;
    switch (p.kind) {
    case param_kind::str:
        if (PyUnicode_CheckExact(value)) return true;
        incorrect_type_error(p.name, "str", value, &PyUnicode_Type);
        return false;
    case param_kind::dict:
        if (PyDict_CheckExact(value)) return true;
        incorrect_type_error(p.name, "dict", value, &PyDict_Type);
        return false;
    case param_kind::boolean:
        if (PyBool_Check(value)) return true;
        incorrect_type_error(p.name, "bool", value, &PyBool_Type);
        return false;
    case param_kind::integer:
        if (PyLong_CheckExact(value)) return true;
        incorrect_type_error(p.name, "int", value, &PyLong_Type);
        return false;
    default:
        return true;
    }
}

/// Finds the parameter named by a keyword: interned names match by pointer, others by value.
Py_ssize_t parameter_index(const function_object* f, PyObject* key) noexcept {
    for (Py_ssize_t i = 0; i < f->param_count; ++i)
        if (f->param_names[i] == key) return i;
    for (Py_ssize_t i = 0; i < f->param_count; ++i)
        if (PyUnicode_Compare(f->param_names[i], key) == 0) return i;
    return -1;
}

[[gnu::cold]] PyObject* argument_error(const function_object* f) noexcept {
    add_traceback(f, int(f->spec->name.where.line()), true);
    return nullptr;
}

PyObject* call_body(function_object* f, PyObject** slots) noexcept {
    Py_ssize_t n = f->param_count;
    if (!f->spec->plain) {
        PyObject* coroutine = new_coroutine(f, slots, n);
        if (!coroutine)
            for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(slots[i]);
        return coroutine;
    }
    PyObject* result = nullptr;
    if (f->monitoring.enter(f->code, entry::start) == 0) {
        try {
            plain_body_scope running(f);
            result = f->spec->plain(arguments(slots)).release();
            if (!result) result = Py_NewRef(Py_None);
        } catch (error_already_set& error) {
            bool traced = error.traced();
            error.restore();
            if (!traced) add_traceback(f, error.line(), true);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (...) {
            PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in a module body");
        }
        if (f->monitoring.leave(f->code, result ? PYGEN_RETURN : PYGEN_ERROR, result) < 0) Py_CLEAR(result);
    }
    error_scope keep;
    for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(slots[i]);
    return result;
}

PyObject* vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    auto* f = as_function(self);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Py_ssize_t n = f->param_count;
    if (n == 0) {
        if (nkw) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s", f->spec->name.text, "takes no keyword arguments");
            return argument_error(f);
        }
        if (nargs) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", f->spec->name.text, "takes no arguments", nargs);
            return argument_error(f);
        }
        return call_body(f, nullptr);
    }
    if (nargs > n) {
        positional_count_error(f, f->required_count == n ? "exactly" : "at most", n, nargs);
        return argument_error(f);
    }
    PyObject* slots[max_parameters] = {};
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f->spec->name.text);
            return argument_error(f);
        }
        Py_ssize_t index = parameter_index(f, key);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", f->spec->name.text, key);
            return argument_error(f);
        }
        if (slots[index]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", f->spec->name.text, key);
            return argument_error(f);
        }
        slots[index] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < f->required_count; ++i) {
        if (!slots[i]) {
            positional_count_error(f, f->required_count == n ? "exactly" : "at least", f->required_count, nargs);
            return argument_error(f);
        }
    }
    for (Py_ssize_t i = f->required_count; i < n; ++i)
        if (!slots[i]) slots[i] = PyTuple_GET_ITEM(f->call_defaults, i - f->required_count);
    for (Py_ssize_t i = 0; i < n; ++i) Py_INCREF(slots[i]);
    bool ok = true;
    for (Py_ssize_t i = 0; ok && i < n; ++i) ok = convert(f->spec->params[i], slots[i]);
    for (Py_ssize_t i = 0; ok && i < n; ++i) ok = exact(f->spec->params[i], slots[i]);
    if (!ok) {
        for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(slots[i]);
        return argument_error(f);
    }
    return call_body(f, slots);
}

// ---- building ----

std::string default_text(const default_value& d) {
    switch (d.kind) {
    case default_value::kind::none: return "None";
    case default_value::kind::boolean: return d.number ? "True" : "False";
    case default_value::kind::integer: return std::to_string(d.number);
    case default_value::kind::required: break;
    }
    return {};
}

object default_object(const default_value& d) {
    switch (d.kind) {
    case default_value::kind::boolean: return boolean(d.number != 0);
    case default_value::kind::integer: return check(PyLong_FromLongLong(d.number));
    default: return none();
    }
}

/// "name(int a: int, str b: str | None = None) -> T", then the prose after a blank line.
std::string docstring(const function_spec& spec) {
    std::string text = std::string(spec.name.text) + "(";
    for (std::size_t i = 0; i < spec.param_count(); ++i) {
        const parameter& p = spec.params[i];
        if (i) text += ", ";
        if (const char* type = checked_type_name(p.kind)) text += std::string(type) + " ";
        text += p.name;
        if (p.annotation) text += std::string(": ") + p.annotation;
        if (p.fallback.kind != default_value::kind::required) text += " = " + default_text(p.fallback);
    }
    text += ")";
    if (spec.returns) text += std::string(" -> ") + spec.returns;
    if (spec.doc) text += std::string("\n\n") + spec.doc;
    return text;
}

object code_object(const function_spec& spec, const char* name, handle varnames) {
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (spec.coroutine) flags |= CO_COROUTINE;
    if (spec.generator) flags |= CO_GENERATOR;
    object empty = check(reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_path(), name, int(spec.name.where.line()))));
    object replace = attr(empty, "replace"_id);
    object argcount = check(PyLong_FromSsize_t(Py_ssize_t(spec.param_count())));
    object nlocals = check(PyLong_FromSsize_t(PyTuple_GET_SIZE(varnames.ptr())));
    object flag_value = check(PyLong_FromLong(flags));
    return call_kw(replace, keywords<"co_argcount", "co_nlocals", "co_varnames", "co_flags">(), argcount, nlocals,
                   varnames, flag_value);
}

// ---- attributes ----

PyObject* get_code(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->code); }

int set_string(PyObject*& slot, PyObject* value, const char* message) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(slot, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_string(as_function(self)->name, value, "__name__ must be set to a string object");
}
PyObject* get_qualname(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return set_string(as_function(self)->qualname, value, "__qualname__ must be set to a string object");
}

PyObject* get_annotations(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->annotations); }
int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (!value || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_NewRef(value));
    return 0;
}

/// Stores a new __defaults__ / __kwdefaults__; calls keep the values fixed at definition.
int set_unused_defaults(PyObject*& slot, PyObject* value, bool accepted, const char* type_message,
                        const char* warning) noexcept {
    if (!value) value = Py_None;
    if (value != Py_None && !accepted) {
        PyErr_SetString(PyExc_TypeError, type_message);
        return -1;
    }
    if (PyErr_WarnEx(PyExc_RuntimeWarning, warning, 1) < 0) return -1;
    Py_XSETREF(slot, Py_NewRef(value));
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->defaults); }
int set_defaults(PyObject* self, PyObject* value, void*) noexcept {
    return set_unused_defaults(as_function(self)->defaults, value, value && PyTuple_Check(value),
                               "__defaults__ must be set to a tuple object",
                               "changes to __defaults__ do not affect the values used in calls");
}
PyObject* get_kwdefaults(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->kwdefaults); }
int set_kwdefaults(PyObject* self, PyObject* value, void*) noexcept {
    return set_unused_defaults(as_function(self)->kwdefaults, value, value && PyDict_Check(value),
                               "__kwdefaults__ must be set to a dict object",
                               "changes to __kwdefaults__ do not affect the values used in calls");
}

PyGetSetDef getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(function_object, module_name), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(function_object, doc), 0, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(function_object, globals), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(function_object, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(function_object, weakrefs), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(function_object, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->call_defaults);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->module_name);
    Py_VISIT(f->globals);
    Py_VISIT(f->dict);
    Py_VISIT(f->frame);
    Py_VISIT(f->dotted_frame);
    return 0;
}

int clear(PyObject* self) noexcept {
    auto* f = as_function(self);
    Py_CLEAR(f->call_defaults);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->frame);
    Py_CLEAR(f->dotted_frame);
    return 0;
}

void dealloc(PyObject* self) noexcept {
    auto* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    clear(self);
    for (Py_ssize_t i = 0; i < f->param_count; ++i) Py_CLEAR(f->param_names[i]);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

/// Read through a class or an instance, the function is itself (no bound method), as a built-in
/// function is; being a descriptor makes introspection (inspect.isroutine, pydoc, doctest) list it
/// among the module's functions.
PyObject* descr_get(PyObject* self, PyObject*, PyObject*) noexcept { return Py_NewRef(self); }

/// Pickled by reference, as module-level functions are: `__module__` plus the qualified name.
PyObject* reduce(PyObject* self, PyObject*) noexcept { return Py_NewRef(as_function(self)->qualname); }

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
    {Py_tp_getset, getset},
    {Py_tp_members, members},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

bool has_int_conversion(PyObject* value) noexcept {
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    return number && (number->nb_int || number->nb_index);
}

PyObject* to_int(PyObject* value) noexcept {
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    bool by_index = !number->nb_int;
    PyObject* converted = by_index ? number->nb_index(value) : number->nb_int(value);
    if (converted && !PyLong_Check(converted)) {
        PyErr_Format(PyExc_TypeError, "%s returned non-int (type %.200s)", by_index ? "__index__" : "__int__",
                     Py_TYPE(converted)->tp_name);
        Py_CLEAR(converted);
    }
    return converted;
}

object make_function(const function_spec& spec) {
    auto* f = PyObject_GC_New(function_object, function_type);
    if (!f) throw_error();
    auto n = Py_ssize_t(spec.param_count());
    f->vectorcall = vectorcall;
    f->spec = &spec;
    f->param_count = n;
    f->required_count = 0;
    while (f->required_count < n && spec.params[f->required_count].fallback.kind == default_value::kind::required)
        ++f->required_count;
    for (auto& name : f->param_names) name = nullptr;
    f->call_defaults = f->name = f->qualname = f->module_name = f->doc = f->annotations = nullptr;
    f->defaults = f->kwdefaults = f->code = f->frame = f->dotted_frame = f->globals = f->dict = f->weakrefs = nullptr;
    new (&f->monitoring) monitoring_scope();
    object result = object::steal(reinterpret_cast<PyObject*>(f));
    PyObject_GC_Track(f);

    object varnames = check(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        f->param_names[i] = check(PyUnicode_InternFromString(spec.params[i].name)).release();
        PyList_SET_ITEM(varnames.ptr(), i, Py_NewRef(f->param_names[i]));
    }
    for (std::string_view rest = spec.locals ? spec.locals : ""; !rest.empty();) {
        std::size_t end = rest.find(' ');
        std::string name(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (name.empty()) continue;
        check_status(PyList_Append(varnames.ptr(), check(PyUnicode_InternFromString(name.c_str())).ptr()));
    }
    varnames = check(PyList_AsTuple(varnames.ptr()));
    object defaults = check(PyTuple_New(n - f->required_count));
    for (Py_ssize_t i = f->required_count; i < n; ++i)
        PyTuple_SET_ITEM(defaults.ptr(), i - f->required_count, default_object(spec.params[i].fallback).release());
    object annotations = check(PyDict_New());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!spec.params[i].annotation) continue;
        object text = check(PyUnicode_FromString(spec.params[i].annotation));
        check_status(PyDict_SetItem(annotations.ptr(), f->param_names[i], text.ptr()));
    }
    if (spec.returns) {
        object text = check(PyUnicode_FromString(spec.returns));
        check_status(PyDict_SetItem(annotations.ptr(), "return"_id.ptr(), text.ptr()));
    }
    std::string doc = docstring(spec);
    std::string dotted = std::string(PyUnicode_AsUTF8(module_name().ptr())) + "." + spec.name.text;

    f->name = check(PyUnicode_InternFromString(spec.name.text)).release();
    f->qualname = Py_NewRef(f->name);
    f->module_name = Py_NewRef(module_name().ptr());
    f->doc = check(PyUnicode_FromStringAndSize(doc.data(), Py_ssize_t(doc.size()))).release();
    f->annotations = annotations.release();
    f->call_defaults = defaults.release();
    f->defaults = Py_NewRef(n > f->required_count ? f->call_defaults : Py_None);
    f->kwdefaults = Py_NewRef(Py_None);
    f->globals = Py_NewRef(module_globals().ptr());
    f->code = code_object(spec, spec.name.text, varnames).release();
    f->frame = check(traceback_frame(f->code)).release();
    f->dotted_frame = check(traceback_frame(code_object(spec, dotted.c_str(), varnames).ptr())).release();
    return result;
}

void add_traceback(const function_object* function, int line, bool dotted) noexcept {
    PyObject* exception = PyErr_GetRaisedException();
    if (line <= 0) line = int(function->spec->name.where.line());
    add_traceback_entry(exception, dotted ? function->dotted_frame : function->frame, line);
    PyErr_SetRaisedException(exception);
}

bool ready_function_type() noexcept {
    if (function_type) return true;
    PyType_Spec spec{"vornal_api.python_api.function", int(sizeof(function_object)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                         Py_TPFLAGS_DISALLOW_INSTANTIATION,
                     slots};
    function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return function_type != nullptr;
}

}  // namespace vornal::frame
