// What a body does with Python objects: look up names at call time, read attributes, call,
// check results, raise, iterate, and run the session frame around a database body.
#pragma once

#include "module.hpp"

#include <array>
#include <concepts>
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

/// Whether an int can be taken from `value`: its type has __int__ or __index__ (__float__ alone
/// does not count, nor does text).
bool has_int_conversion(PyObject* value) noexcept;

/// The interpreter's integer conversion of a value that has one (its __int__, else __index__).
PyObject* to_int(PyObject* value) noexcept;

/// Result checks for values a body returns but did not build.
object expect_list(object value, location where = location::current());
object expect_str(object value, location where = location::current());
object expect_dict(object value, location where = location::current());
object expect_int(object value, location where = location::current());

/// `raise value` (a class or an instance); `raise value from cause` when a cause is given.
[[noreturn]] void raise(handle value, location where = location::current());
[[noreturn]] void raise_from(handle value, handle cause, location where = location::current());

/// `raise <error_class>(message())`, the class looked up (a module name) before the message is
/// built, as the interpreter evaluates the call.
template <std::invocable Message>
[[noreturn]] void raise_error(const identifier& error_class, Message message, location where = location::current()) {
    object raised_class = global(error_class, where);
    raise(call({raised_class, where}, message()), where);
}

/// `raise <error_class>(message)`
[[noreturn]] inline void raise_error(const identifier& error_class, handle message,
                                     location where = location::current()) {
    raise_error(error_class, [message] { return object::borrow(message); }, where);
}

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

/// Reads a local that a block was to assign: UnboundLocalError when the block's error was
/// swallowed before the assignment ran.
object assigned(object local, const char* name, location where = location::current());

/// `except cls` tried against `exception`: whether it is an instance of the class, or of one of a
/// tuple of classes; TypeError when `cls` is neither an exception class nor a tuple of them.
bool exception_matches(handle exception, handle cls, location where = location::current());

/// An `except` clause running over a caught error, in a C++ catch handler of a body. While it
/// lives, the caught error is the one being handled, so every error raised inside the clause, also
/// by the class lookup of the match, takes it as its context. A C++ catch handler cannot suspend,
/// so neither can the clause.
class except_scope {
public:
    explicit except_scope(error_already_set& caught) noexcept
        : caught_(caught), handling_(caught.exception().ptr()) {}
    except_scope(const except_scope&) = delete;
    except_scope& operator=(const except_scope&) = delete;

    /// `except cls:` (a class or a tuple of classes); a match gives the caught error the running
    /// body's traceback entry under its module-qualified name.
    bool matches(handle cls, location where = location::current()) {
        if (!exception_matches(caught_.exception(), cls, where)) return false;
        trace_caught_in_running_body(caught_);
        return true;
    }

    handle exception() const noexcept { return caught_.exception(); }

private:
    error_already_set& caught_;
    handled_scope handling_;
};

/// One `except` clause: the class it names, either a module name looked up each time the clause
/// is tried or a fixed class such as Exception, and its handler, called with the caught exception.
/// A handler returns a value to return it from the body, an empty object to go on after the
/// `try` statement, and re-raises the caught error unchanged with `throw;` (a bare `raise`).
template <class Handler>
struct except_clause {
    const identifier* name;
    handle fixed;
    Handler handler;
    location where;
};

template <class Handler>
except_clause<Handler> except(const identifier& name, Handler handler, location where = location::current()) {
    return {&name, {}, std::move(handler), where};
}

template <class Handler>
except_clause<Handler> except(handle cls, Handler handler, location where = location::current()) {
    return {nullptr, cls, std::move(handler), where};
}

template <class Handler>
bool run_if_matches(except_clause<Handler>& clause, except_scope& scope, object& result) {
    object cls = clause.name ? global(*clause.name, clause.where) : object::borrow(clause.fixed);
    if (!scope.matches(cls, clause.where)) return false;
    result = clause.handler(scope.exception());
    return true;
}

/// `try: body() except ...: ...` for a body and handlers that do not suspend. The clauses are
/// tried in order while the error is the one being handled, so an error raised by a lookup, a
/// match or a handler keeps it as its implicit context; when none matches, it passes unchanged.
/// The result follows the handlers' rule: the value returned, or empty to go on.
template <class Body, class... Handlers>
object try_except(Body body, except_clause<Handlers>... clauses) {
    try {
        return body();
    } catch (error_already_set& error) {
        except_scope scope(error);
        object result;
        if (!(run_if_matches(clauses, scope, result) || ...)) throw;
        return result;
    }
}

/// A special method as `with` (or `async with`) finds it on the type of its object, through the
/// type's method cache. A method descriptor (a function, a method of a built-in type) stays
/// unbound and is called with the object first, as the interpreter calls it, so that no bound
/// method is made; any other descriptor is bound at once. When the method is missing, the
/// TypeError saying that the object does not support the protocol.
struct special_method {
    object callable;
    bool unbound;
    special_method(handle target, const identifier& name, bool asynchronous, location where);
};

/// `target.<method>(args...)` for a special method found on `target`'s type.
template <class... Args>
object call_special(handle callable, bool unbound, handle target, location where, const Args&... args) {
    PyObject* stack[] = {nullptr, target.ptr(), argument_pointer(args)...};
    std::size_t offset = unbound ? 1 : 2;
    return check(PyObject_Vectorcall(callable.ptr(), stack + offset,
                                     (sizeof...(Args) + 2 - offset) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr),
                 where);
}

/// `exit(type, value, traceback)` for a failure of a block's body.
object exit_call(handle exit, bool unbound, handle manager, handle exception, location where);

/// `value` when it can be awaited, else the TypeError of `async with` for the result of `method`.
object awaitable_from(object value, const char* method, location where);

/// `with manager as value: body(value)` for a body that does not suspend, in a plain function
/// or a coroutine: __exit__ is looked up before __enter__ and runs, with its result's truth
/// tested, while the body's error is the one being handled. The result is the value the body
/// returns, or empty when it goes on after the block or its error was swallowed.
template <class Body>
object plain_with_block(object manager, Body body, location where = location::current()) {
    special_method exit(manager, "__exit__"_id, false, where);
    special_method enter(manager, "__enter__"_id, false, where);
    object value = call_special(enter.callable, enter.unbound, manager, where);
    object result;
    try {
        result = body(handle(value));
    } catch (error_already_set& failure) {
        trace_in_running_body(failure);
        handled_scope handling(failure.exception().ptr());
        if (is_true(exit_call(exit.callable, exit.unbound, manager, failure.exception(), where), where)) return {};
        throw;
    }
    call_special(exit.callable, exit.unbound, manager, where, none(), none(), none());
    return result;
}

/// `with manager as value: return body(value)`, or `async with` when `asynchronous`, inside a
/// coroutine or generator body; the body may await or yield. __exit__ is looked up before
/// __enter__; a true result of __exit__ swallows the body's error and the block's result is None.
/// While __exit__ is called and awaited and its result tested, the body's error is the one being
/// handled, so errors raised there chain to it as in the interpreter.
template <bool asynchronous, class Body>
task context_block(object manager, Body body, location where) {
    const identifier& exit_name = asynchronous ? "__aexit__"_id : "__exit__"_id;
    const identifier& enter_name = asynchronous ? "__aenter__"_id : "__enter__"_id;
    kept_objects held;
    special_method exit_method(manager, exit_name, asynchronous, where);
    handle exit = held.keep(std::move(exit_method.callable));
    special_method enter(manager, enter_name, asynchronous, where);
    object entered = call_special(enter.callable, enter.unbound, manager, where);
    handle self = held.keep(std::move(manager));
    if constexpr (asynchronous) entered = co_await awaitable_from(std::move(entered), "__aenter__", where);
    handle value = held.keep(std::move(entered));

    handle result;  // kept: the exit handler may suspend while the block holds it
    std::optional<kept_error> failure;
    try {
        result = held.keep(co_await body(value));
    } catch (error_already_set& error) {
        trace_in_running_body(error);
        failure.emplace(held, std::move(error));
    }
    object exited;
    {
        std::optional<handling_error> handling;
        if (failure) handling.emplace(failure->exception());
        {
            handled_scope calling(failure ? failure->exception().ptr() : nullptr);
            exited = failure ? exit_call(exit, exit_method.unbound, self, failure->exception(), where)
                             : call_special(exit, exit_method.unbound, self, where, none(), none(), none());
            if constexpr (asynchronous) exited = awaitable_from(std::move(exited), "__aexit__", where);
        }
        if constexpr (asynchronous) exited = co_await std::move(exited);
    }
    if (!failure) co_return object::borrow(result);
    bool swallowed;
    {
        // Testing the result is still part of handling the body's error.
        handled_scope testing(failure->exception().ptr());
        swallowed = is_true(exited, where);
    }
    if (swallowed) co_return none();
    failure->raise();
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
