"""Fixtures shared by the Python tests.

``session``  a fresh :class:`corvane_standins.http.FakeSession` (empty script); a
             request the test did not script fails the test at teardown
             even if the code under test swallowed the error (a test that
             provokes one on purpose clears ``session.unanswered``).
``world``    :func:`corvane_standins.world.make_world` around ``session``.
``env``      the world's environment.
``rsa_key`` / ``rsa_key_other`` / ``rsa_key_small`` / ``ec_key``
             cached test keys (:mod:`corvane_standins.keys`).
``crypto_backend``
             parametrised over the crypto back ends available here
             ("cryptography", "openssl"); the back end is the default one
             during the test.
"""

import os
import sys

import pytest

# `python -m pytest` run from the repository root puts the source tree first
# on sys.path, where corvane_core has no built modules: the suite always
# tests an installed or built copy of the package.
_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _ROOT]

from corvane_standins import keys as _keys  # noqa: E402
from corvane_standins.http import FakeSession  # noqa: E402
from corvane_standins.world import make_world  # noqa: E402


@pytest.fixture
def session():
    fake = FakeSession()
    yield fake
    if fake.unanswered:
        pytest.fail(
            "unscripted request(s): "
            + ", ".join(f"{c.method} {c.wire.url}" for c in fake.unanswered),
            pytrace=False,
        )


@pytest.fixture
def world(session):
    return make_world(session=session)


@pytest.fixture
def env(world):
    return world.env


@pytest.fixture(scope="session")
def rsa_key():
    return _keys.rsa_2048()


@pytest.fixture(scope="session")
def rsa_key_other():
    return _keys.rsa_2048_other()


@pytest.fixture(scope="session")
def rsa_key_small():
    return _keys.rsa_1024()


@pytest.fixture(scope="session")
def ec_key():
    return _keys.ec_p256()


@pytest.fixture(params=_keys.available_backends())
def crypto_backend(request):
    with _keys.use_backend(request.param):
        yield request.param
