// The Python-facing coroutine and generator objects that drive a body's task, and the
// iterator returned by a coroutine's __await__.
#pragma once

#include "task.hpp"

namespace vornal::frame {

struct function_object;

/// One layout for coroutines and generators; `generator` picks the messages and the type.
struct coroutine_object {
    PyObject_VAR_HEAD
    function_object* function;
    PyObject* delegate;        // what the body waits on: cr_await / gi_yieldfrom
    PyObject* transfer;        // a value yielded out of the body, or one sent into it
    PyObject* thrown;          // an exception to raise inside the body where it waits
    PyObject* frame;           // cr_frame / gi_frame, made on first use
    PyObject* weakrefs;
    PyObject* handled;         // the body's error while an exit handler runs for it
    PyObject* kept[8];         // what the body's blocks hold across suspensions (kept_objects)
    unsigned char kept_count;
    std::coroutine_handle<task::promise_type> body;
    std::coroutine_handle<> current;  // the innermost task to resume
    enum class run_state : unsigned char { created, suspended, running, finished } state;
    bool generator;
    PyObject* args[1];  // the parsed arguments, held while the body can still run
};

/// Creates a coroutine (or generator) object holding the call's parsed arguments.
PyObject* new_coroutine(function_object* function, PyObject* const* args, Py_ssize_t count) noexcept;

/// Creates the coroutine, generator and await-iterator types; called once at load.
bool ready_coroutine_types() noexcept;

}  // namespace vornal::frame
