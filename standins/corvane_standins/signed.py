"""The check of one signed request, as the service makes it: "Digest" covers
the bytes that went on the wire, and "Signature" verifies under the key over
the signing string rebuilt from the request as sent."""

from __future__ import annotations

import hashlib

from . import keys

__all__ = ["assert_signed_request", "digest_of", "signature_parameters"]

SIGNED_HEADERS = '"(request-target) host digest (created) authorization"'


def digest_of(body: bytes) -> str:
    """The "Digest" value of a body: SHA-512, Base64."""
    return "SHA-512=" + keys.b64(hashlib.sha512(body).digest())


def signature_parameters(signature: str) -> dict[str, str]:
    """The parameters of a "Signature" header, in order, values as written
    (quoted strings keep their quotes)."""
    return dict(part.split("=", 1) for part in signature.split(","))


def assert_signed_request(call, public_pem, host, token=None, key_id="key-id-1"):
    """``call`` (a :class:`corvane_standins.http.Call`) carries a "Digest" of
    its wire body and a "Signature" (keyId ``key_id``, hs2019, over the four
    headers and the authorisation) that verifies with ``public_pem`` over
    its request target as sent, ``host`` and its Authorization header, which
    is ``"Bearer " + token`` when a token is given.  Returns the signature's
    parameters."""
    headers = call.headers
    digest = digest_of(call.wire.body_bytes)
    assert headers["Digest"] == digest
    authorization = headers["Authorization"]
    if token is not None:
        assert authorization == f"Bearer {token}"
    params = signature_parameters(headers["Signature"])
    assert list(params) == ["keyId", "created", "algorithm", "headers", "signature"]
    assert params["keyId"] == f'"{key_id}"' and params["algorithm"] == '"hs2019"'
    assert params["headers"] == SIGNED_HEADERS
    signing_string = "\n".join([
        f"(request-target): {call.target}",
        f"host: {host}",
        f"digest: {digest}",
        f"(created): {params['created']}",
        f"authorization: {authorization}",
    ])
    assert keys.verify_pss_sha256(public_pem, signing_string, params["signature"].strip('"'))
    return params
