"""A local stand-in of the Corvane Connect service for addon developers and
tests: the authorisation server's consent page, the OAuth token and
revocation endpoints, the accounts, account reports and bulk payment
initiation endpoints, and a certificate authority for the request-signing
key, all on a loopback port.

Every accounts, reports and payments request is checked as strictly as a
bank would (bearer token, body digest, HTTP message signature under the
certified key, clock window of "(created)"), and a refused request is
answered with a JSON body that names the check that failed.  The request
inspector at /_sandbox/ shows the recent requests with their verdicts.

    from corvane_sandbox import Sandbox, SandboxConfig
    with Sandbox(SandboxConfig(port=0, auto_approve=True)) as sandbox:
        ...  # point TOLVEX_API_HOST_URL at sandbox.url, TOLVEX_API_HOST at sandbox.host
"""

from .server import AUTH_PATH, DEFAULT_PORT, Sandbox, SandboxConfig

__all__ = ["Sandbox", "SandboxConfig", "DEFAULT_PORT", "AUTH_PATH"]
__version__ = "0.1.0"
