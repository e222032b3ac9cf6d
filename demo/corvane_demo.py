"""The end-to-end demo: the whole life cycle of a Corvane Connect user, run by
the corvane_core modules against the local sandbox, on an in-memory
stand-in of the addon's records.

    python demo/corvane_demo.py [--sandbox-url URL] [--inspector-screenshot PNG]

Steps: generate the company key, make the CSR and have it certified, start
the linking and follow the authorisation URL, exchange the code for tokens,
list and mirror the accounts, pull the statements and import them, upload a
pain.001 file (made by sepaxml, as the accounting side makes it) and refresh
its status until it is final, show two requests the sandbox refuses and why,
revoke the tokens.  Every request is printed with the sandbox's verdict; the
demo exits non-zero on any failure.  Each step is one function (``STEPS``).

Without --sandbox-url the demo starts its own sandbox on a free loopback
port (auto-approve off: the demo answers the consent page itself).  With
it, the demo first checks that a sandbox answers there, and says how to
start one when none does.
"""

from __future__ import annotations

import argparse
import base64
import contextlib
import dataclasses
import datetime
import logging
import os
import re
import secrets
import shutil
import subprocess
import sys
import tempfile
import time
import traceback
import urllib.parse
from decimal import Decimal

import requests
from sepaxml import SepaTransfer

from corvane_standins.addon import AddonSession, build_addon, replace_in_body

DEFAULT_TIMEOUT = 30  # seconds, for every request the demo's session sends
PAIN001_VERSION = "pain.001.001.03"


class DemoFailure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise DemoFailure(message)


# --- output -----------------------------------------------------------------

def step(number, title):
    print(f"\n== {number}. {title}", flush=True)


def say(text=""):
    print(f"   {text}", flush=True)


def table(headers, rows, indent="   "):
    rows = [["" if v is None or v is False else str(v) for v in row] for row in rows]
    widths = [max([len(h)] + [len(r[i]) for r in rows]) for i, h in enumerate(headers)]
    line = "  ".join(h.ljust(w) for h, w in zip(headers, widths))
    print(indent + line)
    print(indent + "  ".join("-" * w for w in widths))
    for row in rows:
        print(indent + "  ".join(v.rjust(w) if _numeric(v) else v.ljust(w) for v, w in zip(row, widths)))
    sys.stdout.flush()


def _numeric(text):
    return bool(re.fullmatch(r"-?[0-9][0-9,]*\.[0-9]{2}|[0-9]{1,4}", text))


def quote_block(text, limit=14):
    lines = text.splitlines()
    for line in lines[:limit]:
        say(f"| {line}")
    if len(lines) > limit:
        say(f"| ... ({len(lines) - limit} more lines)")


class _LogLine(logging.Handler):
    """Shows what the modules log (at error level) as one transcript line."""

    def emit(self, record):
        first = record.getMessage().splitlines()[0] if record.getMessage() else ""
        print(f"     logged   {record.levelname} {record.name}: {first}", flush=True)


def show_module_logs():
    logger = logging.getLogger("corvane_core")
    logger.addHandler(_LogLine())
    logger.propagate = False


# --- the addon's HTTP session -------------------------------------------------

class WatchedSession(AddonSession):
    """The addon's session, which also prints every request with the
    sandbox's verdict and remembers them.  Inside ``expect_refusal()`` a
    refused request is what the demo wants; anywhere else it fails the demo
    at the end."""

    default_timeout = DEFAULT_TIMEOUT

    def __init__(self):
        super().__init__()
        self.exchanges = []
        self.unexpected = []
        self._expecting_refusal = False

    @contextlib.contextmanager
    def expect_refusal(self):
        self._expecting_refusal = True
        try:
            yield
        finally:
            self._expecting_refusal = False

    def request(self, method, url, *args, **kwargs):
        response = super().request(method, url, *args, **kwargs)
        request = response.request
        signed = "Signature" in request.headers
        verdict = response.headers.get("X-Sandbox-Verdict", "?")
        self.exchanges.append((request.method, request.path_url, response.status_code, verdict, signed))
        refused = not verdict.startswith("passed") and verdict != "-"
        if refused and not self._expecting_refusal:
            self.unexpected.append(f"{request.method} {request.path_url} -> {response.status_code} {verdict}")
        label = "signed, " if signed else ""
        mark = "refused" if refused else "ok"
        print(f"     {mark:>7}  {request.method:<4} {request.path_url}  -> {response.status_code}"
              f"  [{label}sandbox: {verdict}]", flush=True)
        return response


# --- the steps ------------------------------------------------------------------

def configure_modules(url, host):
    """Point the modules at the sandbox: the addon's constants are read when
    the modules load, so they are set before the first import."""
    from corvane_core import constants

    constants.TOLVEX_API_HOST_URL = url
    constants.TOLVEX_API_HOST = host
    from corvane_core import corvane_keys, corvane_pain, corvane_user

    check(corvane_user.TOLVEX_API_HOST_URL == url and corvane_pain.TOLVEX_API_HOST_URL == url
          and corvane_user.TOLVEX_API_HOST == host,
          "the modules were loaded before the demo could point them at the sandbox")
    return corvane_user, corvane_keys, corvane_pain


@dataclasses.dataclass
class Flow:
    """What the steps share: the sandbox, the modules, the addon and its
    session, and what each step leaves for the next ones."""

    sandbox_url: str
    sandbox: object  # the in-process Sandbox, None for an external one (its data is then not checked)
    corvane_user: object
    corvane_keys: object
    corvane_pain: object
    session: WatchedSession
    addon: object
    key: object = None
    token: object = None
    accounts: object = None
    payment: object = None
    message_id: str = ""
    payment_text: str = ""

    @property
    def env(self):
        return self.addon.env

    @property
    def user(self):
        return self.addon.user


def run(sandbox_url, sandbox, client_id, client_secret):
    """The life cycle, one function per numbered step.  ``sandbox`` is the
    in-process Sandbox (None for an external one: the checks against its
    data are then skipped)."""
    host = urllib.parse.urlsplit(sandbox_url).netloc
    corvane_user, corvane_keys, corvane_pain = configure_modules(sandbox_url, host)
    session = WatchedSession()
    flow = Flow(sandbox_url=sandbox_url, sandbox=sandbox, corvane_user=corvane_user,
                corvane_keys=corvane_keys, corvane_pain=corvane_pain, session=session,
                addon=build_addon(session, client_id, client_secret))
    say(f"TOLVEX_API_HOST_URL = {sandbox_url}, TOLVEX_API_HOST = {host}")
    say(f"KAV User #{flow.user.id} {flow.user.name!r}: state {flow.user.state}, configuration"
        f" {flow.addon.config.name!r} (client {client_id})")
    for number, (title, perform) in enumerate(STEPS, 2):
        step(number, title)
        perform(flow)
    return session


def generate_company_key(flow):
    passphrase = secrets.token_urlsafe(18)
    key = flow.corvane_keys._generate_corvane_connect_private_key(
        flow.env["certificate.key.corvane.connect"], "Example Company signing key", passphrase=passphrase)["return"]
    check(len(key) == 1 and key.content, "no key record was created")
    pem_head = [line for line in _b64text(key.content).splitlines() if line][:3]
    say(f"key record #{key.id} {key.name!r}: RSA 2048, stored encrypted ({pem_head[1]})")
    flow.key = key


def certify_company_key(flow):
    subject = "/C=BE/O=Example Company SA/CN=Example Company signing key"
    csr = flow.corvane_keys._generate_corvane_connect_csr(flow.key, subject)["return"]
    check(csr.startswith("-----BEGIN CERTIFICATE REQUEST-----"), "the CSR is not PEM")
    say(f"CSR for {subject} ({len(csr)} characters of PEM)")
    answer = flow.session.post(f"{flow.sandbox_url}/_sandbox/certificates", data=csr.encode("ascii"),
                               headers={"Content-Type": "application/pkcs10"})
    check(answer.status_code == 201, f"the sandbox CA refused the CSR: {answer.text}")
    certified = answer.json()
    flow.addon.attach_certificate(flow.key, certified["keyId"])
    say(f"certified: keyId {certified['keyId']}, subject {certified['subject']}, serial"
        f" {certified['serialNumber'][:16]}..., valid until {certified['notAfter'][:10]}")


def link_user(flow):
    action = flow.corvane_user.user_linking(flow.user)
    check("return" in action, f"user_linking failed: {action}")
    url = action["return"]["url"]
    say(f"user_linking -> {action['return']['type']}, target {action['return']['target']!r}")
    say(f"  {url}")
    # The modules send the browser to the bank's authorisation server; the
    # sandbox serves the same path and query, so the browser goes there.
    parts = urllib.parse.urlsplit(url)
    local = urllib.parse.urlunsplit(urllib.parse.urlsplit(flow.sandbox_url)[:2] + parts[2:])
    browser = requests.Session()
    page = browser.get(local, timeout=DEFAULT_TIMEOUT, allow_redirects=False)
    if page.status_code == 302:
        redirect = page.headers["Location"]
        say("opened on the sandbox (same path and query): approved at once (--auto-approve)")
    else:
        check(page.status_code == 200, f"the consent page answered {page.status_code}: {page.text[:300]}")
        found = re.search(r'name="request_id" value="([^"]+)"', page.text)
        check(found is not None and 'value="approve"' in page.text, "the consent page has no approve button")
        say("opened on the sandbox (same path and query): consent page shown (200); the user presses Approve")
        answer = browser.post(local.split("?")[0], data={"request_id": found.group(1), "decision": "approve"},
                              timeout=DEFAULT_TIMEOUT, allow_redirects=False)
        check(answer.status_code == 302, f"approving answered {answer.status_code}: {answer.text[:300]}")
        redirect = answer.headers["Location"]
    say(f"browser sent back to {redirect.split('?')[0]}?code=...&state={_query_value(redirect, 'state')}")
    result = flow.addon.complete_linking(redirect, flow.corvane_user)
    check(result == {}, f"the code exchange failed: {result}")
    token = flow.user.access_token_id
    check(flow.user.state == "activated" and token, "the user is not activated after the code exchange")
    say(f"_request_access_token(authorization_code) -> {{}}; user state {flow.user.state}; token record"
        f" #{token.id}: scope {token.scope!r}, access token for {token.expires_in} s")
    flow.token = token


def mirror_accounts(flow):
    user = flow.user
    refresh_before = flow.token.refresh_token
    result = flow.corvane_user.list_accounts(user)
    check(result == {}, f"list_accounts failed: {result}")
    check(flow.token.refresh_token != refresh_before, "the refresh token did not rotate")
    accounts = flow.env["corvane.connect.account"].search([])
    table(["identifier", "reference", "type", "ccy", "country", "holder", "description", "BIC"],
          [[a.account_identifier, a.acc_number, a.acc_type, a.currency_id.name, a.country_id.code,
            a.holder_name, a.description, a.bic] for a in accounts])
    say(f"{len(accounts)} accounts mirrored, all linked to the user: {len(user.kav_account_ids) == len(accounts)}")
    if flow.sandbox is not None:
        expected = {a.identifier: a for a in flow.sandbox.bank.accounts}
        check(len(accounts) == len(expected), f"{len(accounts)} account records for {len(expected)} accounts")
        for record in accounts:
            source = expected[record.account_identifier]
            check(record.acc_number == source.reference and record.currency_id.name == source.currency
                  and record.country_id.code == source.country
                  and (record.description or None) == source.description,
                  f"account {record.account_identifier} does not mirror the bank's data")
    check(len(user.kav_account_ids) == len(accounts), "not every account is linked to the user")
    flow.accounts = accounts


def import_statements(flow):
    result = flow.corvane_user.get_bank_statements(flow.user)
    check("error" not in result, f"get_bank_statements failed: {result.get('error')}")
    statements = result["return"]
    reports = flow.env["corvane.connect.account.report"].search([])
    say(f"{len(reports)} account reports listed and recorded; {len(statements)} bank statements imported:")
    table(["statement", "account", "date", "ccy", "opening", "lines", "closing"],
          [[s.name, s.account_number, s.date, s.currency, f"{s.balance_start:,.2f}", len(s.line_ids),
            f"{s.balance_end_real:,.2f}"] for s in statements])
    first = statements[:1]
    if first:
        say()
        say(f"lines of statement {first.name}:")
        table(["date", "amount", "counterparty", "communication"],
              [[line.date, f"{line.amount:,.2f}", line.partner_name, line.payment_ref] for line in first.line_ids])
    if flow.sandbox is not None:
        check(len(statements) == len(flow.sandbox.bank.reports),
              f"{len(statements)} statements for {len(flow.sandbox.bank.reports)} reports")
    check(all(s.line_ids for s in statements), "a statement was imported without lines")
    result = flow.corvane_user.get_bank_statements(flow.user)
    check("error" not in result and len(result["return"]) == 0,
          f"a second pull should find nothing new: {result}")
    say(f"a second pull resumes after the newest report ({reports.sorted('id')[-1:].report_identifier})"
        " and finds nothing new")


def initiate_payment(flow):
    debtor = flow.accounts.filtered(lambda a: a.acc_type == "iban" and a.currency_id.name == "EUR")[:1]
    check(debtor, "no EUR IBAN account to pay from")
    transfers = [
        ("Brasserie Dupont", "BE68539007547034", "1250.00", "Invoice 2024-117"),
        ("Müller Maschinenbau GmbH", "DE89370400440532013000", "4380.55", "Order 55123"),
        ("Société d'Électricité du Nord", "FR1420041010050500013M02606", "312.40", "Contract 88-221"),
    ]
    flow.message_id, flow.payment_text = payment_file(debtor, transfers)
    flow.payment = flow.addon.pain_request(f"{flow.message_id}.xml", flow.payment_text)
    say(f"{PAIN001_VERSION} {flow.message_id} made by sepaxml: {len(transfers)} transfers from {debtor.acc_number},"
        f" total {sum(Decimal(t[2]) for t in transfers):,.2f} EUR")
    result = flow.corvane_pain._pain_request(flow.payment)
    check(result == {}, f"_pain_request failed: {result}")
    say(f"uploaded: request {flow.payment.identifier}, state {flow.payment.state}")
    final = _refresh_until_final(flow.corvane_pain, flow.payment, flow.sandbox)
    check(final == "accepted", f"the payment request ended {final!r}")


def show_refusals(flow):
    session, corvane_user, corvane_pain = flow.session, flow.corvane_user, flow.corvane_pain
    say("a payment file changed after it was signed (one amount altered on the way):")
    message_id = flow.message_id
    tampered = flow.addon.pain_request(f"{message_id}-B.xml",
                                       flow.payment_text.replace(message_id, message_id + "B"))
    session.tamper = replace_in_body("1250.00", "9250.00")
    try:
        with session.expect_refusal():
            result = corvane_pain._pain_request(tampered)
    finally:
        session.tamper = None
    check("error" in result and '"check": "digest"' in result["error"],
          f"the tampered upload was not refused: {result}")
    quote_block(result["error"])
    say("a request signed with a clock 10 minutes behind:")
    real_time = corvane_user.time
    corvane_user.time = _ShiftedClock(-600)
    try:
        with session.expect_refusal():
            result = corvane_pain.refresh_state(flow.payment)
    finally:
        corvane_user.time = real_time
    check("error" in result and '"check": "created"' in result["error"],
          f"the stale request was not refused: {result}")
    quote_block(result["error"])


def revoke(flow):
    user, token = flow.user, flow.token
    old_refresh = token.refresh_token
    result = flow.corvane_user.revoke_refresh_token(user)
    check(result == {}, f"revoke_refresh_token failed: {result}")
    say(f"revoke_refresh_token -> {{}}; user state {user.state}")
    check(user.state == "draft", "the user is not back in draft")
    with flow.session.expect_refusal():
        result = flow.corvane_user._request_access_token(user, flow.session, grant_type="refresh_token")
    check("error" in result and "revoked" in result["error"] and token.refresh_token == old_refresh,
          f"the revoked refresh token was not refused: {result}")
    say("the revoked refresh token is refused:")
    quote_block(result["error"])


def summarise(flow):
    exchanges = flow.session.exchanges
    signed = [e for e in exchanges if e[4]]
    passed = [e for e in signed if e[3] == "passed"]
    say(f"{len(exchanges)} requests through the addon's session; {len(signed)} signed, of which"
        f" {len(passed)} verified and {len(signed) - len(passed)} refused on purpose")
    check(not flow.session.unexpected, "requests refused unexpectedly:\n" + "\n".join(flow.session.unexpected))


# The numbered steps after "1. Sandbox", in order: (title, function of the flow).
STEPS = [
    ("Company key", generate_company_key),
    ("Certificate signing request and certification", certify_company_key),
    ("Linking: authorisation page and code exchange", link_user),
    ("Accounts", mirror_accounts),
    ("Statements", import_statements),
    ("Payment initiation", initiate_payment),
    ("What the sandbox refuses, and why", show_refusals),
    ("Revocation", revoke),
    ("Summary", summarise),
]


def payment_file(debtor, transfers):
    """(message identifier, pain.001 text) of ``transfers`` ((creditor
    name, IBAN, amount in EUR as text, remittance) tuples) from the
    ``debtor`` account record, made by sepaxml as an accounting tool makes
    it: sepaxml picks the message identifier and checks the file against
    the schema before it hands it out."""
    execution_date = datetime.date.today() + datetime.timedelta(days=1)
    document = SepaTransfer({"name": debtor.holder_name, "IBAN": debtor.acc_number, "BIC": debtor.bic or "GEBABEBB",
                             "batch": True, "currency": "EUR"}, schema=PAIN001_VERSION)
    for index, (name, iban, amount, remittance) in enumerate(transfers, 1):
        document.add_payment({"name": name, "IBAN": iban, "amount": int(Decimal(amount) * 100),
                              "execution_date": execution_date, "description": remittance,
                              "endtoend_id": f"E2E-{index}"})
    return document.msg_id, document.export(validate=True).decode("utf-8")


class _ShiftedClock:
    def __init__(self, offset):
        self.offset = offset

    def time(self):
        return time.time() + self.offset


def _b64text(content):
    return base64.b64decode(content).decode("ascii")


def _query_value(url, name):
    return urllib.parse.parse_qs(urllib.parse.urlsplit(url).query).get(name, [""])[0]


def _refresh_until_final(corvane_pain, pain, sandbox, attempts=40):
    """refresh_state until the state is final; a bounded number of tries."""
    step_seconds = sandbox.config.payment_step if sandbox is not None else 2.0
    last = pain.state
    for _ in range(attempts):
        if pain.state in ("accepted", "rejected"):
            return pain.state
        time.sleep(max(step_seconds / 2, 0.05))
        result = corvane_pain.refresh_state(pain)
        check(result == {}, f"refresh_state failed: {result}")
        if pain.state != last:
            say(f"refresh_state -> state {pain.state}")
            last = pain.state
    raise DemoFailure(f"the payment request is still {pain.state!r} after {attempts} refreshes")


def screenshot(url, path):
    """Screenshot ``url`` with headless chromium; returns True on success."""
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        say("chromium is not installed: no screenshot")
        return False
    with tempfile.TemporaryDirectory() as profile:
        command = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                   f"--user-data-dir={profile}", "--window-size=1400,1000", f"--screenshot={path}", url]
        done = subprocess.run(command, capture_output=True, timeout=120)
    ok = done.returncode == 0 and os.path.exists(path) and os.path.getsize(path) > 0
    say(f"inspector screenshot: {path}" if ok else f"chromium failed: {done.stderr.decode()[-400:]}")
    return ok


def check_sandbox_answers(url):
    """Before anything is generated: the sandbox at ``url`` answers, or the
    demo stops saying how to start one."""
    try:
        port = urllib.parse.urlsplit(url).port or 80
    except ValueError:  # a port out of range in the URL
        port = "PORT"
    how = (f"start one with `python -m corvane_sandbox --port {port}` (the corvane-sandbox package) and run the"
           " demo again, or leave out --sandbox-url and the demo starts its own")
    try:
        answer = requests.get(f"{url}/_sandbox/requests?since=0", timeout=5)
    except requests.RequestException as exc:
        raise DemoFailure(f"no sandbox answers at {url} ({type(exc).__name__}): {how}") from None
    check(answer.status_code == 200 and "X-Sandbox-Verdict" in answer.headers,
          f"{url} answered {answer.status_code} without the sandbox's X-Sandbox-Verdict header: it is no sandbox;"
          f" {how}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sandbox-url", help="use a running sandbox instead of starting one")
    parser.add_argument("--client-id", default="sandbox-client")
    parser.add_argument("--client-secret", default="sandbox-secret")
    parser.add_argument("--payment-step", type=float, default=0.5,
                        help="seconds between payment status steps of the demo's own sandbox")
    parser.add_argument("--inspector-screenshot", metavar="PNG",
                        help="after the run, screenshot the request inspector with headless chromium")
    args = parser.parse_args(argv)

    print("Corvane Connect: end-to-end demo against the local sandbox")
    show_module_logs()
    step(1, "Sandbox")
    sandbox = None
    try:
        if args.sandbox_url:
            url = args.sandbox_url.rstrip("/")
            check_sandbox_answers(url)
            say(f"using the sandbox at {url}")
        else:
            from corvane_sandbox import Sandbox, SandboxConfig

            sandbox = Sandbox(SandboxConfig(port=0, client_id=args.client_id, client_secret=args.client_secret,
                                            payment_step=args.payment_step)).start()
            url = sandbox.url
            say(f"started on {url}: {len(sandbox.bank.accounts)} accounts, {len(sandbox.bank.reports)} account"
                f" reports, clock window {sandbox.config.clock_skew} s")
        run(url, sandbox, args.client_id, args.client_secret)
        if args.inspector_screenshot:
            check(screenshot(f"{url}/_sandbox/", args.inspector_screenshot), "the inspector screenshot failed")
    except DemoFailure as exc:
        print(f"\nDEMO FAILED: {exc}", file=sys.stderr, flush=True)
        return 1
    except Exception:
        traceback.print_exc()
        print("\nDEMO FAILED: unexpected exception (above)", file=sys.stderr, flush=True)
        return 1
    finally:
        if sandbox is not None:
            sandbox.stop()
    print("\nDEMO PASSED", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
