// Body operations shared by every module: name lookup, attribute access, result checks,
// raising, iteration, and the error carried through C++ code.
#include "calls.hpp"

namespace vornal::frame {

error_already_set::error_already_set(int line) : line_(line) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error reported without an exception set");
    exception_ = object::steal(PyErr_GetRaisedException());
}

void throw_error(location where) { throw error_already_set(int(where.line())); }

bool constant::build_all() noexcept {
    for (constant* c = first_; c; c = c->next_)
        if (!c->value_ && !(c->value_ = c->make())) return false;
    return true;
}

PyObject* keyword_names::make() const noexcept {
    PyObject* tuple = PyTuple_New(Py_ssize_t(count_));
    for (std::size_t i = 0; tuple && i < count_; ++i) {
        PyObject* name = PyUnicode_InternFromString(names_[i]);
        if (!name) Py_CLEAR(tuple);
        else PyTuple_SET_ITEM(tuple, Py_ssize_t(i), name);
    }
    return tuple;
}

object global(const identifier& name, location where) {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(module_globals().ptr(), name.ptr(), &value) < 0) throw_error(where);
    if (value) return object::steal(value);
    if (PyDict_GetItemRef(module_builtins().ptr(), name.ptr(), &value) < 0) throw_error(where);
    if (value) return object::steal(value);
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    throw_error(where);
}

object attr(handle target, const identifier& name, location where) {
    return check(PyObject_GetAttr(target.ptr(), name.ptr()), where);
}

bool is_true(handle value, location where) {
    int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) throw_error(where);
    return truth;
}

bool equals(handle a, handle b, location where) {
    return is_true(check(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ), where), where);
}

bool is_instance(handle value, handle cls, location where) {
    int result = PyObject_IsInstance(value.ptr(), cls.ptr());
    check_status(result, where);
    return result;
}

object attr_or(handle target, const identifier& name, handle fallback, location where) {
    PyObject* value = nullptr;
    check_status(PyObject_GetOptionalAttr(target.ptr(), name.ptr(), &value), where);
    return value ? object::steal(value) : object::borrow(fallback);
}

object item(handle container, handle key, location where) {
    return check(PyObject_GetItem(container.ptr(), key.ptr()), where);
}

object divide(handle a, handle b, location where) { return check(PyNumber_TrueDivide(a.ptr(), b.ptr()), where); }
object add(handle a, handle b, location where) { return check(PyNumber_Add(a.ptr(), b.ptr()), where); }
object number(long long value, location where) { return check(PyLong_FromLongLong(value), where); }
object list_of(handle iterable, location where) { return check(PySequence_List(iterable.ptr()), where); }

namespace {

[[noreturn, gnu::cold]] void unpack_error(Py_ssize_t expected, Py_ssize_t got, location where) {
    if (got > expected)
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    else
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
    throw_error(where);
}

}  // namespace

void unpack_into(handle value, object* out, Py_ssize_t count, location where) {
    PyObject* v = value.ptr();
    if (PyTuple_CheckExact(v) || PyList_CheckExact(v)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(v);
        if (size != count) unpack_error(count, size, where);
        for (Py_ssize_t i = 0; i < count; ++i) out[i] = object::borrow(PySequence_Fast_GET_ITEM(v, i));
        return;
    }
    if (!Py_TYPE(v)->tp_iter && !PySequence_Check(v)) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(v)->tp_name);
        throw_error(where);
    }
    object iterator = check(PyObject_GetIter(v), where);
    for (Py_ssize_t i = 0; i < count; ++i) {
        out[i] = object::steal(PyIter_Next(iterator.ptr()));
        if (out[i]) continue;
        if (PyErr_Occurred()) throw_error(where);
        unpack_error(count, i, where);
    }
    object extra = object::steal(PyIter_Next(iterator.ptr()));
    if (extra) unpack_error(count, count + 1, where);
    if (PyErr_Occurred()) throw_error(where);
}

namespace {

[[noreturn, gnu::cold]] void unexpected_type(const char* format, const char* expected, handle value, location where) {
    PyErr_Format(PyExc_TypeError, format, expected, value.type()->tp_name);
    throw_error(where);
}

object expect_exact(object value, PyTypeObject* type, location where) {
    if (value.type() == type || value.is_none()) return value;
    unexpected_type("Expected %.42s, got %.200s", type->tp_name, value, where);
}

}  // namespace

object expect_list(object value, location where) { return expect_exact(std::move(value), &PyList_Type, where); }
object expect_str(object value, location where) { return expect_exact(std::move(value), &PyUnicode_Type, where); }
object expect_dict(object value, location where) { return expect_exact(std::move(value), &PyDict_Type, where); }

object expect_int(object value, location where) {
    if (PyLong_CheckExact(value.ptr()) || value.is_none()) return value;
    if (!has_int_conversion(value.ptr())) unexpected_type("Expected %.5s, got %.200s", "int", value, where);
    object converted = check(to_int(value.ptr()), where);
    if (!PyLong_CheckExact(converted.ptr())) unexpected_type("Expected %.5s, got %.200s", "int", converted, where);
    return converted;
}

object assigned(object local, const char* name, location where) {
    if (local) return local;
    PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", name);
    throw_error(where);
}

bool exception_matches(handle exception, handle cls, location where) {
    bool valid = PyExceptionClass_Check(cls.ptr());
    if (PyTuple_Check(cls.ptr())) {
        valid = true;
        for (Py_ssize_t i = 0; valid && i < PyTuple_GET_SIZE(cls.ptr()); ++i)
            valid = PyExceptionClass_Check(PyTuple_GET_ITEM(cls.ptr(), i));
    }
    if (!valid) {
        PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
        throw_error(where);
    }
    return PyErr_GivenExceptionMatches(exception.ptr(), cls.ptr());
}

void raise(handle value, location where) {
    if (PyExceptionClass_Check(value.ptr())) {
        PyErr_SetNone(value.ptr());
    } else if (PyExceptionInstance_Check(value.ptr())) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(value.type()), value.ptr());
    } else {
        PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
    }
    throw_error(where);
}

void raise_from(handle value, handle cause, location where) {
    if (PyExceptionInstance_Check(value.ptr())) PyException_SetCause(value.ptr(), Py_NewRef(cause.ptr()));
    raise(value, where);
}

items::items(handle iterable, location where) : where_(where) {
    if (PyList_CheckExact(iterable.ptr()) || PyTuple_CheckExact(iterable.ptr())) sequence_ = object::borrow(iterable);
    else iterator_ = check(PyObject_GetIter(iterable.ptr()), where);
}

items::iterator& items::iterator::operator++() {
    items& source = *owner_;
    if (source.sequence_) {
        PyObject* s = source.sequence_.ptr();
        bool is_list = PyList_CheckExact(s);
        Py_ssize_t size = is_list ? PyList_GET_SIZE(s) : PyTuple_GET_SIZE(s);
        if (source.index_ < size) {
            current_ = object::borrow(is_list ? PyList_GET_ITEM(s, source.index_) : PyTuple_GET_ITEM(s, source.index_));
            ++source.index_;
            return *this;
        }
    } else {
        // Dropped first, as the interpreter drops it: an iterator may then hand out the same
        // object again (a dict's items iterator reuses its pair).
        current_.reset();
        current_ = object::steal(PyIter_Next(source.iterator_.ptr()));
        if (current_) return *this;
        if (PyErr_Occurred()) throw_error(source.where_);
    }
    owner_ = nullptr;
    current_.reset();
    return *this;
}

}  // namespace vornal::frame

namespace vornal::frame {

void append_piece(PyUnicodeWriter* writer, const char* literal, location where) {
    check_status(PyUnicodeWriter_WriteUTF8(writer, literal, -1), where);
}

void append_piece(PyUnicodeWriter* writer, handle value, location where) {
    if (PyUnicode_CheckExact(value.ptr())) {
        check_status(PyUnicodeWriter_WriteStr(writer, value.ptr()), where);
        return;
    }
    object text = check(PyObject_Format(value.ptr(), nullptr), where);
    check_status(PyUnicodeWriter_WriteStr(writer, text.ptr()), where);
}

namespace {

/// The entry `name` of the first class along the type's method resolution order that has it, as
/// it stands in that class's namespace (no descriptor applied yet); found through the type's
/// method cache, as the interpreter finds special methods.
object type_entry(PyTypeObject* type, const identifier& name) {
    return object::steal(_PyType_LookupRef(type, name.ptr()));
}

/// The TypeError of `with` (or `async with`) for a missing special method; when the object has
/// both methods of the other statement, it says so, as the interpreter does.
[[noreturn, gnu::cold]] void missing_special_method(handle target, const identifier& name, bool asynchronous,
                                                    location where) {
    const char* protocol = asynchronous ? "asynchronous context manager" : "context manager";
    const identifier& other_enter = asynchronous ? "__enter__"_id : "__aenter__"_id;
    const identifier& other_exit = asynchronous ? "__exit__"_id : "__aexit__"_id;
    if (type_entry(target.type(), other_enter) && type_entry(target.type(), other_exit))
        PyErr_Format(PyExc_TypeError,
                     "'%T' object does not support the %s protocol (missed %U method) but it supports the %s "
                     "protocol. Did you mean to use '%s'?",
                     target.ptr(), protocol, name.ptr(),
                     asynchronous ? "context manager" : "asynchronous context manager",
                     asynchronous ? "with" : "async with");
    else
        PyErr_Format(PyExc_TypeError, "'%T' object does not support the %s protocol (missed %U method)",
                     target.ptr(), protocol, name.ptr());
    throw_error(where);
}

}  // namespace

special_method::special_method(handle target, const identifier& name, bool asynchronous, location where)
    : callable(type_entry(target.type(), name)), unbound(false) {
    if (!callable) missing_special_method(target, name, asynchronous, where);
    if (PyType_HasFeature(callable.type(), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        unbound = true;
        return;
    }
    descrgetfunc bind = callable.type()->tp_descr_get;
    if (bind) callable = check(bind(callable.ptr(), target.ptr(), reinterpret_cast<PyObject*>(target.type())), where);
}

object awaitable_from(object value, const char* method, location where) {
    if (is_awaitable(value)) return value;
    PyErr_Format(PyExc_TypeError, "'async with' received an object from %s that does not implement __await__: %.100s",
                 method, value.type()->tp_name);
    throw_error(where);
}

object exit_call(handle exit, bool unbound, handle manager, handle exception, location where) {
    object traceback = object::steal(PyException_GetTraceback(exception.ptr()));
    return call_special(exit, unbound, manager, where, handle(reinterpret_cast<PyObject*>(exception.type())),
                        exception, traceback ? handle(traceback) : handle(Py_None));
}

}  // namespace vornal::frame
