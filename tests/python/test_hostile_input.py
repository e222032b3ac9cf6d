"""Hostile input at the modules' Python surface.

Every entry point is called with records whose fields hold values of the
wrong type (None, False, numbers, bytes, lists, huge strings, strings with
NUL bytes or lone surrogates, objects whose every operation raises), with
sessions whose answers are malformed (refused, not JSON, JSON of the wrong
shape, missing keys, wrong types, huge bodies, non-UTF-8 bytes, response
objects that misbehave), with header "dictionaries" that are not
dictionaries, and with such values in place of its arguments.

What must hold every time: the call ends in its normal result (a result
dictionary with no key but "error" and "return", or what the function
documents) or in a Python exception, never in a crash and never in a
SystemError (the sign of a C-API misuse); and where a failure must leave
things as they were, it does: the caller's header dictionary when the signer
fails, and every record when the service refuses an answer or the answer
cannot be read.  Run by scripts/sanitize.sh these tests also show that no
such input makes the modules touch memory they do not own.

Example counts are bounded and no deadline is set, so that the file stays
fast and a slow sanitizer build does not fail it."""

import base64
import json
import os
import subprocess
import sys
import types

import pytest
import requests
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from corvane_core import corvane_keys, corvane_pain, corvane_user
from corvane_standins import http, keys
from corvane_standins import world as world_module

SETTINGS = settings(max_examples=40, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                           HealthCheck.filter_too_much])

RESULT_KEYS = {"error", "return"}
USER = "corvane.connect.kav.user"
CONFIG = "corvane.connect.config"
TOKEN = "corvane.connect.access.token"
CERT = "corvane.connect.sign.certificate"
KEY = "certificate.key.corvane.connect"
PAIN = "corvane.connect.pain.request"
REPORT = "corvane.connect.account.report"
ACCOUNT = "corvane.connect.account"


# --------------------------------------------------------------------------
# hostile values
# --------------------------------------------------------------------------


class Boom(Exception):
    """Raised by :class:`Explosive`: tells its exceptions from the modules' own."""


class Explosive:
    """A value whose every operation raises: str(), bool(), ==, hash,
    iteration, len, subscript, call and any public attribute."""

    def _boom(self, *args, **kwargs):
        raise Boom("explosive value")

    __str__ = __bool__ = __eq__ = __ne__ = __lt__ = __le__ = __gt__ = __ge__ = _boom
    __hash__ = __iter__ = __len__ = __getitem__ = __setitem__ = __contains__ = __call__ = _boom
    __index__ = __int__ = __float__ = __add__ = __radd__ = _boom
    __fspath__ = __bytes__ = _boom

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        raise Boom(f"explosive attribute {name}")

    def __repr__(self):
        return "Explosive()"


HUGE = "h" * 1_000_000
SURROGATES = st.text(st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF), min_size=1, max_size=3)

WEIRD = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.floats(),
    st.binary(max_size=24),
    st.text(max_size=24),
    st.tuples(st.text(max_size=6), SURROGATES).map("".join),
    st.text(max_size=6).map(lambda s: s + "\x00" + s),
    st.just(HUGE),
    st.lists(st.integers(), max_size=3),
    st.dictionaries(st.text(max_size=4), st.integers(), max_size=3),
    st.builds(Explosive),
    st.builds(object),
)

JSON = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=12),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=8), inner, max_size=3),
    max_leaves=10,
)


def outcome(function, *args, **kwargs):
    """What a call ends in: ("ok", value) or ("raised", exception)."""
    try:
        return "ok", function(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001 - every exception is an acceptable end here
        return "raised", exc


def assert_sound(result, returns="dict"):
    """The call ended as the contract allows: its own kind of value, or an
    exception that is not the interpreter's sign of a broken extension."""
    kind, value = result
    if kind == "raised":
        assert not isinstance(value, SystemError), repr(value)
        return
    if returns == "dict":
        assert type(value) is dict and set(value) <= RESULT_KEYS, repr(value)
    elif returns == "none":
        assert value is None


def failed(result):
    kind, value = result
    return kind == "raised" or (type(value) is dict and bool(value.get("error")))


# --------------------------------------------------------------------------
# worlds whose records hold hostile values
# --------------------------------------------------------------------------


def hostile_world(session, overrides=()):
    """A world whose records read `value` for each ((model, field), value) of
    `overrides`: a subclass of the model shadows the field with a property
    (assignment still writes the real field through the ORM)."""
    by_model = {}
    for (model, field), value in overrides:
        by_model.setdefault(model, {})[field] = value
    extra = []
    for cls in world_module.MODELS:
        fields = by_model.get(cls._name)
        if not fields:
            continue
        namespace = {"_name": cls._name}
        for field, value in fields.items():
            namespace[field] = property(lambda self, value=value: value,
                                        lambda self, new, field=field: self.write({field: new}))
        extra.append(type("Hostile" + cls.__name__, (cls,), namespace))
    return world_module.make_world(session=session, extra_models=extra)


FIELDS = [
    (USER, name) for name in ("state", "active", "corvane_connect_config_id", "access_token_id", "redirect_uri",
                              "transaction_rights", "sign_cert_id", "sign_cert_key_identifier",
                              "kav_account_ids", "id")
] + [
    (CONFIG, name) for name in ("state", "active", "client_identifier", "client_secret")
] + [
    (TOKEN, "access_token"), (TOKEN, "refresh_token"), (CERT, "private_key_id"), (KEY, "pem_key"),
    (PAIN, "kav_user_id"), (PAIN, "name"), (PAIN, "data"), (PAIN, "identifier"),
    (REPORT, "report_identifier"), (REPORT, "downloadable"),
    (ACCOUNT, "account_identifier"), (ACCOUNT, "kav_user_ids"),
]


# --------------------------------------------------------------------------
# the service, answering well unless told otherwise
# --------------------------------------------------------------------------

# (request kind, path prefix, title of the failure message); the listing
# prefixes end in "?" so that they are told from the detail requests.
KINDS = [
    ("token", "/corvane-connect/oauth2/token", "Request Access Tokens"),
    ("revoke", "/corvane-connect/oauth2/revoke", "Revoke Session Token"),
    ("accounts", "/corvane-connect/accounts?", "List Accounts"),
    ("account", "/corvane-connect/accounts/", "Get Account"),
    ("reports", "/corvane-connect/account-reports?", "List Account Reports"),
    ("report", "/corvane-connect/account-reports/", "Get Account Report"),
    ("pain_status", "/corvane-connect/bulk-payment-initiation-requests/", "Payment Initiation Request Status"),
    ("pain", "/corvane-connect/bulk-payment-initiation-requests", "Payment Initiation Request"),
]
TITLES = {kind: title for kind, _, title in KINDS}

GOOD_DOCUMENTS = {
    "token": lambda: json.loads(http.token_answer().text),
    "accounts": lambda: {"data": [http.account_item("acc-1")], "meta": {"paging": {"total": 1}}},
    "account": lambda: json.loads(http.account_answer("acc-1").text),
    "reports": lambda: {"data": [http.report_item("r1")], "meta": {"paging": {"total": 1}}},
    "pain": lambda: json.loads(http.pain_answer().text),
    "pain_status": lambda: json.loads(http.pain_answer().text),
}


def kind_of(call):
    for kind, prefix, _ in KINDS:
        if call.wire.path_url.startswith(prefix):
            return kind
    raise AssertionError(f"unexpected request {call.wire.path_url}")


def good_answer(kind):
    if kind in GOOD_DOCUMENTS:
        return http.json_response(GOOD_DOCUMENTS[kind]())
    return http.FakeResponse(200, text="<Document>statement</Document>" if kind == "report" else "")


class Service:
    """A router for FakeSession: answers every request well, except the
    first one of kind `hostile_kind`, which gets `hostile` (a response or
    an exception to raise). `journal_mark` is the journal's length when the
    hostile answer went out. After `limit` requests it refuses with a
    transport error, so that no answer can keep a loop going."""

    def __init__(self, hostile_kind=None, hostile=None, limit=30):
        self.hostile_kind = hostile_kind
        self.hostile = hostile
        self.limit = limit
        self.count = 0
        self.served_hostile = False
        self.journal_mark = None
        self.world = None

    def __call__(self, call):
        self.count += 1
        if self.count > self.limit:
            return requests.ConnectionError("request limit of the test service reached")
        kind = kind_of(call)
        if kind == self.hostile_kind and not self.served_hostile:
            self.served_hostile = True
            self.journal_mark = len(self.world.journal)
            return self.hostile
        return good_answer(kind)


def world_with(service, overrides=()):
    world = hostile_world(http.FakeSession(service), overrides)
    service.world = world
    return world


# --------------------------------------------------------------------------
# the entry points
# --------------------------------------------------------------------------

# name -> (what it returns, setup(world) -> (function, args, kwargs)).
ENTRY_POINTS = {
    "user_linking": ("dict", lambda w: (corvane_user.user_linking, (w.user,), {})),
    "revoke_refresh_token": ("dict", lambda w: (corvane_user.revoke_refresh_token, (w.user,), {})),
    "list_accounts": ("dict", lambda w: (corvane_user.list_accounts, (w.user,), {})),
    "get_account_reports": ("dict", lambda w: (corvane_user.get_account_reports, (w.user,), {})),
    "get_bank_statements": ("dict", lambda w: (corvane_user.get_bank_statements, (w.user,), {})),
    "_get_account_report": ("dict", lambda w: (corvane_user._get_account_report,
                                               (w.user, w.session, w.report("r9")), {})),
    "_handle_account_report_data": ("record", lambda w: (corvane_user._handle_account_report_data,
                                                         (w.user, w.session, http.report_item("r9")), {})),
    "_check_status": ("dict", lambda w: (corvane_user._check_status, (w.user,), {"operation": "list-accounts"})),
    "_get_account": ("dict", lambda w: (corvane_user._get_account, (w.user, w.session, "acc-1"), {})),
    "_update_account": ("none", lambda w: (corvane_user._update_account,
                                           (w.user, w.account("acc-1"), {"description": "new", "country_id": 1}),
                                           {})),
    "_request_access_token": ("dict", lambda w: (corvane_user._request_access_token, (w.user, w.session),
                                                 {"grant_type": "refresh_token"})),
    "_request_access_token/code": ("dict", lambda w: (corvane_user._request_access_token, (w.user, w.session),
                                                      {"grant_type": "authorization_code", "auth_code": "c"})),
    "_signature_headers": ("none", lambda w: (corvane_user._signature_headers,
                                              (w.user, {"Authorization": "Bearer t"}, "body", "post /x"), {})),
    "_pain_request": ("dict", lambda w: (corvane_pain._pain_request, (w.pain_request(),), {})),
    "refresh_state": ("dict", lambda w: (corvane_pain.refresh_state, (w.pain_request(identifier="p1"),), {})),
    "_corvane_connect_sign": ("dict", lambda w: (corvane_keys._corvane_connect_sign, (w.key, "message"), {})),
    "_generate_corvane_connect_csr": ("dict", lambda w: (corvane_keys._generate_corvane_connect_csr,
                                                         (w.key, "/C=BE/O=Company/CN=Company key"), {})),
}


def prepared(setup, service, overrides=()):
    """A world for `service` with `overrides`, and the call of an entry point
    on it. Examples whose own set-up fails (a record that the stand-in ORM
    cannot build around a hostile value) are not about the modules and are
    dropped."""
    try:
        world = world_with(service, overrides)
        return world, setup(world)
    except Exception:  # noqa: BLE001
        assume(False)


@pytest.mark.parametrize("name", ENTRY_POINTS)
@SETTINGS
@given(data=st.data())
def test_record_fields_of_wrong_type(name, data):
    returns, setup = ENTRY_POINTS[name]
    field = data.draw(st.sampled_from(FIELDS), label="field")
    value = data.draw(WEIRD, label="value")
    _, (function, args, kwargs) = prepared(setup, Service(), [(field, value)])
    assert_sound(outcome(function, *args, **kwargs), returns)


def test_generate_private_key_with_hostile_record_values():
    """Key generation reads only the record's environment and the company:
    an Explosive company fails before anything is created."""
    world = world_with(Service())
    result = outcome(corvane_keys._generate_corvane_connect_private_key, world.key, "k", "pass", 65537, 1024,
                     Explosive())
    assert result[0] == "raised" and isinstance(result[1], Boom)
    assert world.journal.creates(KEY) == []


# --------------------------------------------------------------------------
# hostile arguments
# --------------------------------------------------------------------------


@pytest.mark.parametrize("name", ENTRY_POINTS)
@SETTINGS
@given(data=st.data())
def test_hostile_arguments(name, data):
    returns, setup = ENTRY_POINTS[name]
    _, (function, args, kwargs) = prepared(setup, Service())
    args = list(args)
    position = data.draw(st.integers(0, len(args) + len(kwargs) - 1), label="argument")
    value = data.draw(WEIRD, label="value")
    if position < len(args):
        args[position] = value
    else:
        kwargs[list(kwargs)[position - len(args)]] = value
    assert_sound(outcome(function, *args, **kwargs), returns)


# Key sizes and exponents around the accepted ones, never one that would
# start a long generation.
KEY_PARAMETERS = st.one_of(WEIRD.filter(lambda v: not (type(v) is int and 1024 <= v <= 16384)),
                           st.sampled_from([1023, 16385, 3, 65537, 65539, -65537, 2**64 + 65537, 1024.0]))


@settings(max_examples=25, deadline=None, database=None)
@given(name=WEIRD, passphrase=WEIRD, exponent=KEY_PARAMETERS, size=KEY_PARAMETERS)
def test_generate_private_key_with_hostile_arguments(name, passphrase, exponent, size):
    world = world_with(Service())
    result = outcome(corvane_keys._generate_corvane_connect_private_key, world.key, name, passphrase, exponent, size)
    # No accepted size is ever drawn, so the key is never generated.
    assert result[0] == "raised" and not isinstance(result[1], SystemError)
    assert world.journal.creates(KEY) == []


class MeddlingAccount:
    """An account whose field reads change the value dictionary being
    walked, as a hostile ORM could."""

    def __init__(self, vals, how):
        self.vals, self.how = vals, how

    def __getitem__(self, name):
        if self.how == "clear":
            self.vals.clear()
        elif self.how == "grow":
            self.vals[f"extra_{len(self.vals)}"] = 1
        else:
            self.vals.pop(name, None)
        return types.SimpleNamespace(id=1)


@pytest.mark.parametrize("how", ["clear", "grow", "pop"])
def test_update_account_with_values_changed_under_it(how):
    """The walk over the values fails as Python's own iteration does
    (RuntimeError for a dictionary that changed size, KeyError for a value
    gone) and never reads a freed entry."""
    vals = {"description": "x", "country_id": 1, "bic": "y"}
    with pytest.raises((RuntimeError, KeyError)):
        corvane_user._update_account(None, MeddlingAccount(vals, how), vals)


# --------------------------------------------------------------------------
# malformed answers of the service
# --------------------------------------------------------------------------

# operation -> (setup, the request kinds it makes)
OPERATIONS = {
    "_request_access_token": (ENTRY_POINTS["_request_access_token"][1], ["token"]),
    "revoke_refresh_token": (ENTRY_POINTS["revoke_refresh_token"][1], ["revoke"]),
    "list_accounts": (ENTRY_POINTS["list_accounts"][1], ["token", "accounts", "account"]),
    "_get_account": (ENTRY_POINTS["_get_account"][1], ["account"]),
    "get_account_reports": (ENTRY_POINTS["get_account_reports"][1], ["token", "reports"]),
    "get_bank_statements": (ENTRY_POINTS["get_bank_statements"][1], ["token", "reports", "report"]),
    "_get_account_report": (ENTRY_POINTS["_get_account_report"][1], ["token", "report"]),
    "_pain_request": (ENTRY_POINTS["_pain_request"][1], ["token", "pain"]),
    "refresh_state": (ENTRY_POINTS["refresh_state"][1], ["token", "pain_status"]),
}
SCENARIOS = [(op, kind) for op, (_, kinds) in OPERATIONS.items() for kind in kinds]

# (A response decodes its body with replacement characters: no lone
# surrogate; the odd responses below bring those.)
TEXT_BODIES = st.one_of(st.text(max_size=40), st.just(HUGE))
BYTE_BODIES = st.binary(max_size=40).map(lambda b: b"\xff\xfe" + b)  # never valid UTF-8
# JSON documents that every reader of an answer refuses before it writes:
# each reads a key of an object first.
UNREADABLE_JSON = st.one_of(st.none(), st.booleans(), st.integers(), st.text(max_size=8),
                            st.lists(JSON, max_size=3), st.just({}), st.just({"unexpected": 1}))


@st.composite
def refused_answers(draw):
    """An answer refused by status (any body), with the exact body text the
    failure message must carry."""
    status = draw(st.sampled_from([400, 401, 403, 404, 409, 500, 503]))
    if draw(st.booleans()):
        body = draw(TEXT_BODIES)
        return http.FakeResponse(status, text=body), body
    content = draw(BYTE_BODIES)
    response = http.FakeResponse(status, content=content)
    return response, response.text


@st.composite
def unreadable_answers(draw, kind):
    """A success status whose body cannot be used, or a transport error."""
    choice = draw(st.sampled_from(["not-json", "bytes", "transport"] + (["shape"] if kind in GOOD_DOCUMENTS
                                                                         else [])))
    if choice == "not-json":
        text = draw(st.text(max_size=30).filter(lambda t: not _is_json(t)))
        return http.FakeResponse(200, text=text)
    if choice == "bytes":
        return http.FakeResponse(200, content=draw(BYTE_BODIES))
    if choice == "transport":
        return draw(st.sampled_from([requests.ConnectionError("reset"), requests.Timeout("slow"),
                                     requests.exceptions.ChunkedEncodingError("cut")]))
    return http.json_response(draw(UNREADABLE_JSON))


def _is_json(text):
    try:
        json.loads(text)
    except ValueError:
        return False
    return True


@pytest.mark.parametrize("operation, kind", SCENARIOS, ids=[f"{o}-{k}" for o, k in SCENARIOS])
@settings(max_examples=15, deadline=None, database=None)
@given(data=st.data())
def test_refused_answer_is_reported_and_changes_nothing(operation, kind, data):
    """Status 400 or above: the result is exactly the logged message built
    from the body (huge, non-UTF-8 or surrogate bodies included), and no
    record is touched after the answer arrived."""
    response, body_text = data.draw(refused_answers(), label="answer")
    service = Service(kind, response)
    world, (function, args, kwargs) = prepared(OPERATIONS[operation][0], service)
    result = outcome(function, *args, **kwargs)
    assert service.served_hostile
    assert result == ("ok", {"error": f"Error on '{TITLES[kind]}':\n{body_text}"})
    assert world.journal[service.journal_mark:] == []


@pytest.mark.parametrize("operation, kind", SCENARIOS, ids=[f"{o}-{k}" for o, k in SCENARIOS])
@settings(max_examples=15, deadline=None, database=None)
@given(data=st.data())
def test_unreadable_answer_raises_and_changes_nothing(operation, kind, data):
    """A success status whose body is not JSON, not UTF-8 or of a shape whose
    first key is missing, or a transport error: the host's exception reaches
    the caller and no record is touched after the answer arrived. (The
    revocation and the report download do not read their body: for them
    only a transport error fails.)"""
    response = data.draw(unreadable_answers(kind), label="answer")
    service = Service(kind, response)
    world, (function, args, kwargs) = prepared(OPERATIONS[operation][0], service)
    result = outcome(function, *args, **kwargs)
    assert service.served_hostile
    assert_sound(result)
    if kind in ("revoke", "report") and not isinstance(response, Exception):
        return
    assert result[0] == "raised", result
    assert world.journal[service.journal_mark:] == []


def _paths(document, prefix=()):
    """Every path to a value inside a JSON document."""
    yield prefix
    if isinstance(document, dict):
        for key, value in document.items():
            yield from _paths(value, prefix + (key,))
    elif isinstance(document, list):
        for index, value in enumerate(document):
            yield from _paths(value, prefix + (index,))


@st.composite
def damaged_documents(draw, kind):
    """The good answer with one value dropped or replaced by any JSON value."""
    document = GOOD_DOCUMENTS[kind]()
    path = draw(st.sampled_from([p for p in _paths(document) if p]))
    parent = document
    for step in path[:-1]:
        parent = parent[step]
    if draw(st.booleans()):
        del parent[path[-1]]
    else:
        parent[path[-1]] = draw(JSON)
    return http.json_response(document)


class OddResponse(http.FakeResponse):
    """A response whose `ok`, `text` and `json()` give whatever they are told."""

    def __init__(self, ok, text, parsed):
        super().__init__(200, text="")
        self._ok, self._text, self._parsed = ok, text, parsed

    @property
    def ok(self):
        return self._ok

    @property
    def text(self):
        return self._text

    def json(self, **kwargs):
        if isinstance(self._parsed, BaseException):
            raise self._parsed
        return self._parsed


ODD_RESPONSES = st.builds(
    OddResponse,
    ok=st.one_of(st.booleans(), st.none(), st.builds(Explosive), st.integers(-1, 1)),
    text=WEIRD,
    parsed=st.one_of(JSON, st.builds(Explosive), st.just(Boom("json")), st.just(ValueError("json"))),
)


@pytest.mark.parametrize("operation, kind", SCENARIOS, ids=[f"{o}-{k}" for o, k in SCENARIOS])
@settings(max_examples=15, deadline=None, database=None)
@given(data=st.data())
def test_malformed_answer_never_crashes(operation, kind, data):
    """Documents with a key missing or a value of the wrong type, random JSON,
    and response objects whose `ok`, `text` or `json()` misbehave."""
    strategies = [ODD_RESPONSES, JSON.map(http.json_response)]
    if kind in GOOD_DOCUMENTS:
        strategies.append(damaged_documents(kind))
    response = data.draw(st.one_of(strategies), label="answer")
    service = Service(kind, response)
    world, (function, args, kwargs) = prepared(OPERATIONS[operation][0], service)
    result = outcome(function, *args, **kwargs)
    assert service.served_hostile
    assert_sound(result)
    if failed(result) and kind == "token":
        # A token answer that cannot be stored changes no record, unless the
        # ORM itself refused the values as they came (the write is logged
        # before the ORM converts them).
        written = world.journal[service.journal_mark:]
        assert written == [] or (result[0] == "raised" and [e.model for e in written] == [TOKEN])


def test_listing_that_never_adds_up_ends():
    """A total that no count can equal (NaN, a string, a negative number)
    with pages that keep coming: the listing stops at the first page that
    adds nothing or with the host's exception, and never pages without
    end."""
    for total in [float("nan"), "3", -1, 10**9]:
        pages = iter([http.paged([http.account_item("a1")], total=total),
                      http.paged([], total=total)])

        class Listing(Service):
            def __call__(self, call):
                if kind_of(call) == "accounts":
                    self.count += 1
                    return next(pages, requests.ConnectionError("paged past the end"))
                return super().__call__(call)

        world = world_with(Listing())
        result = outcome(corvane_user.list_accounts, world.user)
        assert_sound(result)
        assert not isinstance(result[1], requests.ConnectionError), total


# --------------------------------------------------------------------------
# header dictionaries that are not dictionaries, and a failing signer
# --------------------------------------------------------------------------


class RaisingHeaders(dict):
    def get(self, *args):
        raise Boom("get")

    def __setitem__(self, key, value):
        raise Boom("set")


HEADERS = st.one_of(
    WEIRD,
    st.builds(types.MappingProxyType, st.dictionaries(st.text(max_size=6), st.text(max_size=6), max_size=2)),
    st.builds(RaisingHeaders),
    st.lists(st.tuples(st.just("Authorization"), st.text(max_size=6)), max_size=2),
    st.dictionaries(st.one_of(st.text(max_size=6), st.integers()), WEIRD, max_size=3),
    st.builds(lambda v: {"Authorization": v}, WEIRD),
)


@SETTINGS
@given(headers=HEADERS, payload=WEIRD, target=WEIRD)
def test_signature_headers_with_hostile_headers(headers, payload, target):
    world = world_with(Service())
    assert_sound(outcome(corvane_user._signature_headers, world.user, headers, payload, target), "none")


PEM_KEYS = st.one_of(WEIRD, st.binary(max_size=64).map(base64.b64encode),
                     st.text(alphabet="ABCDEFGHIJabcdefghij0123456789+/=\n-", max_size=80))


@SETTINGS
@given(pem_key=PEM_KEYS, authorization=st.one_of(st.none(), st.text(max_size=12)))
def test_failing_signer_leaves_the_header_dictionary_alone(pem_key, authorization):
    world = world_with(Service(), [((KEY, "pem_key"), pem_key)])
    headers = {"Content-Type": "application/xml", "Digest": "old digest"}
    if authorization is not None:
        headers["Authorization"] = authorization
    before = dict(headers)
    result = outcome(corvane_user._signature_headers, world.user, headers, "body", "post /corvane-connect/x")
    assert_sound(result, "none")
    if result[0] == "raised":
        assert headers == before and list(headers) == list(before)
    else:
        assert set(headers) == set(before) | {"Digest", "Signature"}


# --------------------------------------------------------------------------
# the lenient Base64 decoder against the host codec, through the upload
# --------------------------------------------------------------------------

B64_TEXT = st.text(alphabet="ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=\n\r \t-_!é",
                   max_size=48)
NOISY_B64 = st.builds(
    lambda text, noise: "".join(c + noise[i % len(noise)] if noise else c
                                for i, c in enumerate(base64.b64encode(text.encode()).decode())),
    st.text(max_size=24), st.text(alphabet="\n \t.!", max_size=3))
PAIN_DATA = st.one_of(B64_TEXT, NOISY_B64, B64_TEXT.map(lambda s: s.encode()), st.binary(max_size=32),
                      B64_TEXT.map(lambda s: bytearray(s.encode())), B64_TEXT.map(lambda s: memoryview(s.encode())),
                      B64_TEXT.map(lambda s: memoryview(s.encode())[::2]),  # not contiguous: copied
                      WEIRD)


def host_decoding(data):
    """What the upload's body is by the host's own codec: ("ok", text) or
    ("raised", exception type)."""
    try:
        return "ok", base64.b64decode(data).decode("utf-8")
    except Exception as exc:  # noqa: BLE001
        return "raised", type(exc)


@settings(max_examples=120, deadline=None, database=None)
@given(data=PAIN_DATA)
def test_upload_body_decodes_like_the_host_codec(data):
    expected = host_decoding(data)
    sent = []

    class Upload(Service):
        def __call__(self, call):
            if kind_of(call) == "pain":
                sent.append(call.data)
            return super().__call__(call)

    world = world_with(Upload(), [((PAIN, "data"), data)])
    result = outcome(corvane_pain._pain_request, world.pain_request())
    if expected[0] == "raised":
        assert result[0] == "raised" and type(result[1]) is expected[1], (result, expected)
        assert sent == []
    else:
        assert result == ("ok", {}), result
        body = sent[0].decode("utf-8") if isinstance(sent[0], bytes) else sent[0]
        assert body == expected[1]


# --------------------------------------------------------------------------
# damaged keys against the Python crypto library's loader
# --------------------------------------------------------------------------


def _armour(der, label):
    return (f"-----BEGIN {label}-----\n".encode() + base64.encodebytes(der)
            + f"-----END {label}-----\n".encode())


def _der(pem):
    return base64.b64decode(b"".join(line for line in pem.splitlines() if not line.startswith(b"-----")))


@settings(max_examples=150, deadline=None, database=None)
@given(form=st.sampled_from(["RSA PRIVATE KEY", "PRIVATE KEY"]), data=st.data())
def test_damaged_key_is_refused_exactly_when_the_python_library_refuses_it(form, data):
    """A bit flipped anywhere in the DER of a key: either both loaders refuse
    it (ours with ValueError or TypeError, no other error), or both accept
    it and our signature verifies with the key they read."""
    serialization = pytest.importorskip("cryptography.hazmat.primitives.serialization")
    key = keys.rsa_1024()
    der = bytearray(_der(key.pkcs1_pem if form == "RSA PRIVATE KEY" else key.pkcs8_pem))
    position = data.draw(st.integers(0, len(der) * 8 - 1), label="bit")
    der[position // 8] ^= 1 << (position % 8)
    pem = _armour(bytes(der), form)
    try:
        reference = serialization.load_pem_private_key(pem, password=None)
    except Exception:  # noqa: BLE001
        reference = None
    record = types.SimpleNamespace(pem_key=base64.b64encode(pem).decode())
    result = outcome(corvane_keys._corvane_connect_sign, record, "message")
    if reference is None or not hasattr(reference, "private_numbers"):
        assert result[0] == "raised" and type(result[1]) in (ValueError, TypeError), result
        return
    assert result[0] == "ok", result
    public = reference.public_key().public_bytes(serialization.Encoding.PEM,
                                                 serialization.PublicFormat.SubjectPublicKeyInfo)
    assert keys.verify_pss_sha256(public, b"message", result[1]["return"])


def _tlv(tag, body):
    size = len(body)
    length = bytes([size]) if size < 0x80 else bytes([0x80 | 2]) + size.to_bytes(2, "big")
    return bytes([tag]) + length + body


RSA_ENCRYPTION = bytes.fromhex("06092a864886f70d010101")
NULL = b"\x05\x00"
ATTRIBUTE = _tlv(0x30, bytes.fromhex("0603550403") + _tlv(0x31, b"\x0c\x00"))


@pytest.mark.parametrize("parameters, after_key, loads", [
    (NULL, b"", True),
    (b"", b"", True),                                   # parameters absent
    (b"\x04\x00", b"", False),                          # the bit flip 05 -> 04 the fuzzing found
    (NULL + NULL, b"", False),
    (NULL, _tlv(0xA0, ATTRIBUTE), True),                # [0] attributes
    (NULL, _tlv(0xA0, b"\x02\x01\x02"), False),          # [0] holding no attribute
    (NULL, NULL, False),                                # a stray element after the key
    (NULL, _tlv(0xA0, b"") * 2, False),
], ids=["null", "absent", "octet-string", "two-nulls", "attributes", "bad-attributes", "stray", "attributes-twice"])
def test_pkcs8_structure_is_read_like_the_python_library(parameters, after_key, loads):
    """The PrivateKeyInfo around an RSA key: the shapes the Python crypto
    library reads are read, the others refused with ValueError."""
    pkcs1 = _der(keys.rsa_1024().pkcs1_pem)
    der = _tlv(0x30, b"\x02\x01\x00" + _tlv(0x30, RSA_ENCRYPTION + parameters) + _tlv(0x04, pkcs1) + after_key)
    record = types.SimpleNamespace(pem_key=base64.b64encode(_armour(der, "PRIVATE KEY")))
    if loads:
        signature = corvane_keys._corvane_connect_sign(record, "message")["return"]
        assert keys.verify_pss_sha256(keys.rsa_1024().public_pem, b"message", signature)
    else:
        with pytest.raises(ValueError, match="Could not deserialize key data"):
            corvane_keys._corvane_connect_sign(record, "message")


@SETTINGS
@given(data=st.data())
def test_damaged_pem_text_never_crashes_and_never_signs_wrong(data):
    """Characters inserted into, deleted from or changed in the PEM text."""
    key = keys.rsa_1024()
    text = bytearray(data.draw(st.sampled_from([key.pkcs1_pem, key.pkcs8_pem]), label="form"))
    for _ in range(data.draw(st.integers(1, 4), label="edits")):
        position = data.draw(st.integers(0, len(text) - 1), label="position")
        edit = data.draw(st.sampled_from(["insert", "delete", "replace"]), label="edit")
        byte = data.draw(st.sampled_from(b"-=\n\r \tA/+:\x00\xff"), label="byte")
        if edit == "insert":
            text.insert(position, byte)
        elif edit == "delete":
            del text[position]
        else:
            text[position] = byte
    record = types.SimpleNamespace(pem_key=base64.b64encode(bytes(text)))
    result = outcome(corvane_keys._corvane_connect_sign, record, "message")
    if result[0] == "raised":
        assert type(result[1]) in (ValueError, TypeError), result
    else:
        assert keys.verify_pss_sha256(key.public_pem, b"message", result[1]["return"])


# --------------------------------------------------------------------------
# a collaborator that shrinks the list being walked
# --------------------------------------------------------------------------

# Run in a child interpreter, so that a crash fails the test instead of ending
# the run. The collaborator called for each item finds the list that holds it
# (gc.get_referrers reaches it) and empties it: the walk must end there, as a
# Python for loop over that list would, and never read past the list's end.
SHRINKING_LIST = r"""
import gc, sys
from corvane_core import corvane_user as cu
from corvane_standins.http import FakeSession, account_answer, accounts_page, reports_page, token_answer
from corvane_standins.world import make_world

session = FakeSession()
world = make_world(session=session)
seen = []

def emptying(real, key):
    def step(kav_user, session, item):
        seen.append(item[key] if key else item)
        for holder in gc.get_referrers(item):
            if type(holder) is list and holder is not seen:
                holder.clear()
        return real(kav_user, session, item)
    return step

if sys.argv[1] == "reports":
    cu._request_access_token = lambda *args, **kwargs: {}
    cu._handle_account_report_data = emptying(cu._handle_account_report_data, "id")
    session.add(reports_page(["r1", "r2", "r3"]))
    result = cu.get_account_reports(world.user)
    listed = [r.report_identifier for r in result["return"]]
else:
    cu._get_account = emptying(cu._get_account, None)
    session.add(token_answer(), accounts_page(["a1", "a2", "a3"]), account_answer("a1"))
    result = cu.list_accounts(world.user)
    listed = [a.account_identifier for a in world.env["corvane.connect.account"].search([])]
print(seen, listed, sorted(result))
"""


@pytest.mark.parametrize("listing, printed", [
    ("reports", "['r1'] ['r1'] ['return']"),
    ("accounts", "['a1'] ['a1'] []"),
])
def test_collaborator_emptying_the_walked_list_ends_the_walk(listing, printed, tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.run([sys.executable, "-c", SHRINKING_LIST, listing], cwd=tmp_path, env=env,
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.strip() == printed
