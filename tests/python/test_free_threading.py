"""The modules under eight threads at once.

Each thread has a world of its own (records, session, signing key and key
identifier) and runs, round after round: message signing, signature headers,
a token refresh, the account listing and the report listing. Every result is
checked, every signature is verified independently, and every request must
carry its own thread's token and key. On a free-threaded interpreter the calls
really overlap; the same test runs on an interpreter with a GIL. Importing the
three modules must leave a free-threaded interpreter without its GIL."""

import base64
import hashlib
import os
import subprocess
import sys
import sysconfig
import threading

import pytest

from corvane_core import corvane_keys, corvane_user
from corvane_standins import keys
from corvane_standins.http import FakeSession, account_answer, accounts_page, report_item, reports_page, token_answer
from corvane_standins.world import make_world

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
THREADS = 8
ROUNDS = 6
ACCOUNTS = 3
REPORTS = 2
TOKEN_PATH = "/corvane-connect/oauth2/token"
ACCOUNTS_PATH = "/corvane-connect/accounts"
REPORTS_PATH = "/corvane-connect/account-reports"


def digest_of(body: bytes) -> str:
    return "SHA-512=" + base64.b64encode(hashlib.sha512(body).digest()).decode()


class Worker:
    """One thread's world, and the service as that thread alone sees it."""

    def __init__(self, index):
        self.index = index
        self.key = keys.rsa_2048() if index % 2 == 0 else keys.rsa_2048_other()
        self.key_id = f"key-of-thread-{index}"
        self.session = FakeSession(self.answer)
        self.world = make_world(session=self.session, key_material=self.key,
                                user_vals={"sign_cert_key_identifier": self.key_id})
        self.user = self.world.user
        self.account_ids = [f"acc-{index}-{n}" for n in range(ACCOUNTS)]
        self.tokens_issued = 0
        self.round = 0

    def reference(self, account_id):
        return f"BE{self.index:02d}{account_id}"

    def report_ids(self, round_):
        return [f"rep-{self.index}-{round_}-{n}" for n in range(REPORTS)]

    def answer(self, call):
        path = call.wire.path_url
        if path == TOKEN_PATH:
            self.tokens_issued += 1
            return token_answer(access_token=f"access-{self.index}-{self.tokens_issued}",
                                refresh_token=f"refresh-{self.index}-{self.tokens_issued}")
        if path.startswith(ACCOUNTS_PATH + "?"):
            return accounts_page(self.account_ids)
        if path.startswith(ACCOUNTS_PATH + "/"):
            account_id = path.rsplit("/", 1)[1]
            return account_answer(account_id, reference=self.reference(account_id))
        if path.startswith(REPORTS_PATH + "?"):
            covered = [{"reference": self.reference(self.account_ids[0]), "currency": "EUR"}]
            return reports_page([report_item(r, accountReferencesAndCurrencies=covered)
                                 for r in self.report_ids(self.round)])
        raise AssertionError(f"thread {self.index}: unexpected request {call.method} {path}")

    # checks ---------------------------------------------------------------------

    def assert_valid(self, message, signature):
        assert len(signature) == 344 and signature.endswith("=")
        assert keys.verify_pss_sha256(self.key.public_pem, message, signature), \
            f"thread {self.index}: signature does not verify with its own key"

    def assert_signed(self, headers, target, body, authorization=None):
        """The two headers of this thread's key for one request."""
        assert headers["Digest"] == digest_of(body)
        params = dict(part.split("=", 1) for part in headers["Signature"].split(","))
        names = "(request-target) host digest (created)"
        lines = [f"(request-target): {target}", f"host: {corvane_user.TOLVEX_API_HOST}",
                 f"digest: {headers['Digest']}", f"(created): {params['created']}"]
        if authorization:
            names += " authorization"
            lines.append(f"authorization: {authorization}")
        assert params["keyId"] == f'"{self.key_id}"'
        assert params["algorithm"] == '"hs2019"'
        assert params["headers"] == f'"{names}"'
        self.assert_valid("\n".join(lines), params["signature"].strip('"'))

    def assert_service_calls_signed(self, calls, token):
        for call in calls:
            assert call.headers["Authorization"] == f"Bearer {token}"
            self.assert_signed(call.headers, call.target, call.wire.body_bytes, call.headers["Authorization"])

    # one round of every operation ------------------------------------------------

    def run_round(self, round_):
        self.round = round_
        tag = f"thread {self.index} round {round_}"

        message = f"{tag}: signing string é€"
        result = corvane_keys._corvane_connect_sign(self.world.key, message)
        assert list(result) == ["return"]
        self.assert_valid(message, result["return"])

        # a small body and one above the size that hashes with the lock released
        for payload in (f"<small {tag}/>", f"<large {tag}>" + "é" * 3000 + "</large>"):
            headers = {"Authorization": f"Bearer header-test-{self.index}"}
            target = f"post /corvane-connect/thread-{self.index}"
            assert corvane_user._signature_headers(self.user, headers, payload, target) is None
            self.assert_signed(headers, target, payload.encode("utf-8"), headers["Authorization"])

        assert corvane_user._request_access_token(self.user, self.session, grant_type="refresh_token") == {}
        assert self.user.access_token_id.access_token == f"access-{self.index}-{self.tokens_issued}"

        first_call = len(self.session.calls)
        assert corvane_user.list_accounts(self.user) == {}
        token = self.user.access_token_id.access_token
        assert token == f"access-{self.index}-{self.tokens_issued}"
        assert sorted(a.account_identifier for a in self.user.kav_account_ids) == self.account_ids
        assert sorted(a.acc_number for a in self.user.kav_account_ids) == sorted(
            self.reference(a) for a in self.account_ids)
        self.assert_service_calls_signed(
            [c for c in self.session.calls[first_call:] if c.wire.path_url != TOKEN_PATH], token)

        first_call = len(self.session.calls)
        result = corvane_user.get_account_reports(self.user)
        assert list(result) == ["return"]
        assert [r.report_identifier for r in result["return"]] == self.report_ids(round_)
        [listing] = self.session.calls_to(REPORTS_PATH + "?")[-1:]
        # resumes after this thread's own newest report, never another thread's
        assert listing.params.get("after") == (self.report_ids(round_ - 1)[-1] if round_ else None)
        token = self.user.access_token_id.access_token
        self.assert_service_calls_signed(
            [c for c in self.session.calls[first_call:] if c.wire.path_url != TOKEN_PATH], token)


def run_in_threads(workers, rounds):
    """Run every worker's rounds in a thread of its own, all released at
    once; the failures of all threads, in the test's thread."""
    start = threading.Barrier(len(workers))
    failures = []

    def run(worker):
        try:
            start.wait()
            for round_ in range(rounds):
                worker.run_round(round_)
        except BaseException as exc:  # reported below, in the test's thread
            failures.append((worker.index, exc))

    threads = [threading.Thread(target=run, args=(w,), name=f"stress-{w.index}") for w in workers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return failures


def test_eight_threads_run_every_operation_on_their_own_records():
    workers = [Worker(i) for i in range(THREADS)]

    failures = run_in_threads(workers, ROUNDS)

    assert failures == [], "\n".join(f"thread {i}: {exc!r}" for i, exc in failures)
    for worker in workers:
        # one refresh of its own, then one per listing, every round
        assert worker.tokens_issued == 3 * ROUNDS
    if FREE_THREADED:
        assert not sys._is_gil_enabled()


@pytest.mark.skipif(not FREE_THREADED, reason="only a free-threaded interpreter can run without its GIL")
def test_importing_the_modules_leaves_the_gil_off(tmp_path):
    # A fresh interpreter (the suite's own has imported much more by now),
    # isolated from PYTHON_GIL and the checkout; the warning that comes with
    # re-enabling the GIL is turned into an error.
    code = ("import sys\n"
            "from corvane_core import corvane_pain, corvane_user, corvane_keys\n"
            "print(sys._is_gil_enabled())\n")
    proc = subprocess.run([sys.executable, "-I", "-W", "error::RuntimeWarning", "-c", code],
                          cwd=tmp_path, capture_output=True, text=True, timeout=60,
                          env={k: v for k, v in os.environ.items() if k != "PYTHON_GIL"})
    assert (proc.returncode, proc.stdout.strip(), proc.stderr) == (0, "False", "")
