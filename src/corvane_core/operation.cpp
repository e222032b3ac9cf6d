// The opening steps and headers shared by the signed operations.
#include "operation.h"

namespace corvane::operation {

Opening open(const Namespace& ns, nb::handle kav_user, const char* operation, SessionFrom from,
             nb::handle session) {
    Opening opening;
    nb::object guard = ns["_check_status"](kav_user, nb::arg("operation") = operation);
    if (host::has_error(guard)) {
        opening.refusal = guard;
        return opening;
    }
    if (from == SessionFrom::Caller ||
        (from == SessionFrom::CallerOrConfiguration && host::truthy(session)))
        opening.session = nb::borrow(session);
    else
        opening.session = kav_user.attr("corvane_connect_config_id").attr("_get_session")();
    nb::object result = ns["_request_access_token"](kav_user, opening.session,
                                                    nb::arg("grant_type") = "refresh_token");
    if (host::has_error(result))
        opening.refusal = result;
    else
        opening.result = result;
    return opening;
}

nb::str bearer(nb::handle kav_user) {
    return host::concat(
        {nb::str("Bearer "), kav_user.attr("access_token_id").attr("access_token")});
}

nb::dict form_headers(nb::handle kav_user) {
    nb::dict headers;
    headers["Content-Type"] = nb::str("application/x-www-form-urlencoded");
    headers["Authorization"] = bearer(kav_user);
    return headers;
}

} // namespace corvane::operation
