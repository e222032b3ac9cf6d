"""The sandbox's certificate authority: it certifies the public key of a
certificate signing request and gives it the keyId under which the
sandbox verifies that key's request signatures.

The CA key is generated when the sandbox starts and lives only in memory,
so certificates of one sandbox run mean nothing to another: a restarted
sandbox needs the key certified again.
"""

from __future__ import annotations

import dataclasses
import datetime
import hashlib
import secrets
import threading

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa
from cryptography.x509.oid import NameOID

__all__ = ["CertificateAuthority", "CsrRejected", "CertifiedKey", "MIN_KEY_BITS"]

MIN_KEY_BITS = 2048


class CsrRejected(ValueError):
    """The CSR cannot be certified; the message says why."""


@dataclasses.dataclass
class CertifiedKey:
    key_id: str
    public_key: object
    certificate: x509.Certificate
    subject: str

    @property
    def certificate_pem(self):
        return self.certificate.public_bytes(serialization.Encoding.PEM).decode("ascii")


def _utc(timestamp):
    return datetime.datetime.fromtimestamp(int(timestamp), datetime.timezone.utc)


class CertificateAuthority:
    """Issues certificates under a CA key made at construction; keeps the
    certified keys by keyId (thread-safe)."""

    def __init__(self, clock, validity_days=365):
        self.clock = clock
        self.validity_days = validity_days
        self._key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        name = x509.Name([
            x509.NameAttribute(NameOID.COUNTRY_NAME, "BE"),
            x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Corvane Connect Sandbox"),
            x509.NameAttribute(NameOID.COMMON_NAME, "Corvane Connect Sandbox CA"),
        ])
        now = _utc(clock())
        self.certificate = (
            x509.CertificateBuilder()
            .subject_name(name)
            .issuer_name(name)
            .public_key(self._key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=3650))
            .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
            .add_extension(x509.KeyUsage(digital_signature=False, content_commitment=False, key_encipherment=False,
                                         data_encipherment=False, key_agreement=False, key_cert_sign=True,
                                         crl_sign=True, encipher_only=False, decipher_only=False), critical=True)
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(self._key.public_key()), critical=False)
            .sign(self._key, hashes.SHA256())
        )
        self._lock = threading.Lock()
        self._keys = {}

    @property
    def certificate_pem(self):
        return self.certificate.public_bytes(serialization.Encoding.PEM).decode("ascii")

    def certify(self, csr_pem):
        """Check the PEM CSR (bytes or text) and issue its certificate.
        Raises :class:`CsrRejected` with the reason."""
        if isinstance(csr_pem, str):
            # PEM is ASCII; anything else (a lone surrogate too) is no CSR.
            if not csr_pem.isascii():
                raise CsrRejected("the PEM text holds characters outside ASCII")
            csr_pem = csr_pem.encode("ascii")
        elif not isinstance(csr_pem, bytes):
            raise CsrRejected(f"the CSR must be PEM text, got a {type(csr_pem).__name__}")
        if b"-----BEGIN CERTIFICATE REQUEST-----" not in csr_pem:
            raise CsrRejected("the body holds no PEM block labelled CERTIFICATE REQUEST")
        try:
            csr = x509.load_pem_x509_csr(csr_pem)
        except ValueError as exc:
            raise CsrRejected(f"the CERTIFICATE REQUEST does not parse as PKCS #10: {exc}") from None
        if not csr.is_signature_valid:
            raise CsrRejected("the CSR's signature does not verify with the public key it carries")
        public_key = csr.public_key()
        if not isinstance(public_key, rsa.RSAPublicKey):
            raise CsrRejected(f"the CSR carries a {type(public_key).__name__}; request signatures need an RSA key")
        if public_key.key_size < MIN_KEY_BITS:
            raise CsrRejected(f"the CSR's RSA key has {public_key.key_size} bits; at least {MIN_KEY_BITS} are"
                              " needed")
        if not csr.subject.get_attributes_for_oid(NameOID.COMMON_NAME):
            raise CsrRejected(f"the CSR's subject {csr.subject.rfc4514_string()!r} has no common name (CN)")
        now = _utc(self.clock())
        spki = public_key.public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
        # The keyId is derived from the key, so that certifying the same key
        # again gives the same keyId (with a fresh certificate).
        key_id = "sbx-" + hashlib.sha256(spki).hexdigest()[:24]
        certificate = (
            x509.CertificateBuilder()
            .subject_name(csr.subject)
            .issuer_name(self.certificate.subject)
            .public_key(public_key)
            .serial_number(int.from_bytes(secrets.token_bytes(16), "big") >> 1)
            .not_valid_before(now - datetime.timedelta(minutes=5))
            .not_valid_after(now + datetime.timedelta(days=self.validity_days))
            .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
            .add_extension(x509.KeyUsage(digital_signature=True, content_commitment=False, key_encipherment=False,
                                         data_encipherment=False, key_agreement=False, key_cert_sign=False,
                                         crl_sign=False, encipher_only=False, decipher_only=False), critical=True)
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(public_key), critical=False)
            .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(self._key.public_key()), critical=False)
            .sign(self._key, hashes.SHA256())
        )
        # Check our own output before handing it out.
        self._key.public_key().verify(certificate.signature, certificate.tbs_certificate_bytes,
                                      padding.PKCS1v15(), certificate.signature_hash_algorithm)
        certified = CertifiedKey(key_id=key_id, public_key=public_key, certificate=certificate,
                                 subject=csr.subject.rfc4514_string())
        with self._lock:
            self._keys[key_id] = certified
        return certified

    def lookup(self, key_id):
        """The :class:`CertifiedKey` of ``key_id`` if its certificate is
        valid now, else (None, reason)."""
        with self._lock:
            certified = self._keys.get(key_id)
        if certified is None:
            return None, (f"the keyId {key_id!r} names no key certified by this sandbox"
                          " (certify the CSR at POST /_sandbox/certificates and use the keyId it answers)")
        now = _utc(self.clock())
        if now > certified.certificate.not_valid_after_utc:
            return None, f"the certificate of keyId {key_id!r} expired at {certified.certificate.not_valid_after_utc}"
        return certified, None

    def others(self, key_id):
        """(keyId, public key) of every other certified key."""
        with self._lock:
            return [(k, c.public_key) for k, c in self._keys.items() if k != key_id]

    def keys(self):
        with self._lock:
            return list(self._keys.values())
