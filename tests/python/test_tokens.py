"""_request_access_token: the token request on the wire, the storage of the
answer in the token record, and every failure path (nothing sent where
nothing may be sent, nothing written where nothing may be written)."""

import base64
import json
import logging
import threading

import pytest
import requests

from corvane_core import corvane_user
from corvane_standins.http import FakeResponse, error_response, token_answer
from corvane_standins.world import REDIRECT_URI, make_world

TOKEN_URL = "https://api.tolvex.com/corvane-connect/oauth2/token"
TOKEN_MODEL = "corvane.connect.access.token"
USER_MODEL = "corvane.connect.kav.user"
LOGGER = "corvane_core.corvane_user"
NO_TOKEN = "No access token available.\nPlease restart the User Linking process."
TOKEN_FIELDS = ("access_token", "expires_in", "refresh_token", "refresh_expires_in", "scope", "token_type")


def basic(identifier, secret):
    """The Basic credential as the host's own codec writes it."""
    return "Basic " + base64.b64encode(f"{identifier}:{secret}".encode("utf-8")).decode("ascii")


def token_values(token):
    return {name: token[name] for name in TOKEN_FIELDS}


@pytest.fixture
def unlinked(session):
    """A world whose user has never been linked: "draft", no token record."""
    return make_world(session=session, user_vals={"with_token": False, "state": "draft"})


# pytest-run-parallel (scripts/variants/parallel_suite.sh): the threads of a test share its
# fixtures, and this one is a single world
UNLINKED = pytest.mark.thread_unsafe(reason="the unlinked world is one world, shared by the test's threads")


# --------------------------------------------------------------------------
# the request
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, fields, body",
    [
        pytest.param(
            {"grant_type": "authorization_code", "auth_code": "code-1"},
            [("grant_type", "authorization_code"), ("code", "code-1"), ("redirect_uri", REDIRECT_URI)],
            "grant_type=authorization_code&code=code-1&redirect_uri=https%3A%2F%2Fodoo.example.com"
            "%2Fcorvane_connect%2Fredirect",
            id="authorization_code",
        ),
        pytest.param(
            # the session leaves out the None: no "code" field at all
            {"grant_type": "authorization_code"},
            [("grant_type", "authorization_code"), ("code", None), ("redirect_uri", REDIRECT_URI)],
            "grant_type=authorization_code&redirect_uri=https%3A%2F%2Fodoo.example.com"
            "%2Fcorvane_connect%2Fredirect",
            id="authorization_code-without-code",
        ),
        pytest.param(
            {"grant_type": "refresh_token"},
            [("grant_type", "refresh_token"), ("refresh_token", "refresh-0")],
            "grant_type=refresh_token&refresh_token=refresh-0",
            id="refresh_token",
        ),
        pytest.param({}, [("grant_type", "refresh_token"), ("refresh_token", "refresh-0")],
                     "grant_type=refresh_token&refresh_token=refresh-0", id="default-grant"),
    ],
)
def test_token_request_on_the_wire(world, session, kwargs, fields, body):
    session.add(token_answer())
    assert corvane_user._request_access_token(world.user, session, **kwargs) == {}

    [call] = session.calls
    assert call.method == "POST"
    assert call.url == TOKEN_URL
    assert list(call.headers.items()) == [
        ("Content-Type", "application/x-www-form-urlencoded"),
        ("Authorization", basic("client-id", "client-secret")),
    ]
    assert list(call.data.items()) == fields
    assert call.wire.body == body
    # no timeout, no auth object, no query, no JSON body, no signature
    assert call.kwargs == {} and call.params is None and call.json is None
    assert "Signature" not in call.wire.headers and "Digest" not in call.wire.headers


def test_positional_arguments_and_host_url_read_at_call_time(world, session, monkeypatch):
    monkeypatch.setattr(corvane_user, "TOLVEX_API_HOST_URL", "https://sandbox.example.net")
    session.add(token_answer())
    assert corvane_user._request_access_token(world.user, session, "authorization_code", "c") == {}
    [call] = session.calls
    assert call.url == "https://sandbox.example.net/corvane-connect/oauth2/token"
    assert call.data["code"] == "c"


@pytest.mark.parametrize(
    "identifier, secret, expected",
    [
        ("client-id", "client-secret", basic("client-id", "client-secret")),
        # non-ASCII text is UTF-8 before Base64
        ("clïent-ßé", "s€cret-日本", basic("clïent-ßé", "s€cret-日本")),
        # a ":" inside the secret is kept; the first one separates
        ("id", "a:b:c", basic("id", "a:b:c")),
        # unset fields go out in their text form; the service refuses them
        (False, False, basic(False, False)),
        ("id", False, "Basic " + base64.b64encode(b"id:False").decode()),
    ],
)
def test_basic_credential(session, identifier, secret, expected):
    world = make_world(session=session, config_vals={"client_identifier": identifier, "client_secret": secret})
    session.add(token_answer())
    corvane_user._request_access_token(world.user, session, grant_type="refresh_token")
    assert session.calls[0].headers["Authorization"] == expected


def test_credential_that_is_not_utf8_encodable_raises_before_any_request(session):
    world = make_world(session=session, config_vals={"client_secret": "bad\udc80secret"})
    with pytest.raises(UnicodeEncodeError):
        corvane_user._request_access_token(world.user, session, grant_type="refresh_token")
    assert session.calls == [] and world.journal == []


# --------------------------------------------------------------------------
# storing the answer
# --------------------------------------------------------------------------


@UNLINKED
def test_first_authorization_code_answer_creates_a_token_record_linked_both_ways(unlinked, session):
    world = unlinked
    session.add(token_answer(access_token="acc-9", refresh_token="ref-9", expires_in=300,
                             refresh_expires_in=3600, scope="AI offline_access", token_type="bearer"))

    result = corvane_user._request_access_token(world.user, session, grant_type="authorization_code",
                                                auth_code="code-1")

    assert result == {}
    token = world.user.access_token_id
    assert token and token.corvane_connect_user_id == world.user
    assert world.user.state == "activated"
    expected = {"access_token": "acc-9", "expires_in": 300, "refresh_token": "ref-9",
                "refresh_expires_in": 3600, "scope": "AI offline_access", "token_type": "bearer"}
    assert token_values(token) == expected
    # the six keys in their order, then the link back; then the user's link
    # and state
    assert world.journal == [
        ("create", TOKEN_MODEL, (token.id,), {**expected, "corvane_connect_user_id": world.user.id}),
        ("write", USER_MODEL, (world.user.id,), {"access_token_id": token}),
        ("write", USER_MODEL, (world.user.id,), {"state": "activated"}),
    ]
    assert list(world.journal[0].vals) == [*TOKEN_FIELDS, "corvane_connect_user_id"]


@pytest.mark.parametrize("state, state_written", [("activated", False), ("draft", True), (False, True)])
def test_refresh_writes_the_existing_record(world, session, state, state_written):
    world.user.state = state
    world.journal.clear()
    # values are stored as the service sent them, without conversion
    answer = {"access_token": "acc-2", "expires_in": "1800", "refresh_token": "ref-2",
              "refresh_expires_in": 15552000.0, "scope": None, "token_type": "Bearer"}
    session.add(FakeResponse(200, json=answer))

    assert corvane_user._request_access_token(world.user, session, grant_type="refresh_token") == {}

    expected = [("write", TOKEN_MODEL, (world.token.id,), answer)]
    if state_written:
        expected.append(("write", USER_MODEL, (world.user.id,), {"state": "activated"}))
    assert world.journal == expected
    assert list(world.journal[0].vals) == list(TOKEN_FIELDS)
    assert type(world.journal[0].vals["expires_in"]) is str
    assert world.user.access_token_id == world.token
    assert world.user.state == "activated"


def test_authorization_code_for_a_user_with_a_token_record_reuses_it(world, session):
    session.add(token_answer(access_token="acc-3"))
    assert corvane_user._request_access_token(world.user, session, grant_type="authorization_code",
                                              auth_code="x") == {}
    assert world.journal.creates() == []
    assert world.token.access_token == "acc-3"


# --------------------------------------------------------------------------
# failures
# --------------------------------------------------------------------------


@UNLINKED
def test_refresh_without_token_record_sends_nothing(unlinked, session):
    world = unlinked
    world.env.translations[NO_TOKEN] = "Kein Zugriffstoken."
    result = corvane_user._request_access_token(world.user, session, grant_type="refresh_token")
    assert result == {"error": "Kein Zugriffstoken."}
    assert world.env.translated == [NO_TOKEN]
    assert session.calls == [] and world.journal == []


@pytest.mark.parametrize("grant_type", ["client_credentials", "", None, "REFRESH_TOKEN", b"refresh_token"])
def test_unsupported_grant_sends_nothing(world, session, grant_type):
    result = corvane_user._request_access_token(world.user, session, grant_type=grant_type)
    assert result == {"error": "NotImplementedError"}
    assert session.calls == [] and world.journal == []


@pytest.mark.thread_unsafe(reason="asserts the exact log records, and caplog gathers those of every thread")
def test_refused_request_returns_and_logs_the_body_and_writes_nothing(world, session, caplog):
    before = token_values(world.token)
    session.add(error_response(401, text='{"error": "invalid_grant"}'))

    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        result = corvane_user._request_access_token(world.user, session, grant_type="refresh_token")

    message = "Error on 'Request Access Tokens':\n" + '{"error": "invalid_grant"}'
    assert result == {"error": message}
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [(LOGGER, logging.ERROR, message)]
    assert world.journal == []
    assert token_values(world.token) == before and world.user.state == "activated"


def test_secrets_never_reach_the_log(world, session, caplog):
    session.add(error_response(400, text="refused"))
    with caplog.at_level(logging.DEBUG):
        corvane_user._request_access_token(world.user, session, grant_type="refresh_token")
    logged = "\n".join(r.getMessage() for r in caplog.records)
    assert "refused" in logged
    credential = basic("client-id", "client-secret")
    for secret in ("client-secret", credential, credential[len("Basic "):], "refresh-0", "access-0"):
        assert secret not in logged


def test_logger_is_looked_up_at_call_time(world, session, monkeypatch):
    seen = []

    class Recorder:
        def error(self, message, *args):
            seen.append(message)

    monkeypatch.setattr(corvane_user, "_logger", Recorder())
    session.add(error_response(500, text="down"))
    corvane_user._request_access_token(world.user, session)
    assert seen == ["Error on 'Request Access Tokens':\ndown"]


@pytest.mark.parametrize("missing", TOKEN_FIELDS)
def test_incomplete_answer_raises_key_error_before_anything_is_written(unlinked, session, missing):
    session.add(token_answer(drop=[missing]))
    with pytest.raises(KeyError, match=missing):
        corvane_user._request_access_token(unlinked.user, session, grant_type="authorization_code",
                                           auth_code="c")
    assert unlinked.journal == [] and not unlinked.user.access_token_id


@pytest.mark.parametrize(
    "answer, error",
    [
        (FakeResponse(200, text="<html>not json</html>"), json.JSONDecodeError),
        (FakeResponse(200, json=["a list"]), TypeError),
        (requests.ConnectionError("unreachable"), requests.ConnectionError),
    ],
    ids=["not-json", "not-an-object", "transport"],
)
def test_host_errors_reach_the_caller_and_nothing_is_written(world, session, answer, error):
    session.add(answer)
    with pytest.raises(error):
        corvane_user._request_access_token(world.user, session, grant_type="refresh_token")
    assert world.journal == []


@pytest.mark.parametrize("size", [0, 2])
def test_record_set_of_other_than_one_user_fails_before_any_request(world, session, size):
    users = world.user.browse()
    for _ in range(size):
        users |= world.new_user()
    world.journal.clear()
    with pytest.raises(ValueError, match="Expected singleton"):
        corvane_user._request_access_token(users, session, grant_type="refresh_token")
    assert session.calls == [] and world.journal == []


def test_none_for_the_user_or_the_session_fails_as_python_code_would(world, session):
    # None is accepted as an argument and fails where it is used
    with pytest.raises(AttributeError, match="ensure_one"):
        corvane_user._request_access_token(None, session)
    with pytest.raises(AttributeError, match="post"):
        corvane_user._request_access_token(world.user, None, grant_type="refresh_token", auth_code=None)
    assert world.journal == []


@pytest.mark.thread_unsafe(reason="runs threads of its own on the one session it counts the calls of")
def test_parallel_refreshes_of_different_users_keep_their_own_tokens(world, session):
    # nothing is shared between calls: under a free-threaded interpreter the
    # calls really overlap, and each user must end with its own answer
    users = [world.user] + [world.new_user() for _ in range(5)]
    for user in users:
        user.access_token_id.refresh_token = f"refresh-of-{user.id}"
    session.route(lambda call: token_answer(access_token="for-" + call.data["refresh_token"],
                                            refresh_token=call.data["refresh_token"]))
    errors = []

    def refresh(user):
        try:
            for _ in range(20):
                assert corvane_user._request_access_token(user, session, grant_type="refresh_token") == {}
        except BaseException as exc:  # reported below, in the test's thread
            errors.append(exc)

    threads = [threading.Thread(target=refresh, args=(user,)) for user in users]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    assert len(session.calls) == 20 * len(users)
    for user in users:
        assert user.access_token_id.access_token == f"for-refresh-of-{user.id}"
