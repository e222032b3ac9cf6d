"""The "Digest" and "Signature" headers of a request, checked against an
independent rebuild of the signing string and an independent verifier."""

import base64
import hashlib
import re

import pytest

from corvane_core import corvane_user
from corvane_standins import keys

EMPTY_DIGEST = "SHA-512=" + base64.b64encode(hashlib.sha512(b"").digest()).decode()
SIGNATURE_RE = re.compile(
    r'^keyId="(?P<key_id>[^"]*)",created=(?P<created>\d+),algorithm="hs2019",'
    r'headers="(?P<headers>[^"]*)",signature="(?P<signature>[^"]*)"$')


def digest_of(body: bytes) -> str:
    return "SHA-512=" + base64.b64encode(hashlib.sha512(body).digest()).decode()


@pytest.fixture
def frozen_clock(monkeypatch):
    # The module reads its clock through its own `time` binding.
    monkeypatch.setattr(corvane_user.time, "time", lambda: 1765300000.987)
    return 1765300000


@pytest.fixture
def signer_calls(monkeypatch):
    """Record what reaches the signer, and still sign for real."""
    calls = []
    real = corvane_user._corvane_connect_sign

    def recording(key_record, message):
        calls.append((key_record, message))
        return real(key_record, message)

    monkeypatch.setattr(corvane_user, "_corvane_connect_sign", recording)
    return calls


@pytest.mark.parametrize("payload, body", [
    (None, b""),
    ("", b""),
    ({}, b""),
    ("<xml>é</xml>", "<xml>é</xml>".encode("utf-8")),
    ({"a": 1}, b"{'a': 1}"),                  # other values hash their text form
    ("x" * 100_000, b"x" * 100_000),           # hashed with the lock held
    ("x" * (1 << 20), b"x" * (1 << 20)),       # large enough to hash with the lock released
])
def test_digest_covers_the_body_bytes(world, frozen_clock, payload, body):
    headers = {}
    corvane_user._signature_headers(world.user, headers, payload, "post /corvane-connect/x")
    assert headers["Digest"] == digest_of(body)
    assert list(headers) == ["Digest", "Signature"]


@pytest.mark.parametrize("authorization", [None, "", "Bearer tok-123"])
def test_signing_string_and_header(world, frozen_clock, signer_calls, authorization):
    headers = {"Content-Type": "application/x-www-form-urlencoded"}
    if authorization is not None:
        headers["Authorization"] = authorization
    target = "get /corvane-connect/accounts?offset=0&size=20"
    corvane_user._signature_headers(world.user, headers, {}, target)

    lines = [f"(request-target): {target}", f"host: {corvane_user.TOLVEX_API_HOST}",
             f"digest: {EMPTY_DIGEST}", f"(created): {frozen_clock}"]
    names = "(request-target) host digest (created)"
    if authorization:
        lines.append(f"authorization: {authorization}")
        names += " authorization"
    expected = "\n".join(lines)

    [(key_record, message)] = signer_calls
    assert key_record == world.key and message == expected
    match = SIGNATURE_RE.match(headers["Signature"])
    assert match, headers["Signature"]
    assert match["key_id"] == "key-id-1"
    assert match["created"] == str(frozen_clock)
    assert match["headers"] == names
    assert keys.verify_pss_sha256(world.key_material.public_pem, expected.encode(), match["signature"])
    # Keys already present stay, in their places.
    assert list(headers)[:len(headers) - 2] == [k for k in ("Content-Type", "Authorization") if k in headers]


def test_created_is_read_once_from_the_module_clock(world, monkeypatch, signer_calls):
    ticks = iter([1700000001.2, 1800000000.0])
    monkeypatch.setattr(corvane_user.time, "time", lambda: next(ticks))
    headers = {}
    corvane_user._signature_headers(world.user, headers, None, "get /x")
    assert signer_calls[0][1].endswith("(created): 1700000001")
    assert ",created=1700000001," in headers["Signature"]


def test_host_and_signer_are_looked_up_at_call_time(world, frozen_clock, monkeypatch):
    seen = []
    monkeypatch.setattr(corvane_user, "TOLVEX_API_HOST", "sandbox.example.test")
    monkeypatch.setattr(corvane_user, "_corvane_connect_sign",
                        lambda key_record, message: seen.append(message) or {"return": "SIG"})
    headers = {}
    corvane_user._signature_headers(world.user, headers, None, "get /x")
    assert "\nhost: sandbox.example.test\n" in seen[0]
    assert headers["Signature"].endswith(',signature="SIG"')


def test_key_identifier_and_signature_are_not_escaped(world, monkeypatch):
    world.user.sign_cert_key_identifier = 'key "1"'
    monkeypatch.setattr(corvane_user, "_corvane_connect_sign", lambda k, m: {"return": 'a"b'})
    headers = {}
    corvane_user._signature_headers(world.user, headers, None, "get /x")
    assert headers["Signature"].startswith('keyId="key "1"",')
    assert headers["Signature"].endswith(',signature="a"b"')


def test_existing_digest_and_signature_are_overwritten(world):
    headers = {"Digest": "old", "Signature": "old", "X-Other": "kept"}
    corvane_user._signature_headers(world.user, headers, "body", "post /x")
    assert headers["X-Other"] == "kept"
    assert headers["Digest"] == digest_of(b"body") and headers["Signature"].startswith('keyId="key-id-1"')


class SignerDown(Exception):
    pass


def test_a_raising_signer_leaves_the_headers_untouched(world, monkeypatch):
    def failing(key_record, message):
        raise SignerDown("no key")

    monkeypatch.setattr(corvane_user, "_corvane_connect_sign", failing)
    headers = {"Authorization": "Bearer t"}
    with pytest.raises(SignerDown):
        corvane_user._signature_headers(world.user, headers, "body", "post /x")
    assert headers == {"Authorization": "Bearer t"}


def test_user_without_signing_key_fails_in_the_signer(world):
    world.user.sign_cert_id = False
    headers = {}
    with pytest.raises(TypeError):  # the empty key record's pem_key is no key text
        corvane_user._signature_headers(world.user, headers, None, "get /x")
    assert headers == {}


@pytest.mark.parametrize("headers, error", [
    (None, AttributeError),
    ([], AttributeError),
    ((("Authorization", "Bearer t"),), AttributeError),
])
def test_bad_header_containers_raise(world, headers, error):
    with pytest.raises(error):
        corvane_user._signature_headers(world.user, headers, None, "get /x")


def test_payload_with_lone_surrogate_cannot_be_encoded(world):
    headers = {}
    with pytest.raises(UnicodeEncodeError):
        corvane_user._signature_headers(world.user, headers, "\udc80", "post /x")
    assert headers == {}
