"""Signed requests, OAuth tokens, linking, bank accounts, reports and statements of a KAV User."""

import base64 as base64
import hashlib as hashlib
import logging
import time as time
from datetime import datetime as datetime
from typing import Any
from urllib.parse import urlencode as urlencode

import requests as requests

from .contract import Account, AccountReport, CertificateKey, KavUser, Session

__all__ = ["get_account_reports", "list_accounts", "revoke_refresh_token", "user_linking"]

TOLVEX_API_HOST: str
TOLVEX_API_HOST_URL: str
_logger: logging.Logger

# Every function returns a new dictionary: {"error": message} for a failure it
# detects, {"return": value} where it hands a value back, {} otherwise.

def _corvane_connect_sign(key_record: CertificateKey, message: str) -> dict[str, str]: ...
def user_linking(kav_user: KavUser) -> dict[str, Any]: ...  # {"return": {"type", "url", "target"}}
def revoke_refresh_token(kav_user: KavUser) -> dict[str, str]: ...
def list_accounts(kav_user: KavUser) -> dict[str, str]: ...
def get_account_reports(kav_user: KavUser, session: Session | None = None) -> dict[str, Any]: ...  # "return": AccountReport
def get_bank_statements(kav_user: KavUser) -> dict[str, Any]: ...  # "return": BankStatement
def _get_account_report(kav_user: KavUser, session: Session, report: AccountReport) -> dict[str, str]: ...
def _handle_account_report_data(kav_user: KavUser, session: Session | None, report_data: dict[str, Any]) -> AccountReport: ...
def _check_status(kav_user: KavUser, operation: str | None = None) -> dict[str, str]: ...
def _get_account(kav_user: KavUser, session: Session, identifier: str) -> dict[str, str]: ...
def _update_account(kav_user: KavUser | None, account: Account, vals: dict[str, Any]) -> None: ...
def _request_access_token(
    kav_user: KavUser, session: Session, grant_type: str = "refresh_token", auth_code: str | None = None
) -> dict[str, str]: ...
def _signature_headers(kav_user: KavUser, headers: dict[str, str], payload: object, request_target: str) -> None: ...
