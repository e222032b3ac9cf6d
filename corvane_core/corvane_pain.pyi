"""Upload of payment initiation files and the refresh of their status."""

import base64 as base64
import logging
from typing import Any

from .contract import KavUser, PainRequest, Session

__all__ = ["refresh_state"]

TOLVEX_API_HOST_URL: str
_logger: logging.Logger

def _check_status(kav_user: KavUser, operation: str | None = None) -> dict[str, str]: ...
def _request_access_token(
    kav_user: KavUser, session: Session, grant_type: str = "refresh_token", auth_code: str | None = None
) -> dict[str, str]: ...
def _signature_headers(kav_user: KavUser, headers: dict[str, str], payload: object, request_target: str) -> None: ...
def refresh_state(pain_record: PainRequest) -> dict[str, str]: ...
def _pain_request(pain_record: PainRequest) -> dict[str, str]: ...
