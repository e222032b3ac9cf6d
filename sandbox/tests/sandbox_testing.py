"""Helpers of the sandbox's own tests: a clock the test moves, CSRs, and a
client that signs requests the way the service requires, written here
independently of the sandbox's verifier and of corvane_core."""

from __future__ import annotations

import base64
import dataclasses
import hashlib
import time
import urllib.parse

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding
from cryptography.x509.oid import NameOID


TIMEOUT = 10


class Clock:
    """A clock that stands still unless moved."""

    def __init__(self):
        self.now = float(int(time.time()))

    def __call__(self):
        return self.now

    def advance(self, seconds):
        self.now += seconds


def make_csr(key, common_name="Example Company signing key"):
    subject = x509.Name([x509.NameAttribute(NameOID.COUNTRY_NAME, "BE"),
                         x509.NameAttribute(NameOID.COMMON_NAME, common_name)])
    return x509.CertificateSigningRequestBuilder().subject_name(subject).sign(key, hashes.SHA256())


def pss_sign(key, text, salt_length=32):
    return base64.b64encode(key.sign(text.encode("utf-8"), padding.PSS(
        mgf=padding.MGF1(hashes.SHA256()), salt_length=salt_length), hashes.SHA256())).decode()


@dataclasses.dataclass
class Client:
    """A linked client: certified key, keyId and an access token."""

    sandbox: object
    http: object
    key: object
    key_id: str
    access_token: str
    refresh_token: str
    clock: object

    def signed_headers(self, method, target, body=b"", *, created=None, host=None, key=None, salt_length=32,
                       names=("(request-target)", "host", "digest", "(created)", "authorization"),
                       digest_name="SHA-512", extra=None, key_id=None, token=None):
        created = int(self.clock()) if created is None else created
        headers = {"Authorization": f"Bearer {self.access_token if token is None else token}", **(extra or {})}
        headers["Digest"] = f"{digest_name}=" + base64.b64encode(hashlib.sha512(body).digest()).decode()
        values = {"(request-target)": f"{method.lower()} {target}", "host": host or self.sandbox.host,
                  "digest": headers["Digest"], "(created)": str(created),
                  "authorization": headers["Authorization"]}
        signing_string = "\n".join(f"{name}: {values[name]}" for name in names)
        signature = pss_sign(key or self.key, signing_string, salt_length)
        headers["Signature"] = (f'keyId="{key_id or self.key_id}",created={created},algorithm="hs2019",'
                                f'headers="{" ".join(names)}",signature="{signature}"')
        return headers

    def get(self, target, **kwargs):
        headers = self.signed_headers("GET", target, **kwargs)
        return self.http.get(self.sandbox.url + target, headers=headers, timeout=TIMEOUT)

    def post(self, target, body, extra, **kwargs):
        headers = self.signed_headers("POST", target, body, extra=extra, **kwargs)
        return self.http.post(self.sandbox.url + target, data=body, headers=headers, timeout=TIMEOUT)


def link(sandbox, http, key, scope="AI%20PI%20offline_access", redirect_uri="https://odoo.example.com/cb"):
    """Certify ``key``, approve a consent and exchange the code: the tokens
    answer and the keyId."""
    certified = http.post(sandbox.url + "/_sandbox/certificates",
                          data=make_csr(key).public_bytes(serialization.Encoding.PEM),
                          timeout=TIMEOUT)
    assert certified.status_code == 201, certified.text
    consent = http.get(f"{sandbox.url}/auth/realms/corvane/protocol/openid-connect/auth?client_id=sandbox-client"
                       f"&redirect_uri={redirect_uri}&response_type=code&scope={scope}&state=7",
                       allow_redirects=False, timeout=TIMEOUT)
    assert consent.status_code == 302, consent.text
    code = urllib.parse.parse_qs(urllib.parse.urlsplit(consent.headers["Location"]).query)["code"][0]
    tokens = http.post(sandbox.url + "/corvane-connect/oauth2/token", auth=("sandbox-client", "sandbox-secret"),
                       data={"grant_type": "authorization_code", "code": code, "redirect_uri": redirect_uri},
                       timeout=TIMEOUT)
    assert tokens.status_code == 200, tokens.text
    return tokens.json(), certified.json()["keyId"]
