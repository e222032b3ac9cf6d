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
import threading

import pytest

# `python -m pytest` run from the repository root puts the source tree first
# on sys.path, where corvane_core has no built modules: the suite always
# tests an installed or built copy of the package.
_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _ROOT]

from corvane_standins import keys as _keys  # noqa: E402
from corvane_standins.http import FakeSession  # noqa: E402
from corvane_standins.world import make_world  # noqa: E402


def pytest_configure(config):
    # the marker of pytest-run-parallel, known without it too
    config.addinivalue_line("markers", "thread_unsafe(reason): runs on one thread under pytest-run-parallel")
    config.addinivalue_line("markers", "installed_package: needs the package installed as a distribution "
                            "(its metadata and file list, its stubs where a type checker finds them); "
                            "scripts/sanitize.sh runs a build tree and leaves these out")


def pytest_sessionstart(session):
    # Under pytest-run-parallel, threads that race on the first use of a test
    # key (made on first use, then cached) would each get a key of their own.
    if session.config.getoption("parallel_threads", None) not in (None, 1, "1"):
        for make in (_keys.rsa_2048, _keys.rsa_2048_other, _keys.rsa_1024, _keys.ec_p256):
            make()


class PerThread:
    """One object per thread, made on first use in that thread, standing for
    a fixture's value. pytest-run-parallel (scripts/variants/parallel_suite.sh)
    hands the same fixture values to every thread of a test; through this,
    each thread drives a world and a session of its own."""

    def __init__(self, make):
        object.__setattr__(self, "_make", make)
        object.__setattr__(self, "_local", threading.local())
        object.__setattr__(self, "made", [])

    def resolve(self):
        try:
            return self._local.value
        except AttributeError:
            value = self._local.value = self._make()
            self.made.append(value)
            return value

    def __getattr__(self, name):
        return getattr(self.resolve(), name)

    def __setattr__(self, name, value):
        setattr(self.resolve(), name, value)

    def __getitem__(self, key):
        return self.resolve()[key]

    def __contains__(self, item):
        return item in self.resolve()

    def __call__(self, *args, **kwargs):
        return self.resolve()(*args, **kwargs)

    def __eq__(self, other):
        return self.resolve() == other

    __hash__ = None

    def __repr__(self):
        return repr(self.resolve())


def per_thread(request, make):
    """``make()`` once per test, or once per thread of a test run in parallel."""
    try:
        threads = request.getfixturevalue("num_parallel_threads")
    except pytest.FixtureLookupError:  # pytest-run-parallel is not installed
        threads = 1
    if threads == 1:
        value = make()
        return value, [value]
    proxy = PerThread(make)
    return proxy, proxy.made


@pytest.fixture
def session(request):
    fake, made = per_thread(request, FakeSession)
    yield fake
    unanswered = [c for each in made for c in each.unanswered]
    if unanswered:
        pytest.fail(
            "unscripted request(s): "
            + ", ".join(f"{c.method} {c.wire.url}" for c in unanswered),
            pytrace=False,
        )


@pytest.fixture
def world(request, session):
    resolve = getattr(session, "resolve", lambda: session)
    return per_thread(request, lambda: make_world(session=resolve()))[0]


@pytest.fixture
def env(request, world):
    resolve = getattr(world, "resolve", lambda: world)
    return per_thread(request, lambda: resolve().env)[0]


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
