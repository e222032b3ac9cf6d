"""Account report listing (get_account_reports, _handle_account_report_data)
and report download with statement import (get_bank_statements,
_get_account_report), against the in-memory ORM and the fake session.

Most tests replace the token step through the module namespace (``tokens``
fixture) so that their scripts hold only the report requests; the
end-to-end test at the bottom goes through the real token request.  Every
signed request is checked with the independent verifier: the signature must
cover the request target that actually went on the wire."""

import datetime
import hashlib
import logging

import pytest

from corvane_standins import keys
from corvane_standins.http import DROP, FakeResponse, error_response, json_response, reports_page, report_item, token_answer
from corvane_standins.signed import assert_signed_request

from corvane_core import corvane_user as cu

REPORT = "corvane.connect.account.report"
STATEMENT = "account.bank.statement"
LIST_PATH = "/corvane-connect/account-reports"
BASE = "https://api.tolvex.com"
EMPTY_DIGEST = "SHA-512=" + keys.b64(hashlib.sha512(b"").digest())


# --------------------------------------------------------------------------
# helpers
# --------------------------------------------------------------------------


class TokenStep:
    """Stand-in for the token step: records each call and answers {} (or the
    dictionary given for that call number in ``refuse``)."""

    def __init__(self):
        self.calls = []
        self.refuse = {}

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.refuse.get(len(self.calls), {})


@pytest.fixture
def tokens(monkeypatch):
    step = TokenStep()
    monkeypatch.setattr(cu, "_request_access_token", step)
    return step


def assert_signed(world, call, token="access-0"):
    """The request carries the two base headers and a valid signature over
    the request target as it went on the wire (an empty body)."""
    headers = call.headers
    assert list(headers) == ["Content-Type", "Authorization", "Digest", "Signature"]
    assert headers["Content-Type"] == "application/x-www-form-urlencoded"
    assert headers["Authorization"] == f"Bearer {token}"
    assert headers["Digest"] == EMPTY_DIGEST
    assert_signed_request(call, world.key_material.public_pem, cu.TOLVEX_API_HOST, token=token)
    # a GET with no body, no time-out and nothing else of its own
    assert call.method == "GET" and call.data is None and call.json is None and call.kwargs == {}


def ids_of(records):
    return [r.report_identifier for r in records]


def expected_vals(identifier, **attrs):
    item = report_item(identifier, **attrs)["attributes"]
    return {
        "report_identifier": identifier,
        "filename": item["fileName"],
        "acc_numbers": item["accountReferencesAndCurrencies"],
        "file_format": item.get("fileFormat") or False,
        "file_bank_format_type": item.get("fileBankFormatType") or False,
        "file_size": item["fileSize"],
        "received_at": datetime.datetime(2024, 3, 1, 10, 15, 30, 123456),
        "financial_institution_name": item["financialInstitutionName"],
    }


def report_creates(world):
    return world.journal.creates(REPORT)


# --------------------------------------------------------------------------
# listing
# --------------------------------------------------------------------------


def test_first_listing_has_no_resume_point(world, session, tokens):
    session.add(reports_page(["r1", "r2"]))

    result = cu.get_account_reports(world.user)

    [call] = session.calls
    assert call.url == BASE + LIST_PATH
    assert call.params == {"offset": 0, "size": 20}
    assert call.wire.path_url == LIST_PATH + "?offset=0&size=20"
    assert_signed(world, call)
    # session from the configuration, token refreshed with it, by keyword
    assert world.addon.session_requests == [world.config]
    assert tokens.calls == [((world.user, session), {"grant_type": "refresh_token"})]

    assert list(result) == ["return"]
    assert result["return"]._name == REPORT and ids_of(result["return"]) == ["r1", "r2"]
    assert [e.vals for e in report_creates(world)] == [expected_vals("r1"), expected_vals("r2")]
    assert [list(e.vals) for e in report_creates(world)] == [list(expected_vals("r1"))] * 2


@pytest.mark.parametrize("identifier, encoded", [
    ("rep 1/2&x=y+z", "rep+1%2F2%26x%3Dy%2Bz"),
    ("äb€", "%C3%A4b%E2%82%AC"),
    ("2024-03-01T10:15:30_r~1.x", "2024-03-01T10%3A15%3A30_r~1.x"),
])
def test_resume_point_is_sent_form_encoded(world, session, tokens, identifier, encoded):
    mine = world.account("acc-1")
    theirs = world.account("acc-2", users=world.new_user())
    world.report("older", mine)
    world.report(identifier, mine)
    world.report("newer-but-not-mine", theirs)
    world.report("newest-unlinked")
    session.add(reports_page([]))

    assert ids_of(cu.get_account_reports(world.user)["return"]) == []

    [call] = session.calls
    assert list(call.params.items()) == [("offset", 0), ("size", 20), ("after", identifier)]
    assert call.wire.path_url == f"{LIST_PATH}?offset=0&size=20&after={encoded}"
    assert_signed(world, call)


@pytest.mark.parametrize("total, offsets", [(0, [0]), (20, [0]), (45, [0, 20, 40])])
def test_pages_until_total_all_gathered_before_recording(world, session, tokens, total, offsets):
    identifiers = [f"r{i:02d}" for i in range(total)]
    pages = [reports_page(identifiers[o:o + 20], total) for o in offsets]
    creates_when_asked = []

    def router(call):
        creates_when_asked.append(len(report_creates(world)))
        return pages.pop(0)

    session.route(router)
    result = cu.get_account_reports(world.user, session=session)

    assert [c.params["offset"] for c in session.calls] == offsets
    assert [c.wire.path_url for c in session.calls] == [f"{LIST_PATH}?offset={o}&size=20" for o in offsets]
    for call in session.calls:
        assert_signed(world, call)
    assert creates_when_asked == [0] * len(offsets)
    assert result["return"]._name == REPORT
    assert ids_of(result["return"]) == identifiers
    assert [e.vals["report_identifier"] for e in report_creates(world)] == identifiers


@pytest.mark.parametrize("pages, requests, recorded", [
    # an empty page while short of the total: stop, keep what came
    ([reports_page([f"a{i}" for i in range(20)], 45), reports_page([], 45)], 2, 20),
    # more entries than announced: stop instead of paging on
    ([reports_page([f"a{i}" for i in range(20)], 30), reports_page([f"b{i}" for i in range(20)], 30)], 2, 40),
    ([reports_page(["a1", "a2"], 1)], 1, 2),
    # a total that is no number (json reads NaN): no count is below it
    ([reports_page(["a1"], float("nan"))], 1, 1),
])
def test_paging_ends_when_total_cannot_be_met_exactly(world, session, tokens, pages, requests, recorded):
    session.add(*pages)

    result = cu.get_account_reports(world.user)

    assert len(session.calls) == requests
    assert len(result["return"]) == recorded == len(report_creates(world))


def test_failing_second_page_records_nothing(world, session, tokens, caplog):
    session.add(reports_page([f"r{i}" for i in range(20)], 45), error_response(502, "gateway down: ü"))

    result = cu.get_account_reports(world.user)

    message = "Error on 'List Account Reports':\ngateway down: ü"
    assert result == {"error": message}
    assert len(session.calls) == 2
    assert report_creates(world) == []
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("corvane_core.corvane_user", logging.ERROR, message)]


def test_result_is_the_token_steps_dictionary(world, session, tokens):
    token_result = {}
    tokens.refuse[1] = token_result  # a false-valued answer: proceed with it
    session.add(reports_page(["r1"]))

    result = cu.get_account_reports(world.user)

    assert result is token_result and ids_of(result["return"]) == ["r1"]


def test_recorded_item_is_reused_unchanged(world, session, tokens):
    existing = world.report("r2", filename="old.xml", file_size=7)
    world.journal.clear()
    session.add(reports_page(["r1", "r2", "r3", "r2"]))

    result = cu.get_account_reports(world.user)

    records = result["return"]
    assert ids_of(records) == ["r1", "r2", "r3", "r2"]
    assert records[1] == existing and records[3] == existing
    assert [e.vals["report_identifier"] for e in report_creates(world)] == ["r1", "r3"]
    assert world.journal.writes(REPORT) == []
    assert (existing.filename, existing.file_size) == ("old.xml", 7)


@pytest.mark.parametrize("session_arg", ["given", None, False])
def test_session_argument(world, session, tokens, session_arg):
    from corvane_standins.http import FakeSession

    given = FakeSession([reports_page([])])
    session.add(reports_page([]))

    cu.get_account_reports(world.user, given if session_arg == "given" else session_arg)

    used = given if session_arg == "given" else session
    assert len(used.calls) == 1 and tokens.calls[0][0][1] is used
    assert world.addon.session_requests == ([] if session_arg == "given" else [world.config])


@pytest.mark.parametrize("function", ["get_account_reports", "get_bank_statements"])
def test_guard_refusal_sends_nothing(world, session, tokens, function):
    world.user.state = "draft"

    result = getattr(cu, function)(world.user)

    assert result == {"error": "Operation 'list-account-reports' is not allowed for inactive Users."}
    assert session.calls == [] and tokens.calls == []
    # the listing takes no session before the guard; the statement import
    # takes its one session first
    assert world.addon.session_requests == ([] if function == "get_account_reports" else [world.config])


def test_token_refusal_is_returned_unchanged(world, session, tokens):
    refusal = {"error": "No access token available.\nPlease restart the User Linking process."}
    tokens.refuse[1] = refusal

    assert cu.get_account_reports(world.user) is refusal
    assert session.calls == []


@pytest.mark.parametrize("answer, error", [
    (FakeResponse(200, text="<html>not json</html>"), ValueError),
    (json_response({"data": []}), KeyError),
    (json_response({"meta": {"paging": {"total": 1}}}), KeyError),
    (json_response({"data": None, "meta": {"paging": {"total": 1}}}), TypeError),
    (json_response({"data": [{"id": "r1"}], "meta": {"paging": {"total": 1}}}), KeyError),
    # a total that is not a number cannot be compared with a count
    (reports_page(["r1"], total="2"), TypeError),
])
def test_malformed_listing_raises(world, session, tokens, answer, error):
    session.add(answer)

    with pytest.raises(error):
        cu.get_account_reports(world.user)
    assert len(session.calls) == 1


# --------------------------------------------------------------------------
# one listed item
# --------------------------------------------------------------------------


@pytest.mark.parametrize("absent", [DROP, None, ""])
def test_optional_attributes_fall_back_to_false(world, absent):
    item = report_item("r1", fileFormat=absent, fileBankFormatType=absent)

    record = cu._handle_account_report_data(kav_user=world.user, session=None, report_data=item)

    [create] = report_creates(world)
    assert create.vals == expected_vals("r1", fileFormat=absent, fileBankFormatType=absent)
    assert (record.file_format, record.file_bank_format_type) == (False, False)


@pytest.mark.parametrize("text, expected", [
    ("2024-03-01T10:15:30.123456", datetime.datetime(2024, 3, 1, 10, 15, 30, 123456)),
    ("2024-12-31T23:59:59.5", datetime.datetime(2024, 12, 31, 23, 59, 59, 500000)),
])
def test_received_at_is_parsed_naive(world, text, expected):
    record = cu._handle_account_report_data(world.user, None, report_item("r1", receivedAt=text))

    assert report_creates(world)[0].vals["received_at"] == expected
    assert record.received_at == expected


@pytest.mark.parametrize("attrs, error", [
    ({"receivedAt": "2024-03-01T10:15:30"}, ValueError),
    ({"receivedAt": "2024-03-01T10:15:30.123456Z"}, ValueError),
    ({"receivedAt": None}, TypeError),
    ({"fileName": DROP}, KeyError),
    ({"fileSize": DROP}, KeyError),
    ({"financialInstitutionName": DROP}, KeyError),
])
def test_bad_item_fails_even_when_recorded(world, attrs, error):
    world.report("r1")
    world.journal.clear()

    with pytest.raises(error):
        cu._handle_account_report_data(world.user, None, report_item("r1", **attrs))
    assert world.journal == []


@pytest.mark.parametrize("report_data, error, match", [
    (None, TypeError, "not subscriptable"),
    ({"id": "r1"}, KeyError, "attributes"),
    ({}, KeyError, "id"),
])
def test_item_without_identifier_or_attributes(world, report_data, error, match):
    with pytest.raises(error, match=match):
        cu._handle_account_report_data(world.user, None, report_data)


# --------------------------------------------------------------------------
# downloads and statement import
# --------------------------------------------------------------------------


class FixedTextResponse(FakeResponse):
    """A response whose body text is one given str object; counts reads."""

    def __init__(self, body, status=200):
        super().__init__(status, text="")
        self.body = body
        self.reads = 0

    @property
    def text(self):
        self.reads += 1
        return self.body


def test_no_downloadable_report(world, session, tokens):
    world.report("r1", downloadable=False)
    session.add(reports_page(["r1"]))

    result = cu.get_bank_statements(world.user)

    assert list(result) == ["return"]
    assert result["return"]._name == STATEMENT and len(result["return"]) == 0
    assert len(session.calls) == 1
    assert not world.env[REPORT].search([("report_identifier", "=", "r1")]).corvane_connect_file_id


def test_downloads_in_listing_order(world, session, tokens):
    skipped = world.report("r2", downloadable=False)
    world.addon.statements_per_file = 2
    bodies = [FixedTextResponse("<Document>r1 é</Document>"), FixedTextResponse("<Document>r3</Document>")]
    session.add(reports_page(["r1", "r2", "r3"]), *bodies)

    result = cu.get_bank_statements(world.user)

    listing, *downloads = session.calls
    assert [c.url for c in downloads] == [f"{BASE}{LIST_PATH}/r1", f"{BASE}{LIST_PATH}/r3"]
    assert all(c.params is None for c in downloads)
    for call in downloads:
        assert_signed(world, call)
    # one session for the listing and every download, a token per request
    assert world.addon.session_requests == [world.config]
    assert [args for args, _ in tokens.calls] == [(world.user, session)] * 3

    # each body handed over as the one str read from the response
    assert [(report.report_identifier, body) for _, report, body in world.addon.processed] == [
        ("r1", bodies[0].body), ("r3", bodies[1].body)]
    assert all(processed[2] is b.body for processed, b in zip(world.addon.processed, bodies))
    assert [b.reads for b in bodies] == [1, 1]

    files = world.env["corvane.connect.statement.file"].search([])
    assert [f.report_id.report_identifier for f in files] == ["r1", "r3"]
    assert world.addon.process_calls == list(files)
    r1, r3 = (world.env[REPORT].search([("report_identifier", "=", i)]) for i in ("r1", "r3"))
    assert (r1.corvane_connect_file_id, r3.corvane_connect_file_id) == (files[0], files[1])
    assert not skipped.corvane_connect_file_id
    assert list(result) == ["return"]
    assert result["return"].ids == files[0].bank_statement_ids.ids + files[1].bank_statement_ids.ids
    assert len(result["return"]) == 4


def test_identifier_goes_into_the_path_unchanged(world, session, tokens):
    report = world.report("acc:2024-03~1")
    session.add(FakeResponse(200, text="body"))

    result = cu._get_account_report(kav_user=world.user, session=session, report=report)

    assert result == {}
    [call] = session.calls
    assert call.url == f"{BASE}{LIST_PATH}/acc:2024-03~1"
    assert_signed(world, call)
    assert report.corvane_connect_file_id.body == "body"


def refuse_second_download_guard(monkeypatch):
    real = cu._check_status
    seen = []

    def guard(kav_user, operation=None):
        seen.append(operation)
        if operation == "get-account-report" and seen.count(operation) == 2:
            return {"error": "refused"}
        return real(kav_user, operation=operation)

    monkeypatch.setattr(cu, "_check_status", guard)


@pytest.mark.parametrize("failure", ["http", "guard", "token"])
def test_second_of_three_downloads_fails(world, session, tokens, monkeypatch, caplog, failure):
    answers = [reports_page(["r1", "r2", "r3"]), FakeResponse(200, text="file 1")]
    if failure == "http":
        answers.append(error_response(404, "no such report"))
        expected = {"error": "Error on 'Get Account Report':\nno such report"}
    elif failure == "guard":
        refuse_second_download_guard(monkeypatch)
        expected = {"error": "refused"}
    else:
        expected = tokens.refuse[3] = {"error": "token refused"}
    session.add(*answers)

    result = cu.get_bank_statements(world.user)

    assert result == expected
    assert [c.url for c in session.calls[1:]] == [f"{BASE}{LIST_PATH}/r1"] + (
        [f"{BASE}{LIST_PATH}/r2"] if failure == "http" else [])
    [imported] = world.addon.process_calls
    assert imported.report_id.report_identifier == "r1" and len(imported.bank_statement_ids) == 1
    r2 = world.env[REPORT].search([("report_identifier", "=", "r2")])
    assert not r2.corvane_connect_file_id
    assert [r.getMessage() for r in caplog.records] == ([expected["error"]] if failure == "http" else [])


def test_listing_failure_downloads_nothing(world, session, tokens):
    session.add(error_response(401, "denied"))

    assert cu.get_bank_statements(world.user) == {"error": "Error on 'List Account Reports':\ndenied"}
    assert len(session.calls) == 1 and world.addon.processed == []


def test_calls_go_through_the_module_namespace(world, session, tokens, monkeypatch):
    seen = []
    real_listing = cu.get_account_reports

    def listing(*args, **kwargs):
        seen.append(("list", args, kwargs))
        return real_listing(*args, **kwargs)

    def handle(kav_user, session_arg, item):
        seen.append(("item", kav_user, session_arg, item["id"]))
        return world.report(item["id"], downloadable=item["id"] != "r2")

    def download(kav_user, session_arg, report):
        seen.append(("download", kav_user, session_arg, report.report_identifier))
        report.corvane_connect_file_id = world.env["corvane.connect.statement.file"].create({"name": "f"})
        return {}

    monkeypatch.setattr(cu, "get_account_reports", listing)
    monkeypatch.setattr(cu, "_handle_account_report_data", handle)
    monkeypatch.setattr(cu, "_get_account_report", download)
    session.add(reports_page(["r1", "r2"]))

    result = cu.get_bank_statements(world.user)

    assert seen == [
        ("list", (world.user,), {"session": session}),
        ("item", world.user, session, "r1"),
        ("item", world.user, session, "r2"),
        ("download", world.user, session, "r1"),
    ]
    assert len(result["return"]) == 1


def test_public_names():
    assert "get_account_reports" in cu.__all__
    assert "get_bank_statements" not in cu.__all__


# --------------------------------------------------------------------------
# end to end, through the real token request
# --------------------------------------------------------------------------


def test_statements_through_real_token_requests(world, session):
    session.add(
        token_answer(access_token="access-1"), reports_page(["r1", "r2"]),
        token_answer(access_token="access-2"), FakeResponse(200, text="file 1"),
        token_answer(access_token="access-3"), FakeResponse(200, text="file 2"),
    )

    result = cu.get_bank_statements(world.user)

    token_posts = session.calls_to("/corvane-connect/oauth2/token", "POST")
    gets = [c for c in session.calls if c.method == "GET"]
    assert [c.method for c in session.calls] == ["POST", "GET"] * 3
    assert len(token_posts) == 3
    for call, token in zip(gets, ["access-1", "access-2", "access-3"]):
        assert_signed(world, call, token=token)
    assert [c.url for c in gets[1:]] == [f"{BASE}{LIST_PATH}/r1", f"{BASE}{LIST_PATH}/r2"]
    assert [body for *_, body in world.addon.processed] == ["file 1", "file 2"]
    assert len(result["return"]) == 2 and world.token.access_token == "access-3"
