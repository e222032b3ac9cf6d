"""The sandbox's HTTP server: the routes of the Corvane Connect service, the
authorisation server's consent page, the certificate authority and the
request inspector, on a loopback port.

:class:`Sandbox` holds the state (OAuth server, certificate authority, bank
data, payment desk, request log) and runs a ``ThreadingHTTPServer`` bound to
127.0.0.1 only.  Every accounts, reports and payments request is verified
before it is served (see :mod:`corvane_sandbox.httpsig`); a failed check
answers 401 (403 for a missing scope) with a JSON body naming the check.
Every answer carries ``X-Sandbox-Request`` (its number in the inspector) and
``X-Sandbox-Verdict`` ("passed", "failed: CHECK" or "-" where nothing is
checked).
"""

from __future__ import annotations

import dataclasses
import html
import json
import re
import sys
import threading
import time
import traceback
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from . import httpsig
from .bank import Bank
from .ca import CertificateAuthority, CsrRejected
from .httpsig import Check, Received
from .inspector import RequestLog, mask_secrets, render_page
from .oauth import OAuthError, OAuthServer
from .payments import PaymentDesk, UploadRefused, check_upload_headers, parse_pain001

__all__ = ["Sandbox", "SandboxConfig", "DEFAULT_PORT", "AUTH_PATH"]

DEFAULT_PORT = 18765
LOOPBACK = "127.0.0.1"
AUTH_PATH = "/auth/realms/corvane/protocol/openid-connect/auth"
MAX_BODY = 10 * 1024 * 1024
# Which scope each API family needs: account information or payment initiation.
SCOPE_ACCOUNTS = "AI"
SCOPE_PAYMENTS = "PI"


@dataclasses.dataclass
class SandboxConfig:
    port: int = DEFAULT_PORT
    client_id: str = "sandbox-client"
    client_secret: str = "sandbox-secret"
    auto_approve: bool = False
    clock_skew: int = 300
    seed: int = 1
    accounts: int = 23
    reporting_accounts: int = 3
    report_days: int = 2
    payment_step: float = 2.0
    access_ttl: int = 300
    refresh_ttl: int = 90 * 86400
    log_size: int = 200
    quiet: bool = True


@dataclasses.dataclass
class Reply:
    status: int
    body: bytes = b""
    content_type: str = "application/json; charset=utf-8"
    headers: list = dataclasses.field(default_factory=list)
    verdict: str = "-"
    checks: list = dataclasses.field(default_factory=list)
    signing_string: str | None = None


def json_reply(status, document, **kwargs):
    body = (json.dumps(document, indent=2, ensure_ascii=False) + "\n").encode("utf-8")
    return Reply(status, body, **kwargs)


def _error(status, error, message, **extra):
    return json_reply(status, {"error": error, "message": message, **extra})


class _QueryError(ValueError):
    pass


def _query(query, allowed, required=()):
    """The query string as {name: value}: every name at most once, only the
    ``allowed`` ones."""
    try:
        pairs = urllib.parse.parse_qsl(query, keep_blank_values=True, strict_parsing=bool(query))
    except ValueError:
        raise _QueryError(f"the query string {query!r} is not form-encoded") from None
    values = {}
    for name, value in pairs:
        if name not in allowed:
            raise _QueryError(f"unknown query parameter {name!r} (allowed: {', '.join(allowed)})")
        if name in values:
            raise _QueryError(f"the query parameter {name!r} is given twice")
        values[name] = value
    for name in required:
        if name not in values:
            raise _QueryError(f"the query parameter {name!r} is missing")
    return values


# Request numbers and byte counts are read from at most this many digits:
# more is no count this server meets, and int() refuses 4,300 digits or more.
_MAX_DIGITS = 18


def _clip(text, limit=40):
    return text if len(text) <= limit else f"{text[:limit]}… ({len(text)} characters)"


def _whole_number(text):
    """The value of ``text`` if it is a whole number of at most _MAX_DIGITS
    ASCII digits, else None."""
    if not (text.isascii() and text.isdigit()) or len(text) > _MAX_DIGITS:
        return None
    return int(text)


def _content_length(text):
    return _whole_number(text.strip(" \t"))


def _request_number(text, name):
    """A request number of the inspector (None when ``text`` is None)."""
    if text is None:
        return None
    number = _whole_number(text)
    if number is None:
        raise _QueryError(f"{name} must be a request number (at most {_MAX_DIGITS} ASCII digits), got"
                          f" {_clip(text)!r}")
    return number


def _paging(values):
    try:
        offset = int(values.get("offset", "0"))
        size = int(values.get("size", "20"))
    except ValueError:
        raise _QueryError("offset and size must be whole numbers") from None
    if offset < 0 or not 1 <= size <= 100:
        raise _QueryError(f"offset must be 0 or more and size between 1 and 100 (got offset={offset}, size={size})")
    return offset, size


class Sandbox:
    """The sandbox service.  ``start()`` serves in a background thread (for
    tests and the demo); ``serve_forever()`` in the calling one (the CLI).
    ``clock`` gives the time in seconds for every check and state change."""

    def __init__(self, config=None, clock=time.time):
        self.config = config or SandboxConfig()
        self.clock = clock
        cfg = self.config
        self.oauth = OAuthServer({cfg.client_id: cfg.client_secret}, clock, access_ttl=cfg.access_ttl,
                                 refresh_ttl=cfg.refresh_ttl)
        self.ca = CertificateAuthority(clock)
        self.bank = Bank(seed=cfg.seed, accounts=cfg.accounts, reporting_accounts=cfg.reporting_accounts,
                         days=cfg.report_days)
        self.payments = PaymentDesk(clock, step=cfg.payment_step)
        self.log = RequestLog(cfg.log_size)
        self._server = None
        self._thread = None
        self._routes = [
            ("GET", re.compile(re.escape(AUTH_PATH)), self.consent_page, "authorisation page"),
            ("POST", re.compile(re.escape(AUTH_PATH)), self.consent_decision, "authorisation page"),
            ("POST", re.compile(r"/corvane-connect/oauth2/token"), self.token, "token"),
            ("POST", re.compile(r"/corvane-connect/oauth2/revoke"), self.revoke, "revoke"),
            ("GET", re.compile(r"/corvane-connect/accounts"), self.list_accounts, "accounts"),
            ("GET", re.compile(r"/corvane-connect/accounts/([^/]+)"), self.get_account, "account"),
            ("GET", re.compile(r"/corvane-connect/account-reports"), self.list_reports, "account reports"),
            ("GET", re.compile(r"/corvane-connect/account-reports/([^/]+)"), self.get_report, "account report"),
            ("POST", re.compile(r"/corvane-connect/bulk-payment-initiation-requests"), self.upload_payment,
             "payment upload"),
            ("GET", re.compile(r"/corvane-connect/bulk-payment-initiation-requests/([^/]+)"), self.payment_status,
             "payment status"),
            ("POST", re.compile(r"/_sandbox/certificates"), self.certify, "certificate authority"),
            ("GET", re.compile(r"/_sandbox/ca\.pem"), self.ca_certificate, "certificate authority"),
            ("GET", re.compile(r"/_sandbox/?"), self.inspector_page, None),
            ("GET", re.compile(r"/_sandbox/requests"), self.inspector_json, None),
        ]

    # --- life cycle ---------------------------------------------------------
    def bind(self):
        """Listen on 127.0.0.1:port (0: a free port); raises OSError when
        the port is taken."""
        server = _Server((LOOPBACK, self.config.port), _Handler)
        server.sandbox = self
        self._server = server
        return server

    def start(self):
        """Bind 127.0.0.1:port (0: a free port) and serve in a daemon
        thread.  Returns self."""
        server = self.bind()
        self._thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05},
                                        name="corvane-sandbox", daemon=True)
        self._thread.start()
        return self

    def serve_forever(self):
        server = self._server or self.bind()
        try:
            server.serve_forever(poll_interval=0.5)
        finally:
            server.server_close()

    def request_shutdown(self):
        """Make serve_forever() return; callable from any thread but the
        serving one, and from a signal handler (it does not wait)."""
        threading.Thread(target=self._server.shutdown, daemon=True).start()

    def stop(self):
        if self._server is None:
            return
        self._server.shutdown()
        self._server.server_close()
        if self._thread is not None:
            self._thread.join(timeout=10)
        self._server = None
        self._thread = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def port(self):
        return self._server.server_address[1]

    @property
    def host(self):
        """What the modules' TOLVEX_API_HOST must be: the Host header that
        clients send to this sandbox."""
        return f"{LOOPBACK}:{self.port}"

    @property
    def url(self):
        """What the modules' TOLVEX_API_HOST_URL must be."""
        return f"http://{self.host}"

    # --- routing ------------------------------------------------------------
    def route(self, method, path):
        """(handler, groups, endpoint name) for a request; (None, error
        Reply, "no endpoint") when nothing serves it.  The inspector's own
        pages have no endpoint name: they are not logged."""
        allowed = []
        for route_method, pattern, handler, endpoint in self._routes:
            match = pattern.fullmatch(path)
            if not match:
                continue
            if route_method == method:
                return handler, match.groups(), endpoint
            allowed.append(route_method)
        # Logged too: a developer looking for a request that went astray
        # finds it in the inspector.
        if allowed:
            reply = _error(405, "method_not_allowed", f"{method} is not served on {path}; use {', '.join(allowed)}")
            reply.headers.append(("Allow", ", ".join(allowed)))
            return None, reply, "no endpoint"
        return None, _error(404, "not_found", f"no endpoint of the sandbox serves {path}"), "no endpoint"

    # --- request verification -------------------------------------------------
    def verify(self, received, scope):
        """Run every check on an API request.  Returns (checks in
        CHECK_ORDER, the first failed Check or None, the grant, the rebuilt
        signing string or None)."""
        results = {}
        params = signing_string = certified = grant = None
        try:
            params = httpsig.parse_signature_header(received.header("Signature"))
            results["signature-header"] = Check("signature-header", True, f"keyId {params.key_id!r}, headers"
                                                f" {' '.join(params.headers)!r}, created {params.created}")
        except httpsig.SignatureHeaderError as exc:
            results["signature-header"] = Check("signature-header", False, str(exc))

        if params is not None:
            required = list(httpsig.REQUIRED_SIGNED_HEADERS)
            if received.header("Authorization") is not None:
                required.append("authorization")
            missing = [name for name in required if name not in params.headers]
            if missing:
                results["signed-headers"] = Check(
                    "signed-headers", False,
                    f"the signature must cover {' '.join(required)}; its headers list"
                    f" {' '.join(params.headers)!r} leaves out {' '.join(missing)}")
            else:
                signing_string, problem = httpsig.rebuild_signing_string(received, params)
                results["signed-headers"] = (Check("signed-headers", False, problem) if problem else Check(
                    "signed-headers", True, f"the {len(params.headers)} signed headers are all in the request"))
            certified, reason = self.ca.lookup(params.key_id)
            results["key-id"] = (Check("key-id", True, f"certified key, subject {certified.subject!r}")
                                 if certified else Check("key-id", False, reason))
            if params.created is not None:
                ok, detail, extra = httpsig.check_created(params, self.clock(), self.config.clock_skew)
                results["created"] = Check("created", ok, detail, extra)

        ok, detail, extra = httpsig.check_digest(received)
        results["digest"] = Check("digest", ok, detail, extra)

        if signing_string is not None and certified is not None:
            ok, detail = httpsig.verify_pss(certified.public_key, signing_string, params.signature,
                                            self.ca.others(params.key_id))
            extra = {"signing_string": signing_string}
            if not ok:
                detail += (f"; the host line is the Host header as received ({received.header('Host')!r}),"
                           " so TOLVEX_API_HOST must be exactly that")
            results["signature"] = Check("signature", ok, detail, extra)

        ok, detail, grant = self.oauth.check_bearer(received.header("Authorization"))
        results["bearer-token"] = Check("bearer-token", ok, detail)
        if grant is not None:
            has_scope = scope in grant.scope
            results["scope"] = Check("scope", has_scope, f"the grant's scope {' '.join(grant.scope)!r}"
                                     f" {'includes' if has_scope else 'lacks'} {scope}, which this endpoint needs")

        checks = [results.get(name) or Check(name, None, "not run: an earlier check failed")
                  for name in httpsig.CHECK_ORDER]
        failed = next((c for c in checks if c.ok is False), None)
        return checks, failed, grant, signing_string

    def _verified(self, received, scope, serve):
        """Verify, then ``serve(grant)`` when every check passed."""
        checks, failed, grant, signing_string = self.verify(received, scope)
        if failed is None:
            reply = serve(grant)
            reply.verdict = "passed"
        else:
            status = 403 if failed.name == "scope" else 401
            document = {
                "error": "insufficient_scope" if status == 403 else "request_not_verified",
                "check": failed.name,
                "message": failed.detail,
                # The modules log a refusal's body: the signing string's
                # authorization line goes out with its token shortened.
                **{name: mask_secrets(value) if isinstance(value, str) else value
                   for name, value in failed.extra.items()},
            }
            if received.number is not None:
                document["inspector"] = f"{self.url}/_sandbox/?open={received.number}#r{received.number}"
            reply = json_reply(status, document)
            if failed.name in ("bearer-token", "scope"):
                reply.headers.append(("WWW-Authenticate", f'Bearer realm="corvane-sandbox", error='
                                      f'"{"insufficient_scope" if status == 403 else "invalid_token"}"'))
            else:
                reply.headers.append(("WWW-Authenticate", 'Signature realm="corvane-sandbox",headers='
                                      '"(request-target) host digest (created) authorization"'))
            reply.verdict = f"failed: {failed.name}"
        reply.checks = [c.as_dict() for c in checks]
        reply.signing_string = signing_string
        return reply

    # --- the authorisation server ---------------------------------------------
    def consent_page(self, received, query):
        try:
            request = self.oauth.validate_auth_request(urllib.parse.parse_qs(query, keep_blank_values=True))
        except OAuthError as exc:
            return _html_reply(400, "Authorisation request refused",
                               f"<p class=\"bad\">{html.escape(exc.description)}</p>"
                               f"<p>Check: <code>{html.escape(exc.check)}</code></p>", verdict=f"failed: {exc.check}")
        if self.config.auto_approve:
            _, location = self.oauth.decide(request.request_id, approve=True)
            return Reply(302, b"", "text/plain; charset=utf-8", [("Location", location)], verdict="passed")
        e = html.escape
        scopes = {"AI": "read your accounts and statements", "PI": "initiate payments",
                  "offline_access": "keep access until you revoke it"}
        items = "".join(f"<li><code>{e(s)}</code>: {e(scopes[s])}</li>" for s in request.scope)
        body = (f"<p>The application <code>{e(request.client_id)}</code> asks for access to your accounts at"
                f" the Corvane Connect sandbox bank:</p><ul>{items}</ul>"
                f"<p>After your answer the browser goes to <code>{e(request.redirect_uri)}</code>"
                f" (state <code>{e(request.state)}</code>).</p>"
                f"<form method=\"post\" action=\"{AUTH_PATH}\">"
                f"<input type=\"hidden\" name=\"request_id\" value=\"{e(request.request_id)}\">"
                "<button type=\"submit\" name=\"decision\" value=\"approve\" id=\"approve\">Approve</button> "
                "<button type=\"submit\" name=\"decision\" value=\"deny\" id=\"deny\">Deny</button></form>")
        return _html_reply(200, "Link your bank accounts", body, verdict="passed")

    def consent_decision(self, received, query):
        if not _is_form(received):
            return _error(400, "invalid_request", "the consent form is posted as application/x-www-form-urlencoded")
        form = urllib.parse.parse_qs(received.body.decode("utf-8", "replace"))
        decision = form.get("decision", [""])[0]
        if decision not in ("approve", "deny"):
            return _error(400, "invalid_request", "the decision must be approve or deny")
        try:
            _, location = self.oauth.decide(form.get("request_id", [""])[0], approve=decision == "approve")
        except OAuthError as exc:
            return _html_reply(400, "Authorisation request refused", f"<p>{html.escape(exc.description)}</p>",
                               verdict=f"failed: {exc.check}")
        return Reply(302, b"", "text/plain; charset=utf-8", [("Location", location)], verdict="passed")

    def token(self, received, query):
        return self._oauth_call(received, lambda form: self.oauth.token(received.header("Authorization"), form))

    def revoke(self, received, query):
        return self._oauth_call(received, lambda form: {
            "message": self.oauth.revoke(received.header("Authorization"), form)})

    def _oauth_call(self, received, call):
        if not _is_form(received):
            return json_reply(400, {"error": "invalid_request", "check": "content-type", "error_description":
                                    "the body must be application/x-www-form-urlencoded, got"
                                    f" {received.header('Content-Type')!r}"}, verdict="failed: content-type")
        try:
            form = urllib.parse.parse_qs(received.body.decode("utf-8"), keep_blank_values=True)
            answer = call(form)
        except UnicodeDecodeError:
            return json_reply(400, {"error": "invalid_request", "check": "body",
                                    "error_description": "the form body is not UTF-8"}, verdict="failed: body")
        except OAuthError as exc:
            reply = json_reply(exc.status, exc.as_dict(), verdict=f"failed: {exc.check}")
            if exc.status == 401:
                reply.headers.append(("WWW-Authenticate", 'Basic realm="corvane-sandbox"'))
            return reply
        reply = json_reply(200, answer, verdict="passed")
        reply.headers += [("Cache-Control", "no-store"), ("Pragma", "no-cache")]
        return reply

    # --- accounts -------------------------------------------------------------
    def list_accounts(self, received, query):
        def serve(grant):
            try:
                offset, size = _paging(_query(query, ("offset", "size")))
            except _QueryError as exc:
                return _error(400, "invalid_request", str(exc), check="query")
            page = self.bank.accounts[offset:offset + size]
            return json_reply(200, {
                "data": [{"type": "account", "id": a.identifier} for a in page],
                "meta": {"paging": {"offset": offset, "size": size, "total": len(self.bank.accounts)}},
            })
        return self._verified(received, SCOPE_ACCOUNTS, serve)

    def get_account(self, received, query, identifier):
        def serve(grant):
            if query:
                return _error(400, "invalid_request", "the account detail takes no query", check="query")
            account = self.bank.account(urllib.parse.unquote(identifier))
            if account is None:
                return _error(404, "not_found", f"no account has the identifier {identifier!r}")
            return json_reply(200, {"data": {"type": "account", "id": account.identifier,
                                             "attributes": account.attributes()}})
        return self._verified(received, SCOPE_ACCOUNTS, serve)

    # --- account reports ------------------------------------------------------
    def list_reports(self, received, query):
        def serve(grant):
            try:
                values = _query(query, ("offset", "size", "after"))
                offset, size = _paging(values)
            except _QueryError as exc:
                return _error(400, "invalid_request", str(exc), check="query")
            reports = self.bank.reports_after(values.get("after"))
            if reports is None:
                return _error(400, "invalid_request", f"after={values['after']!r} names no account report of this"
                              " sandbox", check="after")
            return json_reply(200, {
                "data": [r.listing_item() for r in reports[offset:offset + size]],
                "meta": {"paging": {"offset": offset, "size": size, "total": len(reports)}},
            })
        return self._verified(received, SCOPE_ACCOUNTS, serve)

    def get_report(self, received, query, identifier):
        def serve(grant):
            report = self.bank.report(urllib.parse.unquote(identifier))
            if report is None:
                return _error(404, "not_found", f"no account report has the identifier {identifier!r}")
            return Reply(200, report.content, "application/xml; charset=utf-8",
                         [("Content-Disposition", f'attachment; filename="{report.file_name}"')])
        return self._verified(received, SCOPE_ACCOUNTS, serve)

    # --- payments ---------------------------------------------------------------
    def upload_payment(self, received, query):
        def serve(grant):
            try:
                if query:
                    raise UploadRefused("query", "the upload takes no query")
                file_name = check_upload_headers(received)
                summary = parse_pain001(received.body)
            except UploadRefused as exc:
                return _error(400, "invalid_request", exc.message, check=exc.check, **exc.extra)
            return json_reply(201, {"data": self.payments.receive(grant.client_id, file_name, summary)})
        return self._verified(received, SCOPE_PAYMENTS, serve)

    def payment_status(self, received, query, identifier):
        def serve(grant):
            data = self.payments.status(urllib.parse.unquote(identifier), grant.client_id)
            if data is None:
                return _error(404, "not_found", f"no bulk payment initiation request {identifier!r} of this client")
            return json_reply(200, {"data": data})
        return self._verified(received, SCOPE_PAYMENTS, serve)

    # --- certificate authority ------------------------------------------------
    def certify(self, received, query):
        body = received.body
        content_type = (received.header("Content-Type") or "").split(";")[0].strip().lower()
        try:
            if content_type == "application/json":
                try:
                    body = json.loads(body)["csr"]
                except (ValueError, KeyError, TypeError):
                    raise CsrRejected('a JSON body must be {"csr": "<PEM text>"}') from None
            certified = self.ca.certify(body)
        except CsrRejected as exc:
            return json_reply(400, {"error": "csr_rejected", "message": str(exc)}, verdict="failed: csr")
        cert = certified.certificate
        return json_reply(201, {
            "keyId": certified.key_id,
            "certificate": certified.certificate_pem,
            "caCertificate": self.ca.certificate_pem,
            "subject": certified.subject,
            "serialNumber": f"{cert.serial_number:x}",
            "notBefore": cert.not_valid_before_utc.isoformat(),
            "notAfter": cert.not_valid_after_utc.isoformat(),
        }, verdict="passed")

    def ca_certificate(self, received, query):
        return Reply(200, self.ca.certificate_pem.encode("ascii"), "application/x-pem-file")

    # --- inspector ----------------------------------------------------------------
    def facts(self):
        return [
            ("TOLVEX_API_HOST_URL", self.url),
            ("TOLVEX_API_HOST", self.host),
            ("client", self.config.client_id),
            ("clock skew", f"{self.config.clock_skew} s"),
            ("certified keys", ", ".join(k.key_id for k in self.ca.keys()) or "none"),
            ("accounts", len(self.bank.accounts)),
            ("account reports", len(self.bank.reports)),
        ]

    def inspector_page(self, received, query):
        try:
            opened = _request_number(_query(query, ("open",)).get("open"), "open")
        except _QueryError as exc:
            return _error(400, "invalid_request", str(exc), check="query")
        page = render_page(list(reversed(self.log.entries())), self.facts(), opened=opened)
        return Reply(200, page.encode("utf-8"), "text/html; charset=utf-8",
                     [("Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'"),
                      ("Cache-Control", "no-store")])

    def inspector_json(self, received, query):
        try:
            since = _request_number(_query(query, ("since",)).get("since", "0"), "since")
        except _QueryError as exc:
            return _error(400, "invalid_request", str(exc), check="query")
        return Reply(200, (self.log.as_json(since) + "\n").encode("utf-8"))


def _is_form(received):
    content_type = (received.header("Content-Type") or "").split(";")[0].strip().lower()
    return content_type == "application/x-www-form-urlencoded"


def _html_reply(status, title, body, verdict="-"):
    page = (f"<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>{html.escape(title)}</title>"
            "<style>body{font:15px/1.5 system-ui,sans-serif;max-width:40em;margin:3em auto;color:#222}"
            "button{font-size:1em;padding:.4em 1.2em;margin-right:.5em}.bad{color:#b00020}</style></head>"
            f"<body><h1>{html.escape(title)}</h1>{body}</body></html>\n")
    return Reply(status, page.encode("utf-8"), "text/html; charset=utf-8",
                 [("Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'; form-action 'self' http: https:")],
                 verdict=verdict)


def _headers_sendable(reply):
    try:
        for name, value in [("Content-Type", reply.content_type), *reply.headers, ("X-Sandbox-Verdict", reply.verdict)]:
            f"{name}: {value}".encode("latin-1")
    except UnicodeEncodeError:
        return False
    return True


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "CorvaneConnectSandbox/0.1"
    # A client that stops sending in the middle of a request frees its
    # thread after this many seconds.
    timeout = 30

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass

    def do_GET(self):
        self._dispatch()

    do_POST = do_PUT = do_PATCH = do_DELETE = do_GET

    def _read_body(self):
        if self.headers.get("Transfer-Encoding"):
            return None, _error(411, "length_required", "send the body with a Content-Length (no chunked transfer)")
        length = self.headers.get("Content-Length")
        if length is None:
            return b"", None
        size = _content_length(length)
        if size is None:
            return None, _error(400, "invalid_request", f"Content-Length {_clip(length)!r} is not a number of at most"
                                f" {_MAX_DIGITS} ASCII digits")
        if size > MAX_BODY:
            return None, _error(413, "payload_too_large", f"the body has {_clip(length)} bytes; at most {MAX_BODY}")
        body = self.rfile.read(size)
        if len(body) != size:
            return None, _error(400, "invalid_request", "the connection ended before the whole body arrived")
        return body, None

    def _dispatch(self):
        sandbox = self.server.sandbox
        body, refused = self._read_body()
        target = self.path
        path, _, query = target.partition("?")
        entry = None
        if refused is not None:
            self.close_connection = True
            reply = refused
        else:
            handler, groups, endpoint = sandbox.route(self.command, path)
            received = Received(method=self.command, target=target, headers=list(self.headers.items()), body=body)
            if endpoint is not None:
                entry = sandbox.log.open(sandbox.clock(), self.command, target, endpoint, received.headers, body)
                received.number = entry.number
            if handler is None:
                reply = groups
            else:
                try:
                    reply = handler(received, query, *groups)
                except Exception as exc:  # a fault of the sandbox itself: answer it, keep serving
                    traceback.print_exc(file=sys.stderr)
                    reply = _error(500, "sandbox_error", f"the sandbox failed on this request: {exc!r}")
        if not _headers_sendable(reply):  # a fault of the sandbox itself: answer it, keep serving
            reply = _error(500, "sandbox_error", "the sandbox made an answer header that HTTP cannot carry"
                           f" (outside Latin-1): {reply.headers!r}")
        if entry is not None:
            sandbox.log.close(entry, reply.status, reply.body, reply.verdict, reply.checks, reply.signing_string)
        self.send_response(reply.status)
        self.send_header("Content-Type", reply.content_type)
        self.send_header("Content-Length", str(len(reply.body)))
        for name, value in reply.headers:
            self.send_header(name, value)
        if entry is not None:
            self.send_header("X-Sandbox-Request", str(entry.number))
        self.send_header("X-Sandbox-Verdict", reply.verdict)
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(reply.body)
        if not sandbox.config.quiet:
            sys.stderr.write(f"[sandbox] #{entry.number if entry else '-'} {self.command} {target} -> {reply.status}"
                             f" {reply.verdict}\n")
