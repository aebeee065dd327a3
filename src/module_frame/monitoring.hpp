// Execution events for sys.monitoring tools (cProfile, debuggers, coverage): each passage through
// a module function's body is reported with the function's own code object, as the interpreter
// reports the frames of Python functions. Without a listening tool a report costs a version check
// and a flag test.
#pragma once

#include "object.hpp"

#include <cstdint>
#include <iterator>

namespace vornal::frame {

/// How a passage through a body begins: its first run or a later one.
enum class entry : std::uint8_t { start, resume };

/// What the tools listen to for one function, brought up to date at every report.
class monitoring_scope {
public:
    /// Reports the beginning of a passage; -1 with an error set when a tool's callback fails.
    int enter(PyObject* code, entry kind) noexcept {
        std::uint8_t event = kind == entry::start ? start : resume;
        int status = listen(event);
        if (status <= 0) return status;
        status = event == start ? PyMonitoring_FirePyStartEvent(&states[start], code, 0)
                                : PyMonitoring_FirePyResumeEvent(&states[resume], code, 0);
        PyMonitoring_ExitScope();
        return status;
    }

    /// Reports a passage that begins with an exception thrown in. The tools read it as the pending
    /// error, so `make_exception()` (a new reference, or NULL with an error set) builds it, only
    /// when a tool listens; -1 with an error set when that or a tool's callback fails.
    template <class Make>
    int enter_thrown(PyObject* code, Make make_exception) noexcept {
        int status = listen(thrown);
        if (status <= 0) return status;
        PyObject* exception = make_exception();
        if (exception) {
            PyErr_SetRaisedException(exception);
            status = PyMonitoring_FirePyThrowEvent(&states[thrown], code, 0);
            if (status == 0) Py_DECREF(PyErr_GetRaisedException());
        } else {
            status = -1;
        }
        PyMonitoring_ExitScope();
        return status;
    }

    /// Reports the end of a passage: `value` yielded or returned (borrowed), or the pending error
    /// raised in the body and unwinding out of it; -1 with an error set when a tool's callback fails.
    int leave(PyObject* code, PySendResult outcome, PyObject* value) noexcept {
        if (outcome == PYGEN_ERROR) {
            if (report_error(code, raised) < 0) return -1;
            return report_error(code, unwound);
        }
        std::uint8_t event = outcome == PYGEN_NEXT ? yielded : returned;
        int status = listen(event);
        if (status <= 0) return status;
        status = event == yielded ? PyMonitoring_FirePyYieldEvent(&states[yielded], code, 0, value)
                                  : PyMonitoring_FirePyReturnEvent(&states[returned], code, 0, value);
        PyMonitoring_ExitScope();
        return status;
    }

private:
    enum : std::uint8_t { start, resume, thrown, yielded, returned, raised, unwound };
    static constexpr std::uint8_t events[] = {
        PY_MONITORING_EVENT_PY_START, PY_MONITORING_EVENT_PY_RESUME, PY_MONITORING_EVENT_PY_THROW,
        PY_MONITORING_EVENT_PY_YIELD, PY_MONITORING_EVENT_PY_RETURN, PY_MONITORING_EVENT_RAISE,
        PY_MONITORING_EVENT_PY_UNWIND,
    };
    PyMonitoringState states[std::size(events)] = {};
    std::uint64_t version = 0;

    /// Reports the pending error as `event` (raised or unwound); the error stays pending.
    int report_error(PyObject* code, std::uint8_t event) noexcept {
        int status = listen(event);
        if (status <= 0) return status;
        status = event == raised ? PyMonitoring_FireRaiseEvent(&states[raised], code, 0)
                                 : PyMonitoring_FirePyUnwindEvent(&states[unwound], code, 0);
        PyMonitoring_ExitScope();
        return status;
    }

    /// 1 when a tool listens to `event` (the scope is then entered: fire, then exit it), 0 when
    /// none does, -1 with an error set. A thread with a sys.setprofile or sys.settrace function
    /// is left out, since those hooks take every event for one of the innermost Python frame,
    /// which here is the caller's.
    int listen(std::uint8_t event) noexcept {
        if (PyMonitoring_EnterScope(states, &version, events, std::size(events)) < 0) return -1;
        if (states[event].active) {
            PyThreadState* thread = PyThreadState_GET();
            if (!thread->c_profilefunc && !thread->c_tracefunc) return 1;
        }
        PyMonitoring_ExitScope();
        return 0;
    }
};

}  // namespace vornal::frame
