// One engine advances a body and reports "yielded", "returned" or "raised"; send, __next__,
// am_send, throw and close of coroutines, generators and await-iterators are doors onto it.
#include "coroutine.hpp"

#include "module.hpp"

#include <frameobject.h>

#include <array>
#include <new>

namespace vornal::frame {
namespace {

PyTypeObject* coroutine_type;
PyTypeObject* generator_type;
PyTypeObject* await_iterator_type;

using state = coroutine_object::run_state;

/// Objects of one shape that were dropped, kept for reuse: a coroutine object is made and dropped
/// on every call, an await iterator on every await from Python code. One whose finaliser has run
/// is not kept, as the flag that says so stays with the memory.
template <class T>
class spare_objects {
public:
    /// A kept object made new (reference count 1, untracked; its size, if any, is that of the
    /// shape), or null when none is kept.
    T* take(PyTypeObject* type) noexcept {
        if (!count_) return nullptr;
        T* o = items_[--count_];
        PyObject_Init(reinterpret_cast<PyObject*>(o), type);
        return o;
    }
    /// Keeps an untracked object whose references are cleared; false when it must be freed.
    bool keep(T* o) noexcept {
        if (count_ == std::size(items_) || PyObject_GC_IsFinalized(reinterpret_cast<PyObject*>(o))) return false;
        items_[count_++] = o;
        return true;
    }

private:
    T* items_[4] = {};
    unsigned count_ = 0;
};

spare_objects<coroutine_object> spare_coroutines[2][max_parameters + 1];  // [generator][arguments]

const char* kind_name(const coroutine_object* c) noexcept { return c->generator ? "generator" : "coroutine"; }

/// Drops the arguments and whatever the body still holds; the object stays as a finished shell.
void finish(coroutine_object* c) noexcept {
    c->state = state::finished;
    Py_CLEAR(c->delegate);
    Py_CLEAR(c->transfer);
    Py_CLEAR(c->thrown);
    if (c->body) {
        error_scope saved;
        std::exchange(c->body, {}).destroy();
        c->current = {};
    }
    Py_CLEAR(c->handled);
    for (Py_ssize_t i = 0; i < Py_SIZE(c); ++i) Py_CLEAR(c->args[i]);
}

// The coroutine whose body is executing on this thread, for traceback entries of caught errors;
// when none is, the plain function whose body is.
thread_local coroutine_object* running_body;
thread_local function_object* running_plain;

/// Raises `exception` as leaving the body that ran, at `line` (0: the definition line); a
/// StopIteration leaving it becomes RuntimeError.
PySendResult raise_from_body(coroutine_object* c, PyObject* exception, int line, bool traced) noexcept {
    PyErr_SetRaisedException(exception);
    if (!traced) add_traceback(c->function, line, false);
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject* stop = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
        PyObject* replacement = PyErr_GetRaisedException();
        PyException_SetCause(replacement, Py_NewRef(stop));
        PyException_SetContext(replacement, stop);
        PyErr_SetRaisedException(replacement);
    }
    return PYGEN_ERROR;
}

/// Runs the body from where it waits until it waits again or ends.
PySendResult run_body(coroutine_object* c, PyObject** result) noexcept {
    c->state = state::running;
    coroutine_object* outer = std::exchange(running_body, c);
    c->current.resume();
    running_body = outer;
    if (!c->body.done()) {
        c->state = state::suspended;
        *result = std::exchange(c->transfer, nullptr);
        return PYGEN_NEXT;
    }
    auto& promise = c->body.promise();
    if (promise.error) {
        error_already_set error = std::move(*promise.error);
        finish(c);
        *result = nullptr;
        PyObject* exception = Py_NewRef(error.exception().ptr());
        return raise_from_body(c, exception, error.line(), error.traced());
    }
    PyObject* value = promise.result ? promise.result.release() : Py_NewRef(Py_None);
    finish(c);
    *result = value;
    return PYGEN_RETURN;
}

PySendResult start_body(coroutine_object* c, PyObject** result) noexcept {
    try {
        auto spec = c->function->spec;
        c->body = (c->generator ? spec->generator : spec->coroutine)(arguments(c->args)).release();
    } catch (const std::bad_alloc&) {
        finish(c);
        PyErr_NoMemory();
        return PYGEN_ERROR;
    }
    c->body.promise().owner = c;
    c->current = c->body;
    return run_body(c, result);
}

PySendResult already_executing(const coroutine_object* c) noexcept {
    PyErr_Format(PyExc_ValueError, "%s already executing", kind_name(c));
    return PYGEN_ERROR;
}

PySendResult cannot_reuse() noexcept {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return PYGEN_ERROR;
}

/// Resumes with `value` sent in.
PySendResult send_step(coroutine_object* c, PyObject* value, PyObject** result) noexcept {
    *result = nullptr;
    switch (c->state) {
    case state::running:
        return already_executing(c);
    case state::finished:
        if (!c->generator) return cannot_reuse();
        *result = Py_NewRef(Py_None);
        return PYGEN_RETURN;
    case state::created:
        if (value != Py_None) {
            finish(c);
            PyErr_Format(PyExc_TypeError, "can't send non-None value to a just-started %s", kind_name(c));
            return PYGEN_ERROR;
        }
        return start_body(c, result);
    case state::suspended:
        break;
    }
    if (c->delegate) {
        PyObject* step;
        c->state = state::running;
        PySendResult outcome;
        {
            handled_scope handling(c->handled);
            outcome = PyIter_Send(c->delegate, value, &step);
        }
        c->state = state::suspended;
        if (outcome == PYGEN_NEXT) {
            *result = step;
            return PYGEN_NEXT;
        }
        Py_CLEAR(c->delegate);
        if (outcome == PYGEN_RETURN) c->transfer = step;
        else c->thrown = PyErr_GetRaisedException();
    } else {
        c->transfer = Py_NewRef(value);
    }
    return run_body(c, result);
}

/// Closes the object being waited on, when it can be closed; -1 with an error set on failure.
int close_delegate(coroutine_object* c) noexcept {
    // Looking `close` up can run code too: the coroutine counts as running until it is done.
    c->state = state::running;
    PyObject* close = nullptr;
    int status = PyObject_GetOptionalAttr(c->delegate, "close"_id.ptr(), &close);
    if (status > 0) {
        handled_scope handling(c->handled);
        PyObject* closed = PyObject_CallNoArgs(close);
        status = closed ? 0 : -1;
        Py_XDECREF(closed);
        Py_DECREF(close);
    }
    c->state = state::suspended;
    Py_CLEAR(c->delegate);
    return status < 0 ? -1 : 0;
}

/// Builds the exception of throw(typ[, val[, tb]]), as the interpreter's own throw does.
PyObject* exception_to_throw(PyObject* const* args, Py_ssize_t nargs) noexcept {
    PyObject* type = args[0];
    PyObject* value = nargs > 1 && args[1] != Py_None ? args[1] : nullptr;
    PyObject* traceback = nargs > 2 && args[2] != Py_None ? args[2] : nullptr;
    if (traceback && !PyTraceBack_Check(traceback)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject* exception;
    if (PyExceptionClass_Check(type)) {
        if (value && PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type))) {
            exception = Py_NewRef(value);
        } else if (!value) {
            exception = PyObject_CallNoArgs(type);
        } else if (PyTuple_Check(value)) {
            exception = PyObject_Call(type, value, nullptr);
        } else {
            exception = PyObject_CallOneArg(type, value);
        }
        if (!exception) return nullptr;
        if (!PyExceptionInstance_Check(exception)) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s",
                         type, Py_TYPE(exception)->tp_name);
            Py_DECREF(exception);
            return nullptr;
        }
    } else if (PyExceptionInstance_Check(type)) {
        if (value) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exception = Py_NewRef(type);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    if (traceback && PyException_SetTraceback(exception, traceback) < 0) {
        Py_DECREF(exception);
        return nullptr;
    }
    return exception;
}

/// Raises what throw(typ[, val[, tb]]) describes where the body waits. An awaited object with a
/// throw method of its own is given the arguments as they came.
PySendResult throw_step(coroutine_object* c, PyObject* const* args, Py_ssize_t nargs, PyObject** result) noexcept {
    *result = nullptr;
    if (c->state == state::suspended && c->delegate && !PyErr_GivenExceptionMatches(args[0], PyExc_GeneratorExit)) {
        PyObject* thrower = nullptr;
        c->state = state::running;
        int found = PyObject_GetOptionalAttr(c->delegate, "throw"_id.ptr(), &thrower);
        c->state = state::suspended;
        if (found != 0) {
            PyObject* step = nullptr;
            if (thrower) {
                c->state = state::running;
                {
                    handled_scope handling(c->handled);
                    step = PyObject_Vectorcall(thrower, args, size_t(nargs), nullptr);
                }
                c->state = state::suspended;
                Py_DECREF(thrower);
            }
            if (step) {
                *result = step;
                return PYGEN_NEXT;
            }
            // The error of the lookup or of the awaited object's throw goes into the body.
            Py_CLEAR(c->delegate);
            c->thrown = PyErr_GetRaisedException();
            return run_body(c, result);
        }
    }
    PyObject* exception = exception_to_throw(args, nargs);
    if (!exception) return PYGEN_ERROR;
    switch (c->state) {
    case state::running:
        Py_DECREF(exception);
        return already_executing(c);
    case state::finished:
        if (!c->generator) {
            Py_DECREF(exception);
            return cannot_reuse();
        }
        PyErr_SetRaisedException(exception);
        return PYGEN_ERROR;
    case state::created:
        // The body never ran, so the error leaves as it came: a StopIteration stays one.
        finish(c);
        PyErr_SetRaisedException(exception);
        add_traceback(c->function, 0, false);
        return PYGEN_ERROR;
    case state::suspended:
        break;
    }
    // Closing comes first for GeneratorExit; any other error skips an awaited object without throw.
    if (c->delegate && PyErr_GivenExceptionMatches(exception, PyExc_GeneratorExit) && close_delegate(c) < 0) {
        Py_DECREF(exception);
        exception = PyErr_GetRaisedException();
    }
    Py_CLEAR(c->delegate);
    c->thrown = exception;
    return run_body(c, result);
}

/// Ends a passage through the body, or through the object it waits on, for monitoring tools.
PySendResult monitored_outcome(coroutine_object* c, PySendResult outcome, PyObject** result) noexcept {
    function_object* f = c->function;
    if (f->monitoring.leave(f->code, outcome, *result) == 0) return outcome;
    if (outcome != PYGEN_ERROR) Py_CLEAR(*result);
    return PYGEN_ERROR;
}

/// The core of send, __next__ and am_send: a passage that runs reports itself to monitoring tools
/// as a start or a resumption.
PySendResult send_core(coroutine_object* c, PyObject* value, PyObject** result) noexcept {
    bool starts = c->state == state::created && value == Py_None;
    if (!starts && c->state != state::suspended) return send_step(c, value, result);
    function_object* f = c->function;
    if (f->monitoring.enter(f->code, starts ? entry::start : entry::resume) < 0) {
        *result = nullptr;
        return PYGEN_ERROR;
    }
    return monitored_outcome(c, send_step(c, value, result), result);
}

/// The core of throw: a passage that runs reports itself to monitoring tools as a throw. (Closing
/// reports nothing, as the interpreter's closing of a waiting frame often does not either.)
PySendResult throw_core(coroutine_object* c, PyObject* const* args, Py_ssize_t nargs, PyObject** result) noexcept {
    if (c->state != state::created && c->state != state::suspended) return throw_step(c, args, nargs, result);
    function_object* f = c->function;
    if (f->monitoring.enter_thrown(f->code, [=] { return exception_to_throw(args, nargs); }) < 0) {
        *result = nullptr;
        return PYGEN_ERROR;
    }
    return monitored_outcome(c, throw_step(c, args, nargs, result), result);
}

PyObject* close_core(coroutine_object* c) noexcept {
    switch (c->state) {
    case state::created:
    case state::finished:
        finish(c);
        Py_RETURN_NONE;
    case state::running:
        already_executing(c);
        return nullptr;
    case state::suspended:
        break;
    }
    PyObject* exception = nullptr;
    if (c->delegate && close_delegate(c) < 0) exception = PyErr_GetRaisedException();
    if (!exception) exception = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!exception) return nullptr;
    c->thrown = exception;
    PyObject* result;
    switch (run_body(c, &result)) {
    case PYGEN_NEXT:
        Py_DECREF(result);
        PyErr_Format(PyExc_RuntimeError, "%s ignored GeneratorExit", kind_name(c));
        return nullptr;
    case PYGEN_RETURN:
        Py_DECREF(result);
        Py_RETURN_NONE;
    case PYGEN_ERROR:
        break;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

/// Sets StopIteration carrying `value` (stolen), as a returning send reports it.
PyObject* stop_iteration(PyObject* value) noexcept {
    if (value == Py_None) {
        Py_DECREF(value);
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value);
    Py_DECREF(value);
    if (stop) PyErr_SetRaisedException(stop);
    return nullptr;
}

PyObject* report(PySendResult outcome, PyObject* result) noexcept {
    switch (outcome) {
    case PYGEN_NEXT:
        return result;
    case PYGEN_RETURN:
        return stop_iteration(result);
    case PYGEN_ERROR:
        break;
    }
    return nullptr;
}

// ---- the doors ----

coroutine_object* as_coroutine(PyObject* self) noexcept { return reinterpret_cast<coroutine_object*>(self); }

PySendResult am_send(PyObject* self, PyObject* value, PyObject** result) noexcept {
    return send_core(as_coroutine(self), value, result);
}

PyObject* iternext(PyObject* self) noexcept {
    PyObject* result;
    PySendResult outcome = send_core(as_coroutine(self), Py_None, &result);
    if (outcome == PYGEN_RETURN) {
        // Ending an iteration needs no StopIteration unless there is a value to carry.
        if (result == Py_None) {
            Py_DECREF(result);
            return nullptr;
        }
        return stop_iteration(result);
    }
    return outcome == PYGEN_NEXT ? result : nullptr;
}

PyObject* method_send(PyObject* self, PyObject* value) noexcept {
    PyObject* result;
    PySendResult outcome = send_core(as_coroutine(self), value, &result);
    return report(outcome, result);
}

PyObject* method_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs < 1 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "throw takes between 1 and 3 positional arguments");
        return nullptr;
    }
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        return nullptr;
    PyObject* result;
    PySendResult outcome = throw_core(as_coroutine(self), args, nargs, &result);
    return report(outcome, result);
}

PyObject* method_close(PyObject* self, PyObject*) noexcept { return close_core(as_coroutine(self)); }

// ---- the await iterator: __await__ returns one, and it forwards everything to its coroutine ----

struct await_iterator {
    PyObject_HEAD
    PyObject* coroutine;
};

PyObject* target(PyObject* self) noexcept { return reinterpret_cast<await_iterator*>(self)->coroutine; }

PySendResult await_am_send(PyObject* self, PyObject* value, PyObject** result) noexcept {
    return am_send(target(self), value, result);
}
PyObject* await_iternext(PyObject* self) noexcept {
    PyObject* result;
    PySendResult outcome = send_core(as_coroutine(target(self)), Py_None, &result);
    return report(outcome, result);
}
PyObject* await_send(PyObject* self, PyObject* value) noexcept { return method_send(target(self), value); }
PyObject* await_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return method_throw(target(self), args, nargs);
}
PyObject* await_close(PyObject* self, PyObject*) noexcept { return method_close(target(self), nullptr); }

int await_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(target(self));
    return 0;
}
int await_clear(PyObject* self) noexcept {
    Py_CLEAR(reinterpret_cast<await_iterator*>(self)->coroutine);
    return 0;
}
spare_objects<await_iterator> spare_await_iterators;

void await_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    await_clear(self);
    if (!spare_await_iterators.keep(reinterpret_cast<await_iterator*>(self))) type->tp_free(self);
    Py_DECREF(type);
}

PyObject* coroutine_await(PyObject* self) noexcept {
    auto* iterator = spare_await_iterators.take(await_iterator_type);
    if (!iterator) iterator = PyObject_GC_New(await_iterator, await_iterator_type);
    if (!iterator) return nullptr;
    iterator->coroutine = Py_NewRef(self);
    PyObject_GC_Track(iterator);
    return reinterpret_cast<PyObject*>(iterator);
}

// ---- object lifecycle ----

void finalize(PyObject* self) noexcept {
    auto* c = as_coroutine(self);
    if (c->state == state::finished) return;
    PyObject* saved = PyErr_GetRaisedException();
    if (c->state == state::created) {
        if (!c->generator &&
            PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited", c->function->qualname) < 0)
            PyErr_WriteUnraisable(self);
        finish(c);
    } else {
        PyObject* closed = close_core(c);
        if (closed) Py_DECREF(closed);
        else PyErr_WriteUnraisable(self);
        finish(c);
    }
    PyErr_SetRaisedException(saved);
}

int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* c = as_coroutine(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->function);
    Py_VISIT(c->delegate);
    Py_VISIT(c->transfer);
    Py_VISIT(c->thrown);
    Py_VISIT(c->frame);
    Py_VISIT(c->handled);
    for (unsigned i = 0; i < c->kept_count; ++i) Py_VISIT(c->kept[i]);
    for (Py_ssize_t i = 0; i < Py_SIZE(c); ++i) Py_VISIT(c->args[i]);
    return 0;
}

void dealloc(PyObject* self) noexcept {
    auto* c = as_coroutine(self);
    PyTypeObject* type = Py_TYPE(self);
    // A finished coroutine has nothing left to close or to warn about: no finaliser to run.
    if (c->state != state::finished && PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    if (c->weakrefs) PyObject_ClearWeakRefs(self);
    finish(c);
    Py_CLEAR(c->frame);
    Py_CLEAR(c->function);
    if (!spare_coroutines[c->generator][Py_SIZE(c)].keep(c)) type->tp_free(self);
    Py_DECREF(type);
}

PyObject* repr(PyObject* self) noexcept {
    auto* c = as_coroutine(self);
    return PyUnicode_FromFormat("<%s object %U at %p>", kind_name(c), c->function->qualname, self);
}

// ---- attributes ----

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_coroutine(self)->function->name); }
PyObject* get_qualname(PyObject* self, void*) noexcept { return Py_NewRef(as_coroutine(self)->function->qualname); }
PyObject* get_code(PyObject* self, void*) noexcept { return Py_NewRef(as_coroutine(self)->function->code); }
PyObject* get_running(PyObject* self, void*) noexcept {
    return PyBool_FromLong(as_coroutine(self)->state == state::running);
}
PyObject* get_suspended(PyObject* self, void*) noexcept {
    return PyBool_FromLong(as_coroutine(self)->state == state::suspended);
}
PyObject* get_delegate(PyObject* self, void*) noexcept {
    // Only a suspended coroutine is waiting on something; a running one is busy with it.
    auto* c = as_coroutine(self);
    return Py_NewRef(c->delegate && c->state == state::suspended ? c->delegate : Py_None);
}
PyObject* get_frame(PyObject* self, void*) noexcept {
    auto* c = as_coroutine(self);
    if (c->state == state::finished) Py_RETURN_NONE;
    if (!c->frame) {
        auto* code = reinterpret_cast<PyCodeObject*>(c->function->code);
        c->frame = reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(), code, c->function->globals, nullptr));
        if (!c->frame) return nullptr;
    }
    return Py_NewRef(c->frame);
}
PyObject* get_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyMethodDef methods[] = {
    {"send", method_send, METH_O, "send(arg) -> send 'arg' into the body,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_throw)), METH_FASTCALL,
     "throw(value)\n\nRaise exception in the body, return next yielded value or raise StopIteration."},
    {"close", method_close, METH_NOARGS, "close() -> raise GeneratorExit inside the body."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_delegate, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef generator_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"gi_code", get_code, nullptr, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", get_delegate, nullptr, nullptr, nullptr},
    {"gi_frame", get_frame, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(coroutine_object, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef await_methods[] = {
    {"send", await_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(await_throw)), METH_FASTCALL, nullptr},
    {"close", await_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

constexpr unsigned long object_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyType_Slot coroutine_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_finalize, reinterpret_cast<void*>(finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, coroutine_getset},
    {Py_tp_members, members},
    {Py_am_await, reinterpret_cast<void*>(coroutine_await)},
    {Py_am_send, reinterpret_cast<void*>(am_send)},
    {0, nullptr},
};

PyType_Slot generator_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_finalize, reinterpret_cast<void*>(finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iternext)},
    {Py_tp_methods, methods},
    {Py_tp_getset, generator_getset},
    {Py_tp_members, members},
    {Py_am_send, reinterpret_cast<void*>(am_send)},
    {0, nullptr},
};

PyType_Slot await_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(await_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(await_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(await_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(await_iternext)},
    {Py_tp_methods, await_methods},
    {Py_am_send, reinterpret_cast<void*>(await_am_send)},
    {0, nullptr},
};

PyTypeObject* make_type(const char* name, int basic_size, int item_size, PyType_Slot* slots) noexcept {
    PyType_Spec spec{name, basic_size, item_size, static_cast<unsigned int>(object_flags), slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

// ---- awaiting from a body ----

/// The iterator that `await obj` drives, checked as the interpreter checks it.
/// A coroutine object of ours or the interpreter's, or a generator made a coroutine by
/// `types.coroutine`: awaited as it is, without __await__.
bool is_coroutine(handle o) noexcept {
    if (o.type() == coroutine_type || PyCoro_CheckExact(o.ptr())) return true;
    if (!PyGen_CheckExact(o.ptr())) return false;
    PyCodeObject* code = PyGen_GetCode(reinterpret_cast<PyGenObject*>(o.ptr()));
    bool iterable_coroutine = code->co_flags & CO_ITERABLE_COROUTINE;
    Py_DECREF(code);
    return iterable_coroutine;
}

object awaitable_iterator(object awaitable, int line) {
    if (is_coroutine(awaitable)) return awaitable;
    PyAsyncMethods* async = awaitable.type()->tp_as_async;
    if (!async || !async->am_await) {
        PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", awaitable.type()->tp_name);
        throw error_already_set(line);
    }
    object iterator = object::steal(async->am_await(awaitable.ptr()));
    if (!iterator) throw error_already_set(line);
    if (is_coroutine(iterator)) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        throw error_already_set(line);
    }
    if (!PyIter_Check(iterator.ptr())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", iterator.type()->tp_name);
        throw error_already_set(line);
    }
    return iterator;
}

// Coroutine frames are allocated and freed on every call: keep a few of each size class.
constexpr std::size_t frame_granule = 64;
constexpr std::size_t cached_size_classes = 32;
constexpr std::size_t cached_per_class = 8;
struct frame_cache {
    std::array<std::array<void*, cached_per_class>, cached_size_classes> blocks{};
    std::array<std::size_t, cached_size_classes> counts{};
    ~frame_cache() {
        for (std::size_t c = 0; c < cached_size_classes; ++c)
            for (std::size_t i = 0; i < counts[c]; ++i) ::operator delete(blocks[c][i]);
    }
} cache;

}  // namespace

// ---- the task's promise, whose awaiters talk to the coroutine object ----

bool is_awaitable(handle value) noexcept {
    PyAsyncMethods* async = value.type()->tp_as_async;
    return is_coroutine(value) || (async && async->am_await);
}

handling_error::handling_error(handle exception) noexcept
    : owner_(running_body), outer_(std::exchange(running_body->handled, Py_NewRef(exception.ptr()))) {}

handling_error::~handling_error() {
    error_scope saved;
    Py_XSETREF(owner_->handled, outer_);
}

kept_objects::kept_objects() noexcept : owner_(running_body), mark_(running_body->kept_count) {}

kept_objects::~kept_objects() {
    error_scope saved;
    while (owner_->kept_count > mark_) Py_DECREF(owner_->kept[--owner_->kept_count]);
}

handle kept_objects::keep(object value) {
    if (owner_->kept_count == std::size(owner_->kept)) {
        PyErr_SetString(PyExc_SystemError, "blocks nested too deeply in a module body");
        throw_error();
    }
    PyObject* kept = value.release();
    owner_->kept[owner_->kept_count++] = kept;
    return kept;
}

kept_error::kept_error(kept_objects& held, error_already_set&& error)
    : exception_(held.keep(error.release_exception())), line_(error.line()), traced_(error.traced()) {}

void kept_error::raise() const {
    error_already_set error(object::borrow(exception_), line_);
    if (traced_) error.mark_traced();
    throw error;
}

namespace {

int entry_line(const function_object* function, const error_already_set& error) noexcept {
    return error.line() > 0 ? error.line() : int(function->spec->name.where.line());
}

/// Adds the running body's entry to `error`, once: a caught error and any error of a plain body
/// under the module-qualified name, an error leaving a coroutine or generator under the bare one.
void trace_running_body(error_already_set& error, bool caught) noexcept {
    if (error.traced()) return;
    function_object* function = running_body ? running_body->function : running_plain;
    if (!function) return;
    add_traceback_entry(error.exception(), running_body && !caught ? function->frame : function->dotted_frame,
                        entry_line(function, error));
    error.mark_traced();
}

}  // namespace

void trace_in_running_body(error_already_set& error) noexcept { trace_running_body(error, false); }

void trace_caught_in_running_body(error_already_set& error) noexcept { trace_running_body(error, true); }

plain_body_scope::plain_body_scope(function_object* function) noexcept
    : outer_body_(std::exchange(running_body, nullptr)), outer_plain_(std::exchange(running_plain, function)) {}

plain_body_scope::~plain_body_scope() {
    running_body = outer_body_;
    running_plain = outer_plain_;
}

void* task::promise_type::operator new(std::size_t size) {
    std::size_t size_class = (size + frame_granule - 1) / frame_granule;
    if (size_class < cached_size_classes && cache.counts[size_class])
        return cache.blocks[size_class][--cache.counts[size_class]];
    return ::operator new(size_class * frame_granule);
}

void task::promise_type::operator delete(void* frame, std::size_t size) noexcept {
    std::size_t size_class = (size + frame_granule - 1) / frame_granule;
    if (size_class < cached_size_classes && cache.counts[size_class] < cached_per_class) {
        cache.blocks[size_class][cache.counts[size_class]++] = frame;
        return;
    }
    ::operator delete(frame);
}

void task::promise_type::unhandled_exception() noexcept {
    try {
        throw;
    } catch (error_already_set& error) {
        this->error.emplace(std::move(error));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        this->error.emplace(0);
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in a module body");
        this->error.emplace(0);
    }
}

task::delegate_awaiter task::promise_type::await_transform(object awaitable, location where) {
    int line = int(where.line());
    handled_scope handling(owner->handled);
    return {owner, awaitable_iterator(std::move(awaitable), line), line, {}};
}

task::delegate_awaiter task::promise_type::await_transform(yield_from&& delegation) {
    // Only the iterator stays referenced while the body waits, where the collector can see it.
    object iterable = std::move(delegation.iterable);
    object iterator = object::steal(PyObject_GetIter(iterable.ptr()));
    if (!iterator) throw error_already_set(delegation.line);
    return {owner, std::move(iterator), delegation.line, {}};
}

task::yield_awaiter task::promise_type::yield_value(object value, location where) noexcept {
    owner->transfer = value ? value.release() : Py_NewRef(Py_None);
    return {owner, int(where.line())};
}

bool task::delegate_awaiter::await_ready() {
    PyObject* step;
    PySendResult outcome;
    {
        handled_scope handling(owner->handled);
        outcome = PyIter_Send(iterator.ptr(), Py_None, &step);
    }
    switch (outcome) {
    case PYGEN_NEXT:
        owner->delegate = iterator.release();
        owner->transfer = step;
        return false;
    case PYGEN_RETURN:
        early_result = object::steal(step);
        return true;
    case PYGEN_ERROR:
        break;
    }
    throw error_already_set(line);
}

object task::delegate_awaiter::await_resume() {
    if (early_result) return std::move(early_result);
    if (owner->thrown) {
        object thrown = object::steal(std::exchange(owner->thrown, nullptr));
        // A StopIteration thrown in where the body waits ends the wait with its value, as the
        // interpreter's own await and yield from do.
        if (PyErr_GivenExceptionMatches(thrown.ptr(), PyExc_StopIteration))
            return object::borrow(reinterpret_cast<PyStopIterationObject*>(thrown.ptr())->value);
        throw error_already_set(std::move(thrown), line);
    }
    return object::steal(std::exchange(owner->transfer, nullptr));
}

void task::yield_awaiter::await_resume() const {
    if (owner->thrown) throw error_already_set(object::steal(std::exchange(owner->thrown, nullptr)), line);
    Py_CLEAR(owner->transfer);
}

std::coroutine_handle<> task::task_awaiter::await_suspend(coroutine_handle parent) noexcept {
    auto& promise = child.promise();
    promise.owner = parent.promise().owner;
    promise.continuation = parent;
    promise.owner->current = child;
    return child;
}

object task::task_awaiter::await_resume() {
    auto& promise = child.promise();
    if (promise.error) throw std::move(*promise.error);
    return std::move(promise.result);
}

std::coroutine_handle<> task::final_awaiter::await_suspend(coroutine_handle finished) noexcept {
    auto& promise = finished.promise();
    if (!promise.continuation) return std::noop_coroutine();
    promise.owner->current = promise.continuation;
    return promise.continuation;
}

PyObject* new_coroutine(function_object* function, PyObject* const* args, Py_ssize_t count) noexcept {
    bool generator = function->spec->generator != nullptr;
    PyTypeObject* type = generator ? generator_type : coroutine_type;
    auto* c = spare_coroutines[generator][count].take(type);
    if (!c) c = PyObject_GC_NewVar(coroutine_object, type, count);
    if (!c) return nullptr;
    c->function = reinterpret_cast<function_object*>(Py_NewRef(function));
    c->delegate = c->transfer = c->thrown = c->frame = c->weakrefs = c->handled = nullptr;
    c->kept_count = 0;
    new (&c->body) std::coroutine_handle<task::promise_type>();
    new (&c->current) std::coroutine_handle<>();
    c->state = state::created;
    c->generator = generator;
    for (Py_ssize_t i = 0; i < count; ++i) c->args[i] = args[i];  // takes over the parsed references
    PyObject_GC_Track(c);
    return reinterpret_cast<PyObject*>(c);
}

bool ready_coroutine_types() noexcept {
    if (coroutine_type && generator_type && await_iterator_type) return true;
    constexpr int base = int(offsetof(coroutine_object, args));
    constexpr int item = int(sizeof(PyObject*));
    if (!coroutine_type) coroutine_type = make_type("vornal_api.python_api.coroutine", base, item, coroutine_slots);
    if (!generator_type) generator_type = make_type("vornal_api.python_api.generator", base, item, generator_slots);
    if (!await_iterator_type) await_iterator_type = make_type("vornal_api.python_api.coroutine_wrapper", int(sizeof(await_iterator)), 0,
                                    await_slots);
    return coroutine_type && generator_type && await_iterator_type;
}

}  // namespace vornal::frame
