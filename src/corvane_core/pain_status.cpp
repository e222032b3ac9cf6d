// refresh_state: a signed GET of one bulk payment initiation request, whose
// status the service reports, stored in the request record's `state`.
#include "corvane_pain.h"
#include "operation.h"

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
    nb::str endpoint = host::concat(
        {nb::str("bulk-payment-initiation-requests/"), pain_record.attr("identifier")});
    nb::object kav_user = pain_record.attr("kav_user_id");
    operation::Opening opening =
        operation::open(ns, kav_user, "pain-request", operation::SessionFrom::Configuration);
    if (opening.refused())
        return opening.refusal;
    nb::object session = opening.session;

    nb::str url = host::concat({ns["TOLVEX_API_HOST_URL"], nb::str("/corvane-connect/"), endpoint});
    // No body, hence no "Content-Type".
    nb::dict headers;
    headers["Authorization"] = operation::bearer(kav_user);
    nb::str request_target = host::concat({nb::str("get /corvane-connect/"), endpoint});
    nb::dict payload; // the signature step's empty body
    ns["_signature_headers"](kav_user, headers, payload, request_target);

    nb::object response = session.attr("get")(url, nb::arg("headers") = headers);
    nb::dict result;
    if (host::truthy(response.attr("ok"))) {
        nb::object pain_data = response.attr("json")()["data"];
        pain_record.attr("state") = pain_data["attributes"]["status"];
    } else {
        host::fail_with_response(ns, result, "Payment Initiation Request Status", response);
    }
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
