"""What the modules read, write and call on the objects they are handed.

Each Protocol lists exactly the members the modules touch on one kind of
object; nothing else of the addon's models is used. An Odoo model satisfies
them as it stands: a record and a record set are the same type there, so a
Protocol holds both the field reads of one record and the record-set
operations (``search``, ``filtered``, ``+``, iteration...) that the modules
run on that model. A member written as a property is only read; a plain
attribute is also assigned.

This module exists for type checkers only: import its names under
``typing.TYPE_CHECKING``::

    from typing import TYPE_CHECKING
    if TYPE_CHECKING:
        from odoo.addons.your_addon.corvane_core.contract import KavUser
"""

import sys
from collections.abc import Callable, Iterator
from typing import Any, Literal, Protocol, overload

if sys.version_info >= (3, 11):
    from typing import Self
else:
    from typing_extensions import Self

__all__ = [
    "Account",
    "AccessToken",
    "AccountReport",
    "BankStatement",
    "CertificateKey",
    "Company",
    "ConfigParameter",
    "Configuration",
    "Environment",
    "KavUser",
    "PainRequest",
    "Record",
    "Response",
    "Session",
    "SigningCertificate",
    "StatementFile",
]

# An Odoo search domain as the modules write it: [(field path, operator, value)].
Domain = list[tuple[str, str, Any]]

class Record(Protocol):
    """A record of which only the id is read: the country and currency that
    ``env.ref("base.BE")`` / ``env.ref("base.EUR")`` find."""

    @property
    def id(self) -> int: ...

class Company(Protocol):
    """The company given to the key generation: tested, then its id read."""

    def __bool__(self) -> bool: ...
    @property
    def id(self) -> int: ...

class Response(Protocol):
    """The HTTP session's answer (a ``requests.Response`` satisfies it)."""

    @property
    def ok(self) -> bool: ...
    @property
    def text(self) -> str: ...
    def json(self) -> Any: ...

class Session(Protocol):
    """The HTTP session (a ``requests.Session`` satisfies it). GET carries
    the headers and, for listings, the query parameters (the modules sign the
    query as ``urlencode(params)`` gives it); POST a form dictionary (tokens)
    or the exact bytes of a payment file."""

    def get(self, url: str, *, headers: dict[str, str], params: dict[str, int | str] = ...) -> Response: ...
    def post(self, url: str, *, data: dict[str, Any] | bytes, headers: dict[str, str]) -> Response: ...

class ConfigParameter(Protocol):
    """``env["ir.config_parameter"]``: the system parameter
    ``corvane_connect.mode`` ("test" chooses the beta authorisation server)."""

    def sudo(self) -> Self: ...
    def get_param(self, key: str) -> str | bool | None: ...

class Environment(Protocol):
    """The ORM environment of the records (``record.env``)."""

    @overload
    def __getitem__(self, model: Literal["corvane.connect.account"]) -> Account: ...
    @overload
    def __getitem__(self, model: Literal["corvane.connect.account.report"]) -> AccountReport: ...
    @overload
    def __getitem__(self, model: Literal["account.bank.statement"]) -> BankStatement: ...
    @overload
    def __getitem__(self, model: Literal["certificate.key.corvane.connect"]) -> CertificateKey: ...
    @overload
    def __getitem__(self, model: Literal["ir.config_parameter"]) -> ConfigParameter: ...
    def ref(self, xml_id: str) -> Record: ...
    def _(self, source: str) -> str: ...

class Configuration(Protocol):
    """The KAV User's Corvane Connect configuration
    (``corvane_connect_config_id``)."""

    @property
    def state(self) -> str: ...  # operations need "confirm"
    @property
    def active(self) -> bool: ...
    @property
    def client_identifier(self) -> str: ...
    @property
    def client_secret(self) -> str: ...
    def _get_session(self) -> Session: ...

class AccessToken(Protocol):
    """The KAV User's token record (``access_token_id``); when the user has
    none, the empty record set read from the link creates it."""

    def __bool__(self) -> bool: ...
    @property
    def access_token(self) -> str: ...
    @property
    def refresh_token(self) -> str: ...
    # {"access_token", "expires_in", "refresh_token", "refresh_expires_in",
    # "scope", "token_type"} (and "corvane_connect_user_id" on create)
    def write(self, vals: dict[str, Any], /) -> object: ...
    def create(self, vals: dict[str, Any], /) -> Self: ...

class CertificateKey(Protocol):
    """The company's key record (model ``certificate.key.corvane.connect``):
    ``pem_key`` is Base64 of the unencrypted PEM key, read for every
    signature and CSR; the key generation creates a record of the model
    reached through ``env`` with {"name", "content", "password",
    "company_id"}."""

    @property
    def pem_key(self) -> str | bytes: ...
    @property
    def env(self) -> Environment: ...
    def create(self, vals: dict[str, Any], /) -> Self: ...

class SigningCertificate(Protocol):
    """The KAV User's signing certificate (``sign_cert_id``)."""

    @property
    def private_key_id(self) -> CertificateKey: ...

class KavUser(Protocol):
    """The KAV User: the addon's record of one user of the service, holding
    its configuration, its OAuth tokens, its signing certificate and the bank
    accounts it sees."""

    @property
    def id(self) -> int: ...
    @property
    def env(self) -> Environment: ...
    state: str  # "activated" for every operation; set by the token and revocation steps
    @property
    def active(self) -> bool: ...
    @property
    def corvane_connect_config_id(self) -> Configuration: ...
    access_token_id: AccessToken  # assigned the created token record
    @property
    def redirect_uri(self) -> str: ...
    @property
    def transaction_rights(self) -> str: ...  # "both", "down" (accounts and reports) or payments only
    @property
    def sign_cert_id(self) -> SigningCertificate: ...
    @property
    def sign_cert_key_identifier(self) -> str: ...
    kav_account_ids: Any  # assigned x2many commands [(4, account id), ...]
    def ensure_one(self) -> object: ...
    def __contains__(self, other: Self, /) -> bool: ...  # on an account's kav_user_ids
    def __add__(self, other: Self, /) -> Self: ...
    # The statement file record made from a downloaded report's body (the
    # same str the response gave; it may be tens of megabytes).
    def _process_report_data(self, report: AccountReport, body_text: str, /) -> StatementFile: ...

class Account(Protocol):
    """``env["corvane.connect.account"]``: the mirrored bank accounts. Created
    and written with {"account_identifier", "country_id", "currency_id",
    "description", "bic", "holder_address", "holder_country", "holder_name",
    "acc_number", "acc_type"}; an existing record's fields are read by name
    (``account[field]``, ``account[link].id``) to write only what changed."""

    def __bool__(self) -> bool: ...
    def __iter__(self) -> Iterator[Self]: ...
    def __sub__(self, other: Self, /) -> Self: ...
    def __getitem__(self, field: str, /) -> Any: ...
    @property
    def id(self) -> int: ...
    @property
    def account_identifier(self) -> str: ...
    kav_user_ids: KavUser
    def with_context(self, *, active_test: bool) -> Self: ...
    def search(self, domain: Domain, /) -> Self: ...
    def filtered(self, func: Callable[[Self], bool], /) -> Self: ...
    def create(self, vals: dict[str, Any], /) -> Self: ...
    def write(self, vals: dict[str, Any], /) -> object: ...

class StatementFile(Protocol):
    """The statement file record that ``_process_report_data`` makes; its
    ``process()`` imports it into bank statements."""

    def process(self) -> object: ...
    @property
    def bank_statement_ids(self) -> BankStatement: ...

class BankStatement(Protocol):
    """``env["account.bank.statement"]``: the statements of every imported
    file are gathered with ``+``."""

    def __add__(self, other: Self, /) -> Self: ...

class AccountReport(Protocol):
    """``env["corvane.connect.account.report"]``: one record per report the
    service lists, created with {"report_identifier", "filename",
    "acc_numbers", "file_format", "file_bank_format_type", "file_size",
    "received_at", "financial_institution_name"}; the newest one covering an
    account of the user is found through the dotted path
    ``corvane_connect_account_ids.kav_user_ids``."""

    def __bool__(self) -> bool: ...
    def __iter__(self) -> Iterator[Self]: ...
    def __add__(self, other: Self, /) -> Self: ...
    @property
    def report_identifier(self) -> str: ...
    @property
    def downloadable(self) -> bool: ...  # read through filtered("downloadable")
    corvane_connect_file_id: StatementFile  # assigned the statement file of the download
    def search(self, domain: Domain, /, *, order: str = ..., limit: int = ...) -> Self: ...
    def filtered(self, func: str, /) -> Self: ...
    def create(self, vals: dict[str, Any], /) -> Self: ...

class PainRequest(Protocol):
    """A payment initiation request: ``data`` is Base64 of the pain.001
    file, ``name`` its file name; the upload stores the service's
    ``identifier`` and status (``state``), the refresh its status."""

    @property
    def kav_user_id(self) -> KavUser: ...
    @property
    def name(self) -> str: ...
    @property
    def data(self) -> str | bytes: ...
    identifier: str
    state: str
