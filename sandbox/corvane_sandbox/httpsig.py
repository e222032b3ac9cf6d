"""Verification of the HTTP message signature ("hs2019") and the body digest
of one request as the sandbox received it.

Every check works on the request as it came off the socket: the method and
the request target of the request line (not re-encoded), the header values
as received and the raw body bytes.  Nothing here trusts what the client
says it signed; the signing string is rebuilt from the request and the
signature is verified over that, with RSASSA-PSS (SHA-256, MGF1-SHA-256,
salt length 32) under the public key certified for the signature's keyId.

Each check gives a :class:`Check`: its name, whether it passed, a sentence
that says what was found, and extra facts (the rebuilt signing string, both
clocks...).  The order of :data:`CHECK_ORDER` is the order in which the
first failure is reported.
"""

from __future__ import annotations

import base64
import binascii
import dataclasses
import hashlib
import re

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding, rsa

__all__ = [
    "CHECK_ORDER",
    "REQUIRED_SIGNED_HEADERS",
    "PSS_SALT_LENGTH",
    "Check",
    "Received",
    "SignatureParams",
    "parse_signature_header",
    "check_digest",
    "rebuild_signing_string",
    "check_created",
    "verify_pss",
]

# The headers every signature must cover; "authorization" joins them when
# the request carries an Authorization header, so that a token cannot be
# moved onto another signed request.
REQUIRED_SIGNED_HEADERS = ("(request-target)", "host", "digest", "(created)")
PSS_SALT_LENGTH = 32

# Name of each check, in the order the first failure is reported.
CHECK_ORDER = (
    "signature-header",
    "signed-headers",
    "key-id",
    "created",
    "digest",
    "signature",
    "bearer-token",
    "scope",
)

_DIGEST_ALGORITHMS = {"sha-512": hashlib.sha512, "sha-256": hashlib.sha256}


@dataclasses.dataclass
class Received:
    """A request as received: ``method`` and ``target`` from the request
    line, ``headers`` as (name, value) pairs in arrival order, ``body`` the
    bytes read after the headers."""

    method: str
    target: str
    headers: list
    body: bytes = b""
    number: int | None = None  # the request's number in the inspector, once logged

    def header_values(self, name):
        wanted = name.lower()
        return [value for key, value in self.headers if key.lower() == wanted]

    def header(self, name):
        """The single value of a header, None when absent; several
        occurrences are joined by ", " as HTTP allows."""
        values = self.header_values(name)
        if not values:
            return None
        return ", ".join(v.strip() for v in values)


@dataclasses.dataclass
class Check:
    """Outcome of one check: ``ok`` True (passed), False (failed) or None
    (not run, because a check it depends on failed)."""

    name: str
    ok: bool | None
    detail: str
    extra: dict = dataclasses.field(default_factory=dict)

    def as_dict(self):
        result = "passed" if self.ok else ("failed" if self.ok is False else "not run")
        return {"check": self.name, "result": result, "detail": self.detail, **self.extra}


@dataclasses.dataclass
class SignatureParams:
    key_id: str
    signature: str
    headers: list
    created: str | None
    expires: str | None
    algorithm: str | None


class SignatureHeaderError(ValueError):
    pass


# One parameter: a name, "=", then a quoted string (with backslash escapes)
# or a bare token (the unquoted numbers of created/expires); then a comma or
# the end.  Blanks around the comma are tolerated, as the draft allows.
_PARAM = re.compile(r'[ \t]*([A-Za-z][A-Za-z0-9_-]*)=("(?:[^"\\]|\\.)*"|[^",\s]*)[ \t]*(?:,|$)')
_KNOWN_PARAMS = ("keyId", "signature", "headers", "created", "expires", "algorithm")


def parse_signature_header(value):
    """Parse a "Signature" header value into :class:`SignatureParams`.
    Raises :class:`SignatureHeaderError` with a sentence naming the fault."""
    if value is None:
        raise SignatureHeaderError("the request has no Signature header")
    params = {}
    pos = 0
    text = value.strip()
    if not text:
        raise SignatureHeaderError("the Signature header is empty")
    while pos < len(text):
        match = _PARAM.match(text, pos)
        if not match or match.end() == pos:
            raise SignatureHeaderError(
                f"the Signature header cannot be parsed at character {pos + 1}: {text[pos:pos + 40]!r}"
                " (expected name=\"value\" or name=number, separated by commas)")
        name, raw = match.group(1), match.group(2)
        quoted = raw.startswith('"')
        if quoted:
            raw = re.sub(r"\\(.)", r"\1", raw[1:-1])
        if name in params:
            raise SignatureHeaderError(f"the Signature header repeats the parameter {name!r}")
        # The draft's form: times are bare integers, everything else quoted.
        if quoted != (name not in ("created", "expires")):
            form = "a bare integer" if name in ("created", "expires") else "a quoted string"
            raise SignatureHeaderError(f"the Signature header's {name} must be {form}, got {match.group(2)!r}")
        params[name] = raw
        pos = match.end()
    for required in ("keyId", "signature", "headers"):
        if required not in params:
            raise SignatureHeaderError(f"the Signature header lacks the parameter {required!r}")
    if not params["keyId"]:
        raise SignatureHeaderError("the Signature header's keyId is empty")
    algorithm = params.get("algorithm")
    if algorithm is not None and algorithm != "hs2019":
        raise SignatureHeaderError(f"the Signature header's algorithm is {algorithm!r}; only \"hs2019\" is accepted")
    for name in ("created", "expires"):
        if name in params and not re.fullmatch(r"[0-9]{1,15}", params[name]):
            raise SignatureHeaderError(
                f"the Signature header's {name} is {params[name]!r}; it must be whole seconds since the epoch,"
                " unquoted")
    names = params["headers"].split(" ")
    if any(not n for n in names):
        raise SignatureHeaderError(
            f"the Signature header's headers list {params['headers']!r} must name headers separated by single blanks")
    if any(n != n.lower() for n in names):
        raise SignatureHeaderError(
            f"the Signature header's headers list {params['headers']!r} must be in lower case")
    if len(set(names)) != len(names):
        raise SignatureHeaderError(f"the Signature header's headers list {params['headers']!r} repeats a name")
    unknown = [k for k in params if k not in _KNOWN_PARAMS]
    if unknown:
        raise SignatureHeaderError(f"the Signature header has unknown parameter(s): {', '.join(unknown)}")
    return SignatureParams(key_id=params["keyId"], signature=params["signature"], headers=names,
                           created=params.get("created"), expires=params.get("expires"), algorithm=algorithm)


def check_digest(received):
    """The "Digest" header against the body received: (ok, sentence, extra).
    The algorithm token is read case-insensitively; SHA-512 and SHA-256 are
    known, and every known algorithm given must match."""
    value = received.header("Digest")
    if value is None:
        return False, "the request has no Digest header (SHA-512 of the body, Base64)", {}
    matched = []
    for part in value.split(","):
        part = part.strip()
        algorithm, sep, encoded = part.partition("=")
        if not sep or not algorithm:
            return False, f"the Digest header {value!r} is not of the form ALGORITHM=BASE64", {}
        hasher = _DIGEST_ALGORITHMS.get(algorithm.strip().lower())
        if hasher is None:
            continue
        try:
            given = base64.b64decode(encoded.strip(), validate=True)
        except (binascii.Error, ValueError):
            return False, f"the Digest value for {algorithm} is not valid Base64: {encoded!r}", {}
        actual = hasher(received.body).digest()
        if given != actual:
            return False, (
                f"the Digest header's {algorithm} does not match the body received"
                f" ({len(received.body)} bytes): the body was changed after it was digested, or the digest"
                " was computed over other bytes than those sent"), {
                    "digest_received": f"{algorithm}={encoded.strip()}",
                    "digest_of_body": f"{algorithm.upper()}={base64.b64encode(actual).decode()}",
                    "body_length": len(received.body),
                }
        matched.append(algorithm.upper())
    if not matched:
        return False, f"the Digest header {value!r} names no supported algorithm (SHA-512 or SHA-256)", {}
    return True, f"{', '.join(matched)} of the {len(received.body)}-byte body matches", {}


def rebuild_signing_string(received, params):
    """The signing string rebuilt from the request as received, for the
    header names of the signature, in their order.  Returns (text, problem)
    where problem is None or a sentence naming a listed header that the
    request does not carry."""
    lines = []
    for name in params.headers:
        if name == "(request-target)":
            lines.append(f"(request-target): {received.method.lower()} {received.target}")
        elif name == "(created)":
            if params.created is None:
                return None, "the headers list names (created) but the Signature header has no created parameter"
            lines.append(f"(created): {params.created}")
        elif name == "(expires)":
            if params.expires is None:
                return None, "the headers list names (expires) but the Signature header has no expires parameter"
            lines.append(f"(expires): {params.expires}")
        elif name.startswith("("):
            return None, f"the headers list names the unknown pseudo-header {name}"
        else:
            value = received.header(name)
            if value is None:
                return None, f"the headers list names {name!r} but the request carries no such header"
            lines.append(f"{name}: {value}")
    return "\n".join(lines), None


def check_created(params, now, skew):
    """The "(created)" time against the sandbox's clock: (ok, sentence,
    extra).  Both clocks and their difference are always given, so that a
    skewed clock can be told from a stale request."""
    created = int(params.created)
    now_s = int(now)
    difference = now_s - created
    extra = {"server_time": now_s, "created": created, "difference_seconds": difference,
             "allowed_skew_seconds": skew}
    if difference > skew:
        return False, (f"(created) {created} is {difference} s older than the sandbox's clock {now_s}"
                       f" (allowed: {skew} s): the request is stale or the client's clock is behind"), extra
    if -difference > skew:
        return False, (f"(created) {created} lies {-difference} s after the sandbox's clock {now_s}"
                       f" (allowed: {skew} s): the client's clock is ahead"), extra
    if params.expires is not None and int(params.expires) < now_s:
        return False, f"the signature expired at {params.expires} (sandbox clock {now_s})", extra
    return True, f"(created) {created} is within {skew} s of the sandbox's clock {now_s}", extra


def _pss(salt_length):
    return padding.PSS(mgf=padding.MGF1(hashes.SHA256()), salt_length=salt_length)


def verify_pss(public_key, signing_string, signature_b64, other_keys=()):
    """Verify ``signature_b64`` over the UTF-8 bytes of ``signing_string``
    with RSASSA-PSS, SHA-256, MGF1-SHA-256, salt 32.  Returns (ok,
    sentence).  On failure the sentence says what the signature is instead
    where that can be told: another salt length, PKCS #1 v1.5, or the key
    of another keyId (``other_keys``: (key_id, public_key) pairs)."""
    try:
        signature = base64.b64decode(signature_b64, validate=True)
    except (binascii.Error, ValueError):
        return False, "the signature parameter is not valid Base64"
    if not isinstance(public_key, rsa.RSAPublicKey):
        return False, "the key certified for this keyId is not an RSA key"
    expected_length = (public_key.key_size + 7) // 8
    if len(signature) != expected_length:
        return False, (f"the signature is {len(signature)} bytes long; an RSA signature under the certified"
                       f" {public_key.key_size}-bit key is {expected_length} bytes")
    message = signing_string.encode("utf-8")
    try:
        public_key.verify(signature, message, _pss(PSS_SALT_LENGTH), hashes.SHA256())
        return True, "RSASSA-PSS (SHA-256, MGF1-SHA-256, salt 32) verifies under the certified key"
    except InvalidSignature:
        pass
    try:
        public_key.verify(signature, message, _pss(padding.PSS.AUTO), hashes.SHA256())
        return False, ("the signature is RSASSA-PSS over this signing string but with a salt length other"
                       " than 32 bytes")
    except InvalidSignature:
        pass
    try:
        public_key.verify(signature, message, padding.PKCS1v15(), hashes.SHA256())
        return False, "the signature is RSASSA-PKCS1-v1_5, not RSASSA-PSS"
    except InvalidSignature:
        pass
    for key_id, other in other_keys:
        if not isinstance(other, rsa.RSAPublicKey) or (other.key_size + 7) // 8 != len(signature):
            continue
        try:
            other.verify(signature, message, _pss(PSS_SALT_LENGTH), hashes.SHA256())
            return False, (f"the signature was made with the key certified as keyId {key_id!r}, not with the"
                           " key of the keyId given")
        except InvalidSignature:
            continue
    return False, ("the signature does not verify over the signing string rebuilt from the request"
                   " (signing_string): the request differs from what was signed, or it was signed with"
                   " another key than the one certified for this keyId")
