// The steps every signed operation on the service's accounts, reports and
// payments endpoints shares: the guard, the session and the token refresh
// that open it, the Bearer headers, one signed request (sign, send, report a
// refusal) and the paging of a listing. Each operation states only what
// differs: its path, its headers, its body and what it reads from the answer.
//
// The road of one signed request, from list_accounts to the signer:
//   1. user_accounts.cpp  list_accounts: operation::open (below) runs
//      `_check_status` (user_guard.cpp), takes the session and runs
//      `_request_access_token` (user_tokens.cpp), each looked up in the
//      module namespace (host_module.h: Namespace) at call time.
//   2. user_accounts.cpp  list_accounts: operation::page_through with the
//      target of kAccountsPath (operation::target: URL and signed request
//      target from one path) and operation::form_headers.
//   3. operation.cpp      page_through, for each page: send_signed with the
//      page's query (`urlencode`, looked up at call time).
//   4. operation.cpp      send_signed: `_signature_headers` looked up now and
//      called with the headers, the body and the signed target.
//   5. user_signature.cpp _signature_headers: the body digest (crypto/sha512),
//      the signing string, and `_corvane_connect_sign` looked up in the
//      namespace, where corvane_user.cpp bound it from corvane_keys.
//   6. keys_sign.cpp      _corvane_connect_sign: the key record's key read
//      (host_base64.h, crypto/base64, crypto/private_key) and RSASSA-PSS
//      (crypto/pss).
//   7. operation.cpp      send_signed: `session.get/post`, then a refused
//      answer logged and returned through host_result.h.
//
// The names these steps read from the calling module's namespace at call
// time: operation::name below.
#pragma once

#include <functional>
#include <initializer_list>

#include <nanobind/nanobind.h>

#include "host.h"

namespace corvane::operation {

namespace nb = nanobind;
using host::Namespace;

// The module-level names these shared steps read at call time; both modules
// that use them bind each at load (corvane_pain has no listing, so no
// `urlencode`).
namespace name {
inline constexpr const char* kHostUrl = "TOLVEX_API_HOST_URL"; // scheme and host of the service
inline constexpr const char* kCheckStatus = "_check_status";   // the guard
inline constexpr const char* kAccessToken = "_request_access_token"; // the token refresh
inline constexpr const char* kSign = "_signature_headers";           // the signature step
inline constexpr const char* kUrlencode = "urlencode";               // the query of a listing page
} // namespace name

// The signed endpoints of the service, below TOLVEX_API_HOST_URL; one item
// is the path + "/" + its identifier.
inline constexpr const char* kAccountsPath = "/corvane-connect/accounts";
inline constexpr const char* kAccountReportsPath = "/corvane-connect/account-reports";
inline constexpr const char* kPaymentRequestsPath =
    "/corvane-connect/bulk-payment-initiation-requests";

// The page size of every listing.
inline constexpr int kPageSize = 20;

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

enum class Method { Get, Post };

// Where one signed request goes, from one path: the URL the session is
// given and the request target that is signed. The path is inserted as it
// stands (no percent-encoding) in both.
struct Target {
    Method method;
    nb::str url;            // TOLVEX_API_HOST_URL + path
    nb::str request_target; // "get " + path or "post " + path
};

// TOLVEX_API_HOST_URL read now, then the path: the str() of each piece,
// concatenated as Python's "+" would.
Target target(const Namespace& ns, Method method, std::initializer_list<nb::handle> path);

// One signed request. `payload` is the body signed (an empty dictionary
// for none: the digest of zero bytes); `params` the query of a GET (then
// signed as target + "?" + urlencode(params), the encoding the session
// applies); `data` makes what a POST sends, once the signature is made.
struct Request {
    const Target& target;
    const char* title; // names the request in its refusal: "Error on '<title>':\n" + body
    nb::dict headers;  // sent as they are once the signature step has added to them
    nb::handle payload = nb::handle();
    nb::handle params = nb::handle();
    std::function<nb::object()> data = nullptr;
};

// The service's answer: `response` when it is `ok`; otherwise `failure`,
// the caller's result dictionary with "error" set (and logged).
struct Answer {
    nb::object response;
    nb::object failure;
    bool failed() const { return failure.is_valid(); }
};

// Signs the request through `_signature_headers(kav_user, headers, payload,
// signed target)` looked up now, then sends it with `session`:
// `get(url, headers=headers)` (`params=params` added when given) or
// `post(url, data=data, headers=headers)`. A refused answer is logged and
// stored under "error" in `result`. Exceptions of the signer and the
// session propagate unchanged.
Answer send_signed(const Namespace& ns, nb::handle kav_user, nb::handle session,
                   const Request& request, nb::handle result);

// The gathered items of a listing, or the failure of its first refused page.
struct Listing {
    nb::list items;
    nb::object failure;
    bool failed() const { return failure.is_valid(); }
};

// {"offset": 0, "size": kPageSize}: the first page's query, to which a
// listing may add its own parameters.
nb::dict first_page();

// How a listing's query moves on to the next page. The session is handed
// the query dictionary itself, and may keep it: each listing hands it over
// as it always has.
enum class NextQuery {
    New,      // a new {"offset": offset, "size": kPageSize} for each page
    Advanced, // the same dictionary, its "offset" advanced in place (keys keep their order)
};

// Pages through a listing with signed GETs of `target` and `params`: each
// entry of a page's "data" (walked with the host's iterator) is kept as
// `keep(entry)` makes it; "offset" advances by kPageSize, as `next` says. Asks for the next
// page while the count kept is below the page's meta.paging.total; ends
// when it is not (the count meets the total, passes it, or the total is no
// number: json reads NaN) and on a page without entries, so that no answer
// makes it page without end. A refused page ends it as `failure`.
Listing page_through(const Namespace& ns, nb::handle kav_user, nb::handle session,
                     const Target& target, const char* title, nb::dict headers, nb::dict params,
                     NextQuery next, nb::handle result, nb::object (*keep)(nb::handle entry));

} // namespace corvane::operation
