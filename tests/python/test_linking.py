"""user_linking (the authorisation URL action) and revoke_refresh_token (the
revocation request and the user's return to "draft")."""

import base64
import logging

import pytest
import requests

from corvane_core import corvane_user
from corvane_standins.http import FakeResponse, error_response
from corvane_standins.world import REDIRECT_URI, make_world

PRODUCTION = "https://auth.corvane.com"
BETA = "https://auth.beta.corvane.com"
AUTH_PATH = "/auth/realms/corvane/protocol/openid-connect/auth"
REVOKE_URL = "https://api.tolvex.com/corvane-connect/oauth2/revoke"
USER_MODEL = "corvane.connect.kav.user"
LOGGER = "corvane_core.corvane_user"
NO_CLIENT_ID = "Please provide your Corvane Connect Client ID"
NO_CLIENT_SECRET = "Please provide your Corvane Connect Client Secret"
PUBLIC_NAMES = ["get_account_reports", "list_accounts", "revoke_refresh_token", "user_linking"]


def basic(identifier, secret):
    return "Basic " + base64.b64encode(f"{identifier}:{secret}".encode("utf-8")).decode("ascii")


def link_url(world):
    result = corvane_user.user_linking(world.user)
    assert list(result) == ["return"]
    return result["return"]["url"]


def test_public_names_keep_their_order():
    assert "user_linking" in corvane_user.__all__ and "revoke_refresh_token" in corvane_user.__all__
    assert corvane_user.__all__ == [name for name in PUBLIC_NAMES if name in corvane_user.__all__]


# --------------------------------------------------------------------------
# user_linking
# --------------------------------------------------------------------------


def test_linking_action(world, session):
    result = corvane_user.user_linking(kav_user=world.user)

    assert list(result) == ["return"]
    action = result["return"]
    assert list(action) == ["type", "url", "target"]
    assert action["type"] == "ir.actions.act_url"
    assert action["target"] == "kav_user"
    assert action["url"] == (
        f"{PRODUCTION}{AUTH_PATH}?client_id=client-id&redirect_uri={REDIRECT_URI}"
        f"&response_type=code&scope=AI%20PI%20offline_access&state={world.user.id}"
    )
    # nothing sent, no session asked for, nothing written, nothing translated
    assert session.calls == [] and world.addon.session_requests == []
    assert world.journal == [] and world.env.translated == []


@pytest.mark.parametrize(
    "mode, base",
    [(None, PRODUCTION), ("prod", PRODUCTION), ("production", PRODUCTION), ("TEST", PRODUCTION),
     (" test", PRODUCTION), ("test", BETA)],
)
def test_mode_chooses_the_authorisation_server(session, mode, base):
    world = make_world(session=session, mode=mode)
    assert link_url(world).startswith(base + AUTH_PATH + "?")


@pytest.mark.parametrize(
    "rights, scope",
    [("both", "AI%20PI"), ("down", "AI"), ("up", "PI"), ("", "PI"), ("Both", "PI")],
)
def test_scope_follows_transaction_rights(session, rights, scope):
    world = make_world(session=session, user_vals={"transaction_rights": rights})
    assert f"&response_type=code&scope={scope}%20offline_access&state=" in link_url(world)


@pytest.mark.parametrize(
    "identifier, redirect_uri",
    [
        ("client id/ü", "https://odoo.example.com/cb?db=prod&lang=fr_BE"),
        ("a&b=c", "https://odoo.example.com/cb#frag"),
    ],
)
def test_url_pieces_are_inserted_as_they_stand(session, identifier, redirect_uri):
    world = make_world(session=session, config_vals={"client_identifier": identifier},
                       user_vals={"redirect_uri": redirect_uri})
    assert link_url(world) == (
        f"{PRODUCTION}{AUTH_PATH}?client_id={identifier}&redirect_uri={redirect_uri}"
        f"&response_type=code&scope=AI%20PI%20offline_access&state={world.user.id}"
    )


def test_state_is_the_users_id(world):
    world.new_user()
    other = world.new_user()
    assert other.id not in (1, world.user.id)
    url = corvane_user.user_linking(other)["return"]["url"]
    assert url.endswith(f"&state={other.id}")


@pytest.mark.parametrize(
    "identifier, secret, message",
    [
        (False, "client-secret", NO_CLIENT_ID),
        ("", "client-secret", NO_CLIENT_ID),
        ("client-id", False, NO_CLIENT_SECRET),
        (False, False, NO_CLIENT_ID),  # the identifier is checked first
    ],
)
def test_missing_credentials(session, identifier, secret, message):
    world = make_world(session=session, config_vals={"client_identifier": identifier, "client_secret": secret},
                       translations={NO_CLIENT_ID: "ID fehlt", NO_CLIENT_SECRET: "Secret fehlt"})
    result = corvane_user.user_linking(world.user)
    assert result == {"error": world.env.translations[message]}
    assert world.env.translated == [message]
    assert session.calls == [] and world.journal == []


def test_linking_needs_exactly_one_user(world, session):
    users = world.user | world.new_user()
    world.journal.clear()
    with pytest.raises(ValueError, match="Expected singleton"):
        corvane_user.user_linking(users)
    assert session.calls == [] and world.journal == []


# --------------------------------------------------------------------------
# revoke_refresh_token
# --------------------------------------------------------------------------


@pytest.mark.parametrize("state", ["activated", "draft"])
def test_revocation(world, session, state):
    world.user.state = state
    world.journal.clear()
    session.add(FakeResponse(200, text=""))

    assert corvane_user.revoke_refresh_token(kav_user=world.user) == {}

    [call] = session.calls
    assert (call.method, call.url) == ("POST", REVOKE_URL)
    assert list(call.headers.items()) == [
        ("Content-Type", "application/x-www-form-urlencoded"),
        ("Authorization", basic("client-id", "client-secret")),
    ]
    assert list(call.data.items()) == [("token", "refresh-0")]
    assert call.wire.body == "token=refresh-0"
    assert call.kwargs == {} and call.params is None and call.json is None
    assert world.addon.session_requests == [world.config]
    # "draft" whatever the state was; the token record stays in place
    assert world.journal == [("write", USER_MODEL, (world.user.id,), {"state": "draft"})]
    assert world.user.state == "draft" and world.user.access_token_id == world.token
    assert world.token.refresh_token == "refresh-0"


@pytest.mark.parametrize(
    "answer, result, state",
    [
        (FakeResponse(200, text=""), {}, "draft"),
        (error_response(400, text="invalid token"), {"error": "Error on 'Revoke Session Token':\ninvalid token"},
         "activated"),
    ],
    ids=["accepted", "refused"],
)
def test_revocation_without_token_record_sends_the_unset_value(session, answer, result, state):
    world = make_world(session=session, user_vals={"with_token": False})
    session.add(answer)
    assert corvane_user.revoke_refresh_token(world.user) == result
    [call] = session.calls
    assert list(call.data.items()) == [("token", False)]
    assert call.wire.body == "token=False"
    assert world.user.state == state


def test_revocation_uses_the_shared_credential_and_the_host_url_at_call_time(session, monkeypatch):
    monkeypatch.setattr(corvane_user, "TOLVEX_API_HOST_URL", "https://sandbox.example.net")
    world = make_world(session=session, config_vals={"client_identifier": "ïd", "client_secret": "s€c:ret"})
    session.add(FakeResponse(204, text=""))
    assert corvane_user.revoke_refresh_token(world.user) == {}
    [call] = session.calls
    assert call.url == "https://sandbox.example.net/corvane-connect/oauth2/revoke"
    assert call.headers["Authorization"] == basic("ïd", "s€c:ret")


@pytest.mark.thread_unsafe(reason="asserts the exact log records, and caplog gathers those of every thread")
def test_refused_revocation_is_logged_and_returned_and_changes_nothing(world, session, caplog):
    session.add(error_response(401, text="unauthorized_client"))
    with caplog.at_level(logging.DEBUG):
        result = corvane_user.revoke_refresh_token(world.user)

    message = "Error on 'Revoke Session Token':\nunauthorized_client"
    assert result == {"error": message}
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [(LOGGER, logging.ERROR, message)]
    assert world.journal == [] and world.user.state == "activated"
    # secrets never reach the log
    credential = basic("client-id", "client-secret")
    for secret in ("client-secret", credential[len("Basic "):], "refresh-0"):
        assert secret not in caplog.text


def test_transport_error_reaches_the_caller(world, session):
    session.add(requests.Timeout("slow"))
    with pytest.raises(requests.Timeout):
        corvane_user.revoke_refresh_token(world.user)
    assert world.journal == [] and world.user.state == "activated"


def test_revocation_needs_exactly_one_user(world, session):
    users = world.user | world.new_user()
    world.journal.clear()
    with pytest.raises(ValueError, match="Expected singleton"):
        corvane_user.revoke_refresh_token(users)
    assert session.calls == [] and world.journal == []
