"""Fixtures of the sandbox's own tests: a sandbox on a free loopback port
with a clock the test moves, RSA keys, and a linked client (see
sandbox_testing)."""

from __future__ import annotations

import pytest
import requests
from cryptography.hazmat.primitives.asymmetric import rsa

from corvane_sandbox import Sandbox, SandboxConfig
from sandbox_testing import Client, Clock, link


@pytest.fixture(scope="session")
def rsa_key():
    return rsa.generate_private_key(public_exponent=65537, key_size=2048)


@pytest.fixture(scope="session")
def rsa_key_other():
    return rsa.generate_private_key(public_exponent=65537, key_size=2048)


@pytest.fixture
def clock():
    return Clock()


@pytest.fixture
def sandbox(clock):
    with Sandbox(SandboxConfig(port=0, auto_approve=True, payment_step=10), clock=clock) as running:
        yield running


@pytest.fixture
def http():
    with requests.Session() as session:
        yield session


@pytest.fixture
def client(sandbox, http, rsa_key, clock):
    tokens, key_id = link(sandbox, http, rsa_key)
    return Client(sandbox=sandbox, http=http, key=rsa_key, key_id=key_id, access_token=tokens["access_token"],
                  refresh_token=tokens["refresh_token"], clock=clock)
