"""Certificate signing requests: the subject string's recognised components,
in string order, one attribute per RDN, with their ASN.1 string types; a
version 1 request with no attributes, signed with sha256WithRSAEncryption by
the key record's key.

Requests are read back by an independent reader (pyca/cryptography or the
openssl tool, through corvane_standins.keys); the DER walk below only reads the
string tags and the fixed fields, which the readers do not report."""

import base64
import binascii
import functools

import pytest

from corvane_core import corvane_keys
from corvane_standins import keys

try:
    from hypothesis import given, settings
    from hypothesis import strategies as st

    HAVE_HYPOTHESIS = True
except ImportError:  # pragma: no cover - interpreters without hypothesis
    HAVE_HYPOTHESIS = False

if keys.HAVE_CRYPTOGRAPHY:
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.x509.oid import NameOID

    PYCA_OIDS = {"C": NameOID.COUNTRY_NAME, "O": NameOID.ORGANIZATION_NAME,
                 "OU": NameOID.ORGANIZATIONAL_UNIT_NAME, "CN": NameOID.COMMON_NAME,
                 "serialNumber": NameOID.SERIAL_NUMBER}

UNPACK = r"^not enough values to unpack \(expected 2, got 1\)$"
PRINTABLE_STRING, UTF8_STRING = 0x13, 0x0C
STRING_TAG = {"C": PRINTABLE_STRING, "serialNumber": PRINTABLE_STRING, "O": UTF8_STRING,
              "OU": UTF8_STRING, "CN": UTF8_STRING}


class KeyRecord:
    """The only field the request reads."""

    def __init__(self, pem_key):
        self.pem_key = pem_key


class UnreadableKeyRecord:
    """Fails the test if the key is read at all."""

    @property
    def pem_key(self):
        raise AssertionError("the key was read before the subject was complete")


def csr(key_record, x509_name):
    result = corvane_keys._generate_corvane_connect_csr(key_record, x509_name)
    assert list(result) == ["return"]
    return result["return"]


def request_parts(pem):
    """Version, subject RDNs as [(name, string tag, value)], the raw
    attributes field and the signature algorithm identifier of a request."""
    der = keys._pem_to_der(pem, "CERTIFICATE REQUEST")
    _, start, end = keys._der_read(der, 0)
    info, algorithm, _signature = keys._der_children(der, start, end)
    version, subject, _spki, attributes = keys._der_children(der, info[1], info[2])
    rdns = []
    for rdn in keys._der_children(der, subject[1], subject[2]):
        entries = []
        for atv in keys._der_children(der, rdn[1], rdn[2]):
            oid, value = keys._der_children(der, atv[1], atv[2])
            name = keys._OID_NAMES.get(keys._der_oid(der[oid[1]:oid[2]]))
            entries.append((name, value[0], der[value[1]:value[2]].decode("utf-8")))
        rdns.append(entries)
    return {
        "version": der[version[1]:version[2]],
        "subject": rdns,
        "attributes": der[attributes[3]:attributes[2]],
        "algorithm": der[algorithm[1]:algorithm[2]],
    }


@functools.lru_cache(maxsize=None)
def pyca_key(pem):
    return serialization.load_pem_private_key(pem, password=None)


def pyca_request(key_pem, pairs):
    """The request that pyca/cryptography makes for the same key and subject
    (PKCS #1 v1.5 signatures are deterministic, so it is byte-comparable)."""
    name = x509.Name([x509.NameAttribute(PYCA_OIDS[k], v) for k, v in pairs])
    builder = x509.CertificateSigningRequestBuilder().subject_name(name)
    return builder.sign(pyca_key(key_pem), hashes.SHA256()).public_bytes(serialization.Encoding.PEM).decode()


# ---------------------------------------------------------------------------
# subjects
# ---------------------------------------------------------------------------

COMPANY = [("C", "BE"), ("O", "Company"), ("CN", "Company key")]

SUBJECTS = [
    ("/C=BE/O=Company/CN=Company key", COMPANY),
    ("C=BE/O=Company/CN=Company key", COMPANY),
    ("///C=BE/O=Company/CN=Company key//", COMPANY),
    ("/C=BE/L=Brussels/cn=x/Cn=y/CN=Company key", [("C", "BE"), ("CN", "Company key")]),
    ("/CN=a=b", [("CN", "a=b")]),
    ("/OU=Treasury/O=Company/OU=Payments", [("OU", "Treasury"), ("O", "Company"), ("OU", "Payments")]),
    ("/L=Brussels/cn=x/ST=Brabant/", []),
    ("/serialNumber=0123456789/C=NL", [("serialNumber", "0123456789"), ("C", "NL")]),
    ("/serialNumber=Aa0 '()+,-.:=?", [("serialNumber", "Aa0 '()+,-.:=?")]),
    ("/O= Company /CN =x/ C=BE", [("O", " Company ")]),          # spaces belong to key or value
    ("/O=/CN=x", [("O", ""), ("CN", "x")]),
    ("/O=Société Générale – €/CN=日本の会社", [("O", "Société Générale – €"), ("CN", "日本の会社")]),
    ("/O=nul\x00inside/CN=x", [("O", "nul\x00inside"), ("CN", "x")]),
    ("/L=\udc80/CN=x", [("CN", "x")]),                              # a skipped component is never encoded
    ("/CN=" + "é" * 32, [("CN", "é" * 32)]),                        # 64 bytes: the longest common name
    ("/O=" + "long " * 20000, [("O", "long " * 20000)]),
]


@pytest.mark.parametrize("subject, pairs", SUBJECTS, ids=[repr(s)[:50] for s, _ in SUBJECTS])
def test_subject_components_in_string_order(rsa_key_small, crypto_backend, subject, pairs):
    pem = csr(KeyRecord(rsa_key_small.pem_key_b64), subject)
    assert isinstance(pem, str)
    assert pem.startswith("-----BEGIN CERTIFICATE REQUEST-----\n")
    assert pem.endswith("-----END CERTIFICATE REQUEST-----\n")

    info = keys.csr_info(pem)
    assert info.subject == tuple(((k, v),) for k, v in pairs)
    assert info.signature_valid and info.signature_algorithm == "sha256WithRSAEncryption"
    assert keys.verify_csr(pem, rsa_key_small.public_pem)

    parts = request_parts(pem)
    assert parts["subject"] == [[(k, STRING_TAG[k], v)] for k, v in pairs]
    assert parts["version"] == b"\x00"
    assert parts["attributes"] == b"\xa0\x00"                      # [0] and empty
    # sha256WithRSAEncryption with NULL parameters (PKCS #1 v1.5, not PSS)
    assert parts["algorithm"] == bytes.fromhex("06092a864886f70d01010b0500")

    if keys.HAVE_CRYPTOGRAPHY:
        assert pem == pyca_request(rsa_key_small.pkcs1_pem, pairs)


def test_request_carries_the_key_records_key(world, rsa_key, rsa_key_other):
    """Through the key model: pem_key is derived from the stored encrypted key."""
    pem = csr(world.key, "/C=BE/O=Company/CN=Company key")
    assert keys.verify_csr(pem, world.key_material.public_pem)
    assert not keys.verify_csr(pem, rsa_key_other.public_pem)
    assert keys.csr_info(pem).public_pem == keys.public_pem(rsa_key.pkcs1_pem)


@pytest.mark.parametrize("form", ["pkcs8 text", "pkcs1 bytes", "line-broken"])
def test_key_field_forms(rsa_key_small, form):
    pem_key = {
        "pkcs8 text": rsa_key_small.pkcs8_b64,
        "pkcs1 bytes": rsa_key_small.pem_key_b64.encode(),
        "line-broken": "\n".join(rsa_key_small.pem_key_b64[i:i + 76]
                                 for i in range(0, len(rsa_key_small.pem_key_b64), 76)),
    }[form]
    assert keys.verify_csr(csr(KeyRecord(pem_key), "/CN=x"), rsa_key_small.public_pem)


def test_key_is_read_anew_on_every_call(rsa_key_small, rsa_key):
    record = KeyRecord(rsa_key_small.pem_key_b64)
    csr(record, "/CN=x")
    record.pem_key = rsa_key.pem_key_b64
    assert keys.verify_csr(csr(record, "/CN=x"), rsa_key.public_pem)


# ---------------------------------------------------------------------------
# failures
# ---------------------------------------------------------------------------

BAD_SUBJECTS = [
    # a component without "=", the empty ones included
    ("C=BE//CN=x", ValueError, UNPACK),
    ("", ValueError, UNPACK),
    ("/", ValueError, UNPACK),
    ("///", ValueError, UNPACK),
    ("/C=BE/CN", ValueError, UNPACK),
    ("/C=BE/ /CN=x", ValueError, UNPACK),
    ("/L\udc80/CN=x", ValueError, UNPACK),
    # values the X.509 types refuse
    ("/C=BEL", ValueError, "length"),
    ("/C=B", ValueError, "length"),
    ("/C=", ValueError, "length"),
    ("/C=é", ValueError, "PrintableString"),                        # two bytes, but not printable
    ("/C=b_", ValueError, "PrintableString"),
    ("/serialNumber=12_34", ValueError, "PrintableString"),
    ("/serialNumber=ü", ValueError, "PrintableString"),
    ("/serialNumber=1\x002", ValueError, "PrintableString"),
    ("/CN=", ValueError, "length"),
    ("/CN=" + "x" * 65, ValueError, "length"),
    ("/CN=" + "é" * 33, ValueError, "length"),                      # 66 bytes
    ("/O=\udc80", UnicodeEncodeError, "surrogates"),
    ("/CN=x/OU=ok\ud800", UnicodeEncodeError, "surrogates"),
    # a faulty component after a valid one still stops everything
    ("/C=BE/O=Company/C=BEL", ValueError, "length"),
    # not text
    (None, TypeError, "x509_name"),
    (b"/C=BE", TypeError, "x509_name"),
    (42, TypeError, "x509_name"),
    (["C=BE"], TypeError, "x509_name"),
]


@pytest.mark.parametrize("subject, error, match", BAD_SUBJECTS, ids=[repr(s)[:40] for s, _, _ in BAD_SUBJECTS])
def test_bad_subject_fails_before_the_key_is_read(subject, error, match):
    with pytest.raises(error, match=match):
        csr(UnreadableKeyRecord(), subject)


def _b64(data):
    return base64.b64encode(data).decode()


@pytest.mark.parametrize("pem_key, error", [
    (None, TypeError),
    (False, TypeError),
    ("", ValueError),
    ("QUI", binascii.Error),
    ("clé", ValueError),
    (_b64(b"no key in here"), ValueError),
    ("encrypted", TypeError),
    ("ec", TypeError),
], ids=["None", "False", "empty", "padding", "non-ascii", "no-pem", "encrypted", "ec"])
def test_bad_key_field_raises(rsa_key_small, ec_key, pem_key, error):
    pem_key = {"encrypted": _b64(rsa_key_small.encrypted_pem), "ec": ec_key.pem_key_b64}.get(pem_key, pem_key)
    with pytest.raises(error):
        csr(KeyRecord(pem_key), "/C=BE/CN=x")


def test_record_without_key_field():
    with pytest.raises(AttributeError):
        csr(object(), "/CN=x")


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    (("record",), {}),
    (("record", "/CN=x", "extra"), {}),
    (("record",), {"subject": "/CN=x"}),
    (("record", "/CN=x"), {"x509_name": "twice"}),
])
def test_wrong_calls_raise_type_error(rsa_key_small, args, kwargs):
    record = KeyRecord(rsa_key_small.pem_key_b64)
    args = tuple(record if a == "record" else a for a in args)
    with pytest.raises(TypeError):
        corvane_keys._generate_corvane_connect_csr(*args, **kwargs)


def test_arguments_by_keyword(rsa_key_small):
    result = corvane_keys._generate_corvane_connect_csr(x509_name="/CN=kw",
                                                        key_record=KeyRecord(rsa_key_small.pem_key_b64))
    assert keys.csr_info(result["return"]).subject == ((("CN", "kw"),),)


# ---------------------------------------------------------------------------
# any subject text: the same outcome as the Python library on the same parse
# ---------------------------------------------------------------------------

if HAVE_HYPOTHESIS and keys.HAVE_CRYPTOGRAPHY:
    VALUE = st.text(alphabet=st.sampled_from(list("BEx1 =_'?é€\x00\udc80")), max_size=8)
    PAIR = st.builds("{}={}".format, st.sampled_from(["C", "O", "OU", "CN", "serialNumber", "L", "cn", " CN"]),
                     VALUE)
    SUBJECT = st.builds(
        lambda lead, parts, tail: lead + "/".join(parts) + tail,
        st.text(alphabet="/", max_size=2),
        st.lists(st.one_of(PAIR, PAIR, PAIR, VALUE), min_size=1, max_size=5),   # mostly key=value
        st.text(alphabet="/", max_size=2),
    )

    def python_subject(text):
        """The subject pairs by the plain Python parse; ValueError where it
        fails to unpack a component."""
        pairs = []
        for component in text.strip("/").split("/"):
            key, value = component.split("=", 1)
            if key in PYCA_OIDS:
                pairs.append((key, value))
        return pairs

    @settings(max_examples=150, deadline=None)
    @given(SUBJECT)
    def test_any_subject_like_the_python_library(rsa_key_small, text):
        try:
            expected = pyca_request(rsa_key_small.pkcs1_pem, python_subject(text))
        except ValueError:                                           # UnicodeEncodeError included
            with pytest.raises(ValueError):
                csr(KeyRecord(rsa_key_small.pem_key_b64), text)
        else:
            assert csr(KeyRecord(rsa_key_small.pem_key_b64), text) == expected
