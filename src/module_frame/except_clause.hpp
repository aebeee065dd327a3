// The `except` clause of a coroutine or generator body: matching the caught error against a
// class looked up when the clause runs, and raising from inside the clause.
#pragma once

#include "calls.hpp"

namespace vornal::frame {

/// Adds the running body's traceback entry, under the dotted function name, to an error that an
/// `except` clause of the body caught; once.
void trace_caught_in_running_body(error_already_set& error) noexcept;

/// `except <cls> as e:` around an error caught in a coroutine or generator body. While the clause
/// lives, the caught error is the one being handled, so that every error raised inside the
/// clause, also by the class lookup of the match, takes it as its context. A C++ catch handler
/// cannot suspend, so neither can the clause.
class except_clause {
public:
    explicit except_clause(error_already_set& caught) noexcept
        : caught_(caught), handling_(caught.exception().ptr()) {}
    except_clause(const except_clause&) = delete;
    except_clause& operator=(const except_clause&) = delete;

    /// Whether the caught error is an instance of `cls` (a class or a tuple of classes), as the
    /// interpreter decides it; a match gives the error the body's traceback entry.
    bool matches(handle cls, location where = location::current()) {
        if (!is_exception_class(cls)) {
            PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
            throw_error(where);
        }
        if (!PyErr_GivenExceptionMatches(caught_.exception().ptr(), cls.ptr())) return false;
        trace_caught_in_running_body(caught_);
        return true;
    }

    handle exception() const noexcept { return caught_.exception(); }

private:
    static bool is_exception_class(handle cls) noexcept {
        if (!PyTuple_Check(cls.ptr())) return PyExceptionClass_Check(cls.ptr());
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls.ptr()); ++i)
            if (!PyExceptionClass_Check(PyTuple_GET_ITEM(cls.ptr(), i))) return false;
        return true;
    }

    error_already_set& caught_;
    handled_scope handling_;
};

}  // namespace vornal::frame
