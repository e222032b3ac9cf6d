// The steps every signed operation on the service's accounts, reports and
// payments endpoints shares: the guard, the session and the token refresh
// that open it, and the Bearer headers of its requests.
#pragma once

#include <nanobind/nanobind.h>

#include "host.h"

namespace corvane::operation {

namespace nb = nanobind;
using host::Namespace;

// Where the operation takes its HTTP session from.
enum class SessionFrom {
    Configuration,         // the configuration record's _get_session()
    CallerOrConfiguration, // the caller's session when true, else the configuration's
    Caller,                // the caller's session as it stands
};

struct Opening {
    nb::object refusal; // the guard's or token step's dictionary, when either refused
    nb::object result;  // otherwise the token step's dictionary
    nb::object session;
    bool refused() const { return refusal.is_valid(); }
};

// Runs, in this order and each looked up in `ns` at call time:
// `_check_status(kav_user, operation=operation)`, the session (after the
// guard, so a refused operation takes none), and
// `_request_access_token(kav_user, session, grant_type="refresh_token")`.
// A dictionary whose "error" is true ends the opening as `refusal`.
// Exceptions of any step propagate unchanged.
Opening open(const Namespace& ns, nb::handle kav_user, const char* operation, SessionFrom from,
             nb::handle session = nb::handle());

// "Bearer " + str(kav_user.access_token_id.access_token), read now: callers
// read it after their token refresh.
nb::str bearer(nb::handle kav_user);

// {"Content-Type": "application/x-www-form-urlencoded", "Authorization":
// bearer(kav_user)}, in this order: the headers the accounts and reports
// requests start from; the signature step adds to this same dictionary.
nb::dict form_headers(nb::handle kav_user);

} // namespace corvane::operation
