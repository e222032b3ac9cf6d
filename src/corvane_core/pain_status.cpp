// refresh_state: a signed GET of one bulk payment initiation request, whose
// status the service reports, stored in the request record's `state`.
#include "corvane_pain.h"

namespace corvane::pain {
namespace {

// Takes the payment initiation request record, whose `identifier` (in its
// text form, unchecked) names the request. Returns the guard's or the token
// step's dictionary when either refuses (no session is taken for a guard
// refusal; nothing is sent); otherwise a new dictionary: {} once `state`
// holds the service's status, {"error": message} (logged) when the service
// refuses, with `state` unchanged. Errors of the signer, transport errors, a
// body that is not JSON and a missing data.attributes.status propagate.
nb::object refresh_state(const Namespace& ns, nb::handle pain_record) {
    nb::str path = host::concat(
        {nb::str(operation::kPaymentRequestsPath), nb::str("/"), pain_record.attr("identifier")});
    auto [kav_user, opening] = open_payment(ns, pain_record);
    if (opening.refused())
        return opening.refusal;

    operation::Target target = operation::target(ns, operation::Method::Get, {path});
    // No body, hence no "Content-Type".
    nb::dict headers;
    headers["Authorization"] = operation::bearer(kav_user);
    nb::dict result;
    operation::Answer answer =
        operation::send_signed(ns, kav_user, opening.session,
                               {target, "Payment Initiation Request Status", headers}, result);
    if (!answer.failed())
        store_state(pain_record, answer.response.attr("json")()["data"]);
    return result;
}

} // namespace

void def_refresh_state(nb::module_& m, const Namespace& ns) {
    m.def(
        "refresh_state", [ns](nb::handle pain_record) { return refresh_state(ns, pain_record); },
        host::param("pain_record"),
        "Refresh the record's `state` from the service's bulk payment initiation request.");
}

} // namespace corvane::pain
