// What the sync modules do alike with the sync agent and the application package: the session
// frame over the agent's database, calls on its data-access objects, read models built with
// `model_validate`, and the pieces of bug reports.
#pragma once

#include "calls.hpp"

namespace vornal::frame {

/// `async with get_db_session_context() as session: return await body(session)`
template <class Body>
task in_session(Body body, location where = location::current()) {
    return session_frame("get_db_session_context"_id, std::move(body), where);
}

/// A method of a data-access object, with the line of the body that calls it.
struct crud_method {
    const identifier& name;
    location where;
    crud_method(const identifier& name, location where = location::current()) noexcept : name(name), where(where) {}
};

/// A data-access object that the module binds at load (`crud_feedwells`, `crud_lotlings`), looked
/// up in the namespace at each call. Its methods take the session first.
class data_access {
public:
    explicit data_access(const identifier& name) noexcept : name_(name) {}

    /// `<object>.<method>(session, args...)`
    template <class... Args>
    object operator()(crud_method method, handle session, const Args&... args) const {
        return call_method({global(name_, method.where), method.where}, method.name, session, args...);
    }

    /// `<object>.<method>(session, positional..., name=keyword...)`
    template <class... Args>
    object operator()(crud_method method, const keyword_names& names, handle session, const Args&... args) const {
        return call_method_kw({global(name_, method.where), method.where}, method.name, names, session, args...);
    }

    /// `<object>.<method>` itself, for a call whose arguments are read after the lookup.
    object method(crud_method method) const {
        return attr(global(name_, method.where), method.name, method.where);
    }

private:
    const identifier& name_;
};

/// `<model>.model_validate(value)`
object validate(const identifier& model, handle value, location where = location::current());

/// `[<model>.model_validate(r) for r in records]`: always a new list, and no partial one.
object validated_list(const identifier& model, handle records, location where = location::current());

/// The value when true by truth value, else "N/A": how reports show an empty field.
object or_not_available(object value, location where = location::current());

/// `report_bug(BugReportCreateV3(subject=subject, description=text))`; the result is discarded.
void send_bug_report(const identifier& subject, handle text, location where = location::current());

}  // namespace vornal::frame
