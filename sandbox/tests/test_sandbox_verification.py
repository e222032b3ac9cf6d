"""The sandbox's request verification: the Signature header's grammar, the
body digest, the clock window of "(created)", the PSS check and what it
says when it fails, and the verdicts of whole requests over HTTP."""

from __future__ import annotations

import base64
import hashlib
import http.client
import json

import pytest

from corvane_sandbox import httpsig
from corvane_sandbox.httpsig import Received, SignatureParams

from sandbox_testing import pss_sign

GOOD = 'keyId="k1",created=1700000000,algorithm="hs2019",headers="(request-target) host",signature="c2ln"'


# --- the Signature header -------------------------------------------------------

@pytest.mark.parametrize("value, key_id, headers, created", [
    (GOOD, "k1", ["(request-target)", "host"], "1700000000"),
    # blanks after the commas and a parameter order of its own are accepted
    ('signature="c2ln", headers="digest", keyId="k 2", created=5', "k 2", ["digest"], "5"),
    # no algorithm parameter at all
    ('keyId="k",headers="host",signature="c2ln"', "k", ["host"], None),
    # a backslash escape inside a quoted string
    (r'keyId="a\"b",headers="host",signature="c2ln"', 'a"b', ["host"], None),
])
def test_signature_header_parses(value, key_id, headers, created):
    params = httpsig.parse_signature_header(value)
    assert (params.key_id, params.headers, params.created, params.signature) == (key_id, headers, created, "c2ln")


@pytest.mark.parametrize("value, phrase", [
    (None, "no Signature header"),
    ("", "is empty"),
    ('keyId="k",headers="host"', "lacks the parameter 'signature'"),
    ('keyId="",headers="host",signature="s"', "keyId is empty"),
    ('keyId="k",headers="host",signature="s",algorithm="rsa-sha256"', "only \"hs2019\""),
    ('keyId="k",headers="host",signature="s",created="17"', "must be a bare integer"),
    ('keyId="k",headers="host",signature="s",created=1.5', "whole seconds"),
    ('keyId="k",headers="Host",signature="s"', "lower case"),
    ('keyId="k",headers="host  digest",signature="s"', "single blanks"),
    ('keyId="k",headers="host host",signature="s"', "repeats a name"),
    ('keyId="k",keyId="j",headers="host",signature="s"', "repeats the parameter 'keyId'"),
    ('keyId="k",headers="host",signature="s",nonce="x"', "unknown parameter(s): nonce"),
    ('keyId=k,headers="host",signature="s"', "keyId must be a quoted string"),
    ('keyId="k" headers="host",signature="s"', "cannot be parsed at character"),
    ('keyId="k,headers="host",signature="s"', "cannot be parsed"),
])
def test_signature_header_faults_are_named(value, phrase):
    with pytest.raises(httpsig.SignatureHeaderError, match=None) as caught:
        httpsig.parse_signature_header(value)
    assert phrase in str(caught.value)


# --- the digest ------------------------------------------------------------------

BODY = "Zahlung für Müller".encode("utf-8")
SHA512 = base64.b64encode(hashlib.sha512(BODY).digest()).decode()
SHA256 = base64.b64encode(hashlib.sha256(BODY).digest()).decode()


@pytest.mark.parametrize("digest, ok, phrase", [
    (f"SHA-512={SHA512}", True, "SHA-512 of the"),
    (f"sha-512={SHA512}", True, "SHA-512 of the"),  # the algorithm token is case-insensitive
    (f"SHA-256={SHA256}", True, "SHA-256"),
    (f"SHA-512={SHA512},SHA-256={SHA256}", True, "SHA-512, SHA-256"),
    (f"MD5=abc, SHA-512={SHA512}", True, "SHA-512"),  # unknown algorithms are passed over
    ("SHA-512=" + base64.b64encode(hashlib.sha512(b"other").digest()).decode(), False, "does not match"),
    (f"SHA-512={SHA512},SHA-256={SHA512[:44]}", False, "SHA-256 does not match"),  # every known one counts
    ("SHA-512=@@@", False, "not valid Base64"),
    ("MD5=abc", False, "no supported algorithm"),
    ("SHA-512", False, "not of the form"),
    (None, False, "no Digest header"),
])
def test_digest_check(digest, ok, phrase):
    headers = [] if digest is None else [("Digest", digest)]
    result, detail, _ = httpsig.check_digest(Received("POST", "/x", headers, BODY))
    assert result is ok
    assert phrase in detail


def test_digest_mismatch_gives_both_digests():
    wrong = base64.b64encode(hashlib.sha512(b"").digest()).decode()
    ok, _, extra = httpsig.check_digest(Received("POST", "/x", [("Digest", f"SHA-512={wrong}")], BODY))
    assert not ok
    assert extra == {"digest_received": f"SHA-512={wrong}", "digest_of_body": f"SHA-512={SHA512}",
                     "body_length": len(BODY)}


# --- the signing string and "(created)" ---------------------------------------------

def test_signing_string_uses_the_request_as_received():
    received = Received("GET", "/a?after=x%2By&size=20", [("Host", "h:1"), ("X-Two", "a"), ("x-two", "b")], b"")
    params = SignatureParams("k", "s", ["(request-target)", "host", "x-two", "(created)"], "12", None, None)
    text, problem = httpsig.rebuild_signing_string(received, params)
    assert problem is None
    assert text == "(request-target): get /a?after=x%2By&size=20\nhost: h:1\nx-two: a, b\n(created): 12"


@pytest.mark.parametrize("names, created, phrase", [
    (["digest"], "1", "carries no such header"),
    (["(created)"], None, "has no created parameter"),
    (["(nonce)"], "1", "unknown pseudo-header"),
])
def test_signing_string_names_what_is_missing(names, created, phrase):
    params = SignatureParams("k", "s", names, created, None, None)
    text, problem = httpsig.rebuild_signing_string(Received("GET", "/", [("Host", "h")]), params)
    assert text is None and phrase in problem


@pytest.mark.parametrize("offset, ok, phrase", [
    (0, True, "within 300 s"),
    (300, True, "within"),
    (-300, True, "within"),
    (301, False, "301 s older"),
    (-301, False, "301 s after"),
])
def test_created_window(offset, ok, phrase):
    now = 1_700_000_000
    params = SignatureParams("k", "s", [], str(now - offset), None, None)
    result, detail, extra = httpsig.check_created(params, now + 0.9, 300)
    assert result is ok and phrase in detail
    assert extra == {"server_time": now, "created": now - offset, "difference_seconds": offset,
                     "allowed_skew_seconds": 300}


# --- the signature itself ---------------------------------------------------------------

def _pkcs1(key, text):
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import padding

    return base64.b64encode(key.sign(text.encode(), padding.PKCS1v15(), hashes.SHA256())).decode()


@pytest.mark.parametrize("make, ok, phrase", [
    (lambda k, o: pss_sign(k, "text"), True, "verifies"),
    (lambda k, o: pss_sign(k, "text", salt_length=222), False, "salt length other than 32"),
    (lambda k, o: _pkcs1(k, "text"), False, "PKCS1-v1_5"),
    (lambda k, o: pss_sign(o, "text"), False, "keyId 'other'"),
    (lambda k, o: pss_sign(k, "other text"), False, "does not verify"),
    (lambda k, o: pss_sign(k, "text")[:40], False, "bytes long"),
    (lambda k, o: "not base64!", False, "not valid Base64"),
])
def test_pss_verification_says_what_the_signature_is(rsa_key, rsa_key_other, make, ok, phrase):
    signature = make(rsa_key, rsa_key_other)
    result, detail = httpsig.verify_pss(rsa_key.public_key(), "text", signature,
                                        [("other", rsa_key_other.public_key())])
    assert result is ok
    assert phrase in detail


# --- whole requests over HTTP ----------------------------------------------------------------

def _failure(response):
    assert response.status_code in (401, 403), response.text
    body = response.json()
    assert response.headers["X-Sandbox-Verdict"] == f"failed: {body['check']}"
    return body


def test_a_correct_request_passes_every_check(client):
    response = client.get("/corvane-connect/accounts?offset=0&size=20")
    assert response.status_code == 200, response.text
    assert response.headers["X-Sandbox-Verdict"] == "passed"
    entry = client.sandbox.log.entries()[-1]
    assert [c["result"] for c in entry.checks] == ["passed"] * len(httpsig.CHECK_ORDER)


@pytest.mark.parametrize("kwargs, check, phrase", [
    ({"created_offset": 301}, "created", "301 s older"),
    ({"created_offset": -400}, "created", "after the sandbox's clock"),
    ({"host": "api.tolvex.com"}, "signature", "TOLVEX_API_HOST must be exactly that"),
    ({"names": ("(request-target)", "host", "digest", "(created)")}, "signed-headers", "leaves out authorization"),
    ({"names": ("(request-target)", "host", "(created)", "authorization")}, "signed-headers", "leaves out digest"),
    ({"key_id": "sbx-unknown"}, "key-id", "names no key certified"),
    ({"salt_length": 64}, "signature", "salt length other than 32"),
    ({"token": "forged"}, "bearer-token", "unknown"),
    ({"digest_name": "SHA-256"}, "digest", "does not match"),  # a SHA-512 value labelled SHA-256
])
def test_each_fault_is_reported_by_its_check(client, kwargs, check, phrase):
    kwargs = dict(kwargs)
    created_offset = kwargs.pop("created_offset", 0)
    if created_offset:
        kwargs["created"] = int(client.clock()) - created_offset
    body = _failure(client.get("/corvane-connect/accounts?offset=0&size=20", **kwargs))
    assert body["check"] == check
    assert phrase in body["message"]
    if check == "created":
        assert body["server_time"] == int(client.clock())
    if check == "signature":
        assert body["signing_string"].startswith("(request-target): get /corvane-connect/accounts?offset=0&size=20\n"
                                                 f"host: {client.sandbox.host}\n")


@pytest.mark.parametrize("signed_target, status", [
    ("sent", 200),     # signed over the target exactly as it goes on the request line
    ("decoded", 401),  # signed over its decoded form: a verifier that decoded the target would pass it
])
def test_the_request_target_is_taken_as_received(client, signed_target, status):
    account = client.sandbox.bank.accounts[0].identifier
    sent = "/corvane-connect/accounts/" + account.replace("-", "%2D")
    headers = client.signed_headers("GET", sent if signed_target == "sent" else "/corvane-connect/accounts/" + account)
    # http.client sends the target as given (requests would normalise it).
    connection = http.client.HTTPConnection("127.0.0.1", client.sandbox.port, timeout=10)
    try:
        connection.request("GET", sent, headers=headers)
        response = connection.getresponse()
        body = json.loads(response.read())
    finally:
        connection.close()
    assert response.status == status
    if status == 200:
        assert body["data"]["id"] == account
    else:
        assert body["check"] == "signature"
        assert body["signing_string"].startswith(f"(request-target): get {sent}\n")


def test_signature_by_another_certified_key_is_named(client, rsa_key_other):
    from sandbox_testing import link

    _, other_id = link(client.sandbox, client.http, rsa_key_other)
    body = _failure(client.get("/corvane-connect/accounts", key=rsa_key_other))
    assert body["check"] == "signature"
    assert f"keyId {other_id!r}" in body["message"]


def test_tampered_body_fails_the_digest_and_only_it(client):
    target = "/corvane-connect/bulk-payment-initiation-requests"
    headers = client.signed_headers("POST", target, b"<a/>", extra={"Content-Type": "application/xml"})
    response = client.http.post(client.sandbox.url + target, data=b"<b/>", headers=headers, timeout=10)
    body = _failure(response)
    assert body["check"] == "digest"
    results = {c["check"]: c["result"] for c in client.sandbox.log.entries()[-1].checks}
    assert results == dict.fromkeys(httpsig.CHECK_ORDER, "passed") | {"digest": "failed"}


def test_expired_access_token(client, clock):
    clock.advance(client.sandbox.config.access_ttl + 1)
    body = _failure(client.get("/corvane-connect/accounts", created=int(clock())))
    assert body["check"] == "bearer-token" and "expired 1 s ago" in body["message"]


def test_missing_scope_is_403(sandbox, http, rsa_key, clock):
    from sandbox_testing import Client, link

    tokens, key_id = link(sandbox, http, rsa_key, scope="AI%20offline_access")
    client = Client(sandbox, http, rsa_key, key_id, tokens["access_token"], tokens["refresh_token"], clock)
    body = _failure(client.get("/corvane-connect/bulk-payment-initiation-requests/x"))
    assert body["check"] == "scope" and body["error"] == "insufficient_scope"
    assert client.get("/corvane-connect/accounts").status_code == 200


def test_unsigned_request_names_the_missing_header(sandbox, http):
    response = http.get(sandbox.url + "/corvane-connect/accounts", timeout=10)
    body = _failure(response)
    assert body["check"] == "signature-header" and "no Signature header" in body["message"]
    assert json.loads(response.text)["error"] == "request_not_verified"
