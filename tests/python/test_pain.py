"""Payment initiation: the upload of a pain file (_pain_request) and the
refresh of the request's status (refresh_state), against the in-memory ORM
and the fake session.

The end-to-end tests go through the real token request; the others replace
the token step through corvane_pain's namespace.  Every upload and status
request is checked with the independent verifier over the request target
and the body bytes that actually went on the wire."""

import base64
import binascii
import logging
import types

import pytest
import requests

from corvane_core import corvane_pain, corvane_user
from corvane_standins.http import FakeResponse, error_response, json_response, pain_answer, token_answer
from corvane_standins.signed import assert_signed_request

BASE = "https://api.tolvex.com"
ENDPOINT = "/corvane-connect/bulk-payment-initiation-requests"
TOKEN_URL = BASE + "/corvane-connect/oauth2/token"
PAIN = "corvane.connect.pain.request"
LOGGER = "corvane_core.corvane_pain"
GUARD_USER = "Operation 'pain-request' is not allowed for inactive Users."
GUARD_CONFIG = "Operation 'pain-request' is not allowed for an inactive Corvane Connect Config."
XML = '<?xml version="1.0" encoding="UTF-8"?><Document><Nm>Zoë Müller € 株式会社</Nm></Document>'


def assert_signed(world, call, token):
    """"Digest" covers the bytes on the wire and "Signature" verifies over
    the request target of the request line and the Bearer token."""
    assert_signed_request(call, world.key_material.public_pem, corvane_user.TOLVEX_API_HOST, token=token)


class TokenStep:
    """Stand-in for the token step: records its calls, answers `answer`."""

    def __init__(self, answer=None):
        self.calls = []
        self.answer = {} if answer is None else answer

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.answer


@pytest.fixture
def tokens(monkeypatch):
    step = TokenStep()
    monkeypatch.setattr(corvane_pain, "_request_access_token", step)
    return step


def loose_record(world, data, name="payment.xml"):
    """A request record whose `data` reads exactly `data` (the ORM would
    turn it into bytes first)."""
    return types.SimpleNamespace(kav_user_id=world.user, name=name, data=data, identifier=False, state="draft")


# --------------------------------------------------------------------------
# upload
# --------------------------------------------------------------------------


def test_upload_end_to_end(world, session, caplog):
    record = world.pain_request(XML, name="P")
    session.add(token_answer(access_token="access-1"), pain_answer("pain-7", "ACCP"))

    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        assert corvane_pain._pain_request(record) == {}

    token_call, call = session.calls
    assert token_call.url == TOKEN_URL and token_call.data["grant_type"] == "refresh_token"
    assert world.addon.session_requests == [world.config]
    assert call.method == "POST" and call.url == BASE + ENDPOINT
    assert call.target == "post " + ENDPOINT
    assert call.params is None and call.json is None and call.kwargs == {}
    # the token is the one just refreshed, read after the token step
    assert list(call.headers.items())[:5] == [
        ("Content-Type", "application/xml"),
        ("Authorization", "Bearer access-1"),
        ("Content-Disposition", 'inline; filename="P"'),
        ("Is-Shared", "True"),
        ("Hide-Details", "True"),
    ]
    assert list(call.headers)[5:] == ["Digest", "Signature"]
    assert call.wire.body_bytes == XML.encode("utf-8")
    assert call.wire.headers["Content-Length"] == str(len(XML.encode("utf-8")))
    assert_signed(world, call, "access-1")

    assert (record.identifier, record.state) == ("pain-7", "ACCP")
    assert [e.vals for e in world.journal.writes(PAIN)] == [{"identifier": "pain-7"}, {"state": "ACCP"}]
    assert caplog.records == []


@pytest.mark.parametrize("urllib3_1", [False, True], ids=["urllib3-2", "urllib3-1"])
def test_wire_carries_the_digested_bytes_whatever_the_transport(world, session, tokens, monkeypatch, urllib3_1):
    # urllib3 1.x sends a text body Latin-1 encoded (and requests then counts
    # characters for Content-Length): the body must reach the session as the
    # UTF-8 bytes that the digest covers.
    monkeypatch.setattr(requests.utils, "is_urllib3_1", urllib3_1)
    session.add(pain_answer())
    assert corvane_pain._pain_request(world.pain_request(XML)) == {}
    [call] = session.calls
    assert call.wire.body_bytes == XML.encode("utf-8")
    assert call.wire.headers["Content-Length"] == str(len(XML.encode("utf-8")))
    assert_signed(world, call, "access-0")


@pytest.mark.parametrize("name, disposition", [
    ('pay"ment.xml', 'inline; filename="pay"ment.xml"'),   # copied unescaped
    ("virement été.xml", 'inline; filename="virement été.xml"'),
    (False, 'inline; filename="False"'),                    # an unset name in its text form
])
def test_content_disposition_holds_the_name_as_it_stands(world, session, tokens, name, disposition):
    record = world.pain_request(XML, name=name)
    session.add(pain_answer())
    assert corvane_pain._pain_request(record) == {}
    assert session.calls[0].headers["Content-Disposition"] == disposition


@pytest.mark.parametrize("data", [
    pytest.param(base64.b64encode(XML.encode()), id="bytes"),
    pytest.param(base64.b64encode(XML.encode()).decode(), id="str"),
    pytest.param(bytearray(base64.b64encode(XML.encode())), id="bytearray"),
    pytest.param(base64.encodebytes(XML.encode()), id="with-line-breaks"),
    pytest.param(b" QUJD\t!!\nRA==\n!", id="characters-outside-the-alphabet"),
    pytest.param(memoryview(b"QxUxJxDx")[::2], id="non-contiguous-buffer"),
    pytest.param(b"", id="empty"),
    pytest.param(base64.b64encode("\ufeff<a/>".encode()), id="bom-kept"),
    pytest.param(base64.b64encode(("é€" * 300_000).encode()), id="large"),  # decoded without the lock
])
def test_body_is_the_hosts_decoding(world, session, tokens, data):
    expected = base64.b64decode(data).decode("utf-8")
    record = loose_record(world, data)
    session.add(pain_answer("pain-2", "RCVD"))

    assert corvane_pain._pain_request(record) == {}

    [call] = session.calls
    assert call.wire.body_bytes == expected.encode("utf-8")
    assert call.wire.headers.get("Content-Length", "0") == str(len(expected.encode("utf-8")))
    assert_signed(world, call, "access-0")
    assert (record.identifier, record.state) == ("pain-2", "RCVD")


@pytest.mark.parametrize("data", [b"QUJDRA==garbage", b"QQ==QQ==", b"QUI=QUJD"])
def test_data_after_padding_is_decoded_as_the_running_interpreter_decodes_it(world, session, tokens, data):
    # Interpreters differ here (older ones stop at a completed pad, patched
    # ones read on): the module gives whatever this one's b64decode gives.
    record = loose_record(world, data)
    try:
        expected = base64.b64decode(data).decode("utf-8")
    except (binascii.Error, UnicodeDecodeError) as host_error:
        with pytest.raises(type(host_error)) as caught:
            corvane_pain._pain_request(record)
        assert str(caught.value) == str(host_error)
        assert session.calls == []
        return
    session.add(pain_answer())
    assert corvane_pain._pain_request(record) == {}
    assert session.calls[0].wire.body_bytes == expected.encode("utf-8")


def test_ambiguous_data_goes_through_the_modules_base64_binding(world, session, tokens, monkeypatch):
    seen = []

    class Codec:
        @staticmethod
        def b64decode(value):
            seen.append(value)
            return b"<decoded-by-binding/>"

    monkeypatch.setattr(corvane_pain, "base64", Codec)
    session.add(pain_answer())
    assert corvane_pain._pain_request(loose_record(world, b"QQ==QQ==")) == {}
    assert seen == [b"QQ==QQ=="]
    assert session.calls[0].wire.body_bytes == b"<decoded-by-binding/>"


@pytest.mark.parametrize("data", [
    pytest.param(b"QUJ", id="incorrect-padding"),
    pytest.param(b"QUJDR", id="one-character-too-many"),
    pytest.param("QUJD\u00e9", id="non-ascii-text"),
    pytest.param(False, id="unset-field"),
    pytest.param(12, id="not-text"),
    pytest.param(base64.b64encode(b"<a>\xff</a>"), id="not-utf8"),
    pytest.param(base64.b64encode("\ud800".encode("utf-8", "surrogatepass")), id="encoded-surrogate"),
    pytest.param(base64.b64encode(b"\xc3\xa9"[:1] * 2_000_000), id="large-not-utf8"),
])
def test_broken_data_raises_the_hosts_error_and_sends_nothing(world, session, tokens, data):
    with pytest.raises(Exception) as expected:
        base64.b64decode(data).decode("utf-8")
    record = loose_record(world, data)

    with pytest.raises(type(expected.value)) as raised:
        corvane_pain._pain_request(record)

    assert type(raised.value) is type(expected.value) and str(raised.value) == str(expected.value)
    assert session.calls == []
    assert len(tokens.calls) == 1  # the decoding comes after the token step
    assert (record.identifier, record.state) == (False, "draft")


@pytest.mark.parametrize("status, body", [(400, "bad file"), (500, "Fehler: ungültig ✗"), (404, "")])
def test_rejected_upload_returns_and_logs_only_the_error(world, session, monkeypatch, caplog, status, body):
    # a token step whose dictionary has other keys: none of them may leak
    monkeypatch.setattr(corvane_pain, "_request_access_token", TokenStep({"note": "kept out"}))
    record = world.pain_request(XML)
    session.add(error_response(status, body))

    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        result = corvane_pain._pain_request(record)

    message = "Error on 'Payment Initiation Request':\n" + body
    assert result == {"error": message}
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [(LOGGER, logging.ERROR, message)]
    assert world.journal.writes(PAIN) == []


@pytest.mark.parametrize("answer, exception, identifier", [
    (FakeResponse(200, text="<html>not json"), requests.exceptions.JSONDecodeError, False),
    (json_response({"errors": []}), KeyError, False),
    (json_response({"data": {"attributes": {"status": "ACCP"}}}), KeyError, False),
    # the identifier comes first and is already written when the status is missing
    (json_response({"data": {"id": "pain-9", "attributes": {}}}), KeyError, "pain-9"),
    (json_response({"data": {"id": "pain-9"}}), KeyError, "pain-9"),
    (requests.ConnectionError("reset"), requests.ConnectionError, False),
])
def test_unusable_success_answers_and_transport_errors_propagate(world, session, tokens, answer, exception,
                                                                 identifier):
    record = world.pain_request(XML)
    session.add(answer)
    with pytest.raises(exception):
        corvane_pain._pain_request(record)
    assert (record.identifier, record.state) == (identifier, "draft")


def test_answer_values_are_stored_as_received(world, session, tokens):
    record = world.pain_request(XML)
    session.add(json_response({"data": {"id": 4711, "attributes": {"status": "PART"}}}))
    assert corvane_pain._pain_request(record) == {}
    assert [e.vals for e in world.journal.writes(PAIN)] == [{"identifier": 4711}, {"state": "PART"}]


def test_upload_again_overwrites_both_fields(world, session, tokens):
    record = world.pain_request(XML, identifier="old", state="ACCP")
    session.add(pain_answer("new", "RCVD"))
    assert corvane_pain._pain_request(record) == {}
    assert (record.identifier, record.state) == ("new", "RCVD")


# --------------------------------------------------------------------------
# status refresh
# --------------------------------------------------------------------------


@pytest.mark.parametrize("identifier, segment", [
    ("pain-7", "pain-7"),
    (False, "False"),  # not checked: an unset identifier goes in its text form
])
def test_refresh_end_to_end(world, session, caplog, identifier, segment):
    record = world.pain_request(XML, identifier=identifier)
    world.journal.clear()
    session.add(token_answer(access_token="access-1"), pain_answer(segment, "ACSC"))

    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        assert corvane_pain.refresh_state(record) == {}

    token_call, call = session.calls
    assert token_call.url == TOKEN_URL and token_call.data["grant_type"] == "refresh_token"
    assert world.addon.session_requests == [world.config]
    assert call.method == "GET" and call.url == f"{BASE}{ENDPOINT}/{segment}"
    assert call.target == f"get {ENDPOINT}/{segment}"
    assert call.params is None and call.data is None and call.json is None and call.kwargs == {}
    assert list(call.headers) == ["Authorization", "Digest", "Signature"]  # no Content-Type
    assert call.headers["Authorization"] == "Bearer access-1"
    assert call.wire.body_bytes == b""
    assert_signed(world, call, "access-1")

    assert record.state == "ACSC"
    assert [e.vals for e in world.journal.writes(PAIN)] == [{"state": "ACSC"}]
    assert caplog.records == []


def test_refused_refresh_returns_and_logs_only_the_error(world, session, monkeypatch, caplog):
    monkeypatch.setattr(corvane_pain, "_request_access_token", TokenStep({"note": "kept out"}))
    record = world.pain_request(XML, identifier="pain-7", state="RCVD")
    world.journal.clear()
    session.add(error_response(404, "no such request"))

    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        result = corvane_pain.refresh_state(record)

    message = "Error on 'Payment Initiation Request Status':\nno such request"
    assert result == {"error": message}
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [(LOGGER, logging.ERROR, message)]
    assert record.state == "RCVD" and world.journal.writes(PAIN) == []


@pytest.mark.parametrize("answer, exception", [
    (FakeResponse(200, text="not json"), requests.exceptions.JSONDecodeError),
    (json_response({"data": {"id": "pain-7"}}), KeyError),
    (json_response({"data": {"attributes": {}}}), KeyError),
    (requests.Timeout("slow"), requests.Timeout),
])
def test_unusable_status_answers_propagate(world, session, tokens, answer, exception):
    record = world.pain_request(XML, identifier="pain-7", state="RCVD")
    session.add(answer)
    with pytest.raises(exception):
        corvane_pain.refresh_state(record)
    assert record.state == "RCVD"


def test_refresh_signer_failure_sends_nothing(world, session, tokens):
    world.user.sign_cert_id = False
    record = world.pain_request(XML, identifier="pain-7", state="RCVD")
    with pytest.raises(TypeError):  # the empty key record has no key text
        corvane_pain.refresh_state(record)
    assert session.calls == [] and record.state == "RCVD"


# --------------------------------------------------------------------------
# refusals before anything is sent (both functions)
# --------------------------------------------------------------------------

FUNCTIONS = [corvane_pain._pain_request, corvane_pain.refresh_state]


@pytest.mark.parametrize("fn", FUNCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("user_vals, config_vals, message", [
    ({"state": "draft"}, {}, GUARD_USER),
    ({"active": False}, {}, GUARD_USER),
    ({"state": "draft"}, {"state": "draft"}, GUARD_USER),
    ({}, {"state": "draft"}, GUARD_CONFIG),
    ({}, {"active": False}, GUARD_CONFIG),
])
def test_guard_refusal_takes_no_session(world, session, fn, user_vals, config_vals, message):
    world.user.write(user_vals)
    world.config.write(config_vals)
    record = world.pain_request(XML, identifier="pain-7")
    world.journal.clear()

    assert fn(record) == {"error": message}
    assert world.addon.session_requests == [] and session.calls == []
    assert world.journal == []


@pytest.mark.parametrize("fn", FUNCTIONS, ids=lambda f: f.__name__)
def test_token_refusal_is_returned_unchanged(world, session, monkeypatch, fn):
    refusal = {"error": "No access token available.", "extra": 1}
    step = TokenStep(refusal)
    monkeypatch.setattr(corvane_pain, "_request_access_token", step)  # looked up at call time
    record = world.pain_request(XML, identifier="pain-7")
    world.journal.clear()

    assert fn(record) is refusal
    assert step.calls == [((world.user, session), {"grant_type": "refresh_token"})]
    assert session.calls == [] and world.journal == []


@pytest.mark.parametrize("fn", FUNCTIONS, ids=lambda f: f.__name__)
def test_guard_is_called_through_the_namespace_by_keyword(world, session, monkeypatch, fn):
    seen = []
    monkeypatch.setattr(corvane_pain, "_check_status",
                        lambda *args, **kwargs: seen.append((args, kwargs)) or {"error": "refused"})
    assert fn(world.pain_request(XML)) == {"error": "refused"}
    assert seen == [((world.user,), {"operation": "pain-request"})]
