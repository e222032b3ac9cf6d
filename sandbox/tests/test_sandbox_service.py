"""The sandbox's endpoints: the authorisation server (consent page, code
exchange, rotating refresh tokens, revocation), the certificate authority,
account and report listings with their paging, the statement files, the
payment uploads and their status over time, and the request inspector."""

from __future__ import annotations

import datetime
import importlib.resources
import re
import urllib.parse
import xml.etree.ElementTree as ET
from decimal import Decimal

import pytest
import requests
import xmlschema
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from pycamt.parser import Camt053Parser

from corvane_sandbox import AUTH_PATH, Sandbox, SandboxConfig
from corvane_sandbox.bank import CAMT053_NS, Bank, iban, iban_is_valid

from sandbox_testing import TIMEOUT, make_csr

BASIC = ("sandbox-client", "sandbox-secret")
REDIRECT = "https://odoo.example.com/corvane_connect/redirect"


def auth_url(sandbox, **overrides):
    params = {"client_id": "sandbox-client", "redirect_uri": REDIRECT, "response_type": "code",
              "scope": "AI PI offline_access", "state": "42"}
    params.update(overrides)
    query = "&".join(f"{k}={urllib.parse.quote(v, safe=':/')}" for k, v in params.items() if v is not None)
    return f"{sandbox.url}{AUTH_PATH}?{query}"


def token(sandbox, http, auth=BASIC, **form):
    return http.post(sandbox.url + "/corvane-connect/oauth2/token", auth=auth, data=form, timeout=TIMEOUT)


def code_of(location):
    query = urllib.parse.parse_qs(urllib.parse.urlsplit(location).query)
    return query["code"][0], query["state"][0]


@pytest.fixture
def manual_sandbox(clock):
    """A sandbox that shows its consent page instead of approving at once."""
    with Sandbox(SandboxConfig(port=0, payment_step=10), clock=clock) as running:
        yield running


# --- authorisation server -------------------------------------------------------------

@pytest.mark.parametrize("decision, expect", [("approve", "code"), ("deny", "error")])
def test_consent_page_redirects_with_code_or_refusal(manual_sandbox, http, decision, expect):
    page = http.get(auth_url(manual_sandbox), timeout=TIMEOUT)
    assert page.status_code == 200 and "text/html" in page.headers["Content-Type"]
    request_id = re.search(r'name="request_id" value="([^"]+)"', page.text).group(1)
    answer = http.post(manual_sandbox.url + AUTH_PATH, data={"request_id": request_id, "decision": decision},
                       allow_redirects=False, timeout=TIMEOUT)
    assert answer.status_code == 302
    location = answer.headers["Location"]
    assert location.startswith(REDIRECT + "?")
    query = urllib.parse.parse_qs(urllib.parse.urlsplit(location).query)
    assert query["state"] == ["42"] and expect in query
    if expect == "error":
        assert query["error"] == ["access_denied"]
    # a consent is answered once
    again = http.post(manual_sandbox.url + AUTH_PATH, data={"request_id": request_id, "decision": "approve"},
                      allow_redirects=False, timeout=TIMEOUT)
    assert again.status_code == 400 and "already answered" in again.text


def test_consent_page_escapes_what_the_request_carries(manual_sandbox, http):
    page = http.get(auth_url(manual_sandbox, state='<script>alert("x")</script>'), timeout=TIMEOUT)
    assert page.status_code == 200
    assert "<script>" not in page.text and "&lt;script&gt;" in page.text
    assert "default-src 'none'" in page.headers["Content-Security-Policy"]


@pytest.mark.parametrize("overrides, phrase", [
    ({"client_id": "someone"}, "is not registered"),
    ({"redirect_uri": "/relative"}, "absolute http(s) URL"),
    ({"redirect_uri": "https://x.example/cb\r\nSet-Cookie: a=b"}, "control characters"),
    ({"response_type": "token"}, "only \"code\""),
    ({"scope": "offline_access"}, "must name AI and/or PI"),
    ({"scope": "AI XYZ"}, "unknown: XYZ"),
    ({"state": None}, "state is missing"),
])
def test_authorisation_request_faults(sandbox, http, overrides, phrase):
    page = http.get(auth_url(sandbox, **overrides), allow_redirects=False, timeout=TIMEOUT)
    assert page.status_code == 400 and "Location" not in page.headers
    assert phrase in page.text.replace("&quot;", '"')


def test_code_exchange_rotation_and_revocation(sandbox, http):
    code, _ = code_of(http.get(auth_url(sandbox), allow_redirects=False, timeout=TIMEOUT).headers["Location"])
    first = token(sandbox, http, grant_type="authorization_code", code=code, redirect_uri=REDIRECT)
    assert first.status_code == 200, first.text
    tokens = first.json()
    assert list(tokens) == ["access_token", "expires_in", "refresh_token", "refresh_expires_in", "scope",
                            "token_type"]
    assert tokens["scope"] == "AI PI offline_access" and tokens["token_type"] == "Bearer"
    assert first.headers["Cache-Control"] == "no-store"

    second = token(sandbox, http, grant_type="refresh_token", refresh_token=tokens["refresh_token"]).json()
    assert second["refresh_token"] != tokens["refresh_token"]
    reused = token(sandbox, http, grant_type="refresh_token", refresh_token=tokens["refresh_token"])
    assert reused.status_code == 400 and reused.json()["error"] == "invalid_grant"
    assert "only the newest one is valid" in reused.json()["error_description"]

    revoked = http.post(sandbox.url + "/corvane-connect/oauth2/revoke", auth=BASIC,
                        data={"token": second["refresh_token"]}, timeout=TIMEOUT)
    assert revoked.status_code == 200
    after = token(sandbox, http, grant_type="refresh_token", refresh_token=second["refresh_token"])
    assert after.status_code == 400 and "revoked" in after.json()["error_description"]
    # the grant's access tokens die with it
    ok, detail, _ = sandbox.oauth.check_bearer(f"Bearer {second['access_token']}")
    assert not ok and "revoked grant" in detail


@pytest.mark.parametrize("fault, status, check", [
    ("wrong secret", 401, "client-authentication"),
    ("no credentials", 401, "client-authentication"),
    ("other redirect_uri", 400, "redirect_uri"),
    ("code used twice", 400, "code"),
    ("code expired", 400, "code"),
    ("unknown grant", 400, "grant_type"),
    ("json body", 400, "content-type"),
])
def test_code_exchange_faults(sandbox, http, clock, fault, status, check):
    code, _ = code_of(http.get(auth_url(sandbox), allow_redirects=False, timeout=TIMEOUT).headers["Location"])
    form = {"grant_type": "authorization_code", "code": code, "redirect_uri": REDIRECT}
    auth = BASIC
    if fault == "wrong secret":
        auth = ("sandbox-client", "nope")
    elif fault == "no credentials":
        auth = None
    elif fault == "other redirect_uri":
        form["redirect_uri"] = REDIRECT + "?x=1"
    elif fault == "code used twice":
        assert token(sandbox, http, **form).status_code == 200
    elif fault == "code expired":
        clock.advance(sandbox.oauth.code_ttl + 1)
    elif fault == "unknown grant":
        form["grant_type"] = "password"
    if fault == "json body":
        answer = http.post(sandbox.url + "/corvane-connect/oauth2/token", auth=auth, json=form, timeout=TIMEOUT)
    else:
        answer = token(sandbox, http, auth=auth, **form)
    assert answer.status_code == status, answer.text
    assert answer.json()["check"] == check
    assert answer.headers["X-Sandbox-Verdict"] == f"failed: {check}"
    if status == 401:
        assert answer.headers["WWW-Authenticate"].startswith("Basic")


def test_a_replayed_code_revokes_what_it_gave(sandbox, http):
    code, _ = code_of(http.get(auth_url(sandbox), allow_redirects=False, timeout=TIMEOUT).headers["Location"])
    form = {"grant_type": "authorization_code", "code": code, "redirect_uri": REDIRECT}
    tokens = token(sandbox, http, **form).json()
    assert token(sandbox, http, **form).status_code == 400
    refused = token(sandbox, http, grant_type="refresh_token", refresh_token=tokens["refresh_token"])
    assert refused.status_code == 400 and "revoked" in refused.json()["error_description"]


def test_revocation_of_unknown_and_foreign_tokens(clock):
    config = SandboxConfig(port=0, auto_approve=True)
    with Sandbox(config, clock=clock) as sandbox, requests.Session() as http:
        sandbox.oauth.clients["other"] = "other-secret"
        unknown = http.post(sandbox.url + "/corvane-connect/oauth2/revoke", auth=BASIC, data={"token": "False"},
                            timeout=TIMEOUT)
        assert unknown.status_code == 200 and "unknown" in unknown.json()["message"]
        code, _ = code_of(http.get(auth_url(sandbox), allow_redirects=False, timeout=TIMEOUT).headers["Location"])
        tokens = token(sandbox, http, grant_type="authorization_code", code=code, redirect_uri=REDIRECT).json()
        foreign = http.post(sandbox.url + "/corvane-connect/oauth2/revoke", auth=("other", "other-secret"),
                            data={"token": tokens["refresh_token"]}, timeout=TIMEOUT)
        assert foreign.status_code == 400 and foreign.json()["error"] == "unauthorized_client"


# --- certificate authority ----------------------------------------------------------------------

def test_certificate_is_issued_for_the_csr_key(sandbox, http, rsa_key):
    csr = make_csr(rsa_key).public_bytes(serialization.Encoding.PEM)
    answer = http.post(sandbox.url + "/_sandbox/certificates", data=csr, timeout=TIMEOUT)
    assert answer.status_code == 201, answer.text
    body = answer.json()
    certificate = x509.load_pem_x509_certificate(body["certificate"].encode())
    ca = x509.load_pem_x509_certificate(http.get(sandbox.url + "/_sandbox/ca.pem", timeout=TIMEOUT).content)
    certificate.verify_directly_issued_by(ca)
    assert certificate.public_key().public_numbers() == rsa_key.public_key().public_numbers()
    assert certificate.subject.rfc4514_string() == "CN=Example Company signing key,C=BE" == body["subject"]
    # the same key certified again (here as JSON) keeps its keyId
    again = http.post(sandbox.url + "/_sandbox/certificates", json={"csr": csr.decode()}, timeout=TIMEOUT).json()
    assert again["keyId"] == body["keyId"] and again["serialNumber"] != body["serialNumber"]


def _csr_with_forged_key(key, other):
    """A CSR whose public key was swapped after signing: its signature fails."""
    der = make_csr(key).public_bytes(serialization.Encoding.DER)
    spki = key.public_key().public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
    swap = other.public_key().public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
    assert len(spki) == len(swap) and spki in der
    forged = x509.load_der_x509_csr(der.replace(spki, swap))
    return forged.public_bytes(serialization.Encoding.PEM)


@pytest.mark.parametrize("make, phrase", [
    (lambda k, o: b"hello", "no PEM block"),
    (lambda k, o: b"-----BEGIN CERTIFICATE REQUEST-----\nAAAA\n-----END CERTIFICATE REQUEST-----\n", "does not parse"),
    (lambda k, o: _csr_with_forged_key(k, o), "signature does not verify"),
    (lambda k, o: make_csr(rsa.generate_private_key(65537, 1024)).public_bytes(serialization.Encoding.PEM),
     "1024 bits"),
    (lambda k, o: make_csr(ec.generate_private_key(ec.SECP256R1())).public_bytes(serialization.Encoding.PEM),
     "need an RSA key"),
    (lambda k, o: x509.CertificateSigningRequestBuilder().subject_name(x509.Name([])).sign(
        k, hashes.SHA256()).public_bytes(serialization.Encoding.PEM), "no common name"),
])
def test_certificate_authority_refusals(sandbox, http, rsa_key, rsa_key_other, make, phrase):
    answer = http.post(sandbox.url + "/_sandbox/certificates", data=make(rsa_key, rsa_key_other), timeout=TIMEOUT)
    assert answer.status_code == 400
    assert answer.json()["error"] == "csr_rejected" and phrase in answer.json()["message"]


# --- accounts and reports -------------------------------------------------------------------------

def test_account_paging(client):
    total = len(client.sandbox.bank.accounts)
    seen = []
    for offset in range(0, total + 20, 20):
        page = client.get(f"/corvane-connect/accounts?offset={offset}&size=20").json()
        assert page["meta"]["paging"]["total"] == total
        seen += [item["id"] for item in page["data"]]
    assert seen == [a.identifier for a in client.sandbox.bank.accounts]
    detail = client.get(f"/corvane-connect/accounts/{seen[0]}").json()["data"]
    assert detail["id"] == seen[0]
    assert set(detail["attributes"]) == {"country", "currency", "description", "financialInstitutionBic",
                                         "holderAddress", "holderAddressCountry", "holderName", "reference",
                                         "referenceType"}


@pytest.mark.parametrize("target, status, phrase", [
    ("/corvane-connect/accounts?offset=-1&size=20", 400, "offset must be 0 or more"),
    ("/corvane-connect/accounts?offset=0&size=500", 400, "size between 1 and 100"),
    ("/corvane-connect/accounts?offset=a", 400, "whole numbers"),
    ("/corvane-connect/accounts?offset=0&offset=20", 400, "given twice"),
    ("/corvane-connect/accounts?page=2", 400, "unknown query parameter 'page'"),
    ("/corvane-connect/accounts/nope", 404, "no account"),
    ("/corvane-connect/account-reports?offset=0&size=20&after=nope", 400, "names no account report"),
    ("/corvane-connect/account-reports/nope", 404, "no account report"),
    ("/corvane-connect/bulk-payment-initiation-requests/nope", 404, "no bulk payment"),
])
def test_listing_and_lookup_faults(client, target, status, phrase):
    answer = client.get(target)
    assert answer.status_code == status
    assert phrase in answer.json()["message"]
    assert answer.headers["X-Sandbox-Verdict"] == "passed"  # the request itself was sound


def test_reports_resume_after_an_identifier(client):
    reports = client.sandbox.bank.reports
    everything = client.get("/corvane-connect/account-reports?offset=0&size=20").json()
    assert [i["id"] for i in everything["data"]] == [r.identifier for r in reports]
    rest = client.get(f"/corvane-connect/account-reports?offset=0&size=20&after={reports[1].identifier}").json()
    assert rest["meta"]["paging"]["total"] == len(reports) - 2
    assert [i["id"] for i in rest["data"]] == [r.identifier for r in reports[2:]]
    item = everything["data"][0]["attributes"]
    datetime.datetime.strptime(item["receivedAt"], "%Y-%m-%dT%H:%M:%S.%f")  # the modules' format
    assert item["accountReferencesAndCurrencies"] == [{"reference": reports[0].account.reference,
                                                       "currency": reports[0].account.currency}]


def test_statement_files_chain_and_balance(client):
    bank = client.sandbox.bank
    ns = {"c": CAMT053_NS}
    closing = {}
    for report in bank.reports:
        answer = client.get(f"/corvane-connect/account-reports/{report.identifier}")
        assert answer.headers["Content-Type"] == "application/xml; charset=utf-8"
        assert len(answer.content) == report.listing_item()["attributes"]["fileSize"]
        stmt = ET.fromstring(answer.content).find("c:BkToCstmrStmt/c:Stmt", ns)
        balances = {}
        for bal in stmt.findall("c:Bal", ns):
            amount = Decimal(bal.find("c:Amt", ns).text)
            balances[bal.find("c:Tp/c:CdOrPrtry/c:Cd", ns).text] = (
                amount if bal.find("c:CdtDbtInd", ns).text == "CRDT" else -amount)
        entries = sum(Decimal(e.find("c:Amt", ns).text) * (1 if e.find("c:CdtDbtInd", ns).text == "CRDT" else -1)
                      for e in stmt.findall("c:Ntry", ns))
        assert balances["OPBD"] + entries == balances["CLBD"]
        account = report.account.reference
        if account in closing:
            assert balances["OPBD"] == closing[account]
        closing[account] = balances["CLBD"]


@pytest.fixture(scope="module")
def camt053_schema():
    source = importlib.resources.files("camt053") / "xsd" / "camt.053.001.02.xsd"
    with importlib.resources.as_file(source) as path:
        return xmlschema.XMLSchema(str(path))


def _signed(amount, indicator):
    return Decimal(amount) if indicator == "CRDT" else -abs(Decimal(amount))


def assert_reads_to_what_was_booked(content, report, schema):
    """``content`` conforms to camt.053.001.02 and pycamt, an independent
    reader, finds in it the report's balances and entries."""
    schema.validate(content)
    parsed = Camt053Parser(content)
    [info] = parsed.get_statement_info()
    account = report.account
    assert (info["IBAN"], info["Currency"]) == (account.reference if account.reference_type == "IBAN" else None,
                                                account.currency)
    assert (Decimal(info["OpeningBalance"]), Decimal(info["ClosingBalance"])) == (report.opening, report.closing)
    assert info["OpeningBalanceDate"] == info["ClosingBalanceDate"] == report.day.isoformat()
    assert [(t["TransactionID"], _signed(t["Amount"], t["CreditDebitIndicator"]), t["Currency"], t["BookingDate"])
            for t in parsed.get_transactions()] == [
        (m.reference, m.amount, account.currency, m.booking_date.isoformat()) for m in report.movements]


def test_served_statement_files_conform_and_read_back(client, camt053_schema):
    for report in client.sandbox.bank.reports:
        answer = client.get(f"/corvane-connect/account-reports/{report.identifier}")
        assert answer.status_code == 200
        assert_reads_to_what_was_booked(answer.content, report, camt053_schema)


def test_statement_files_of_every_kind_of_account_conform_and_read_back(camt053_schema):
    # Every account reporting: accounts without IBAN, BIC or description too.
    bank = Bank(seed=5, accounts=14, reporting_accounts=14, days=2)
    assert {a.reference_type for a in bank.accounts} == {"IBAN", "BBAN"} and None in {a.bic for a in bank.accounts}
    for report in bank.reports:
        assert_reads_to_what_was_booked(report.content, report, camt053_schema)


def test_bank_data_is_reproducible_and_sound():
    first, second = Bank(seed=3), Bank(seed=3)
    assert [r.content for r in first.reports] == [r.content for r in second.reports]
    assert [a.identifier for a in first.accounts] != [a.identifier for a in Bank(seed=4).accounts]
    for account in first.accounts:
        assert account.reference_type != "IBAN" or iban_is_valid(account.reference)
    assert iban("BE", "539007547034") == "BE68539007547034"
    assert not iban_is_valid("BE68539007547035")


# --- payments ------------------------------------------------------------------------------------

PAIN_NS = "urn:iso:std:iso:20022:tech:xsd:pain.001.001.{version}"
UPLOAD = "/corvane-connect/bulk-payment-initiation-requests"
HEADERS = {"Content-Type": "application/xml", "Content-Disposition": 'inline; filename="pay.xml"',
           "Is-Shared": "True", "Hide-Details": "True"}


def pain(message_id="M1", count=None, control=None, creditor="BE68539007547034", amount="10.50", version="03",
         debtor_bic="GEBABEBB", doctype="", currency=' Ccy="EUR"'):
    """A pain.001 file of one transfer, valid against the schema of its
    version unless an argument makes it otherwise."""
    count = 1 if count is None else count
    control = amount if control is None else control
    # Version 03 has the execution date and BIC as text; later versions
    # wrap the date in Dt and name the BIC BICFI.
    date, bic = ("2024-03-04", "BIC") if version == "03" else ("<Dt>2024-03-04</Dt>", "BICFI")
    return (f'<?xml version="1.0" encoding="UTF-8"?>{doctype}<Document xmlns="{PAIN_NS.format(version=version)}">'
            f"<CstmrCdtTrfInitn><GrpHdr><MsgId>{message_id}</MsgId><CreDtTm>2024-03-01T10:00:00</CreDtTm>"
            f"<NbOfTxs>{count}</NbOfTxs><CtrlSum>{control}</CtrlSum><InitgPty><Nm>Example SA</Nm></InitgPty>"
            "</GrpHdr><PmtInf><PmtInfId>P1</PmtInfId><PmtMtd>TRF</PmtMtd>"
            f"<ReqdExctnDt>{date}</ReqdExctnDt><Dbtr><Nm>Example SA</Nm></Dbtr>"
            "<DbtrAcct><Id><IBAN>NL91ABNA0417164300</IBAN></Id></DbtrAcct>"
            f"<DbtrAgt><FinInstnId><{bic}>{debtor_bic}</{bic}></FinInstnId></DbtrAgt><CdtTrfTxInf>"
            f"<PmtId><EndToEndId>E2E-1</EndToEndId></PmtId><Amt><InstdAmt{currency}>{amount}</InstdAmt></Amt>"
            f"<Cdtr><Nm>Café Łódź</Nm></Cdtr><CdtrAcct><Id><IBAN>{creditor}</IBAN></Id></CdtrAcct></CdtTrfTxInf>"
            "</PmtInf></CstmrCdtTrfInitn></Document>").encode("utf-8")


# A message identifier of ten million characters when its entities are expanded.
_EXPANDING = ('<!DOCTYPE Document [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">'
              '<!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;"><!ENTITY d "&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;">]>')


def utf16(document):
    """``document`` (its creditor name in ASCII) in UTF-16 without a
    byte-order mark: ASCII in UTF-16 is valid UTF-8 too (a NUL byte beside
    each letter)."""
    text = document.decode("utf-8").replace("Café Łódź", "Cafe Lodz")
    text = text.replace('encoding="UTF-8"', 'encoding="UTF-16"')
    return text.encode("utf-16-le")


@pytest.mark.parametrize("headers, body, check, phrase", [
    ({"Content-Type": "text/plain"}, pain(), "content-type", "application/xml"),
    ({"Content-Disposition": "attachment"}, pain(), "content-disposition", "inline; filename"),
    ({"Content-Disposition": 'inline; filename="a"b"'}, pain(), "content-disposition", "free of quotes"),
    ({"Is-Shared": "yes"}, pain(), "is-shared", "\"True\" or \"False\""),
    ({"Hide-Details": None}, pain(), "hide-details", "None"),
    ({}, b"", "body", "empty body"),
    ({}, b"<Document><unclosed></Document>", "well-formed", "not well-formed"),
    ({}, b'<!DOCTYPE x [<!ENTITY a "b">]><Document/>', "well-formed", "document type declaration"),
    ({}, pain(doctype=_EXPANDING, message_id="&d;"), "well-formed", "document type declaration"),
    ({}, utf16(pain(doctype=_EXPANDING, message_id="&d;")), "well-formed", "document type declaration"),
    ({}, utf16(pain(doctype='<!DOCTYPE Document SYSTEM "file:///etc/passwd">')), "well-formed",
     "document type declaration"),
    ({}, utf16(pain()), "encoding", "is NUL"),
    ({}, "<Document>é</Document>".encode("latin-1"), "encoding", "not UTF-8"),
    ({}, b'<Document xmlns="urn:iso:std:iso:20022:tech:xsd:camt.053.001.02"/>', "pain.001", "root element"),
    ({}, pain(version="05"), "pain.001", "pain.001.001.05 is not served"),
])
def test_upload_refused_at_once(client, headers, body, check, phrase):
    extra = {k: v for k, v in {**HEADERS, **headers}.items() if v is not None}
    answer = client.post(UPLOAD, body, extra)
    assert answer.status_code == 400, answer.text
    assert answer.json()["check"] == check and phrase in answer.json()["message"]


@pytest.mark.parametrize("body, path, phrase", [
    (f'<Document xmlns="{PAIN_NS.format(version="03")}"><CstmrCdtTrfInitn><GrpHdr/></CstmrCdtTrfInitn>'
     "</Document>".encode(), "/Document/CstmrCdtTrfInitn/GrpHdr", "Tag 'MsgId' expected"),
    (pain(count="one"), "/Document/CstmrCdtTrfInitn/GrpHdr/NbOfTxs", "doesn't match any pattern"),
    (pain(control="ten"), "/Document/CstmrCdtTrfInitn/GrpHdr/CtrlSum", "invalid value"),
    (pain(currency=""), "/Document/CstmrCdtTrfInitn/PmtInf/CdtTrfTxInf/Amt/InstdAmt", "attribute 'Ccy'"),
    (pain(amount="-1.00"), "/Document/CstmrCdtTrfInitn/PmtInf/CdtTrfTxInf/Amt/InstdAmt", "greater or equal"),
    (pain(version="09").replace(b"<PmtMtd>TRF</PmtMtd>", b""), "/Document/CstmrCdtTrfInitn/PmtInf",
     "Tag 'PmtMtd' expected"),
])
def test_upload_refused_with_the_schema_fault(client, body, path, phrase):
    answer = client.post(UPLOAD, body, HEADERS)
    assert answer.status_code == 400, answer.text
    refusal = answer.json()
    assert refusal["check"] == "schema" and refusal["path"] == path and phrase in refusal["reason"]
    assert f"schema at {path}: " in refusal["message"]


@pytest.mark.parametrize("body, final, reason", [
    (pain(), "accepted", None),
    (pain(version="09"), "accepted", None),
    (pain(version="10"), "accepted", None),
    (pain(version="11"), "accepted", None),
    (pain(count=2), "rejected", "NbOfTxs is 2 but the file holds 1"),
    (pain(control="11.00"), "rejected", "CtrlSum is 11.00"),
    (pain(amount="0.00", control="0.00"), "rejected", "non-positive amount"),
    (pain(creditor="BE68539007547035"), "rejected", "not a valid IBAN"),
    # Check digits right, one digit too many for a Belgian account.
    (pain(creditor="BE705390075470341"), "rejected", "not a valid IBAN: Invalid IBAN length"),
    (pain(debtor_bic="GEBAXXBB"), "rejected", "the BIC 'GEBAXXBB' of the debtor agent is not valid"),
])
def test_payment_status_moves_on_over_time(client, clock, body, final, reason):
    created = client.post(UPLOAD, body, HEADERS)
    assert created.status_code == 201, created.text
    data = created.json()["data"]
    assert data["attributes"]["status"] == "received"
    states = []
    for _ in range(3):
        clock.advance(client.sandbox.config.payment_step)
        states.append(client.get(f"{UPLOAD}/{data['id']}").json()["data"]["attributes"])
    assert [s["status"] for s in states] == ["processing", final, final]
    if reason is None:
        assert "statusReason" not in states[-1]
    else:
        assert reason in states[-1]["statusReason"]


def test_a_message_identifier_is_used_once(client, clock):
    first = client.post(UPLOAD, pain("SAME"), HEADERS).json()["data"]["id"]
    second = client.post(UPLOAD, pain("SAME"), HEADERS).json()["data"]["id"]
    clock.advance(2 * client.sandbox.config.payment_step)
    statuses = [client.get(f"{UPLOAD}/{i}").json()["data"]["attributes"] for i in (first, second)]
    assert statuses[0]["status"] == "accepted"
    assert statuses[1]["status"] == "rejected" and "already used" in statuses[1]["statusReason"]


# --- inspector, routing, transport ----------------------------------------------------------------

def test_inspector_lists_requests_escaped_and_masked(client):
    client.get("/corvane-connect/accounts?offset=0&size=20&x=1", extra={"X-Note": "<b>bold</b>"})
    page = client.http.get(client.sandbox.url + "/_sandbox/", timeout=TIMEOUT)
    assert page.status_code == 200
    assert "<b>bold</b>" not in page.text and "&lt;b&gt;bold&lt;/b&gt;" in page.text
    assert client.access_token not in page.text and client.access_token[:6] + "…" in page.text
    entries = client.http.get(client.sandbox.url + "/_sandbox/requests", timeout=TIMEOUT).json()["requests"]
    last = entries[-1]
    assert last["verdict"] == "passed" and last["status"] == 400  # signed fine, refused for the unknown parameter
    assert [c["check"] for c in last["checks"]][0] == "signature-header"
    since = client.http.get(client.sandbox.url + f"/_sandbox/requests?since={last['number']}",
                            timeout=TIMEOUT).json()
    assert since == {"requests": []}


@pytest.mark.parametrize("method, path, status", [
    ("DELETE", "/corvane-connect/accounts", 405),
    ("GET", "/corvane-connect/oauth2/token", 405),
    ("GET", "/nothing/here", 404),
])
def test_routing(sandbox, http, method, path, status):
    answer = http.request(method, sandbox.url + path, timeout=TIMEOUT)
    assert answer.status_code == status
    if status == 405:
        assert answer.headers["Allow"]


def test_chunked_bodies_are_refused(sandbox, http):
    answer = http.post(sandbox.url + "/corvane-connect/oauth2/token", data=iter([b"grant_type=x"]),
                       timeout=TIMEOUT)
    assert answer.status_code == 411


def test_binds_loopback_only(sandbox):
    assert sandbox._server.server_address[0] == "127.0.0.1"


def test_refusal_links_to_its_unfolded_inspector_entry(client):
    refused = client.get("/corvane-connect/accounts", host="api.tolvex.com").json()
    number = int(refused["inspector"].rsplit("#r", 1)[1])
    assert refused["inspector"] == f"{client.sandbox.url}/_sandbox/?open={number}#r{number}"
    page = client.http.get(refused["inspector"], timeout=TIMEOUT).text
    row = page[page.index(f'<tr id="r{number}">'):]
    assert row.split("</tr>")[0].count("<details open>") == 1
    assert page.count("<details open>") == 1
    assert "failed: signature" in row and "host: 127.0.0.1:" in row  # the rebuilt signing string
