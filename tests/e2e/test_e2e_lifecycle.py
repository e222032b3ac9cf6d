"""The modules against the sandbox over real sockets: the whole life cycle
of a KAV User, and the requests the sandbox refuses, each coming back as
the module's error dictionary carrying the sandbox's explanation."""

from __future__ import annotations

import json
import time
import urllib.parse

import pytest

from corvane_standins.addon import pain001, replace_in_body

from e2e_helpers import certify, follow_authorisation, new_key

PAYMENT_FINAL = ("accepted", "rejected")
TRANSFERS = [
    ("Brasserie Dupont", "BE68539007547034", "1250.00", "EUR", "Invoice 2024-117"),
    ("Müller Maschinenbau GmbH", "DE89370400440532013000", "4380.55", "EUR", "Order 55123"),
]
_message_ids = iter(range(1, 10_000))


def payment_file(addon, **overrides):
    """A pain.001 record with a message identifier of its own."""
    message_id = f"E2E-{time.time_ns()}-{next(_message_ids)}"
    text = pain001(message_id, "Example Company SA", "BE68539007547034", "GEBABEBB", TRANSFERS, **overrides)
    return addon.pain_request(f"{message_id}.xml", text)


def refresh_until_final(corvane_pain, pain, step, attempts=50):
    seen = [pain.state]
    for _ in range(attempts):
        if pain.state in PAYMENT_FINAL:
            return seen
        time.sleep(step / 2)
        assert corvane_pain.refresh_state(pain) == {}
        if pain.state != seen[-1]:
            seen.append(pain.state)
    pytest.fail(f"payment still {pain.state!r} after {attempts} refreshes")


def test_life_cycle(sandbox, addon, modules, monkeypatch):
    corvane_user, corvane_keys, corvane_pain = modules
    # Status steps of a second: each refresh (a token request and a signed
    # one) must fit in a step's window even on a loaded machine.
    monkeypatch.setattr(sandbox.payments, "step", 1.0)
    user, env = addon.user, addon.env
    first_request = len(sandbox.log.entries()) and sandbox.log.entries()[-1].number

    # key, CSR, certificate
    key = new_key(addon)
    key_id = certify(sandbox, addon, key)
    certified = sandbox.ca.lookup(key_id)[0]
    assert certified.subject == "CN=Example Company signing key,O=Example Company SA,C=BE"

    # linking: the URL action, the consent page, the code exchange
    action = corvane_user.user_linking(user)["return"]
    query = urllib.parse.parse_qs(urllib.parse.urlsplit(action["url"]).query)
    assert query["client_id"] == ["e2e-client"] and query["state"] == [str(user.id)]
    assert addon.complete_linking(follow_authorisation(sandbox, action["url"]), corvane_user) == {}
    token = user.access_token_id
    assert user.state == "activated" and token.scope == "AI PI offline_access"
    assert token.corvane_connect_user_id == user

    # accounts: two listing pages, one detail request each, every one mirrored
    assert corvane_user.list_accounts(user) == {}
    accounts = env["corvane.connect.account"].search([])
    bank = {a.identifier: a for a in sandbox.bank.accounts}
    assert sorted(accounts.mapped("account_identifier")) == sorted(bank)
    for record in accounts:
        source = bank[record.account_identifier]
        assert (record.acc_number, record.currency_id.name, record.country_id.code, record.holder_name,
                record.description or None, record.bic or None, record.acc_type) == (
            source.reference, source.currency, source.country, source.holder_name, source.description,
            source.bic, source.reference_type.lower())
    assert user.kav_account_ids == accounts
    targets = [e.target for e in sandbox.log.entries() if e.number > first_request and e.endpoint == "accounts"]
    assert targets == ["/corvane-connect/accounts?offset=0&size=20", "/corvane-connect/accounts?offset=20&size=20"]

    # statements: every report downloaded and imported, with its lines
    result = corvane_user.get_bank_statements(user)
    statements = result["return"]
    assert [s.name for s in statements] == [r.identifier for r in sandbox.bank.reports]
    for statement, report in zip(statements, sandbox.bank.reports):
        assert statement.account_number == report.account.reference
        assert [round(line.amount, 2) for line in statement.line_ids] == [float(m.amount) for m in report.movements]
        assert round(statement.balance_end_real, 2) == float(report.closing)
    # the next pull resumes after the newest report and finds nothing new
    assert len(corvane_user.get_bank_statements(user)["return"]) == 0
    last = sandbox.log.entries()[-1]
    assert last.target.endswith(f"&after={sandbox.bank.reports[-1].identifier}")

    # payment: upload, then the status until it is final
    pain = payment_file(addon)
    assert corvane_pain._pain_request(pain) == {}
    assert pain.identifier.startswith("bpir-") and pain.state == "received"
    assert refresh_until_final(corvane_pain, pain, sandbox.payments.step) == [
        "received", "processing", "accepted"]

    # revocation: the user is back in draft and the tokens are dead
    assert corvane_user.revoke_refresh_token(user) == {}
    assert user.state == "draft"
    refused = corvane_user._request_access_token(user, addon.session, grant_type="refresh_token")
    assert refused["error"].startswith("Error on 'Request Access Tokens':\n")
    assert json.loads(refused["error"].split("\n", 1)[1])["check"] == "refresh-token"

    # every signed request of the life cycle was verified
    signed = [e for e in sandbox.log.entries() if e.number > first_request and e.signing_string is not None]
    assert {e.endpoint for e in signed} == {"accounts", "account", "account reports", "account report",
                                            "payment upload", "payment status"}
    assert all(e.verdict == "passed" for e in signed)


def test_a_payment_the_bank_rejects_ends_rejected(sandbox, linked, modules):
    corvane_pain = modules[2]
    pain = payment_file(linked, count=5)
    assert corvane_pain._pain_request(pain) == {}
    assert refresh_until_final(corvane_pain, pain, sandbox.config.payment_step)[-1] == "rejected"


# --- refused requests ------------------------------------------------------------------------------

def _tampered_upload(sandbox, addon, modules, monkeypatch):
    addon.session.tamper = replace_in_body("1250.00", "9250.00")
    pain = payment_file(addon)
    return pain, lambda: modules[2]._pain_request(pain)


def _wrong_key(sandbox, addon, modules, monkeypatch):
    # the user's certificate record now points at another key than the one
    # certified for its keyId
    addon.user.sign_cert_id.private_key_id = new_key(addon, "Another key")
    return None, lambda: modules[0].list_accounts(addon.user)


def _stale_created(sandbox, addon, modules, monkeypatch):
    class Behind:
        @staticmethod
        def time():
            return time.time() - sandbox.config.clock_skew - 60

    monkeypatch.setattr(modules[0], "time", Behind)
    return None, lambda: modules[0].get_bank_statements(addon.user)


def _revoked_token(sandbox, addon, modules, monkeypatch):
    # the consent is withdrawn at the bank, out of the addon's sight
    answer = addon.session.post(sandbox.url + "/corvane-connect/oauth2/revoke", auth=(
        addon.config.client_identifier, addon.config.client_secret),
        data={"token": addon.user.access_token_id.refresh_token})
    assert answer.status_code == 200
    pain = payment_file(addon)
    return pain, lambda: modules[2]._pain_request(pain)


def _unknown_key_id(sandbox, addon, modules, monkeypatch):
    addon.user.sign_cert_key_identifier = "sbx-000000000000000000000000"
    return None, lambda: modules[0].list_accounts(addon.user)


def _host_not_as_sent(sandbox, addon, modules, monkeypatch):
    monkeypatch.setattr(modules[0], "TOLVEX_API_HOST", "api.tolvex.com")
    return None, lambda: modules[0].list_accounts(addon.user)


def _payments_without_scope(sandbox, addon, modules, monkeypatch):
    # a user linked for account information only
    addon.user.transaction_rights = "down"
    url = modules[0].user_linking(addon.user)["return"]["url"]
    assert addon.complete_linking(follow_authorisation(sandbox, url), modules[0]) == {}
    pain = payment_file(addon)
    return pain, lambda: modules[2]._pain_request(pain)


@pytest.mark.parametrize("setup, title, check, phrase", [
    (_tampered_upload, "Payment Initiation Request", "digest", "does not match the body received"),
    (_wrong_key, "List Accounts", "signature", "does not verify"),
    (_stale_created, "List Account Reports", "created", "older than the sandbox's clock"),
    (_revoked_token, "Request Access Tokens", "refresh-token", "was revoked"),
    (_unknown_key_id, "List Accounts", "key-id", "names no key certified"),
    (_host_not_as_sent, "List Accounts", "signature", "TOLVEX_API_HOST must be exactly that"),
    (_payments_without_scope, "Payment Initiation Request", "scope", "lacks PI"),
], ids=["tampered body", "wrong key", "expired created", "revoked token", "unknown keyId", "host line",
        "missing scope"])
def test_refused_request_comes_back_with_the_explanation(sandbox, linked, modules, monkeypatch, setup, title,
                                                         check, phrase):
    pain, call = setup(sandbox, linked, modules, monkeypatch)
    accounts_before = len(linked.env["corvane.connect.account"].search([]))
    result = call()
    assert list(result) == ["error"]
    head, _, body = result["error"].partition("\n")
    assert head == f"Error on '{title}':"
    explanation = json.loads(body)
    assert explanation["check"] == check
    assert phrase in (explanation.get("message") or explanation.get("error_description"))
    if check == "signature":
        # the signing string the sandbox rebuilt, for the developer to compare
        assert explanation["signing_string"].startswith("(request-target): get /corvane-connect/accounts?")
    if check == "created":
        assert explanation["difference_seconds"] >= sandbox.config.clock_skew + 60
    # nothing was written from a refused answer
    assert len(linked.env["corvane.connect.account"].search([])) == accounts_before
    if pain is not None:
        assert not pain.identifier and pain.state == "draft"
