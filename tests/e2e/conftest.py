"""Fixtures of the end-to-end tests: the installed corvane_core modules talk
over a real requests session and real sockets to the sandbox service,
started here on a free loopback port, with the in-memory stand-in of the addon's
records (corvane_standins.addon).

``sandbox``   one sandbox for the module (consent page shown, not
              auto-approved; payment status steps of 0.2 s).
``modules``   (corvane_user, corvane_keys, corvane_pain) pointed at the
              sandbox for the test (module attributes, restored after).
``addon``     a fresh addon stand-in with a draft KAV User, whose
              configuration hands out an AddonSession.
``linked``    the same, after the company key was generated, certified
              and the user linked: ready for every operation.
"""

from __future__ import annotations

import os
import sys

import pytest

_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The suite tests the installed package, never the source tree (where the
# extension modules are not built).
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _ROOT]

from corvane_sandbox import Sandbox, SandboxConfig  # noqa: E402
from corvane_standins.addon import AddonSession, build_addon  # noqa: E402
from e2e_helpers import TIMEOUT, certify, follow_authorisation, new_key  # noqa: E402

CLIENT_ID, CLIENT_SECRET = "e2e-client", "e2e-secret"


@pytest.fixture(scope="module")
def sandbox():
    config = SandboxConfig(port=0, client_id=CLIENT_ID, client_secret=CLIENT_SECRET, payment_step=0.2)
    with Sandbox(config) as running:
        yield running


@pytest.fixture
def modules(sandbox, monkeypatch):
    from corvane_core import corvane_keys, corvane_pain, corvane_user

    monkeypatch.setattr(corvane_user, "TOLVEX_API_HOST_URL", sandbox.url)
    monkeypatch.setattr(corvane_user, "TOLVEX_API_HOST", sandbox.host)
    monkeypatch.setattr(corvane_pain, "TOLVEX_API_HOST_URL", sandbox.url)
    return corvane_user, corvane_keys, corvane_pain


@pytest.fixture
def addon(modules):
    with AddonSession() as session:
        session.default_timeout = TIMEOUT
        yield build_addon(session, CLIENT_ID, CLIENT_SECRET)


@pytest.fixture
def linked(sandbox, addon, modules):
    corvane_user = modules[0]
    certify(sandbox, addon, new_key(addon))
    url = corvane_user.user_linking(addon.user)["return"]["url"]
    assert addon.complete_linking(follow_authorisation(sandbox, url), corvane_user) == {}
    assert addon.user.state == "activated"
    return addon
