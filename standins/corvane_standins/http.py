"""A scripted stand-in for a ``requests.Session``.

``FakeSession`` takes the same call shapes as ``requests.Session``
(``get(url, **kwargs)``, ``post(url, data=None, json=None, **kwargs)``,
``request(method, url, ...)``, with the same keyword names; an unknown
keyword is a ``TypeError`` as it would be there) and records every call as
a :class:`Call`, including the request exactly as requests would put it on
the wire (:class:`Wire`).  Answers come from a script: a list of responses
consumed in order, or a router ``(call) -> response``.  A scripted
exception instance is raised instead of answering (a transport error).
Running out of answers raises :class:`UnscriptedRequest` (an
``AssertionError``), and the session remembers it in ``unanswered`` so
that a fixture can fail the test even if the error was swallowed.

Answer builders for the service's JSON documents are at the end of the
module (``token_answer``, ``accounts_page``, ``account_answer``,
``reports_page``, ``report_item``, ``pain_answer``...).
"""

from __future__ import annotations

import copy
import dataclasses
import json as _json
import threading

import requests
import requests.utils

__all__ = [
    "Call",
    "Wire",
    "FakeResponse",
    "FakeSession",
    "UnscriptedRequest",
    "DROP",
    "prepare",
    "json_response",
    "error_response",
    "token_answer",
    "accounts_page",
    "account_item",
    "account_answer",
    "account_attributes",
    "reports_page",
    "report_item",
    "pain_answer",
    "paged",
]

# the keywords requests.Session.request accepts
_REQUEST_KWARGS = (
    "params", "data", "headers", "cookies", "files", "auth", "timeout", "allow_redirects",
    "proxies", "hooks", "stream", "verify", "cert", "json",
)


class UnscriptedRequest(AssertionError):
    """The code sent a request for which the test scripted no answer."""


@dataclasses.dataclass
class Wire:
    """The request as requests prepares it for sending.

    ``url``: final URL with the encoded query; ``path_url``: the request
    target (path and query) of the request line; ``body``: the prepared body
    (text, bytes or None); ``body_bytes``: the bytes that go on the socket
    (text is sent UTF-8 encoded by the installed urllib3 2.x, Latin-1 by
    urllib3 1.x); ``headers``: the final headers (a plain dict, key order
    kept, including what requests adds such as Content-Length)."""

    method: str
    url: str
    path_url: str
    body: object
    body_bytes: bytes
    headers: dict


@dataclasses.dataclass
class Call:
    """One request received by the session.

    ``headers`` is a snapshot copy of the dict the caller passed (the caller
    may change its own dict afterwards); ``params`` and ``data`` are copies
    too.  ``kwargs`` holds every other keyword (timeout, auth, ...)."""

    method: str
    url: str
    params: object
    data: object
    headers: dict | None
    json: object
    kwargs: dict
    wire: Wire

    @property
    def target(self):
        """The request target in the signature's form: lower-case method,
        one blank, path with query (as sent)."""
        return f"{self.method.lower()} {self.wire.path_url}"


def _wire_body_bytes(body):
    if body is None:
        return b""
    if isinstance(body, bytes):
        return body
    if isinstance(body, str):
        if getattr(requests.utils, "is_urllib3_1", False):
            return body.encode("latin-1")
        return body.encode("utf-8")
    return bytes(body)


def prepare(method, url, params=None, data=None, headers=None, json=None):
    """The :class:`Wire` form of a request, built by requests itself."""
    prepared = requests.Request(
        method.upper(), url, params=params, data=data, headers=headers, json=json
    ).prepare()
    return Wire(
        method=prepared.method,
        url=prepared.url,
        path_url=prepared.path_url,
        body=prepared.body,
        body_bytes=_wire_body_bytes(prepared.body),
        headers=dict(prepared.headers),
    )


class FakeResponse:
    """Enough of ``requests.Response``: ``status_code``, ``ok`` (status below
    400), ``text``, ``content``, ``json()`` (parses ``text``; invalid JSON
    raises requests' ``JSONDecodeError``, a ``json.JSONDecodeError`` too),
    ``headers``, ``reason`` and ``url``.

    ``FakeResponse(200, json={...})`` serialises the document;
    ``FakeResponse(401, text="denied")`` answers that text."""

    def __init__(self, status=200, json=None, text=None, headers=None, content=None, reason=None):
        if json is not None and text is not None:
            raise ValueError("give json or text, not both")
        if content is not None:
            if text is not None or json is not None:
                raise ValueError("give content alone")
            self.content = bytes(content)
            self.encoding = "utf-8"
        else:
            if json is not None:
                text = _json.dumps(json)
            self.content = (text or "").encode("utf-8")
            self.encoding = "utf-8"
        self.status_code = int(status)
        self.headers = requests.structures.CaseInsensitiveDict(headers or {})
        if json is not None and "Content-Type" not in self.headers:
            self.headers["Content-Type"] = "application/json"
        self.reason = reason or ("OK" if self.status_code < 400 else "Error")
        self.url = None
        self.request = None

    @property
    def text(self):
        return self.content.decode(self.encoding, errors="replace")

    @property
    def ok(self):
        return self.status_code < 400

    def json(self, **kwargs):
        try:
            return _json.loads(self.text, **kwargs)
        except _json.JSONDecodeError as exc:
            raise requests.exceptions.JSONDecodeError(exc.msg, exc.doc, exc.pos) from exc

    def __repr__(self):
        return f"<FakeResponse [{self.status_code}]>"


class FakeSession:
    """Scripted session; see the module documentation.

    ``FakeSession([r1, r2])`` answers r1 then r2; ``FakeSession(router)``
    asks ``router(call)`` for every answer.  ``add(*responses)`` appends to
    the script.  ``calls`` lists every :class:`Call`."""

    def __init__(self, script=None):
        self.calls = []
        self.unanswered = []
        self.headers = requests.structures.CaseInsensitiveDict()
        self._router = None
        self._queue = []
        self._lock = threading.Lock()
        if callable(script):
            self._router = script
        elif script is not None:
            self._queue = list(script)

    # script ---------------------------------------------------------------
    def add(self, *responses):
        if self._router is not None:
            raise ValueError("this session answers through a router")
        self._queue.extend(responses)
        return self

    def route(self, router):
        """Answer every later request through ``router(call)``."""
        self._router = router
        return self

    def assert_all_used(self):
        if self._queue:
            raise AssertionError(f"{len(self._queue)} scripted answer(s) were never requested: {self._queue!r}")

    # request API ------------------------------------------------------------
    def request(self, method, url, params=None, data=None, headers=None, cookies=None, files=None,
                auth=None, timeout=None, allow_redirects=True, proxies=None, hooks=None, stream=None,
                verify=None, cert=None, json=None):
        given = {
            "cookies": cookies, "files": files, "auth": auth, "timeout": timeout,
            "proxies": proxies, "hooks": hooks, "stream": stream, "verify": verify, "cert": cert,
        }
        kwargs = {k: v for k, v in given.items() if v is not None}
        if allow_redirects is not True:
            kwargs["allow_redirects"] = allow_redirects
        wire = prepare(method, url, params=params, data=data, headers=headers, json=json)
        call = Call(
            method=method.upper(),
            url=url,
            params=copy.deepcopy(params),
            data=copy.deepcopy(data),
            headers=None if headers is None else dict(headers),
            json=copy.deepcopy(json),
            kwargs=kwargs,
            wire=wire,
        )
        with self._lock:
            self.calls.append(call)
            response = self._answer(call)
        if isinstance(response, BaseException):
            raise response
        if not isinstance(response, FakeResponse):
            raise TypeError(f"a scripted answer must be a FakeResponse or an exception, got {response!r}")
        response.url = wire.url
        response.request = call
        return response

    def _answer(self, call):
        if self._router is not None:
            return self._router(call)
        if not self._queue:
            err = UnscriptedRequest(
                f"no scripted answer for request #{len(self.calls)}: {call.method} {call.wire.url}"
            )
            self.unanswered.append(call)
            raise err
        return self._queue.pop(0)

    def get(self, url, **kwargs):
        self._check_kwargs(kwargs)
        return self.request("GET", url, **kwargs)

    def post(self, url, data=None, json=None, **kwargs):
        self._check_kwargs(kwargs)
        return self.request("POST", url, data=data, json=json, **kwargs)

    @staticmethod
    def _check_kwargs(kwargs):
        for key in kwargs:
            if key not in _REQUEST_KWARGS:
                raise TypeError(f"request() got an unexpected keyword argument '{key}'")

    # inspection ---------------------------------------------------------------
    def calls_to(self, path_prefix, method=None):
        """Calls whose wire path starts with ``path_prefix``."""
        return [c for c in self.calls if c.wire.path_url.startswith(path_prefix)
                and (method is None or c.method == method.upper())]

    def __repr__(self):
        return f"<FakeSession calls={len(self.calls)} pending={len(self._queue)}>"


# --------------------------------------------------------------------------
# answer builders
# --------------------------------------------------------------------------


class _Drop:
    def __repr__(self):
        return "DROP"


DROP = _Drop()  # an attribute given as DROP is left out of the document


def json_response(document, status=200, **kwargs):
    return FakeResponse(status, json=document, **kwargs)


def error_response(status=400, text="error", **kwargs):
    return FakeResponse(status, text=text, **kwargs)


def token_answer(access_token="access-1", refresh_token="refresh-1", expires_in=1800,
                 refresh_expires_in=15552000, scope="AI PI offline_access", token_type="Bearer",
                 status=200, drop=()):
    """A token endpoint answer; ``drop`` names keys to leave out."""
    doc = {
        "access_token": access_token,
        "expires_in": expires_in,
        "refresh_token": refresh_token,
        "refresh_expires_in": refresh_expires_in,
        "scope": scope,
        "token_type": token_type,
    }
    for key in drop:
        doc.pop(key)
    return FakeResponse(status, json=doc)


def paged(items, total=None, status=200):
    """A listing page: ``{"data": items, "meta": {"paging": {"total": total}}}``
    (total defaults to the number of items)."""
    return FakeResponse(status, json={
        "data": list(items),
        "meta": {"paging": {"total": len(items) if total is None else total}},
    })


def account_item(identifier):
    """One entry of an account listing page."""
    return {"type": "account", "id": identifier}


def accounts_page(identifiers, total=None):
    return paged([account_item(i) for i in identifiers], total)


def account_attributes(**overrides):
    """The attributes of an account detail; keyword names are the JSON
    names (``currency="USD"``, ``holderName=None``, ``country=DROP``...)."""
    attrs = {
        "country": "BE",
        "currency": "EUR",
        "description": "Current account",
        "financialInstitutionBic": "GEBABEBB",
        "holderAddress": "Rue de la Loi 16, 1000 Brussels",
        "holderAddressCountry": "BE",
        "holderName": "Example Company",
        "reference": "BE68539007547034",
        "referenceType": "IBAN",
    }
    attrs.update(overrides)
    return {k: v for k, v in attrs.items() if v is not DROP}


def account_answer(identifier, status=200, **overrides):
    """A detail answer ``{"data": {"id", "type", "attributes"}}``."""
    return FakeResponse(status, json={
        "data": {"type": "account", "id": identifier, "attributes": account_attributes(**overrides)},
    })


def report_item(identifier, **overrides):
    """One entry of an account report listing page.  An attribute given as
    :data:`DROP` is left out (``report_item("r1", fileFormat=DROP)``)."""
    attrs = {
        "fileName": f"{identifier}.xml",
        "accountReferencesAndCurrencies": [{"reference": "BE68539007547034", "currency": "EUR"}],
        "fileFormat": "CAMT.053",
        "fileBankFormatType": "XML",
        "fileSize": 1234,
        "receivedAt": "2024-03-01T10:15:30.123456",
        "financialInstitutionName": "Example Bank",
    }
    attrs.update(overrides)
    for key in [k for k, v in attrs.items() if v is DROP]:
        del attrs[key]
    return {"type": "accountReport", "id": identifier, "attributes": attrs}


def reports_page(items, total=None):
    """A report listing page from items or identifiers."""
    return paged([i if isinstance(i, dict) else report_item(i) for i in items], total)


def pain_answer(identifier="pain-1", status_text="accepted", status=200):
    """Answer of a bulk payment initiation upload or status request."""
    return FakeResponse(status, json={
        "data": {"type": "bulkPaymentInitiationRequest", "id": identifier,
                 "attributes": {"status": status_text}},
    })
