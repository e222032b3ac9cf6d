"""An in-memory stand-in of the Odoo addon around corvane_core, for the demo
and the end-to-end tests.

It reuses the in-memory ORM and addon models of :mod:`corvane_standins.orm`
and :mod:`corvane_standins.world` and adds what a real run needs beyond
them:

* bank statements with lines, and a statement file model whose ``process()``
  imports a CAMT.053 file into them (checking that each statement balances);
* the redirect handler that completes the linking with the authorisation
  code (:meth:`Addon.complete_linking`);
* the payment file that the addon would make: a pain.001.001.03 document
  (:func:`pain001`).

The configuration's ``_get_session()`` hands out the session given to
:func:`build_addon`, normally an :class:`AddonSession`.
"""

from __future__ import annotations

import base64
import dataclasses
import datetime
import urllib.parse
import xml.etree.ElementTree as ET
from decimal import Decimal

import requests

from . import world as _world
from .orm import Model, UserError, fields

__all__ = ["Addon", "AddonSession", "build_addon", "pain001", "CAMT053_NS", "PAIN001_NS", "REDIRECT_URI"]

CAMT053_NS = "urn:iso:std:iso:20022:tech:xsd:camt.053.001.02"
PAIN001_NS = "urn:iso:std:iso:20022:tech:xsd:pain.001.001.03"
REDIRECT_URI = _world.REDIRECT_URI


class AddonSession(requests.Session):
    """The session the configuration hands out: a real ``requests.Session``
    whose requests get a time-out when the caller gives none (the modules
    give none: the addon's session decides).  ``tamper``, when set, changes
    a request body after the modules signed it (to show what the service
    does with a body altered on the way)."""

    default_timeout = 30

    def __init__(self):
        super().__init__()
        self.tamper = None

    def request(self, method, url, *args, **kwargs):
        kwargs.setdefault("timeout", self.default_timeout)
        if self.tamper is not None and kwargs.get("data") is not None:
            kwargs["data"] = self.tamper(kwargs["data"])
        return super().request(method, url, *args, **kwargs)


def replace_in_body(old, new):
    """A ``tamper`` function: the body (text or bytes) with ``old`` replaced
    by ``new``."""

    def tamper(body):
        if isinstance(body, bytes):
            return body.replace(old.encode("utf-8"), new.encode("utf-8"))
        return body.replace(old, new) if isinstance(body, str) else body

    return tamper


class BankStatement(_world.BankStatement):
    _name = "account.bank.statement"
    reference = fields.Char()
    account_number = fields.Char()
    currency = fields.Char()
    date = fields.Char()
    balance_start = fields.Float()
    balance_end_real = fields.Float()
    line_ids = fields.One2many("account.bank.statement.line", "statement_id")


class BankStatementLine(Model):
    _name = "account.bank.statement.line"
    statement_id = fields.Many2one("account.bank.statement")
    date = fields.Char()
    payment_ref = fields.Char()
    partner_name = fields.Char()
    account_number = fields.Char()
    amount = fields.Float()
    unique_import_id = fields.Char()


class StatementFile(_world.StatementFile):
    """``process()`` imports the CAMT.053 body: one bank statement per Stmt,
    one line per Ntry.  A statement whose opening balance and lines do not
    add up to its closing balance is refused (UserError), as an import
    would."""

    _name = "corvane.connect.statement.file"

    def process(self):
        for record in self:
            self.env.addon.process_calls.append(record)
            for values in parse_camt053(record.body):
                values["statement_file_id"] = record.id
                self.env["account.bank.statement"].create(values)
            record.state = "processed"
        return True


def _find_text(element, path, ns):
    found = element.find(path, ns)
    return None if found is None else (found.text or "").strip()


def _signed(element, ns):
    amount = Decimal(_find_text(element, "c:Amt", ns))
    return amount if _find_text(element, "c:CdtDbtInd", ns) == "CRDT" else -amount


def parse_camt053(text):
    """The statements of a CAMT.053 document as ORM values, each with its
    lines as (0, 0, values) commands."""
    ns = {"c": CAMT053_NS}
    root = ET.fromstring(text.encode("utf-8"))
    if root.tag != f"{{{CAMT053_NS}}}Document":
        raise UserError(f"not a CAMT.053.001.02 document: root {root.tag}")
    statements = []
    for stmt in root.findall("c:BkToCstmrStmt/c:Stmt", ns):
        balances = {_find_text(b, "c:Tp/c:CdOrPrtry/c:Cd", ns): _signed(b, ns) for b in stmt.findall("c:Bal", ns)}
        if "OPBD" not in balances or "CLBD" not in balances:
            raise UserError(f"statement {_find_text(stmt, 'c:Id', ns)} lacks its opening or closing balance")
        lines = []
        for entry in stmt.findall("c:Ntry", ns):
            party = entry.find("c:NtryDtls/c:TxDtls/c:RltdPties", ns)
            name = account = None
            if party is not None:
                name = _find_text(party, "c:Dbtr/c:Nm", ns) or _find_text(party, "c:Cdtr/c:Nm", ns)
                account = (_find_text(party, "c:DbtrAcct/c:Id/c:IBAN", ns)
                           or _find_text(party, "c:CdtrAcct/c:Id/c:IBAN", ns))
            lines.append({
                "date": _find_text(entry, "c:BookgDt/c:Dt", ns),
                "payment_ref": _find_text(entry, "c:NtryDtls/c:TxDtls/c:RmtInf/c:Ustrd", ns) or "/",
                "partner_name": name,
                "account_number": account,
                "amount": _signed(entry, ns),
                "unique_import_id": _find_text(entry, "c:AcctSvcrRef", ns),
            })
        total = sum((line["amount"] for line in lines), Decimal("0"))
        if balances["OPBD"] + total != balances["CLBD"]:
            raise UserError(f"statement {_find_text(stmt, 'c:Id', ns)} does not balance: {balances['OPBD']}"
                            f" + {total} != {balances['CLBD']}")
        for line in lines:
            line["amount"] = float(line["amount"])
        statements.append({
            "name": _find_text(stmt, "c:Id", ns),
            "reference": _find_text(stmt, "c:ElctrncSeqNb", ns),
            "account_number": _find_text(stmt, "c:Acct/c:Id/c:IBAN", ns)
            or _find_text(stmt, "c:Acct/c:Id/c:Othr/c:Id", ns),
            "currency": _find_text(stmt, "c:Acct/c:Ccy", ns),
            "date": (_find_text(stmt, "c:Bal/c:Dt/c:Dt", ns) or ""),
            "balance_start": float(balances["OPBD"]),
            "balance_end_real": float(balances["CLBD"]),
            "line_ids": [(0, 0, line) for line in lines],
        })
    return statements


@dataclasses.dataclass
class Addon:
    """The records of one company's Corvane Connect set-up."""

    env: object
    session: object
    config: object
    user: object

    def attach_certificate(self, key_record, key_id, name="Signing certificate"):
        """Record the bank's certificate for ``key_record`` and make it the
        user's signing certificate, with the keyId the bank gave."""
        cert = self.env["corvane.connect.sign.certificate"].create({"name": name,
                                                                     "private_key_id": key_record.id})
        self.user.sign_cert_id = cert
        self.user.sign_cert_key_identifier = key_id
        return cert

    def complete_linking(self, redirect_url, corvane_user):
        """The addon's redirect handler: takes the URL that the
        authorisation server sent the browser to, checks its state, and
        exchanges the code for tokens.  Returns the module's result."""
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(redirect_url).query)
        if "error" in query:
            return {"error": f"the authorisation was refused: {query['error'][0]}"}
        state = query.get("state", [""])[0]
        if state != str(self.user.id):
            return {"error": f"the redirect's state {state!r} is not this user's id {self.user.id}"}
        return corvane_user._request_access_token(self.user, self.session, grant_type="authorization_code",
                                                  auth_code=query["code"][0])

    def pain_request(self, name, xml_text):
        return self.env["corvane.connect.pain.request"].create({
            "kav_user_id": self.user.id,
            "name": name,
            "data": base64.b64encode(xml_text.encode("utf-8")),
        })


def build_addon(session, client_id, client_secret, redirect_uri=REDIRECT_URI, transaction_rights="both"):
    """A fresh in-memory database with a confirmed configuration and one KAV
    User in "draft" (not linked, no token, no certificate yet)."""
    env = _world.make_env(session=session, extra_models=[BankStatement, BankStatementLine, StatementFile])
    config = env["corvane.connect.config"].create({
        "name": "Corvane Connect (sandbox)",
        "state": "confirm",
        "active": True,
        "client_identifier": client_id,
        "client_secret": client_secret,
    })
    user = env["corvane.connect.kav.user"].create({
        "name": "Treasury",
        "state": "draft",
        "active": True,
        "corvane_connect_config_id": config.id,
        "redirect_uri": redirect_uri,
        "transaction_rights": transaction_rights,
    })
    env.journal.clear()
    return Addon(env=env, session=session, config=config, user=user)


def pain001(message_id, debtor_name, debtor_iban, debtor_bic, transfers, execution_date=None, count=None,
            control_sum=None):
    """A pain.001.001.03 credit transfer file (text).  ``transfers``:
    (creditor name, creditor IBAN, amount as text, currency, remittance)
    tuples.  ``count`` and ``control_sum`` override the group header's
    values (to make a file that the bank's processing rejects)."""
    ET.register_namespace("", PAIN001_NS)

    def sub(parent, tag, text=None, **attrib):
        element = ET.SubElement(parent, f"{{{PAIN001_NS}}}{tag}", attrib)
        if text is not None:
            element.text = str(text)
        return element

    total = sum((Decimal(t[2]) for t in transfers), Decimal("0"))
    execution_date = execution_date or datetime.date.today() + datetime.timedelta(days=1)
    root = ET.Element(f"{{{PAIN001_NS}}}Document")
    initiation = sub(root, "CstmrCdtTrfInitn")
    header = sub(initiation, "GrpHdr")
    sub(header, "MsgId", message_id)
    sub(header, "CreDtTm", datetime.datetime.now().replace(microsecond=0).isoformat())
    sub(header, "NbOfTxs", len(transfers) if count is None else count)
    sub(header, "CtrlSum", f"{total if control_sum is None else Decimal(control_sum):.2f}")
    sub(sub(header, "InitgPty"), "Nm", debtor_name)
    info = sub(initiation, "PmtInf")
    sub(info, "PmtInfId", f"{message_id}-1")
    sub(info, "PmtMtd", "TRF")
    sub(info, "NbOfTxs", len(transfers))
    sub(info, "CtrlSum", f"{total:.2f}")
    sub(sub(sub(info, "PmtTpInf"), "SvcLvl"), "Cd", "SEPA")
    sub(info, "ReqdExctnDt", execution_date.isoformat())
    sub(sub(info, "Dbtr"), "Nm", debtor_name)
    sub(sub(sub(info, "DbtrAcct"), "Id"), "IBAN", debtor_iban)
    sub(sub(sub(info, "DbtrAgt"), "FinInstnId"), "BIC", debtor_bic)
    sub(info, "ChrgBr", "SLEV")
    for index, (name, iban, amount, currency, remittance) in enumerate(transfers, 1):
        tx = sub(info, "CdtTrfTxInf")
        sub(sub(tx, "PmtId"), "EndToEndId", f"{message_id}-{index}")
        sub(sub(tx, "Amt"), "InstdAmt", f"{Decimal(amount):.2f}", Ccy=currency)
        sub(sub(tx, "Cdtr"), "Nm", name)
        sub(sub(sub(tx, "CdtrAcct"), "Id"), "IBAN", iban)
        sub(sub(tx, "RmtInf"), "Ustrd", remittance)
    ET.indent(root)
    return ET.tostring(root, encoding="unicode", xml_declaration=False).join(
        ['<?xml version="1.0" encoding="UTF-8"?>\n', "\n"])
