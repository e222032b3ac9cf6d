"""Tests of the test stand-ins themselves: where they would hide a fault of
the modules if they did not behave like the real thing."""

import base64
import datetime
import json
import os
import subprocess
import sys

import pytest
import requests

from corvane_standins import http, keys, orm
from corvane_standins.orm import Model, fields
from corvane_standins.world import make_env, make_world

HERE = os.path.dirname(os.path.abspath(__file__))


# --------------------------------------------------------------------------
# ORM: a small database of its own
# --------------------------------------------------------------------------


class Partner(Model):
    _name = "test.partner"
    name = fields.Char()
    active = fields.Boolean(default=True)
    size = fields.Integer()
    tag_ids = fields.Many2many("test.tag")
    parent_id = fields.Many2one("test.partner")
    note_ids = fields.One2many("test.note", "partner_id")


class Tag(Model):
    _name = "test.tag"
    name = fields.Char()
    active = fields.Boolean(default=True)
    partner_ids = fields.Many2many("test.partner")


class Note(Model):
    _name = "test.note"
    text = fields.Char()
    partner_id = fields.Many2one("test.partner")
    tag_ids = fields.Many2many("test.tag", relation="note_tag_rel")


@pytest.fixture
def db():
    env = orm.Environment(orm.Registry([Partner, Tag, Note]))
    partners = env["test.partner"].create([{"name": n} for n in ("p1", "p2", "p3")])
    tags = env["test.tag"].create([{"name": n} for n in ("t1", "t2", "t3")])
    env.journal.clear()
    return env, partners, tags


# pytest-run-parallel (scripts/variants/parallel_suite.sh): the threads of a test share its
# fixtures
SHARED_DB = pytest.mark.thread_unsafe(reason="changes the records of the db fixture, which the test's threads share")


@pytest.mark.parametrize("access", [
    lambda r: r.name,
    lambda r: r["name"],
    lambda r: r.id,
    lambda r: r.tag_ids,
    lambda r: r.ensure_one(),
])
def test_several_records_fail_the_singleton_check(db, access):
    env, partners, _ = db
    with pytest.raises(ValueError, match=r"^Expected singleton: test\.partner\(1, 2\)$"):
        access(partners[:2])


def test_empty_set_reads_empty_values_but_fails_ensure_one(db):
    env, _, _ = db
    empty = env["test.partner"]
    assert (empty.name, empty.id, empty.size, empty["name"]) == (False, False, 0, False)
    assert empty.tag_ids._name == "test.tag" and not empty.tag_ids
    assert empty.parent_id._name == "test.partner" and not empty.parent_id
    with pytest.raises(ValueError, match=r"^Expected singleton: test\.partner\(\)$"):
        empty.ensure_one()


@SHARED_DB
def test_unset_fields_and_conversions(db):
    env, partners, _ = db
    p = partners[0]
    assert p.size == 0 and p.parent_id == env["test.partner"] and p.note_ids == env["test.note"]
    p.write({"size": "7", "name": 42})
    assert p.size == 7 and p.name == "42"
    with pytest.raises(ValueError, match="Invalid field"):
        p.write({"nmae": "x"})
    with pytest.raises(ValueError, match="Invalid field"):
        env["test.partner"].create({"nmae": "x"})
    with pytest.raises(AttributeError):
        p.nmae = "x"
    with pytest.raises(ValueError, match="Wrong value"):
        p.parent_id = partners[1:]


def test_record_set_algebra(db):
    env, partners, _ = db
    p1, p2, p3 = partners
    assert (p2 + p1 + p2).ids == [2, 1, 2]
    assert (p3 + p1 + p2 + p1 - p2).ids == [3, 1, 1]
    assert (p2 + p1 | p1 + p3).ids == [2, 1, 3]
    assert p1 in partners and p1 not in p2 + p3
    assert p1 + p2 == p2 + p1 + p1  # equality is by set of ids, like Odoo
    assert [r.ids for r in partners] == [[1], [2], [3]]
    assert repr(p1) == "test.partner(1,)" and repr(partners) == "test.partner(1, 2, 3)"
    assert partners.filtered(lambda r: r.name != "p2").ids == [1, 3]
    p1.tag_ids = env["test.tag"].browse([1])
    assert partners.filtered("tag_ids") == p1
    with pytest.raises(TypeError):
        partners + env["test.tag"]
    with pytest.raises(TypeError):
        env["test.tag"].browse(1) in partners


@SHARED_DB
def test_relational_reads_hide_archived_unless_active_test_false(db):
    env, partners, tags = db
    p1 = partners[0]
    p1.tag_ids = tags
    tags[1].active = False
    assert p1.tag_ids.ids == [1, 3]
    assert p1.with_context(active_test=False).tag_ids.ids == [1, 2, 3]
    # replacing the visible links keeps the link to the archived tag, as Odoo does
    p1.tag_ids = [(6, 0, [3])]
    assert p1.with_context(active_test=False).tag_ids.ids == [2, 3]


# (command list on partner.tag_ids, tags linked to p1 after, partners linked to t1 after)
M2M_CASES = [
    ([(4, 1)], [1, 2], [1, 2]),
    ([(4, 3), (4, 3)], [2, 3], [2]),
    ([(3, 2)], [], [2]),
    ([(3, 1)], [2], [2]),  # unlinking a tag that was not linked is a no-op
    ([(5,)], [], [2]),
    ([(5, 0, 0)], [], [2]),
    ([(5, 3)], [], [2]),  # a clear command ignores the id it carries
    ([(6, 0, [3, 1])], [1, 3], [1, 2]),
    ([(5,), (4, 1)], [1], [1, 2]),
    ([(0, 0, {"name": "t4"})], [2, 4], [2]),
    ([(1, 2, {"name": "renamed"})], [2], [2]),
    ([(2, 2)], [], [2]),
]


@SHARED_DB
@pytest.mark.parametrize("commands,p1_tags,t1_partners", M2M_CASES)
def test_many2many_commands_seen_from_both_sides(db, commands, p1_tags, t1_partners):
    env, partners, tags = db
    p1, p2, _ = partners
    t1, t2, _ = tags
    p1.tag_ids = [(4, t2.id)]
    t1.partner_ids = [(4, p2.id)]  # written from the other side
    assert p2.tag_ids == t1 and t2.partner_ids == p1

    p1.write({"tag_ids": commands})

    assert p1.tag_ids.ids == p1_tags
    assert t1.partner_ids.ids == t1_partners
    for tag in env["test.tag"].search([]):
        assert (p1 in tag.partner_ids) == (tag.id in p1_tags)


@SHARED_DB
def test_many2many_write_from_record_set_and_on_several_records(db):
    env, partners, tags = db
    t1, t2, t3 = tags
    t1.partner_ids = t1.partner_ids + partners[0] + partners[0]
    assert t1.partner_ids == partners[0]
    partners[:2].write({"tag_ids": [(4, t3.id)]})
    assert t3.partner_ids.ids == [1, 2]
    partners.write({"tag_ids": [(5, 99)]})
    assert not t1.partner_ids and not t3.partner_ids
    with pytest.raises(TypeError, match="not an x2many command"):
        partners[0].tag_ids = [1, 2]


@SHARED_DB
def test_one2many_follows_the_inverse_many2one(db):
    env, partners, _ = db
    p1, p2, _ = partners
    note = env["test.note"].create({"text": "a", "partner_id": p1.id})
    p1.write({"note_ids": [(0, 0, {"text": "b"})]})
    assert p1.note_ids.mapped("text") == ["a", "b"]
    p2.note_ids = [(4, note.id)]
    assert p1.note_ids.mapped("text") == ["b"] and note.partner_id == p2
    p2.note_ids = [(5,)]
    assert not p2.note_ids and not note.partner_id


@pytest.fixture
def graph(db):
    """Notes tagged, tags linked to partners; partner p3 archived."""
    env, partners, tags = db
    p1, p2, p3 = partners
    t1, t2, t3 = tags
    t1.partner_ids = p1 + p2
    t2.partner_ids = p3
    notes = env["test.note"].create([
        {"text": "n1", "partner_id": p1.id, "tag_ids": [(6, 0, [t1.id])]},
        {"text": "n2", "partner_id": p2.id, "tag_ids": [(6, 0, [t2.id, t3.id])]},
        {"text": "n3", "partner_id": p3.id, "tag_ids": [(6, 0, [t3.id])]},
        {"text": "n4", "tag_ids": [(6, 0, [t1.id, t2.id])]},
    ])
    p3.active = False
    return env, partners, tags, notes


@pytest.mark.parametrize("domain,kwargs,expected", [
    ([], {}, ["n1", "n2", "n3", "n4"]),
    ([], {"order": "id desc"}, ["n4", "n3", "n2", "n1"]),
    ([], {"order": "id desc", "limit": 1}, ["n4"]),
    ([], {"order": "id asc", "limit": 2}, ["n1", "n2"]),
    ([("text", "in", ["n2", "n4"])], {}, ["n2", "n4"]),
    ([("text", "not in", ["n2", "n4"])], {}, ["n1", "n3"]),
    ([("text", "!=", "n1")], {}, ["n2", "n3", "n4"]),
    ([("partner_id", "=", 1)], {}, ["n1"]),
    ([("partner_id", "=", False)], {}, ["n4"]),
    ([("tag_ids", "=", 1)], {}, ["n1", "n4"]),
    ([("tag_ids", "in", [2, 3])], {}, ["n2", "n3", "n4"]),
    ([("tag_ids", "not in", [1])], {}, ["n2", "n3"]),
    # dotted paths: any linked tag has any linked partner ...
    ([("tag_ids.partner_ids", "=", 2)], {}, ["n1", "n4"]),
    ([("tag_ids.partner_ids.name", "=", "p1")], {"order": "id desc", "limit": 1}, ["n4"]),
    # ... where the archived partner p3 is not found through the x2many path
    ([("tag_ids.partner_ids.name", "=", "p3")], {}, []),
    # a path through a many2one sees archived records, like Odoo
    ([("partner_id.name", "=", "p3")], {}, ["n3"]),
    (["|", ("text", "=", "n1"), ("text", "=", "n3")], {}, ["n1", "n3"]),
])
def test_search_domains_order_limit(graph, domain, kwargs, expected):
    env = graph[0]
    assert env["test.note"].search(domain, **kwargs).mapped("text") == expected


def test_search_active_test(graph):
    env = graph[0]
    assert env["test.partner"].search([]).ids == [1, 2]
    assert env["test.partner"].with_context(active_test=False).search([]).ids == [1, 2, 3]
    assert env["test.partner"].search([("active", "=", False)]).ids == [3]
    assert env["test.partner"].search([("tag_ids", "=", 2)]).ids == []
    with pytest.raises(ValueError):
        env["test.note"].search([("nope", "=", 1)])


@SHARED_DB
def test_journal_records_calls_in_order(db):
    env, partners, tags = db
    p1 = partners[0]
    p1.name = "renamed"
    p1.write({"tag_ids": [(0, 0, {"name": "t4"})]})
    env["test.note"].sudo().create({"text": "n"})
    assert env.journal == [
        ("write", "test.partner", (1,), {"name": "renamed"}),
        ("write", "test.partner", (1,), {"tag_ids": [(0, 0, {"name": "t4"})]}),
        ("create", "test.tag", (4,), {"name": "t4"}),
        ("create", "test.note", (1,), {"text": "n"}),
    ]
    assert [e.su for e in env.journal] == [False, False, False, True]
    assert env.journal.written_fields("test.partner") == ["name", "tag_ids"]
    # reads, searches and record set algebra write nothing
    env.journal.clear()
    _ = (p1.name, p1.tag_ids, env["test.tag"].search([]), partners - p1, p1.with_context(x=1).sudo().name)
    assert env.journal == []


def test_environment_ref_translation_and_parameters():
    env = make_env(translations={"Hello": "Bonjour"})
    assert env.ref("base.be").code == "BE" and env.ref("base.EUR").name == "EUR"
    with pytest.raises(ValueError, match=r"^External ID not found in the system: base\.xx$"):
        env.ref("base.xx")
    assert env._("Hello") == "Bonjour" and env._("Other") == "Other"
    assert env.translated == ["Hello", "Other"]
    params = env["ir.config_parameter"]
    assert params.sudo().get_param("corvane_connect.mode") is False
    params.sudo().set_param("corvane_connect.mode", "test")
    assert params.sudo().get_param("corvane_connect.mode") == "test"
    with pytest.raises(orm.AccessError):
        params.get_param("corvane_connect.mode")
    user_env = env["res.company"].with_context(lang="fr_FR").env
    assert user_env.context == {"lang": "fr_FR"} and user_env.journal is env.journal
    with pytest.raises(NotImplementedError):
        user_env.context["lang"] = "en_US"


# --------------------------------------------------------------------------
# world
# --------------------------------------------------------------------------


def test_world_is_linked_and_journal_starts_empty(world, rsa_key):
    user = world.user
    assert (user.state, user.active, user.corvane_connect_config_id.state) == ("activated", True, "confirm")
    assert user.access_token_id.corvane_connect_user_id == user
    assert user.sign_cert_id.private_key_id == world.key
    assert world.key.pem_key == rsa_key.pem_key_b64  # derived from content and password
    assert world.journal == []
    assert user.corvane_connect_config_id._get_session() is world.session
    assert world.addon.session_requests == [world.config]


def test_world_key_record_pem_key_can_be_set_directly(world, rsa_key_small):
    world.key.pem_key = rsa_key_small.pkcs8_b64
    assert world.key.pem_key == rsa_key_small.pkcs8_b64
    assert not world.env["certificate.key.corvane.connect"].create({"name": "empty"}).pem_key


def test_world_report_import_chain(world):
    account = world.account("acc-1", acc_number="BE68539007547034")
    report = world.env["corvane.connect.account.report"].create({
        "report_identifier": "r1", "filename": "r1.xml",
        "acc_numbers": [{"reference": "BE68539007547034", "currency": "EUR"}],
        "received_at": datetime.datetime(2024, 3, 1, 10, 15, 30, 123456),
    })
    assert report.corvane_connect_account_ids == account and report.downloadable
    assert report.received_at.microsecond == 123456
    found = world.env["corvane.connect.account.report"].search(
        [("corvane_connect_account_ids.kav_user_ids", "=", world.user.id)], order="id desc", limit=1)
    assert found == report
    world.addon.statements_per_file = 2
    file = world.user._process_report_data(report, "<xml/>")
    file.process()
    assert file.bank_statement_ids.mapped("name") == ["r1.xml/1", "r1.xml/2"]
    assert world.addon.processed == [(world.user, report, "<xml/>")]


# --------------------------------------------------------------------------
# fake HTTP session
# --------------------------------------------------------------------------


def test_session_records_snapshot_and_wire_form():
    session = http.FakeSession([http.json_response({"a": 1}), http.error_response(401, "denied")])
    headers = {"Content-Type": "application/x-www-form-urlencoded", "Authorization": "Bearer t"}
    response = session.get("https://api.example.com/corvane-connect/account-reports",
                           params={"offset": 0, "size": 20, "after": "a b/c"}, headers=headers)
    headers["Signature"] = "changed afterwards"
    assert response.ok and response.json() == {"a": 1}
    call = session.calls[0]
    assert list(call.headers) == ["Content-Type", "Authorization"]
    assert call.wire.path_url == "/corvane-connect/account-reports?offset=0&size=20&after=a+b%2Fc"
    assert call.target == "get /corvane-connect/account-reports?offset=0&size=20&after=a+b%2Fc"
    assert call.kwargs == {}

    body = "<Document>é€</Document>"
    response = session.post("https://api.example.com/corvane-connect/x", data=body, headers={}, timeout=5)
    assert (response.ok, response.status_code, response.text) == (False, 401, "denied")
    assert session.calls[1].wire.body_bytes == body.encode("utf-8")
    assert session.calls[1].kwargs == {"timeout": 5}


@pytest.mark.parametrize("status,ok", [(200, True), (204, True), (399, True), (400, False), (500, False)])
def test_response_ok_boundary(status, ok):
    assert http.FakeResponse(status, text="x").ok is ok


def test_response_invalid_json_raises_the_real_errors():
    response = http.FakeResponse(200, text="not json")
    with pytest.raises(requests.exceptions.JSONDecodeError):
        response.json()
    with pytest.raises(json.JSONDecodeError):
        response.json()


def test_session_script_exhaustion_router_and_transport_errors():
    session = http.FakeSession([ConnectionError("down")])
    with pytest.raises(ConnectionError):
        session.get("https://h/a")
    with pytest.raises(http.UnscriptedRequest):
        session.get("https://h/b")
    assert [c.wire.path_url for c in session.unanswered] == ["/b"]
    with pytest.raises(TypeError, match="unexpected keyword"):
        session.get("https://h/c", header={})
    with pytest.raises(TypeError):
        session.get("https://h/c", {"offset": 0})  # params only by keyword, as requests.Session

    routed = http.FakeSession(lambda call: http.FakeResponse(200, text=call.wire.path_url))
    assert routed.post("https://h/p?q=1", data={"k": "v"}).text == "/p?q=1"


# --------------------------------------------------------------------------
# keys and the independent verifier
# --------------------------------------------------------------------------


def _csr(key_pem, subject):
    """A CSR made by the openssl tool, independent of the code under test."""
    with keys._Workdir() as wd:
        path = wd.file("k.pem", key_pem)
        return keys._openssl(["req", "-new", "-key", path, "-subj", subject, "-sha256"]).stdout


def test_pss_verification(crypto_backend, rsa_key_small, rsa_key):
    message = "(request-target): get /x\nhost: h"
    signature = keys.sign_pss_sha256(rsa_key_small.pkcs1_pem, message)
    assert keys.verify_pss_sha256(rsa_key_small.public_pem, message, signature)
    assert keys.verify_pss_sha256(rsa_key_small.pkcs8_pem, message.encode(), signature)
    assert not keys.verify_pss_sha256(rsa_key_small.public_pem, message + "x", signature)
    assert not keys.verify_pss_sha256(rsa_key_small.public_pem, message, signature, salt_length=20)
    assert not keys.verify_pss_sha256(rsa_key.public_pem, message, signature)
    assert not keys.verify_pss_sha256(rsa_key_small.public_pem, message, "not base64!")
    other = "openssl" if crypto_backend == "cryptography" else "cryptography"
    if other in keys.available_backends():  # signatures cross over between back ends
        assert keys.verify_pss_sha256(rsa_key_small.public_pem, message,
                                      keys.sign_pss_sha256(rsa_key_small.pkcs1_pem, message, backend=other))


def test_key_forms_and_decryption(crypto_backend, rsa_key_small, ec_key):
    info = keys.private_key_info(rsa_key_small.encrypted_pem, rsa_key_small.passphrase)
    assert (info.kind, info.bits, info.public_exponent) == ("RSA", 1024, 65537)
    assert info.public_pem == rsa_key_small.public_pem
    assert keys.decrypt_private_key(rsa_key_small.encrypted_pem, rsa_key_small.passphrase) == rsa_key_small.pkcs1_pem
    for password in ("wrong", None):
        with pytest.raises(keys.CryptoError):
            keys.decrypt_private_key(rsa_key_small.encrypted_pem, password)
    assert keys.private_key_info(ec_key.pkcs8_pem).kind == "EC"
    assert b"Proc-Type: 4,ENCRYPTED\nDEK-Info: AES-256-CBC," in rsa_key_small.encrypted_pem


def test_csr_reading(crypto_backend, rsa_key_small, rsa_key):
    csr = _csr(rsa_key_small.pkcs1_pem, "/C=BE/O=Company/CN=Company key")
    info = keys.csr_info(csr)
    assert info.subject == ((("C", "BE"),), (("O", "Company"),), (("CN", "Company key"),))
    assert info.signature_algorithm == "sha256WithRSAEncryption" and info.signature_valid
    assert keys.verify_csr(csr, rsa_key_small.pkcs1_pem)
    assert not keys.verify_csr(csr, rsa_key.public_pem)
    der = bytearray(keys._pem_to_der(csr, "CERTIFICATE REQUEST"))
    der[-5] ^= 0x01  # inside the signature
    assert not keys.verify_csr(keys._der_to_pem(bytes(der), "CERTIFICATE REQUEST"))


def _run_isolated(code, **env_vars):
    env = dict(os.environ, **env_vars)
    proc = subprocess.run([sys.executable, "-c", code], cwd=HERE, env=env, capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip()


def test_openssl_fallback_without_cryptography():
    """With pyca/cryptography not importable (as on a free-threaded
    interpreter), keys, the world's pem_key and verification still work."""
    code = (
        "import sys; sys.modules['cryptography'] = None\n"
        "from corvane_standins import keys, make_world\n"
        "assert not keys.HAVE_CRYPTOGRAPHY and keys.default_backend() == 'openssl'\n"
        "k = keys.rsa_1024()\n"
        "w = make_world(key_material=k)\n"
        "assert w.key.pem_key == k.pem_key_b64\n"
        "s = keys.sign_pss_sha256(k.pkcs1_pem, 'm')\n"
        "print(keys.verify_pss_sha256(k.public_pem, 'm', s), keys.verify_pss_sha256(k.public_pem, 'n', s))\n"
    )
    assert _run_isolated(code) == "True False"


def test_backend_forced_by_environment():
    code = "from corvane_standins import keys; print(keys.default_backend())"
    assert _run_isolated(code, CORVANE_TEST_CRYPTO="openssl") == "openssl"


# -- the check of a signed request ---------------------------------------------

@pytest.mark.parametrize("change, kwargs", [
    (None, {}),
    ("target", {}),
    ("body", {}),
    (None, {"token": "access-other"}),
    (None, {"key_id": "key-id-2"}),
    (None, {"host": "api.other.test"}),
    ("key", {}),
], ids=["intact", "other-target", "other-body", "other-token", "other-key-id", "other-host", "other-key"])
def test_signed_request_check_fails_on_any_difference(world, session, rsa_key_other, change, kwargs):
    from corvane_core import corvane_user
    from corvane_standins.signed import assert_signed_request

    headers = {"Authorization": "Bearer access-0"}
    corvane_user._signature_headers(world.user, headers, "<a/>", "post /corvane-connect/x")
    session.add(http.FakeResponse(200))
    url = "https://api.tolvex.com/corvane-connect/" + ("y" if change == "target" else "x")
    session.post(url, data=b"<b/>" if change == "body" else b"<a/>", headers=headers)
    public = rsa_key_other.public_pem if change == "key" else world.key_material.public_pem
    check = dict({"host": corvane_user.TOLVEX_API_HOST, "token": "access-0"}, **kwargs)
    if change is None and not kwargs:
        assert assert_signed_request(session.calls[0], public, **check)["keyId"] == '"key-id-1"'
    else:
        with pytest.raises(AssertionError):
            assert_signed_request(session.calls[0], public, **check)
