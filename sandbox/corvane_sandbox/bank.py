"""The sandbox's bank data: accounts, their daily movements and the account
reports (CAMT.053 bank statement files) made from them.

Everything is generated once, from a seed, when the sandbox starts: the same
seed gives the same accounts, movements, report identifiers and files, byte
for byte.  Each report is the statement of one account for one booking day;
its opening balance is the closing balance of the account's previous
statement, so a sequence of imported statements chains up.
"""

from __future__ import annotations

import dataclasses
import datetime
import random
import string
import xml.etree.ElementTree as ET
from decimal import Decimal

from schwifty import IBAN
from schwifty.exceptions import SchwiftyException

__all__ = ["Bank", "Account", "Movement", "Report", "iban", "iban_is_valid", "CAMT053_NS"]

CAMT053_NS = "urn:iso:std:iso:20022:tech:xsd:camt.053.001.02"
INSTITUTION_NAME = "Corvane Sandbox Bank"

# (country, BIC, currency, BBAN pattern: "n" digit, "a" upper-case letter)
_BANKS = [
    ("BE", "GEBABEBB", "EUR", "nnnnnnnnnnnn"),
    ("BE", "KREDBEBB", "EUR", "nnnnnnnnnnnn"),
    ("NL", "INGBNL2A", "EUR", "aaaannnnnnnnnn"),
    ("FR", "BNPAFRPP", "EUR", "nnnnnnnnnnnnnnnnnnnnnnn"),
    ("LU", "BILLLULL", "EUR", "nnnnnnnnnnnnnnnn"),
    ("GB", "BARCGB22", "GBP", "aaaannnnnnnnnnnnnn"),
    ("US", "CHASUS33", "USD", None),  # no IBAN: the account number is the reference
]
_DESCRIPTIONS = ["Current account", "Savings account", "Payroll account", "Collections account",
                 "Supplier payments", "Treasury account", "Escrow account"]
_HOLDERS = [
    ("Example Company SA", "Rue de la Loi 16, 1000 Brussels", "BE"),
    ("Example Company Nederland BV", "Herengracht 182, 1016 BR Amsterdam", "NL"),
    ("Exemple Société SAS", "12 rue de Rivoli, 75004 Paris", "FR"),
    ("Example Company UK Ltd", "1 Poultry, London EC2R 8EJ", "GB"),
]
_COUNTERPARTIES = [
    "Brasserie Dupont", "Müller Maschinenbau GmbH", "Société d'Électricité du Nord", "Van den Berg Logistics",
    "Ørsted Nordic A/S", "Café Łódź", "Office Supplies Ltd", "Studio Ñandú", "City of Ghent", "Garage Renée",
]
_PURPOSES = ["Invoice {n}", "Credit note {n}", "Rent {month}", "Salary advance {n}", "Subscription {month}",
             "Refund order {n}", "Card settlement {n}", "Utilities {month}"]


def iban(country, bban):
    """The IBAN of a country code and BBAN, with its ISO 13616 check digits."""
    return str(IBAN.from_bban(country, bban))


def iban_is_valid(value):
    """Whether ``value`` is an IBAN of its country's structure and length
    with the right check digits."""
    try:
        IBAN(value)
    except SchwiftyException:
        return False
    return True


@dataclasses.dataclass
class Account:
    identifier: str
    country: str
    currency: str
    description: str | None
    bic: str | None
    holder_name: str
    holder_address: str
    holder_country: str
    reference: str
    reference_type: str

    def attributes(self):
        """The account detail's attributes, with the service's names."""
        return {
            "country": self.country,
            "currency": self.currency,
            "description": self.description,
            "financialInstitutionBic": self.bic,
            "holderAddress": self.holder_address,
            "holderAddressCountry": self.holder_country,
            "holderName": self.holder_name,
            "reference": self.reference,
            "referenceType": self.reference_type,
        }


@dataclasses.dataclass
class Movement:
    reference: str
    booking_date: datetime.date
    amount: Decimal  # signed: credits positive, debits negative
    counterparty: str
    counterparty_account: str
    remittance: str
    end_to_end_id: str


@dataclasses.dataclass
class Report:
    identifier: str
    account: Account
    day: datetime.date
    sequence: int
    opening: Decimal
    movements: list
    received_at: datetime.datetime
    content: bytes = b""

    @property
    def closing(self):
        return self.opening + sum((m.amount for m in self.movements), Decimal("0.00"))

    @property
    def file_name(self):
        return f"CAMT053_{self.account.reference}_{self.day:%Y%m%d}.xml"

    def listing_item(self):
        """The report as an entry of the listing's ``data``."""
        return {
            "type": "accountReport",
            "id": self.identifier,
            "attributes": {
                "fileName": self.file_name,
                "accountReferencesAndCurrencies": [{"reference": self.account.reference,
                                                    "currency": self.account.currency}],
                "fileFormat": "CAMT.053",
                "fileBankFormatType": "XML",
                "fileSize": len(self.content),
                # The service's form: naive date-time with milliseconds.
                "receivedAt": self.received_at.strftime("%Y-%m-%dT%H:%M:%S.") + f"{self.received_at.microsecond // 1000:03d}",
                "financialInstitutionName": INSTITUTION_NAME,
            },
        }


class Bank:
    """``accounts``: how many accounts; ``reporting_accounts``: how many of
    them (the first ones) get daily statements; ``days``: how many booking
    days, ending on ``last_day``."""

    def __init__(self, seed=1, accounts=23, reporting_accounts=3, days=2, last_day=datetime.date(2024, 3, 1)):
        if accounts < 1 or not 0 <= reporting_accounts <= accounts or days < 0:
            raise ValueError("accounts >= 1, 0 <= reporting_accounts <= accounts, days >= 0")
        rng = random.Random(seed)
        self.accounts = [self._make_account(rng, index) for index in range(accounts)]
        self.reports = []
        balances = {a.identifier: Decimal(rng.randrange(500_000, 5_000_000)) / 100 for a in self.accounts}
        sequence = 0
        for offset in range(days - 1, -1, -1):
            day = last_day - datetime.timedelta(days=offset)
            for account in self.accounts[:reporting_accounts]:
                sequence += 1
                movements = [self._make_movement(rng, account, day, n) for n in range(rng.randint(2, 5))]
                received = datetime.datetime.combine(day + datetime.timedelta(days=1), datetime.time(5, 30)) \
                    + datetime.timedelta(seconds=sequence * 7, microseconds=rng.randrange(1000) * 1000)
                report = Report(identifier=f"AR{seed:02d}{sequence:06d}", account=account, day=day,
                                sequence=sequence, opening=balances[account.identifier], movements=movements,
                                received_at=received)
                balances[account.identifier] = report.closing
                report.content = camt053(report)
                self.reports.append(report)
        self._accounts_by_id = {a.identifier: a for a in self.accounts}
        self._reports_by_id = {r.identifier: r for r in self.reports}

    @staticmethod
    def _make_account(rng, index):
        country, bic, currency, pattern = _BANKS[0] if index == 0 else rng.choice(_BANKS)
        holder = rng.choice(_HOLDERS)
        if pattern is None:
            reference, reference_type = "".join(rng.choice(string.digits) for _ in range(12)), "BBAN"
        else:
            bban = "".join(rng.choice(string.ascii_uppercase if c == "a" else string.digits) for c in pattern)
            reference, reference_type = iban(country, bban), "IBAN"
        # One account in seven has no description and no BIC: the service
        # sends null for what it does not know.
        sparse = index % 7 == 6
        return Account(
            identifier=f"acc-{index + 1:04d}-{rng.randrange(16**6):06x}",
            country=country,
            currency=currency,
            description=None if sparse else rng.choice(_DESCRIPTIONS),
            bic=None if sparse else bic,
            holder_name=holder[0],
            holder_address=holder[1],
            holder_country=holder[2],
            reference=reference,
            reference_type=reference_type,
        )

    @staticmethod
    def _make_movement(rng, account, day, n):
        amount = Decimal(rng.randrange(500, 250_000)) / 100
        if rng.random() < 0.55:
            amount = -amount
        counterparty = rng.choice(_COUNTERPARTIES)
        purpose = rng.choice(_PURPOSES).format(n=rng.randrange(1000, 9999), month=f"{day:%B %Y}")
        other = iban("BE", "".join(rng.choice(string.digits) for _ in range(12)))
        return Movement(reference=f"{day:%Y%m%d}{account.identifier[-6:]}{n + 1:03d}", booking_date=day,
                        amount=amount, counterparty=counterparty, counterparty_account=other,
                        remittance=purpose, end_to_end_id=f"E2E{rng.randrange(10**10):010d}")

    def account(self, identifier):
        return self._accounts_by_id.get(identifier)

    def report(self, identifier):
        return self._reports_by_id.get(identifier)

    def reports_after(self, identifier):
        """The reports listed after ``identifier`` (all with None); None
        when the identifier is unknown."""
        if identifier is None:
            return list(self.reports)
        report = self._reports_by_id.get(identifier)
        if report is None:
            return None
        return self.reports[self.reports.index(report) + 1:]


def _sub(parent, tag, text=None, **attrib):
    element = ET.SubElement(parent, f"{{{CAMT053_NS}}}{tag}", attrib)
    if text is not None:
        element.text = str(text)
    return element


def _amount(parent, tag, value, currency):
    return _sub(parent, tag, f"{abs(value):.2f}", Ccy=currency)


def _balance(stmt, code, value, currency, day):
    bal = _sub(stmt, "Bal")
    _sub(_sub(_sub(bal, "Tp"), "CdOrPrtry"), "Cd", code)
    _amount(bal, "Amt", value, currency)
    _sub(bal, "CdtDbtInd", "CRDT" if value >= 0 else "DBIT")
    _sub(_sub(bal, "Dt"), "Dt", day.isoformat())


def camt053(report):
    """The report's bank statement as CAMT.053.001.02 XML (UTF-8 bytes)."""
    ET.register_namespace("", CAMT053_NS)
    account = report.account
    created = report.received_at.strftime("%Y-%m-%dT%H:%M:%S")
    root = ET.Element(f"{{{CAMT053_NS}}}Document")
    statement = _sub(root, "BkToCstmrStmt")
    header = _sub(statement, "GrpHdr")
    _sub(header, "MsgId", f"MSG{report.identifier}")
    _sub(header, "CreDtTm", created)
    stmt = _sub(statement, "Stmt")
    _sub(stmt, "Id", report.identifier)
    _sub(stmt, "ElctrncSeqNb", report.sequence)
    _sub(stmt, "CreDtTm", created)
    period = _sub(stmt, "FrToDt")
    _sub(period, "FrDtTm", f"{report.day.isoformat()}T00:00:00")
    _sub(period, "ToDtTm", f"{report.day.isoformat()}T23:59:59")
    acct = _sub(stmt, "Acct")
    acct_id = _sub(acct, "Id")
    if account.reference_type == "IBAN":
        _sub(acct_id, "IBAN", account.reference)
    else:
        _sub(_sub(acct_id, "Othr"), "Id", account.reference)
    _sub(acct, "Ccy", account.currency)
    _sub(_sub(acct, "Ownr"), "Nm", account.holder_name)
    institution = _sub(_sub(acct, "Svcr"), "FinInstnId")
    if account.bic:
        _sub(institution, "BIC", account.bic)
    _sub(institution, "Nm", INSTITUTION_NAME)
    _balance(stmt, "OPBD", report.opening, account.currency, report.day)
    _balance(stmt, "CLBD", report.closing, account.currency, report.day)
    summary = _sub(stmt, "TxsSummry")
    total = _sub(summary, "TtlNtries")
    _sub(total, "NbOfNtries", len(report.movements))
    _sub(total, "Sum", f"{sum((abs(m.amount) for m in report.movements), Decimal('0.00')):.2f}")
    for movement in report.movements:
        entry = _sub(stmt, "Ntry")
        _sub(entry, "NtryRef", movement.reference)
        _amount(entry, "Amt", movement.amount, account.currency)
        _sub(entry, "CdtDbtInd", "CRDT" if movement.amount >= 0 else "DBIT")
        _sub(entry, "Sts", "BOOK")
        _sub(_sub(entry, "BookgDt"), "Dt", movement.booking_date.isoformat())
        _sub(_sub(entry, "ValDt"), "Dt", movement.booking_date.isoformat())
        _sub(entry, "AcctSvcrRef", movement.reference)
        domain = _sub(_sub(entry, "BkTxCd"), "Domn")
        _sub(domain, "Cd", "PMNT")
        family = _sub(domain, "Fmly")
        _sub(family, "Cd", "RCDT" if movement.amount >= 0 else "ICDT")
        _sub(family, "SubFmlyCd", "ESCT")
        details = _sub(_sub(entry, "NtryDtls"), "TxDtls")
        _sub(_sub(details, "Refs"), "EndToEndId", movement.end_to_end_id)
        parties = _sub(details, "RltdPties")
        role = "Dbtr" if movement.amount >= 0 else "Cdtr"
        _sub(_sub(parties, role), "Nm", movement.counterparty)
        _sub(_sub(_sub(parties, f"{role}Acct"), "Id"), "IBAN", movement.counterparty_account)
        _sub(_sub(details, "RmtInf"), "Ustrd", movement.remittance)
    ET.indent(root)
    return ET.tostring(root, encoding="utf-8", xml_declaration=True) + b"\n"
