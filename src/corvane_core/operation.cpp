// The opening, the signed request and the paging shared by the signed
// operations.
#include "operation.h"

namespace corvane::operation {

Opening open(const Namespace& ns, nb::handle kav_user, const char* operation, SessionFrom from,
             nb::handle session) {
    Opening opening;
    nb::object guard = ns[name::kCheckStatus](kav_user, nb::arg("operation") = operation);
    if (host::has_error(guard)) {
        opening.refusal = guard;
        return opening;
    }
    if (from == SessionFrom::Caller ||
        (from == SessionFrom::CallerOrConfiguration && host::truthy(session)))
        opening.session = nb::borrow(session);
    else
        opening.session = kav_user.attr("corvane_connect_config_id").attr("_get_session")();
    nb::object result =
        ns[name::kAccessToken](kav_user, opening.session, nb::arg("grant_type") = "refresh_token");
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

Target target(const Namespace& ns, Method method, std::initializer_list<nb::handle> path) {
    nb::object host_url = ns[name::kHostUrl];
    nb::str joined = host::concat(path);
    const char* verb = method == Method::Get ? "get " : "post ";
    return Target{method, host::concat({host_url, joined}), host::concat({nb::str(verb), joined})};
}

Answer send_signed(const Namespace& ns, nb::handle kav_user, nb::handle session,
                   const Request& request, nb::handle result) {
    nb::object empty_body; // no body: the digest is that of zero bytes
    nb::handle payload = request.payload;
    if (!payload.is_valid()) {
        empty_body = nb::dict();
        payload = empty_body;
    }
    nb::str signed_target = request.target.request_target;
    if (request.params.is_valid())
        signed_target =
            host::concat({signed_target, nb::str("?"), ns[name::kUrlencode](request.params)});
    ns[name::kSign](kav_user, request.headers, payload, signed_target);

    nb::object response;
    if (request.target.method == Method::Post)
        response = session.attr("post")(request.target.url, nb::arg("data") = request.data(),
                                        nb::arg("headers") = request.headers);
    else if (request.params.is_valid())
        response = session.attr("get")(request.target.url, nb::arg("headers") = request.headers,
                                       nb::arg("params") = request.params);
    else
        response = session.attr("get")(request.target.url, nb::arg("headers") = request.headers);

    Answer answer;
    if (host::truthy(response.attr("ok")))
        answer.response = response;
    else
        answer.failure = host::fail_with_response(ns, result, request.title, response);
    return answer;
}

namespace {

nb::dict page_query(long long offset) {
    nb::dict params;
    params["offset"] = nb::int_(offset);
    params["size"] = nb::int_(kPageSize);
    return params;
}

} // namespace

nb::dict first_page() {
    return page_query(0);
}

Listing page_through(const Namespace& ns, nb::handle kav_user, nb::handle session,
                     const Target& target, const char* title, nb::dict headers, nb::dict params,
                     NextQuery next, nb::handle result, nb::object (*keep)(nb::handle entry)) {
    Listing listing;
    // One header dictionary for every page: each page signs it anew.
    Request request{target, title, headers};
    request.params = params;
    long long offset = 0;
    for (;;) {
        Answer answer = send_signed(ns, kav_user, session, request, result);
        if (answer.failed()) {
            listing.failure = answer.failure;
            return listing;
        }
        nb::object body = answer.response.attr("json")();
        nb::object total = body["meta"]["paging"]["total"];
        std::size_t page_entries = 0;
        nb::object entries = body["data"];
        for (nb::handle entry : host::each(entries)) {
            listing.items.append(keep(entry));
            ++page_entries;
        }
        nb::int_ gathered(listing.items.size());
        if (!host::compare(gathered, total, Py_LT) || page_entries == 0)
            return listing;
        offset += kPageSize;
        if (next == NextQuery::New) {
            params = page_query(offset);
            request.params = params;
        } else {
            params["offset"] = nb::int_(offset);
        }
    }
}

} // namespace corvane::operation
