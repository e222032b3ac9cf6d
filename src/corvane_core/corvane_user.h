// corvane_core.corvane_user: the operation guard, signed requests, OAuth
// tokens, user linking and revocation, bank accounts, account reports and
// statement import, on behalf of one KAV User record.
//
// Every function is a module attribute; every call from one function to
// another goes through the module namespace at call time (host::Namespace),
// so a caller that rebinds an attribute sees its replacement take effect.
// Failures a function detects come back under "error" in a new result
// dictionary; everything else is the host's exception, passed on unchanged.
#pragma once

#include <nanobind/nanobind.h>

#include "host.h"

namespace corvane::user {

namespace nb = nanobind;
using host::Namespace;

// A request the client authenticates itself (the token and revocation
// requests, unsigned): TOLVEX_API_HOST_URL + path and the headers
// {"Content-Type": form, "Authorization": "Basic " + Base64 of the UTF-8 of
// str(client_identifier) + ":" + str(client_secret) of `config`}, made now.
// user_tokens.cpp.
struct ClientRequest {
    nb::str url;
    nb::dict headers;
};
ClientRequest client_request(const Namespace& ns, nb::handle config, const char* path);

// `session.post(url, data=data, headers=headers)`: the response when it is
// ok; otherwise no object (is_valid() false), the refusal ("Error on '<title>':\n" + body) logged
// and stored under "error" in `result`. user_tokens.cpp.
nb::object post_client_request(const Namespace& ns, nb::handle session,
                               const ClientRequest& request, nb::handle data, nb::handle result,
                               const char* title);

// The names corvane_user's functions read from its namespace at call time,
// besides those of the shared steps (operation::name: TOLVEX_API_HOST_URL,
// _check_status, _request_access_token, _signature_headers, urlencode) and
// the logger of refusals (host::kLoggerName). All are bound at load
// (corvane_user.cpp) or are the module's own functions.
namespace name {
inline constexpr const char* kHost = "TOLVEX_API_HOST";                     // user_signature.cpp
inline constexpr const char* kTime = "time";                                // user_signature.cpp
inline constexpr const char* kSign = "_corvane_connect_sign";               // user_signature.cpp
inline constexpr const char* kDatetime = "datetime";                        // user_reports.cpp
inline constexpr const char* kGetAccount = "_get_account";                  // user_accounts.cpp
inline constexpr const char* kUpdateAccount = "_update_account";            // user_accounts.cpp
inline constexpr const char* kListReports = "get_account_reports";          // user_reports.cpp
inline constexpr const char* kHandleReport = "_handle_account_report_data"; // user_reports.cpp
inline constexpr const char* kGetReport = "_get_account_report";            // user_reports.cpp
} // namespace name

// Each defines its functions on `m`, capturing `ns` (the globals of `m`):
//   user_guard.cpp      _check_status
//   user_signature.cpp  _signature_headers
//   user_tokens.cpp     _request_access_token
//   user_linking.cpp    user_linking, revoke_refresh_token
//   user_accounts.cpp   list_accounts, _get_account, _update_account
//   user_reports.cpp    get_account_reports, _handle_account_report_data,
//                       get_bank_statements, _get_account_report
void def_guard(nb::module_& m, const Namespace& ns);
void def_signature(nb::module_& m, const Namespace& ns);
void def_tokens(nb::module_& m, const Namespace& ns);
void def_linking(nb::module_& m, const Namespace& ns);
void def_accounts(nb::module_& m, const Namespace& ns);
void def_reports(nb::module_& m, const Namespace& ns);

} // namespace corvane::user
