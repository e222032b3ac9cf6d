"""Test stand-ins for what the native modules see of their host: an
in-memory Odoo ORM (:mod:`support.orm`), the addon's models and a ready
world (:mod:`support.world`), a scripted HTTP session (:mod:`support.http`)
and RSA test keys with an independent verifier (:mod:`support.keys`).

Test code only: nothing here is shipped in the package, and nothing here
imports it."""

from . import http, keys, orm, world
from .http import FakeResponse, FakeSession
from .orm import Environment, Registry
from .world import World, make_env, make_world

__all__ = [
    "http", "keys", "orm", "world",
    "FakeResponse", "FakeSession", "Environment", "Registry", "World", "make_env", "make_world",
]
