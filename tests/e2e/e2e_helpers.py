"""Helpers of the end-to-end tests: what the user's browser and the addon
do around the modules (consent page, certification of the company key)."""

from __future__ import annotations

import re
import urllib.parse

from corvane_sandbox import AUTH_PATH
from corvane_standins.addon import AddonSession

TIMEOUT = 10


def follow_authorisation(sandbox, url, decision="approve"):
    """What the user's browser does with the linking URL: open the consent
    page (on the sandbox, which serves the authorisation server's path) and
    answer it.  Returns the redirect URL the browser is sent to."""
    parts = urllib.parse.urlsplit(url)
    local = urllib.parse.urlunsplit(("http", sandbox.host, parts.path, parts.query, ""))
    with AddonSession() as browser:
        page = browser.get(local, allow_redirects=False, timeout=TIMEOUT)
        assert page.status_code == 200, page.text
        request_id = re.search(r'name="request_id" value="([^"]+)"', page.text).group(1)
        answer = browser.post(sandbox.url + AUTH_PATH, data={"request_id": request_id, "decision": decision},
                              allow_redirects=False, timeout=TIMEOUT)
    assert answer.status_code == 302, answer.text
    return answer.headers["Location"]


def certify(sandbox, addon, key_record, subject="/C=BE/O=Example Company SA/CN=Example Company signing key"):
    """Make the CSR with the module, have the sandbox certify it, and make
    the certificate the user's signing certificate.  Returns the keyId."""
    from corvane_core import corvane_keys

    csr = corvane_keys._generate_corvane_connect_csr(key_record, subject)["return"]
    answer = addon.session.post(sandbox.url + "/_sandbox/certificates", data=csr.encode("ascii"),
                                headers={"Content-Type": "application/pkcs10"})
    assert answer.status_code == 201, answer.text
    key_id = answer.json()["keyId"]
    addon.attach_certificate(key_record, key_id)
    return key_id


def new_key(addon, name="Company key"):
    from corvane_core import corvane_keys

    return corvane_keys._generate_corvane_connect_private_key(
        addon.env["certificate.key.corvane.connect"], name, passphrase="e2e passphrase")["return"]
