// What a body does with Python objects: look up names at call time, read attributes, call,
// check results, raise, iterate, and run the session frame around a database body.
#pragma once

#include "module.hpp"

#include <array>
#include <iterator>
#include <optional>

namespace vornal::frame {

/// A callable (or the object of a method call) together with the line that calls it.
struct callee {
    handle target;
    location where;
    callee(handle target, location where = location::current()) noexcept : target(target), where(where) {}
};

inline PyObject* argument_pointer(handle h) noexcept { return h.ptr(); }
inline PyObject* argument_pointer(const constant& c) noexcept { return c.ptr(); }

/// A module name looked up when the statement runs: the namespace, then the builtins.
object global(const identifier& name, location where = location::current());

object attr(handle target, const identifier& name, location where = location::current());

/// `f(args...)`
template <class... Args>
object call(callee f, const Args&... args) {
    PyObject* stack[] = {nullptr, argument_pointer(args)...};
    return check(PyObject_Vectorcall(f.target.ptr(), stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr),
                 f.where);
}

/// `f(positional..., name=keyword...)`: the last `names.size()` arguments go by keyword.
template <class... Args>
object call_kw(callee f, const keyword_names& names, const Args&... args) {
    PyObject* stack[] = {nullptr, argument_pointer(args)...};
    return check(PyObject_Vectorcall(f.target.ptr(), stack + 1,
                                     (sizeof...(Args) - names.size()) | PY_VECTORCALL_ARGUMENTS_OFFSET, names.ptr()),
                 f.where);
}

/// `self.name(args...)`
template <class... Args>
object call_method(callee self, const identifier& name, const Args&... args) {
    PyObject* stack[] = {self.target.ptr(), argument_pointer(args)...};
    return check(PyObject_VectorcallMethod(name.ptr(), stack, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           nullptr),
                 self.where);
}

/// `self.name(positional..., name=keyword...)`
template <class... Args>
object call_method_kw(callee self, const identifier& name, const keyword_names& names, const Args&... args) {
    PyObject* stack[] = {self.target.ptr(), argument_pointer(args)...};
    return check(PyObject_VectorcallMethod(name.ptr(), stack,
                                           (1 + sizeof...(Args) - names.size()) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           names.ptr()),
                 self.where);
}

bool is_true(handle value, location where = location::current());

/// `a == b`, reduced to its truth value.
bool equals(handle a, handle b, location where = location::current());

/// `isinstance(value, cls)`
bool is_instance(handle value, handle cls, location where = location::current());

/// `getattr(target, name, fallback)`
object attr_or(handle target, const identifier& name, handle fallback, location where = location::current());

/// `container[key]`
object item(handle container, handle key, location where = location::current());

/// `a / b` (also joins paths) and `a + b`.
object divide(handle a, handle b, location where = location::current());
object add(handle a, handle b, location where = location::current());

/// An int object.
object number(long long value, location where = location::current());

/// `list(iterable)`
object list_of(handle iterable, location where = location::current());

/// `first, second, ... = value`: exactly N items, with the interpreter's unpacking messages.
template <std::size_t N>
std::array<object, N> unpack(handle value, location where = location::current());

/// The interpreter's integer conversion of a number (its __int__, else __index__).
PyObject* to_int(PyObject* value) noexcept;

/// Result checks for values a body returns but did not build.
object expect_list(object value, location where = location::current());
object expect_str(object value, location where = location::current());
object expect_dict(object value, location where = location::current());
object expect_int(object value, location where = location::current());

/// `raise value` (a class or an instance); `raise value from cause` when a cause is given.
[[noreturn]] void raise(handle value, location where = location::current());
[[noreturn]] void raise_from(handle value, handle cause, location where = location::current());

/// The items of an iterable: lists and tuples by index, anything else through its iterator.
class items {
public:
    explicit items(handle iterable, location where = location::current());

    class iterator {
    public:
        using value_type = object;
        using difference_type = std::ptrdiff_t;
        iterator() noexcept = default;
        explicit iterator(items* owner) : owner_(owner) { ++*this; }
        const object& operator*() const noexcept { return current_; }
        iterator& operator++();
        void operator++(int) { ++*this; }
        bool operator==(std::default_sentinel_t) const noexcept { return !owner_; }

    private:
        items* owner_ = nullptr;
        object current_;
    };

    iterator begin() { return iterator(this); }
    std::default_sentinel_t end() const noexcept { return {}; }

private:
    object sequence_;  // a list or tuple read by index
    object iterator_;  // anything else
    Py_ssize_t index_ = 0;
    location where_;
};

/// Fills `out` with exactly `count` items of `value`, or raises the unpacking error.
void unpack_into(handle value, object* out, Py_ssize_t count, location where);

template <std::size_t N>
std::array<object, N> unpack(handle value, location where) {
    std::array<object, N> values;
    unpack_into(value, values.data(), Py_ssize_t(N), where);
    return values;
}

/// An f-string: literal pieces as they are, objects formatted as by `format(value, "")`. The
/// first piece is a literal and carries the line of the expression.
struct leading_text {
    const char* text;
    location where;
    leading_text(const char* text, location where = location::current()) noexcept : text(text), where(where) {}
};
void append_piece(PyUnicodeWriter* writer, const char* literal, location where);
void append_piece(PyUnicodeWriter* writer, handle value, location where);
template <class... Pieces>
object f_string(leading_text first, const Pieces&... pieces) {
    PyUnicodeWriter* writer = PyUnicodeWriter_Create(0);
    if (!writer) throw_error(first.where);
    try {
        append_piece(writer, first.text, first.where);
        (append_piece(writer, pieces, first.where), ...);
    } catch (...) {
        PyUnicodeWriter_Discard(writer);
        throw;
    }
    return check(PyUnicodeWriter_Finish(writer), first.where);
}

/// `exit(type, value, traceback)` for a failure of a block's body.
object exit_call(handle exit, const error_already_set& failure, location where);
void keep_context(const error_already_set& raised, const error_already_set& handled) noexcept;

/// A special method as `with` finds it: looked up on the type, bound to `target`; when it is
/// missing, the TypeError saying that `target` does not support `protocol`.
object special_method(handle target, const identifier& name, const char* protocol, location where);

/// `value` when it can be awaited, else the TypeError of `async with` for the result of `method`.
object awaitable_from(object value, const char* method, location where);

/// `with manager as value: return body(value)`, or `async with` when `asynchronous`, inside a
/// coroutine or generator body; the body may await or yield. __exit__ is looked up before
/// __enter__; a true result of __exit__ swallows the body's error and the block's result is None.
template <bool asynchronous, class Body>
task context_block(object manager, Body body, location where) {
    constexpr const char* protocol = asynchronous ? "asynchronous context manager" : "context manager";
    const identifier& exit_name = asynchronous ? "__aexit__"_id : "__exit__"_id;
    const identifier& enter_name = asynchronous ? "__aenter__"_id : "__enter__"_id;
    kept_objects held;
    handle exit = held.keep(special_method(manager, exit_name, protocol, where));
    object entered = call({special_method(manager, enter_name, protocol, where), where});
    held.keep(std::move(manager));
    if constexpr (asynchronous) entered = co_await awaitable_from(std::move(entered), "__aenter__", where);
    handle value = held.keep(std::move(entered));

    handle result;  // kept: the exit handler may suspend while the block holds it
    std::optional<error_already_set> failure;
    try {
        result = held.keep(co_await body(value));
    } catch (error_already_set& error) {
        trace_in_running_body(error);
        failure.emplace(std::move(error));
    }
    object exited;
    try {
        std::optional<handling_error> handling;
        if (failure) handling.emplace(failure->exception());
        {
            handled_scope calling(failure ? failure->exception().ptr() : nullptr);
            exited = failure ? exit_call(exit, *failure, where) : call({exit, where}, none(), none(), none());
        }
        if constexpr (asynchronous) exited = co_await awaitable_from(std::move(exited), "__aexit__", where);
    } catch (error_already_set& error) {
        // An error raised by the exit handler while handling the body's error keeps it as context.
        if (failure) keep_context(error, *failure);
        throw;
    }
    if (!failure) co_return object::borrow(result);
    if (is_true(exited, where)) co_return none();
    throw std::move(*failure);
}

template <class Body>
task with_block(object manager, Body body, location where = location::current()) {
    return context_block<false>(std::move(manager), std::move(body), where);
}

/// The session frame: `async with factory() as session: return await body(session)`.
template <class Body>
task session_frame(const identifier& factory, Body body, location where = location::current()) {
    return context_block<true>(call({global(factory, where), where}), std::move(body), where);
}

}  // namespace vornal::frame
