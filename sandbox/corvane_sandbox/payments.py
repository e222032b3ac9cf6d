"""Bulk payment initiation requests: the checks of an uploaded pain.001
file and the status that each request goes through over time.

The upload is refused at once (400) when its headers are not those the
service requires or the file is not a well-formed pain.001 document.  What
a bank finds only on processing (transaction count, control sum, account
numbers, a message identifier used before) does not refuse the upload: the
request is received and ends up "rejected" with a reason, as a real bank
reports it later.

Status over time, one step every ``step`` seconds after the upload:
"received", then "processing", then the final "accepted" or "rejected".
"""

from __future__ import annotations

import dataclasses
import re
import secrets
import threading
import xml.etree.ElementTree as ET
from decimal import Decimal, InvalidOperation

from .bank import iban_is_valid

__all__ = ["UploadRefused", "PaymentDesk", "FINAL_STATUSES", "check_upload_headers", "parse_pain001"]

FINAL_STATUSES = ("accepted", "rejected")
MAX_FILE_BYTES = 5 * 1024 * 1024
_PAIN001_NS = re.compile(r"urn:iso:std:iso:20022:tech:xsd:pain\.001\.001\.(\d\d)")
_FILENAME = re.compile(r'inline;[ ]*filename="([^"\\\r\n]+)"')


class UploadRefused(ValueError):
    """An upload refused at once: ``check`` names what failed."""

    def __init__(self, check, message, **extra):
        super().__init__(message)
        self.check = check
        self.message = message
        self.extra = extra


@dataclasses.dataclass
class PainSummary:
    version: str
    message_id: str
    declared_count: int | None
    control_sum: Decimal | None
    transactions: list  # (amount, currency, creditor name, creditor account)
    debtor_accounts: list


@dataclasses.dataclass
class PaymentRequest:
    identifier: str
    client_id: str
    file_name: str
    summary: PainSummary
    created: float
    problems: list

    def status(self, now, step):
        elapsed = now - self.created
        if elapsed < step:
            return "received"
        if elapsed < 2 * step:
            return "processing"
        return "rejected" if self.problems else "accepted"

    def as_data(self, now, step):
        status = self.status(now, step)
        attributes = {
            "status": status,
            "fileName": self.file_name,
            "messageId": self.summary.message_id,
            "numberOfTransactions": len(self.summary.transactions),
            "controlSum": f"{sum((t[0] for t in self.summary.transactions), Decimal('0')):.2f}",
        }
        if status == "rejected":
            attributes["statusReason"] = "; ".join(self.problems)
        return {"type": "bulkPaymentInitiationRequest", "id": self.identifier, "attributes": attributes}


def check_upload_headers(received):
    """The headers of an upload; returns the file name."""
    content_type = received.header("Content-Type")
    if content_type is None or content_type.split(";")[0].strip().lower() != "application/xml":
        raise UploadRefused("content-type", f"the Content-Type must be application/xml, got {content_type!r}")
    disposition = received.header("Content-Disposition")
    match = _FILENAME.fullmatch(disposition or "")
    if not match:
        raise UploadRefused("content-disposition", 'the Content-Disposition must be inline; filename="NAME" with a'
                            f" non-empty NAME free of quotes and backslashes, got {disposition!r}")
    for name in ("Is-Shared", "Hide-Details"):
        value = received.header(name)
        if value not in ("True", "False"):
            raise UploadRefused(name.lower(), f"the header {name} must be \"True\" or \"False\", got {value!r}")
    return match.group(1)


def _text(element, path, ns):
    found = element.find(path, ns)
    return None if found is None or found.text is None else found.text.strip()


def parse_pain001(body):
    """Check that ``body`` (bytes) is a well-formed pain.001 document and
    read what the processing needs.  Raises :class:`UploadRefused`."""
    if not body:
        raise UploadRefused("body", "the upload has an empty body")
    if len(body) > MAX_FILE_BYTES:
        raise UploadRefused("body", f"the file has {len(body)} bytes; at most {MAX_FILE_BYTES} are accepted")
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise UploadRefused("encoding", f"the file is not UTF-8: byte {exc.start} cannot be decoded") from None
    # No document type declaration: it has no place in a pain.001 file and
    # is how entity expansion attacks come in.
    if re.search(r"<!DOCTYPE|<!ENTITY", text, re.IGNORECASE):
        raise UploadRefused("well-formed", "the file holds a document type declaration (<!DOCTYPE or <!ENTITY),"
                            " which a pain.001 file must not have")
    try:
        root = ET.fromstring(body)
    except ET.ParseError as exc:
        line, column = exc.position
        raise UploadRefused("well-formed", f"the file is not well-formed XML: {exc}", line=line,
                            column=column + 1) from None
    namespace, _, local = root.tag[1:].partition("}") if root.tag.startswith("{") else ("", "", root.tag)
    match = _PAIN001_NS.fullmatch(namespace)
    if local != "Document" or not match:
        raise UploadRefused("pain.001", f"the root element is {root.tag!r}; a pain.001 file has the root Document"
                            " in the namespace urn:iso:std:iso:20022:tech:xsd:pain.001.001.NN")
    ns = {"p": namespace}
    initiation = root.find("p:CstmrCdtTrfInitn", ns)
    if initiation is None:
        raise UploadRefused("pain.001", "the Document has no CstmrCdtTrfInitn element")
    message_id = _text(initiation, "p:GrpHdr/p:MsgId", ns)
    if not message_id:
        raise UploadRefused("pain.001", "the group header has no MsgId")
    count_text = _text(initiation, "p:GrpHdr/p:NbOfTxs", ns)
    if count_text is None:
        raise UploadRefused("pain.001", "the group header has no NbOfTxs")
    declared_count = int(count_text) if count_text.isdigit() else None
    control_text = _text(initiation, "p:GrpHdr/p:CtrlSum", ns)
    control_sum = None
    if control_text is not None:
        try:
            control_sum = Decimal(control_text)
        except InvalidOperation:
            raise UploadRefused("pain.001", f"the group header's CtrlSum {control_text!r} is not a number") from None
    transactions, debtors = [], []
    for info in initiation.findall("p:PmtInf", ns):
        debtors.append(_text(info, "p:DbtrAcct/p:Id/p:IBAN", ns) or _text(info, "p:DbtrAcct/p:Id/p:Othr/p:Id", ns))
        for tx in info.findall("p:CdtTrfTxInf", ns):
            amount_el = tx.find("p:Amt/p:InstdAmt", ns)
            try:
                amount = Decimal(amount_el.text.strip()) if amount_el is not None and amount_el.text else None
            except InvalidOperation:
                amount = None
            if amount is None:
                raise UploadRefused("pain.001", "a CdtTrfTxInf has no numeric Amt/InstdAmt")
            transactions.append((amount, amount_el.get("Ccy"), _text(tx, "p:Cdtr/p:Nm", ns),
                                 _text(tx, "p:CdtrAcct/p:Id/p:IBAN", ns)))
    if not transactions:
        raise UploadRefused("pain.001", "the file holds no credit transfer (PmtInf/CdtTrfTxInf)")
    return PainSummary(version=match.group(1), message_id=message_id, declared_count=declared_count,
                       control_sum=control_sum, transactions=transactions, debtor_accounts=debtors)


def processing_problems(summary, known_message_ids):
    """What the bank's processing rejects in an accepted upload."""
    problems = []
    if summary.declared_count != len(summary.transactions):
        problems.append(f"NbOfTxs is {summary.declared_count} but the file holds {len(summary.transactions)}"
                        " transactions")
    total = sum((t[0] for t in summary.transactions), Decimal("0"))
    if summary.control_sum is not None and summary.control_sum != total:
        problems.append(f"CtrlSum is {summary.control_sum} but the amounts add up to {total}")
    for amount, currency, name, account in summary.transactions:
        if amount <= 0:
            problems.append(f"the transfer to {name!r} has a non-positive amount {amount}")
        if not currency:
            problems.append(f"the transfer to {name!r} has no currency (InstdAmt/@Ccy)")
        if account is None or not iban_is_valid(account):
            problems.append(f"the creditor account {account!r} of {name!r} is not a valid IBAN")
    for account in summary.debtor_accounts:
        if account is None or not iban_is_valid(account):
            problems.append(f"the debtor account {account!r} is not a valid IBAN")
    if summary.message_id in known_message_ids:
        problems.append(f"the message identifier {summary.message_id!r} was already used by an earlier upload")
    return problems


class PaymentDesk:
    """The bulk payment initiation requests received (thread-safe)."""

    def __init__(self, clock, step=2.0):
        self.clock = clock
        self.step = step
        self._lock = threading.Lock()
        self._requests = {}

    def receive(self, client_id, file_name, summary):
        with self._lock:
            known = {r.summary.message_id for r in self._requests.values() if r.client_id == client_id}
            request = PaymentRequest(identifier=f"bpir-{secrets.token_hex(8)}", client_id=client_id,
                                     file_name=file_name, summary=summary, created=self.clock(),
                                     problems=processing_problems(summary, known))
            self._requests[request.identifier] = request
        return request.as_data(self.clock(), self.step)

    def status(self, identifier, client_id):
        """The request's data, or None when no request of this client has
        that identifier."""
        with self._lock:
            request = self._requests.get(identifier)
        if request is None or request.client_id != client_id:
            return None
        return request.as_data(self.clock(), self.step)
