"""The company's RSA key, its certificate signing request, and RSASSA-PSS signing."""

import base64 as base64

from .contract import CertificateKey, Company

def _generate_corvane_connect_private_key(
    key_record: CertificateKey,
    name: str,
    passphrase: str | None = None,  # required in practice: anything but a non-empty str raises
    public_exponent: int = 65537,
    key_size: int = 2048,
    company: Company | None = None,
) -> dict[str, CertificateKey]: ...
def _generate_corvane_connect_csr(key_record: CertificateKey, x509_name: str) -> dict[str, str]: ...
def _corvane_connect_sign(key_record: CertificateKey, message: str) -> dict[str, str]: ...
