// The C++20 coroutine type of every coroutine and generator body. A body co_awaits Python
// awaitables (or other tasks) and, in generators, co_yields values; the Python-facing coroutine
// object (coroutine.hpp) drives it and forwards send/throw/close to whatever it is waiting on.
#pragma once

#include "object.hpp"

#include <coroutine>
#include <optional>

namespace vornal::frame {

struct coroutine_object;

/// The positional view of a call's parsed arguments, in parameter order.
class arguments {
public:
    explicit arguments(PyObject* const* items) noexcept : items_(items) {}
    handle operator[](std::size_t index) const noexcept { return items_[index]; }

private:
    PyObject* const* items_;
};

/// `co_await yield_from(iterable)` in a generator body: delegates iteration, like `yield from`.
struct yield_from {
    object iterable;
    int line;
    explicit yield_from(object iterable, location where = location::current()) noexcept
        : iterable(std::move(iterable)), line(int(where.line())) {}
};

class [[nodiscard]] task {
public:
    struct promise_type;
    using coroutine_handle = std::coroutine_handle<promise_type>;

    /// Waits on a Python awaitable (or, for `yield from`, an iterator) through the driver.
    struct delegate_awaiter {
        coroutine_object* owner;
        object iterator;
        int line;
        object early_result;
        bool await_ready();
        void await_suspend(std::coroutine_handle<>) const noexcept {}
        object await_resume();
    };

    /// A value handed out by a generator body.
    struct yield_awaiter {
        coroutine_object* owner;
        int line;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<>) const noexcept {}
        void await_resume() const;
    };

    /// Runs another task inline, handing control to it and back without the driver. It owns the
    /// child's frame, so a parent destroyed while the child waits destroys the child too.
    struct task_awaiter {
        coroutine_handle child;
        explicit task_awaiter(coroutine_handle child) noexcept : child(child) {}
        task_awaiter(task_awaiter&& other) noexcept : child(std::exchange(other.child, {})) {}
        ~task_awaiter() {
            if (child) child.destroy();
        }
        bool await_ready() const noexcept { return false; }
        std::coroutine_handle<> await_suspend(coroutine_handle parent) noexcept;
        object await_resume();
    };

    struct final_awaiter {
        bool await_ready() const noexcept { return false; }
        std::coroutine_handle<> await_suspend(coroutine_handle finished) noexcept;
        void await_resume() const noexcept {}
    };

    struct promise_type {
        coroutine_object* owner = nullptr;
        std::coroutine_handle<> continuation;
        object result;
        std::optional<error_already_set> error;

        task get_return_object() noexcept { return task(coroutine_handle::from_promise(*this)); }
        std::suspend_always initial_suspend() const noexcept { return {}; }
        final_awaiter final_suspend() const noexcept { return {}; }
        void return_value(object value) noexcept { result = std::move(value); }
        void unhandled_exception() noexcept;

        delegate_awaiter await_transform(object awaitable, location where = location::current());
        delegate_awaiter await_transform(handle awaitable, location where = location::current()) {
            return await_transform(object::borrow(awaitable), where);
        }
        task_awaiter await_transform(task&& child) noexcept { return task_awaiter(child.release()); }
        delegate_awaiter await_transform(yield_from&& delegation);
        yield_awaiter yield_value(object value, location where = location::current()) noexcept;

        static void* operator new(std::size_t size);
        static void operator delete(void* frame, std::size_t size) noexcept;
    };

    task(task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    task& operator=(task&&) = delete;
    ~task() {
        if (handle_) handle_.destroy();
    }
    coroutine_handle release() noexcept { return std::exchange(handle_, {}); }

private:
    explicit task(coroutine_handle h) noexcept : handle_(h) {}
    coroutine_handle handle_;
};

/// What a block of a body (a with block, the session frame) holds while the body waits: owned by
/// the running coroutine object, where the garbage collector sees it, so that a cycle through a
/// suspended coroutine can still be collected; released, newest first, when the block ends.
class kept_objects {
public:
    kept_objects() noexcept;
    kept_objects(const kept_objects&) = delete;
    kept_objects& operator=(const kept_objects&) = delete;
    ~kept_objects();
    /// Takes `value` over and returns it borrowed.
    handle keep(object value);

private:
    coroutine_object* owner_;
    unsigned char mark_;
};

/// An error a block caught and raises again after awaiting (the body's error while a with
/// block's exit handler runs). Its exception belongs to `kept_objects`, where the collector sees
/// it: its traceback can lead back to the frame that drives the coroutine.
class kept_error {
public:
    kept_error(kept_objects& held, error_already_set&& error);
    handle exception() const noexcept { return exception_; }
    [[noreturn]] void raise() const;

private:
    handle exception_;
    int line_;
    bool traced_;
};

/// Adds the running body's traceback entry to an error caught inside it, once; a with block or
/// session frame does this before an exit handler sees the error.
void trace_in_running_body(error_already_set& error) noexcept;

/// Adds the running body's entry, under its module-qualified name, to an error that one of its
/// `except` clauses catches.
void trace_caught_in_running_body(error_already_set& error) noexcept;

struct function_object;

/// While a plain function's body runs, it is the running body: not the coroutine body that may
/// have called it, whose traceback entries and held objects are not the plain body's.
class plain_body_scope {
public:
    explicit plain_body_scope(function_object* function) noexcept;
    plain_body_scope(const plain_body_scope&) = delete;
    plain_body_scope& operator=(const plain_body_scope&) = delete;
    ~plain_body_scope();

private:
    coroutine_object* outer_body_;
    function_object* outer_plain_;
};

/// Makes `exception` the one being handled (`sys.exception()`) while the running body calls and
/// awaits an exit handler for it, as an `except` or `with` statement does.
class handling_error {
public:
    explicit handling_error(handle exception) noexcept;
    handling_error(const handling_error&) = delete;
    handling_error& operator=(const handling_error&) = delete;
    ~handling_error();

private:
    coroutine_object* owner_;
    PyObject* outer_;  // what `handled` held before
};

/// Puts the coroutine's handled error in place while outside code runs on its behalf.
class handled_scope {
public:
    explicit handled_scope(PyObject* handled) noexcept : active_(handled != nullptr) {
        if (!active_) return;
        outer_ = PyErr_GetHandledException();
        PyErr_SetHandledException(handled);
    }
    handled_scope(const handled_scope&) = delete;
    handled_scope& operator=(const handled_scope&) = delete;
    ~handled_scope() {
        if (!active_) return;
        PyErr_SetHandledException(outer_);
        Py_XDECREF(outer_);
    }

private:
    bool active_;
    PyObject* outer_ = nullptr;
};

/// Whether `await value` can start: a coroutine, or an object with __await__.
bool is_awaitable(handle value) noexcept;

using coroutine_body = task (*)(arguments);
using plain_body = object (*)(arguments);

}  // namespace vornal::frame
