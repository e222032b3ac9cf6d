// user_linking and revoke_refresh_token: the start of the OAuth
// authorisation-code flow (the URL action that sends the browser to the
// bank's authorisation server) and the revocation of a KAV User's refresh
// token at the service.
#include "corvane_user.h"

namespace corvane::user {

// The bank's OpenID Connect servers (authorisation servers), scheme and host
// without a trailing "/". The system parameter "corvane_connect.mode" set to
// "test" chooses the beta server; any other value, or none, production.
constexpr const char* kAuthServerProduction = "https://auth.corvane.com";
constexpr const char* kAuthServerBeta = "https://auth.beta.corvane.com";

namespace {

constexpr const char* kAuthPath = "/auth/realms/corvane/protocol/openid-connect/auth";
constexpr const char* kRevokePath = "/corvane-connect/oauth2/revoke";

// Takes the KAV User. Returns {"return": the ir.actions.act_url action of the
// authorisation URL}, or {"error": translated message} when the
// configuration lacks its client identifier (checked first) or its secret.
// Sends nothing and writes nothing.
nb::dict user_linking(nb::handle kav_user) {
    nb::dict result;
    nb::object mode = kav_user.attr("env")[nb::str("ir.config_parameter")].attr("sudo")().attr(
        "get_param")(nb::str("corvane_connect.mode"));
    nb::object config = kav_user.attr("corvane_connect_config_id");
    if (!host::truthy(config.attr("client_identifier"))) {
        result["error"] = kav_user.attr("env").attr("_")(
            nb::str("Please provide your Corvane Connect Client ID"));
        return result;
    }
    if (!host::truthy(config.attr("client_secret"))) {
        result["error"] = kav_user.attr("env").attr("_")(
            nb::str("Please provide your Corvane Connect Client Secret"));
        return result;
    }

    // The blanks between scope names are already percent-encoded: the URL is
    // assembled as it stands, nothing in it is encoded again.
    nb::object rights = kav_user.attr("transaction_rights");
    const char* scope = "PI%20offline_access";
    if (rights.equal(nb::str("both")))
        scope = "AI%20PI%20offline_access";
    else if (rights.equal(nb::str("down")))
        scope = "AI%20offline_access";

    nb::object state = kav_user.attr("id");
    const char* base = mode.equal(nb::str("test")) ? kAuthServerBeta : kAuthServerProduction;
    // The client identifier and the redirect URI go in unencoded: the
    // authorisation server and the addon's redirect handler expect them so.
    nb::str url = host::concat(
        {nb::str(base), nb::str(kAuthPath), nb::str("?client_id="),
         config.attr("client_identifier"), nb::str("&redirect_uri="), kav_user.attr("redirect_uri"),
         nb::str("&response_type=code&scope="), nb::str(scope), nb::str("&state="), state});

    nb::dict action;
    action["type"] = nb::str("ir.actions.act_url");
    action["url"] = url;
    action["target"] = nb::str("kav_user");
    result["return"] = action;
    return result;
}

// Takes the KAV User. Asks the service to revoke the refresh token of the
// user's token record (the unset value in its text form when there is no
// record; the service's answer decides). Returns {} and sets the user to
// "draft" on success, whatever its state was; on a refusal returns and logs
// "Error on 'Revoke Session Token':\n" + body, state unchanged. Transport and
// ORM errors are the host's exceptions.
nb::dict revoke_refresh_token(const Namespace& ns, nb::handle kav_user) {
    nb::dict result;
    nb::object session = kav_user.attr("corvane_connect_config_id").attr("_get_session")();
    nb::object config = kav_user.attr("corvane_connect_config_id");

    ClientRequest request = client_request(ns, config, kRevokePath);
    nb::dict data;
    data["token"] = kav_user.attr("access_token_id").attr("refresh_token");
    if (!post_client_request(ns, session, request, data, result, "Revoke Session Token").is_valid())
        return result;
    kav_user.attr("state") = nb::str("draft");
    return result;
}

} // namespace

void def_linking(nb::module_& m, const Namespace& ns) {
    // .none(): None is an ordinary argument, as for any Python function; it
    // fails at its first use.
    m.def("user_linking", &user_linking, host::param("kav_user"),
          "Start the OAuth linking of the KAV User: {\"return\": URL action} or {\"error\": "
          "message}.");
    m.def(
        "revoke_refresh_token",
        [ns](nb::handle kav_user) { return revoke_refresh_token(ns, kav_user); },
        host::param("kav_user"),
        "Revoke the KAV User's refresh token at the service and set the user to draft: {} or "
        "{\"error\": message}.");
}

} // namespace corvane::user
