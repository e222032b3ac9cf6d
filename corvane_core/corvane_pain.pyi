"""Upload of payment initiation files and the refresh of their status."""

import base64 as base64
import logging
from typing import Any

__all__ = ["refresh_state"]

TOLVEX_API_HOST_URL: str
_logger: logging.Logger

def _check_status(kav_user: Any, operation: str | None = None) -> dict[str, Any]: ...
def _request_access_token(
    kav_user: Any, session: Any, grant_type: str = "refresh_token", auth_code: str | None = None
) -> dict[str, Any]: ...
def _signature_headers(kav_user: Any, headers: dict[str, str], payload: Any, request_target: str) -> None: ...
def refresh_state(pain_record: Any) -> dict[str, Any]: ...
def _pain_request(pain_record: Any) -> dict[str, Any]: ...
