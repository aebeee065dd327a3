// References to Python objects, the error that carries a Python exception through C++ code,
// and the constants (interned names, keyword tuples) that a module builds once when it loads.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <exception>
#include <source_location>
#include <utility>

namespace vornal::frame {

using location = std::source_location;

/// A borrowed reference: never changes a reference count.
class handle {
public:
    handle() noexcept = default;
    handle(PyObject* p) noexcept : p_(p) {}
    PyObject* ptr() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(handle other) const noexcept { return p_ == other.p_; }
    bool is_none() const noexcept { return p_ == Py_None; }
    PyTypeObject* type() const noexcept { return Py_TYPE(p_); }

protected:
    PyObject* p_ = nullptr;
};

/// An owned reference. Ownership enters only through `steal` or `borrow`.
class object : public handle {
public:
    object() noexcept = default;
    static object steal(PyObject* p) noexcept { object o; o.p_ = p; return o; }
    static object borrow(handle h) noexcept { return steal(Py_XNewRef(h.ptr())); }
    object(const object& other) noexcept : handle(Py_XNewRef(other.p_)) {}
    object(object&& other) noexcept : handle(std::exchange(other.p_, nullptr)) {}
    // The new reference is in place before the old one is dropped, as with Py_XSETREF.
    object& operator=(object other) noexcept { std::swap(p_, other.p_); return *this; }
    ~object() { Py_XDECREF(p_); }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Py_CLEAR(p_); }
};

inline object none() noexcept { return object::borrow(Py_None); }
inline object boolean(bool value) noexcept { return object::borrow(value ? Py_True : Py_False); }

/// A Python exception travelling through C++ code, with the source line where it was met.
class error_already_set : public std::exception {
public:
    /// Takes the exception out of the error indicator (a SystemError if none is set).
    explicit error_already_set(int line);
    error_already_set(object exception, int line) noexcept : exception_(std::move(exception)), line_(line) {}
    const object& exception() const noexcept { return exception_; }
    /// Hands the exception over to a new owner; the error is left without one.
    object release_exception() noexcept { return std::move(exception_); }
    int line() const noexcept { return line_; }
    /// Whether the traceback already shows the body this error passed through.
    bool traced() const noexcept { return traced_; }
    void mark_traced() noexcept { traced_ = true; }
    /// Puts the exception back into the error indicator.
    void restore() noexcept { PyErr_SetRaisedException(exception_.release()); }
    const char* what() const noexcept override { return "Python exception"; }

private:
    object exception_;
    int line_;
    bool traced_ = false;
};

[[noreturn]] void throw_error(location where = location::current());

/// Turns a new reference or NULL from the C API into an object, throwing on NULL.
inline object check(PyObject* result, location where = location::current()) {
    if (!result) throw_error(where);
    return object::steal(result);
}

inline void check_status(int status, location where = location::current()) {
    if (status < 0) throw_error(where);
}

/// Keeps a pending Python error safe while cleanup code runs, then puts it back.
class error_scope {
public:
    error_scope() noexcept : saved_(PyErr_GetRaisedException()) {}
    error_scope(const error_scope&) = delete;
    error_scope& operator=(const error_scope&) = delete;
    ~error_scope() { PyErr_SetRaisedException(saved_); }

private:
    PyObject* saved_;
};

/// A string usable as a template argument, so each distinct literal gets one constant.
template <std::size_t N>
struct fixed_string {
    char text[N];
    constexpr fixed_string(const char (&s)[N]) { std::copy_n(s, N, text); }
};

/// A value built once when the module loads and kept for the life of the process.
class constant {
public:
    /// Builds every registered constant; false with an error set when one fails.
    static bool build_all() noexcept;
    handle get() const noexcept { return value_; }
    operator handle() const noexcept { return value_; }
    PyObject* ptr() const noexcept { return value_; }

protected:
    constant() noexcept : next_(first_) { first_ = this; }
    constant(const constant&) = delete;
    virtual PyObject* make() const noexcept = 0;

private:
    PyObject* value_ = nullptr;
    constant* next_;
    static inline constant* first_ = nullptr;
};

/// An interned string: attribute, keyword and outside names, and constant texts of messages.
class identifier final : public constant {
public:
    explicit identifier(const char* text) noexcept : text_(text) {}
    const char* text() const noexcept { return text_; }

private:
    PyObject* make() const noexcept override { return PyUnicode_InternFromString(text_); }
    const char* text_;
};

/// The tuple of keyword names of a call that passes arguments by keyword.
class keyword_names final : public constant {
public:
    template <class... Names>
    explicit keyword_names(Names... names) noexcept : names_{names...}, count_(sizeof...(names)) {}
    std::size_t size() const noexcept { return count_; }

private:
    PyObject* make() const noexcept override;
    const char* names_[24];
    std::size_t count_;
};

template <fixed_string S>
inline identifier identifier_constant{S.text};

template <fixed_string... Names>
inline keyword_names keyword_constant{Names.text...};

/// "name"_id: the interned string for a name, built at load.
template <fixed_string S>
const identifier& operator""_id() noexcept { return identifier_constant<S>; }

/// keywords<"a", "b">(): the keyword-name tuple ("a", "b"), built at load.
template <fixed_string... Names>
const keyword_names& keywords() noexcept { return keyword_constant<Names...>; }

}  // namespace vornal::frame
