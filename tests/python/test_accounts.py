"""Bank accounts: list_accounts (guard, token refresh, paging, one fetch per
account, then the user's links), _get_account (the signed detail request and
the mapping onto the account record) and _update_account (only the changed
fields are written)."""

import base64
import hashlib
import logging

import pytest

from corvane_core import corvane_user
from corvane_standins.http import FakeResponse, account_answer, accounts_page, error_response, token_answer
from corvane_standins.signed import assert_signed_request

API = "https://api.tolvex.com"
ACCOUNT_MODEL = "corvane.connect.account"
USER_MODEL = "corvane.connect.kav.user"
LOGGER = "corvane_core.corvane_user"
FORM = "application/x-www-form-urlencoded"
EMPTY_DIGEST = "SHA-512=" + base64.b64encode(hashlib.sha512(b"").digest()).decode()
FIELDS = ["account_identifier", "country_id", "currency_id", "description", "bic", "holder_address",
          "holder_country", "holder_name", "acc_number", "acc_type"]


def identifiers(count):
    return [f"acc-{n:02d}" for n in range(count)]


def resolve(env, values):
    """Values with external identifiers ("base.be") turned into record ids."""
    return {k: env.ref(v).id if isinstance(v, str) and v.startswith("base.") else v
            for k, v in values.items()}


def mirrored(env, **changes):
    """The field values of a record that mirrors ``account_answer`` unchanged."""
    values = {
        "country_id": "base.be", "currency_id": "base.EUR", "description": "Current account",
        "bic": "GEBABEBB", "holder_address": "Rue de la Loi 16, 1000 Brussels", "holder_country": "BE",
        "holder_name": "Example Company", "acc_number": "BE68539007547034", "acc_type": "iban",
    }
    values.update(changes)
    return resolve(env, values)


def logged(caplog):
    return [r.getMessage() for r in caplog.records if r.name == LOGGER and r.levelno == logging.ERROR]


def verify_signature(world, call):
    """The request's Signature verifies with the world's key over the signing
    string rebuilt from what went on the wire."""
    assert_signed_request(call, world.key_material.public_pem, corvane_user.TOLVEX_API_HOST)


@pytest.fixture
def signed(monkeypatch):
    """(request_target, payload) of every call of the signature step, which
    still runs; replaced through the module namespace, as the code calls it."""
    real = corvane_user._signature_headers
    seen = []

    def record(*args, **kwargs):
        assert not kwargs, "the signature step takes its four arguments by position"
        seen.append((args[3], args[2]))
        return real(*args)

    monkeypatch.setattr(corvane_user, "_signature_headers", record)
    return seen


def listing_calls(session):
    return session.calls_to("/corvane-connect/accounts?")


def detail_paths(session):
    return [c.wire.path_url for c in session.calls_to("/corvane-connect/accounts/")]


# --------------------------------------------------------------------------
# list_accounts: the listing
# --------------------------------------------------------------------------


@pytest.mark.parametrize("count, queries", [
    (0, ["offset=0&size=20"]),
    (20, ["offset=0&size=20"]),
    (21, ["offset=0&size=20", "offset=20&size=20"]),
])
def test_every_page_is_listed_then_every_account_fetched(world, session, signed, count, queries):
    ids = identifiers(count)
    pages = [ids[i:i + 20] for i in range(0, count, 20)] or [[]]
    session.add(token_answer(access_token="fresh"), *(accounts_page(p, total=count) for p in pages),
                *(account_answer(i) for i in ids))

    assert corvane_user.list_accounts(world.user) == {}

    session.assert_all_used()
    assert [c.wire.path_url for c in listing_calls(session)] == [
        "/corvane-connect/accounts?" + q for q in queries]
    for page, call in enumerate(listing_calls(session)):
        assert call.url == API + "/corvane-connect/accounts"
        assert list(call.params.items()) == [("offset", 20 * page), ("size", 20)]
        assert call.kwargs == {}
        # the token the refresh just stored, read after it
        assert list(call.headers.items())[:2] == [("Content-Type", FORM), ("Authorization", "Bearer fresh")]
        assert list(call.headers)[2:] == ["Digest", "Signature"]
    assert detail_paths(session) == [f"/corvane-connect/accounts/{i}" for i in ids]
    # every request after the token one was signed for the target that went on the wire
    assert signed == [(c.target, {}) for c in session.calls[1:]]

    accounts = world.env[ACCOUNT_MODEL].search([])
    assert accounts.mapped("account_identifier") == ids
    assert world.user.kav_account_ids == accounts


def test_listing_and_detail_signatures_verify(world, session):
    session.add(token_answer(), accounts_page(["acc-1"]), account_answer("acc-1"))
    assert corvane_user.list_accounts(world.user) == {}
    listing, detail = session.calls[1:]
    for call in (listing, detail):
        assert call.headers["Digest"] == EMPTY_DIGEST
        verify_signature(world, call)


def test_collaborators_are_reached_through_the_namespace(world, session, monkeypatch):
    """The token refresh gets the configuration's session and the grant by
    keyword; each account goes to `_get_account` by position; the result is
    the last dictionary received."""
    refreshed, fetched = [], []
    token_result, last_result = {}, {}

    def refresh(kav_user, session_, *, grant_type):
        refreshed.append((kav_user, session_, grant_type))
        kav_user.access_token_id.access_token = "stand-in"
        return token_result

    def fetch(*args, **kwargs):
        assert not kwargs
        fetched.append(args)
        return last_result if len(fetched) == 2 else {}

    monkeypatch.setattr(corvane_user, "_request_access_token", refresh)
    monkeypatch.setattr(corvane_user, "_get_account", fetch)
    session.add(accounts_page(["a1", "a2"]), accounts_page([]))

    assert corvane_user.list_accounts(world.user) is last_result
    assert world.addon.session_requests == [world.config]
    assert refreshed == [(world.user, session, "refresh_token")]
    assert session.calls[0].headers["Authorization"] == "Bearer stand-in"
    assert fetched == [(world.user, session, "a1"), (world.user, session, "a2")]
    # with nothing listed, the token step's dictionary is what comes back
    assert corvane_user.list_accounts(world.user) is token_result


@pytest.mark.parametrize("failure", ["guard", "token"])
def test_guard_or_token_failure_sends_no_listing(world, session, caplog, failure):
    if failure == "guard":
        world.user.state = "draft"
        world.journal.clear()
        expected = "Operation 'list-accounts' is not allowed for inactive Users."
    else:
        session.add(error_response(401, "invalid_grant"))
        expected = "Error on 'Request Access Tokens':\ninvalid_grant"
    assert corvane_user.list_accounts(world.user) == {"error": expected}
    assert listing_calls(session) == []
    assert world.journal == []
    assert world.addon.session_requests == ([] if failure == "guard" else [world.config])


@pytest.mark.thread_unsafe(reason="asserts the exact log records, and caplog gathers those of every thread")
def test_failing_second_page_fetches_and_links_nothing(world, session, caplog):
    stale = world.account("stale")  # linked, no longer listed: its link must survive
    world.journal.clear()
    session.add(token_answer(), accounts_page(identifiers(20), total=21),
                error_response(503, "Service down"))

    with caplog.at_level(logging.ERROR, logger=LOGGER):
        result = corvane_user.list_accounts(world.user)

    message = "Error on 'List Accounts':\nService down"
    assert result == {"error": message}
    assert logged(caplog) == [message]
    assert [c.wire.path_url for c in listing_calls(session)] == [
        "/corvane-connect/accounts?offset=0&size=20", "/corvane-connect/accounts?offset=20&size=20"]
    assert detail_paths(session) == []
    assert world.journal.of(model=ACCOUNT_MODEL) == world.journal.of(model=USER_MODEL) == []
    assert stale.kav_user_ids == world.user


def test_failing_account_fetch_stops_the_rest(world, session):
    stale = world.account("stale")
    world.journal.clear()
    session.add(token_answer(), accounts_page(["a1", "a2", "a3"]), account_answer("a1"),
                error_response(404, "no such account"))

    assert corvane_user.list_accounts(world.user) == {"error": "Error on 'Get Account':\nno such account"}

    assert detail_paths(session) == ["/corvane-connect/accounts/a1", "/corvane-connect/accounts/a2"]
    # a1, mirrored before the failure, stays; no link of the user changes
    [a1] = world.env[ACCOUNT_MODEL].search([("account_identifier", "=", "a1")])
    assert [(e.op, e.ids) for e in world.journal.of(model=ACCOUNT_MODEL)] == [
        ("create", (a1.id,)), ("write", (a1.id,))]
    assert world.journal.of(model=USER_MODEL) == []
    assert stale.kav_user_ids == world.user


@pytest.mark.parametrize("answer, error", [
    (FakeResponse(200, text="<html>maintenance</html>"), ValueError),
    (FakeResponse(200, json={"data": [{"id": "a1"}]}), KeyError),
    (FakeResponse(200, json={"meta": {"paging": {"total": 1}}}), KeyError),
    (FakeResponse(200, json={"data": [{"type": "account"}], "meta": {"paging": {"total": 1}}}), KeyError),
], ids=["not-json", "no-meta", "no-data", "no-id"])
def test_malformed_listing_raises_and_changes_nothing(world, session, answer, error):
    session.add(token_answer(), answer)
    with pytest.raises(error):
        corvane_user.list_accounts(world.user)
    assert detail_paths(session) == []
    assert world.journal.of(model=ACCOUNT_MODEL) == world.journal.of(model=USER_MODEL) == []


def paged_service(pages):
    """A router answering the token request, listing pages from
    ``pages(offset) -> (ids, total)`` and every detail request; more than
    ten listing requests fail the test instead of looping on."""
    listed = []

    def answer(call):
        path = call.wire.path_url
        if path.endswith("/oauth2/token"):
            return token_answer()
        if path.startswith("/corvane-connect/accounts?"):
            listed.append(call.params["offset"])
            if len(listed) > 10:
                raise AssertionError(f"endless listing: offsets {listed}")
            ids, total = pages(call.params["offset"])
            return accounts_page(ids, total=total)
        return account_answer(path.rsplit("/", 1)[1])

    return answer, listed


@pytest.mark.parametrize("pages, offsets, fetched", [
    # short pages of one entry each: listed until the count meets the total
    (lambda offset: ([f"a{offset}"], 3), [0, 20, 40], 3),
    # a service that keeps answering empty pages below its total
    (lambda offset: ([], 5), [0], 0),
    # a short page, then empty ones, below the total
    (lambda offset: (identifiers(3) if offset == 0 else [], 25), [0, 20], 3),
    # more entries than the total: the count passes it
    (lambda offset: (identifiers(3), 2), [0], 3),
    (lambda offset: ([f"p{offset}-{n}" for n in range(20)], 30), [0, 20], 40),
    # a total that is no number (json reads NaN): no count is below it
    (lambda offset: ([f"a{offset}"], float("nan")), [0], 1),
], ids=["short-pages", "empty-pages", "short-then-empty", "past-total", "past-total-on-page-2", "nan-total"])
def test_page_loop_always_ends(world, session, pages, offsets, fetched):
    router, listed = paged_service(pages)
    session.route(router)
    assert corvane_user.list_accounts(world.user) == {}
    assert listed == offsets
    assert len(detail_paths(session)) == fetched
    assert len(world.user.kav_account_ids) == fetched


def test_each_listing_page_hands_the_session_a_query_of_its_own(world, session, monkeypatch):
    # A session may keep the query dictionary it is handed (a mock recording
    # its calls does): a later page must not change an earlier page's.
    router, _ = paged_service(lambda offset: ([f"a{offset}"], 2))
    session.route(router)
    handed = []
    get = session.get

    def keeping_get(url, **kwargs):
        if "params" in kwargs:
            handed.append(kwargs["params"])
        return get(url, **kwargs)

    monkeypatch.setattr(session, "get", keeping_get)
    assert corvane_user.list_accounts(world.user) == {}
    assert handed == [{"offset": 0, "size": 20}, {"offset": 20, "size": 20}]


# --------------------------------------------------------------------------
# list_accounts: the user's links
# --------------------------------------------------------------------------


def test_links_follow_the_listing_and_other_users_keep_theirs(world, session):
    other = world.new_user(name="Other")
    both = world.user + other
    kept = world.account("kept", users=both)
    gone = world.account("gone", users=both)  # no longer listed for this user
    foreign = world.account("foreign", users=other)  # never this user's
    world.journal.clear()
    session.add(token_answer(), accounts_page(["kept", "new"]),
                account_answer("kept"), account_answer("new"))

    assert corvane_user.list_accounts(world.user) == {}

    [new] = world.env[ACCOUNT_MODEL].search([("account_identifier", "=", "new")])
    assert world.user.kav_account_ids == kept + new
    assert kept.kav_user_ids == both and new.kav_user_ids == world.user
    assert gone.kav_user_ids == other
    assert foreign.kav_user_ids == other
    # the link updates come last: one link command per listed account, then
    # one write dropping this user alone from the accounts no longer listed
    assert world.journal[-2:] == [
        ("write", USER_MODEL, (world.user.id,), {"kav_account_ids": [(4, kept.id), (4, new.id)]}),
        ("write", ACCOUNT_MODEL, (gone.id,), {"kav_user_ids": [(3, world.user.id)]}),
    ]


def test_empty_listing_drops_every_link_of_the_user(world, session):
    other = world.new_user(name="Other")
    mine = world.account("mine")
    shared = world.account("shared", users=world.user + other)
    session.add(token_answer(), accounts_page([], total=0))

    assert corvane_user.list_accounts(world.user) == {}

    assert len(session.calls) == 2
    assert not world.user.kav_account_ids
    assert not mine.kav_user_ids
    assert shared.kav_user_ids == other


# --------------------------------------------------------------------------
# _get_account
# --------------------------------------------------------------------------


@pytest.mark.parametrize("identifier", ["acc-1", 42])
def test_detail_request_is_signed_for_its_target(world, session, signed, identifier):
    session.add(account_answer(str(identifier)))

    assert corvane_user._get_account(world.user, session, identifier) == {}

    [call] = session.calls
    assert call.method == "GET"
    assert call.url == f"{API}/corvane-connect/accounts/{identifier}"
    assert call.params is None and call.kwargs == {}
    assert list(call.headers.items())[:2] == [("Content-Type", FORM), ("Authorization", "Bearer access-0")]
    assert list(call.headers)[2:] == ["Digest", "Signature"]
    assert call.headers["Digest"] == EMPTY_DIGEST
    assert signed == [(call.target, {})]
    assert call.target == f"get /corvane-connect/accounts/{identifier}"
    verify_signature(world, call)


@pytest.mark.parametrize("attributes, changes", [
    ({}, {}),
    ({"country": "be", "currency": "USD"}, {"currency_id": "base.USD"}),
    ({"country": "NL", "holderAddressCountry": "nl"}, {"country_id": "base.nl", "holder_country": "nl"}),
    # false attributes: no lookup (base. alone would not be found)
    ({"country": None, "currency": ""}, {"country_id": False, "currency_id": False}),
    ({"referenceType": None}, {"acc_type": False}),
    ({"referenceType": ""}, {"acc_type": False}),
    ({"referenceType": "BBAN"}, {"acc_type": "bban"}),
    ({"description": None, "financialInstitutionBic": "", "holderAddress": False, "holderName": None,
      "reference": ""},
     {"description": False, "bic": False, "holder_address": False, "holder_name": False,
      "acc_number": False}),
], ids=["defaults", "lower-country", "holder-country-kept", "no-country-currency", "null-type",
        "empty-type", "type-lowered", "empty-texts"])
def test_new_account_values(world, session, attributes, changes):
    session.add(account_answer("acc-1", **attributes))

    assert corvane_user._get_account(world.user, session, "acc-1") == {}

    [create] = world.journal.creates(ACCOUNT_MODEL)
    expected = {"account_identifier": "acc-1", **mirrored(world.env, **changes)}
    assert list(create.vals) == FIELDS
    assert create.vals == expected
    [account] = world.env[ACCOUNT_MODEL].browse(create.ids)
    assert account.kav_user_ids == world.user


def _answer_without(key):
    attributes = account_answer("acc-1").json()["data"]["attributes"]
    del attributes[key]
    return FakeResponse(200, json={"data": {"id": "acc-1", "attributes": attributes}})


@pytest.mark.parametrize("answer, error", [
    (account_answer("acc-1", country="XX"), ValueError),  # no base.xx
    (account_answer("acc-1", currency="eur"), ValueError),  # case kept: no base.eur
    (account_answer("acc-1", country=12), AttributeError),
    (_answer_without("referenceType"), KeyError),
    (FakeResponse(200, json={"data": {"id": "acc-1"}}), KeyError),
    (FakeResponse(200, text="not json"), ValueError),
], ids=["unknown-country", "lower-currency", "country-not-text", "missing-attribute", "no-attributes",
        "not-json"])
def test_bad_detail_answer_raises_before_any_record_change(world, session, answer, error):
    session.add(answer)
    with pytest.raises(error):
        corvane_user._get_account(world.user, session, "acc-1")
    assert world.journal == []


@pytest.mark.thread_unsafe(reason="asserts the exact log records, and caplog gathers those of every thread")
def test_failed_detail_request_touches_nothing(world, session, caplog):
    account = world.account("acc-1", description="Old")
    world.journal.clear()
    session.add(error_response(500, "boom – ✗"))

    with caplog.at_level(logging.ERROR, logger=LOGGER):
        result = corvane_user._get_account(world.user, session, "acc-1")

    message = "Error on 'Get Account':\nboom – ✗"
    assert result == {"error": message}
    assert logged(caplog) == [message]
    assert world.journal == []
    assert account.description == "Old"


@pytest.mark.parametrize("stored, attributes, written", [
    ({}, {}, None),
    ({}, {"description": "Savings"}, {"description": "Savings"}),
    ({}, {"country": "be"}, None),  # ids compared: base.be either way
    ({}, {"currency": "USD", "referenceType": "BBAN"}, {"currency_id": "base.USD", "acc_type": "bban"}),
    ({}, {"country": None, "holderName": None}, {"country_id": False, "holder_name": False}),
    ({"country_id": False, "description": False}, {"country": None, "description": ""}, None),
], ids=["same", "description", "country-case", "currency-and-type", "cleared", "false-equals-empty"])
def test_second_fetch_writes_only_what_changed(world, session, stored, attributes, written):
    account = world.account("acc-1", **mirrored(world.env, **stored))
    world.journal.clear()
    session.add(account_answer("acc-1", **attributes))

    assert corvane_user._get_account(world.user, session, "acc-1") == {}

    expected = [] if written is None else [
        ("write", ACCOUNT_MODEL, (account.id,), resolve(world.env, written))]
    assert world.journal == expected  # no create, and no link write: the user is linked


def test_archived_record_is_found_updated_and_left_archived(world, session):
    account = world.account("acc-1", active=False, **mirrored(world.env, description="Old"))
    world.journal.clear()
    session.add(account_answer("acc-1"))

    assert corvane_user._get_account(world.user, session, "acc-1") == {}

    assert world.journal == [("write", ACCOUNT_MODEL, (account.id,), {"description": "Current account"})]
    assert account.active is False


@pytest.mark.parametrize("linked", ["user-and-other", "other-only", "nobody"])
def test_user_is_added_to_the_account_once(world, session, linked):
    other = world.new_user(name="Other")
    users = {"user-and-other": world.user + other, "other-only": other,
             "nobody": world.env[USER_MODEL]}[linked]
    account = world.account("acc-1", users=users, **mirrored(world.env))
    world.journal.clear()
    session.add(account_answer("acc-1"))

    corvane_user._get_account(world.user, session, "acc-1")

    assert account.kav_user_ids == users | world.user
    link_writes = [e for e in world.journal.writes(ACCOUNT_MODEL) if "kav_user_ids" in e.vals]
    assert len(link_writes) == (0 if linked == "user-and-other" else 1)


def test_existing_record_goes_through_the_module_update(world, session, monkeypatch):
    account = world.account("acc-1")
    seen = []
    monkeypatch.setattr(corvane_user, "_update_account",
                        lambda *args, **kwargs: seen.append((args, kwargs)))
    session.add(account_answer("acc-1"))

    assert corvane_user._get_account(kav_user=world.user, session=session, identifier="acc-1") == {}

    [(args, kwargs)] = seen
    assert kwargs == {}
    assert args[:2] == (world.user, account)
    assert list(args[2]) == FIELDS
    assert world.journal.writes(ACCOUNT_MODEL) == []


# --------------------------------------------------------------------------
# _update_account
# --------------------------------------------------------------------------


@pytest.mark.parametrize("vals, written", [
    ({"account_identifier": "changed", "description": "Current account"}, None),
    ({"country_id": "base.be", "currency_id": False, "holder_name": False}, None),
    ({"country_id": "base.nl", "description": "Current account", "currency_id": "base.EUR"},
     {"country_id": "base.nl", "currency_id": "base.EUR"}),
    ({"holder_name": "New name", "account_identifier": "changed"}, {"holder_name": "New name"}),
], ids=["identifier-never-written", "same-ids-and-empties", "changed-links", "changed-text"])
def test_update_writes_the_changed_fields_at_once(world, vals, written):
    account = world.account("acc-1", country_id=world.env.ref("base.be").id, description="Current account")
    world.journal.clear()

    assert corvane_user._update_account(None, account, resolve(world.env, vals)) is None

    expected = [] if written is None else [
        ("write", ACCOUNT_MODEL, (account.id,), resolve(world.env, written))]
    assert world.journal == expected
    assert account.account_identifier == "acc-1"


# --------------------------------------------------------------------------
# call shapes
# --------------------------------------------------------------------------


@pytest.mark.parametrize("call", [
    lambda w: corvane_user.list_accounts(),
    lambda w: corvane_user.list_accounts(w.user, w.session),
    lambda w: corvane_user.list_accounts(user=w.user),
    lambda w: corvane_user._get_account(w.user, w.session),
    lambda w: corvane_user._update_account(w.user, w.env[ACCOUNT_MODEL]),
], ids=["list-none", "list-two", "list-bad-keyword", "get-two", "update-two"])
def test_wrong_argument_count_is_the_host_type_error(world, call):
    with pytest.raises(TypeError):
        call(world)
    assert world.session.calls == []


def test_list_accounts_is_public_and_keyword_callable(world, session):
    assert "list_accounts" in corvane_user.__all__
    world.user.state = "draft"
    assert "list-accounts" in corvane_user.list_accounts(kav_user=world.user)["error"]


def test_none_is_not_refused_by_the_binding(world):
    """None is an object like any other: it fails where the code uses it."""
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'get'"):
        corvane_user._get_account(world.user, None, "acc-1")
