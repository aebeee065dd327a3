// Read models, report fields and bug reports, as the sync modules build them.
#include "sync_services.hpp"

namespace vornal::frame {

object validate(const identifier& model, handle value, location where) {
    return call_method({global(model, where), where}, "model_validate"_id, value);
}

object validated_list(const identifier& model, handle records, location where) {
    object result = check(PyList_New(0), where);
    for (const object& record : items(records, where))
        check_status(PyList_Append(result.ptr(), validate(model, record, where).ptr()), where);
    return result;
}

object or_not_available(object value, location where) {
    return is_true(value, where) ? std::move(value) : object::borrow("N/A"_id);
}

void send_bug_report(const identifier& subject, handle text, location where) {
    object bug_report =
        call_kw({global("BugReportCreateV3"_id, where), where}, keywords<"subject", "description">(), subject, text);
    call({global("report_bug"_id, where), where}, bug_report);
}

}  // namespace vornal::frame
