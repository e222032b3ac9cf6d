// corvane_core.corvane_pain: upload of payment initiation files as bulk
// payment initiation requests, and the refresh of their status. Reuses the
// guard, the token step and the signature step of corvane_user through its
// own namespace, where they are bound at load.
#pragma once

#include <nanobind/nanobind.h>

#include "host.h"
#include "operation.h"

namespace corvane::pain {

namespace nb = nanobind;
using host::Namespace;

// The names corvane_pain's functions read from its namespace at call time,
// besides those of the shared steps (operation::name: TOLVEX_API_HOST_URL,
// _check_status, _request_access_token, _signature_headers) and the logger
// of refusals (host::kLoggerName); all are bound at load (corvane_pain.cpp).
namespace name {
inline constexpr const char* kBase64 = "base64"; // pain_upload.cpp: the host's decoder
} // namespace name

// The KAV User of a payment initiation request record (its `kav_user_id`,
// read now) and the opening of its operation "pain-request": guard, the
// configuration's session, token refresh (see operation::open).
struct PaymentOpening {
    nb::object kav_user;
    operation::Opening opening;
};
inline PaymentOpening open_payment(const Namespace& ns, nb::handle pain_record) {
    nb::object kav_user = pain_record.attr("kav_user_id");
    return {kav_user,
            operation::open(ns, kav_user, "pain-request", operation::SessionFrom::Configuration)};
}

// The request's status from an answer's `data` (data.attributes.status),
// stored in the record's `state`.
inline void store_state(nb::handle pain_record, nb::handle data) {
    pain_record.attr("state") = data["attributes"]["status"];
}

void def_refresh_state(nb::module_& m, const Namespace& ns); // pain_status.cpp
void def_pain_request(nb::module_& m, const Namespace& ns);  // pain_upload.cpp

} // namespace corvane::pain
