// _request_access_token: the OAuth token request (authorisation-code or
// refresh-token grant) against the service's token endpoint, authenticated
// with the configuration's client credentials, and the storage of the answer
// in the KAV User's token record. Also the Basic credential that the
// revocation request shares.
#include <string>

#include <openssl/crypto.h>

#include "corvane_user.h"
#include "crypto/base64.h"
#include "operation.h"

namespace corvane::user {
namespace {

// "Basic " + Base64 of the UTF-8 text str(client_identifier) + ":" +
// str(client_secret) of the configuration record `config`. An unset field is
// sent in its text form (the service's refusal then says what is wrong); a
// text that cannot be UTF-8 encoded (a lone surrogate) raises
// UnicodeEncodeError as str.encode would.
nb::str basic_credential(nb::handle config) {
    nb::object identifier = config.attr("client_identifier");
    nb::object secret = config.attr("client_secret");
    nb::str joined = host::concat({identifier, nb::str(":"), secret});
    std::string_view utf8 = host::utf8_of(joined, "credential");
    // Our copy of the encoded credential is as secret as the text: wiped on
    // every path (the host's own strings are beyond our reach).
    struct Wiped {
        std::string text;
        ~Wiped() { OPENSSL_cleanse(text.data(), text.size()); }
    } encoded{crypto::base64_encode(utf8)};
    return host::concat({nb::str("Basic "), host::make_str(encoded.text)});
}

} // namespace

ClientRequest client_request(const Namespace& ns, nb::handle config, const char* path) {
    nb::str url = host::concat({ns[operation::name::kHostUrl], nb::str(path)});
    nb::str authorization = basic_credential(config);
    nb::dict headers;
    headers["Content-Type"] = nb::str("application/x-www-form-urlencoded");
    headers["Authorization"] = authorization;
    return {url, headers};
}

nb::object post_client_request(const Namespace& ns, nb::handle session,
                               const ClientRequest& request, nb::handle data, nb::handle result,
                               const char* title) {
    nb::object response = session.attr("post")(request.url, nb::arg("data") = data,
                                               nb::arg("headers") = request.headers);
    if (host::truthy(response.attr("ok")))
        return response;
    host::fail_with_response(ns, result, title, response);
    return nb::object();
}

namespace {

constexpr const char* kTokenPath = "/corvane-connect/oauth2/token";

// The six keys of a token answer, each stored under the field of the same
// name, in this order.
constexpr const char* kTokenKeys[] = {"access_token",       "expires_in", "refresh_token",
                                      "refresh_expires_in", "scope",      "token_type"};

// Takes the KAV User, the HTTP session, the grant ("authorization_code" or
// "refresh_token") and the authorisation code (authorisation-code grant
// only). Returns {} once the tokens are stored and the user is "activated";
// {"error": ...} for a refresh without token record (translated, nothing
// sent), for any other grant ("NotImplementedError", nothing sent) or for a
// refusal of the service (logged; nothing written). Everything else (ORM,
// transport, JSON, a missing answer key) is the host's exception, raised
// before anything is written.
nb::dict request_access_token(const Namespace& ns, nb::handle kav_user, nb::handle session,
                              nb::handle grant_type, nb::handle auth_code) {
    nb::dict result;
    kav_user.attr("ensure_one")();
    nb::object config = kav_user.attr("corvane_connect_config_id");

    ClientRequest request = client_request(ns, config, kTokenPath);

    // Values go to the session as they are: it leaves out a None (an
    // authorisation-code call without a code sends no "code") and writes any
    // other value in its text form.
    nb::dict data;
    if (grant_type.equal(nb::str("authorization_code"))) {
        data["grant_type"] = nb::str("authorization_code");
        data["code"] = auth_code;
        data["redirect_uri"] = kav_user.attr("redirect_uri");
    } else if (grant_type.equal(nb::str("refresh_token"))) {
        nb::object token = kav_user.attr("access_token_id");
        if (!host::truthy(token)) {
            result["error"] = kav_user.attr("env").attr("_")(
                nb::str("No access token available.\nPlease restart the User Linking process."));
            return result;
        }
        data["grant_type"] = nb::str("refresh_token");
        data["refresh_token"] = token.attr("refresh_token");
    } else {
        result["error"] = nb::str("NotImplementedError");
        return result;
    }

    nb::object response =
        post_client_request(ns, session, request, data, result, "Request Access Tokens");
    if (!response.is_valid())
        return result;

    // Every key is read before anything is written: an incomplete answer
    // raises KeyError and leaves the records as they were.
    nb::object answer = response.attr("json")();
    nb::dict vals;
    for (const char* key : kTokenKeys) {
        nb::str name(key);
        nb::object value = answer[name];
        vals[name] = value;
    }

    nb::object token = kav_user.attr("access_token_id");
    if (host::truthy(token)) {
        token.attr("write")(vals);
    } else {
        // The token model is reached through the link itself: the empty
        // record set read from `access_token_id` creates on its own model.
        vals["corvane_connect_user_id"] = kav_user.attr("id");
        nb::object created = token.attr("create")(vals);
        kav_user.attr("access_token_id") = created;
    }
    if (kav_user.attr("state").not_equal(nb::str("activated")))
        kav_user.attr("state") = nb::str("activated");
    return result;
}

} // namespace

void def_tokens(nb::module_& m, const Namespace& ns) {
    m.def(
        "_request_access_token",
        [ns](nb::handle kav_user, nb::handle session, nb::handle grant_type, nb::handle auth_code) {
            return request_access_token(ns, kav_user, session, grant_type, auth_code);
        },
        // .none(): None is an ordinary argument here, as for any Python
        // function; what it leads to is decided where it is used.
        host::param("kav_user"), host::param("session"),
        host::param("grant_type") = "refresh_token", host::param("auth_code") = nb::none(),
        "Request OAuth tokens for `grant_type` and store them in the KAV User's token record: "
        "{} or {\"error\": message}.");
}

} // namespace corvane::user
