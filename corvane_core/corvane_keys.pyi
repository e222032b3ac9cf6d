"""The company's RSA key, its certificate signing request, and RSASSA-PSS signing."""

import base64 as base64
from typing import Any

def _generate_corvane_connect_private_key(
    key_record: Any,
    name: str,
    passphrase: str | None = None,
    public_exponent: int = 65537,
    key_size: int = 2048,
    company: Any = None,
) -> dict[str, Any]: ...
def _generate_corvane_connect_csr(key_record: Any, x509_name: str) -> dict[str, str]: ...
def _corvane_connect_sign(key_record: Any, message: str) -> dict[str, str]: ...
