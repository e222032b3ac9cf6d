"""A small addon typed against corvane_core's contract: plain classes with
the members the Protocols name (an Odoo model has them as fields and
methods), and the calls an addon makes. The type check of the test command
must find nothing here; tests/typing/misuse/ holds what it must refuse."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any

import requests

from corvane_core import corvane_keys, corvane_pain, corvane_user

if TYPE_CHECKING:
    # What the modules hand to the addon's methods, and the links they
    # assign, are typed by the contract.
    from corvane_core import contract


class Ref:
    def __init__(self, id: int) -> None:
        self.id = id


class Company(Ref):
    def __bool__(self) -> bool:
        return True


class ConfigParameter:
    def sudo(self) -> ConfigParameter:
        return self

    def get_param(self, key: str) -> str | bool:
        return False


class Environment:
    """An Odoo environment is indexed by any model name (its records are
    untyped there); this one answers the models the modules use."""

    def __init__(self) -> None:
        self.models: dict[str, Any] = {}

    def __getitem__(self, model: str) -> Any:
        return self.models[model]

    def ref(self, xml_id: str) -> Ref:
        return Ref(1)

    def _(self, source: str) -> str:
        return source


class Configuration:
    state = "confirm"
    active = True
    client_identifier = "client-id"
    client_secret = "client-secret"

    def _get_session(self) -> requests.Session:
        return requests.Session()


class AccessToken:
    access_token = ""
    refresh_token = ""

    def __bool__(self) -> bool:
        return bool(self.access_token)

    def write(self, vals: dict[str, Any]) -> bool:
        return True

    def create(self, vals: dict[str, Any]) -> AccessToken:
        return AccessToken()


class CertificateKey:
    def __init__(self, env: Environment, pem_key: str = "") -> None:
        self.env = env
        self.pem_key = pem_key

    def create(self, vals: dict[str, Any]) -> CertificateKey:
        return CertificateKey(self.env, "")


class SigningCertificate:
    def __init__(self, key: CertificateKey) -> None:
        self.private_key_id = key


class BankStatement:
    def __add__(self, other: BankStatement) -> BankStatement:
        return self


class StatementFile:
    bank_statement_ids = BankStatement()

    def process(self) -> None:
        pass


class AccountReport:
    report_identifier = ""
    downloadable = True
    corvane_connect_file_id: contract.StatementFile

    def __bool__(self) -> bool:
        return True

    def __iter__(self) -> Iterator[AccountReport]:
        return iter([self])

    def __add__(self, other: AccountReport) -> AccountReport:
        return self

    def search(self, domain: list[tuple[str, str, Any]], offset: int = 0, limit: int | None = None,
               order: str | None = None) -> AccountReport:
        return self

    def filtered(self, func: str | Callable[[AccountReport], bool]) -> AccountReport:
        return self

    def create(self, vals_list: dict[str, Any]) -> AccountReport:
        return self


class KavUser:
    state = "activated"
    active = True
    redirect_uri = "https://odoo.example.com/corvane_connect/redirect"
    transaction_rights = "both"
    sign_cert_key_identifier = "key-id"
    kav_account_ids: Any = ()

    def __init__(self, env: Environment, key: CertificateKey) -> None:
        self.id = 7
        self.env = env
        self.corvane_connect_config_id = Configuration()
        self.access_token_id: contract.AccessToken = AccessToken()
        self.sign_cert_id = SigningCertificate(key)

    def ensure_one(self) -> KavUser:
        return self

    def __contains__(self, other: KavUser) -> bool:
        return other is self

    def __add__(self, other: KavUser) -> KavUser:
        return self

    def _process_report_data(self, report: contract.AccountReport, body_text: str) -> StatementFile:
        return StatementFile()


class Account:
    id = 1
    account_identifier = ""
    kav_user_ids: contract.KavUser

    def __bool__(self) -> bool:
        return True

    def __iter__(self) -> Iterator[Account]:
        return iter([self])

    def __sub__(self, other: Account) -> Account:
        return self

    def __getitem__(self, field: str) -> Any:
        return getattr(self, field)

    def with_context(self, *args: Any, **kwargs: Any) -> Account:
        return self

    def search(self, domain: list[tuple[str, str, Any]], offset: int = 0, limit: int | None = None) -> Account:
        return self

    def filtered(self, func: Callable[[Account], bool]) -> Account:
        return self

    def create(self, vals_list: dict[str, Any]) -> Account:
        return self

    def write(self, vals: dict[str, Any]) -> bool:
        return True


class PainRequest:
    name = "payment.xml"
    data = b""
    identifier = ""
    state = "draft"

    def __init__(self, user: KavUser) -> None:
        self.kav_user_id = user


def link(user: KavUser, code: str) -> str:
    action = corvane_user.user_linking(user)
    corvane_user._request_access_token(user, user.corvane_connect_config_id._get_session(),
                                       grant_type="authorization_code", auth_code=code)
    return str(action["return"]["url"])


def pull(user: KavUser) -> list[str]:
    errors = [corvane_user.list_accounts(user).get("error", ""), corvane_user.revoke_refresh_token(user).get("error", "")]
    reports: contract.AccountReport = corvane_user.get_account_reports(user)["return"]
    corvane_user.get_bank_statements(user)
    corvane_user._get_account_report(user, requests.Session(), AccountReport())
    corvane_user._update_account(user, Account(), {"description": "Current account"})
    return errors + [r.report_identifier for r in reports]


def keys(env: Environment, company: Company) -> str:
    key = corvane_keys._generate_corvane_connect_private_key(
        CertificateKey(env), "Company key", passphrase="secret", company=company)["return"]
    corvane_keys._corvane_connect_sign(key, "message")
    return corvane_keys._generate_corvane_connect_csr(key, "/C=BE/O=Company/CN=Company key")["return"]


def pay(user: KavUser) -> None:
    record = PainRequest(user)
    corvane_pain._pain_request(record)
    corvane_pain.refresh_state(record)


def as_contract(user: KavUser, account: Account) -> tuple[contract.KavUser, contract.Account]:
    return user, account
