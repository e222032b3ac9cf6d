"""The sandbox's OAuth 2.0 authorisation server: registered clients, the
authorisation requests of the consent page, authorisation codes, access
tokens and rotating refresh tokens, and revocation.

All state lives in one :class:`OAuthServer` under its own lock; every
method takes the current time from the clock it was given, so tests can
move time.  Tokens are random and opaque.  A grant is what one consent
produced: every token issued from it (by the code exchange and by each
refresh) belongs to it, and revoking its refresh token revokes the grant
and with it every access token issued from it.
"""

from __future__ import annotations

import base64
import binascii
import dataclasses
import secrets
import threading
import urllib.parse

__all__ = ["OAuthError", "OAuthServer", "KNOWN_SCOPES", "parse_basic"]

KNOWN_SCOPES = ("AI", "PI", "offline_access")


class OAuthError(Exception):
    """A refused OAuth request: ``status`` (400 or 401), the RFC 6749 error
    code, a sentence for the developer and the name of the failed check."""

    def __init__(self, status, error, description, check):
        super().__init__(description)
        self.status = status
        self.error = error
        self.description = description
        self.check = check

    def as_dict(self):
        return {"error": self.error, "error_description": self.description, "check": self.check}


@dataclasses.dataclass
class AuthRequest:
    request_id: str
    client_id: str
    redirect_uri: str
    scope: tuple
    state: str
    created: float


@dataclasses.dataclass
class Code:
    client_id: str
    redirect_uri: str
    scope: tuple
    expires: float
    used: bool = False
    grant_id: str | None = None


@dataclasses.dataclass
class Grant:
    grant_id: str
    client_id: str
    scope: tuple
    revoked: bool = False


@dataclasses.dataclass
class RefreshToken:
    grant_id: str
    expires: float
    rotated: bool = False


@dataclasses.dataclass
class AccessToken:
    grant_id: str
    expires: float


def parse_basic(value):
    """(client_id, secret) from an "Authorization: Basic ..." value, or
    raise :class:`OAuthError` naming what is wrong."""
    if value is None:
        raise OAuthError(401, "invalid_client", "the request has no Authorization header (HTTP Basic with the"
                         " client identifier and secret)", "client-authentication")
    scheme, _, encoded = value.partition(" ")
    if scheme.lower() != "basic" or not encoded.strip():
        raise OAuthError(401, "invalid_client", f"the Authorization header must be HTTP Basic, got scheme"
                         f" {scheme!r}", "client-authentication")
    try:
        decoded = base64.b64decode(encoded.strip(), validate=True).decode("utf-8")
    except (binascii.Error, ValueError):
        raise OAuthError(401, "invalid_client", "the Basic credential is not Base64 of UTF-8 text",
                         "client-authentication") from None
    client_id, sep, secret = decoded.partition(":")
    if not sep:
        raise OAuthError(401, "invalid_client", "the Basic credential has no ':' between client identifier and"
                         " secret", "client-authentication")
    return client_id, secret


class OAuthServer:
    """``clients``: {client_id: secret}.  Lifetimes in seconds."""

    def __init__(self, clients, clock, access_ttl=300, refresh_ttl=90 * 86400, code_ttl=120,
                 consent_ttl=600):
        self.clients = dict(clients)
        self.clock = clock
        self.access_ttl = access_ttl
        self.refresh_ttl = refresh_ttl
        self.code_ttl = code_ttl
        self.consent_ttl = consent_ttl
        self._lock = threading.Lock()
        self._auth_requests = {}
        self._codes = {}
        self._grants = {}
        self._refresh = {}
        self._access = {}

    # --- the authorisation endpoint -----------------------------------------
    def validate_auth_request(self, query):
        """Check the authorisation page's query (a dict of lists, as
        parse_qs gives it) and remember it.  Returns the
        :class:`AuthRequest`; raises :class:`OAuthError` naming the faulty
        parameter."""

        def single(name, required=True):
            values = query.get(name, [])
            if len(values) > 1:
                raise OAuthError(400, "invalid_request", f"the parameter {name} is given {len(values)} times",
                                 name)
            if not values or values[0] == "":
                if required:
                    raise OAuthError(400, "invalid_request", f"the parameter {name} is missing or empty", name)
                return None
            return values[0]

        client_id = single("client_id")
        if client_id not in self.clients:
            raise OAuthError(400, "unauthorized_client", f"the client_id {client_id!r} is not registered at the"
                             f" sandbox (registered: {', '.join(sorted(self.clients))})", "client_id")
        redirect_uri = single("redirect_uri")
        parts = urllib.parse.urlsplit(redirect_uri)
        if parts.scheme not in ("http", "https") or not parts.netloc or parts.fragment:
            raise OAuthError(400, "invalid_request", f"the redirect_uri {redirect_uri!r} must be an absolute"
                             " http(s) URL without fragment", "redirect_uri")
        # It goes back in a Location header, where only ASCII has a place.
        if any(not 0x21 <= ord(c) <= 0x7E for c in redirect_uri):
            raise OAuthError(400, "invalid_request", "the redirect_uri holds blanks, control characters or"
                             " characters outside ASCII (percent-encode them)", "redirect_uri")
        response_type = single("response_type")
        if response_type != "code":
            raise OAuthError(400, "unsupported_response_type", f"the response_type is {response_type!r}; only"
                             " \"code\" is supported", "response_type")
        scope = tuple(single("scope").split(" "))
        unknown = [s for s in scope if s not in KNOWN_SCOPES]
        if unknown or not ({"AI", "PI"} & set(scope)):
            raise OAuthError(400, "invalid_scope", f"the scope {' '.join(scope)!r} must name AI and/or PI (and"
                             f" may add offline_access); unknown: {', '.join(unknown) or 'none'}", "scope")
        state = single("state")
        request = AuthRequest(request_id=secrets.token_urlsafe(16), client_id=client_id,
                              redirect_uri=redirect_uri, scope=scope, state=state, created=self.clock())
        with self._lock:
            self._forget_stale_requests()
            self._auth_requests[request.request_id] = request
        return request

    def _forget_stale_requests(self):
        limit = self.clock() - self.consent_ttl
        for key in [k for k, r in self._auth_requests.items() if r.created < limit]:
            del self._auth_requests[key]

    def decide(self, request_id, approve):
        """The user's answer on the consent page.  Returns (request,
        redirect URL) with the code, or with error=access_denied."""
        with self._lock:
            request = self._auth_requests.pop(request_id, None)
        if request is None or request.created < self.clock() - self.consent_ttl:
            raise OAuthError(400, "invalid_request", "this consent page has expired or was already answered;"
                             " follow the authorisation URL again", "consent")
        if not approve:
            return request, _with_query(request.redirect_uri, {"error": "access_denied", "state": request.state})
        return request, _with_query(request.redirect_uri, {"code": self.issue_code(request), "state": request.state})

    def issue_code(self, request):
        code = secrets.token_urlsafe(24)
        with self._lock:
            self._codes[code] = Code(client_id=request.client_id, redirect_uri=request.redirect_uri,
                                     scope=request.scope, expires=self.clock() + self.code_ttl)
        return code

    # --- the token endpoint -------------------------------------------------
    def authenticate_client(self, authorization):
        client_id, secret = parse_basic(authorization)
        expected = self.clients.get(client_id)
        if expected is None:
            raise OAuthError(401, "invalid_client", f"the client identifier {client_id!r} is not registered at"
                             " the sandbox", "client-authentication")
        if not secrets.compare_digest(expected.encode(), secret.encode()):
            raise OAuthError(401, "invalid_client", f"the client secret is wrong for client {client_id!r}",
                             "client-authentication")
        return client_id

    def token(self, authorization, form):
        """The token endpoint: ``form`` is the parsed body (dict of lists).
        Returns the answer's six keys; raises :class:`OAuthError`."""
        client_id = self.authenticate_client(authorization)
        grant_type = _form_value(form, "grant_type")
        if grant_type == "authorization_code":
            return self._exchange_code(client_id, form)
        if grant_type == "refresh_token":
            return self._refresh_grant(client_id, form)
        raise OAuthError(400, "unsupported_grant_type", f"the grant_type {grant_type!r} is not supported"
                         " (authorization_code, refresh_token)", "grant_type")

    def _exchange_code(self, client_id, form):
        code_value = _form_value(form, "code")
        redirect_uri = _form_value(form, "redirect_uri")
        now = self.clock()
        with self._lock:
            code = self._codes.get(code_value)
            if code is None:
                raise OAuthError(400, "invalid_grant", "the authorisation code is unknown", "code")
            if code.client_id != client_id:
                raise OAuthError(400, "invalid_grant", f"the authorisation code was issued to client"
                                 f" {code.client_id!r}, not to {client_id!r}", "code")
            if code.used:
                # A replayed code: the grant it produced is revoked, as the
                # code may have leaked (RFC 6749, 4.1.2).
                if code.grant_id in self._grants:
                    self._grants[code.grant_id].revoked = True
                raise OAuthError(400, "invalid_grant", "the authorisation code was already exchanged; the"
                                 " tokens issued for it are revoked", "code")
            if now > code.expires:
                raise OAuthError(400, "invalid_grant", f"the authorisation code expired {int(now - code.expires)}"
                                 f" s ago (codes live {self.code_ttl} s)", "code")
            if redirect_uri != code.redirect_uri:
                raise OAuthError(400, "invalid_grant", f"the redirect_uri {redirect_uri!r} differs from the one"
                                 f" of the authorisation request {code.redirect_uri!r}", "redirect_uri")
            code.used = True
            grant = Grant(grant_id=secrets.token_hex(8), client_id=client_id, scope=code.scope)
            self._grants[grant.grant_id] = grant
            code.grant_id = grant.grant_id
            return self._issue(grant, now)

    def _refresh_grant(self, client_id, form):
        value = _form_value(form, "refresh_token")
        now = self.clock()
        with self._lock:
            refresh = self._refresh.get(value)
            if refresh is None:
                raise OAuthError(400, "invalid_grant", "the refresh token is unknown to the sandbox (was the"
                                 " user linked against this sandbox instance?)", "refresh-token")
            grant = self._grants[refresh.grant_id]
            if grant.client_id != client_id:
                raise OAuthError(400, "invalid_grant", f"the refresh token was issued to client"
                                 f" {grant.client_id!r}, not to {client_id!r}", "refresh-token")
            if grant.revoked:
                raise OAuthError(400, "invalid_grant", "the refresh token was revoked; the user must be"
                                 " linked again", "refresh-token")
            if refresh.rotated:
                raise OAuthError(400, "invalid_grant", "the refresh token was already used: each refresh"
                                 " answers a new refresh token, and only the newest one is valid",
                                 "refresh-token")
            if now > refresh.expires:
                raise OAuthError(400, "invalid_grant", "the refresh token has expired; the user must be linked"
                                 " again", "refresh-token")
            refresh.rotated = True
            return self._issue(grant, now)

    def _issue(self, grant, now):
        access = secrets.token_urlsafe(32)
        refresh = secrets.token_urlsafe(32)
        self._access[access] = AccessToken(grant_id=grant.grant_id, expires=now + self.access_ttl)
        self._refresh[refresh] = RefreshToken(grant_id=grant.grant_id, expires=now + self.refresh_ttl)
        return {
            "access_token": access,
            "expires_in": self.access_ttl,
            "refresh_token": refresh,
            "refresh_expires_in": self.refresh_ttl,
            "scope": " ".join(grant.scope),
            "token_type": "Bearer",
        }

    # --- revocation -----------------------------------------------------------
    def revoke(self, authorization, form):
        """RFC 7009: a refresh token revokes its grant (and every access
        token of it); an access token only itself.  An unknown token is not
        an error (the answer is the same), a token of another client is."""
        client_id = self.authenticate_client(authorization)
        value = _form_value(form, "token")
        with self._lock:
            refresh = self._refresh.get(value)
            access = self._access.get(value)
            found = refresh or access
            if found is None:
                return "the token is unknown; nothing to revoke"
            grant = self._grants[found.grant_id]
            if grant.client_id != client_id:
                raise OAuthError(400, "unauthorized_client", f"the token was issued to client"
                                 f" {grant.client_id!r}, not to {client_id!r}", "token")
            if refresh is not None:
                grant.revoked = True
                return "the refresh token and every token of its grant are revoked"
            del self._access[value]
            return "the access token is revoked"

    # --- bearer tokens of the API -------------------------------------------
    def check_bearer(self, authorization):
        """(ok, sentence, grant) for the Authorization header of an API
        request."""
        if authorization is None:
            return False, "the request has no Authorization header (Bearer access token)", None
        scheme, _, token = authorization.partition(" ")
        if scheme != "Bearer" or not token:
            return False, f"the Authorization header must be \"Bearer <access token>\", got scheme {scheme!r}", None
        now = self.clock()
        with self._lock:
            access = self._access.get(token)
            if access is None:
                return False, "the access token is unknown (revoked, or issued by another sandbox instance)", None
            grant = self._grants[access.grant_id]
            if grant.revoked:
                return False, "the access token belongs to a revoked grant", None
            if now > access.expires:
                return False, f"the access token expired {int(now - access.expires)} s ago", None
        return True, f"access token of client {grant.client_id!r}, scope {' '.join(grant.scope)!r}", grant



def _form_value(form, name):
    values = form.get(name, [])
    if not values or values[0] == "":
        raise OAuthError(400, "invalid_request", f"the form field {name} is missing or empty", name)
    if len(values) > 1:
        raise OAuthError(400, "invalid_request", f"the form field {name} is given {len(values)} times", name)
    return values[0]


def _with_query(uri, params):
    separator = "&" if urllib.parse.urlsplit(uri).query else ("" if uri.endswith("?") else "?")
    return uri + separator + urllib.parse.urlencode(params)
