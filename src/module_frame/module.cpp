// Module initialisation (create and exec steps), import-time binding of outside names, and the
// traceback entries that show where in a module an error passed.
#include "module.hpp"

#include "calls.hpp"
#include "coroutine.hpp"

#include <frameobject.h>

#include <string>
#include <string_view>

namespace vornal::frame {
namespace {

/// The one module this shared library defines, kept for the life of the process.
struct module_state {
    const module_info* info = nullptr;
    PyModuleDef_Slot slots[3] = {};
    PyModuleDef definition = {};
    PyObject* module = nullptr;  // set once the exec step has begun, cleared if it fails
    PyObject* globals = nullptr;
    PyObject* builtins = nullptr;  // the builtins module's namespace
    PyObject* name = nullptr;
    std::int64_t interpreter = -1;
} state;

/// Copies one attribute of the module spec into the namespace; a missing one is skipped.
void copy_spec_attribute(handle spec, const identifier& from, handle module, const identifier& to,
                         bool skip_none = false) {
    PyObject* value = nullptr;
    check_status(PyObject_GetOptionalAttr(spec.ptr(), from.ptr(), &value));
    object owned = object::steal(value);
    if (!owned || (skip_none && owned.is_none())) return;
    check_status(PyObject_SetAttr(module.ptr(), to.ptr(), owned.ptr()));
}

PyObject* create(PyObject* spec, PyModuleDef*) noexcept {
    std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) return nullptr;
    if (state.interpreter == -1) {
        state.interpreter = interpreter;
    } else if (state.interpreter != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (state.module) return Py_NewRef(state.module);
    if (!constant::build_all()) return nullptr;
    try {
        object name = check(PyObject_GetAttrString(spec, "name"));
        object module = check(PyModule_NewObject(name.ptr()));
        copy_spec_attribute(spec, "loader"_id, module, "__loader__"_id);
        copy_spec_attribute(spec, "origin"_id, module, "__file__"_id);
        copy_spec_attribute(spec, "parent"_id, module, "__package__"_id);
        copy_spec_attribute(spec, "submodule_search_locations"_id, module, "__path__"_id, true);
        return module.release();
    } catch (error_already_set& error) {
        error.restore();
        return nullptr;
    }
}

bool version_matches() noexcept {
    int major = int((Py_Version >> 24) & 0xff), minor = int((Py_Version >> 16) & 0xff);
    if (major == 3 && minor == 14) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3, 14,
                            state.info->name, "does not match", major, minor) == 0;
}

/// Everything of the exec step that can fail before the top-level statements run.
bool prepare(PyObject* module) noexcept {
    PyObject* builtins = PyImport_ImportModule("builtins");
    if (!builtins) return false;
    int status = PyModule_AddObjectRef(module, "__builtins__", builtins);
    if (!state.builtins) state.builtins = Py_NewRef(PyModule_GetDict(builtins));
    Py_DECREF(builtins);
    if (status < 0 || !version_matches()) return false;
    if (!state.name && !(state.name = PyUnicode_FromString(state.info->name))) return false;
    if (!ready_function_type() || !ready_coroutine_types()) return false;
    PyObject* existing = nullptr;
    return PyDict_SetDefaultRef(PyImport_GetModuleDict(), state.name, module, &existing) >= 0 &&
           (Py_XDECREF(existing), true);
}

[[gnu::cold]] void add_init_traceback(int line) noexcept {
    std::string name = std::string("init ") + state.info->name;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, name.c_str());
    PyObject* exception = PyErr_GetRaisedException();
    PyCodeObject* code = PyCode_NewEmpty(state.info->source, name.c_str(), line);
    PyObject* frame = code ? traceback_frame(reinterpret_cast<PyObject*>(code)) : nullptr;
    Py_XDECREF(code);
    PyErr_Clear();  // without an entry the original error is still the one to report
    if (frame) add_traceback_entry(exception, frame, line);
    Py_XDECREF(frame);
    PyErr_SetRaisedException(exception);
}

int exec(PyObject* module) noexcept {
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     state.info->short_name);
        return -1;
    }
    // The module lives for the rest of the process, also when sys.modules lets go of it.
    state.module = Py_NewRef(module);
    state.globals = PyModule_GetDict(module);
    int line = 0;
    try {
        if (!prepare(module)) throw error_already_set(0);
        module_builder builder;
        state.info->statements(builder);
        check_status(PyObject_SetAttr(module, "__test__"_id.ptr(), check(PyDict_New()).ptr()));
        return 0;
    } catch (error_already_set& error) {
        error.restore();
        line = error.line();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception while loading a module");
    }
    add_init_traceback(line);
    // A failed module is forgotten, so that a later import starts afresh.
    Py_CLEAR(state.module);
    state.globals = nullptr;
    return -1;
}

/// The module M of `from M import ...`: the loaded one if it has every name, else imported.
object from_module(handle module_name, handle names, int line) {
    PyObject* loaded = nullptr;
    if (PyDict_GetItemRef(PyImport_GetModuleDict(), module_name.ptr(), &loaded) < 0) throw error_already_set(line);
    object module = object::steal(loaded);
    if (module) {
        bool complete = true;
        for (Py_ssize_t i = 0; complete && i < PyTuple_GET_SIZE(names.ptr()); ++i) {
            int has = PyObject_HasAttrWithError(module.ptr(), PyTuple_GET_ITEM(names.ptr(), i));
            if (has < 0) throw error_already_set(line);
            complete = has;
        }
        if (complete) return module;
    }
    PyObject* imported = PyImport_ImportModuleLevelObject(module_name.ptr(), state.globals, nullptr, names.ptr(), 0);
    if (!imported) throw error_already_set(line);
    return object::steal(imported);
}

/// Reads `name` from M, falling back to an already loaded submodule "M.name".
object imported_attribute(handle module, handle module_name, handle name, int line) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(module.ptr(), name.ptr(), &value) < 0) throw error_already_set(line);
    if (value) return object::steal(value);
    object full_name = object::steal(PyUnicode_FromFormat("%U.%U", module_name.ptr(), name.ptr()));
    if (!full_name) throw error_already_set(line);
    if (PyDict_GetItemRef(PyImport_GetModuleDict(), full_name.ptr(), &value) < 0) throw error_already_set(line);
    if (!value) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name.ptr());
        throw error_already_set(line);
    }
    return object::steal(value);
}

}  // namespace

PyObject* define_module(const module_info& info) noexcept {
    if (!state.info) {
        state.info = &info;
        state.slots[0] = {Py_mod_create, reinterpret_cast<void*>(create)};
        state.slots[1] = {Py_mod_exec, reinterpret_cast<void*>(exec)};
        state.definition = {PyModuleDef_HEAD_INIT, info.name, nullptr, 0, nullptr, state.slots,
                            nullptr, nullptr, nullptr};
    }
    return PyModuleDef_Init(&state.definition);
}

void module_builder::import(const char* module, location where) {
    object name = check(PyUnicode_FromString(module), where);
    object top = check(PyImport_ImportModuleLevelObject(name.ptr(), state.globals, nullptr, nullptr, 0), where);
    std::string_view dotted(module);
    std::string bound(dotted.substr(0, dotted.find('.')));
    check_status(PyDict_SetItemString(state.globals, bound.c_str(), top.ptr()), where);
}

void module_builder::from(const char* module, std::initializer_list<imported_name> names, location where) {
    int line = int(where.line());
    object module_name = check(PyUnicode_FromString(module), where);
    object name_tuple = check(PyTuple_New(Py_ssize_t(names.size())), where);
    Py_ssize_t i = 0;
    for (const imported_name& n : names)
        PyTuple_SET_ITEM(name_tuple.ptr(), i++, check(PyUnicode_InternFromString(n.name), where).release());
    object source = from_module(module_name, name_tuple, line);
    i = 0;
    for (const imported_name& n : names) {
        handle name = PyTuple_GET_ITEM(name_tuple.ptr(), i++);
        object value = imported_attribute(source, module_name, name, line);
        if (PyDict_SetItemString(state.globals, n.as ? n.as : n.name, value.ptr()) < 0) throw error_already_set(line);
    }
}

void module_builder::set(const char* name, object (*compute)(), location where) {
    object value;
    try {
        value = compute();
    } catch (error_already_set& error) {
        throw error_already_set(error.exception(), int(where.line()));
    }
    check_status(PyDict_SetItemString(state.globals, name, value.ptr()), where);
}

void module_builder::def(const function_spec& spec, location where) {
    object function;
    try {
        function = make_function(spec);
    } catch (error_already_set& error) {
        throw error_already_set(error.exception(), int(where.line()));
    }
    check_status(PyDict_SetItemString(state.globals, spec.name.text, function.ptr()), where);
}

handle module_globals() noexcept { return state.globals; }
handle module_name() noexcept { return state.name; }
const char* source_path() noexcept { return state.info->source; }
handle module_builtins() noexcept { return state.builtins; }

object import_from(const identifier& module, const identifier& name, location where) {
    int line = int(where.line());
    object names = check(PyTuple_Pack(1, name.ptr()), where);
    return imported_attribute(from_module(module, names, line), module, name, line);
}

PyObject* traceback_frame(PyObject* code) noexcept {
    return reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), state.globals, nullptr));
}

void add_traceback_entry(handle exception, PyObject* frame, int line) noexcept {
    error_scope keep;
    PyObject* next = PyException_GetTraceback(exception.ptr());
    PyObject* lasti = PyLong_FromLong(-1);
    PyObject* lineno = lasti ? PyLong_FromLong(line) : nullptr;
    if (lineno) {
        // An entry whose instruction offset is unknown (-1) shows the line it is given.
        PyObject* args[] = {next ? next : Py_None, frame, lasti, lineno};
        PyObject* entry = PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyTraceBack_Type), args, 4, nullptr);
        if (entry) {
            PyException_SetTraceback(exception.ptr(), entry);
            Py_DECREF(entry);
        }
    }
    Py_XDECREF(lineno);
    Py_XDECREF(lasti);
    Py_XDECREF(next);
}

}  // namespace vornal::frame
