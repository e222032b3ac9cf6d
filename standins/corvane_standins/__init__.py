"""Stand-ins for what the native modules see of their host: an in-memory
Odoo ORM (:mod:`corvane_standins.orm`), the addon's models and a ready world
(:mod:`corvane_standins.world`), a scripted HTTP session
(:mod:`corvane_standins.http`), RSA test keys with an independent verifier
(:mod:`corvane_standins.keys`), the check of a signed request
(:mod:`corvane_standins.signed`) and the addon of a real run against the
sandbox (:mod:`corvane_standins.addon`, which needs ``requests``' transport).

Used by the tests, the demo and the benchmarks; not shipped with
corvane_core, and nothing here imports it."""

from . import http, keys, orm, world
from .http import FakeResponse, FakeSession
from .orm import Environment, Registry
from .world import World, make_env, make_world

__all__ = [
    "http", "keys", "orm", "world",
    "FakeResponse", "FakeSession", "Environment", "Registry", "World", "make_env", "make_world",
]
