"""Bulk payment initiation requests: the checks of an uploaded pain.001
file and the status that each request goes through over time.

The upload is refused at once (400) when its headers are not those the
service requires or the file is not a pain.001 document that conforms to
the XML schema of the version it declares (03, 09, 10 or 11, the schemas
that the ``sepaxml`` package ships).  The file is parsed by ``defusedxml``,
which refuses document type declarations, entities and external references
whatever the encoding the parser detects.  What a bank finds only on
processing (transaction count, control sum, account numbers and BICs, a
message identifier used before) does not refuse the upload: the request is
received and ends up "rejected" with a reason, as a real bank reports it
later.

Status over time, one step every ``step`` seconds after the upload:
"received", then "processing", then the final "accepted" or "rejected".
"""

from __future__ import annotations

import dataclasses
import functools
import importlib.resources
import re
import secrets
import threading
from decimal import Decimal

import defusedxml
import defusedxml.ElementTree
import xmlschema
from schwifty import BIC, IBAN
from schwifty.exceptions import SchwiftyException

__all__ = ["UploadRefused", "PaymentDesk", "FINAL_STATUSES", "PAIN001_VERSIONS", "check_upload_headers",
           "parse_pain001", "pain001_schema"]

FINAL_STATUSES = ("accepted", "rejected")
MAX_FILE_BYTES = 5 * 1024 * 1024
# The pain.001.001.NN versions served: those whose schema sepaxml ships.
PAIN001_VERSIONS = ("03", "09", "10", "11")
_PAIN001_NS = re.compile(r"urn:iso:std:iso:20022:tech:xsd:pain\.001\.001\.(\d\d)")
_QUALIFIER = re.compile(r"\{[^}]*\}")
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
    declared_count: int
    control_sum: Decimal | None
    transactions: list  # (amount, currency, creditor name, creditor account)
    debtor_accounts: list
    bics: list  # (whose, BIC) of the debtor and creditor agents


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


@functools.cache
def pain001_schema(version):
    """The XML schema of pain.001.001.``version`` (built once per version:
    building one takes a good part of a second)."""
    source = importlib.resources.files("sepaxml") / "schemas" / f"pain.001.001.{version}.xsd"
    with importlib.resources.as_file(source) as path:
        return xmlschema.XMLSchema(str(path))


def _parse(body):
    """The document element of ``body``; refuses what is not plain,
    well-formed XML in UTF-8."""
    try:
        body.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise UploadRefused("encoding", f"the file is not UTF-8: byte {exc.start} cannot be decoded") from None
    # defusedxml parses the bytes in whatever encoding they declare or
    # their first bytes show, so a declaration is refused in any of them.
    try:
        root = defusedxml.ElementTree.fromstring(body, forbid_dtd=True)
    except defusedxml.DefusedXmlException as exc:
        raise UploadRefused("well-formed", "the file holds a document type declaration, an entity or an external"
                            f" reference ({type(exc).__name__}), which a pain.001 file must not have") from None
    except defusedxml.ElementTree.ParseError as exc:
        line, column = exc.position
        raise UploadRefused("well-formed", f"the file is not well-formed XML: {exc}", line=line,
                            column=column + 1) from None
    # UTF-16 of ASCII characters without a byte-order mark decodes as UTF-8
    # (a NUL byte between letters); the parser read it as UTF-16.
    nul = body.find(b"\0")
    if nul >= 0:
        raise UploadRefused("encoding", f"the file is not UTF-8: byte {nul} is NUL (UTF-16?)")
    return root


def _version(root):
    """The pain.001.001.NN version that the document element declares."""
    namespace, _, local = root.tag[1:].partition("}") if root.tag.startswith("{") else ("", "", root.tag)
    match = _PAIN001_NS.fullmatch(namespace)
    if local != "Document" or not match:
        raise UploadRefused("pain.001", f"the root element is {root.tag!r}; a pain.001 file has the root Document"
                            " in the namespace urn:iso:std:iso:20022:tech:xsd:pain.001.001.NN")
    if match.group(1) not in PAIN001_VERSIONS:
        raise UploadRefused("pain.001", f"pain.001.001.{match.group(1)} is not served; the versions served are"
                            f" {', '.join('pain.001.001.' + v for v in PAIN001_VERSIONS)}")
    return match.group(1)


def _validate(root, version):
    """Refuses the first place where the document breaks its schema."""
    error = next(pain001_schema(version).iter_errors(root), None)
    if error is not None:
        # Names without their namespace: the document has only the one.
        path, reason = (_QUALIFIER.sub("", text or "") for text in (error.path, error.reason))
        raise UploadRefused("schema", f"the file does not conform to the pain.001.001.{version} schema at"
                            f" {path}: {reason}", path=path, reason=reason)


def _text(element, path, ns):
    found = element.find(path, ns)
    return None if found is None or found.text is None else found.text.strip()


def _agent_bic(element, path, ns):
    """The BIC of an agent: element BIC up to version 03, BICFI after."""
    return _text(element, f"{path}/p:FinInstnId/p:BIC", ns) or _text(element, f"{path}/p:FinInstnId/p:BICFI", ns)


def parse_pain001(body):
    """Check that ``body`` (bytes) is a pain.001 document valid against its
    version's schema and read what the processing needs.  Raises
    :class:`UploadRefused`."""
    if not body:
        raise UploadRefused("body", "the upload has an empty body")
    if len(body) > MAX_FILE_BYTES:
        raise UploadRefused("body", f"the file has {len(body)} bytes; at most {MAX_FILE_BYTES} are accepted")
    root = _parse(body)
    version = _version(root)
    _validate(root, version)
    # Valid against the schema: every element read below is there and of its type.
    ns = {"p": root.tag[1:].partition("}")[0]}
    initiation = root.find("p:CstmrCdtTrfInitn", ns)
    control_text = _text(initiation, "p:GrpHdr/p:CtrlSum", ns)
    transactions, debtors, bics = [], [], []
    for info in initiation.findall("p:PmtInf", ns):
        debtors.append(_text(info, "p:DbtrAcct/p:Id/p:IBAN", ns) or _text(info, "p:DbtrAcct/p:Id/p:Othr/p:Id", ns))
        bics.append(("debtor agent", _agent_bic(info, "p:DbtrAgt", ns)))
        for tx in info.findall("p:CdtTrfTxInf", ns):
            amount = tx.find("p:Amt/p:InstdAmt", ns)
            name = _text(tx, "p:Cdtr/p:Nm", ns)
            transactions.append((Decimal(amount.text.strip()), amount.get("Ccy"), name,
                                 _text(tx, "p:CdtrAcct/p:Id/p:IBAN", ns)))
            bics.append((f"creditor agent of {name!r}", _agent_bic(tx, "p:CdtrAgt", ns)))
    return PainSummary(version=version, message_id=_text(initiation, "p:GrpHdr/p:MsgId", ns),
                       declared_count=int(_text(initiation, "p:GrpHdr/p:NbOfTxs", ns)),
                       control_sum=None if control_text is None else Decimal(control_text),
                       transactions=transactions, debtor_accounts=debtors,
                       bics=[(whose, bic) for whose, bic in bics if bic is not None])


def iban_problem(value):
    """Why ``value`` is no valid IBAN (structure of its country, length,
    check digits), or None."""
    if value is None:
        return "no IBAN"
    try:
        IBAN(value)
    except SchwiftyException as exc:
        return str(exc)
    return None


def bic_problem(value):
    """Why ``value`` is no valid BIC, or None."""
    try:
        BIC(value)
    except SchwiftyException as exc:
        return str(exc)
    return None


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
        problem = iban_problem(account)
        if problem:
            problems.append(f"the creditor account {account!r} of {name!r} is not a valid IBAN: {problem}")
    for account in summary.debtor_accounts:
        problem = iban_problem(account)
        if problem:
            problems.append(f"the debtor account {account!r} is not a valid IBAN: {problem}")
    for whose, bic in summary.bics:
        problem = bic_problem(bic)
        if problem:
            problems.append(f"the BIC {bic!r} of the {whose} is not valid: {problem}")
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
