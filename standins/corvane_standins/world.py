"""The addon's models as the native modules see them, and a ready "world".

:func:`make_world` builds a fresh in-memory database with these models, a
confirmed configuration, an activated KAV User holding a token record and a
signing certificate whose key record carries the main RSA test key, and
returns a :class:`World`.  The journal is empty when it is handed over, so
a test sees only what happens after.

Addon-side behaviour that tests steer lives in ``env.addon`` (also
``world.addon``):

* ``session``: what the configuration's ``_get_session()`` returns;
  ``session_requests`` lists the configuration records it was called on.
* ``process_report_data``: None, or ``f(kav_user, report, body_text)``
  replacing the KAV User's ``_process_report_data`` (raise to simulate a
  failure); ``processed`` lists ``(kav_user, report, body_text)`` of every
  call.
* ``statements_per_file``: how many bank statements ``process()`` makes per
  statement file (default 1); ``process_error``: an exception that
  ``process()`` raises instead; ``process_calls`` lists the file records
  processed.
"""

from __future__ import annotations

import base64
import dataclasses
import functools

from . import keys as _keys
from .orm import Environment, Model, Registry, fields

__all__ = ["MODELS", "World", "make_world", "make_env", "REDIRECT_URI"]

REDIRECT_URI = "https://odoo.example.com/corvane_connect/redirect"


class ResCompany(Model):
    _name = "res.company"
    name = fields.Char()


class ResCountry(Model):
    _name = "res.country"
    name = fields.Char()
    code = fields.Char()


class ResCurrency(Model):
    _name = "res.currency"
    name = fields.Char()


class Config(Model):
    _name = "corvane.connect.config"
    name = fields.Char()
    state = fields.Char(default="draft")
    active = fields.Boolean(default=True)
    client_identifier = fields.Char()
    client_secret = fields.Char()

    def _get_session(self):
        addon = self.env.addon
        addon.session_requests.append(self)
        if addon.session is None:
            raise AssertionError("the world has no HTTP session (make_world(session=...))")
        return addon.session


class KavUser(Model):
    _name = "corvane.connect.kav.user"
    name = fields.Char()
    state = fields.Char(default="draft")
    active = fields.Boolean(default=True)
    corvane_connect_config_id = fields.Many2one("corvane.connect.config")
    access_token_id = fields.Many2one("corvane.connect.access.token")
    redirect_uri = fields.Char()
    transaction_rights = fields.Char()
    sign_cert_id = fields.Many2one("corvane.connect.sign.certificate")
    sign_cert_key_identifier = fields.Char()
    kav_account_ids = fields.Many2many("corvane.connect.account")

    def _process_report_data(self, report, body_text):
        """Make the statement file record of a downloaded report."""
        addon = self.env.addon
        addon.processed.append((self, report, body_text))
        if addon.process_report_data is not None:
            return addon.process_report_data(self, report, body_text)
        return self.env["corvane.connect.statement.file"].create({
            "name": report.filename or report.report_identifier,
            "body": body_text,
            "report_id": report.id,
            "kav_user_id": self.id,
        })


class AccessToken(Model):
    _name = "corvane.connect.access.token"
    access_token = fields.Char()
    expires_in = fields.Integer()
    refresh_token = fields.Char()
    refresh_expires_in = fields.Integer()
    scope = fields.Char()
    token_type = fields.Char()
    corvane_connect_user_id = fields.Many2one("corvane.connect.kav.user")


class SignCertificate(Model):
    _name = "corvane.connect.sign.certificate"
    name = fields.Char()
    private_key_id = fields.Many2one("certificate.key.corvane.connect")


class CertificateKey(Model):
    """``content``: Base64 of the (encrypted) PEM key; ``password``: its
    passphrase; ``pem_key``: Base64 text of the unencrypted PEM, derived from
    the two unless a value was written to it directly."""

    _name = "certificate.key.corvane.connect"
    name = fields.Char()
    content = fields.Binary()
    password = fields.Char()
    company_id = fields.Many2one("res.company")
    pem_key = fields.Char(compute="_compute_pem_key")

    def _compute_pem_key(self):
        if not self.content:
            return False
        return _plain_pem_b64(bytes(self.content), self.password or None, _keys.default_backend())


@functools.lru_cache(maxsize=64)
def _plain_pem_b64(content, password, backend):
    """Base64 text of the unencrypted PEM behind ``content`` (cached: the
    openssl fallback costs a process per call)."""
    plain = _keys.decrypt_private_key(base64.b64decode(content), password, backend=backend)
    return base64.b64encode(plain).decode("ascii")


class Account(Model):
    _name = "corvane.connect.account"
    active = fields.Boolean(default=True)
    account_identifier = fields.Char()
    country_id = fields.Many2one("res.country")
    currency_id = fields.Many2one("res.currency")
    description = fields.Char()
    bic = fields.Char()
    holder_address = fields.Char()
    holder_country = fields.Char()
    holder_name = fields.Char()
    acc_number = fields.Char()
    acc_type = fields.Char()
    kav_user_ids = fields.Many2many("corvane.connect.kav.user")


class AccountReport(Model):
    """Report records link themselves, at creation, to the account records
    whose ``acc_number`` appears in ``acc_numbers`` (a list of references or
    of ``{"reference": ...}`` objects), unless links are given; this
    bookkeeping is not journaled, as it is the addon's own."""

    _name = "corvane.connect.account.report"
    report_identifier = fields.Char()
    filename = fields.Char()
    acc_numbers = fields.Json()
    file_format = fields.Char()
    file_bank_format_type = fields.Char()
    file_size = fields.Integer()
    received_at = fields.Datetime()
    financial_institution_name = fields.Char()
    corvane_connect_account_ids = fields.Many2many("corvane.connect.account")
    downloadable = fields.Boolean(default=True)
    corvane_connect_file_id = fields.Many2one("corvane.connect.statement.file")

    def create(self, vals_list):
        records = super().create(vals_list)
        given = [vals_list] if isinstance(vals_list, dict) else list(vals_list)
        field = self._fields["corvane_connect_account_ids"]
        for record, vals in zip(records, given):
            if "corvane_connect_account_ids" in vals:
                continue
            refs = []
            for entry in vals.get("acc_numbers") or []:
                ref = entry.get("reference") if isinstance(entry, dict) else entry
                if ref:
                    refs.append(ref)
            if refs:
                accounts = self.env["corvane.connect.account"].search([("acc_number", "in", refs)])
                if accounts:
                    record._write_many2many(field, [(6, 0, accounts.ids)])
        return records


class StatementFile(Model):
    _name = "corvane.connect.statement.file"
    name = fields.Char()
    body = fields.Text()
    state = fields.Char(default="draft")
    report_id = fields.Many2one("corvane.connect.account.report")
    kav_user_id = fields.Many2one("corvane.connect.kav.user")
    bank_statement_ids = fields.One2many("account.bank.statement", "statement_file_id")

    def process(self):
        """Import the file: make ``env.addon.statements_per_file`` bank
        statements for each file record."""
        addon = self.env.addon
        for record in self:
            addon.process_calls.append(record)
            if addon.process_error is not None:
                raise addon.process_error
            for index in range(addon.statements_per_file):
                self.env["account.bank.statement"].create({
                    "name": f"{record.name or 'statement'}/{index + 1}",
                    "statement_file_id": record.id,
                })
            record.state = "processed"
        return True


class BankStatement(Model):
    _name = "account.bank.statement"
    name = fields.Char()
    statement_file_id = fields.Many2one("corvane.connect.statement.file")


class PainRequest(Model):
    _name = "corvane.connect.pain.request"
    kav_user_id = fields.Many2one("corvane.connect.kav.user")
    name = fields.Char()
    data = fields.Binary()
    identifier = fields.Char()
    state = fields.Char(default="draft")


MODELS = [
    ResCompany, ResCountry, ResCurrency, Config, KavUser, AccessToken, SignCertificate,
    CertificateKey, Account, AccountReport, StatementFile, BankStatement, PainRequest,
]

COUNTRIES = {"be": "Belgium", "nl": "Netherlands", "fr": "France", "de": "Germany", "lu": "Luxembourg",
             "gb": "United Kingdom", "us": "United States"}
CURRENCIES = ["EUR", "USD", "GBP", "CHF"]


def make_env(session=None, translations=None, context=None, extra_models=()):
    """A fresh database with the addon's models and the base data
    (countries base.be..., currencies base.EUR..., company
    base.main_company); the journal is empty.  ``extra_models``: more model
    classes, or subclasses of the ones above with the same ``_name`` that
    override their behaviour in this database only."""
    env = Environment(Registry(MODELS + list(extra_models)), context=context, translations=translations)
    addon = env.addon
    addon.session = session
    addon.session_requests = []
    addon.process_report_data = None
    addon.processed = []
    addon.statements_per_file = 1
    addon.process_error = None
    addon.process_calls = []
    for code, name in COUNTRIES.items():
        env.set_xmlid(f"base.{code}", env["res.country"].create({"name": name, "code": code.upper()}))
    for code in CURRENCIES:
        env.set_xmlid(f"base.{code}", env["res.currency"].create({"name": code}))
    env.set_xmlid("base.main_company", env["res.company"].create({"name": "Example Company"}))
    env.journal.clear()
    return env


@dataclasses.dataclass
class World:
    env: Environment
    session: object
    config: object
    user: object
    token: object
    cert: object
    key: object  # the key record (certificate.key.corvane.connect)
    key_material: _keys.RsaTestKey  # the RSA key behind ``key``
    company: object

    @property
    def addon(self):
        return self.env.addon

    @property
    def journal(self):
        return self.env.journal

    def new_user(self, **vals):
        """Another KAV User on the same configuration (state "activated",
        active, with its own token record and the same signing certificate)."""
        return _new_user(self.env, self.config, self.cert, vals)

    def account(self, identifier, users=None, **vals):
        """Create an account record, linked to ``users`` (default: the
        world's user; pass an empty set or () for none)."""
        if users is None:
            users = self.user
        ids = users.ids if hasattr(users, "ids") else list(users)
        values = {"account_identifier": identifier, "acc_number": f"BE00{identifier}",
                  "kav_user_ids": [(6, 0, ids)]}
        values.update(vals)
        return self.env["corvane.connect.account"].create(values)

    def report(self, identifier, accounts=None, **vals):
        """Create a report record linked to ``accounts`` (default none)."""
        values = {"report_identifier": identifier, "filename": f"{identifier}.xml",
                  "corvane_connect_account_ids": [(6, 0, accounts.ids if accounts else [])]}
        values.update(vals)
        return self.env["corvane.connect.account.report"].create(values)

    def pain_request(self, text="<Document/>", name="payment.xml", user=None, **vals):
        """A payment initiation request whose ``data`` is Base64 of ``text``
        in UTF-8."""
        values = {"kav_user_id": (user or self.user).id, "name": name,
                  "data": base64.b64encode(text.encode("utf-8"))}
        values.update(vals)
        return self.env["corvane.connect.pain.request"].create(values)


def _new_user(env, config, cert, vals):
    values = {
        "name": "KAV User",
        "state": "activated",
        "active": True,
        "corvane_connect_config_id": config.id,
        "redirect_uri": REDIRECT_URI,
        "transaction_rights": "both",
        "sign_cert_id": cert.id,
        "sign_cert_key_identifier": "key-id-1",
    }
    with_token = vals.pop("with_token", True)
    values.update(vals)
    user = env["corvane.connect.kav.user"].create(values)
    if with_token:
        token = env["corvane.connect.access.token"].create({
            "access_token": "access-0",
            "expires_in": 1800,
            "refresh_token": "refresh-0",
            "refresh_expires_in": 15552000,
            "scope": "AI PI offline_access",
            "token_type": "Bearer",
            "corvane_connect_user_id": user.id,
        })
        user.access_token_id = token
    return user


def make_world(session=None, *, key_material=None, translations=None, config_vals=None, user_vals=None,
               key_vals=None, mode=None, extra_models=()):
    """Build a :class:`World`.

    ``key_material``: the RSA test key behind the key record (default
    :func:`keys.rsa_2048`); the record stores it encrypted in ``content``
    with its passphrase in ``password``.  ``config_vals`` / ``user_vals`` /
    ``key_vals`` override the defaults (``user_vals={"with_token": False}``
    gives a user without token record).  ``mode`` sets the system parameter
    corvane_connect.mode; ``extra_models`` as for :func:`make_env`."""
    env = make_env(session=session, translations=translations, extra_models=extra_models)
    key_material = key_material or _keys.rsa_2048()
    company = env.ref("base.main_company")
    key = env["certificate.key.corvane.connect"].create({
        "name": "Company key",
        "content": key_material.content_b64,
        "password": key_material.passphrase,
        "company_id": company.id,
        **(key_vals or {}),
    })
    cert = env["corvane.connect.sign.certificate"].create({"name": "Signing certificate", "private_key_id": key.id})
    config = env["corvane.connect.config"].create({
        "name": "Corvane Connect",
        "state": "confirm",
        "active": True,
        "client_identifier": "client-id",
        "client_secret": "client-secret",
        **(config_vals or {}),
    })
    user = _new_user(env, config, cert, dict(user_vals or {}))
    if mode is not None:
        env["ir.config_parameter"].sudo().set_param("corvane_connect.mode", mode)
    env.journal.clear()
    env.translated.clear()
    return World(env=env, session=session, config=config, user=user, token=user.access_token_id, cert=cert,
                 key=key, key_material=key_material, company=company)
