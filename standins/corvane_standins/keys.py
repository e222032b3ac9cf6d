"""RSA/EC test keys and an independent checker of signatures and CSRs.

Everything here works through one of two back ends:

* ``"cryptography"`` -- pyca/cryptography, when it can be imported;
* ``"openssl"`` -- the ``openssl`` command-line tool through ``subprocess``
  (a free-threaded interpreter has no wheel of pyca/cryptography).

The default is the first one available; the environment variable
``CORVANE_TEST_CRYPTO=openssl`` forces the command-line tool, and every
function takes ``backend=`` to pick one explicitly.  :func:`use_backend`
switches the default for a ``with`` block.

Keys are generated once per process and cached (:func:`rsa_2048`,
:func:`rsa_2048_other`, :func:`rsa_1024`, :func:`ec_p256`).
"""

from __future__ import annotations

import base64
import contextlib
import dataclasses
import functools
import hashlib
import os
import re
import shutil
import subprocess
import tempfile

try:  # pragma: no cover - depends on the interpreter
    from cryptography import x509
    from cryptography.exceptions import InvalidSignature
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

    HAVE_CRYPTOGRAPHY = True
except ImportError:  # pragma: no cover
    HAVE_CRYPTOGRAPHY = False

HAVE_OPENSSL = shutil.which("openssl") is not None

BACKENDS = ("cryptography", "openssl")

__all__ = [
    "BACKENDS",
    "HAVE_CRYPTOGRAPHY",
    "HAVE_OPENSSL",
    "CryptoError",
    "RsaTestKey",
    "EcTestKey",
    "KeyInfo",
    "CsrInfo",
    "available_backends",
    "default_backend",
    "use_backend",
    "rsa_2048",
    "rsa_2048_other",
    "rsa_1024",
    "ec_p256",
    "make_rsa_key",
    "decrypt_private_key",
    "private_key_info",
    "public_pem",
    "sign_pss_sha256",
    "verify_pss_sha256",
    "csr_info",
    "verify_csr",
    "b64",
]


class CryptoError(ValueError):
    """A key, signature or request that the back end could not process
    (wrong passphrase, not a key, malformed PEM...)."""


def b64(data):
    """Standard Base64 (with padding) of bytes or text, as text."""
    if isinstance(data, str):
        data = data.encode()
    return base64.b64encode(data).decode("ascii")


def _bytes(data):
    return data.encode() if isinstance(data, str) else bytes(data)


# --------------------------------------------------------------------------
# back end selection
# --------------------------------------------------------------------------


def available_backends():
    out = []
    if HAVE_CRYPTOGRAPHY:
        out.append("cryptography")
    if HAVE_OPENSSL:
        out.append("openssl")
    return out


_forced = os.environ.get("CORVANE_TEST_CRYPTO") or None
_current = [_forced]


def default_backend():
    if _current[0]:
        return _current[0]
    avail = available_backends()
    if not avail:
        raise RuntimeError("neither pyca/cryptography nor the openssl tool is available")
    return avail[0]


@contextlib.contextmanager
def use_backend(name):
    """Make ``name`` the default back end inside the ``with`` block."""
    if name not in BACKENDS:
        raise ValueError(f"unknown back end {name!r}")
    saved = _current[0]
    _current[0] = name
    try:
        yield name
    finally:
        _current[0] = saved


def _pick(backend):
    name = backend or default_backend()
    if name == "cryptography" and not HAVE_CRYPTOGRAPHY:
        raise RuntimeError("pyca/cryptography is not importable here")
    if name == "openssl" and not HAVE_OPENSSL:
        raise RuntimeError("the openssl command-line tool is not installed")
    if name not in BACKENDS:
        raise ValueError(f"unknown back end {name!r}")
    return name


# --------------------------------------------------------------------------
# openssl command-line helper
# --------------------------------------------------------------------------


class _Workdir:
    """Temporary directory for the files that openssl reads and writes."""

    def __enter__(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="corvane-keys-")
        self.path = self._tmp.name
        return self

    def __exit__(self, *exc):
        self._tmp.cleanup()

    def file(self, name, data=None):
        path = os.path.join(self.path, name)
        if data is not None:
            with open(path, "wb") as fh:
                fh.write(_bytes(data))
        return path

    def read(self, name):
        with open(os.path.join(self.path, name), "rb") as fh:
            return fh.read()


def _openssl(args, password=None, check=True, stdin=None):
    """Run ``openssl ARGS``; a password is handed over through the
    environment (``-passin env:CORVANE_PASS``), never on the command line."""
    env = dict(os.environ)
    if password is not None:
        env["CORVANE_PASS"] = password
    proc = subprocess.run(
        ["openssl", *args],
        input=stdin,
        stdin=None if stdin is not None else subprocess.DEVNULL,
        capture_output=True,
        env=env,
        timeout=120,
    )
    if check and proc.returncode != 0:
        raise CryptoError(
            f"openssl {' '.join(args[:1])} failed ({proc.returncode}): "
            f"{proc.stderr.decode(errors='replace').strip()}"
        )
    return proc


# --------------------------------------------------------------------------
# keys
# --------------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class RsaTestKey:
    """An RSA key in the forms the tests need (all PEM as bytes)."""

    bits: int
    public_exponent: int
    pkcs1_pem: bytes  # "RSA PRIVATE KEY", unencrypted
    pkcs8_pem: bytes  # "PRIVATE KEY", unencrypted
    encrypted_pem: bytes  # "RSA PRIVATE KEY" with Proc-Type/DEK-Info, AES-256-CBC
    passphrase: str  # passphrase of encrypted_pem
    public_pem: bytes  # "PUBLIC KEY" (SubjectPublicKeyInfo)

    @property
    def pem_key_b64(self):
        """What a key record's ``pem_key`` holds: Base64 of the PKCS#1 PEM."""
        return b64(self.pkcs1_pem)

    @property
    def pkcs8_b64(self):
        return b64(self.pkcs8_pem)

    @property
    def content_b64(self):
        """What a key record's ``content`` holds: Base64 of the encrypted PEM."""
        return b64(self.encrypted_pem)


@dataclasses.dataclass(frozen=True)
class EcTestKey:
    """A P-256 key, for "not an RSA key" cases."""

    pkcs8_pem: bytes
    traditional_pem: bytes  # "EC PRIVATE KEY"
    public_pem: bytes

    @property
    def pem_key_b64(self):
        return b64(self.pkcs8_pem)


def make_rsa_key(bits=2048, public_exponent=65537, passphrase="test passphrase", backend=None):
    """Generate a new RSA key in all the forms of :class:`RsaTestKey`."""
    name = _pick(backend)
    if name == "cryptography":
        key = rsa.generate_private_key(public_exponent=public_exponent, key_size=bits)
        pkcs1 = key.private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.TraditionalOpenSSL, serialization.NoEncryption()
        )
        pkcs8 = key.private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()
        )
        encrypted = key.private_bytes(
            serialization.Encoding.PEM,
            serialization.PrivateFormat.TraditionalOpenSSL,
            serialization.BestAvailableEncryption(passphrase.encode()),
        )
        pub = key.public_key().public_bytes(
            serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo
        )
    else:
        with _Workdir() as wd:
            key_path = wd.file("key.pem")
            _openssl(["genpkey", "-algorithm", "RSA", "-pkeyopt", f"rsa_keygen_bits:{bits}",
                      "-pkeyopt", f"rsa_keygen_pubexp:{public_exponent}", "-out", key_path])
            pkcs8 = wd.read("key.pem")
            pkcs1 = _openssl(["pkey", "-in", key_path, "-traditional"]).stdout
            encrypted = _openssl(["rsa", "-in", key_path, "-traditional", "-aes256", "-passout", "env:CORVANE_PASS"],
                                 password=passphrase).stdout
            pub = _openssl(["pkey", "-in", key_path, "-pubout"]).stdout
    return RsaTestKey(bits, public_exponent, pkcs1, pkcs8, encrypted, passphrase, pub)


@functools.lru_cache(maxsize=None)
def rsa_2048():
    """The main 2048-bit test key (the world's signing key)."""
    return make_rsa_key(2048)


@functools.lru_cache(maxsize=None)
def rsa_2048_other():
    """A second, different 2048-bit key."""
    return make_rsa_key(2048, passphrase="other passphrase")


@functools.lru_cache(maxsize=None)
def rsa_1024():
    """A 1024-bit key, for tests where the size does not matter."""
    return make_rsa_key(1024)


@functools.lru_cache(maxsize=None)
def ec_p256():
    name = _pick(None)
    if name == "cryptography":
        key = ec.generate_private_key(ec.SECP256R1())
        pkcs8 = key.private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()
        )
        trad = key.private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.TraditionalOpenSSL, serialization.NoEncryption()
        )
        pub = key.public_key().public_bytes(
            serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo
        )
    else:
        with _Workdir() as wd:
            path = wd.file("ec.pem")
            _openssl(["genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", path])
            pkcs8 = wd.read("ec.pem")
            trad = _openssl(["pkey", "-in", path, "-traditional"]).stdout
            pub = _openssl(["pkey", "-in", path, "-pubout"]).stdout
    return EcTestKey(pkcs8, trad, pub)


@dataclasses.dataclass(frozen=True)
class KeyInfo:
    kind: str  # "RSA" or "EC"
    bits: int
    public_exponent: int | None  # RSA only
    public_pem: bytes


def _load_private(pem, password):
    try:
        return serialization.load_pem_private_key(
            _bytes(pem), password=None if password is None else _bytes(password)
        )
    except (ValueError, TypeError) as exc:
        raise CryptoError(str(exc)) from exc


def decrypt_private_key(pem, password=None, backend=None):
    """Unencrypted PEM of a private key given as (possibly encrypted) PEM.

    RSA keys come out in the PKCS#1 form ("RSA PRIVATE KEY"), others in
    PKCS#8.  A wrong or missing passphrase raises :class:`CryptoError`."""
    name = _pick(backend)
    if name == "cryptography":
        key = _load_private(pem, password)
        fmt = (serialization.PrivateFormat.TraditionalOpenSSL if isinstance(key, rsa.RSAPrivateKey)
               else serialization.PrivateFormat.PKCS8)
        return key.private_bytes(serialization.Encoding.PEM, fmt, serialization.NoEncryption())
    with _Workdir() as wd:
        path = wd.file("in.pem", pem)
        text = _openssl(["pkey", "-in", path, "-passin", "env:CORVANE_PASS", "-noout", "-text"],
                        password=password or "").stdout.decode()
        args = ["pkey", "-in", path, "-passin", "env:CORVANE_PASS"]
        if "modulus:" in text:
            args.append("-traditional")
        return _openssl(args, password=password or "").stdout


def private_key_info(pem, password=None, backend=None):
    """Kind, size, public exponent and public PEM of a private key."""
    name = _pick(backend)
    if name == "cryptography":
        key = _load_private(pem, password)
        pub = key.public_key().public_bytes(
            serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo
        )
        if isinstance(key, rsa.RSAPrivateKey):
            return KeyInfo("RSA", key.key_size, key.public_key().public_numbers().e, pub)
        if isinstance(key, ec.EllipticCurvePrivateKey):
            return KeyInfo("EC", key.key_size, None, pub)
        return KeyInfo(type(key).__name__, 0, None, pub)
    with _Workdir() as wd:
        path = wd.file("in.pem", pem)
        text = _openssl(["pkey", "-in", path, "-passin", "env:CORVANE_PASS", "-noout", "-text"],
                        password=password or "").stdout.decode()
        pub = _openssl(["pkey", "-in", path, "-passin", "env:CORVANE_PASS", "-pubout"],
                       password=password or "").stdout
    bits = int(re.search(r"Private-Key: \((\d+) bit", text).group(1))
    if "modulus:" in text:
        exp = int(re.search(r"publicExponent: (\d+)", text).group(1))
        return KeyInfo("RSA", bits, exp, pub)
    if "ASN1 OID" in text or "NIST CURVE" in text:
        return KeyInfo("EC", bits, None, pub)
    return KeyInfo("unknown", bits, None, pub)


def public_pem(pem, password=None, backend=None):
    """SubjectPublicKeyInfo PEM of a private key (or of a public key)."""
    pem = _bytes(pem)
    if b"PUBLIC KEY-----" in pem:
        return pem
    return private_key_info(pem, password, backend).public_pem


# --------------------------------------------------------------------------
# signatures
# --------------------------------------------------------------------------


def _pss_opts(salt_length):
    return ["-pkeyopt", "rsa_padding_mode:pss", "-pkeyopt", f"rsa_pss_saltlen:{salt_length}",
            "-pkeyopt", "digest:sha256", "-pkeyopt", "rsa_mgf1_md:sha256"]


def sign_pss_sha256(private_pem, message, salt_length=32, backend=None):
    """RSASSA-PSS/SHA-256 (MGF1-SHA-256) signature as Base64 text; used to
    test the verifier, never to produce what the modules must produce."""
    message = _bytes(message)
    name = _pick(backend)
    if name == "cryptography":
        key = _load_private(private_pem, None)
        sig = key.sign(message, padding.PSS(padding.MGF1(hashes.SHA256()), salt_length), hashes.SHA256())
        return b64(sig)
    with _Workdir() as wd:
        key = wd.file("key.pem", private_pem)
        dig = wd.file("digest.bin", hashlib.sha256(message).digest())
        out = _openssl(["pkeyutl", "-sign", "-inkey", key, "-in", dig, *_pss_opts(salt_length)]).stdout
    return b64(out)


def _decode_signature(signature_b64):
    try:
        return base64.b64decode(_bytes(signature_b64), validate=True)
    except (ValueError, TypeError):
        return None


def _verify_openssl(public, message_digest, sig, opts):
    with _Workdir() as wd:
        pub = wd.file("pub.pem", public)
        dig = wd.file("digest.bin", message_digest)
        sig_path = wd.file("sig.bin", sig)
        proc = _openssl(["pkeyutl", "-verify", "-pubin", "-inkey", pub, "-in", dig, "-sigfile", sig_path, *opts],
                        check=False)
    out = proc.stdout.decode(errors="replace")
    if proc.returncode == 0 and "Signature Verified Successfully" in out:
        return True
    if "Signature Verification Failure" in out:
        return False
    raise CryptoError(proc.stderr.decode(errors="replace").strip())


def verify_pss_sha256(public_pem, message, signature_b64, salt_length=32, backend=None):
    """True when ``signature_b64`` (Base64 text) is an RSASSA-PSS signature
    of ``message`` (text is taken as UTF-8) with SHA-256, MGF1-SHA-256 and a
    salt of exactly ``salt_length`` bytes, under the key of ``public_pem``
    (a public key PEM, or a private key PEM whose public half is used).
    A signature that is not Base64 is simply not valid."""
    message = _bytes(message)
    sig = _decode_signature(signature_b64)
    if sig is None:
        return False
    public = public_pem_of_any(public_pem, backend)
    name = _pick(backend)
    if name == "cryptography":
        key = serialization.load_pem_public_key(public)
        try:
            key.verify(sig, message, padding.PSS(padding.MGF1(hashes.SHA256()), salt_length), hashes.SHA256())
        except InvalidSignature:
            return False
        return True
    return _verify_openssl(public, hashlib.sha256(message).digest(), sig, _pss_opts(salt_length))


def public_pem_of_any(pem, backend=None):
    pem = _bytes(pem)
    if b"-----BEGIN PUBLIC KEY-----" in pem:
        return pem
    return private_key_info(pem, None, backend).public_pem


# --------------------------------------------------------------------------
# certificate signing requests
# --------------------------------------------------------------------------

_OID_NAMES = {
    "2.5.4.3": "CN",
    "2.5.4.4": "SN",
    "2.5.4.5": "serialNumber",
    "2.5.4.6": "C",
    "2.5.4.7": "L",
    "2.5.4.8": "ST",
    "2.5.4.9": "street",
    "2.5.4.10": "O",
    "2.5.4.11": "OU",
    "2.5.4.12": "title",
    "2.5.4.42": "GN",
    "1.2.840.113549.1.9.1": "emailAddress",
    "0.9.2342.19200300.100.1.25": "DC",
    "0.9.2342.19200300.100.1.1": "UID",
}

_SIG_ALGS = {
    "1.2.840.113549.1.1.5": "sha1WithRSAEncryption",
    "1.2.840.113549.1.1.10": "rsassaPss",
    "1.2.840.113549.1.1.11": "sha256WithRSAEncryption",
    "1.2.840.113549.1.1.12": "sha384WithRSAEncryption",
    "1.2.840.113549.1.1.13": "sha512WithRSAEncryption",
    "1.2.840.10045.4.3.2": "ecdsa-with-SHA256",
}


@dataclasses.dataclass(frozen=True)
class CsrInfo:
    """What a PKCS#10 request says.  ``subject`` is the list of RDNs in
    order, each a tuple of (name, value) pairs (name: short name such as
    "CN", or the dotted OID when unknown)."""

    subject: tuple
    public_pem: bytes
    signature_algorithm: str
    signature_valid: bool
    version: int


def _der_read(data, pos):
    """One DER element at ``pos``: (tag, content start, end)."""
    tag = data[pos]
    length = data[pos + 1]
    pos += 2
    if length & 0x80:
        count = length & 0x7F
        length = int.from_bytes(data[pos:pos + count], "big")
        pos += count
    if pos + length > len(data):
        raise CryptoError("truncated DER")
    return tag, pos, pos + length


def _der_children(data, start, end):
    out = []
    while start < end:
        tag, cstart, cend = _der_read(data, start)
        out.append((tag, cstart, cend, start))
        start = cend
    return out


def _der_oid(raw):
    first = raw[0]
    parts = [first // 40 if first < 80 else 2, first % 40 if first < 80 else first - 80]
    value = 0
    for byte in raw[1:]:
        value = (value << 7) | (byte & 0x7F)
        if not byte & 0x80:
            parts.append(value)
            value = 0
    return ".".join(str(p) for p in parts)


def _der_string(tag, raw):
    if tag == 0x0C:
        return raw.decode("utf-8")
    if tag == 0x1E:
        return raw.decode("utf-16-be")
    if tag == 0x1C:
        return raw.decode("utf-32-be")
    return raw.decode("latin-1")


def _pem_to_der(pem, label):
    text = _bytes(pem).decode("ascii", errors="replace")
    match = re.search(rf"-----BEGIN {label}-----(.*?)-----END {label}-----", text, re.S)
    if not match:
        raise CryptoError(f"no PEM block labelled {label}")
    return base64.b64decode("".join(match.group(1).split()))


def _der_to_pem(der, label):
    body = base64.b64encode(der).decode()
    lines = [body[i:i + 64] for i in range(0, len(body), 64)]
    return (f"-----BEGIN {label}-----\n" + "\n".join(lines) + f"\n-----END {label}-----\n").encode()


def _parse_csr_der(der):
    _, s, e = _der_read(der, 0)
    info, sig_alg, _sig = _der_children(der, s, e)[:3]
    version_el, subject_el, spki_el = _der_children(der, info[1], info[2])[:3]
    version = int.from_bytes(der[version_el[1]:version_el[2]], "big")
    rdns = []
    for rdn in _der_children(der, subject_el[1], subject_el[2]):
        pairs = []
        for atv in _der_children(der, rdn[1], rdn[2]):
            oid_el, val_el = _der_children(der, atv[1], atv[2])[:2]
            oid = _der_oid(der[oid_el[1]:oid_el[2]])
            pairs.append((_OID_NAMES.get(oid, oid), _der_string(val_el[0], der[val_el[1]:val_el[2]])))
        rdns.append(tuple(pairs))
    spki_der = der[spki_el[3]:spki_el[2]]
    alg_oid_el = _der_children(der, sig_alg[1], sig_alg[2])[0]
    alg = _der_oid(der[alg_oid_el[1]:alg_oid_el[2]])
    return tuple(rdns), _der_to_pem(spki_der, "PUBLIC KEY"), _SIG_ALGS.get(alg, alg), version


def csr_info(csr_pem, backend=None):
    """Parse and check a PEM certificate signing request."""
    name = _pick(backend)
    csr_pem = _bytes(csr_pem)
    if name == "cryptography":
        try:
            csr = x509.load_pem_x509_csr(csr_pem)
        except ValueError as exc:
            raise CryptoError(str(exc)) from exc
        rdns = tuple(
            tuple((_OID_NAMES.get(a.oid.dotted_string, a.oid.dotted_string), a.value) for a in rdn)
            for rdn in csr.subject.rdns
        )
        pub = csr.public_key().public_bytes(
            serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo
        )
        alg = csr.signature_algorithm_oid.dotted_string
        version = {"v1": 0}.get(getattr(getattr(csr, "version", None), "name", "v1"), 0)
        return CsrInfo(rdns, pub, _SIG_ALGS.get(alg, alg), csr.is_signature_valid, version)
    der = _pem_to_der(csr_pem, "CERTIFICATE REQUEST")
    rdns, pub, alg, version = _parse_csr_der(der)
    with _Workdir() as wd:
        path = wd.file("req.pem", csr_pem)
        proc = _openssl(["req", "-in", path, "-noout", "-verify"], check=False)
    output = (proc.stdout + proc.stderr).decode(errors="replace")
    if "unable to load" in output.lower():
        raise CryptoError(output)
    valid = proc.returncode == 0 and "verify OK" in output
    return CsrInfo(rdns, pub, alg, valid, version)


def verify_csr(csr_pem, public_pem=None, backend=None):
    """True when the request's self-signature verifies and, if
    ``public_pem`` is given, the request carries that public key (a private
    key PEM may be given: its public half is compared)."""
    info = csr_info(csr_pem, backend)
    if not info.signature_valid:
        return False
    if public_pem is not None:
        expected = public_pem_of_any(public_pem, backend)
        return _spki(expected) == _spki(info.public_pem)
    return True


def _spki(pem):
    return _pem_to_der(pem, "PUBLIC KEY")
