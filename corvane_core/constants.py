"""Where the Corvane Connect service lives.

``TOLVEX_API_HOST_URL`` is the scheme and host the requests go to, with no
trailing "/"; ``TOLVEX_API_HOST`` the host name signed in every request,
exactly as the Host header carries it (port included when the URL has one).
The modules read both once, when they are first imported.

The production service unless the environment says otherwise: each value is
taken from its environment variable when that is set and not empty,
``CORVANE_TOLVEX_API_HOST_URL`` and ``CORVANE_TOLVEX_API_HOST`` (set both
together, to point a server at the sandbox or the beta service without
editing this file). An addon that vendors the package may instead replace
this file with its own ``constants`` module defining the two names.
"""

from os import environ as _environ

TOLVEX_API_HOST = _environ.get("CORVANE_TOLVEX_API_HOST") or "api.tolvex.com"
TOLVEX_API_HOST_URL = _environ.get("CORVANE_TOLVEX_API_HOST_URL") or "https://api.tolvex.com"
